#include "psf/psfascii.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <limits>
#include <system_error>
#include <unordered_map>

#include "common/format.h"
#include "common/text.h"
#include "psf/types.h"

namespace morva::psf {

// ---------------------------------------------------------------------------
// Values

void AsciiSeries::push_number(double v) {
    re_.push_back(v);
    if (!im_.empty()) im_.push_back(0.0);
    kinds_.push_back(static_cast<std::uint8_t>(AsciiValue::Kind::Number));
}

void AsciiSeries::push_complex(double re, double im) {
    if (im_.empty()) im_.assign(re_.size(), 0.0);
    re_.push_back(re);
    im_.push_back(im);
    kinds_.push_back(static_cast<std::uint8_t>(AsciiValue::Kind::Complex));
}

void AsciiSeries::push_text(std::string text) {
    texts_.emplace_back(re_.size(), std::move(text));
    re_.push_back(std::numeric_limits<double>::quiet_NaN());
    if (!im_.empty()) im_.push_back(0.0);
    kinds_.push_back(static_cast<std::uint8_t>(AsciiValue::Kind::Text));
}

AsciiValue AsciiSeries::at(std::size_t i) const {
    AsciiValue v;
    v.kind = static_cast<AsciiValue::Kind>(kinds_.at(i));
    switch (v.kind) {
        case AsciiValue::Kind::Text: {
            const auto it =
                std::lower_bound(texts_.begin(), texts_.end(), i,
                                 [](const auto& entry, std::size_t k) { return entry.first < k; });
            v.text = it->second;
            break;
        }
        case AsciiValue::Kind::Complex: v.im = im_[i]; [[fallthrough]];
        case AsciiValue::Kind::Number: v.re = re_[i]; break;
    }
    return v;
}

std::optional<std::vector<double>> AsciiSeries::real_parts() const {
    if (!texts_.empty()) return std::nullopt;
    return re_;
}

// ---------------------------------------------------------------------------
// Tokenizer

namespace {

enum class TokKind : std::uint8_t { Word, String, Int, Real, LParen, RParen, Star };

struct Tok {
    TokKind kind;
    union {
        std::int64_t i;
        double r;
        std::size_t s;  // index into Tokens::strs (Word, String)
    };
};

struct Tokens {
    std::vector<Tok> toks;
    std::vector<std::string_view> strs;
    std::deque<std::string> unescaped;  // strings that held escapes; stable addresses

    std::string_view str(const Tok& t) const { return strs[t.s]; }

