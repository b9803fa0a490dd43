// The model-library parser: values, lines, pairs, cards, sections, bins and
// subcircuit defaults, on hand-written kits written to a temporary folder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/format.h"
#include "spice/model_parser.h"
#include "test_model_parser_support.h"

namespace fmt = morva::fmt;

namespace {

std::optional<double> value(std::string_view text, const mp::ParamMap& params = {}) {
    return mp::parse_value(text, params);
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

}  // namespace

TEST(ModelParserValues, NumbersAndSuffixes) {
    EXPECT_EQ(value("1e-3+1"), 1e-3 + 1.0);
    EXPECT_EQ(value("1meg"), 1e6);
    EXPECT_EQ(value("5MEG"), 5e6);
    EXPECT_EQ(value("1M"), 1e-3);
    EXPECT_EQ(value("4.1n"), 4.1 * 1e-9);
    EXPECT_EQ(value("2e+020"), 2e20);
    EXPECT_EQ(value(".5"), 0.5);
    EXPECT_EQ(value("-inf"), -HUGE_VAL);
    EXPECT_TRUE(std::isnan(*value("NaN")));
    EXPECT_EQ(value("1e400"), HUGE_VAL);  // a literal keeps its meaning
    EXPECT_EQ(value("1e-400"), 0.0);
    EXPECT_EQ(value("1e400*1"), std::nullopt);  // ... a computed infinity has none
    // Letters after the number are its scale (the first letter, or "meg") and
    // then units, which ngspice skips: dropping the value would leave the
    // parameter at its default.
    EXPECT_EQ(value("10uA"), 10 * 1e-6);
    EXPECT_EQ(value("1.2V"), 1.2);
    EXPECT_EQ(value("'300mV'"), 300 * 1e-3);
    EXPECT_EQ(value("4.1nm"), 4.1 * 1e-9);
    EXPECT_EQ(value("1.5kohm"), 1.5 * 1e3);
    EXPECT_EQ(value("1MEGohm"), 1e6);
    EXPECT_EQ(value("1mil"), 1e-3);  // no mils: milli, then a unit
    EXPECT_EQ(value("1a"), 1.0);
    EXPECT_EQ(value("0.4_v"), 0.4);
    EXPECT_EQ(value("1e"), 1.0);
    EXPECT_EQ(value("{2 * 1.5kohm + 1e3V}"), 4e3);
    EXPECT_EQ(value("2v5"), std::nullopt);
    EXPECT_EQ(mp::parse_spice_float("2.5k"), 2500.0);
    EXPECT_EQ(mp::parse_spice_float("2.5kV"), 2500.0);
    EXPECT_EQ(mp::parse_spice_float("2.5V"), 2.5);
    EXPECT_EQ(mp::parse_spice_float("2.5"), std::nullopt);
    EXPECT_EQ(mp::parse_spice_float(""), std::nullopt);
}

// Card and device-line values as ngspice (39) reads them, to the bit: each
// card value checked with its @model[param] at numdgt=17; a device line reads
// them alike but has no value where ngspice refuses the line. A value that
// starts like a number is read by its number reader up to where the number
// ends, not evaluated.
TEST(ModelParserValues, CardAndDeviceLineValuesAsNgspiceReadsThem) {
    const mp::ParamMap p{{"vt", 0.4}};
    const struct {
        const char* text;
        std::optional<double> card, device;  // none: no value there
    } cases[] = {
        {"0.42", 0.42, 0.42},
        {"1.5u", 1.5e-6, 1.5e-6},
        {"1meg", 1e6, 1e6},
        {"0.5MeGaHz", 0.5e6, 0.5e6},
        {"1me", 1e-3, 1e-3},
        {"1e-3x", 1e-3, 1e-3},
        {"1.5uabc", 1.5e-6, 1.5e-6},
        {"1mil", 25.4 * 1e-6, 25.4 * 1e-6},  // a mil, where an expression reads milli
        {"4.8.3", 4.800000000000001, 4.800000000000001},
        {"0x10", 0.0, 0.0},
        {"1e", 1.0, 1.0},
        {"5.", 5.0, 5.0},
        {"-.5e1x", -5.0, -5.0},
        {"+0.5", 0.5, 0.5},
        {"1e3.5", 1e3, 1e3},
        {"1u5", 1e-6, 1e-6},
        {"1.5d3", 1.5e3, 1.5e3},
        {"1e-3k", 1e-3 * 1e3, 1e-3 * 1e3},
        {"1e400", HUGE_VAL, HUGE_VAL},
        // The token ends at an operator or at a sign after the mantissa: on a
        // card the rest is dropped, on a device line it is a parameter ngspice
        // does not know.
        {"0.42+0.01", 0.42, std::nullopt},
        {"1e-3-2", 1e-3, std::nullopt},
        {"1.5d-3", 1.5, std::nullopt},
        {"0.42*2", 0.42, std::nullopt},
        {"-0.42+0.01", -0.42, std::nullopt},
        // No digit: ngspice reads 0 where this reader has no value.
        {".u", std::nullopt, std::nullopt},
        {".abc", std::nullopt, std::nullopt},
        // Anything else is an expression, as in a .param line.
        {"vt", 0.39999999999999997, 0.39999999999999997},
        {"vt+0.01", 0.41, 0.41},
        {"--1", 1.0, 1.0},
        {"+-0.5", -0.5, -0.5},
        {"{1mil}", 1e-3, 1e-3},
        {"'0.42+0.01'", 0.42 + 0.01, 0.42 + 0.01},
        {"-+0.5", std::nullopt, std::nullopt},
        {"e3", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mp::site_value(c.text, p, mp::ValueSite::Card), c.card) << c.text;
        EXPECT_EQ(mp::site_value(c.text, p, mp::ValueSite::DeviceLine), c.device) << c.text;
    }
}

// ngspice's number reader is not correctly rounded: it accumulates the digits
// and applies one power of ten. An expression's numbers are read correctly
// rounded (so (4.8-4)*1e16 is 7999999999999998, not 8000000000000007) and its
// value goes back through that reader from 15 decimals. Each value as
// ngspice's @model[param] gives it at numdgt=17, with .param vt=0.1.
TEST(ModelParserValues, NumbersToTheBitAsNgspiceReadsThem) {
    const mp::ParamMap p{{"vt", 0.1}};
    const std::pair<const char*, double> cases[] = {
        {"0.3", 0.30000000000000004},
        {"4.8", 4.800000000000001},
        {"1.7e-9", 1.7000000000000001e-09},
        {"4.1n", 4.1e-09},
        {"2.5e-6", 2.4999999999999998e-06},
        {"1e23", 1.0000000000000001e+23},
        {"3.9", 3.9000000000000004},
        {"-1.2", -1.2000000000000002},
        {"0.009", 0.009000000000000001},
        {"5e-11", 4.9999999999999995e-11},
        {"7.3u", 7.2999999999999996e-06},
        {"1.5mil", 3.81e-05},
        {"123456.789", 123456.789},
        {"{4.8}", 4.800000000000001},
        {"{0.1+0.2}", 0.3},
        {"{(4.8-4)*1e16}", 7999999999999998.0},
        {"{1.7e-9}", 1.7e-09},
        {"{4.1n}", 4.099999999999999e-09},
        {"vt", 0.09999999999999999},
        {"{vt*3}", 0.3},
        {"\"4.8\"", 4.800000000000001},
        {"\"{4.8}\"", 4.800000000000001},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(mp::site_value(text, p, mp::ValueSite::Card), expected) << text;
        EXPECT_EQ(mp::site_value(text, p, mp::ValueSite::DeviceLine), expected) << text;
    }
    // Exponents past any double's range give 0 or an infinity, not an overflowed count.
    EXPECT_EQ(mp::site_value("1e99999999999999999999", p, mp::ValueSite::Card), HUGE_VAL);
    EXPECT_EQ(mp::site_value("1e-99999999999999999999", p, mp::ValueSite::Card), 0.0);
}

TEST(ModelParserValues, ExpressionsAreReadAsOneUnit) {
    const mp::ParamMap p{{"dvth", 0.02}, {"l", 1e-7}, {"w", 2e-6}};
    EXPECT_EQ(value("'0.45 + dvth'", p), 0.45 + 0.02);
    EXPECT_EQ(value("{0.49 + dvth}", p), 0.49 + 0.02);
    EXPECT_EQ(value("(1+2)*3", p), 9.0);
    EXPECT_EQ(value("4e-9/1.1", p), 4e-9 / 1.1);
    EXPECT_EQ(value("'2*l'", p), 2 * 1e-7);
    EXPECT_EQ(value("-2*l", p), -2 * 1e-7);
    EXPECT_EQ(value("-l", p), -1e-7);
    EXPECT_EQ(value("'(1.5)'", p), 1.5);
    EXPECT_EQ(value("(1.5)", p), 1.5);
    EXPECT_EQ(value("DVTH*W", p), 0.02 * 2e-6);
    EXPECT_EQ(value("2**3", p), 8.0);
    EXPECT_EQ(value("-2**2", p), -4.0);
    EXPECT_EQ(value("2**-1", p), 0.5);
    EXPECT_EQ(value("2*3+4*5-6/3", p), 24.0);
    EXPECT_EQ(value("8/2/2", p), 2.0);
    EXPECT_EQ(value("pow(2, 10) + sqrt(16) + exp(0) + log(1) + abs(-3)", p), 1024.0 + 4 + 1 + 0 + 3);
    EXPECT_EQ(value("min(3, 1u) + MAX(1, 2, 7)", p), 1e-6 + 7.0);
    EXPECT_EQ(value("sqrt(w / 2) ", p), std::sqrt(2e-6 / 2));
}

// ngspice (39) reads these .param expressions so: "**" and "^" are one power
// operator, taken from left to right, of the base's magnitude; pwr is that
// power as a function; pow is the C one; ln and log10 are there too.
TEST(ModelParserValues, PowersAsNgspiceReadsThem) {
    const mp::ParamMap p{{"x", -2.0}};
    EXPECT_EQ(value("2**3**2", p), 64.0);
    EXPECT_EQ(value("2^3^2", p), 64.0);
    EXPECT_EQ(value("2**3**0**2", p), 1.0);
    EXPECT_EQ(value("2*3^2", p), 18.0);
    EXPECT_EQ(value("-2^2", p), -4.0);
    EXPECT_EQ(value("2^-1", p), 0.5);
    EXPECT_EQ(value("x**3", p), 8.0);
    EXPECT_EQ(value("(0-2)^3", p), 8.0);
    EXPECT_EQ(value("x**0.5", p), std::sqrt(2.0));
    EXPECT_EQ(value("pwr(x, 3)", p), 8.0);
    EXPECT_EQ(value("pwr(-2, 0.5)", p), std::sqrt(2.0));
    EXPECT_EQ(value("pow(x, 3)", p), -8.0);
    EXPECT_EQ(value("pow(x, 0.5)", p), std::nullopt);
    EXPECT_EQ(value("ln(2)", p), std::log(2.0));
    EXPECT_EQ(value("log10(100)", p), 2.0);
    EXPECT_EQ(value("0**-1", p), std::nullopt);
    EXPECT_EQ(value("ln(0)", p), std::nullopt);
}

// Conditions, comparisons, logic, "%" and the functions, each value as
// ngspice (39) prints the same .param expression, with x = -2 and y = 3.
TEST(ModelParserValues, OperatorsAndFunctionsAsNgspiceReadsThem) {
    const mp::ParamMap p{{"x", -2.0}, {"y", 3.0}};
    const struct {
        const char* text;
        double expected;
    } cases[] = {
        // c ? a : b is the loosest, then ||, &&, the comparisons (one level,
        // left to right; "=" and "<>" spell "==" and "!="), + -, * / %.
        {"1 ? 2 : 3", 2},
        {"0?2:3+1", 4},
        {"1+1?2:3", 2},
        {"0?1:0?2:3", 3},
        {"1?(0?5:6):7", 6},
        {"(1?2:3)*2", 4},
        {"3 > 2 ? 10 : 20", 10},
        {"y == 3 ? 1 : 2", 1},
        {"0||1?3:4", 3},
        {"1||1&&0", 1},
        {"1&&0||1", 1},
        {"0.5&&-1", 1},
        {"2+1==3", 1},
        {"1==1+1", 0},
        {"2==2>=1", 1},
        {"2!=2>=1", 0},
        {"3>2>1", 0},
        {"1<>2", 1},
        {"1=1", 1},
        {"2<=2", 1},
        {"2>=3", 0},
        // "!" binds closest of all: (!2)^0 is 1.
        {"!0+1", 2},
        {"!y", 0},
        {"2*!y+1", 1},
        {"!2^0", 1},
        {"!!0", 0},
        // "%" is the remainder of the truncated quotient, at the level of "*".
        {"7%3", 1},
        {"7%-3", 1},
        {"-7.5%2", -1.5},
        {"(-7.5)%2", -1.5},
        {"2*3%4", 2},
        {"10%4%3", 2},
        {"5%2^2", 1},
        {"1e17%7", 0},
        // Only the final value must be finite.
        {"1?2:1/0", 2},
        {"0?sqrt(-1):2", 2},
        {"1/(1/0)", 0},
        {"log(0)<0", 1},
        {"sqrt(-1)==sqrt(-1)", 0},
        {"0||0/0", 1},
        {"min(1/0,1)", 1},
        // A leading "-" negates the first term ("-3^2" is -9); after an
        // operator, "-" is a number's sign ((-3)^2 is 9) or, before anything
        // else, the sign of the next number in the formula.
        {"-3^2+10", 1},
        {"-2<1", 1},
        {"-!0", -1},
        {"--2", 2},
        {"2---3", 5},
        {"+-2", -2},
        {"2*-3^2", 18},
        {"2*-3**3", 54},
        {"1--3^2", -8},
        {"2^-3^2", 1.0 / 64},
        {"2*-1k^2", 2e6},
        {"2*(-y)^2", 18},
        {"2*-y^2", 2 * std::pow(3.0, -2.0)},
        {"2*-x^2", 0.5},
        {"2*-y+1", 5},
        {"2*-y*-3", -18},
        {"2*-(3)^3", 2 * std::pow(3.0, -3.0)},
        {"2<-y^2", 0},
        {"1?-y:2", 3},
        {"max(-y^2,0)", 0},
        // Functions, names in any case.
        {"sgn(-2) + 10*sgn(0) + 100*sgn(3)", 99},
        {"int(-2.7)", -2},
        {"int(2.7)", 2},
        {"floor(-2.5)", -3},
        {"ceil(-2.5)", -2},
        {"nint(2.5)", 2},
        {"nint(-2.5)", -2},
        {"nint(1.5)", 2},
        {"nint(-0.4)", 0},
        {"sqr(-3)", 9},
        {"min(1,2,3) + max(1,2,3)", 4},
        {"SIN(1)", std::sin(1.0)},
        {"cos(1)", std::cos(1.0)},
        {"tan(1)", std::tan(1.0)},
        {"asin(0.5)", std::asin(0.5)},
        {"acos(0.5)", std::acos(0.5)},
        {"atan(1)", std::atan(1.0)},
        {"arctan(1)", std::atan(1.0)},
        {"sinh(1)", std::sinh(1.0)},
        {"cosh(1)", std::cosh(1.0)},
        {"tanh(1)", std::tanh(1.0)},
        {"asinh(1)", std::asinh(1.0)},
        {"acosh(2)", std::acosh(2.0)},
        {"atanh(0.5)", std::atanh(0.5)},
        {"ternary_fcn(0, 2, 3)", 3},
        {"sin(y)*cos(x)+tanh(0.3)", std::sin(3.0) * std::cos(-2.0) + std::tanh(0.3)},
        // Statistical functions: the nominal value, what ngspice gives with
        // no variation (with some, it draws a new value at each use).
        {"agauss(0.4, 0.01, 3)", 0.4},
        {"GAUSS(y, 0.1, 3)*2", 6},
        {"aunif(-y, 1)", -3},
        {"unif(1k, 0.1)", 1000},
        {"limit(x, 0.5)+1", -1},
    };
    // Within 4 ulps: the compiler folds std::acosh(2.0) more exactly than
    // the library computes it.
    for (const auto& c : cases) {
        const auto v = value(c.text, p);
        ASSERT_TRUE(v.has_value()) << c.text;
        EXPECT_DOUBLE_EQ(*v, c.expected) << c.text;
    }
}

TEST(ModelParserValues, UndefinedOrUnsupportedGivesNoValue) {
    const mp::ParamMap p{{"x", 1.0}};
    for (const char* text :
         {"3+unknown", "unknown+3", "2*unknown", "unknown", "1/0", "sqrt(-1)", "log(0)", "foo(1)", "pow(2)",
          "min(1)", "(1", "1)", "1 2", "''", "{}", "", "1+", "*2", "exp(1000)", "0/0", "1/0-1/0",
          // ngspice refuses these too: a sign with no number after it, "+"
          // after an operator, a name that does not exist in either branch.
          "2*-x", "2^-x", "(2*-x)^2", "2*-x*(1+1)", "1?2:-x", "-x^-x", "2*+3", "!-1", "-+2", "++2",
          "1?2:unknown", "1&1", "atan2(1,2)", "hypot(3,4)", "fmod(7,3)", "pi",
          // ngspice gives these values it should not: no value is safer.
          "1?2", "1:2", "1?0?5:6:7", "2*-!0",
          // Statistical functions with no argument or more than three, or a
          // nominal value that names nothing: ngspice refuses them.
          "agauss()", "unif()", "agauss(1,2,3,4)", "gauss(1,2,3,9)", "limit(1,2,3,4,5)",
          "agauss(unknown,1,3)", "aunif(1,unknown)"}) {
        EXPECT_EQ(value(text, p), std::nullopt) << text;
    }
    // Hostile nesting gives no value instead of exhausting the stack.
    const std::string deep = std::string(100000, '(') + "1" + std::string(100000, ')');
    EXPECT_EQ(value(deep), std::nullopt);
    EXPECT_EQ(value(std::string(100000, '-') + "1"), std::nullopt);
}

TEST(ModelParserLines, CommentsContinuationsAndLineEnds) {
    const auto lines = mp::join_continuation_lines(
        "+ dropped at start\r\n"
        ".model a nmos\r\n"
        "* comment between\n"
        "   * indented comment\n"
        "+ vth0=0.4 $ comment\n"
        "+\n"
        "+  k1 = 0.5 ; other comment\n"
        "\n"
        ".title \"a $ b ; c\" x$y\n"
        ".param q='1 ; 2'\n"
        "  .end  \t");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], ".model a nmos vth0=0.4  k1 = 0.5");
    EXPECT_EQ(lines[1], ".title \"a $ b ; c\" x");
    EXPECT_EQ(lines[2], ".param q='1");
    EXPECT_EQ(lines[3], ".end");
    // Non-breaking spaces are whitespace too.
    EXPECT_EQ(mp::join_continuation_lines("\xC2\xA0.lib tt\xE3\x80\x80")[0], ".lib tt");
}

