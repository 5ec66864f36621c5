#include "cms/der_writer.h"

#include <cstdio>

#include "common/format.h"

namespace quillon::der {

void appendLength(Bytes& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
        return;
    }
    std::uint8_t octets[sizeof(std::size_t)];
    int n = 0;
    for (std::size_t rest = length; rest != 0; rest >>= 8) octets[n++] = static_cast<std::uint8_t>(rest);
    out.push_back(static_cast<std::uint8_t>(0x80 | n));
    while (n > 0) out.push_back(octets[--n]);
}

Bytes element(std::uint8_t tag, ByteView content) {
    Bytes out;
    out.reserve(content.size() + 10);
    out.push_back(tag);
    appendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes constructed(std::uint8_t tag, std::initializer_list<ByteView> parts) {
    std::size_t total = 0;
    for (ByteView p : parts) total += p.size();
    Bytes out;
    out.reserve(total + 10);
    out.push_back(tag);
    appendLength(out, total);
    for (ByteView p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes integer(bool negative, ByteView magnitude) {
    std::size_t start = 0;
    while (start < magnitude.size() && magnitude[start] == 0) ++start;
    ByteView mag = magnitude.subspan(start);
    Bytes content;
    if (mag.empty()) {
        content.push_back(0);  // zero, whatever the sign says
    } else if (!negative) {
        if (mag[0] & 0x80) content.push_back(0);
        content.insert(content.end(), mag.begin(), mag.end());
    } else {
        // Two's complement over the magnitude's width: invert, add one.
        content.assign(mag.begin(), mag.end());
        for (auto& b : content) b = static_cast<std::uint8_t>(~b);
        for (std::size_t i = content.size(); i-- > 0;)
            if (++content[i] != 0) break;
        if (!(content[0] & 0x80)) content.insert(content.begin(), 0xFF);
        // A leading FF is redundant when the next octet already carries the sign.
        std::size_t drop = 0;
        while (content.size() - drop > 1 && content[drop] == 0xFF && (content[drop + 1] & 0x80)) ++drop;
        content.erase(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    return element(kTagInteger, content);
}

Bytes integer(std::int64_t value) {
    bool negative = value < 0;
    std::uint64_t mag = negative ? static_cast<std::uint64_t>(-(value + 1)) + 1 : static_cast<std::uint64_t>(value);
    std::uint8_t octets[8];
    for (int i = 7; i >= 0; --i, mag >>= 8) octets[i] = static_cast<std::uint8_t>(mag);
    return integer(negative, ByteView(octets, 8));
}

Result<Bytes> objectIdentifier(std::span<const std::uint32_t> arcs) {
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39))
        return fail("der: invalid object identifier");
    Bytes content;
    auto appendArc = [&](std::uint64_t arc) {
        std::uint8_t groups[10];
        int n = 0;
        do {
            groups[n++] = static_cast<std::uint8_t>(arc & 0x7F);
            arc >>= 7;
        } while (arc != 0);
        while (n > 1) content.push_back(static_cast<std::uint8_t>(groups[--n] | 0x80));
        content.push_back(groups[0]);
    };
    appendArc(std::uint64_t{arcs[0]} * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) appendArc(arcs[i]);
    return element(kTagObjectIdentifier, content);
}

Result<Bytes> time(std::chrono::sys_seconds secs) {
    using namespace std::chrono;
    auto day = floor<days>(secs);
    year_month_day ymd{day};
    hh_mm_ss hms{secs - day};
    int year = static_cast<int>(ymd.year());
    if (year < 0 || year > 9999) return fail(sformat("der: time out of range (year %d)", year));
    char text[20];
    bool utc = year >= 1950 && year <= 2049;
    int n = std::snprintf(text, sizeof text, utc ? "%02d%02u%02u%02d%02d%02dZ" : "%04d%02u%02u%02d%02d%02dZ",
                          utc ? year % 100 : year, static_cast<unsigned>(ymd.month()),
                          static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                          static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()));
    return element(utc ? kTagUtcTime : kTagGeneralizedTime, asBytes(std::string_view(text, static_cast<std::size_t>(n))));
}

}  // namespace quillon::der
