#include "common/format.h"

#include <cstdio>

namespace quillon {
namespace {

std::string integerText(const FormatArg::Value& v, bool hex) {
    char buf[32];
    if (auto* u = std::get_if<std::uint64_t>(&v)) {
        std::snprintf(buf, sizeof buf, hex ? "%llX" : "%llu", static_cast<unsigned long long>(*u));
        return buf;
    }
    if (auto* i = std::get_if<std::int64_t>(&v)) {
        if (hex && *i < 0) {
            std::snprintf(buf, sizeof buf, "-%llX", static_cast<unsigned long long>(-(*i + 1)) + 1ULL);
            return buf;
        }
        std::snprintf(buf, sizeof buf, hex ? "%llX" : "%lld", static_cast<long long>(*i));
        return buf;
    }
    return {};
}

std::string argText(const FormatArg::Value& v, bool hex) {
    if (auto* s = std::get_if<std::string_view>(&v)) return std::string(*s);
    if (auto* e = std::get_if<const Error*>(&v)) return (*e)->text;
    if (auto* l = std::get_if<const std::vector<std::string>*>(&v)) {
        std::string out = "[";
        for (size_t i = 0; i < (*l)->size(); ++i) {
            if (i) out += ' ';
            out += (**l)[i];
        }
        out += ']';
        return out;
    }
    return integerText(v, hex);
}

}  // namespace

std::string formatText(std::string_view format, std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 32);
    auto next = args.begin();
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        size_t j = i + 1;
        if (format[j] == '%') {
            out += '%';
            i = j;
            continue;
        }
        bool leftAlign = false;
        size_t width = 0;
        if (format[j] == '-') {
            leftAlign = true;
            ++j;
        }
        while (j < format.size() && format[j] >= '0' && format[j] <= '9') width = width * 10 + (format[j++] - '0');
        if (j >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        char verb = format[j];
        std::string text;
        if (next == args.end()) {
            text = std::string("%!") + verb + "(MISSING)";
        } else {
            text = argText(next->value(), verb == 'X');
            ++next;
        }
        if (text.size() < width) {
            std::string pad(width - text.size(), ' ');
            text = leftAlign ? text + pad : pad + text;
        }
        out += text;
        i = j;
    }
    return out;
}

}  // namespace quillon