TEST(ModelParserPairs, Forms) {
    using PL = mp::ParamList;
    EXPECT_EQ(mp::parse_key_value_pairs("a=1", {}), (PL{{"a", 1}}));
    EXPECT_EQ(mp::parse_key_value_pairs("A= 1", {}), (PL{{"a", 1}}));
    EXPECT_EQ(mp::parse_key_value_pairs("a = 1", {}), (PL{{"a", 1}}));
    EXPECT_EQ(mp::parse_key_value_pairs("a =1", {}), (PL{{"a", 1}}));
    EXPECT_EQ(mp::parse_key_value_pairs("a=1 a=2", {}), (PL{{"a", 1}, {"a", 2}}));
    EXPECT_EQ(mp::parse_key_value_pairs("a = 1 a = 2", {}), (PL{{"a", 1}, {"a", 2}}));
    EXPECT_EQ(mp::parse_key_value_pairs("1x = 2 y=3", {}), (PL{{"y", 3}}));
    EXPECT_EQ(mp::parse_key_value_pairs("binunit = (1) rbodymod= (1) x=bad z=2", {}),
              (PL{{"binunit", 1}, {"rbodymod", 1}, {"z", 2}}));
    EXPECT_EQ(mp::parse_key_value_pairs("v='1 + 2' w={3 * 2} u=max( 1 , 4 )", {}),
              (PL{{"v", 3}, {"w", 6}, {"u", 4}}));
    // "=" inside a value's quotes, braces or parentheses is a comparison.
    EXPECT_EQ(mp::parse_key_value_pairs("v='c >= 3 ? 1 : 2' w={c==3} u=(c!=3) t = 'c<=2||c>4'", {{"c", 3}}),
              (PL{{"v", 1}, {"w", 1}, {"u", 0}, {"t", 0}}));
}

