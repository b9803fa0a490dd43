// Locale-independent reading of decimal floating-point text.
#pragma once

#include <optional>
#include <string_view>

namespace morva {

// Reads a whole word as a float64: an optional sign, then digits with an
// optional decimal point (at least one digit) and an optional exponent (e or
// E, optional sign, digits), or one of inf, infinity and nan in any letter
// case. Values beyond the float64 range become infinities, values below it
// zeros. Anything else (SPICE suffixes, units, trailing text) is nothing.
std::optional<double> parse_decimal(std::string_view word);

// True when `word` is a decimal number of the form above, without the
// named forms (inf, nan).
bool is_decimal_number(std::string_view word);

}  // namespace morva