    std::string debug(const Tok& t) const {
        switch (t.kind) {
            case TokKind::Word: return fmt::cat("Word(", fmt::debug_str(str(t)), ")");
            case TokKind::String: return fmt::cat("String(", fmt::debug_str(str(t)), ")");
            case TokKind::Int: return fmt::cat("Int(", t.i, ")");
            case TokKind::Real: return fmt::cat("Real(", fmt::debug(t.r), ")");
            case TokKind::LParen: return "LParen";
            case TokKind::RParen: return "RParen";
            case TokKind::Star: return "Star";
        }
        return {};
    }
};

PsfError fail(std::string message) { return PsfError::other(std::move(message)); }

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_word_char(unsigned char c) { return is_letter(c) || is_digit(c) || c == '_'; }

// The character debug form of a byte that starts no token: the character of
// that code point in single quotes.
std::string char_debug(unsigned char byte) {
    if (byte == '\'') return "'\\''";
    if (byte == '"') return "'\"'";
    std::string utf8;
    if (byte < 0x80) {
        utf8.push_back(static_cast<char>(byte));
    } else {
        utf8.push_back(static_cast<char>(0xc0 | (byte >> 6)));
        utf8.push_back(static_cast<char>(0x80 | (byte & 0x3f)));
    }
    std::string quoted = fmt::debug_str(utf8);
    quoted.front() = '\'';
    quoted.back() = '\'';
    return quoted;
}

// Non-finite values written as words ("nan", "inf"), as simulators print them.
std::optional<double> non_finite_word(std::string_view word) {
    if (ascii_iequals(word, "nan")) return std::numeric_limits<double>::quiet_NaN();
    if (ascii_iequals(word, "inf") || ascii_iequals(word, "infinity"))
        return std::numeric_limits<double>::infinity();
    return std::nullopt;
}

// A decimal text beyond the range of float64 parses to infinity or zero.
double out_of_range_value(std::string_view text) {
    bool negative = false;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Decimal exponent of the first non-zero digit.
    std::int64_t lead = 0;
    bool seen_point = false, seen_nonzero = false;
    for (; i < text.size() && (is_digit(text[i]) || text[i] == '.'); ++i) {
        if (text[i] == '.') {
            seen_point = true;
            continue;
        }
        if (!seen_nonzero && text[i] != '0') {
            seen_nonzero = true;
            lead = 0;
        }
        if (seen_nonzero && !seen_point) ++lead;
        if (!seen_nonzero && seen_point) --lead;
    }
    std::int64_t exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool neg_exp = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg_exp = text[i++] == '-';
        for (; i < text.size(); ++i)
            exponent = std::min<std::int64_t>(exponent * 10 + (text[i] - '0'), 1'000'000'000);
        if (neg_exp) exponent = -exponent;
    }
    const double magnitude = lead + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
}

// Parses a number text as float64, correctly rounded; nothing when the text is
// not a float literal.
std::optional<double> parse_float(std::string_view text) {
    std::string_view body = text;
    if (!body.empty() && body.front() == '+') body.remove_prefix(1);
    if (body.empty()) return std::nullopt;
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (ptr != body.data() + body.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) return out_of_range_value(text);
    if (ec != std::errc()) return std::nullopt;
    return value;
}

class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) : s_(text) {}

    Result<Tokens, PsfError> run() {
        // A rough guess that avoids most regrowth on large value sections.
        out_.toks.reserve(s_.size() / 12 + 16);
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            switch (c) {
                case ' ':
                case '\t':
                case '\n':
                case '\r': ++i_; continue;
                case '#': skip_line(); continue;
                case '/':
                    if (i_ + 1 < s_.size() && s_[i_ + 1] == '/') {
                        skip_line();
                        continue;
                    }
                    return unexpected(c);
                case '(': push_simple(TokKind::LParen); continue;
                case ')': push_simple(TokKind::RParen); continue;
                case '*': push_simple(TokKind::Star); continue;
                case '"': quoted(); continue;
                default: break;
            }
            if (c == '+' || c == '-' || c == '.' || is_digit(c)) {
                MORVA_TRY(number());
            } else if (is_letter(c) || c == '_') {
                word();
            } else {
                return unexpected(c);
            }
        }
        return std::move(out_);
    }