// A card's pairs in the forms ngspice reads them, each checked with its
// @model[param] (.param dvth=0.1): "=" with or without blanks or none at all,
// commas and tabs, continuation lines splitting anywhere, double quotes as
// separators, a value given twice. What follows a value's number is no pair.
TEST(ModelParserPairs, CardFormsAsNgspiceReadsThem) {
    using PL = mp::ParamList;
    const double tenth = mp::substituted_value(0.1);  // {dvth} as ngspice substitutes it
    const struct {
        const char* body;
        PL expected;
    } cases[] = {
        {"k1 = 0.5 k2= -0.05 k3 =-2 dvt0 = -3", {{"k1", 0.5}, {"k2", -0.05}, {"k3", -2}, {"dvt0", -3}}},
        {"\n+ k1=\n+ 0.5 k2\n+ =0.05\n+ k3=+2", {{"k1", 0.5}, {"k2", 0.05}, {"k3", 2}}},
        {"\n+ k1\n+ =\n+ 0.5 k2 =\n+ 0.05", {{"k1", 0.5}, {"k2", 0.05}}},
        {"k1=0.5,k2=0.05, k3=2 ,dvt0=3", {{"k1", 0.5}, {"k2", 0.05}, {"k3", 2}, {"dvt0", 3}}},
        {"k1 , 0.5 k2\t=\t0.05\tk3\t2", {{"k1", 0.5}, {"k2", 0.05}, {"k3", 2}}},
        {"k1 0.5 k2 -0.05", {{"k1", 0.5}, {"k2", -0.05}}},
        {"k1 = 0.5 k1 = 0.6", {{"k1", 0.5}, {"k1", 0.6000000000000001}}},
        {"k1=0.5 k2==0.05 k3= =2", {{"k1", 0.5}, {"k2", 0.05}, {"k3", 2}}},
        {"k1=0.5) k2=0.05", {{"k1", 0.5}, {"k2", 0.05}}},
        {"k1=\"0.5\" k2=\"0.05\"k3=2", {{"k1", 0.5}, {"k2", 0.05}, {"k3", 2}}},
        {"k1=\"0.5 k3=2\"", {{"k1", 0.5}, {"k3", 2}}},
        {"k1=dvth k2 = dvth k3 =dvth", {{"k1", tenth}, {"k2", tenth}, {"k3", tenth}}},
        {"k1 = dvth + 0.5 k2=0.05", {{"k1", tenth}, {"k2", 0.05}}},
        {"k1=1e-3*2 k2=2*1e-3", {{"k1", 1e-3}, {"k2", 2}}},
        {"k1={0.5}m k2=0.05", {{"k1", 0.5}, {"k2", 0.05}}},
        // A name without a value of its own: ngspice sets a known one to 0, this reader skips it.
        {"k1 dvth k2=0.05", {{"k2", 0.05}}},
    };
    for (const auto& c : cases) {
        const auto lines =
            mp::join_continuation_lines(fmt::cat(".param dvth=0.1\n.model n nmos level=54 ", c.body, "\n"));
        std::map<std::string, std::string> refused;
        const auto cards = mp::extract_models(lines, mp::collect_dot_params(lines), &refused);
        ASSERT_EQ(cards.size(), 1u) << c.body;
        PL expected{{"level", 54}};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(cards[0].params, expected) << c.body;
        EXPECT_TRUE(refused.empty()) << c.body;
    }
}

// As ngspice 39 evaluates them: the last definition of a name is the only
// one, seen by every reference (b = 2 * 5, c = 10 + 5).
TEST(ModelParserParams, ReferencesSeeTheLastDefinition) {
    const auto params =
        mp::collect_dot_params(mp::join_continuation_lines(".param a=1 b='a*2'\n"
                                                           ".PARAM c = 'b + a'\n"
                                                           "+ d=undefined e=3+undefined\n"
                                                           ".params f=4\n"
                                                           ".param a=5\n"
                                                           ".param g=A\n"
                                                           ".model x nmos h=9\n"));
    EXPECT_EQ(params.at("a"), 5.0);  // later definitions win
    EXPECT_EQ(params.at("b"), 10.0);
    EXPECT_EQ(params.at("c"), 15.0);
    EXPECT_EQ(params.at("g"), 5.0);
    EXPECT_EQ(params.at("f"), 4.0);  // ".params" counts as ".param"
    EXPECT_FALSE(params.contains("d"));
    EXPECT_FALSE(params.contains("e"));
    EXPECT_FALSE(params.contains("h"));
}

TEST(ModelParserCards, TypesLevelsAndBodies) {
    const auto cards =
        mp::extract_models(mp::join_continuation_lines(".model nfa nmos (level=54 vth0=0.4)\n"
                                                       ".model nfb nmos level=8\n"
                                                       ".model nfc nmos level = 49 vth0=1\n"
                                                       ".model d1 d is=1e-14\n"
                                                       ".model q1 npn bf=100\n"
                                                       ".model j1 pjf vto=1\n"
                                                       ".MODEL Pch.1 PCH level=14 vth0=-0.4\n"
                                                       ".model ng nmos(level=54 vth0=0.41)\n"
                                                       ".model nl nmos level=foo vth0=1\n"
                                                       ".model nn nfet vth0=0.3 k1=0.5 k1=0.6\n"
                                                       ".model np nmos ( level = 14.0\n"
                                                       "+ lmin=1u lmin=2u wmax=3u ngcon = (1) )\n"
                                                       ".model short nmos\n"
                                                       ".model\n"),
                           {});
    std::vector<std::string> names;
    for (const auto& c : cards) names.push_back(c.name);
    EXPECT_EQ(names, (std::vector<std::string>{"nfa", "Pch.1", "ng", "nn", "np", "short"}));

    EXPECT_EQ(cards[0].model_type, "nmos");
    EXPECT_EQ(cards[0].params, (mp::ParamList{{"level", 54}, {"vth0", 0.4}}));
    EXPECT_EQ(cards[1].model_type, "pmos");
    // Numbers as ngspice's number reader gives them (0.41 is 41 * 10^-2).
    EXPECT_EQ(cards[2].params, (mp::ParamList{{"level", 54}, {"vth0", 0.41000000000000003}}));
    EXPECT_EQ(cards[3].params,
              (mp::ParamList{{"vth0", 0.30000000000000004}, {"k1", 0.5}, {"k1", 0.6000000000000001}}));
    const auto& np = cards[4];
    EXPECT_EQ(np.params.back(), (std::pair<std::string, double>{"ngcon", 1}));
    EXPECT_EQ(np.lmin, 2e-6);  // the last occurrence
    EXPECT_EQ(np.lmax, std::nullopt);
    EXPECT_EQ(np.wmin, std::nullopt);
    EXPECT_EQ(np.wmax, 3e-6);
    EXPECT_TRUE(cards[5].params.empty());
}

