// clang 14 cannot use libstdc++ 12's std::expected (its header asks for a
// newer concepts level than clang 14 reports), so the fuzz build force-includes
// this minimal stand-in. It covers what the agent uses: construction from a
// value or an unexpected, has_value, *, ->, value, value_or, error.
#pragma once

#include <version>

#if !defined(__cpp_lib_expected)
#include <cstdlib>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace std {

template <class E>
class unexpected {
public:
    template <class G = E>
        requires(!is_same_v<remove_cvref_t<G>, unexpected> && is_constructible_v<E, G>)
    constexpr explicit unexpected(G&& e) : error_(std::forward<G>(e)) {}
    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr E&& error() && noexcept { return std::move(error_); }

private:
    E error_;
};
template <class E>
unexpected(E) -> unexpected<E>;

template <class T, class E>
class expected {
public:
    using value_type = T;
    using error_type = E;

    constexpr expected()
        requires is_default_constructible_v<T>
        : v_(in_place_index<0>) {}
    template <class U = T>
        requires(!is_same_v<remove_cvref_t<U>, expected> && !is_same_v<remove_cvref_t<U>, in_place_t> &&
                 is_constructible_v<T, U>)
    constexpr explicit(!is_convertible_v<U, T>) expected(U&& u) : v_(in_place_index<0>, std::forward<U>(u)) {}
    template <class G>
    constexpr expected(const unexpected<G>& u) : v_(in_place_index<1>, u.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& u) : v_(in_place_index<1>, std::move(u).error()) {}

    constexpr bool has_value() const noexcept { return v_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return has_value(); }
    constexpr T& operator*() & { return *get_if<0>(&v_); }
    constexpr const T& operator*() const& { return *get_if<0>(&v_); }
    constexpr T&& operator*() && { return std::move(*get_if<0>(&v_)); }
    constexpr T* operator->() { return get_if<0>(&v_); }
    constexpr const T* operator->() const { return get_if<0>(&v_); }
    constexpr T& value() & { check(); return **this; }
    constexpr const T& value() const& { check(); return **this; }
    constexpr T&& value() && { check(); return std::move(**this); }
    template <class U>
    constexpr T value_or(U&& other) const& {
        return has_value() ? **this : static_cast<T>(std::forward<U>(other));
    }
    constexpr E& error() & { return *get_if<1>(&v_); }
    constexpr const E& error() const& { return *get_if<1>(&v_); }
    constexpr E&& error() && { return std::move(*get_if<1>(&v_)); }

private:
    void check() const {
        if (!has_value()) std::abort();
    }
    variant<T, E> v_;
};

template <class E>
class expected<void, E> {
public:
    using value_type = void;
    using error_type = E;

    constexpr expected() noexcept = default;
    template <class G>
    constexpr expected(const unexpected<G>& u) : e_(in_place, u.error()) {}
    template <class G>
    constexpr expected(unexpected<G>&& u) : e_(in_place, std::move(u).error()) {}

    constexpr bool has_value() const noexcept { return !e_.has_value(); }
    constexpr explicit operator bool() const noexcept { return has_value(); }
    constexpr void operator*() const noexcept {}
    constexpr void value() const {
        if (e_) std::abort();
    }
    constexpr E& error() & { return *e_; }
    constexpr const E& error() const& { return *e_; }
    constexpr E&& error() && { return std::move(*e_); }

private:
    optional<E> e_;
};

}  // namespace std
#endif
