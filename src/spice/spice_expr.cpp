#include "spice/spice_expr.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <unordered_map>

#include "common/decimal.h"
#include "common/text.h"
#include "spice/spice_numbers.h"

namespace morva::spice::spice_expr {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_letter_after_number(char c) { return is_ascii_alpha(c) || c == '_'; }

// The scale of the letters that follow a number: "meg", or a first letter
// among f p n u m k g t ("m" being milli); the letters after the scale, and
// letters that start with no scale, name a unit, which ngspice skips ("10uA"
// is 10e-6, "1.2V" is 1.2, "1mil" is 1e-3).
double suffix_factor(std::string_view letters) {
    if (letters.size() >= 3 && ascii_iequals(letters.substr(0, 3), "meg")) return 1e6;
    if (letters.empty()) return 1.0;
    switch (letters[0] | 0x20) {  // ASCII letters to lower case
        case 'f': return 1e-15;
        case 'p': return 1e-12;
        case 'n': return 1e-9;
        case 'u': return 1e-6;
        case 'm': return 1e-3;
        case 'k': return 1e3;
        case 'g': return 1e9;
        case 't': return 1e12;
        default: return 1.0;
    }
}

// The power of ten of a scale letter as ngspice's number reader takes it ("m"
// being milli); 0 for any other letter.
int scale_exponent(char letter) {
    switch (letter | 0x20) {  // ASCII letters to lower case
        case 'f': return -15;
        case 'p': return -12;
        case 'n': return -9;
        case 'u': return -6;
        case 'm': return -3;
        case 'k': return 3;
        case 'g': return 9;
        case 't': return 12;
        default: return 0;
    }
}

}  // namespace

std::optional<double> parse_spice_float(std::string_view text) {
    std::size_t cut = text.size();
    while (cut > 0 && is_letter_after_number(text[cut - 1])) --cut;
    if (cut == text.size()) return std::nullopt;
    const auto mantissa = parse_decimal(text.substr(0, cut));
    if (!mantissa) return std::nullopt;
    return *mantissa * suffix_factor(text.substr(cut));
}

bool starts_like_number(std::string_view text) {
    const auto at = [&](std::size_t i) { return i < text.size() ? text[i] : '\0'; };
    if (is_digit(at(0)) || at(0) == '.') return true;
    if (at(0) != '+' && at(0) != '-') return false;
    return is_digit(at(1)) || (at(1) == '.' && is_digit(at(2)));
}

std::size_t value_token_end(std::string_view text) {
    // ngspice's states: 0 at the start, 1 in the mantissa's digits, 2 after
    // its exponent letter, 3 anywhere else; a sign ends the token in 1 and 3
    // and otherwise moves on one state, "+" as "-" (so "+4.2e-1" is one token).
    int state = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (whitespace_at(text, i) || c == '=' || c == '(' || c == ')' || c == ',' || c == '*' || c == '/' ||
            c == '^')
            return i;
        if (c == '+' || c == '-') {
            if (state == 1 || state == 3) return i;
            ++state;
            continue;
        }
        if (is_digit(c) || c == '.')
            state = state > 1 ? 3 : 1;
        else if ((c == 'e' || c == 'E') && state == 1)
            state = 2;
        else
            state = 3;
    }
    return text.size();
}