TEST(ModelParserSections, IncludesHeadersAndEnds) {
    // A section ends at the first ".endl", bare or naming any section.
    const auto lines = mp::join_continuation_lines(
        ".lib tt\n"
        "A\n"
        ".lib models.lib common\n"  // three words: a redirect, not a header
        ".lib 'models.lib' \"self\"\n"
        ".lib tt\n"  // a header inside a section opens nothing
        "B\n"
        ".endl other\n"
        "hidden\n"
        ".endl tt\n"
        ".lib 'self'\n"  // quoted: still a header
        "S\n"
        ".lib 'x' tt\n"
        ".endl\n"
        ".lib common\n"
        "C\n"
        ".end\n"
        ".ENDL ss\n"
        ".lib ss\n"
        "SS\n"
        ".endl ss\n");
    std::unordered_set<std::string> visited;
    mp::LogicalLines out;
    mp::collect_section_recursive(lines, "TT", visited, out);
    EXPECT_EQ(out, (mp::LogicalLines{"A", "C", ".end", "S", "B"}));

    visited.clear();
    out.clear();
    mp::collect_section_recursive(lines, "absent", visited, out);
    EXPECT_TRUE(out.empty());
}

TEST(ModelParserSections, LongIncludeChainsAreBounded) {
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += ".lib s" + std::to_string(i) + "\nline" + std::to_string(i) + "\n.lib 'k' s" +
                std::to_string(i + 1) + "\n.endl\n";
    std::unordered_set<std::string> visited;
    mp::LogicalLines out;
    mp::collect_section_recursive(mp::join_continuation_lines(text), "s0", visited, out);
    ASSERT_GT(out.size(), 200u);
    EXPECT_LT(out.size(), 5000u);
    EXPECT_EQ(out[1], "line1");
}

TEST(ModelParserBins, LengthRules) {
    std::vector<mp::Bsim4ModelCard> cards(3);
    cards[0] = {"nch.1", "nmos", {}, 1e-7, 5e-7, {}, {}};
    cards[1] = {"nch.2", "nmos", {}, 5e-7, 1e-6, {}, {}};
    cards[2] = {"pch", "pmos", {}, {}, {}, {}, {}};
    const auto pick = [&](std::string_view model, double l) {
        const auto* c = mp::select_card_for_length(cards, model, l, 1e-6);
        return c ? c->name : std::string("none");
    };
    EXPECT_EQ(pick("nch", 5e-7), "nch.1");  // first holding bin, bounds inclusive
    EXPECT_EQ(pick("nch", 7e-7), "nch.2");
    EXPECT_EQ(pick("nch", 2e-6), "none");  // outside every bin: ngspice finds no model
    EXPECT_EQ(pick("nch", 5e-8), "none");
    EXPECT_EQ(pick("NCH", 1.0000000000000001e-6), "nch.2");
    EXPECT_EQ(pick("PCH", 1.0), "pch");     // an exact name wins whatever the length
    EXPECT_EQ(pick("nmos", 5e-7), "none");  // no card, no bins: no fallback
    EXPECT_EQ(pick("nch", std::nan("")), "none");
    EXPECT_EQ(mp::select_card_for_length({}, "nch", 1e-6, 1e-6), nullptr);

    cards.push_back({"NCH", "nmos", {}, {}, {}, {}, {}});
    EXPECT_EQ(pick("nch", 5e-7), "NCH");
}

TEST(ModelParserBins, LengthAndWidthAsNgspiceBinsThem) {
    // 4 L x 4 W bins, numbered in file order row by row.
    const double l_edges[] = {1.8e-7, 5e-7, 1.2e-6, 1e-5, 1e-4};
    const double w_edges[] = {2.2e-7, 5e-7, 1.2e-6, 1e-5, 1e-4};
    std::vector<mp::Bsim4ModelCard> cards;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            cards.push_back({"n18." + std::to_string(4 * i + j + 1),
                             "nmos",
                             {},
                             l_edges[i],
                             l_edges[i + 1],
                             w_edges[j],
                             w_edges[j + 1]});
    const auto pick = [&](double l, double w) {
        return mp::select_card_for_length(cards, "n18", l, w)->name;
    };
    EXPECT_EQ(pick(2.8e-7, 10e-6), "n18.3");  // not n18.1, made for W <= 0.5 um
    EXPECT_EQ(pick(2.8e-7, 0.3e-6), "n18.1");
    EXPECT_EQ(pick(0.7e-6, 2e-6), "n18.7");
    EXPECT_EQ(pick(50e-6, 50e-6), "n18.16");
    // Within 1 nm of a bound counts as inside, the earlier bin first.
    EXPECT_EQ(pick(5e-7, 5e-7), "n18.1");
    EXPECT_EQ(pick(5.0099e-7, 2e-6), "n18.3");
    EXPECT_EQ(pick(5.02e-7, 2e-6), "n18.7");
    // No bin holds the width: none, as in ngspice.
    EXPECT_EQ(mp::select_card_for_length(cards, "n18", 0.7e-6, 1e-3), nullptr);
    EXPECT_EQ(mp::select_card_for_length(cards, "n18", 1e-6, std::nan("")), nullptr);
}

TEST(ModelParserBins, ChoiceRefusesWhatNgspiceRefuses) {
    std::vector<mp::Bsim4ModelCard> cards(3);
    cards[0] = {"nch.1", "nmos", {}, 2.2e-7, 5e-7, 2.2e-7, 1e-5};
    cards[1] = {"nch.2", "nmos", {}, 5e-7, 5e-5, 2.2e-7, 1e-5};
    cards[2] = {"pch", "pmos", {}, {}, {}, {}, {}};
    const std::map<std::string, std::string> refused{{"pch", "model 'pch': cannot evaluate vth0 = vth_typ"}};
    // The card chosen points into the kit, which must outlive it.
    const mp::Kit kit{cards, 1.0, refused};
    const auto choose = [&](std::string_view model, std::string_view type, double l, double w) {
        auto c = mp::choose_card(kit, model, type, l, w, "kit.lib");
        return c ? (*c)->name : c.error();
    };
    EXPECT_EQ(choose("NCH", "nmos", 1e-6, 1e-6), "nch.2");
    EXPECT_EQ(choose("pch", "PMOS", 1e-6, 1e-6), "model 'pch': cannot evaluate vth0 = vth_typ");
    EXPECT_EQ(choose("pcx", "pmos", 1e-6, 1e-6), "model 'pcx' not found in 'kit.lib'");
    EXPECT_EQ(choose("nch", "nmos", 6e-5, 1.5e-7),
              "no bin of model 'nch' in 'kit.lib' holds W = 1.5e-7 m, L = 6e-5 m; its bins (L and W in m): "
              "nch.1 L 2.2e-7..5e-7 W 2.2e-7..1e-5; nch.2 L 5e-7..5e-5 W 2.2e-7..1e-5");
}

TEST(ModelParserBins, BinMissMessageListsAtMostTwelveBins) {
    std::vector<mp::ModelBins> bins;
    for (int k = 1; k <= 13; ++k) bins.push_back({"n." + std::to_string(k), 1e-7, 2e-7, std::nullopt, 1.0});
    const std::string text = mp::bin_miss_message("n", "'f.lib'", 1e-6, 1e-6, 1.0, bins);
    EXPECT_NE(text.find("; n.12 L 1e-7..2e-7 W none..1e0; ... (13 bins)"), std::string::npos) << text;
    EXPECT_EQ(text.find("n.13"), std::string::npos);
}

TEST(ModelParserBins, OptionScale) {
    const auto scale = [](const char* text) { return mp::option_scale(mp::join_continuation_lines(text)); };
    EXPECT_EQ(scale(".param a=1\n"), 1.0);
    EXPECT_EQ(scale(".option scale=1u\n"), 1e-6);
    EXPECT_EQ(scale(".OPTIONS post SCALE = 0.5\n.opt scale=2\n"), 2.0);
    mp::ParamList params{{"w", 1.0}, {"ps", 2.0}, {"ad", 3.0}, {"sa", 4.0}};
    mp::scale_instance_params(params, 0.5);
    EXPECT_EQ(params, (mp::ParamList{{"w", 1.0}, {"ps", 1.0}, {"ad", 0.75}, {"sa", 4.0}}));
}