private:
    Err<PsfError> unexpected(unsigned char c) const {
        return err(fail(fmt::cat("unexpected character ", char_debug(c), " at byte ", i_)));
    }

    void skip_line() {
        const std::size_t nl = s_.find('\n', i_);
        i_ = nl == std::string_view::npos ? s_.size() : nl;
    }

    void push_simple(TokKind kind) {
        Tok t;
        t.kind = kind;
        t.i = 0;
        out_.toks.push_back(t);
        ++i_;
    }

    void push_text(TokKind kind, std::string_view text) {
        Tok t;
        t.kind = kind;
        t.s = out_.strs.size();
        out_.strs.push_back(text);
        out_.toks.push_back(t);
    }

    void quoted() {
        const std::size_t start = ++i_;
        std::size_t j = start;
        while (j < s_.size() && s_[j] != '"' && s_[j] != '\\') ++j;
        if (j >= s_.size() || s_[j] == '"') {
            // No escapes: the token views the text itself.
            push_text(TokKind::String, s_.substr(start, j - start));
            i_ = j < s_.size() ? j + 1 : j;
            return;
        }
        std::string text(s_.substr(start, j - start));
        while (j < s_.size() && s_[j] != '"') {
            if (s_[j] == '\\' && j + 1 < s_.size()) {
                const char next = s_[j + 1];
                text.push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next);
                j += 2;
            } else {
                text.push_back(s_[j++]);
            }
        }
        i_ = j < s_.size() ? j + 1 : j;
        push_text(TokKind::String, out_.unescaped.emplace_back(std::move(text)));
    }

    void word() {
        const std::size_t start = i_;
        while (i_ < s_.size() && is_word_char(s_[i_])) ++i_;
        push_text(TokKind::Word, s_.substr(start, i_ - start));
    }

    Result<void, PsfError> number() {
        const std::size_t start = i_;
        if (s_[i_] == '+' || s_[i_] == '-') {
            ++i_;
            // A signed non-finite value ("-inf", "+nan").
            if (i_ < s_.size() && is_letter(s_[i_])) {
                std::size_t j = i_;
                while (j < s_.size() && is_word_char(s_[j])) ++j;
                if (const auto v = non_finite_word(s_.substr(i_, j - i_))) {
                    i_ = j;
                    return push_real(s_[start] == '-' ? -*v : *v);
                }
            }
        }
        bool integral = true;
        while (i_ < s_.size() && (is_digit(s_[i_]) || s_[i_] == '.')) integral &= s_[i_++] != '.';
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            integral = false;
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            while (i_ < s_.size() && is_digit(s_[i_])) ++i_;
        }
        const std::string_view text = s_.substr(start, i_ - start);
        if (integral) {
            std::string_view digits = text;
            if (digits.front() == '+') digits.remove_prefix(1);
            std::int64_t v = 0;
            const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
            if (ec == std::errc() && ptr == digits.data() + digits.size()) {
                Tok t;
                t.kind = TokKind::Int;
                t.i = v;
                out_.toks.push_back(t);
                return {};
            }
        }
        const auto value = parse_float(text);
        if (!value)
            return err(fail(fmt::cat("bad numeric ", fmt::debug_str(text), ": invalid float literal")));
        return push_real(*value);
    }

    Result<void, PsfError> push_real(double v) {
        Tok t;
        t.kind = TokKind::Real;
        t.r = v;
        out_.toks.push_back(t);
        return {};
    }

    std::string_view s_;
    std::size_t i_ = 0;
    Tokens out_;
};

// ---------------------------------------------------------------------------
// Parser

using Kind = AsciiTypeKind::Tag;

// A value read from the VALUE section; text views a token.
struct ReadValue {
    AsciiValue::Kind kind = AsciiValue::Kind::Number;
    double re = 0.0;
    double im = 0.0;
    std::string_view text;
};

void push(AsciiSeries& series, const ReadValue& v) {
    switch (v.kind) {
        case AsciiValue::Kind::Number: series.push_number(v.re); break;
        case AsciiValue::Kind::Complex: series.push_complex(v.re, v.im); break;
        case AsciiValue::Kind::Text: series.push_text(std::string(v.text)); break;
    }
}

class Parser {
public:
    explicit Parser(const Tokens& tokens) : t_(tokens) {}

    Result<void, PsfError> parse(PsfAscii& out) {
        const Tok* first = peek();
        if (!first || first->kind != TokKind::Word || t_.str(*first) != "HEADER")
            return err(fail(
                fmt::cat("expected keyword ", fmt::debug_str("HEADER"), ", got ", shown(0), " at token 0")));
        ++pos_;
        MORVA_TRY(parse_header(out.header));
        if (take_word("TYPE")) {
            while (peek_is(TokKind::String)) {
                MORVA_ASSIGN(AsciiTypeDef def, parse_typedef(0));
                out.types.push_back(std::move(def));
            }
        }
        if (take_word("SWEEP")) {
            while (peek_is(TokKind::String)) {
                MORVA_ASSIGN(AsciiSignalRef ref, parse_ref());
                out.sweeps.push_back(std::move(ref));
            }
        }
        if (take_word("TRACE")) {
            while (peek_is(TokKind::String)) {
                MORVA_ASSIGN(AsciiTraceNode node, parse_trace());
                out.traces.push_back(std::move(node));
            }
        }
        // Every listed trace has an entry, even without a VALUE section, so
        // that its waveform is empty rather than missing.
        list_traces(out);
        if (take_word("VALUE")) MORVA_TRY(parse_values(out));
        return {};
    }

private:
    const Tok* peek() const { return pos_ < t_.toks.size() ? &t_.toks[pos_] : nullptr; }
    bool peek_is(TokKind kind) const { return pos_ < t_.toks.size() && t_.toks[pos_].kind == kind; }
    bool peek_word(std::string_view word) const {
        return peek_is(TokKind::Word) && t_.str(t_.toks[pos_]) == word;
    }
    bool take_word(std::string_view word) {
        if (!peek_word(word)) return false;
        ++pos_;
        return true;
    }
    // The optional-token form used in messages: None, or Some(token).
    std::string shown(std::size_t index) const {
        if (index >= t_.toks.size()) return "None";
        return fmt::cat("Some(", t_.debug(t_.toks[index]), ")");
    }