std::optional<double> leading_number(std::string_view token) {
    // ngspice's arithmetic, not a correctly rounded reading: the digits
    // accumulate in a double and the decimal exponent is applied as one power
    // of ten ("0.3" is 3 * 10^-1 = 0.30000000000000004). Each digit is added
    // as its character code less that of "0", two roundings once the digits
    // pass 2^53.
    const auto accumulate = [](double mantissa, char digit) {
        return (10.0 * mantissa + static_cast<double>(digit)) - static_cast<double>('0');
    };
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return k < token.size() ? token[k] : '\0'; };
    double sign = 1.0;
    if (at(i) == '+' || at(i) == '-') sign = token[i++] == '-' ? -1.0 : 1.0;
    double mantissa = 0.0;
    long exponent = 0;
    bool any_digit = false;
    for (; is_digit(at(i)); ++i, any_digit = true) mantissa = accumulate(mantissa, token[i]);
    if (at(i) == '.') {
        for (++i; is_digit(at(i)); ++i, any_digit = true) {
            mantissa = accumulate(mantissa, token[i]);
            --exponent;
        }
    }
    if (!any_digit) return std::nullopt;
    const char e = at(i);
    if (e == 'e' || e == 'E' || e == 'd' || e == 'D') {
        ++i;
        long sign_of_exponent = 1;
        if (at(i) == '+' || at(i) == '-') sign_of_exponent = token[i++] == '-' ? -1 : 1;
        // Beyond this any exponent gives 0 or an infinity all the same.
        constexpr long kExponentCap = 100000;
        long written = 0;
        for (; is_digit(at(i)); ++i) written = std::min(kExponentCap, 10 * written + (token[i] - '0'));
        exponent += sign_of_exponent * written;
    }
    const std::string_view scale = token.substr(i);
    if (scale.size() >= 3 && ascii_iequals(scale.substr(0, 3), "meg")) {
        exponent += 6;
    } else if (scale.size() >= 3 && ascii_iequals(scale.substr(0, 3), "mil")) {
        mantissa *= 25.4;
        exponent -= 6;
    } else if (scale.starts_with(spice_numbers::kMicroSign)) {
        exponent -= 6;
    } else if (!scale.empty()) {
        exponent += scale_exponent(scale[0]);
    }
    return sign * mantissa * std::pow(10.0, static_cast<double>(exponent));
}

double substituted_value(double value) {
    if (!std::isfinite(value)) return value;
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 15);
    if (written.ec != std::errc()) return value;
    return leading_number(std::string_view(text, static_cast<std::size_t>(written.ptr - text)))
        .value_or(value);
}

namespace {

// Recursive descent over one expression, computing as ngspice's .param
// reader does: in IEEE arithmetic throughout (1/0 is infinite, sqrt(-1) not a
// number, and either may vanish in a comparison or an untaken branch), only
// the final value having to be finite. A name that is not defined, a function
// that does not exist and any syntax error give no value.
class Evaluator {
public:
    Evaluator(std::string_view text, const ParamMap& params) : s_(text), params_(params) {}

    // The value as IEEE arithmetic leaves it, finite or not.
    std::optional<double> run() {
        auto v = formula();
        skip_space();
        if (!v || pos_ != s_.size()) return std::nullopt;
        return v;
    }

private:
    // Nested groups, conditions, "!" and sign chains deeper or longer than
    // this are rejected, so hostile input cannot exhaust the stack.
    static constexpr int kMaxDepth = 200;

    std::string_view s_;
    const ParamMap& params_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    // A "-" written after an operator and before anything but a number: as
    // ngspice reads it, it negates the next number of the same formula
    // instead ("2*-y^2" is 2*y^-2, "2*-y+1" is 2*y-1), and is an error when
    // no number follows.
    bool pending_negate_ = false;
    // A "-" opening a formula: it negates the first term ("-3^2" is -9).
    bool lead_negate_ = false;

    struct DepthGuard {
        int& depth;
        explicit DepthGuard(int& d) : depth(++d) {}
        ~DepthGuard() { --depth; }
        bool too_deep() const { return depth > kMaxDepth; }
    };

    void skip_space() {
        while (std::size_t n = whitespace_at(s_, pos_)) pos_ += n;
    }
    char peek() {
        skip_space();
        return pos_ < s_.size() ? s_[pos_] : '\0';
    }
    char peek_next() const { return pos_ + 1 < s_.size() ? s_[pos_ + 1] : '\0'; }
    bool accept(char c) {
        if (peek() != c) return false;
        ++pos_;
        return true;
    }
    bool accept2(char a, char b) {
        if (peek() != a || peek_next() != b) return false;
        pos_ += 2;
        return true;
    }

