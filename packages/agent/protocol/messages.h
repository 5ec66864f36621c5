// The request and reply records of the native-messaging protocol, with the
// JSON keys they travel under. Fields are in declaration order, which is the
// order of the keys in every written object.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/version.h"
#include "protocol/json_read.h"

namespace quillon {

inline constexpr std::string_view kTypePing = "QUILLON_PING";
inline constexpr std::string_view kTypePong = "QUILLON_PONG";
inline constexpr std::string_view kTypeListCerts = "QUILLON_LIST_CERTS";
inline constexpr std::string_view kTypeListCertsResponse = "QUILLON_LIST_CERTS_RESPONSE";
inline constexpr std::string_view kTypeAgentSign = "QUILLON_AGENT_SIGN";
inline constexpr std::string_view kTypeAgentSignResponse = "QUILLON_AGENT_SIGN_RESPONSE";
inline constexpr std::string_view kTypeAgentSignBatch = "QUILLON_AGENT_SIGN_BATCH";
inline constexpr std::string_view kTypeAgentSignBatchResponse = "QUILLON_AGENT_SIGN_BATCH_RESPONSE";
inline constexpr std::string_view kTypeError = "ERROR";

// ---- requests (browser to agent) ----

struct BaseMessage {
    std::string Type;  // "type"
};

struct AgentSignMessage {
    std::string Type;        // "type"
    std::string Thumbprint;  // "thumbprint"
    JsonText Data;           // "data" (Base64), left in the body
    std::string Format;      // "format"
    JsonText Pin;            // "pin", left in the body
};

struct AgentSignBatchItem {
    std::string ID;      // "id"
    JsonText Data;       // "data" (Base64), left in the body
    std::string Format;  // "format"
};

// The most items one batch may hold. A browser drops any reply over 1 MiB,
// which a batch reaches at about 325 CMS or 640 raw signatures, so this never
// cuts real use; it bounds what a page can make the agent decode, hold and
// sign in one request.
inline constexpr std::size_t kMaxBatchItems = 10000;

struct AgentSignBatchMessage {
    std::string Type;                      // "type"
    std::string Thumbprint;                // "thumbprint"
    JsonText Pin;                          // "pin", left in the body
    // "items": at most kMaxBatchItems + 1 entries are kept; the entries of a
    // longer list are checked but not kept, as the batch is refused whole.
    std::vector<AgentSignBatchItem> Items;
};

// ---- replies (agent to browser) ----

struct PongResponse {
    std::string Type;     // "type"
    std::string Version;  // "version"
};

struct ErrorResponse {
    std::string Type;   // "type"
    std::string Error;  // "error"
};

struct AgentCertInfo {
    std::string Thumbprint;  // "thumbprint"
    std::string CommonName;  // "commonName"
    std::string TaxId;       // "taxId"
    std::string Issuer;      // "issuer"
    std::string NotBefore;   // "notBefore"
    std::string NotAfter;    // "notAfter"
    std::string CertDer;     // "certDer"
};

struct ListCertsResponse {
    std::string Type;                        // "type"
    std::vector<AgentCertInfo> Certificates;  // "certificates", always an array
};

struct AgentSignResponse {
    std::string Type;       // "type"
    std::string Signature;  // "signature"
    std::string Algorithm;  // "algorithm"
    std::string SignedAt;   // "signedAt"
    std::string CertDer;    // "certDer"
};

struct AgentSignBatchResultItem {
    std::string ID;         // "id", always written
    std::string Signature;  // "signature", omitted when empty
    std::string Algorithm;  // "algorithm", omitted when empty
    std::string SignedAt;   // "signedAt", omitted when empty
    std::string CertDer;    // "certDer", omitted when empty
    std::string Error;      // "error", omitted when empty
};

struct AgentSignBatchResponse {
    std::string Type;                               // "type"
    std::vector<AgentSignBatchResultItem> Results;  // "results"
};

// ---- encoding: compact JSON by the reply writing rules (common/json_write.h) ----
std::string encodeMessage(const PongResponse& m);
std::string encodeMessage(const ErrorResponse& m);
std::string encodeMessage(const ListCertsResponse& m);
std::string encodeMessage(const AgentSignResponse& m);
std::string encodeMessage(const AgentSignBatchResponse& m);

// ---- decoding: a fresh record filled from a body by the request reading
// rules (protocol/json_read.h); the error text is a one-line English description of the fault.
// The record's JsonText fields point into `body`, which must outlive it ----
Result<BaseMessage> decodeBaseMessage(std::string_view body);
Result<AgentSignMessage> decodeAgentSignMessage(std::string_view body);
Result<AgentSignBatchMessage> decodeAgentSignBatchMessage(std::string_view body);

}  // namespace quillon
