#include "x509/certificate_fields.h"

#include <chrono>

#include "common/time_text.h"
#include "common/utf8.h"

namespace quillon {

namespace {

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kSet = 0x31;
constexpr std::uint8_t kBoolean = 0x01;
constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kBitString = 0x03;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kNull = 0x05;
constexpr std::uint8_t kOid = 0x06;
constexpr std::uint8_t kEnumerated = 0x0A;
constexpr std::uint8_t kUtf8String = 0x0C;
constexpr std::uint8_t kUtcTime = 0x17;
constexpr std::uint8_t kGeneralizedTime = 0x18;
constexpr std::uint8_t kUniversalString = 0x1C;
constexpr std::uint8_t kBmpString = 0x1E;
constexpr std::uint8_t kExplicitVersion = 0xA0;  // [0]
constexpr std::uint8_t kIssuerUniqueId = 0x81;   // [1] IMPLICIT BIT STRING
constexpr std::uint8_t kSubjectUniqueId = 0x82;  // [2] IMPLICIT BIT STRING
constexpr std::uint8_t kExtensions = 0xA3;       // [3]

struct Element {
    std::uint8_t tag = 0;
    ByteView content;
    ByteView whole;
};

// Reads one definite-length element off the front of `in`.
std::optional<Element> take(ByteView& in) {
    if (in.size() < 2) return std::nullopt;
    const std::uint8_t tag = in[0];
    if ((tag & 0x1F) == 0x1F) return std::nullopt;  // high tag numbers never occur here
    std::size_t pos = 2;
    std::size_t len = in[1];
    if (len & 0x80) {
        const std::size_t octets = len & 0x7F;
        if (octets == 0 || octets > 4 || in.size() - pos < octets) return std::nullopt;
        len = 0;
        for (std::size_t i = 0; i < octets; ++i) len = (len << 8) | in[pos++];
    }
    if (in.size() - pos < len) return std::nullopt;
    Element e{tag, in.subspan(pos, len), in.subspan(0, pos + len)};
    in = in.subspan(pos + len);
    return e;
}

std::optional<Element> takeTagged(ByteView& in, std::uint8_t tag) {
    auto e = take(in);
    if (!e || e->tag != tag) return std::nullopt;
    return e;
}

Error malformed(std::string_view what) { return newError("x509: malformed " + std::string(what)); }

void appendCodePoint(std::string& out, std::uint32_t cp) { appendUtf8(out, cp); }

// Attribute value to UTF-8 by its string type; nullopt for types that are
// not text.
std::optional<std::string> stringValue(std::uint8_t tag, ByteView v) {
    std::string out;
    switch (tag) {
    case kUtf8String: {
        const auto* p = v.data();
        const auto* end = p + v.size();
        while (p < end) {
            std::size_t n = *p < 0x80 ? 1 : wellFormedUtf8Length(p, end);
            if (n == 0) return std::nullopt;
            p += n;
        }
        return std::string(asText(v));
    }
    case 0x12: case 0x13: case 0x14: case 0x16:  // Numeric, Printable, Teletex, IA5
        for (auto b : v) appendCodePoint(out, b);  // one byte, one character (Latin-1 for Teletex)
        return out;
    case kBmpString:  // UCS-2 big-endian: the Basic Multilingual Plane only, no surrogates
        if (v.size() % 2) return std::nullopt;
        for (std::size_t i = 0; i < v.size(); i += 2) {
            const std::uint32_t unit = static_cast<std::uint32_t>(v[i]) << 8 | v[i + 1];
            if (unit >= 0xD800 && unit <= 0xDFFF) return std::nullopt;
            appendCodePoint(out, unit);
        }
        return out;
    case kUniversalString:  // UCS-4 big-endian
        if (v.size() % 4) return std::nullopt;
        for (std::size_t i = 0; i < v.size(); i += 4) {
            std::uint32_t cp = static_cast<std::uint32_t>(v[i]) << 24 | static_cast<std::uint32_t>(v[i + 1]) << 16 |
                               static_cast<std::uint32_t>(v[i + 2]) << 8 | v[i + 3];
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
            appendCodePoint(out, cp);
        }
        return out;
    default:
        return std::nullopt;
    }
}

// Signing parses the whole certificate with OpenSSL, whose decoder refuses
// more than the fields read here: the checks below hold every element of the
// certificate to its rules, so that the listing never shows a certificate
// that signing then refuses as malformed. (Where the two differ the walk is
// the stricter: indefinite lengths, strings in pieces and unreadable times
// are refused here, and so by both.)

// INTEGER: at least one octet, in the shortest two's-complement form.
bool isInteger(ByteView v) {
    if (v.empty()) return false;
    return v.size() == 1 || !((v[0] == 0x00 && v[1] < 0x80) || (v[0] == 0xFF && v[1] >= 0x80));
}

// OBJECT IDENTIFIER: sub-identifiers without a leading 0x80 octet, the last one ended.
bool isOid(ByteView v) {
    if (v.empty() || (v.back() & 0x80)) return false;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (v[i] == 0x80 && (i == 0 || !(v[i - 1] & 0x80))) return false;
    return true;
}

// BIT STRING: the count of unused bits (0 to 7) before the bits.
bool isBitString(ByteView v) { return !v.empty() && v[0] <= 7; }

// A value of any type, as the decoder reads one by its tag.
bool isAnyValue(const Element& e) {
    if (e.tag & 0xC0) return true;  // application, context or private class: kept as it is
    if (e.tag & 0x20) return e.tag == kSequence || e.tag == kSet;
    switch (e.tag) {
    case kBoolean: return e.content.size() == 1;
    case kInteger: case kEnumerated: return isInteger(e.content);
    case kBitString: return isBitString(e.content);
    case kNull: return e.content.empty();
    case kOid: return isOid(e.content);
    case kBmpString: return e.content.size() % 2 == 0;
    case kUniversalString: return e.content.size() % 4 == 0;
    case 0x00: case kSequence & 0x1F: case kSet & 0x1F: return false;  // end-of-contents; SEQUENCE and SET are constructed
    default: return true;
    }
}

// AlgorithmIdentifier ::= SEQUENCE { algorithm OBJECT IDENTIFIER, parameters ANY OPTIONAL }
bool isAlgorithmIdentifier(const Element& e) {
    if (e.tag != kSequence) return false;
    ByteView parts = e.content;
    auto algorithm = takeTagged(parts, kOid);
    if (!algorithm || !isOid(algorithm->content)) return false;
    if (parts.empty()) return true;
    auto parameters = take(parts);
    return parameters && isAnyValue(*parameters) && parts.empty();
}

// An attribute value in a Name: only the types the decoder takes there, and
// text of the string types must convert, as the decoder converts every Name
// to compare names.
bool isNameValue(const Element& e) {
    switch (e.tag) {
    case kUtf8String: case 0x13: case 0x14: case 0x16: case kUniversalString: case kBmpString:
        return stringValue(e.tag, e.content).has_value();
    case kBitString:
        return isBitString(e.content);
    case 0x07: case 0x08: case 0x09: case 0x0B: case 0x0D: case 0x0E: case 0x0F: case 0x12: case 0x1D: case kSequence:
        return true;
    default:
        return false;
    }
}

bool isName(const Element& name) {
    if (name.tag != kSequence) return false;
    ByteView rdns = name.content;
    while (!rdns.empty()) {
        auto rdn = takeTagged(rdns, kSet);
        if (!rdn) return false;
        ByteView atvs = rdn->content;
        if (atvs.empty()) return false;
        while (!atvs.empty()) {
            auto atv = takeTagged(atvs, kSequence);
            if (!atv) return false;
            ByteView parts = atv->content;
            auto type = takeTagged(parts, kOid);
            auto value = take(parts);
            if (!type || !isOid(type->content) || !value || !isNameValue(*value) || !parts.empty()) return false;
        }
    }
    return true;
}

// SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier, subjectPublicKey BIT STRING }
bool isPublicKeyInfo(const Element& e) {
    if (e.tag != kSequence) return false;
    ByteView parts = e.content;
    auto algorithm = take(parts);
    auto key = takeTagged(parts, kBitString);
    return algorithm && isAlgorithmIdentifier(*algorithm) && key && isBitString(key->content) && parts.empty();
}

// Extension ::= SEQUENCE { extnID OBJECT IDENTIFIER, critical BOOLEAN DEFAULT FALSE, extnValue OCTET STRING }
bool isExtension(const Element& e) {
    if (e.tag != kSequence) return false;
    ByteView parts = e.content;
    auto id = takeTagged(parts, kOid);
    if (!id || !isOid(id->content)) return false;
    auto next = take(parts);
    if (next && next->tag == kBoolean) {
        if (next->content.size() != 1) return false;
        next = take(parts);
    }
    return next && next->tag == kOctetString && parts.empty();
}

// What may follow the key: [1] issuerUniqueID, [2] subjectUniqueID,
// [3] extensions, each optional, in this order, and nothing else.
bool isTbsTail(ByteView rest) {
    auto next = take(rest);
    for (std::uint8_t uniqueId : {kIssuerUniqueId, kSubjectUniqueId}) {
        if (next && next->tag == uniqueId) {
            if (!isBitString(next->content)) return false;
            next = take(rest);
        }
    }
    if (next && next->tag == kExtensions) {
        ByteView wrapped = next->content;
        auto list = takeTagged(wrapped, kSequence);
        if (!list || !wrapped.empty()) return false;
        ByteView extensions = list->content;
        while (!extensions.empty()) {
            auto extension = take(extensions);
            if (!extension || !isExtension(*extension)) return false;
        }
        next = take(rest);
    }
    return !next && rest.empty();
}

int digits(ByteView s, std::size_t at, std::size_t n) {
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

}  // namespace

std::optional<std::string> derTimeText(std::uint8_t tag, ByteView t) {
    std::size_t yearDigits = tag == kUtcTime ? 2 : tag == kGeneralizedTime ? 4 : 0;
    if (yearDigits == 0 || t.size() < yearDigits + 8) return std::nullopt;
    int year = digits(t, 0, yearDigits);
    if (year < 0) return std::nullopt;
    if (tag == kUtcTime) year += year < 50 ? 2000 : 1900;
    std::size_t pos = yearDigits;
    const int month = digits(t, pos, 2), day = digits(t, pos + 2, 2);
    const int hour = digits(t, pos + 4, 2), minute = digits(t, pos + 6, 2);
    pos += 8;
    int second = 0;
    if (pos + 2 <= t.size() && t[pos] >= '0' && t[pos] <= '9') {
        second = digits(t, pos, 2);
        pos += 2;
    }
    if (tag == kGeneralizedTime && pos < t.size() && (t[pos] == '.' || t[pos] == ',')) {
        ++pos;  // fractions of a second are dropped
        std::size_t start = pos;
        while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9') ++pos;
        if (pos == start) return std::nullopt;
    }
    int offsetMinutes = 0;
    if (pos < t.size() && t[pos] == 'Z') {
        ++pos;
    } else if (pos + 5 == t.size() && (t[pos] == '+' || t[pos] == '-')) {
        const int oh = digits(t, pos + 1, 2), om = digits(t, pos + 3, 2);
        if (oh < 0 || om < 0 || oh > 23 || om > 59) return std::nullopt;
        offsetMinutes = (t[pos] == '+' ? 1 : -1) * (oh * 60 + om);
        pos += 5;
    } else {
        return std::nullopt;  // a time without a zone is local to nobody knows where
    }
    if (pos != t.size() || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 60)
        return std::nullopt;
    using namespace std::chrono;
    const year_month_day ymd{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                             std::chrono::day{static_cast<unsigned>(day)}};
    if (!ymd.ok()) return std::nullopt;
    const auto at = sys_days{ymd} + hours{hour} + minutes{minute - offsetMinutes} + seconds{second};
    return timeText(sys_seconds{at});
}

std::string lastCommonName(ByteView name) {
    static constexpr std::uint8_t kCommonNameOid[] = {0x55, 0x04, 0x03};
    std::optional<std::string> found;
    auto outer = takeTagged(name, kSequence);
    if (!outer) return {};
    ByteView rdns = outer->content;
    while (auto rdn = takeTagged(rdns, kSet)) {
        ByteView atvs = rdn->content;
        while (auto atv = takeTagged(atvs, kSequence)) {
            ByteView parts = atv->content;
            auto oid = takeTagged(parts, kOid);
            auto value = take(parts);
            if (!oid || !value) continue;
            if (std::equal(oid->content.begin(), oid->content.end(), std::begin(kCommonNameOid),
                           std::end(kCommonNameOid)))
                found = stringValue(value->tag, value->content).value_or(std::string());
        }
    }
    return found.value_or(std::string());
}

Result<CertificateFields> readCertificateFields(ByteView der) {
    ByteView rest = der;
    auto cert = takeTagged(rest, kSequence);
    if (!cert) return std::unexpected(malformed("certificate"));
    if (!rest.empty()) return fail("x509: trailing data");
    ByteView body = cert->content;
    auto tbs = takeTagged(body, kSequence);
    auto sigAlg = take(body);
    auto signature = takeTagged(body, kBitString);
    if (!tbs || !sigAlg || !isAlgorithmIdentifier(*sigAlg) || !signature || !isBitString(signature->content) ||
        !body.empty())
        return std::unexpected(malformed("certificate"));

    ByteView fields = tbs->content;
    auto field = take(fields);
    if (field && field->tag == kExplicitVersion) {
        ByteView version = field->content;
        auto number = takeTagged(version, kInteger);
        if (!number || !isInteger(number->content) || !version.empty()) return std::unexpected(malformed("version"));
        field = take(fields);
    }
    if (!field || field->tag != kInteger || !isInteger(field->content))
        return std::unexpected(malformed("serial number"));
    CertificateFields out;
    out.serial = field->content;
    auto signatureAlgorithm = take(fields);
    if (!signatureAlgorithm || !isAlgorithmIdentifier(*signatureAlgorithm))
        return std::unexpected(malformed("signature algorithm"));
    auto issuer = take(fields);
    if (!issuer || !isName(*issuer)) return std::unexpected(malformed("issuer"));
    out.issuer = issuer->whole;
    auto validity = takeTagged(fields, kSequence);
    if (!validity) return std::unexpected(malformed("validity"));
    ByteView times = validity->content;
    auto notBefore = take(times);
    auto notAfter = take(times);
    if (!notBefore || !notAfter || !times.empty()) return std::unexpected(malformed("validity"));
    auto before = derTimeText(notBefore->tag, notBefore->content);
    auto after = derTimeText(notAfter->tag, notAfter->content);
    if (!before || !after) return std::unexpected(malformed("validity"));
    out.notBefore = std::move(*before);
    out.notAfter = std::move(*after);
    auto subject = take(fields);
    if (!subject || !isName(*subject)) return std::unexpected(malformed("subject"));
    out.subject = subject->whole;
    auto publicKey = take(fields);
    if (!publicKey || !isPublicKeyInfo(*publicKey)) return std::unexpected(malformed("subject public key info"));
    if (!isTbsTail(fields)) return std::unexpected(malformed("extensions"));
    return out;
}

}  // namespace quillon