TEST(ModelParserSubckt, HeaderBodyAndInstanceParams) {
    const auto lines = mp::join_continuation_lines(
        ".subckt other d g s b w=9\n"
        ".ends\n"
        ".SUBCKT NCH_MAC d g s b w=1e-6 l=1e-7 nf=1 sa=0.4e-6 sb=0.5e-6 sd=0.3e-6 ad='w*dmcg' pd = '2 * w'\n"
        "+ as={w} nrd=''\n"
        ".param dmcg=2e-7 dmci=1e-7 w=5\n"
        "* note\n"
        "M1 d g s b nch_core w=w l=l\n"
        "M2 d g s b later\n"
        ".ends NCH_MAC\n");
    const auto d = mp::extract_subcircuit_defaults_from_lines(lines, "nch_mac");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->name, "nch_mac");
    EXPECT_EQ(d->inner_model, "nch_core");
    EXPECT_EQ(d->params, (std::map<std::string, double>{{"w", 1e-6},
                                                        {"l", 1e-7},
                                                        {"nf", 1},
                                                        {"sa", 0.4e-6},
                                                        {"sb", 0.5e-6},
                                                        {"sd", 0.3e-6},
                                                        {"dmcg", 2e-7},
                                                        {"dmci", 1e-7}}));
    EXPECT_EQ(d->exprs,
              (std::map<std::string, std::string>{{"ad", "w*dmcg"}, {"pd", "2 * w"}, {"as", "{w}"}}));
    EXPECT_FALSE(mp::extract_subcircuit_defaults_from_lines(lines, "absent"));

    // A MOSFET line's model stands after its four nodes, whatever they are called.
    const auto long_names = mp::extract_subcircuit_defaults_from_lines(
        mp::join_continuation_lines(".subckt x 1 2\nM1 drain gate source bulk nch\n.ends"), "X");
    EXPECT_EQ(long_names->inner_model, "nch");

    // What ngspice evaluates, as written: the header's pairs (an empty value
    // dropped), the body's `.param` pairs and the device line's.
    EXPECT_EQ(d->header.size(), 9u);
    EXPECT_EQ(d->header[7], (std::pair<std::string, std::string>{"pd", "'2 * w'"}));
    EXPECT_EQ(d->body_params, (mp::RawParamList{{"dmcg", "2e-7"}, {"dmci", "1e-7"}, {"w", "5"}}));
    EXPECT_EQ(d->device, (mp::RawParamList{{"w", "w"}, {"l", "l"}}));
}

// ngspice reads a MOSFET line's model after its four nodes: a model named
// like a short node name ("nb" beside nodes d g s b) is the model all the
// same, and among more words the first one the device sees a model of.
TEST(ModelParserSubckt, InnerModelStandsAfterTheFourNodes) {
    const struct {
        const char* body;   // the subcircuit's lines between header and .ends
        const char* model;  // the inner model read
    } cases[] = {
        {"mn d g s b nb w=1u\n.model nb nmos level=54\n", "nb"},
        {"mn d g s b ng w=1u\n.model ng nmos level=54\n", "ng"},
        {"mn d g s b nd\n", "nd"},  // the kit's card (below), outside the body
        {"MN D G S B NS\n", "ns"},
        {"mn d g s b nmod\n", "nmod"},
        {"mn 1 2 3 4 gb\n", "gb"},
        // A word ngspice would take for a fifth node: the model is the next that names one.
        {"mn d g s b extra nmod w=1u\n", "nmod"},
        // None named: ngspice looks for the first.
        {"mn d g s b missing other\n", "missing"},
        // Not a MOSFET line: the first word that is no terminal name.
        {"xn d g s b inner\n", "inner"},
    };
    for (const auto& c : cases) {
        const std::string text = std::string(
                                     ".model nd nmos level=54\n.model ns nmos level=54\n"
                                     ".model nmod nmos level=54\n.subckt w d g s b\n") +
                                 c.body + ".ends\n";
        const auto d = mp::extract_subcircuit_defaults_from_lines(mp::join_continuation_lines(text), "w");
        ASSERT_TRUE(d) << c.body;
        EXPECT_EQ(d->inner_model, c.model) << c.body;
    }
}

// The device line's values as ngspice 39 gives them to the instance (its
// scoping checked there through the drain current of `X1 d g s b x ...`):
// subcircuit "x" of the text, with the X line passing `passed`. Statistical
// functions take their nominal value, where ngspice draws one.
TEST(ModelParserSubckt, DeviceLineEvaluatedAsNgspiceDoes) {
    using Values = std::vector<std::pair<std::string, std::optional<double>>>;
    // An expression's value as ngspice substitutes it into the line.
    const auto S = [](double v) { return mp::substituted_value(v); };
    const struct {
        const char* label;
        const char* text;
        mp::ParamMap passed;
        Values expected;
    } cases[] = {
        {"literals with suffixes, quotes, braces and spaced pairs",
         ".subckt x d g s b W=1u L=0.18u\n"
         "m0 d g s b nch w={W} l='L' sca=5 sb=0.4u nf = 2 delvto=-0.1\n.ends\n",
         {},
         {{"w", 1e-6}, {"l", 0.18e-6}, {"sca", 5.0}, {"sb", 0.4e-6}, {"nf", 2.0}, {"delvto", -0.1}}},
        {"header defaults use the lines outside and the defaults before them",
         ".param gdv=0.05\n.subckt x d g s b W=1u dv={gdv*2} dw='dv*2'\nm0 d g s b nch delvto={dw}\n.ends\n",
         {},
         {{"delvto", S(0.2)}}},
        {"a header default uses the passed value",
         ".subckt x d g s b W=1u dv={W*1e5}\nm0 d g s b nch delvto=dv\n.ends\n",
         {{"w", 2e-6}},
         {{"delvto", S(2e-6 * 1e5)}}},
        {"a body .param replaces the header default; a passed value both",
         ".subckt x d g s b dv=0.1 da=0.1\n.param dv=0.2 da=0.3\nm0 d g s b nch delvto={dv} "
         "sca={da}\n.ends\n",
         {{"da", 0.4}},
         {{"delvto", S(0.2)}, {"sca", S(0.4)}}},
        {"a body .param uses a passed value",
         ".subckt x d g s b dv=0.1\n.param dv2={dv*2}\nm0 d g s b nch delvto={dv2}\n.ends\n",
         {{"dv", 0.2}},
         {{"delvto", S(0.4)}}},
        {"values in the order they use each other, a later one shadowing the outside",
         ".param gdv=0.05\n.subckt x d g s b dv={dbody*2}\n.param dv2={gdv*2}\nm0 d g s b nch delvto={dv2} "
         "sca={dv}\n"
         ".param gdv=0.1 dbody=0.3\n.ends\n",
         {},
         {{"delvto", S(0.2)}, {"sca", S(0.6)}}},
        {"double quotes: groups evaluated, a name not; every pair form",
         ".param sd0=0.2u\n.subckt x d g s b W=1u L=0.18u\n"
         "m0 d g s b nch w=\"{W}\" , l =\"L\" sa=\"0.3u\" sb=\" (0.4u) \"\n+ sd\n+ =\"sd0\" nf= "
         "{sd0*1e7}\n.ends\n",
         {},
         {{"w", S(1e-6)},
          {"l", std::nullopt},
          {"sa", 3e-7},
          {"sb", 4e-7},
          {"sd", std::nullopt},
          {"nf", S(2.0)}}},
        {"what follows a number or a group, glued to it, leaves no value",
         ".subckt x d g s b W=1u L=0.18u\nm0 d g s b nch w={W}m l=0.18u+0.01u sa=0.3u,sb=0.4u)\n.ends\n",
         {},
         {{"w", std::nullopt}, {"l", std::nullopt}, {"sa", 3e-7}, {"sb", 4e-7}}},
        {"what nothing defines has no value; another subcircuit's .param is not seen",
         ".subckt other a\n.param hidden=1\n.ends\n.subckt x d g s b\n.param loop={loop+1} c1={c2} c2={c1}\n"
         "m0 d g s b nch delvto=hidden sca={loop} sb=agauss(0.4u,0.01u,3) sd={c1}\n.ends\n",
         {},
         {{"delvto", std::nullopt}, {"sca", std::nullopt}, {"sb", S(0.4e-6)}, {"sd", std::nullopt}}},
    };
    for (const auto& c : cases) {
        const auto d = mp::extract_subcircuit_defaults_from_lines(mp::join_continuation_lines(c.text), "x");
        ASSERT_TRUE(d) << c.label;
        Values got;
        for (const auto& p : d->compute_instance_params(c.passed)) got.emplace_back(p.name, p.value);
        EXPECT_EQ(got, c.expected) << c.label;
    }
    // Of the kit's values, the subcircuit keeps those its texts name.
    const auto kept = mp::extract_subcircuit_defaults_from_lines(
        mp::join_continuation_lines(
            ".param gdv=0.05 unused=1\n.subckt x d g s b dv={gdv}\nm0 d g s b nch\n.ends\n"),
        "x");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->globals, (mp::ParamMap{{"gdv", 0.05}}));
    const auto texts = mp::extract_subcircuit_defaults_from_lines(
        mp::join_continuation_lines(".subckt x d g s b\nm0 d g s b nch delvto={nothing*2}\n.ends\n"), "x");
    ASSERT_TRUE(texts);
    EXPECT_EQ(texts->compute_instance_params({}).at(0).text, "{nothing*2}");
}

