#include "common/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace morva::fmt {
namespace {

// Non-finite values print the same in every form.
bool non_finite(double value, std::string& out) {
    if (std::isnan(value)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out = value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

// Shortest round-trip digits of |value| (no leading or trailing zeros, at
// least one digit) and the decimal exponent of the first digit.
struct ShortestDigits {
    std::string digits;
    int exponent = 0;
};

ShortestDigits shortest_digits(double value) {
    ShortestDigits out;
    if (value == 0.0) {
        out.digits.assign(1, '0');
        return out;
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
    std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
    auto e_pos = text.find('e');
    std::string_view mantissa = text.substr(0, e_pos);
    for (char c : mantissa)
        if (c != '.') out.digits.push_back(c);
    while (out.digits.size() > 1 && out.digits.back() == '0') out.digits.pop_back();
    out.exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());
    return out;
}

std::string positional(const ShortestDigits& d, bool force_fraction) {
    std::string out;
    const int n = static_cast<int>(d.digits.size());
    if (d.exponent < 0) {
        out = "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out.append(d.digits);
    } else if (d.exponent >= n - 1) {
        out = d.digits;
        out.append(static_cast<std::size_t>(d.exponent - (n - 1)), '0');
        if (force_fraction) out.append(".0");
    } else {
        out = d.digits.substr(0, static_cast<std::size_t>(d.exponent + 1));
        out.push_back('.');
        out.append(d.digits.substr(static_cast<std::size_t>(d.exponent + 1)));
    }
    return out;
}

std::string exponent_form(const ShortestDigits& d) {
    std::string out(1, d.digits[0]);
    if (d.digits.size() > 1) {
        out.push_back('.');
        out.append(d.digits.substr(1));
    }
    out.push_back('e');
    out.append(std::to_string(d.exponent));
    return out;
}

}  // namespace

void append_exp(std::string& out, double value, int precision) {
    if (std::isnan(value)) {
        out.append("NaN");
        return;
    }
    if (std::isinf(value)) {
        out.append(value < 0 ? "-inf" : "inf");
        return;
    }
    if (precision < 0) precision = 0;
    // to_chars rounds exactly as printf does; only the exponent's form differs
    // ("e-06" becomes "e-6", "e+00" becomes "e0").
    char small[64];
    std::string large;
    char* buf = small;
    std::size_t cap = sizeof small;
    if (precision > 40) {
        large.resize(static_cast<std::size_t>(precision) + 32);
        buf = large.data();
        cap = large.size();
    }
    const auto res = std::to_chars(buf, buf + cap, value, std::chars_format::scientific, precision);
    const char* e = std::find(static_cast<const char*>(buf), static_cast<const char*>(res.ptr), 'e');
    out.append(buf, static_cast<std::size_t>(e + 1 - buf));
    const char* digits = e + 1;
    if (*digits == '-') out.push_back('-');
    if (*digits == '-' || *digits == '+') ++digits;
    while (digits + 1 < res.ptr && *digits == '0') ++digits;
    out.append(digits, static_cast<std::size_t>(res.ptr - digits));
}

std::string exp(double value, int precision) {
    std::string out;
    append_exp(out, value, precision);
    return out;
}

std::string fixed(double value, int precision) {
    std::string out;
    if (non_finite(value, out)) return out;
    if (precision < 0) precision = 0;
    int len = std::snprintf(nullptr, 0, "%.*f", precision, value);
    out.assign(static_cast<std::size_t>(len) + 1, '\0');
    std::snprintf(out.data(), out.size(), "%.*f", precision, value);
    out.resize(static_cast<std::size_t>(len));
    return out;
}

std::string display(double value) {
    std::string out;
    if (non_finite(value, out)) return out;
    out.clear();
    if (std::signbit(value)) out.push_back('-');
    out.append(positional(shortest_digits(value), false));
    return out;
}

std::string debug(double value) {
    std::string out;
    if (non_finite(value, out)) return out;
    out.clear();
    if (std::signbit(value)) out.push_back('-');
    const double mag = std::fabs(value);
    const ShortestDigits d = shortest_digits(value);
    if (mag != 0.0 && (mag < 1e-4 || mag >= 1e16))
        out.append(exponent_form(d));
    else
        out.append(positional(d, true));
    return out;
}

std::string exp_shortest(double value) {
    std::string out;
    if (non_finite(value, out)) return out;
    out.clear();
    if (std::signbit(value)) out.push_back('-');
    out.append(exponent_form(shortest_digits(value)));
    return out;
}

std::string debug_str(std::string_view text) {
    static const char* const kHex = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '\0': out.append("\\0"); continue;
            case '\t': out.append("\\t"); continue;
            case '\r': out.append("\\r"); continue;
            case '\n': out.append("\\n"); continue;
            case '\\': out.append("\\\\"); continue;
            case '"': out.append("\\\""); continue;
            default: break;
        }
        unsigned code = 0;
        if (c < 0x20 || c == 0x7f) {
            code = c;
        } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // C1 control characters are not printable either.
            code = static_cast<unsigned char>(text[i + 1]);
            ++i;
        } else {
            out.push_back(static_cast<char>(c));
            continue;
        }
        out.append("\\u{");
        if (code >= 16) out.push_back(kHex[code >> 4]);
        out.push_back(kHex[code & 15]);
        out.push_back('}');
    }
    out.push_back('"');
    return out;
}

std::string hex(std::uint64_t value) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, value, 16);
    return std::string(buf, res.ptr);
}

}  // namespace morva::fmt
