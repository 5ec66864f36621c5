// Errors are values: every fallible operation returns Result<T> or Status.
// An Error carries its full text and, when it wraps a lower error, that error
// as its cause. Callers that act on an error test its kind, never its text:
// a kind set anywhere along the chain of prefixes stays reachable.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace quillon {

enum class ErrorKind : std::uint8_t {
    Other,           // nothing a caller tells apart
    Pkcs11,          // a module call returned other than CKR_OK; the code is the CK_RV
    CertNotFound,    // no certificate on the token has the requested thumbprint
    SessionRefused,  // the token would not open a signing session
    LoginRefused,    // the token refused the PIN
};

struct Error {
    std::string text;                    // the whole text, prefixes included
    std::shared_ptr<const Error> cause;  // the wrapped lower error, if any
    ErrorKind kind = ErrorKind::Other;   // of this level; a wrapper may add its own
    std::uint32_t code = 0;              // the kind's number, where it has one
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// A plain error that wraps nothing.
inline Error newError(std::string text, ErrorKind kind = ErrorKind::Other) {
    return Error{std::move(text), nullptr, kind};
}

// "%w" wrapping: the prefix followed by the lower error's text; the lower
// error stays reachable as the cause, its kind with it.
inline Error wrapError(std::string_view prefix, Error lower, ErrorKind kind = ErrorKind::Other) {
    std::string text(prefix);
    text += lower.text;
    return Error{std::move(text), std::make_shared<const Error>(std::move(lower)), kind};
}

inline std::unexpected<Error> fail(std::string text, ErrorKind kind = ErrorKind::Other) {
    return std::unexpected(newError(std::move(text), kind));
}
inline std::unexpected<Error> fail(Error e) { return std::unexpected(std::move(e)); }
inline std::unexpected<Error> failWrapped(std::string_view prefix, Error lower, ErrorKind kind = ErrorKind::Other) {
    return std::unexpected(wrapError(prefix, std::move(lower), kind));
}

// The outermost error of `kind` along the cause chain; null when there is none.
inline const Error* findKind(const Error& e, ErrorKind kind) {
    for (const Error* p = &e; p; p = p->cause.get())
        if (p->kind == kind) return p;
    return nullptr;
}

}  // namespace quillon
