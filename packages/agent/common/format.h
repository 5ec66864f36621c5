// printf-style formatting with the few placeholders the system's texts use:
//   %s  a text, unchanged
//   %d  an integer in decimal
//   %v  an error's text, an integer in decimal, or a list of texts "[a b c]"
//   %w  as %v (used in error formats; wrapping itself is wrapError's job)
//   %X  an integer in upper-case hexadecimal, no prefix
//   %-6s (any width) a text left-aligned in that many columns
//   %%  a percent sign
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "common/error.h"

namespace quillon {

class FormatArg {
public:
    using Value = std::variant<std::string_view, std::int64_t, std::uint64_t, const Error*,
                               const std::vector<std::string>*>;

    FormatArg(std::string_view s) : value_(s) {}
    FormatArg(const std::string& s) : value_(std::string_view(s)) {}
    FormatArg(const char* s) : value_(std::string_view(s)) {}
    FormatArg(const Error& e) : value_(&e) {}
    FormatArg(const std::vector<std::string>& list) : value_(&list) {}
    template <class I>
        requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
    FormatArg(I i) {
        if constexpr (std::is_signed_v<I>)
            value_ = static_cast<std::int64_t>(i);
        else
            value_ = static_cast<std::uint64_t>(i);
    }

    const Value& value() const { return value_; }

private:
    Value value_;
};

// Arguments are consumed in order; a placeholder without an argument is
// written as "%!<verb>(MISSING)", surplus arguments are ignored.
std::string formatText(std::string_view format, std::initializer_list<FormatArg> args);

template <class... A>
std::string sformat(std::string_view format, const A&... args) {
    return formatText(format, {FormatArg(args)...});
}

}  // namespace quillon