// A subcircuit defined inside another is that one's own: neither its lines
// nor its definition count as the outer body's or as a top-level subcircuit.
TEST(ModelParserSubckt, NestedDefinitionsAreTheirOwn) {
    const auto lines = mp::join_continuation_lines(
        ".subckt outer d g s b l=1u\n"
        ".subckt x a\n.param l=60u\nm9 a a a a inner_only l=l\n.ends x\n"
        "c1 d s\n"
        "m0 d g s b nch w=2u l=l\n"
        "m1 d g s b nch l='l*2'\n"
        ".ends outer\n"
        ".subckt x d\nm5 d d d d top\n.ends\n");
    const auto outer = mp::extract_subcircuit_defaults_from_lines(lines, "OUTER");
    ASSERT_TRUE(outer);
    EXPECT_EQ(outer->inner_model, "nch");  // "c1 d s" names no model
    EXPECT_EQ(outer->device_name, "m0");
    EXPECT_TRUE(outer->body_params.empty());
    ASSERT_EQ(outer->devices.size(), 3u);
    EXPECT_EQ(outer->devices[2].text, "m1 d g s b nch l='l*2'");
    EXPECT_EQ(outer->devices[2].pairs, (mp::RawParamList{{"l", "'l*2'"}}));
    const mp::ParamMap scope = outer->scope({{"l", 0.5e-6}});
    EXPECT_EQ(scope.at("l"), 0.5e-6);
    EXPECT_EQ(mp::SubcircuitDefaults::instance_params(outer->devices[2].pairs, scope).at(0).value, 1e-6);
    EXPECT_EQ(mp::extract_subcircuit_defaults_from_lines(lines, "x")->inner_model, "top");
    EXPECT_TRUE(mp::has_subcircuit(lines, "X"));
    EXPECT_FALSE(mp::has_subcircuit(lines, "nch"));
}

// The size ngspice bins a device line's instance on.
TEST(ModelParserSubckt, InstanceSizeAsNgspiceBinsIt) {
    using Params = std::vector<mp::InstanceParam>;
    const auto p = [](const char* name, std::optional<double> v, bool substituted = false) {
        return mp::InstanceParam{name, "", v, substituted};
    };
    const struct {
        const char* label;
        Params params;
        std::optional<double> w, l, binned;  // binned: of a 1e-6 wide device
    } cases[] = {
        {"none given", {}, {}, {}, 1e-6},
        {"the last of each", {p("w", 1e-6), p("l", 2e-7), p("w", 3e-6)}, 3e-6, 2e-7, 1e-6},
        {"one that cannot be evaluated", {p("w", 1e-6), p("w", std::nullopt)}, {}, {}, 1e-6},
        {"nf without wnflag", {p("nf", 4.0)}, {}, {}, 1e-6},
        {"per finger with wnflag", {p("nf", 4.0), p("wnflag", 1.0)}, {}, {}, 0.25e-6},
        {"wnflag truncated to 0", {p("nf", 4.0), p("wnflag", 0.9)}, {}, {}, 1e-6},
        {"nf read back",
         {p("nf", 3.0000000000000004, true), p("wnflag", 1.0)},
         {},
         {},
         1e-6 / 3.0000000000000004},
        {"nf unknown", {p("nf", std::nullopt), p("wnflag", 1.0)}, {}, {}, std::nullopt},
        {"wnflag unknown", {p("wnflag", std::nullopt)}, {}, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        const mp::InstanceSize size = mp::instance_size(c.params);
        EXPECT_EQ(size.w, c.w) << c.label;
        EXPECT_EQ(size.l, c.l) << c.label;
        EXPECT_EQ(size.binned_width(1e-6), c.binned) << c.label;
    }
}

// ngspice reads back a value it substituted into a device line from 15
// decimals through its own digit reader (checked there through nf's effect
// on the stress terms: nf={3}, {6}, {7} act as a hair more, {2}, {4}, {5},
// {8}, {11}, {12} as written); plain numbers it reads directly.
TEST(ModelParserSubckt, SubstitutedValuesAsNgspiceReadsThem) {
    const std::pair<double, double> read[] = {
        {3.0, 3.0000000000000004},
        {6.0, 6.000000000000001},
        {7.0, 7.000000000000001},
        {-3.0, -3.0000000000000004},
        {2.0, 2.0},
        {4.0, 4.0},
        {5.0, 5.0},
        {8.0, 8.0},
        {11.0, 11.0},
        {12.0, 12.0},
        {0.0, 0.0},
        {1e-6, 1e-6},
    };
    for (const auto& [value, taken] : read) EXPECT_EQ(mp::substituted_value(value), taken) << value;
    EXPECT_EQ(mp::substituted_value(HUGE_VAL), HUGE_VAL);
    EXPECT_TRUE(std::isnan(mp::substituted_value(std::nan(""))));

    const auto d = mp::extract_subcircuit_defaults_from_lines(
        mp::join_continuation_lines(
            ".subckt x d g s b n=3\nm0 d g s b nch nf=3 sd=0.2u nf={3} nf='3' nf=n\n.ends\n"),
        "x");
    ASSERT_TRUE(d);
    std::vector<bool> substituted;
    for (const auto& p : d->compute_instance_params({})) substituted.push_back(p.substituted);
    EXPECT_EQ(substituted, (std::vector<bool>{false, false, true, true, true}));
}

TEST(ModelParserFiles, ErrorsAndDecoding) {
    const auto missing = mp::parse_lib_file("/nonexistent/morva/models.lib");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().text(), "BSIM4 model-file I/O error: No such file or directory (os error 2)");
    EXPECT_FALSE(mp::parse_subcircuit_defaults("/nonexistent/x.lib", "x"));

    TempDir dir;
    const auto path =
        dir.write("bad.lib", ".model n\xff\xfe nmos vth0=0.3\n.model \xC3 nmos vth0=\xE2\x80 k1=2\n");
    const auto cards = mp::parse_lib_file(path);
    ASSERT_TRUE(cards);
    ASSERT_EQ(cards->size(), 2u);
    EXPECT_EQ((*cards)[0].name, "n\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ((*cards)[1].params, (mp::ParamList{{"k1", 2}}));
    const auto valid =
        mp::parse_lib_file(dir.write("valid.lib", "* \xC2\xB5m units\n.model n\xC2\xB5 nmos\n"));
    ASSERT_TRUE(valid);
    EXPECT_EQ((*valid)[0].name, "n\xC2\xB5");
    const auto section = mp::parse_lib_file_section(path, "none");
    ASSERT_TRUE(section);
    EXPECT_TRUE(section->empty());
}

namespace {

// A small kit as a design kit ships it: a CRLF corner file redirecting into a
// model file whose corners share one binned block.
const char* kKitLib =
    "* demo kit\n"
    ".LIB TT\n"
    ".lib 'models.lib' mos_tt\n"
    ".lib \"sub/res.lib\" res\n"
    ".endl TT\n"
    ".LIB SS\n"
    ".lib 'models.lib' mos_ss\n"
    ".endl SS\n";

std::string kit_models() {
    std::string text =
        "* device models\n"
        ".lib mos_tt\n"
        ".param dvth = 0 toxn = 4.1n\n"
        ".lib models.lib mos_common\n"
        ".endl mos_tt\n"
        ".lib mos_ss\n"
        ".param dvth = 0.03\n"
        "+ toxn = '4.1n * 1.02'\n"
        ".lib models.lib mos_common\n"
        ".endl mos_ss\n"
        ".lib mos_common\n"
        ".param u0n = (0.03+0.002)*1.5\n";
    const char* l_edges[] = {"0.18u", "0.5u", "1.2u", "10u", "100u"};
    const char* w_edges[] = {"0.22u", "0.5u", "1.2u", "10u", "100u"};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            const int bin = 4 * i + j + 1;
            text += ".model nch." + std::to_string(bin) + " nmos (level = 54 version = 4.8\n";
            text += std::string("+ lmin = ") + l_edges[i] + " lmax = " + l_edges[i + 1] +
                    " wmin = " + w_edges[j] + " wmax = " + w_edges[j + 1] + "\n";
            text += "+ vth0 = '0.40 + " + std::to_string(bin) + "*0.01 + dvth' toxe = toxn u0 = u0n\n";
            text += "+ k1 = {0.5 * 1.1} k2 = 0.01 rdsw = (100+" + std::to_string(bin) + ") )\n";
        }
    }
    text +=
        ".model pch pmos level=54 vth0=-0.42 toxe=toxn\n"
        ".subckt nch_mac d g s b w=1u l=0.18u nf=1 sa=0.4u sb=0.5u sd=0.3u ad='w*2e-7'\n"
        ".param dmcg=2e-7 dmci=1e-7\n"
        "M0 d g s b nch w=w l=l nf=nf sa=sa sb=sb sd=sd ad=ad\n"
        ".ends nch_mac\n"
        ".endl mos_common\n"
        // Undefined references stop ngspice: kept out of the simulated corners.
        ".lib mos_broken\n"
        ".param unknown_sum = '1 + nothing' half = '1/2'\n"
        ".model nbroken nmos level=54 kt1 = unknown_sum ua = 'half * nothing' ub = half\n"
        ".endl mos_broken\n";
    return text;
}

struct Kit {
    TempDir dir;
    std::string kit, models;
    Kit() {
        kit = dir.write("kit.lib", crlf(kKitLib));
        models = dir.write("models.lib", crlf(kit_models()));
        dir.write("sub/res.lib", ".lib res\n.param rsh_poly = 7.5\n.endl res\n");
    }
};

// Runs ngspice in batch mode on `netlist` and returns the drain current it
// prints (the line "idrain = ...").
std::optional<double> ngspice_drain_current(const TempDir& dir, const std::string& netlist) {
    const std::string path = dir.write("run.cir", netlist);
    const std::string output =
        command_output("cd '" + dir.path().string() + "' && ngspice -b '" + path + "' 2>&1");
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find("idrain = ");
        if (at != std::string::npos) return std::strtod(line.c_str() + at + 9, nullptr);
    }
    ADD_FAILURE() << "no drain current in ngspice output:\n" << output;
    return std::nullopt;
}