    static double truth(bool b) { return b ? 1.0 : 0.0; }

    // One formula: a whole value, a group's content or a function argument.
    // Its opening sign and any negation left pending are its own.
    std::optional<double> formula() {
        DepthGuard guard(depth_);
        if (guard.too_deep()) return std::nullopt;
        const bool outer_pending = pending_negate_, outer_lead = lead_negate_;
        pending_negate_ = false;
        lead_negate_ = false;
        // An opening "+" is skipped; an opening "-" negates the first term,
        // further ones are read as after an operator ("--2" is 2).
        accept('+');
        if (accept('-')) lead_negate_ = true;
        auto v = conditional();
        if (pending_negate_ || lead_negate_) v = std::nullopt;
        pending_negate_ = outer_pending;
        lead_negate_ = outer_lead;
        return v;
    }

    // c ? a : b, right to left in the else branch; both branches are read
    // (their names must exist), the untaken one's value is not used. A
    // condition inside the then branch needs parentheses: ngspice reads
    // "1?0?5:6:7" as 5.
    std::optional<double> conditional() {
        DepthGuard guard(depth_);
        if (guard.too_deep()) return std::nullopt;
        auto cond = logical_or();
        if (!cond || !accept('?')) return cond;
        auto yes = logical_or();
        if (!yes || !accept(':')) return std::nullopt;
        auto no = conditional();
        if (!no) return std::nullopt;
        return *cond != 0.0 ? yes : no;
    }

    std::optional<double> logical_or() {
        auto acc = logical_and();
        while (acc && accept2('|', '|')) {
            auto rhs = logical_and();
            if (!rhs) return std::nullopt;
            acc = truth(*acc != 0.0 || *rhs != 0.0);
        }
        return acc;
    }

    std::optional<double> logical_and() {
        auto acc = comparison();
        while (acc && accept2('&', '&')) {
            auto rhs = comparison();
            if (!rhs) return std::nullopt;
            acc = truth(*acc != 0.0 && *rhs != 0.0);
        }
        return acc;
    }

    enum class Cmp { None, Eq, Ne, Lt, Le, Gt, Ge };

    // All comparisons share one level, left to right ("3>2>1" is 0); "="
    // and "<>" are ngspice's spellings of "==" and "!=".
    Cmp accept_comparison() {
        const char c = peek();
        const char d = peek_next();
        Cmp op = Cmp::None;
        std::size_t width = 1;
        if (c == '=') {
            op = Cmp::Eq;
            width = d == '=' ? 2 : 1;
        } else if ((c == '!' && d == '=') || (c == '<' && d == '>')) {
            op = Cmp::Ne;
            width = 2;
        } else if (c == '<' || c == '>') {
            op = c == '<' ? (d == '=' ? Cmp::Le : Cmp::Lt) : (d == '=' ? Cmp::Ge : Cmp::Gt);
            width = d == '=' ? 2 : 1;
        }
        if (op != Cmp::None) pos_ += width;
        return op;
    }

    std::optional<double> comparison() {
        auto acc = sum();
        while (acc) {
            const Cmp op = accept_comparison();
            if (op == Cmp::None) break;
            auto rhs = sum();
            if (!rhs) return std::nullopt;
            const double a = *acc, b = *rhs;
            switch (op) {
                case Cmp::Eq: acc = truth(a == b); break;
                case Cmp::Ne: acc = truth(a != b); break;
                case Cmp::Lt: acc = truth(a < b); break;
                case Cmp::Le: acc = truth(a <= b); break;
                case Cmp::Gt: acc = truth(a > b); break;
                case Cmp::Ge: acc = truth(a >= b); break;
                case Cmp::None: break;
            }
        }
        return acc;
    }

    std::optional<double> sum() {
        auto acc = product();
        if (acc && lead_negate_) {
            lead_negate_ = false;
            acc = -*acc;
        }
        while (acc) {
            const char c = peek();
            if (c != '+' && c != '-') break;
            ++pos_;
            auto rhs = product();
            if (!rhs) return std::nullopt;
            acc = c == '+' ? *acc + *rhs : *acc - *rhs;
        }
        return acc;
    }