    Result<std::string_view, PsfError> expect_string() {
        if (!peek_is(TokKind::String))
            return err(fail(fmt::cat("expected quoted string, got ", shown(pos_), " at token ", pos_)));
        return t_.str(t_.toks[pos_++]);
    }

    Result<void, PsfError> expect_word(std::string_view word) {
        const std::size_t at = pos_++;
        if (at < t_.toks.size() && t_.toks[at].kind == TokKind::Word && t_.str(t_.toks[at]) == word)
            return {};
        return err(
            fail(fmt::cat("expected keyword ", fmt::debug_str(word), ", got ", shown(at), " at token ", at)));
    }

    // A property value token: text, an integer (its low 32 bits) or a real.
    std::optional<PropertyValue> property_value(std::size_t index) const {
        if (index >= t_.toks.size()) return std::nullopt;
        const Tok& t = t_.toks[index];
        switch (t.kind) {
            case TokKind::String: return PropertyValue{std::string(t_.str(t))};
            case TokKind::Int:
                return PropertyValue{static_cast<std::int32_t>(static_cast<std::uint32_t>(t.i))};
            case TokKind::Real: return PropertyValue{t.r};
            default: return std::nullopt;
        }
    }

    Result<void, PsfError> parse_header(std::vector<Property>& header) {
        while (peek_is(TokKind::String)) {
            std::string name(t_.str(t_.toks[pos_]));
            auto value = property_value(pos_ + 1);
            if (!value) return err(fail(fmt::cat("expected header property value, got ", shown(pos_ + 1))));
            pos_ += 2;
            header.push_back({std::move(name), std::move(*value)});
        }
        return {};
    }

    Result<std::vector<Property>, PsfError> parse_prop_block() {
        std::vector<Property> props;
        if (!take_word("PROP")) return props;
        if (!peek_is(TokKind::LParen))
            return err(fail(fmt::cat("expected `(` after PROP, got ", shown(pos_))));
        ++pos_;
        for (;;) {
            if (peek_is(TokKind::RParen)) {
                ++pos_;
                return props;
            }
            if (!peek_is(TokKind::String))
                return err(fail(fmt::cat("unexpected token in PROP block: ", shown(pos_))));
            std::string name(t_.str(t_.toks[pos_]));
            auto value = property_value(pos_ + 1);
            if (!value) return err(fail(fmt::cat("expected property value, got ", shown(pos_ + 1))));
            pos_ += 2;
            props.push_back({std::move(name), std::move(*value)});
        }
    }

