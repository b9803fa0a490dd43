// A value or an error. Errors are values inside the C++ code; only the Python
// boundary turns them into exceptions.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace morva {

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(const T& value) : v_(std::in_place_index<0>, value) {}
    Result(T&& value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class E2, class = std::enable_if_t<std::is_convertible_v<E2, E>>>
    Result(Err<E2> e) : v_(std::in_place_index<1>, E(std::move(e.error))) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(v_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(v_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(v_));
    }
    E& error() & {
        assert(!ok());
        return std::get<1>(v_);
    }
    const E& error() const& {
        assert(!ok());
        return std::get<1>(v_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(v_));
    }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }

private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class E2, class = std::enable_if_t<std::is_convertible_v<E2, E>>>
    Result(Err<E2> e) : error_(E(std::move(e.error))) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    E& error() & { return *error_; }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

}  // namespace morva

// Propagates the error of an expression of type Result<_, E> to a function that
// returns Result<_, E2> where E converts to E2.
#define MORVA_TRY(expr)                                                               \
    do {                                                                              \
        auto&& morva_try_r_ = (expr);                                                 \
        if (!morva_try_r_.ok()) return ::morva::err(std::move(morva_try_r_).error()); \
    } while (0)

#define MORVA_CONCAT_INNER_(a, b) a##b
#define MORVA_CONCAT_(a, b) MORVA_CONCAT_INNER_(a, b)
// Declares `decl` from the value of a Result, returning its error on failure.
#define MORVA_ASSIGN(decl, expr)                                                          \
    auto MORVA_CONCAT_(morva_assign_r_, __LINE__) = (expr);                               \
    if (!MORVA_CONCAT_(morva_assign_r_, __LINE__).ok())                                   \
        return ::morva::err(std::move(MORVA_CONCAT_(morva_assign_r_, __LINE__)).error()); \
    decl = std::move(MORVA_CONCAT_(morva_assign_r_, __LINE__)).value()
