// Text forms of numbers used in every message, repr, netlist and file this
// system writes. The forms follow one fixed convention so that texts are
// stable across platforms:
//   exp(1e-6, 3)      -> "1.000e-6"   (mantissa, lower-case e, bare exponent)
//   fixed(0.5, 4)     -> "0.5000"
//   display(1e-7)     -> "0.0000001"  (shortest round-trip, positional)
//   debug(1.0)        -> "1.0"        (shortest, exponent form below 1e-4 / from 1e16)
//   exp_shortest(1e-7)-> "1e-7"
// NaN prints as "NaN", infinities as "inf" / "-inf"; -0.0 keeps its sign.
// Rounding of the fixed-precision forms is that of glibc's printf (exact
// binary value, ties to even).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace morva::fmt {

// Scientific notation with `precision` digits after the point.
std::string exp(double value, int precision);
// The same form appended to `out` (for writers of many numbers).
void append_exp(std::string& out, double value, int precision);
// Fixed-point notation with `precision` digits after the point.
std::string fixed(double value, int precision);
// Shortest decimal that reads back to the same value, positional notation;
// integral values have no fraction ("1", "-0").
std::string display(double value);
// Shortest round-trip form as a debugging representation: positional with at
// least one fractional digit ("1.0", "0.0001"), or exponent form ("1e-5",
// "1.5e16") when the magnitude is below 1e-4 or at least 1e16.
std::string debug(double value);
// Shortest round-trip digits in exponent form ("1e-7", "1.5e0", "0e0").
std::string exp_shortest(double value);
// A quoted, escaped string as a debugging representation: "\"a\\nb\"".
std::string debug_str(std::string_view text);
// Lower-case hexadecimal without prefix or leading zeros.
std::string hex(std::uint64_t value);

namespace detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <class T>
requires(std::is_integral_v<T> && !std::is_same_v<T, char> &&
         !std::is_same_v<T, bool>) void append(std::string& out, T v) {
    out.append(std::to_string(v));
}
// Floating-point values must be formatted explicitly with one of the forms
// above; there is no implicit default.
template <class T>
requires std::is_floating_point_v<T>
void append(std::string& out, T) = delete;
}  // namespace detail

// Concatenates texts, characters and integers (decimal).
template <class... Args>
std::string cat(const Args&... args) {
    std::string out;
    (detail::append(out, args), ...);
    return out;
}

}  // namespace morva::fmt