    Result<AsciiTypeDef, PsfError> parse_typedef(int depth) {
        AsciiTypeDef def;
        MORVA_ASSIGN(std::string_view name, expect_string());
        def.name = std::string(name);
        const std::size_t at = pos_++;
        const Tok* kind = at < t_.toks.size() ? &t_.toks[at] : nullptr;
        const std::string_view word =
            kind && kind->kind == TokKind::Word ? t_.str(*kind) : std::string_view();
        if (word == "FLOAT") {
            MORVA_TRY(expect_word("DOUBLE"));
            def.kind.tag = Kind::Float;
        } else if (word == "COMPLEX") {
            MORVA_TRY(expect_word("DOUBLE"));
            def.kind.tag = Kind::Complex;
        } else if (word == "INT") {
            // INT BYTE, INT LONG and the like: the width does not matter here.
            if (!peek_is(TokKind::Word))
                return err(fail(fmt::cat("expected BYTE/INT after INT, got ", shown(pos_))));
            ++pos_;
            def.kind.tag = Kind::Int;
        } else if (word == "STRUCT") {
            if (!peek_is(TokKind::LParen))
                return err(fail(fmt::cat("expected `(` after STRUCT, got ", shown(pos_))));
            if (depth >= kMaxStructDepth) return err(fail(kStructTooDeep));
            ++pos_;
            def.kind.tag = Kind::Struct;
            for (;;) {
                if (peek_is(TokKind::String)) {
                    MORVA_ASSIGN(AsciiTypeDef member, parse_typedef(depth + 1));
                    def.kind.members.push_back(std::move(member));
                } else if (peek_is(TokKind::Star)) {
                    ++pos_;
                } else if (peek_is(TokKind::RParen)) {
                    ++pos_;
                    break;
                } else {
                    return err(fail(fmt::cat("unexpected token in STRUCT body: ", shown(pos_))));
                }
            }
        } else {
            return err(fail(fmt::cat("unexpected type keyword ", shown(at), " in TYPE section")));
        }
        MORVA_ASSIGN(def.properties, parse_prop_block());
        return def;
    }

    Result<AsciiSignalRef, PsfError> parse_ref() {
        AsciiSignalRef ref;
        MORVA_ASSIGN(std::string_view name, expect_string());
        MORVA_ASSIGN(std::string_view type_name, expect_string());
        ref.name = std::string(name);
        ref.type_name = std::string(type_name);
        MORVA_ASSIGN(ref.properties, parse_prop_block());
        return ref;
    }

    Result<AsciiTraceNode, PsfError> parse_trace() {
        MORVA_ASSIGN(std::string_view name, expect_string());
        if (take_word("GROUP")) {
            MORVA_ASSIGN(std::uint64_t count, group_count());
            AsciiTraceGroup group;
            group.name = std::string(name);
            // Every member takes at least two tokens; never reserve more.
            group.members.reserve(std::min<std::uint64_t>(count, (t_.toks.size() - pos_) / 2));
            for (std::uint64_t i = 0; i < count; ++i) {
                MORVA_ASSIGN(AsciiSignalRef member, parse_ref());
                group.members.push_back(std::move(member));
            }
            return AsciiTraceNode{std::move(group)};
        }
        AsciiSignalRef ref;
        ref.name = std::string(name);
        MORVA_ASSIGN(std::string_view type_name, expect_string());
        ref.type_name = std::string(type_name);
        MORVA_ASSIGN(ref.properties, parse_prop_block());
        return AsciiTraceNode{std::move(ref)};
    }

    Result<std::uint64_t, PsfError> group_count() {
        const std::size_t at = pos_++;
        const Tok* t = at < t_.toks.size() ? &t_.toks[at] : nullptr;
        if (t && t->kind == TokKind::Int) {
            if (t->i < 0) return err(fail(fmt::cat("negative group member count ", t->i)));
            return static_cast<std::uint64_t>(t->i);
        }
        if (t && t->kind == TokKind::Real && std::isfinite(t->r) && std::trunc(t->r) == t->r) {
            if (t->r < 0) return err(fail(fmt::cat("negative group member count ", fmt::display(t->r))));
            return t->r >= 0x1p64 ? std::numeric_limits<std::uint64_t>::max()
                                  : static_cast<std::uint64_t>(t->r);
        }
        return err(fail(fmt::cat("expected integer, got ", shown(at), " at token ", at)));
    }

    // ---- VALUE section

    // A numeric token: an integer, a real or a non-finite word.
    std::optional<double> number_at(std::size_t index) const {
        if (index >= t_.toks.size()) return std::nullopt;
        const Tok& t = t_.toks[index];
        if (t.kind == TokKind::Real) return t.r;
        if (t.kind == TokKind::Int) return static_cast<double>(t.i);
        if (t.kind == TokKind::Word) return non_finite_word(t_.str(t));
        return std::nullopt;
    }