std::string one_device_deck(const std::string& models, const std::string& model, double l, double w) {
    return "bin check\n" + models + "\nm1 d g 0 0 " + model + " l=" + morva::fmt::exp_shortest(l) +
           " w=" + morva::fmt::exp_shortest(w) +
           "\nvd d 0 1\nvg g 0 0.9\n.control\nset numdgt=17\nop\nlet idrain = -i(vd)\nprint "
           "idrain\n.endc\n.end\n";
}

}  // namespace

TEST(ModelParserKit, SectionsValuesAndBins) {
    Kit kit;
    const auto tt = mp::parse_lib_file_section(kit.models, "MOS_TT");
    const auto ss = mp::parse_lib_file_section(kit.models, "mos_ss");
    ASSERT_TRUE(tt && ss);
    ASSERT_EQ(tt->size(), 17u);
    ASSERT_EQ(ss->size(), 17u);
    // The corner file only redirects into the model file: its cards are those.
    for (const auto& [corner, of_models] : {std::pair{"tt", &*tt}, std::pair{"SS", &*ss}}) {
        const auto cards = mp::parse_lib_file_section(kit.kit, corner);
        ASSERT_TRUE(cards);
        ASSERT_EQ(cards->size(), of_models->size());
        for (std::size_t i = 0; i < cards->size(); ++i) {
            EXPECT_EQ((*cards)[i].name, (*of_models)[i].name);
            EXPECT_EQ((*cards)[i].params, (*of_models)[i].params);
        }
    }
    const auto& n7 = *card_named(*tt, "nch.7");
    EXPECT_EQ(n7.lmin, 0.5 * 1e-6);
    EXPECT_EQ(n7.lmax, 1.2 * 1e-6);
    EXPECT_EQ(n7.wmin, 1.2 * 1e-6);
    EXPECT_EQ(n7.wmax, 10 * 1e-6);
    // Expressions and names on a card take their value as ngspice substitutes it.
    EXPECT_EQ(param(n7, "vth0"), mp::substituted_value(0.40 + 7 * 0.01 + 0));
    EXPECT_EQ(param(n7, "toxe"), mp::substituted_value(4.1 * 1e-9));
    EXPECT_EQ(param(n7, "u0"), mp::substituted_value((0.03 + 0.002) * 1.5));
    EXPECT_EQ(param(n7, "k1"), mp::substituted_value(0.5 * 1.1));
    EXPECT_EQ(param(n7, "rdsw"), 107.0);
    EXPECT_EQ(param(n7, "level"), 54.0);
    EXPECT_EQ(n7.params.front().first, "level");
    EXPECT_EQ(param(*card_named(*ss, "nch.7"), "vth0"), mp::substituted_value(0.40 + 7 * 0.01 + 0.03));
    EXPECT_EQ(param(*card_named(*ss, "pch"), "toxe"), mp::substituted_value(4.1 * 1e-9 * 1.02));

    EXPECT_EQ(mp::select_card_for_length(*tt, "nch", 0.28e-6, 10e-6)->name, "nch.3");
    EXPECT_EQ(mp::select_card_for_length(*tt, "PCH", 0.28e-6, 10e-6)->name, "pch");

    // The whole file: cards of every section, later .param lines winning.
    const auto all = mp::parse_lib_file(kit.models);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 18u);
    EXPECT_EQ(param(*card_named(*all, "nch.1"), "vth0"), mp::substituted_value(0.40 + 0.01 + 0.03));

    const auto broken = mp::parse_lib_file_section(kit.models, "mos_broken");
    ASSERT_TRUE(broken);
    ASSERT_EQ(broken->size(), 1u);
    EXPECT_EQ((*broken)[0].params, (mp::ParamList{{"level", 54}, {"ub", 0.5}}));

    const auto mac = mp::parse_subcircuit_defaults_section(kit.models, "nch_mac", "mos_tt");
    ASSERT_TRUE(mac && *mac);
    EXPECT_EQ((*mac)->inner_model, "nch");
    EXPECT_EQ((*mac)->params.at("sb"), 0.5e-6);
    EXPECT_EQ((*mac)->params.at("sd"), 0.3e-6);
    EXPECT_EQ((*mac)->params.at("nf"), 1.0);
    EXPECT_EQ((*mac)->exprs.at("ad"), "w*2e-7");
    const auto none = mp::parse_subcircuit_defaults_section(kit.models, "nch_mac", "absent");
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
}

TEST(ModelParserKit, BinChoiceMatchesNgspice) {
    if (!have_ngspice()) GTEST_SKIP() << "ngspice not installed";
    Kit kit;
    const auto cards = mp::parse_lib_file_section(kit.models, "mos_tt");
    ASSERT_TRUE(cards);
    const double sizes[][2] = {{0.28e-6, 10e-6}, {0.28e-6, 0.3e-6}, {0.7e-6, 2e-6},
                               {5e-6, 50e-6},    {0.5e-6, 0.5e-6},  {50e-6, 1e-6}};
    for (const auto& [l, w] : sizes) {
        const auto* chosen = mp::select_card_for_length(*cards, "nch", l, w);
        ASSERT_NE(chosen, nullptr);
        // The chosen card written out on its own, without bin limits.
        std::string card = ".model chosen nmos";
        for (const auto& [name, v] : chosen->params)
            if (name.size() != 4 || (name.substr(1) != "min" && name.substr(1) != "max"))
                card += " " + name + "=" + morva::fmt::exp_shortest(v);
        const auto from_kit =
            ngspice_drain_current(kit.dir, one_device_deck(".lib 'kit.lib' tt", "nch", l, w));
        const auto from_card = ngspice_drain_current(kit.dir, one_device_deck(card, "chosen", l, w));
        ASSERT_TRUE(from_kit && from_card);
        EXPECT_NEAR(*from_card / *from_kit, 1.0, 1e-9) << chosen->name << " for L=" << l << " W=" << w;
    }
}

// Cards ngspice does not take as bins ("n.tt", one without W limits) come
// before its own: where ngspice finds a card, it is the one chosen; where it
// finds none, the loose bins still serve.
TEST(ModelParserKit, NgspiceBinsComeBeforeLooseOnes) {
    const std::string kit =
        ".model n.tt nmos (level=54 lmin=0.1u lmax=10u wmin=0.1u wmax=10u vth0=0.2)\n"
        ".model n.1 nmos (level=54 lmin=0.1u lmax=0.5u vth0=0.3)\n"
        ".model n.2 nmos (level=54 lmin=0.1u lmax=0.5u wmin=0.1u wmax=10u vth0=0.5)\n"
        ".model n.3 nmos (level=54 lmin=2u lmax=0.5u wmin=0.1u wmax=10u vth0=0.6)\n";
    TempDir dir;
    const auto cards = mp::parse_lib_file(dir.write("kit.lib", kit));
    ASSERT_TRUE(cards);
    const struct {
        double l, w;
        const char* card;
        bool ngspice_takes;
    } cases[] = {
        {0.3e-6, 1e-6, "n.2", true},
        {2e-6, 1e-6, "n.3", true},  // limits the wrong way round: its edges only
        {0.3e-6, 20e-6, "n.1", false},
        {5e-6, 1e-6, "n.tt", false},
    };
    for (const auto& c : cases) {
        const auto* chosen = mp::select_card_for_length(*cards, "n", c.l, c.w);
        ASSERT_NE(chosen, nullptr) << c.card;
        EXPECT_EQ(chosen->name, c.card);
        EXPECT_EQ(mp::ngspice_card(*cards, "n", c.l, c.w) != nullptr, c.ngspice_takes) << c.card;
        if (!c.ngspice_takes || !have_ngspice()) continue;
        std::string card = ".model chosen nmos";
        for (const auto& [name, v] : chosen->params)
            if (name.size() != 4 || (name.substr(1) != "min" && name.substr(1) != "max"))
                card += " " + name + "=" + morva::fmt::exp_shortest(v);
        const auto from_kit = ngspice_drain_current(dir, one_device_deck(kit, "n", c.l, c.w));
        const auto from_card = ngspice_drain_current(dir, one_device_deck(card, "chosen", c.l, c.w));
        ASSERT_TRUE(from_kit && from_card);
        EXPECT_NEAR(*from_card / *from_kit, 1.0, 1e-12) << c.card;
    }
}

