#include "common/decimal.h"

#include <charconv>
#include <limits>
#include <system_error>

#include "common/text.h"

namespace morva {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The power of ten of the leading significant digit of a valid decimal
// number text (0 when every digit is zero).
long decimal_exponent(std::string_view text) {
    const std::size_t e = text.find_first_of("eE");
    const std::string_view mantissa = text.substr(0, e);
    long exp10 = 0;
    if (e != std::string_view::npos) {
        std::string_view digits = text.substr(e + 1);
        const bool negative = !digits.empty() && digits[0] == '-';
        if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
        for (const char c : digits) exp10 = std::min<long>(exp10 * 10 + (c - '0'), 1L << 40);
        if (negative) exp10 = -exp10;
    }
    const std::size_t point = mantissa.find('.');
    const std::size_t int_end = point == std::string_view::npos ? mantissa.size() : point;
    for (std::size_t k = 0; k < mantissa.size(); ++k) {
        if (mantissa[k] < '1' || mantissa[k] > '9') continue;
        const long offset =
            k < int_end ? static_cast<long>(int_end - k) - 1 : -static_cast<long>(k - int_end);
        return exp10 + offset;
    }
    return 0;
}

}  // namespace

bool is_decimal_number(std::string_view word) {
    std::size_t i = 0;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < word.size() && is_digit(word[i])) ++i, ++digits;
    if (i < word.size() && word[i] == '.') {
        ++i;
        while (i < word.size() && is_digit(word[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
        ++i;
        if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < word.size() && is_digit(word[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == word.size();
}

std::optional<double> parse_decimal(std::string_view word) {
    const bool negative = !word.empty() && word[0] == '-';
    std::string_view body = word;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (ascii_iequals(body, "inf") || ascii_iequals(body, "infinity")) return negative ? -kInf : kInf;
    if (ascii_iequals(body, "nan")) return std::numeric_limits<double>::quiet_NaN();
    if (!is_decimal_number(word)) return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (ec == std::errc::result_out_of_range) {
        value = decimal_exponent(body) > 0 ? kInf : 0.0;
    } else if (ec != std::errc() || end != body.data() + body.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

}  // namespace morva
