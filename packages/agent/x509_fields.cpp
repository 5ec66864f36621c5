#include "x509_fields.h"

#include <chrono>

#include "certificate.h"
#include "utf8.h"

namespace quillon {

namespace {

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kSet = 0x31;
constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kBitString = 0x03;
constexpr std::uint8_t kOid = 0x06;
constexpr std::uint8_t kUtcTime = 0x17;
constexpr std::uint8_t kGeneralizedTime = 0x18;

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
    case 0x0C: {  // UTF8String
        const auto* p = v.data();
        const auto* end = p + v.size();
        while (p < end) {
            std::size_t n = *p < 0x80 ? 1 : wellFormedUtf8Length(p, end);
            if (n == 0) return std::nullopt;
            p += n;
        }
        return std::string(asText(v));
    }
    case 0x12: case 0x13: case 0x14: case 0x16: case 0x1A:  // Numeric, Printable, Teletex, IA5, Visible
        for (auto b : v) appendCodePoint(out, b);  // one byte, one character (Latin-1 for Teletex)
        return out;
    case 0x1E:  // BMPString, UTF-16 big-endian
        if (v.size() % 2) return std::nullopt;
        for (std::size_t i = 0; i < v.size(); i += 2) {
            std::uint32_t unit = static_cast<std::uint32_t>(v[i]) << 8 | v[i + 1];
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < v.size()) {
                std::uint32_t low = static_cast<std::uint32_t>(v[i + 2]) << 8 | v[i + 3];
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    appendCodePoint(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    i += 2;
                    continue;
                }
            }
            if (unit >= 0xD800 && unit <= 0xDFFF) return std::nullopt;
            appendCodePoint(out, unit);
        }
        return out;
    case 0x1C:  // UniversalString, UCS-4 big-endian
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

bool isNameShape(ByteView name) {
    auto outer = take(name);
    if (!outer || outer->tag != kSequence || !name.empty()) return false;
    ByteView rdns = outer->content;
    while (!rdns.empty()) {
        auto rdn = takeTagged(rdns, kSet);
        if (!rdn) return false;
        ByteView atvs = rdn->content;
        if (atvs.empty()) return false;
        while (!atvs.empty()) {
            auto atv = takeTagged(atvs, kSequence);
            if (!atv) return false;
            ByteView parts = atv->content;
            if (!takeTagged(parts, kOid) || !take(parts) || !parts.empty()) return false;
        }
    }
    return true;
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
    auto sigAlg = takeTagged(body, kSequence);
    auto signature = takeTagged(body, kBitString);
    if (!tbs || !sigAlg || !signature || !body.empty()) return std::unexpected(malformed("certificate"));

    ByteView fields = tbs->content;
    auto field = take(fields);
    if (field && field->tag == 0xA0) field = take(fields);  // explicit version
    if (!field || field->tag != kInteger || field->content.empty()) return std::unexpected(malformed("serial number"));
    CertificateFields out;
    out.serial = field->content;
    if (!takeTagged(fields, kSequence)) return std::unexpected(malformed("signature algorithm"));
    auto issuer = takeTagged(fields, kSequence);
    if (!issuer || !isNameShape(issuer->whole)) return std::unexpected(malformed("issuer"));
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
    auto subject = takeTagged(fields, kSequence);
    if (!subject || !isNameShape(subject->whole)) return std::unexpected(malformed("subject"));
    out.subject = subject->whole;
    if (!takeTagged(fields, kSequence)) return std::unexpected(malformed("subject public key info"));
    return out;
}

}  // namespace quillon