    std::optional<double> product() {
        auto acc = power();
        while (acc) {
            const char c = peek();
            if ((c != '*' && c != '/' && c != '%') || (c == '*' && peek_next() == '*')) break;
            ++pos_;
            auto rhs = power();
            if (!rhs) return std::nullopt;
            acc = c == '*' ? *acc * *rhs : c == '/' ? *acc / *rhs : remainder_of(*acc, *rhs);
        }
        return acc;
    }

    // ngspice's "%": the remainder after the quotient truncated, computed in
    // doubles (7%-3 is 1, 1e17%7 is 0).
    static double remainder_of(double a, double b) { return a - b * std::trunc(a / b); }

    // "**" or "^", taken at the current position.
    bool accept_power_operator() { return accept('^') || accept2('*', '*'); }

    // As ngspice reads powers: "**" and "^" alike, from left to right
    // (2**3**2 is 64), of the base's magnitude ((-2)**3 is 8).
    std::optional<double> power() {
        auto acc = operand();
        while (acc && accept_power_operator()) {
            auto exponent = operand();
            if (!exponent) return std::nullopt;
            acc = magnitude_power(*acc, *exponent);
        }
        return acc;
    }

    static double magnitude_power(double base, double exponent) {
        return std::pow(std::fabs(base), exponent);
    }

    // What follows an operator: "-" signs (one number's sign, or a pending
    // negation), then "!" prefixes or a primary. "+" there is an error, as is
    // a sign after "!" or a "!" after a sign.
    std::optional<double> operand() {
        int signs = 0;
        while (accept('-')) {
            if (++signs > kMaxDepth) return std::nullopt;
        }
        if (signs > 0) pending_negate_ = true;
        const char c = peek();
        if (c == '+' || (c == '!' && signs > 0)) return std::nullopt;
        return negated_operand();
    }

    std::optional<double> negated_operand() {
        DepthGuard guard(depth_);
        if (guard.too_deep()) return std::nullopt;
        if (peek() == '!' && peek_next() != '=') {
            ++pos_;
            const char c = peek();
            if (c == '-' || c == '+') return std::nullopt;
            auto v = negated_operand();
            if (!v) return std::nullopt;
            return truth(*v == 0.0);
        }
        return primary();
    }

    std::optional<double> group(char close) {
        auto v = formula();
        if (!v || !accept(close)) return std::nullopt;
        return v;
    }

    std::optional<double> primary() {
        const char c = peek();
        if (c == '\0') return std::nullopt;
        ++pos_;
        if (c == '(') return group(')');
        if (c == '{') return group('}');
        if (c == '\'') return group('\'');
        --pos_;
        if (is_digit(c) || (c == '.' && is_digit(peek_next()))) {
            auto v = number();
            if (v && pending_negate_) {
                pending_negate_ = false;
                v = -*v;
            }
            return v;
        }
        if (is_ascii_alpha(c) || c == '_' || static_cast<unsigned char>(c) >= 0x80) return name();
        return std::nullopt;
    }

    std::optional<double> number() {
        std::size_t length = 0;
        const std::optional<double> v = spice_numbers::expression_number(s_.substr(pos_), &length);
        pos_ += length;
        return v;
    }

    bool name_char(std::size_t i) const {
        const char c = s_[i];
        if (is_ascii_alpha(c) || is_digit(c) || c == '_' || c == '.') return true;
        return static_cast<unsigned char>(c) >= 0x80 && whitespace_at(s_, i) == 0;
    }

    std::optional<double> name() {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && name_char(pos_)) ++pos_;
        const std::string key = ascii_lower(s_.substr(start, pos_ - start));
        if (accept('(')) return call(key);
        const auto it = params_.find(key);
        if (it == params_.end() || !std::isfinite(it->second)) return std::nullopt;
        return it->second;
    }