TEST(ModelParserSamples, FullFeaturedCardsKeepTheirValues) {
    const char* env = std::getenv("MORVA_SAMPLES");
    const fs::path dir = fs::path(env ? env : MORVA_SAMPLES_DIR) / "bsim4";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "sample files not available";
    int checked = 0;
    for (const char* name : {"nmos_parameters_nmosParameters", "pmos_parameters_pmosParameters"}) {
        std::ifstream in(dir / name, std::ios::binary);
        ASSERT_TRUE(in) << name;
        std::stringstream body;
        body << in.rdbuf();
        TempDir tmp;
        const auto cards =
            mp::parse_lib_file(tmp.write("card.lib", ".model sample nmos level=14\n" + body.str()));
        ASSERT_TRUE(cards);
        ASSERT_EQ(cards->size(), 1u);
        const auto& params = (*cards)[0].params;

        // Each "+ name = (value)" line, in order, after the level.
        std::size_t k = 1;
        std::istringstream lines(body.str());
        for (std::string line; std::getline(lines, line);) {
            const auto eq = line.find('='), open = line.find('('), close = line.find(')');
            if (line.empty() || line[0] != '+' || eq == std::string::npos) continue;
            std::string key = line.substr(1, eq - 1);
            key.erase(0, key.find_first_not_of(' '));
            key.erase(key.find_last_not_of(' ') + 1);
            const std::string text = line.substr(open + 1, close - open - 1);
            ASSERT_LT(k, params.size()) << key;
            EXPECT_EQ(params[k].first, key);
            // A value in parentheses is an expression to ngspice: substituted.
            EXPECT_EQ(params[k].second, mp::substituted_value(std::strtod(text.c_str(), nullptr)))
                << key << " = " << text;
            ++k;
            ++checked;
        }
        EXPECT_EQ(k, params.size());
    }
    EXPECT_GT(checked, 300);
}

TEST(ModelParserCards, StatisticalParametersGiveNominalValuesThroughChains) {
    // Kits name their Monte-Carlo parameters through other parameters.
    const auto lines = mp::join_continuation_lines(
        ".param a = agauss(0, 1, 3)\n"
        ".param b = a c = 'b + unif(2, 0.5)'\n"
        ".model n nmos level=54 toxe='8e-9 + 1e-10*b' vth0='0.4 + 0.1*c' u0=agauss(0.03, 0.001, 3)\n");
    std::map<std::string, std::string> refused;
    const auto cards = mp::extract_models(lines, mp::collect_dot_params(lines), &refused);
    EXPECT_TRUE(refused.empty());
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(param(cards[0], "toxe"), mp::substituted_value(8e-9));
    EXPECT_EQ(param(cards[0], "vth0"), mp::substituted_value(0.4 + 0.1 * 2.0));
    EXPECT_EQ(param(cards[0], "u0"), mp::substituted_value(0.03));
}

// Each card value as ngspice (39) takes it on a card: the statistical calls
// it accepts give their value without variation (a lone argument being the
// variation around a nominal 1); the calls it refuses, and values that are
// not finite numbers, are refused with the card and the parameter named.
TEST(ModelParserCards, CardValuesAsNgspiceTakesThem) {
    const struct {
        const char* value;
        std::optional<double> taken;  // none: refused with `message`
        const char* message;
    } cases[] = {
        {"{agauss(0.42,0.01,3)}", 0.42, ""},
        {"agauss(0.42, 0.01)", 0.42, ""},
        {"{aunif(0.42,0)}", 0.42, ""},
        {"{unif(0.42,0,0)}", 0.42, ""},
        {"{limit(0.42,0.01,3)}", 0.42, ""},
        {"{agauss(0.3)}", 1.0, ""},
        {"{5+aunif(0.3)}", 6.000000000000001, ""},
        {"mc", 0.5, ""},  // through a chain of parameters
        {"1e-400", 0.0, ""},
        {"{agauss()}", std::nullopt, "cannot evaluate vth0 = {agauss()}"},
        {"{agauss(0.42,0.01,3,4)}", std::nullopt, "cannot evaluate vth0 = {agauss(0.42,0.01,3,4)}"},
        {"limit()", std::nullopt, "cannot evaluate vth0 = limit()"},
        {"{agauss(vth_undefined,0.01,3)}", std::nullopt,
         "cannot evaluate vth0 = {agauss(vth_undefined,0.01,3)}"},
        {"bad_mc", std::nullopt, "cannot evaluate vth0 = bad_mc"},
        {"{nan}", std::nullopt, "cannot evaluate vth0 = {nan}"},
        {"nan", std::nullopt, "cannot evaluate vth0 = nan (not a finite number)"},
        {"inf", std::nullopt, "cannot evaluate vth0 = inf (not a finite number)"},
        {"-Infinity", std::nullopt, "cannot evaluate vth0 = -Infinity (not a finite number)"},
        {"'inf'", std::nullopt, "cannot evaluate vth0 = 'inf' (not a finite number)"},
        {"1e309", std::nullopt, "cannot evaluate vth0 = 1e309 (not a finite number)"},
        {"1e309k", std::nullopt, "cannot evaluate vth0 = 1e309k (not a finite number)"},
        {"huge", std::nullopt, "cannot evaluate vth0 = huge"},
        {"{1/0}", std::nullopt, "cannot evaluate vth0 = {1/0} (not a finite number)"},
        {"'1/0'", std::nullopt, "cannot evaluate vth0 = '1/0' (not a finite number)"},
        {"{sqrt(-1)}", std::nullopt, "cannot evaluate vth0 = {sqrt(-1)} (not a finite number)"},
        {"'0.42+'", std::nullopt, "cannot evaluate vth0 = '0.42+'"},
        // Inside double quotes ngspice evaluates braces and single quotes and
        // reads the rest with its number reader.
        {"\"0.5\"", 0.5, ""},
        {"\"0.5+0.1\"", 0.5, ""},
        {"\"{0.5+0.1}\"", 0.5 + 0.1, ""},
        {"\"0.5\"k", 0.5, ""},
        {"\"(0.5)\"", 0.5, ""},
        {"\"{mc}\"", mp::substituted_value(0.5), ""},
        {"\"'mc+0.1'\"", mp::substituted_value(0.6), ""},
        {"\"{1/0}\"", std::nullopt, "cannot evaluate vth0 = \"{1/0}\" (not a finite number)"},
        // Nothing else in double quotes is evaluated: ngspice reads 0 (with a
        // warning "unrecognized parameter (mc)").
        {"\"mc\"", std::nullopt, "cannot evaluate vth0 = \"mc\""},
        {"\"mc+0.1\"", std::nullopt, "cannot evaluate vth0 = \"mc+0.1\""},
        {"\"abc\"", std::nullopt, "cannot evaluate vth0 = \"abc\""},
        {"\"nan\"", std::nullopt, "cannot evaluate vth0 = \"nan\""},
        {"\"\"", std::nullopt, "cannot evaluate vth0 = \"\""},
        // A bare value is read up to where its number ends.
        {"0.42+0.01", 0.42, ""},
        {"4.8.3", 4.800000000000001, ""},
        {".u", std::nullopt, "cannot evaluate vth0 = .u"},
        // A Gaussian of zero sigma is not a number to ngspice.
        {"{agauss(0.42,0)}", std::nullopt, "cannot evaluate vth0 = {agauss(0.42,0)} (not a finite number)"},
        {"{gauss(0.42,0)}", std::nullopt, "cannot evaluate vth0 = {gauss(0.42,0)} (not a finite number)"},
        {"{agauss(0.42,0.01,0)}", std::nullopt,
         "cannot evaluate vth0 = {agauss(0.42,0.01,0)} (not a finite number)"},
        {"{gauss(0)}", std::nullopt, "cannot evaluate vth0 = {gauss(0)} (not a finite number)"},
        {"{agauss(0.42,0,3)}", 0.42, ""},
        {"{aunif(0)}", 1.0, ""},
        {"{unif(0.42,0)}", 0.42, ""},
        {"{limit(0.42,0,0)}", 0.42, ""},
    };
    for (const auto& c : cases) {
        const auto lines = mp::join_continuation_lines(
            fmt::cat(".param mc = agauss(0.5, 0.1, 3) bad_mc = agauss(0.5, 0.1, 3, 1) huge = 1e309\n"
                     ".model n nmos level=54 k1=0.5 vth0=",
                     c.value, " u0=0.03\n"));
        std::map<std::string, std::string> refused;
        const auto cards = mp::extract_models(lines, mp::collect_dot_params(lines), &refused);
        ASSERT_EQ(cards.size(), 1u) << c.value;
        // The card keeps its other values either way.
        EXPECT_EQ(param(cards[0], "u0"), 0.03) << c.value;
        EXPECT_EQ(param(cards[0], "vth0"), c.taken) << c.value;
        if (c.taken) {
            EXPECT_TRUE(refused.empty()) << c.value;
        } else {
            EXPECT_EQ(refused,
                      (std::map<std::string, std::string>{{"n", fmt::cat("model 'n': ", c.message)}}))
                << c.value;
        }
    }
}

TEST(ModelParserCards, ValuesNgspiceRefusesAreReported) {
    const auto lines = mp::join_continuation_lines(
        ".param vt = 0.4\n"
        ".model a nmos level=54 vth0=vt version=4.8.3 toxe=1e-9x vth0=agauss(0.4, 0.01, 3)\n"
        ".model b nmos level=54 vth0='vt + undefined' u0=nosuch(1)\n"
        ".model c nmos level=54 u0=nosuch(1)\n"
        ".model d nmos level=54 k1={1 +* 2}\n");
    std::map<std::string, std::string> refused;
    const auto cards = mp::extract_models(lines, mp::collect_dot_params(lines), &refused);
    EXPECT_EQ(cards.size(), 4u);
    EXPECT_EQ(refused,
              (std::map<std::string, std::string>{{"b", "model 'b': cannot evaluate vth0 = 'vt + undefined'"},
                                                  {"c", "model 'c': cannot evaluate u0 = nosuch(1)"},
                                                  {"d", "model 'd': cannot evaluate k1 = {1 +* 2}"}}));
}
