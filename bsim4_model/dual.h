// Forward-mode dual numbers: a value with its partial derivatives with respect to N inputs.
//
// The load equations are written once on this type, so the conductances are the exact
// derivatives of the very value that is returned. The value part of every operation is the
// plain double operation, so values are bit-identical to scalar code, whatever N is (N may be 0).
// Each partial is computed from the same partial of the operands and from values only, so a
// partial does not depend on which other partials are carried either.
#pragma once

#include <array>
#include <cmath>

namespace morva::bsim4::model {

template <int N>
struct Dual {
    double v = 0.0;
    std::array<double, N> d{};

    constexpr Dual() = default;
    constexpr Dual(double value) : v(value) {}  // a constant: every partial 0

    // The input number `index`, with unit slope; a constant when index is not in [0, N).
    static Dual variable(double value, int index) {
        Dual r(value);
        for (int i = 0; i < N; ++i) {
            if (i == index) r.d[i] = 1.0;
        }
        return r;
    }
};

template <int N>
inline Dual<N> operator-(const Dual<N>& a) {
    Dual<N> r(-a.v);
    for (int i = 0; i < N; ++i) r.d[i] = -a.d[i];
    return r;
}

template <int N>
inline Dual<N> operator+(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v + b.v);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] + b.d[i];
    return r;
}
template <int N>
inline Dual<N> operator+(const Dual<N>& a, double b) {
    Dual<N> r(a.v + b);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i];
    return r;
}
template <int N>
inline Dual<N> operator+(double a, const Dual<N>& b) {
    Dual<N> r(a + b.v);
    for (int i = 0; i < N; ++i) r.d[i] = b.d[i];
    return r;
}

template <int N>
inline Dual<N> operator-(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v - b.v);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] - b.d[i];
    return r;
}
template <int N>
inline Dual<N> operator-(const Dual<N>& a, double b) {
    Dual<N> r(a.v - b);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i];
    return r;
}
template <int N>
inline Dual<N> operator-(double a, const Dual<N>& b) {
    Dual<N> r(a - b.v);
    for (int i = 0; i < N; ++i) r.d[i] = -b.d[i];
    return r;
}

template <int N>
inline Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v * b.v);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b.v + a.v * b.d[i];
    return r;
}
template <int N>
inline Dual<N> operator*(const Dual<N>& a, double b) {
    Dual<N> r(a.v * b);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b;
    return r;
}
template <int N>
inline Dual<N> operator*(double a, const Dual<N>& b) {
    Dual<N> r(a * b.v);
    for (int i = 0; i < N; ++i) r.d[i] = a * b.d[i];
    return r;
}

template <int N>
inline Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v / b.v);
    for (int i = 0; i < N; ++i) r.d[i] = (a.d[i] - r.v * b.d[i]) / b.v;
    return r;
}
template <int N>
inline Dual<N> operator/(const Dual<N>& a, double b) {
    Dual<N> r(a.v / b);
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] / b;
    return r;
}
template <int N>
inline Dual<N> operator/(double a, const Dual<N>& b) {
    Dual<N> r(a / b.v);
    const double s = -r.v / b.v;
    for (int i = 0; i < N; ++i) r.d[i] = s * b.d[i];
    return r;
}

template <int N>
inline Dual<N>& operator+=(Dual<N>& a, const Dual<N>& b) {
    return a = a + b;
}
template <int N>
inline Dual<N>& operator-=(Dual<N>& a, const Dual<N>& b) {
    return a = a - b;
}
template <int N>
inline Dual<N>& operator*=(Dual<N>& a, const Dual<N>& b) {
    return a = a * b;
}

// f(a) with f'(a) given: the chain rule for the elementary functions below.
template <int N>
inline Dual<N> chain(const Dual<N>& a, double value, double slope) {
    Dual<N> r(value);
    for (int i = 0; i < N; ++i) r.d[i] = slope * a.d[i];
    return r;
}

template <int N>
inline Dual<N> exp(const Dual<N>& a) {
    const double e = std::exp(a.v);
    return chain(a, e, e);
}
template <int N>
inline Dual<N> log(const Dual<N>& a) {
    return chain(a, std::log(a.v), 1.0 / a.v);
}
template <int N>
inline Dual<N> sqrt(const Dual<N>& a) {
    const double s = std::sqrt(a.v);
    return chain(a, s, 0.5 / s);
}

}  // namespace morva::bsim4::model