    static std::optional<double> function1(const std::string& fn, double x) {
        using F = double (*)(double);
        static const std::unordered_map<std::string, F> kFunctions{
            {"sqrt", [](double v) { return std::sqrt(v); }},
            {"sqr", [](double v) { return v * v; }},
            {"exp", [](double v) { return std::exp(v); }},
            {"log", [](double v) { return std::log(v); }},
            {"ln", [](double v) { return std::log(v); }},
            {"log10", [](double v) { return std::log10(v); }},
            {"abs", [](double v) { return std::fabs(v); }},
            {"sgn", [](double v) { return v > 0   ? 1.0
                                          : v < 0 ? -1.0
                                                  : 0.0; }},
            {"int", [](double v) { return std::trunc(v); }},
            {"floor", [](double v) { return std::floor(v); }},
            {"ceil", [](double v) { return std::ceil(v); }},
            // Halves to the even neighbour, as ngspice rounds (nint(2.5) is 2).
            {"nint", [](double v) { return std::nearbyint(v); }},
            {"sin", [](double v) { return std::sin(v); }},
            {"cos", [](double v) { return std::cos(v); }},
            {"tan", [](double v) { return std::tan(v); }},
            {"asin", [](double v) { return std::asin(v); }},
            {"acos", [](double v) { return std::acos(v); }},
            {"atan", [](double v) { return std::atan(v); }},
            {"arctan", [](double v) { return std::atan(v); }},
            {"sinh", [](double v) { return std::sinh(v); }},
            {"cosh", [](double v) { return std::cosh(v); }},
            {"tanh", [](double v) { return std::tanh(v); }},
            {"asinh", [](double v) { return std::asinh(v); }},
            {"acosh", [](double v) { return std::acosh(v); }},
            {"atanh", [](double v) { return std::atanh(v); }},
        };
        const auto it = kFunctions.find(fn);
        if (it == kFunctions.end()) return std::nullopt;
        return it->second(x);
    }

    // atan2, hypot and fmod do not exist in ngspice: they stay unknown, like
    // any other name.
    std::optional<double> call(const std::string& fn) {
        std::vector<double> args;
        if (!accept(')')) {
            do {
                auto v = formula();
                if (!v) return std::nullopt;
                args.push_back(*v);
            } while (accept(','));
            if (!accept(')')) return std::nullopt;
        }
        const std::size_t n = args.size();
        // Statistical functions give their nominal value, the first argument:
        // ngspice draws a new value at each use, a table describes the
        // nominal device. ngspice reads a call of any of them with one to
        // three arguments (a lone one as the variation around a nominal 1:
        // agauss(0.3) is 1) and refuses one with none or more. A Gaussian
        // whose last argument (its sigma, or the variation of a lone one) is
        // 0 divides by it: ngspice's value is not a number.
        if (fn == "agauss" || fn == "gauss" || fn == "aunif" || fn == "unif" || fn == "limit") {
            if (n < 1 || n > 3) return std::nullopt;
            if ((fn == "agauss" || fn == "gauss") && args[n - 1] == 0.0)
                return std::numeric_limits<double>::quiet_NaN();
            return n == 1 ? 1.0 : args[0];
        }
        if (n == 1) return function1(fn, args[0]);
        if (n == 2 && fn == "pow") return std::pow(args[0], args[1]);
        if (n == 2 && fn == "pwr") return magnitude_power(args[0], args[1]);
        if (n == 3 && fn == "ternary_fcn") return args[0] != 0.0 ? args[1] : args[2];
        if (n >= 2 && (fn == "min" || fn == "max")) {
            double r = args[0];
            for (double x : args) r = fn == "min" ? std::fmin(r, x) : std::fmax(r, x);
            return r;
        }
        return std::nullopt;
    }
};

}  // namespace

std::optional<double> evaluate(std::string_view text, const ParamMap& params) {
    const std::optional<double> v = Evaluator(text, params).run();
    if (!v || !std::isfinite(*v)) return std::nullopt;
    return v;
}

