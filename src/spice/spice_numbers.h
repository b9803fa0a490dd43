// Numbers in the texts ngspice (39) reads: the micro sign of its input, the
// number reader of its command language and of its expressions, and number
// texts that each of its readers reads back as the value meant.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace morva::spice::spice_numbers {

// The micro sign, U+00B5 in UTF-8. ngspice reads it as "u" wherever it
// stands, so every number reader here takes it for the scale u: "5µ" and
// "5µm" are 5e-6.
inline constexpr std::string_view kMicroSign = "\xC2\xB5";

// The bytes of a kit file with each Latin-1 micro sign (the byte B5 where a
// character starts) written in UTF-8, as ngspice also reads that byte as
// "u"; the text then decodes as UTF-8 without losing it. Every other byte
// is kept (a UTF-8 sequence whole, "õ" (C3 B5) included).
std::string latin1_micro_signs_as_utf8(std::string bytes);

// The number at the start of `text` as ngspice's command language reads it
// (alter, let, .option values): an optional sign, digits with an optional
// point, then either an exponent ("e" or "E" and a number in the same form,
// a fraction allowed: "1e0.5" is 10^0.5; an "e" without one adds nothing)
// or one scale (t g k u n p f, m milli, "meg", "mil" for 25.4e-6, any case);
// letters after it are skipped. None when no digit starts it (after the
// sign, a digit or a point and a digit). Computed as ngspice does: the
// integer digits accumulated in a double, plus the fraction's digits times
// 10^-count, times 10^exponent ("3.000000e-1" is 0.30000000000000004).
std::optional<double> command_number(std::string_view text);

// The number at the start of `text` (a digit, or a point and a digit) as
// ngspice reads one in an expression (`.param` values, {} groups, the
// parameters of a subcircuit call), with sscanf's "%G": correctly rounded;
// "0x" or "0X" starts a hexadecimal number (hex digits, a point, a "p"
// exponent: "0x10" is 16, and none when no hex digit follows); an exponent
// letter and its sign are taken even without digits ("1e-" is 1, "1e+5" is
// 1e5, "1d3" is 1 followed by "d3"). Then one scale letter (t g k m u n p f,
// or "meg"; "mil" is milli) multiplies it, and the letters, "_", "[", "]"
// and non-ASCII bytes after it are skipped. `*end` is set to where those
// end.
std::optional<double> expression_number(std::string_view text, std::size_t* end);

// Which of ngspice's readers a written number is meant for.
enum class NumberReader {
    Netlist,     // device, source and analysis lines (spice_expr::leading_number)
    Command,     // control commands such as alter (command_number)
    Expression,  // the parameters of a subcircuit call, .param values (correctly rounded)
};

// The value `reader` reads from the whole of `text`; none when it reads no
// number there.
std::optional<double> read_back(std::string_view text, NumberReader reader);

// A text that `reader` reads back as exactly `value`, in exponent form:
// `value` with `digits` digits after the point when that reads back, else
// the fewest digits that do ("4e-1", where ngspice's netlist reader makes
// 0.39999999999999997 of "4.000000e-1"; "-30e-2", where its command reader
// makes -0.30000000000000004 of "-3e-1"), else digits a little off the
// value's own. Every decimal of up to 4 significant digits reads back; of
// arbitrary doubles about 1.6 % for the netlist reader and 0.2 % for the
// command reader have no such text of up to 19 digits and get the shortest
// correctly rounded form, which ngspice reads within an ulp or two. A value
// that is not finite is written as fmt::exp writes it.
std::string number_text(double value, int digits, NumberReader reader);

}  // namespace morva::spice::spice_numbers
