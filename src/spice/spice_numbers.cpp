#include "spice/spice_numbers.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <system_error>

#include "common/decimal.h"
#include "common/format.h"
#include "common/text.h"
#include "spice/spice_expr.h"

namespace morva::spice::spice_numbers {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
bool is_ascii_alpha(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// The length of the UTF-8 sequence that starts with `lead` as its lead byte
// announces it; 0 for a byte that starts none.
std::size_t sequence_length(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

}  // namespace

std::string latin1_micro_signs_as_utf8(std::string bytes) {
    if (bytes.find('\xB5') == std::string::npos) return bytes;
    std::string out;
    out.reserve(bytes.size() + 8);
    const auto byte = [&](std::size_t k) {
        return k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : 0;
    };
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = byte(i);
        if (c == 0xB5) {
            out.append(kMicroSign);
            ++i;
            continue;
        }
        // A whole sequence is copied, so that its last byte is never taken
        // for a Latin-1 micro sign ("õ" is C3 B5, "µ" itself C2 B5).
        std::size_t n = c < 0x80 ? 1 : sequence_length(c);
        for (std::size_t k = 1; k < n; ++k)
            if ((byte(i + k) & 0xC0) != 0x80) n = 0;
        n = n == 0 ? 1 : n;
        out.append(bytes, i, n);
        i += n;
    }
    return out;
}

namespace {

// ngspice's decimal reader of its command language: a sign, the integer
// digits accumulated in a double, and the fraction's digits, accumulated
// apart, added times 10^-count. Moves `i` past what it read.
std::optional<double> command_decimal(std::string_view text, std::size_t& i) {
    const auto at = [&](std::size_t k) { return k < text.size() ? text[k] : '\0'; };
    std::size_t k = i;
    double sign = 1.0;
    if (at(k) == '+' || at(k) == '-') sign = text[k++] == '-' ? -1.0 : 1.0;
    if (!is_digit(at(k)) && !(at(k) == '.' && is_digit(at(k + 1)))) return std::nullopt;
    double value = 0.0;
    for (; is_digit(at(k)); ++k) value = value * 10.0 + (text[k] - '0');
    if (at(k) == '.') {
        double fraction = 0.0;
        int count = 0;
        for (++k; is_digit(at(k)); ++k, ++count) fraction = fraction * 10.0 + (text[k] - '0');
        value += fraction * std::pow(10.0, -static_cast<double>(count));
    }
    i = k;
    return sign * value;
}

}  // namespace

std::optional<double> command_number(std::string_view text) {
    std::size_t i = 0;
    const std::optional<double> read = command_decimal(text, i);
    if (!read) return std::nullopt;
    double mantissa = *read;
    double exponent = 0.0;
    const auto at = [&](std::size_t k) { return k < text.size() ? text[k] : '\0'; };
    const char c = static_cast<char>(at(i) | 0x20);  // ASCII letters to lower case
    if (c == 'e') {
        std::size_t k = i + 1;
        exponent = command_decimal(text, k).value_or(0.0);
    } else if (text.substr(i).starts_with(kMicroSign)) {
        exponent = -6.0;
    } else if (c == 'm' && (at(i + 1) | 0x20) == 'e' && (at(i + 2) | 0x20) == 'g') {
        exponent = 6.0;
    } else if (c == 'm' && (at(i + 1) | 0x20) == 'i' && (at(i + 2) | 0x20) == 'l') {
        exponent = -6.0;
        mantissa *= 25.4;
    } else {
        switch (c) {
            case 't': exponent = 12.0; break;
            case 'g': exponent = 9.0; break;
            case 'k': exponent = 3.0; break;
            case 'm': exponent = -3.0; break;
            case 'u': exponent = -6.0; break;
            case 'n': exponent = -9.0; break;
            case 'p': exponent = -12.0; break;
            case 'f': exponent = -15.0; break;
            default: break;
        }
    }
    return mantissa * (exponent == 0.0 ? 1.0 : std::pow(10.0, exponent));
}

namespace {

// The scale numparam gives the letter after a number: no mils there.
double expression_scale(std::string_view rest) {
    if (rest.empty()) return 1.0;
    if (rest.starts_with(kMicroSign)) return 1e-6;
    switch (rest[0] | 0x20) {  // ASCII letters to lower case
        case 't': return 1e12;
        case 'g': return 1e9;
        case 'k': return 1e3;
        case 'm': return rest.size() >= 3 && ascii_iequals(rest.substr(0, 3), "meg") ? 1e6 : 1e-3;
        case 'u': return 1e-6;
        case 'n': return 1e-9;
        case 'p': return 1e-12;
        case 'f': return 1e-15;
        default: return 1.0;
    }
}

// What numparam skips after a number as its unit.
bool is_unit_char(char c) {
    return is_ascii_alpha(c) || c == '_' || c == '[' || c == ']' || static_cast<unsigned char>(c) >= 0x80;
}

// A hexadecimal number after its "0x": digits, a point, digits and a "p"
// exponent (its letter and sign taken without digits too), as sscanf reads
// it. None without a hex digit.
std::optional<double> hex_number(std::string_view text, std::size_t& i) {
    const auto at = [&](std::size_t k) { return k < text.size() ? text[k] : '\0'; };
    const std::size_t start = i;
    std::size_t k = i, digits = 0;
    for (; is_hex_digit(at(k)); ++k) ++digits;
    if (at(k) == '.')
        for (++k; is_hex_digit(at(k)); ++k) ++digits;
    if (digits == 0) return std::nullopt;
    std::size_t number_end = k;
    if ((at(k) | 0x20) == 'p') {
        ++k;
        if (at(k) == '+' || at(k) == '-') ++k;
        if (is_digit(at(k))) {
            while (is_digit(at(k))) ++k;
            number_end = k;
        }
    }
    i = k;
    double value = 0.0;
    const char* first = text.data() + start;
    const auto [ptr, ec] = std::from_chars(first, text.data() + number_end, value, std::chars_format::hex);
    if (ec == std::errc::result_out_of_range) {
        // Beyond the range: an infinity, or 0 below it, as sscanf gives.
        const std::size_t p = text.substr(start, number_end - start).find_first_of("pP");
        return p != std::string_view::npos && text[start + p + 1] == '-' ? 0.0 : HUGE_VAL;
    }
    if (ec != std::errc()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<double> expression_number(std::string_view text, std::size_t* end) {
    const auto at = [&](std::size_t k) { return k < text.size() ? text[k] : '\0'; };
    std::size_t i = 0;
    std::optional<double> value;
    if (at(0) == '0' && (at(1) | 0x20) == 'x') {
        i = 2;
        value = hex_number(text, i);
        if (!value) return std::nullopt;
    } else {
        std::size_t digits = 0;
        for (; is_digit(at(i)); ++i) ++digits;
        if (at(i) == '.')
            for (++i; is_digit(at(i)); ++i) ++digits;
        if (digits == 0) return std::nullopt;
        std::size_t number_end = i;
        if ((at(i) | 0x20) == 'e') {
            ++i;
            if (at(i) == '+' || at(i) == '-') ++i;
            if (is_digit(at(i))) {
                while (is_digit(at(i))) ++i;
                number_end = i;
            }
        }
        value = parse_decimal(text.substr(0, number_end));
        if (!value) return std::nullopt;
    }
    const double scale = expression_scale(text.substr(i));
    while (is_unit_char(at(i))) ++i;
    *end = i;
    return *value * scale;
}

std::optional<double> read_back(std::string_view text, NumberReader reader) {
    switch (reader) {
        case NumberReader::Netlist:
            if (spice_expr::value_token_end(text) != text.size()) return std::nullopt;
            return spice_expr::leading_number(text);
        case NumberReader::Command: return command_number(text);
        case NumberReader::Expression: return parse_decimal(text);
    }
    return std::nullopt;
}

namespace {

// The decimal digits and exponent of `value` rounded to `significant`
// digits (at most 19).
struct Digits {
    std::uint64_t mantissa = 0;  // `significant` digits
    int exponent = 0;            // of the first digit
};

Digits digits_of(double value, int significant) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific,
                                   significant - 1);
    Digits d;
    const char* p = buf;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (is_digit(*p)) d.mantissa = d.mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
    if (p < res.ptr) std::from_chars(p + 1 + (p[1] == '+'), res.ptr, d.exponent);
    return d;
}

// The texts of a mantissa whose first digit stands for 10^`exponent`: "-d.ddde-7", and the integer forms
// "-dddde-10",
// "-ddddde-11" ... with up to `zeros` zeros appended. ngspice's readers round
// each form differently.
template <class Try>
bool try_forms(bool negative, std::uint64_t mantissa, int exponent, int zeros, Try&& take) {
    const std::string digits = std::to_string(mantissa);
    const std::string sign = negative ? "-" : "";
    const std::string_view fraction = std::string_view(digits).substr(1);
    if (take(fmt::cat(sign, digits[0], fraction.empty() ? "" : ".", fraction, "e", exponent))) return true;
    for (int z = digits.size() > 1 ? 0 : 1; z <= zeros; ++z)
        if (take(fmt::cat(sign, digits, std::string(static_cast<std::size_t>(z), '0'), "e",
                          exponent - static_cast<int>(digits.size() - 1) - z)))
            return true;
    return false;
}

}  // namespace

std::string number_text(double value, int digits, NumberReader reader) {
    if (!std::isfinite(value)) return fmt::exp(value, digits);
    std::string found;
    const auto take = [&](std::string text) {
        if (read_back(text, reader) != value) return false;
        found = std::move(text);
        return true;
    };
    if (take(fmt::exp(value, digits))) return found;
    for (int p = 0; p < 17; ++p)
        if (take(fmt::exp(value, p))) return found;
    const bool negative = std::signbit(value);
    for (int p = 1; p <= 17; ++p) {
        const Digits d = digits_of(value, p);
        if (try_forms(negative, d.mantissa, d.exponent, 2, take)) return found;
    }
    // ngspice's readers round more than once, so the value may need digits a
    // little off its own: near neighbours of its 16 to 19 digit forms.
    constexpr std::uint64_t kNeighbours = 64;
    constexpr int kSignificant[] = {17, 16, 18, 19};
    Digits forms[std::size(kSignificant)];
    for (std::size_t f = 0; f < std::size(kSignificant); ++f) forms[f] = digits_of(value, kSignificant[f]);
    for (std::uint64_t k = 1; k <= kNeighbours; ++k) {
        for (std::size_t f = 0; f < std::size(kSignificant); ++f) {
            for (const std::uint64_t m : {forms[f].mantissa + k, forms[f].mantissa - k}) {
                // Keep the digit count: a carry or a lost digit moves the exponent.
                if (std::to_string(m).size() != static_cast<std::size_t>(kSignificant[f])) continue;
                if (try_forms(negative, m, forms[f].exponent, 0, take)) return found;
            }
        }
    }
    return fmt::exp_shortest(value);
}

}  // namespace morva::spice::spice_numbers
