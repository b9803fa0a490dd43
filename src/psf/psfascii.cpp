#include "psf/psfascii.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <limits>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "common/format.h"
#include "common/text.h"
#include "psf/types.h"

namespace morva::psf {

// ---------------------------------------------------------------------------
// Values

void AsciiSeries::push_number(double v) {
    re_.push_back(v);
    if (complex_) im_.push_back(0.0);
    kinds_.push_back(static_cast<std::uint8_t>(AsciiValue::Kind::Number));
}

void AsciiSeries::push_complex(double re, double im) {
    if (!complex_) mark_complex();
    re_.push_back(re);
    im_.push_back(im);
    kinds_.push_back(static_cast<std::uint8_t>(AsciiValue::Kind::Complex));
}

void AsciiSeries::push_text(std::string text) {
    texts_.emplace_back(re_.size(), std::move(text));
    re_.push_back(std::numeric_limits<double>::quiet_NaN());
    if (complex_) im_.push_back(0.0);
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

void AsciiSeries::mark_complex() {
    if (im_.empty()) im_.assign(re_.size(), 0.0);
    complex_ = true;
}

// ---------------------------------------------------------------------------
// Tokenizer

namespace {

enum class TokKind : std::uint8_t { Word, String, Int, Real, LParen, RParen, Star };

struct Tok {
    TokKind kind;
    std::uint32_t line;  // 1-based
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
    std::uint32_t last_line = 1;        // the line of the last token

    std::string_view str(const Tok& t) const { return strs[t.s]; }

    // A token as the file shows it, for messages.
    std::string shown(const Tok& t) const {
        switch (t.kind) {
            case TokKind::Word: return std::string(str(t));
            case TokKind::String: return fmt::debug_str(str(t));
            case TokKind::Int: return fmt::cat(t.i);
            case TokKind::Real: return fmt::debug(t.r);
            case TokKind::LParen: return "(";
            case TokKind::RParen: return ")";
            case TokKind::Star: return "*";
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
                case '\n': next_line(); [[fallthrough]];
                case ' ':
                case '\t':
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
                case '"': MORVA_TRY(quoted()); continue;
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
        // Where the text ends, as an editor shows it: the last line with a token.
        out_.last_line = out_.toks.empty() ? line_ : out_.toks.back().line;
        return std::move(out_);
    }

private:
    void next_line() {
        if (line_ < std::numeric_limits<std::uint32_t>::max()) ++line_;
    }

    Err<PsfError> unexpected(unsigned char c) const {
        return err(fail(fmt::cat("unexpected character ", char_debug(c), " at line ", line_)));
    }

    void skip_line() {
        const std::size_t nl = s_.find('\n', i_);
        i_ = nl == std::string_view::npos ? s_.size() : nl;
    }

    Tok& push_tok(TokKind kind) {
        Tok& t = out_.toks.emplace_back();
        t.kind = kind;
        t.line = line_;
        t.i = 0;
        return t;
    }

    void push_simple(TokKind kind) {
        push_tok(kind);
        ++i_;
    }

    void push_text(TokKind kind, std::string_view text, std::uint32_t line) {
        Tok& t = push_tok(kind);
        t.line = line;
        t.s = out_.strs.size();
        out_.strs.push_back(text);
    }

    // A string runs to its closing quote; a file that ends inside one was cut.
    Result<void, PsfError> quoted() {
        const std::uint32_t line = line_;
        const std::size_t start = ++i_;
        std::size_t j = start;
        while (j < s_.size() && s_[j] != '"' && s_[j] != '\\') {
            if (s_[j] == '\n') next_line();
            ++j;
        }
        if (j < s_.size() && s_[j] == '"') {
            // No escapes: the token views the text itself.
            push_text(TokKind::String, s_.substr(start, j - start), line);
            i_ = j + 1;
            return {};
        }
        std::string text(s_.substr(start, j - start));
        while (j < s_.size() && s_[j] != '"') {
            if (s_[j] == '\\' && j + 1 < s_.size()) {
                const char next = s_[j + 1];
                if (next == '\n') next_line();
                text.push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next);
                j += 2;
            } else {
                if (s_[j] == '\n') next_line();
                text.push_back(s_[j++]);
            }
        }
        if (j >= s_.size())
            return err(fail(fmt::cat("the file ends inside the string that starts at line ", line,
                                     ": it is incomplete (cut short or still being written)")));
        i_ = j + 1;
        push_text(TokKind::String, out_.unescaped.emplace_back(std::move(text)), line);
        return {};
    }

    void word() {
        const std::size_t start = i_;
        while (i_ < s_.size() && is_word_char(s_[i_])) ++i_;
        push_text(TokKind::Word, s_.substr(start, i_ - start), line_);
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
                    push_tok(TokKind::Real).r = s_[start] == '-' ? -*v : *v;
                    return {};
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
                push_tok(TokKind::Int).i = v;
                return {};
            }
        }
        const auto value = parse_float(text);
        if (!value) return err(fail(fmt::cat("bad number ", text, " at line ", line_)));
        push_tok(TokKind::Real).r = *value;
        return {};
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::uint32_t line_ = 1;
    Tokens out_;
};

// ---------------------------------------------------------------------------
// Parser

using Kind = AsciiTypeKind::Tag;

// Where one signal's values go: one series per leaf (a struct has one per
// member, nested structs flattened), in member order.
struct Sink {
    std::string_view name;  // as the VALUE section writes it
    const AsciiTypeKind* kind = nullptr;
    std::vector<AsciiSeries*> leaves;
};

// One TRACE entry of a swept VALUE section: a trace, or a group whose
// members' values follow its name.
struct Entry {
    std::string_view name;
    bool group = false;
    std::vector<Sink> members;  // a trace: itself
};

class Parser {
public:
    Parser(const Tokens& tokens, PsfAscii& out) : t_(tokens), out_(out) {}

    Result<void, PsfError> parse() {
        PsfAscii& out = out_;
        if (!peek_word("HEADER")) return err(fail(fmt::cat("expected keyword HEADER, got ", shown_at(pos_))));
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
        MORVA_TRY(list_traces());
        if (take_word("VALUE")) MORVA_TRY(parse_values());
        // A file still being written, or cut short, lacks its closing END.
        if (!take_word("END")) {
            if (!peek())
                return err(fail(fmt::cat("the file ends at line ", t_.last_line,
                                         " without its closing END: it is incomplete (cut short or "
                                         "still being written)")));
            return err(fail(fmt::cat("expected END, got ", shown_at(pos_))));
        }
        // Text values are no waveform.
        std::erase_if(out.names, [&](const std::string& name) { return out.values.at(name).has_text(); });
        return {};
    }

private:
    const Tok* peek() const { return pos_ < t_.toks.size() ? &t_.toks[pos_] : nullptr; }
    bool is_at(std::size_t index, TokKind kind) const {
        return index < t_.toks.size() && t_.toks[index].kind == kind;
    }
    bool peek_is(TokKind kind) const { return is_at(pos_, kind); }
    bool peek_word(std::string_view word) const {
        return peek_is(TokKind::Word) && t_.str(t_.toks[pos_]) == word;
    }
    bool take_word(std::string_view word) {
        if (!peek_word(word)) return false;
        ++pos_;
        return true;
    }
    std::uint32_t line_of(std::size_t index) const {
        return index < t_.toks.size() ? t_.toks[index].line : t_.last_line;
    }
    // A token as the file shows it and its line: `STRING at line 4`,
    // `end of file at line 9`.
    std::string shown_at(std::size_t index) const {
        return fmt::cat(index < t_.toks.size() ? t_.shown(t_.toks[index]) : std::string("end of file"),
                        " at line ", line_of(index));
    }

    Result<std::string_view, PsfError> expect_string() {
        if (!peek_is(TokKind::String))
            return err(fail(fmt::cat("expected a quoted name, got ", shown_at(pos_))));
        return t_.str(t_.toks[pos_++]);
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
            if (!value)
                return err(fail(fmt::cat("expected a header property value, got ", shown_at(pos_ + 1))));
            pos_ += 2;
            header.push_back({std::move(name), std::move(*value)});
        }
        return {};
    }

    Result<std::vector<Property>, PsfError> parse_prop_block() {
        std::vector<Property> props;
        if (!take_word("PROP")) return props;
        if (!peek_is(TokKind::LParen))
            return err(fail(fmt::cat("expected ( after PROP, got ", shown_at(pos_))));
        ++pos_;
        for (;;) {
            if (peek_is(TokKind::RParen)) {
                ++pos_;
                return props;
            }
            if (!peek_is(TokKind::String))
                return err(
                    fail(fmt::cat("expected a property name or ) in PROP block, got ", shown_at(pos_))));
            std::string name(t_.str(t_.toks[pos_]));
            auto value = property_value(pos_ + 1);
            if (!value) return err(fail(fmt::cat("expected a property value, got ", shown_at(pos_ + 1))));
            pos_ += 2;
            props.push_back({std::move(name), std::move(*value)});
        }
    }

    // FLOAT and COMPLEX come in DOUBLE and SINGLE; values read as float64.
    Result<void, PsfError> expect_precision(std::string_view kind) {
        if (!peek_word("DOUBLE") && !peek_word("SINGLE"))
            return err(fail(fmt::cat("expected DOUBLE or SINGLE after ", kind, ", got ", shown_at(pos_))));
        ++pos_;
        return {};
    }

    Result<AsciiTypeDef, PsfError> parse_typedef(int depth) {
        AsciiTypeDef def;
        MORVA_ASSIGN(std::string_view name, expect_string());
        def.name = std::string(name);
        const std::size_t at = pos_++;
        const std::string_view word = is_at(at, TokKind::Word) ? t_.str(t_.toks[at]) : std::string_view();
        if (word == "FLOAT") {
            MORVA_TRY(expect_precision(word));
            def.kind.tag = Kind::Float;
        } else if (word == "COMPLEX") {
            MORVA_TRY(expect_precision(word));
            def.kind.tag = Kind::Complex;
        } else if (word == "INT") {
            // INT BYTE, INT LONG and the like: the width does not matter here.
            if (!peek_is(TokKind::Word))
                return err(fail(fmt::cat("expected BYTE or LONG after INT, got ", shown_at(pos_))));
            ++pos_;
            def.kind.tag = Kind::Int;
        } else if (word == "STRING") {
            if (peek_is(TokKind::Star)) ++pos_;  // STRING *: any length
            def.kind.tag = Kind::String;
        } else if (word == "STRUCT") {
            if (!peek_is(TokKind::LParen))
                return err(fail(fmt::cat("expected ( after STRUCT, got ", shown_at(pos_))));
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
                    return err(
                        fail(fmt::cat("expected a member name or ) in STRUCT body, got ", shown_at(pos_))));
                }
            }
        } else {
            return err(fail(fmt::cat("unexpected type keyword ", shown_at(at), " in TYPE section")));
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
            if (t->i < 0) return err(fail(fmt::cat("negative GROUP member count ", shown_at(at))));
            return static_cast<std::uint64_t>(t->i);
        }
        if (t && t->kind == TokKind::Real && std::isfinite(t->r) && std::trunc(t->r) == t->r) {
            if (t->r < 0) return err(fail(fmt::cat("negative GROUP member count ", shown_at(at))));
            return t->r >= 0x1p64 ? std::numeric_limits<std::uint64_t>::max()
                                  : static_cast<std::uint64_t>(t->r);
        }
        return err(fail(fmt::cat("expected a member count after GROUP, got ", shown_at(at))));
    }

    // ---- signals and their series

    const AsciiTypeKind* kind_of(std::string_view type_name) const {
        const auto it = kinds_.find(type_name);
        return it == kinds_.end() ? nullptr : it->second;
    }

    // The series of a signal of `kind` named `name`, one per leaf, and their
    // names when `leaf_names` is given: a struct's members are signals named
    // "name.member", listed under the struct's name.
    void add_leaves(const std::string& name, const AsciiTypeKind* kind, std::vector<AsciiSeries*>& leaves,
                    std::vector<std::string>* leaf_names) {
        if (kind && kind->tag == Kind::Struct) {
            std::vector<std::string> members;
            for (const AsciiTypeDef& member : kind->members)
                add_leaves(fmt::cat(name, ".", member.name), &member.kind, leaves, &members);
            if (leaf_names) leaf_names->insert(leaf_names->end(), members.begin(), members.end());
            out_.structs.insert_or_assign(name, std::move(members));
            return;
        }
        // Struct traces multiply their members: a file may not list more
        // signals than it has tokens (each needs a value), bar a margin for
        // traces without values.
        if (++leaf_count_ > t_.toks.size() + kSpareLeaves) {
            too_many_ = true;
            return;
        }
        const auto [it, fresh] = out_.values.try_emplace(name);
        if (kind && kind->tag == Kind::Complex) it->second.mark_complex();
        leaves.push_back(&it->second);
        if (leaf_names) leaf_names->push_back(name);
        if (named_.insert(it->first).second) out_.names.push_back(name);
    }

    Sink make_sink(std::string_view name, const AsciiTypeKind* kind) {
        Sink sink;
        sink.name = name;
        sink.kind = kind;
        add_leaves(std::string(name), kind, sink.leaves, nullptr);
        return sink;
    }

    Result<void, PsfError> check_leaf_count() const {
        if (!too_many_) return {};
        return err(fail(fmt::cat("struct members make more signals than the file has values (over ",
                                 t_.toks.size() + kSpareLeaves, ")")));
    }

    // The traces in TRACE order, each with its kind and its series.
    Result<void, PsfError> list_traces() {
        for (const AsciiTypeDef& def : out_.types) kinds_.try_emplace(def.name, &def.kind);
        for (const AsciiTraceNode& node : out_.traces) {
            Entry entry;
            if (const auto* ref = std::get_if<AsciiSignalRef>(&node)) {
                entry.name = ref->name;
                entry.members.push_back(make_sink(ref->name, kind_of(ref->type_name)));
            } else {
                const auto& group = std::get<AsciiTraceGroup>(node);
                entry.name = group.name;
                entry.group = true;
                for (const AsciiSignalRef& m : group.members)
                    entry.members.push_back(make_sink(m.name, kind_of(m.type_name)));
            }
            entries_.push_back(std::move(entry));
            MORVA_TRY(check_leaf_count());
        }
        return {};
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
        if (strict_ && is_at(index, TokKind::Word)) return std::nullopt;
        return number_at(index);
    }

    Result<double, PsfError> read_number() {
        const auto v = value_number_at(pos_);
        if (!v) return err(fail(fmt::cat("expected a number, got ", shown_at(pos_))));
        ++pos_;
        return *v;
    }

    static AsciiSeries* leaf_at(Sink* sink, std::size_t& leaf) {
        AsciiSeries* series = sink && leaf < sink->leaves.size() ? sink->leaves[leaf] : nullptr;
        ++leaf;
        return series;
    }

    Result<void, PsfError> read_complex(Sink* sink, std::size_t& leaf) {
        MORVA_ASSIGN(double re, read_number());
        MORVA_ASSIGN(double im, read_number());
        if (AsciiSeries* s = leaf_at(sink, leaf)) s->push_complex(re, im);
        return {};
    }

    // One value of a type kind (null: no known type) into the sink's leaves
    // from `leaf` on; no sink: read and dropped.
    Result<void, PsfError> read_into(const AsciiTypeKind* kind, Sink* sink, std::size_t& leaf, int depth) {
        if (depth >= kMaxStructDepth) return err(fail(kStructTooDeep));
        if (!strict_ && peek_is(TokKind::LParen)) return read_parenthesised(kind, sink, leaf, depth);
        if (kind && kind->tag == Kind::Complex) return read_complex(sink, leaf);
        if (kind && kind->tag == Kind::Struct) {
            for (const AsciiTypeDef& member : kind->members)
                MORVA_TRY(read_into(&member.kind, sink, leaf, depth + 1));
            return {};
        }
        if (peek_is(TokKind::String)) {
            const std::string_view text = t_.str(t_.toks[pos_++]);
            if (AsciiSeries* s = leaf_at(sink, leaf)) s->push_text(std::string(text));
            return {};
        }
        const auto number = value_number_at(pos_);
        if (!number) return err(fail(fmt::cat("expected a value, got ", shown_at(pos_))));
        ++pos_;
        if (AsciiSeries* s = leaf_at(sink, leaf)) s->push_number(*number);
        return {};
    }

    // Simulators write complex values as "(re im)" and struct values as a
    // parenthesised member list, optionally followed by a PROP block. A value
    // of no known type keeps its first item.
    Result<void, PsfError> read_parenthesised(const AsciiTypeKind* kind, Sink* sink, std::size_t& leaf,
                                              int depth) {
        const std::size_t open = pos_++;
        if (kind && kind->tag == Kind::Complex) {
            MORVA_TRY(read_complex(sink, leaf));
        } else if (kind && kind->tag == Kind::Struct) {
            for (std::size_t m = 0; m < kind->members.size(); ++m) {
                if (peek_is(TokKind::RParen))
                    return err(
                        fail(fmt::cat("struct value opened at line ", line_of(open), " ends after ", m,
                                      " of its ", kind->members.size(), " members at line ", line_of(pos_))));
                MORVA_TRY(read_into(&kind->members[m].kind, sink, leaf, depth + 1));
            }
        } else {
            std::size_t dropped = 0;
            if (peek_is(TokKind::RParen)) {
                if (AsciiSeries* s = leaf_at(sink, leaf))
                    s->push_number(std::numeric_limits<double>::quiet_NaN());
            } else {
                MORVA_TRY(read_into(kind, sink, leaf, depth + 1));
            }
            while (peek() && !peek_is(TokKind::RParen))
                MORVA_TRY(read_into(nullptr, nullptr, dropped, depth + 1));
        }
        if (!peek_is(TokKind::RParen))
            return err(fail(fmt::cat("expected ) closing the value opened at line ", line_of(open), ", got ",
                                     shown_at(pos_))));
        ++pos_;
        MORVA_TRY(parse_prop_block());
        return {};
    }

    // One entry's value and the PROP block that may follow it.
    Result<void, PsfError> read_entry(Sink& sink) {
        std::size_t leaf = 0;
        MORVA_TRY(read_into(sink.kind, &sink, leaf, 0));
        MORVA_TRY(parse_prop_block());
        return {};
    }

    // Whether a value of `kind` reads here by the plain grammar (no
    // parenthesised values, no non-finite words) and is followed by the next
    // entry's name or the end of the section. Reads nothing.
    bool reads_plainly(const AsciiTypeKind* kind) {
        const std::size_t start = pos_;
        strict_ = true;
        std::size_t leaf = 0;
        const bool read = read_into(kind, nullptr, leaf, 0).ok() && parse_prop_block().ok();
        strict_ = false;
        const bool fits = read && (!peek() || peek_word("END") || peek_is(TokKind::String));
        pos_ = start;
        return fits;
    }

    bool at_end() const { return !peek() || peek_word("END"); }

    Result<void, PsfError> parse_values() {
        if (!out_.sweeps.empty()) return parse_swept_values();

        // Unswept: name and value pairs in any order. A listed trace of the
        // name gives its kind, unless the entry names its own type, as
        // operating points do: "out" "V" 1.0.
        std::unordered_map<std::string_view, Entry*> by_name;
        for (Entry& entry : entries_) by_name.try_emplace(entry.name, &entry);
        while (!at_end()) {
            MORVA_ASSIGN(std::string_view name, expect_string());
            Entry* entry = nullptr;
            if (const auto it = by_name.find(name); it != by_name.end()) entry = it->second;
            const AsciiTypeKind* kind = entry && !entry->group ? entry->members.front().kind : nullptr;
            // A type name before text must be one the TYPE section defines.
            const bool typed = peek_is(TokKind::String) &&
                               (number_at(pos_ + 1) || is_at(pos_ + 1, TokKind::LParen) ||
                                (is_at(pos_ + 1, TokKind::String) && kinds_.count(t_.str(*peek())))) &&
                               !(kind && kind->tag == Kind::Struct && reads_plainly(kind));
            if (typed) {
                kind = kind_of(t_.str(t_.toks[pos_++]));
            } else if (entry && entry->group) {
                for (Sink& member : entry->members) MORVA_TRY(read_entry(member));
                continue;
            }
            Sink* sink = nullptr;
            if (entry && !entry->group && entry->members.front().kind == kind) {
                sink = &entry->members.front();
            } else {
                auto [it, fresh] = unlisted_.try_emplace(std::string(name));
                if (fresh || it->second.kind != kind) it->second = make_sink(it->first, kind);
                MORVA_TRY(check_leaf_count());
                sink = &it->second;
            }
            MORVA_TRY(read_entry(*sink));
        }
        return {};
    }

    Result<void, PsfError> parse_swept_values() {
        // Only the first sweep variable gives the axis.
        const AsciiSignalRef& sweep = out_.sweeps.front();
        const AsciiTypeKind* sweep_kind = kind_of(sweep.type_name);
        Sink axis;  // the sweep value's leaf: read and dropped, then kept below
        while (!at_end()) {
            const std::size_t at = pos_;
            MORVA_ASSIGN(std::string_view marker, expect_string());
            if (marker != sweep.name)
                return err(fail(
                    fmt::cat("expected sweep marker ", fmt::debug_str(sweep.name), ", got ", shown_at(at))));
            double x = 0.0;
            if (sweep_kind && sweep_kind->tag == Kind::Complex) {
                AsciiSeries value;
                value.mark_complex();
                axis.leaves = {&value};
                std::size_t leaf = 0;
                MORVA_TRY(read_into(sweep_kind, &axis, leaf, 0));
                x = value.size() ? value.re().front() : 0.0;
            } else {
                MORVA_ASSIGN(x, read_number());
            }
            MORVA_TRY(parse_prop_block());
            out_.sweep_values.push_back(x);
            for (Entry& entry : entries_) {
                if (at_end())
                    return err(fail(fmt::cat("VALUE section truncated at trace ", fmt::debug_str(entry.name),
                                             ": got ", shown_at(pos_))));
                const std::size_t name_at = pos_;
                MORVA_ASSIGN(std::string_view name, expect_string());
                if (name == entry.name) {
                    // A group's members follow its name.
                    for (Sink& member : entry.members) MORVA_TRY(read_entry(member));
                    continue;
                }
                if (!entry.group || entry.members.empty() || name != entry.members.front().name)
                    return err(fail(fmt::cat("expected trace ", fmt::debug_str(entry.name), ", got ",
                                             shown_at(name_at))));
                // A group written member by member, each under its own name.
                for (std::size_t m = 0; m < entry.members.size(); ++m) {
                    if (m > 0) {
                        const std::size_t member_at = pos_;
                        MORVA_ASSIGN(std::string_view member, expect_string());
                        if (member != entry.members[m].name)
                            return err(fail(fmt::cat("expected trace ", fmt::debug_str(entry.members[m].name),
                                                     ", got ", shown_at(member_at))));
                    }
                    MORVA_TRY(read_entry(entry.members[m]));
                }
            }
        }
        return {};
    }

    const Tokens& t_;
    PsfAscii& out_;
    std::size_t pos_ = 0;
    bool strict_ = false;  // while reads_plainly tries the plain grammar
    std::unordered_map<std::string_view, const AsciiTypeKind*> kinds_;
    std::vector<Entry> entries_;
    std::map<std::string, Sink, std::less<>> unlisted_;  // VALUE names no trace lists
    std::unordered_set<std::string_view> named_;         // keys of out_.values already in out_.names
    static constexpr std::size_t kSpareLeaves = 1 << 16;
    std::size_t leaf_count_ = 0;
    bool too_many_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// PsfAscii

Result<PsfAscii, PsfError> PsfAscii::from_str(std::string path, std::string_view text) {
    MORVA_ASSIGN(Tokens tokens, Tokenizer(text).run());
    PsfAscii file;
    MORVA_TRY(Parser(tokens, file).parse());
    file.path = std::move(path);
    return file;
}

std::vector<std::string_view> PsfAscii::signal_names() const {
    return std::vector<std::string_view>(names.begin(), names.end());
}

std::optional<AsciiWave> PsfAscii::waveform(std::string_view name) const {
    const auto it = values.find(name);
    if (it == values.end() || it->second.has_text()) return std::nullopt;
    AsciiWave wave;
    wave.re = it->second.re();
    wave.complex = it->second.is_complex();
    if (wave.complex) wave.im = it->second.im();
    return wave;
}

const std::vector<std::string>* PsfAscii::struct_members(std::string_view name) const {
    const auto it = structs.find(name);
    return it == structs.end() ? nullptr : &it->second;
}

std::string PsfAscii::describe() const {
    return fmt::cat("PSFASCII ", path, " (", signal_names().size(), " signals, ", sweep_values.size(),
                    " sweep points)\n");
}

}  // namespace morva::psf
