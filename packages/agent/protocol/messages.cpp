// The records' JSON forms: replies written by the writing rules, requests read
// by the reading rules.
#include "protocol/messages.h"

#include <array>

#include "common/json_write.h"
#include "protocol/json_read.h"

namespace quillon {

// ---- encoding ----

namespace {

template <class Record, class WriteFields>
std::string encodeObject(const Record& record, WriteFields writeFields) {
    std::string out;
    JsonObjectWriter object(out);
    writeFields(object, record);
    object.finish();
    return out;
}

void writeCertInfo(JsonObjectWriter& o, const AgentCertInfo& c) {
    o.text("thumbprint", c.Thumbprint);
    o.text("commonName", c.CommonName);
    o.text("taxId", c.TaxId);
    o.text("issuer", c.Issuer);
    o.text("notBefore", c.NotBefore);
    o.text("notAfter", c.NotAfter);
    o.text("certDer", c.CertDer);
}

void writeBatchResultItem(JsonObjectWriter& o, const AgentSignBatchResultItem& r) {
    o.text("id", r.ID);
    o.textUnlessEmpty("signature", r.Signature);
    o.textUnlessEmpty("algorithm", r.Algorithm);
    o.textUnlessEmpty("signedAt", r.SignedAt);
    o.textUnlessEmpty("certDer", r.CertDer);
    o.textUnlessEmpty("error", r.Error);
}

}  // namespace

std::string encodeMessage(const PongResponse& m) {
    return encodeObject(m, [](JsonObjectWriter& o, const PongResponse& r) {
        o.text("type", r.Type);
        o.text("version", r.Version);
    });
}

std::string encodeMessage(const ErrorResponse& m) {
    return encodeObject(m, [](JsonObjectWriter& o, const ErrorResponse& r) {
        o.text("type", r.Type);
        o.text("error", r.Error);
    });
}

std::string encodeMessage(const ListCertsResponse& m) {
    return encodeObject(m, [](JsonObjectWriter& o, const ListCertsResponse& r) {
        o.text("type", r.Type);
        o.objectList("certificates", r.Certificates, writeCertInfo);
    });
}

std::string encodeMessage(const AgentSignResponse& m) {
    return encodeObject(m, [](JsonObjectWriter& o, const AgentSignResponse& r) {
        o.text("type", r.Type);
        o.text("signature", r.Signature);
        o.text("algorithm", r.Algorithm);
        o.text("signedAt", r.SignedAt);
        o.text("certDer", r.CertDer);
    });
}

std::string encodeMessage(const AgentSignBatchResponse& m) {
    return encodeObject(m, [](JsonObjectWriter& o, const AgentSignBatchResponse& r) {
        o.text("type", r.Type);
        o.objectList("results", r.Results, writeBatchResultItem);
    });
}

// ---- decoding ----

namespace {

// The batch items as a list the reader fills entry by entry. Entries past
// the one that makes the batch too long get no fields, so a body of millions
// of tiny items is read in constant memory.
class BatchItemList final : public JsonRecordList {
public:
    explicit BatchItemList(std::vector<AgentSignBatchItem>& items) : items_(items) {}

    std::span<const JsonField> entry(std::size_t index) override {
        if (index > kMaxBatchItems) return {};
        if (index == items_.size()) items_.emplace_back();
        AgentSignBatchItem& item = items_[index];
        fields_ = {{
            {"id", &item.ID, nullptr},
            {"data", nullptr, nullptr, &item.Data},
            {"format", &item.Format, nullptr},
        }};
        return fields_;
    }
    void truncate(std::size_t size) override {
        if (size < items_.size()) items_.resize(size);
    }

private:
    std::vector<AgentSignBatchItem>& items_;
    std::array<JsonField, 3> fields_{};
};

}  // namespace

Result<BaseMessage> decodeBaseMessage(std::string_view body) {
    BaseMessage m;
    const JsonField fields[] = {{"type", &m.Type, nullptr}};
    if (Status s = readJsonRecord(body, fields); !s) return fail(std::move(s.error()));
    return m;
}

Result<AgentSignMessage> decodeAgentSignMessage(std::string_view body) {
    AgentSignMessage m;
    const JsonField fields[] = {
        {"type", &m.Type, nullptr},
        {"thumbprint", &m.Thumbprint, nullptr},
        {"data", nullptr, nullptr, &m.Data},
        {"format", &m.Format, nullptr},
        {"pin", nullptr, nullptr, &m.Pin},
    };
    if (Status s = readJsonRecord(body, fields); !s) return fail(std::move(s.error()));
    return m;
}

Result<AgentSignBatchMessage> decodeAgentSignBatchMessage(std::string_view body) {
    AgentSignBatchMessage m;
    BatchItemList items(m.Items);
    const JsonField fields[] = {
        {"type", &m.Type, nullptr},
        {"thumbprint", &m.Thumbprint, nullptr},
        {"pin", nullptr, nullptr, &m.Pin},
        {"items", nullptr, &items},
    };
    if (Status s = readJsonRecord(body, fields); !s) return fail(std::move(s.error()));
    return m;
}

}  // namespace quillon