    // A number where a value is read: in strict mode only the Int and Real
    // tokens of the plain grammar.
    std::optional<double> value_number_at(std::size_t index) const {
        if (strict_ && index < t_.toks.size() && t_.toks[index].kind == TokKind::Word) return std::nullopt;
        return number_at(index);
    }

    Result<double, PsfError> read_number() {
        const auto v = value_number_at(pos_);
        if (!v) return err(fail(fmt::cat("expected numeric value, got ", shown(pos_))));
        ++pos_;
        return *v;
    }

    Result<ReadValue, PsfError> read_complex() {
        ReadValue v;
        v.kind = AsciiValue::Kind::Complex;
        MORVA_ASSIGN(v.re, read_number());
        MORVA_ASSIGN(v.im, read_number());
        return v;
    }

    // One value of a type kind (null: no known type).
    Result<ReadValue, PsfError> read_value(const AsciiTypeKind* kind, int depth) {
        if (!strict_ && peek_is(TokKind::LParen)) return read_parenthesised(kind, depth);
        if (kind && kind->tag == Kind::Complex) return read_complex();
        if (kind && kind->tag == Kind::Struct) {
            ReadValue first;
            first.re = std::numeric_limits<double>::quiet_NaN();
            for (std::size_t m = 0; m < kind->members.size(); ++m) {
                MORVA_ASSIGN(ReadValue v, read_value(&kind->members[m].kind, depth + 1));
                if (m == 0) first = v;
            }
            return first;
        }
        ReadValue v;
        if (peek_is(TokKind::String)) {
            v.kind = AsciiValue::Kind::Text;
            v.text = t_.str(t_.toks[pos_++]);
            return v;
        }
        const auto number = value_number_at(pos_);
        if (!number) return err(fail(fmt::cat("expected value, got ", shown(pos_))));
        ++pos_;
        v.re = *number;
        return v;
    }

    // Simulators write complex values as "(re im)" and struct values as a
    // parenthesised member list, optionally followed by a PROP block; the
    // first member is the value.
    Result<ReadValue, PsfError> read_parenthesised(const AsciiTypeKind* kind, int depth) {
        if (depth >= kMaxStructDepth) return err(fail(kStructTooDeep));
        ++pos_;
        ReadValue first;
        if (kind && kind->tag == Kind::Complex) {
            MORVA_ASSIGN(first, read_complex());
            if (!peek_is(TokKind::RParen))
                return err(fail(fmt::cat("expected `)` after complex value, got ", shown(pos_))));
            ++pos_;
        } else {
            first.re = std::numeric_limits<double>::quiet_NaN();
            for (std::size_t m = 0;; ++m) {
                if (peek_is(TokKind::RParen)) {
                    ++pos_;
                    break;
                }
                const bool has_member = kind && kind->tag == Kind::Struct && m < kind->members.size();
                MORVA_ASSIGN(ReadValue v,
                             read_value(has_member ? &kind->members[m].kind : nullptr, depth + 1));
                if (m == 0) first = v;
            }
        }
        MORVA_TRY(parse_prop_block());
        return first;
    }

    // Whether a value of `kind` reads here by the plain grammar (no
    // parenthesised values, no non-finite words) and is followed by the next
    // entry's name or the end of the section. Reads nothing.
    bool reads_plainly(const AsciiTypeKind* kind) {
        const std::size_t start = pos_;
        strict_ = true;
        const bool read = read_value(kind, 0).ok();
        strict_ = false;
        const bool fits = read && (!peek() || peek_word("END") || peek_is(TokKind::String));
        pos_ = start;
        return fits;
    }

    const AsciiTypeKind* kind_of(std::string_view type_name) const {
        const auto it = kinds_.find(type_name);
        return it == kinds_.end() ? nullptr : it->second;
    }

    // The traces in TRACE order with groups expanded, each with its kind and
    // its entry of `values`.
    void list_traces(PsfAscii& out) {
        for (const AsciiTypeDef& def : out.types) kinds_.try_emplace(def.name, &def.kind);
        for_each_signal(out.traces, [&](const AsciiSignalRef& ref) {
            AsciiSeries& series = out.values.try_emplace(ref.name).first->second;
            listed_.push_back({ref.name, kind_of(ref.type_name), &series});
        });
    }

