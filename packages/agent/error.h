// Errors are values: every fallible operation returns Result<T> or Status.
// An Error carries its full text and, when it wraps a lower error, that error
// as its cause, so callers can reach e.g. the PKCS#11 return value below a
// chain of prefixes.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quillon {

struct Error {
    std::string text;                      // the whole text, prefixes included
    std::shared_ptr<const Error> cause;    // the wrapped lower error, if any
    std::optional<std::uint32_t> pkcs11Rv; // set on errors of the PKCS#11 layer
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// A plain error that wraps nothing.
inline Error newError(std::string text) { return Error{std::move(text), nullptr, std::nullopt}; }

// "%w" wrapping: the prefix followed by the lower error's text; the lower
// error stays reachable as the cause.
inline Error wrapError(std::string_view prefix, Error lower) {
    std::string text(prefix);
    text += lower.text;
    return Error{std::move(text), std::make_shared<const Error>(std::move(lower)), std::nullopt};
}

inline std::unexpected<Error> fail(std::string text) { return std::unexpected(newError(std::move(text))); }
inline std::unexpected<Error> fail(Error e) { return std::unexpected(std::move(e)); }
inline std::unexpected<Error> failWrapped(std::string_view prefix, Error lower) {
    return std::unexpected(wrapError(prefix, std::move(lower)));
}

// The first PKCS#11 return value found along the cause chain.
inline std::optional<std::uint32_t> pkcs11RvOf(const Error& e) {
    for (const Error* p = &e; p; p = p->cause.get())
        if (p->pkcs11Rv) return p->pkcs11Rv;
    return std::nullopt;
}

}  // namespace quillon