std::optional<double> evaluate_ieee(std::string_view text, const ParamMap& params) {
    return Evaluator(text, params).run();
}

namespace {

bool is_quote(char c) { return c == '"' || c == '\''; }

// The file word at the start of `rest`: quoted, or up to the first blank.
// Sets `after` to what follows it. None for an unclosed quote.
std::optional<std::string_view> file_word(std::string_view rest, std::string_view* after) {
    if (!rest.empty() && is_quote(rest.front())) {
        const std::size_t close = rest.find(rest.front(), 1);
        if (close == std::string_view::npos) return std::nullopt;
        *after = rest.substr(close + 1);
        return rest.substr(1, close - 1);
    }
    std::size_t end = 0;
    while (end < rest.size() && whitespace_at(rest, end) == 0) ++end;
    *after = rest.substr(end);
    return rest.substr(0, end);
}

}  // namespace

std::string_view without_comment(std::string_view line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') quoted = !quoted;
        if (!quoted && (c == '$' || c == ';')) return line.substr(0, i);
    }
    return line;
}

std::optional<std::string_view> section_header(std::string_view line) {
    if (!ascii_istarts_with(line, ".lib")) return std::nullopt;
    std::string_view rest = line.substr(4);
    if (!rest.empty() && whitespace_at(rest, 0) == 0 && !is_quote(rest.front())) return std::nullopt;
    const auto skip_blanks_and_quotes = [&] {
        for (;;) {
            if (const std::size_t n = whitespace_at(rest, 0)) {
                rest.remove_prefix(n);
            } else if (!rest.empty() && is_quote(rest.front())) {
                rest.remove_prefix(1);
            } else {
                return;
            }
        }
    };
    skip_blanks_and_quotes();
    std::size_t end = 0;
    while (end < rest.size() && whitespace_at(rest, end) == 0 && !is_quote(rest[end])) ++end;
    const std::string_view name = rest.substr(0, end);
    rest.remove_prefix(end);
    skip_blanks_and_quotes();
    if (name.empty() || !rest.empty()) return std::nullopt;
    return name;
}

bool is_redirect(std::string_view line) { return ascii_istarts_with(line, ".lib") && !section_header(line); }

bool is_section_end(std::string_view line) { return ascii_istarts_with(line, ".endl"); }

std::string_view strip_quotes(std::string_view text) {
    while (!text.empty() && is_quote(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_quote(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<std::string> directive_arg(std::string_view line, std::string_view keyword) {
    if (!ascii_istarts_with(line, keyword)) return std::nullopt;
    const std::string_view rest = line.substr(keyword.size());
    if (!rest.empty() && whitespace_at(rest, 0) == 0) return std::nullopt;
    const std::string_view word = first_word(rest);
    if (word.empty()) return std::nullopt;
    return std::string(strip_quotes(word));
}

std::optional<Redirect> redirect_target(std::string_view line) {
    if (!ascii_istarts_with(line, ".lib") || !is_redirect(line)) return std::nullopt;
    // Nothing requires a blank after ".lib".
    const std::string_view rest = trim_start(line.substr(4));
    std::string_view after;
    const std::optional<std::string_view> file = file_word(rest, &after);
    // An unquoted file word running to the line's end leaves no section.
    if (!file || after.empty()) return std::nullopt;
    const std::string_view section = first_word(after);
    if (section.empty()) return std::nullopt;
    return Redirect{*file, section};
}

std::optional<std::string_view> include_target(std::string_view line) {
    std::size_t end = 0;
    while (end < line.size() && whitespace_at(line, end) == 0 && !is_quote(line[end])) ++end;
    if (!ascii_istarts_with(line.substr(0, end), ".inc")) return std::nullopt;
    std::string_view after;
    const std::optional<std::string_view> file = file_word(trim_start(line.substr(end)), &after);
    if (!file || file->empty()) return std::nullopt;
    return file;
}

}  // namespace morva::spice::spice_expr