    Result<void, PsfError> parse_values(PsfAscii& out) {
        const std::vector<Listed>& listed = listed_;
        const auto at_end = [&] { return !peek() || peek_word("END"); };

        if (!out.sweeps.empty()) {
            const AsciiSignalRef& sweep = out.sweeps.front();
            const AsciiTypeKind* sweep_kind = kind_of(sweep.type_name);
            while (!at_end()) {
                MORVA_ASSIGN(std::string_view marker, expect_string());
                if (marker != sweep.name)
                    return err(fail(fmt::cat("expected sweep marker ", fmt::debug_str(sweep.name), ", got ",
                                             fmt::debug_str(marker))));
                double x = 0.0;
                if (sweep_kind && sweep_kind->tag == Kind::Complex) {
                    MORVA_ASSIGN(ReadValue v,
                                 peek_is(TokKind::LParen) ? read_value(sweep_kind, 0) : read_complex());
                    x = v.re;
                } else {
                    MORVA_ASSIGN(x, read_number());
                }
                out.sweep_values.push_back(x);
                for (const Listed& trace : listed) {
                    if (at_end())
                        return err(
                            fail(fmt::cat("VALUE section truncated at trace ", fmt::debug_str(trace.name))));
                    MORVA_ASSIGN(std::string_view name, expect_string());
                    if (name != trace.name)
                        return err(fail(fmt::cat("expected trace ", fmt::debug_str(trace.name), ", got ",
                                                 fmt::debug_str(name))));
                    MORVA_ASSIGN(ReadValue v, read_value(trace.kind, 0));
                    push(*trace.series, v);
                }
            }
            return {};
        }

        // Unswept: name and value pairs in any order. The first listed trace
        // of a name gives its kind.
        std::unordered_map<std::string_view, const Listed*> by_name;
        for (const Listed& trace : listed) by_name.try_emplace(trace.name, &trace);
        while (!at_end()) {
            MORVA_ASSIGN(std::string_view name, expect_string());
            const AsciiTypeKind* kind = nullptr;
            AsciiSeries* series = nullptr;
            if (const auto it = by_name.find(name); it != by_name.end()) {
                kind = it->second->kind;
                series = it->second->series;
            }
            // Operating points name each entry's type: "out" "V" 1.0. A struct
            // entry whose first member is text keeps that reading.
            if (peek_is(TokKind::String) &&
                (number_at(pos_ + 1) ||
                 (pos_ + 1 < t_.toks.size() && t_.toks[pos_ + 1].kind == TokKind::LParen)) &&
                !(kind && kind->tag == Kind::Struct && reads_plainly(kind))) {
                kind = kind_of(t_.str(t_.toks[pos_++]));
            }
            MORVA_ASSIGN(ReadValue v, read_value(kind, 0));
            if (!series) series = &out.values.try_emplace(std::string(name)).first->second;
            push(*series, v);
        }
        return {};
    }

    struct Listed {
        std::string_view name;
        const AsciiTypeKind* kind;
        AsciiSeries* series;
    };

    const Tokens& t_;
    std::size_t pos_ = 0;
    bool strict_ = false;  // while reads_plainly tries the plain grammar
    std::unordered_map<std::string_view, const AsciiTypeKind*> kinds_;
    std::vector<Listed> listed_;
};

}  // namespace

// ---------------------------------------------------------------------------
// PsfAscii

Result<PsfAscii, PsfError> PsfAscii::from_str(std::string path, std::string_view text) {
    MORVA_ASSIGN(Tokens tokens, Tokenizer(text).run());
    PsfAscii file;
    MORVA_TRY(Parser(tokens).parse(file));
    file.path = std::move(path);
    return file;
}

std::optional<std::vector<double>> PsfAscii::waveform(std::string_view name) const {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second.real_parts();
}

std::string PsfAscii::describe() const {
    return fmt::cat("PSFASCII ", path, " (", signal_names().size(), " signals, ", sweep_values.size(),
                    " sweep points)\n");
}

}  // namespace morva::psf
