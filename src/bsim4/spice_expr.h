// Lexical helpers and the value evaluator of SPICE model libraries: numbers
// with scale suffixes, `.param` references and small arithmetic expressions
// as design kits write them in `.param` lines and `.model` cards.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace morva::bsim4::spice_expr {

// `.param` values by lower-case name.
using ParamMap = std::unordered_map<std::string, double>;

std::size_t non_ascii_whitespace_at(std::string_view s, std::size_t i);

// Byte length of the Unicode White_Space character that starts at `i` in the
// UTF-8 text `s`, or 0 when none starts there.
inline std::size_t whitespace_at(std::string_view s, std::size_t i) {
    if (i >= s.size()) return 0;
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0d) ? 1 : 0;
    return non_ascii_whitespace_at(s, i);
}
// Byte length of the Unicode White_Space character that ends just before `end`,
// or 0.
std::size_t whitespace_before(std::string_view s, std::size_t end);

std::string_view trim_start(std::string_view s);
std::string_view trim_end(std::string_view s);
std::string_view trim(std::string_view s);
// The whitespace-separated words of `s`.
std::vector<std::string_view> split_whitespace(std::string_view s);
// The first whitespace-separated word of `s` (empty when none), and the rest
// after it (untrimmed) in `*rest` when given.
std::string_view first_word(std::string_view s, std::string_view* rest = nullptr);

// A plain decimal floating-point literal: optional sign, digits with an
// optional point, optional exponent; also "inf", "infinity", "nan" in any case.
std::optional<double> parse_plain_float(std::string_view text);

// A number with one SPICE scale suffix as its last character (f p n u m k g t,
// "m" being milli) or ending in "meg"; no unit letters after the suffix.
std::optional<double> parse_spice_float(std::string_view text);

// Evaluates an expression: numbers (with suffixes), `.param` names (ASCII case
// ignored), + - * / and unary signs, `**`, groups in (), {} or '', and the
// functions sqrt, exp, log, abs, min, max, pow. Anything undefined,
// unsupported or not finite gives no value.
std::optional<double> evaluate(std::string_view text, const ParamMap& params);

}  // namespace morva::bsim4::spice_expr
