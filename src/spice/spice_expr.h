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

#include "common/text.h"

namespace morva::spice::spice_expr {

// `.param` values by lower-case name.
using ParamMap = std::unordered_map<std::string, double>;

// The shared whitespace helpers under the names the model-library readers
// use.
using morva::first_word;
using morva::split_whitespace;
using morva::whitespace_at;
using morva::whitespace_before;
inline std::string_view trim_start(std::string_view s) { return trim_start_whitespace(s); }
inline std::string_view trim(std::string_view s) { return trim_whitespace(s); }

// Directive lines of design-kit files, read the same way by the model-library
// reader and by pdk::flatten_pdk. Each takes a line with its leading blanks
// removed; directives match ignoring ASCII case.

// The line up to its first "$" or ";" outside double quotes (a double quote
// toggles; single quotes do not protect): what follows is a comment.
std::string_view without_comment(std::string_view line);

// The text without its leading and trailing single and double quotes: how a
// section or file name is read whether quoted or not.
std::string_view strip_quotes(std::string_view text);

// The name a section header ".lib name" defines, read as ngspice reads it:
// the one word after ".lib", quotes around it stripped (".lib 'tt'" is the
// header of tt). None for any other line, a redirect included.
std::optional<std::string_view> section_header(std::string_view line);

// True for a ".lib" line that is not a section header: a redirect
// ".lib 'file' section" (or a malformed one).
bool is_redirect(std::string_view line);

// True for a line that closes the current section: ".endl" alone or with any
// name, as ngspice closes a section at the first ".endl" after its header.
bool is_section_end(std::string_view line);

// The first word after `keyword` (quotes stripped) when `line` starts with
// that directive followed by a blank or the line's end; none otherwise or
// when no word follows.
std::optional<std::string> directive_arg(std::string_view line, std::string_view keyword);

// The file and section words of a redirect ".lib file section": the file
// word in double or single quotes (blanks allowed) or up to the first blank,
// the section word as written (case and quotes kept). None for a line that
// is not a redirect, whose quote is not closed or that names no section.
struct Redirect {
    std::string_view file;
    std::string_view section;
};
std::optional<Redirect> redirect_target(std::string_view line);

// The file word of an include ".include file" (any directive starting with
// ".inc", as ngspice reads them): quoted (blanks allowed) or up to the first
// blank. None for other lines, an unclosed quote or no file word.
std::optional<std::string_view> include_target(std::string_view line);

// A number followed by letters: a SPICE scale suffix (f p n u m k g t, "m"
// being milli, or "meg") and/or unit letters, skipped as ngspice skips them
// ("10uA", "1.2V"). None without letters: that is a plain literal.
std::optional<double> parse_spice_float(std::string_view text);

// How ngspice reads a value of a `.model` card or a device line that it
// does not evaluate as an expression: one that starts like a number (a digit,
// ".", or "+" or "-" before a digit or ".digit"; see starts_like_number).
// Its token ends where its token reader ends it (value_token_end): at a
// blank, "=", "(", ")", ",", "*", "/", "^", or a sign after the mantissa's
// digits or after anything but an exponent letter "e"; a leading sign moves
// it on as one after "e" does, "+" as "-" ("+4.2e-1" is one token, "1.5d-3"
// ends at the "-"). Its number reader takes from the token an optional
// sign, digits with an optional point, an exponent (e or d, sign, digits;
// its letter alone adds nothing) and one scale (the first letter: t g k m u
// n p f, or "meg", or "mil" for 25.4e-6, or the micro sign; any other letter
// scales by 1), and skips the rest: "4.8.3" is 4.8, "0x10" 0, "1.5d3" 1500,
// "1e-3x" 1e-3, "+5e-1u" 5e-7. None without a digit (ngspice reads ".u" as
// 0). The value is ngspice's to the bit: the digits accumulated in a double
// (each as its character code less that of "0"), times one power of ten
// (pow) for the point, the exponent and the scale together ("0.3" is
// 0.30000000000000004, "4.8" 4.800000000000001), not the correctly rounded
// reading of expressions.
bool starts_like_number(std::string_view text);
std::size_t value_token_end(std::string_view text);
std::optional<double> leading_number(std::string_view token);

// The value ngspice gives a card or an instance for an expression it
// evaluated there: written with 15 decimals and read back by its number
// reader (leading_number), so 3 comes back as 3.0000000000000004 and 0.1 as
// 0.09999999999999999; most values are unchanged or an ulp away. A value
// that is not finite is returned as it is.
double substituted_value(double value);

// Evaluates an expression as ngspice evaluates .param values: numbers (as
// spice_numbers::expression_number reads them), `.param` names (ASCII case
// ignored), groups in (), {} or ''; c ? a : b, || && ! (nonzero is true), comparisons == != < <= > >= (also
// "=" and "<>", one level, left to right), + - * / and % (the remainder of
// the truncated quotient), powers `**` or `^` (left to right, of the base's
// magnitude); ngspice's signs: a leading "-" negates the first term, a "-"
// after an operator is a number's own sign or else carries to the next
// number ("2*-y^2" is 2*y^-2); the functions sqrt sqr exp log ln log10 abs
// sgn int floor ceil nint, the trigonometric and hyperbolic ones and their
// inverses (arctan too), min, max, pow (the C one), pwr (the power of the
// operators) and ternary_fcn; the statistical agauss, gauss, aunif, unif and
// limit give their nominal value, the first argument, as ngspice reads them
// with two or three arguments (with one it takes a nominal 1; with none or
// more than three it refuses the call; agauss and gauss with a last argument
// of 0 are not a number). Intermediate values follow IEEE arithmetic;
// anything undefined, unsupported, refused by ngspice or not finite at the
// end gives no value.
std::optional<double> evaluate(std::string_view text, const ParamMap& params);
// As evaluate, but the value as IEEE arithmetic leaves it, infinite or not a
// number too: a caller can tell an expression that overflows from one that
// cannot be read.
std::optional<double> evaluate_ieee(std::string_view text, const ParamMap& params);

}  // namespace morva::spice::spice_expr
