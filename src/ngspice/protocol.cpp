#include "ngspice/protocol.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>

#include "common/format.h"
#include "common/json_text.h"
#include "common/text.h"
#include "ngspice/decimal.h"

namespace morva::ngspice {

std::string JsonError::text() const {
    if (line == 0) return message;
    return fmt::cat(message, " at line ", line, " column ", column);
}

namespace {

// ---------------------------------------------------------------------------
// JSON writing: compact, keys in record order, strings escaped the usual way
// (json::append_string), non-ASCII text as raw UTF-8.

using json::append_string;

void append_string_array(std::string& out, const std::vector<std::string>& items) {
    out.push_back('[');
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out.push_back(',');
        append_string(out, items[i]);
    }
    out.push_back(']');
}

void append_key(std::string& out, const char* key, bool first = false) {
    if (!first) out.push_back(',');
    out.push_back('"');
    out.append(key);
    out.append("\":");
}

void append_bool(std::string& out, bool v) { out.append(v ? "true" : "false"); }

// ---------------------------------------------------------------------------
// JSON reading. A strict reader of RFC 8259 text that decodes straight into
// the protocol records and reports failures with their position, counted in
// bytes from the start of the line (line 1, column = bytes consumed on it).
//
// Errors built while the position is not yet known (type, length, missing
// and duplicate field errors) carry line 0 and receive the position of the
// reader at the point where the enclosing value gives up (`fix`).

using Status = Result<void, JsonError>;

constexpr int kMaxDepth = 128;

struct Field {
    const char* name;
    bool required;
};

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : s_(text) {}

    // Only whitespace may follow the value.
    Status end() {
        if (peek_ws() >= 0) return err(peek_error("trailing characters"));
        return {};
    }

    // ---- positions and errors ----

    JsonError error_at(std::size_t index, std::string message) const {
        std::size_t line = 1, column = 0;
        for (std::size_t k = 0; k < index && k < s_.size(); ++k) {
            if (s_[k] == '\n') {
                ++line;
                column = 0;
            } else {
                ++column;
            }
        }
        return JsonError{std::move(message), line, column};
    }
    JsonError error(std::string message) const { return error_at(i_, std::move(message)); }
    JsonError peek_error(std::string message) const {
        return error_at(std::min(i_ + 1, s_.size()), std::move(message));
    }
    JsonError fix(JsonError e) const { return e.line == 0 ? error(std::move(e.message)) : e; }

    static JsonError custom(std::string message) { return JsonError{std::move(message), 0, 0}; }
    static JsonError invalid_length(std::size_t len, std::string_view expected) {
        return custom(fmt::cat("invalid length ", len, ", expected ", expected));
    }

    // ---- lexical level ----

    int peek() const { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_]) : -1; }
    void eat() { ++i_; }
    int peek_ws() {
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
            ++i_;
        }
        return peek();
    }

    Status parse_ident(std::string_view rest) {
        for (const char expected : rest) {
            if (i_ >= s_.size()) return err(error("EOF while parsing a value"));
            const char c = s_[i_++];
            if (c != expected) return err(error("expected ident"));
        }
        return {};
    }

    Result<std::uint16_t, JsonError> hex4() {
        if (s_.size() - i_ < 4) {
            i_ = s_.size();
            return err(error("EOF while parsing a string"));
        }
        std::uint16_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_ + k];
            int d;
            if (c >= '0' && c <= '9') {
                d = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                d = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                d = c - 'A' + 10;
            } else {
                i_ += 4;
                return err(error("invalid escape"));
            }
            v = static_cast<std::uint16_t>(v * 16 + d);
        }
        i_ += 4;
        return v;
    }

    static void append_utf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        }
    }

    Status parse_unicode_escape(std::string& out) {
        MORVA_ASSIGN(const std::uint16_t first, hex4());
        if (first >= 0xdc00 && first <= 0xdfff) return err(error("lone leading surrogate in hex escape"));
        if (first < 0xd800 || first > 0xdbff) {
            append_utf8(out, first);
            return {};
        }
        if (peek() < 0) return err(error("EOF while parsing a string"));
        if (peek() != '\\') {
            eat();
            return err(error("unexpected end of hex escape"));
        }
        eat();
        if (peek() < 0) return err(error("EOF while parsing a string"));
        if (peek() != 'u') {
            eat();
            return err(error("unexpected end of hex escape"));
        }
        eat();
        MORVA_ASSIGN(const std::uint16_t second, hex4());
        if (second < 0xdc00 || second > 0xdfff) return err(error("lone leading surrogate in hex escape"));
        append_utf8(out, 0x10000 + ((std::uint32_t{first} - 0xd800) << 10) + (second - 0xdc00));
        return {};
    }

    // The body of a string whose opening quote has been eaten.
    Status parse_str(std::string& out) {
        out.clear();
        std::size_t start = i_;
        for (;;) {
            while (i_ < s_.size()) {
                const unsigned char c = static_cast<unsigned char>(s_[i_]);
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++i_;
            }
            if (i_ >= s_.size()) return err(error("EOF while parsing a string"));
            out.append(s_.substr(start, i_ - start));
            const char c = s_[i_++];
            if (c == '"') {
                if (!utf8_valid(out)) return err(error("invalid unicode code point"));
                return {};
            }
            if (c != '\\')
                return err(error("control character (\\u0000-\\u001F) found while parsing a string"));
            if (i_ >= s_.size()) return err(error("EOF while parsing a string"));
            switch (s_[i_++]) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': MORVA_TRY(parse_unicode_escape(out)); break;
                default: return err(error("invalid escape"));
            }
            start = i_;
        }
    }

    // A number: an unsigned integer, a negative integer, or a float. Integers
    // too large for 64 bits, and "-0", become floats.
    struct Number {
        enum class Kind { U64, I64, F64 } kind;
        std::uint64_t u = 0;
        std::int64_t i = 0;
        double f = 0;
    };

    Result<Number, JsonError> parse_number() {
        const std::size_t begin = i_;
        const bool negative = peek() == '-';
        if (negative) eat();
        if (i_ >= s_.size()) return err(error("EOF while parsing a value"));
        const char first = s_[i_++];
        if (first < '0' || first > '9') return err(error("invalid number"));
        bool overflow = false;
        std::uint64_t significand = static_cast<std::uint64_t>(first - '0');
        if (first == '0') {
            if (peek() >= '0' && peek() <= '9') return err(peek_error("invalid number"));
        } else {
            while (peek() >= '0' && peek() <= '9') {
                const unsigned d = static_cast<unsigned>(peek() - '0');
                if (significand > (std::numeric_limits<std::uint64_t>::max() - d) / 10) overflow = true;
                significand = significand * 10 + d;
                eat();
            }
        }
        bool is_float = overflow;
        if (peek() == '.') {
            eat();
            if (!(peek() >= '0' && peek() <= '9')) {
                return err(peek() < 0 ? peek_error("EOF while parsing a value")
                                      : peek_error("invalid number"));
            }
            while (peek() >= '0' && peek() <= '9') eat();
            is_float = true;
        }
        if (peek() == 'e' || peek() == 'E') {
            eat();
            if (peek() == '+' || peek() == '-') eat();
            if (i_ >= s_.size()) return err(error("EOF while parsing a value"));
            const char d = s_[i_++];
            if (d < '0' || d > '9') return err(error("invalid number"));
            while (peek() >= '0' && peek() <= '9') eat();
            is_float = true;
        }
        Number n{Number::Kind::U64};
        if (!is_float && !negative) {
            n.u = significand;
            return n;
        }
        if (!is_float && significand > 0 && significand <= std::uint64_t{1} << 63) {
            n.kind = Number::Kind::I64;
            n.i = static_cast<std::int64_t>(0 - significand);
            return n;
        }
        n.kind = Number::Kind::F64;
        n.f = parse_decimal(s_.substr(begin, i_ - begin)).value_or(0.0);
        if (std::isinf(n.f)) return err(error("number out of range"));
        return n;
    }

    // The "invalid type" error for the value ahead, consuming scalars as the
    // position convention requires.
    JsonError invalid_type(std::string_view expected) {
        const int c = peek_ws();
        std::string unexpected;
        switch (c) {
            case -1: return peek_error("EOF while parsing a value");
            case 'n': {
                eat();
                if (auto r = parse_ident("ull"); !r) return r.error();
                unexpected = "null";
                break;
            }
            case 't':
            case 'f': {
                eat();
                if (auto r = parse_ident(c == 't' ? "rue" : "alse"); !r) return r.error();
                unexpected = c == 't' ? "boolean `true`" : "boolean `false`";
                break;
            }
            case '"': {
                eat();
                std::string s;
                if (auto r = parse_str(s); !r) return r.error();
                unexpected = "string " + fmt::debug_str(s);
                break;
            }
            case '[': unexpected = "sequence"; break;
            case '{': unexpected = "map"; break;
            default: {
                if (c != '-' && (c < '0' || c > '9')) return peek_error("expected value");
                auto n = parse_number();
                if (!n) return n.error();
                switch (n->kind) {
                    case Number::Kind::U64: unexpected = fmt::cat("integer `", n->u, "`"); break;
                    case Number::Kind::I64: unexpected = fmt::cat("integer `", n->i, "`"); break;
                    case Number::Kind::F64: unexpected = "floating point `" + fmt::debug(n->f) + "`"; break;
                }
            }
        }
        return custom(fmt::cat("invalid type: ", unexpected, ", expected ", expected));
    }

    // ---- values ----

    Status read_string(std::string& out) {
        if (peek_ws() != '"') return err(fix(invalid_type("a string")));
        eat();
        return parse_str(out);
    }

    Status read_bool(bool& out) {
        const int c = peek_ws();
        if (c == 't' || c == 'f') {
            eat();
            MORVA_TRY(parse_ident(c == 't' ? "rue" : "alse"));
            out = c == 't';
            return {};
        }
        return err(fix(invalid_type("a boolean")));
    }

    Status read_u64(std::uint64_t& out) {
        const int c = peek_ws();
        if (c != '-' && (c < '0' || c > '9')) return err(fix(invalid_type("u64")));
        MORVA_ASSIGN(const Number n, parse_number());
        switch (n.kind) {
            case Number::Kind::U64: out = n.u; return {};
            case Number::Kind::I64:
                return err(fix(custom(fmt::cat("invalid value: integer `", n.i, "`, expected u64"))));
            case Number::Kind::F64:
                return err(
                    fix(custom("invalid type: floating point `" + fmt::debug(n.f) + "`, expected u64")));
        }
        return {};
    }

    // A float64, or null for a value that was not finite when written.
    Status read_f64_or_null(double& out) {
        const int c = peek_ws();
        if (c == 'n') {
            eat();
            MORVA_TRY(parse_ident("ull"));
            out = std::numeric_limits<double>::quiet_NaN();
            return {};
        }
        if (c != '-' && (c < '0' || c > '9')) return err(fix(invalid_type("f64")));
        MORVA_ASSIGN(const Number n, parse_number());
        switch (n.kind) {
            case Number::Kind::U64: out = static_cast<double>(n.u); break;
            case Number::Kind::I64: out = static_cast<double>(n.i); break;
            case Number::Kind::F64: out = n.f; break;
        }
        return {};
    }

    // Calls `element()` for each element of a JSON array; `min_len` elements
    // are required (fewer: "invalid length"), at most `max_len` are read.
    template <class Element>
    Status read_seq(std::string_view expected, std::size_t min_len, std::size_t max_len,
                    std::string_view length_expected, Element&& element) {
        if (peek_ws() != '[') return err(fix(invalid_type(expected)));
        if (--depth_ == 0) return err(peek_error("recursion limit exceeded"));
        eat();
        Status visited = visit_seq(min_len, max_len, length_expected, element);
        Status ended = end_seq();
        ++depth_;
        if (!visited) return err(fix(std::move(visited).error()));
        if (!ended) return err(fix(std::move(ended).error()));
        return {};
    }

    template <class Element>
    Status visit_seq(std::size_t min_len, std::size_t max_len, std::string_view length_expected,
                     Element& element) {
        bool first = true;
        for (std::size_t n = 0; n < max_len; ++n) {
            MORVA_ASSIGN(const bool more, has_next(first, ']'));
            if (!more) {
                if (n < min_len) return err(invalid_length(n, length_expected));
                return {};
            }
            MORVA_TRY(element(n));
        }
        return {};
    }

    // Before each element of a list (`close` ']') or member of an object
    // (`close` '}'): false at the closing bracket, true when a value or key
    // follows (the separating comma consumed).
    Result<bool, JsonError> has_next(bool& first, char close) {
        const bool list = close == ']';
        int c = peek_ws();
        if (c == close) return false;
        if (c == ',' && !first) {
            eat();
            c = peek_ws();
        } else if (c >= 0) {
            if (!first) return err(peek_error(list ? "expected `,` or `]`" : "expected `,` or `}`"));
            first = false;
        } else {
            return err(peek_error(list ? "EOF while parsing a list" : "EOF while parsing an object"));
        }
        if (c == close) return err(peek_error("trailing comma"));
        if (c < 0) return err(peek_error("EOF while parsing a value"));
        return true;
    }

    Status end_seq() {
        const int c = peek_ws();
        if (c == ']') {
            eat();
            return {};
        }
        if (c == ',') {
            eat();
            if (peek_ws() == ']') return err(peek_error("trailing comma"));
            return err(peek_error("trailing characters"));
        }
        if (c < 0) return err(peek_error("EOF while parsing a list"));
        return err(peek_error("trailing characters"));
    }

    Status read_string_list(std::vector<std::string>& out) {
        out.clear();
        constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();
        return read_seq("a sequence", 0, kUnbounded, "", [&](std::size_t) -> Status {
            out.emplace_back();
            return read_string(out.back());
        });
    }

    // A field whose null means "absent".
    template <class T, class Read>
    Status read_optional(std::optional<T>& out, Read&& read) {
        if (peek_ws() == 'n') {
            eat();
            MORVA_TRY(parse_ident("ull"));
            out.reset();
            return {};
        }
        out.emplace();
        return read(*out);
    }

    // A record given as an object (keys in any order, unknown keys skipped)
    // or as an array of its field values in order.
    template <class Visit>
    Status read_struct(std::string_view expected, std::string_view length_expected,
                       std::span<const Field> fields, std::size_t min_array_len, Visit&& visit) {
        const int c = peek_ws();
        if (c == '[') {
            return read_seq(expected, min_array_len, fields.size(), length_expected,
                            [&](std::size_t index) { return visit(index); });
        }
        if (c != '{') return err(fix(invalid_type(expected)));
        if (--depth_ == 0) return err(peek_error("recursion limit exceeded"));
        eat();
        Status visited = visit_map(fields, visit);
        Status ended = end_map();
        ++depth_;
        if (!visited) return err(fix(std::move(visited).error()));
        if (!ended) return err(fix(std::move(ended).error()));
        return {};
    }

    template <class Visit>
    Status visit_map(std::span<const Field> fields, Visit& visit) {
        std::vector<bool> seen(fields.size(), false);
        bool first = true;
        std::string key;
        for (;;) {
            MORVA_ASSIGN(const bool more, has_next(first, '}'));
            if (!more) break;
            if (peek_ws() != '"') return err(peek_error("key must be a string"));
            eat();
            MORVA_TRY(parse_str(key));
            std::size_t index = fields.size();
            for (std::size_t k = 0; k < fields.size(); ++k) {
                if (key == fields[k].name) index = k;
            }
            if (index < fields.size() && seen[index])
                return err(custom(fmt::cat("duplicate field `", key, "`")));
            const int colon = peek_ws();
            if (colon != ':') {
                return err(peek_error(colon < 0 ? "EOF while parsing an object" : "expected `:`"));
            }
            eat();
            if (index == fields.size()) {
                MORVA_TRY(ignore_value());
                continue;
            }
            seen[index] = true;
            MORVA_TRY(visit(index));
        }
        for (std::size_t k = 0; k < fields.size(); ++k) {
            if (fields[k].required && !seen[k])
                return err(custom(fmt::cat("missing field `", fields[k].name, "`")));
        }
        return {};
    }

    Status end_map() {
        const int c = peek_ws();
        if (c == '}') {
            eat();
            return {};
        }
        if (c == ',') return err(peek_error("trailing comma"));
        if (c < 0) return err(peek_error("EOF while parsing an object"));
        return err(peek_error("trailing characters"));
    }

    // Skips one value of any type. Iterative, so deep nesting cannot exhaust
    // the stack.
    Status ignore_value() {
        std::vector<char> open;  // the brackets still open, innermost last
        std::string scratch;
        for (;;) {
            // A value.
            const int c = peek_ws();
            switch (c) {
                case -1: return err(peek_error("EOF while parsing a value"));
                case 'n':
                    eat();
                    MORVA_TRY(parse_ident("ull"));
                    break;
                case 't':
                    eat();
                    MORVA_TRY(parse_ident("rue"));
                    break;
                case 'f':
                    eat();
                    MORVA_TRY(parse_ident("alse"));
                    break;
                case '"':
                    eat();
                    MORVA_TRY(parse_str(scratch));
                    break;
                case '[':
                case '{': {
                    eat();
                    open.push_back(static_cast<char>(c));
                    const int next = peek_ws();
                    if ((c == '[' && next == ']') || (c == '{' && next == '}')) {
                        eat();
                        open.pop_back();
                        break;
                    }
                    if (c == '{') MORVA_TRY(ignore_key());
                    continue;
                }
                default:
                    if (c != '-' && (c < '0' || c > '9')) return err(peek_error("expected value"));
                    MORVA_TRY(parse_number());
            }
            // After a value: close what ends here, or go on after a comma.
            for (;;) {
                if (open.empty()) return {};
                const char frame = open.back();
                const int next = peek_ws();
                if (next == ',') {
                    eat();
                    if (frame == '{') MORVA_TRY(ignore_key());
                    break;
                }
                if ((frame == '[' && next == ']') || (frame == '{' && next == '}')) {
                    eat();
                    open.pop_back();
                    continue;
                }
                if (next < 0) {
                    return err(peek_error(frame == '[' ? "EOF while parsing a list"
                                                       : "EOF while parsing an object"));
                }
                return err(peek_error(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`"));
            }
        }
    }

    Status ignore_key() {
        const int c = peek_ws();
        if (c < 0) return err(peek_error("EOF while parsing an object"));
        if (c != '"') return err(peek_error("key must be a string"));
        eat();
        std::string key;
        MORVA_TRY(parse_str(key));
        const int colon = peek_ws();
        if (colon != ':') return err(peek_error(colon < 0 ? "EOF while parsing an object" : "expected `:`"));
        eat();
        return {};
    }

private:
    std::string_view s_;
    std::size_t i_ = 0;
    int depth_ = kMaxDepth;
};

constexpr Field kRequestFields[] = {
    {"id", true}, {"netlist", true}, {"commands", true}, {"pre_commands", false}, {"return_vectors", false}};
constexpr Field kHeaderFields[] = {{"id", true},     {"success", true},   {"vecs", true},   {"log", true},
                                   {"error", false}, {"measures", false}, {"timing", false}};
constexpr Field kVecMetaFields[] = {{"name", true}, {"len", true}, {"is_scale", true}, {"is_complex", false}};
constexpr Field kTimingFields[] = {{"parse_ns", false},   {"precmd_ns", false},  {"circ_ns", false},
                                   {"cmd_ns", false},     {"harvest_ns", false}, {"write_ns", false},
                                   {"destroy_ns", false}, {"fs_write_ns", false}};

template <class Timing>
auto* timing_field(Timing& t, std::size_t index) {
    decltype(&t.parse_ns) const fields[] = {&t.parse_ns,   &t.precmd_ns, &t.circ_ns,    &t.cmd_ns,
                                            &t.harvest_ns, &t.write_ns,  &t.destroy_ns, &t.fs_write_ns};
    return fields[index];
}

Status read_timing(JsonReader& r, WireTiming& t) {
    t = WireTiming{};
    return r.read_struct("struct WireTiming", "struct WireTiming", kTimingFields, 0,
                         [&](std::size_t index) { return r.read_u64(*timing_field(t, index)); });
}

Status read_vec_meta(JsonReader& r, WireVecMeta& v) {
    return r.read_struct("struct WireVecMeta", "struct WireVecMeta with 4 elements", kVecMetaFields, 3,
                         [&](std::size_t index) -> Status {
                             switch (index) {
                                 case 0: return r.read_string(v.name);
                                 case 1: return r.read_u64(v.len);
                                 case 2: return r.read_bool(v.is_scale);
                                 default: return r.read_bool(v.is_complex);
                             }
                         });
}

Status read_measure(JsonReader& r, Measure& m) {
    return r.read_seq("a tuple of size 2", 2, 2, "a tuple of size 2", [&](std::size_t index) -> Status {
        if (index == 0) return r.read_string(m.first);
        return r.read_f64_or_null(m.second);
    });
}

Status read_measures(JsonReader& r, std::vector<Measure>& out) {
    out.clear();
    constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();
    return r.read_seq("a sequence", 0, kUnbounded, "", [&](std::size_t) -> Status {
        out.emplace_back();
        return read_measure(r, out.back());
    });
}

Status read_vec_metas(JsonReader& r, std::vector<WireVecMeta>& out) {
    out.clear();
    constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();
    return r.read_seq("a sequence", 0, kUnbounded, "", [&](std::size_t) -> Status {
        out.emplace_back();
        return read_vec_meta(r, out.back());
    });
}

// ---------------------------------------------------------------------------
// Frames.

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

std::uint64_t byteswap64(std::uint64_t v) {
    std::uint64_t out = 0;
    for (int k = 0; k < 8; ++k) out = (out << 8) | ((v >> (8 * k)) & 0xff);
    return out;
}

// The float64 values as little-endian bytes, written in bounded pieces.
Result<void, IoError> write_doubles(ByteSink& out, const double* values, std::size_t count) {
    if constexpr (kLittleEndian) {
        return out.write(std::string_view(reinterpret_cast<const char*>(values), count * sizeof(double)));
    } else {
        std::string buf;
        for (std::size_t k = 0; k < count; ++k) {
            std::uint64_t bits;
            std::memcpy(&bits, &values[k], 8);
            bits = byteswap64(bits);
            buf.append(reinterpret_cast<const char*>(&bits), 8);
            if (buf.size() >= 65536) {
                MORVA_TRY(out.write(buf));
                buf.clear();
            }
        }
        return out.write(buf);
    }
}

void doubles_from_le(double* values, std::size_t count) {
    if constexpr (!kLittleEndian) {
        for (std::size_t k = 0; k < count; ++k) {
            std::uint64_t bits;
            std::memcpy(&bits, &values[k], 8);
            bits = byteswap64(bits);
            std::memcpy(&values[k], &bits, 8);
        }
    } else {
        (void)values;
        (void)count;
    }
}

IoError early_eof() { return IoError::from_message("early eof"); }

Result<void, IoError> read_exact(ByteSource& in, char* dst, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        MORVA_ASSIGN(const std::size_t k, in.read_some(dst + got, n - got));
        if (k == 0) return err(early_eof());
        got += k;
    }
    return {};
}

// Reads `count` elements of T into `out`, growing it as data arrives so that
// a length word alone never decides how much memory is taken.
template <class T>
Result<void, IoError> read_elements(ByteSource& in, std::size_t count, std::vector<T>& out) {
    constexpr std::size_t kFirstChunk = 64 * 1024 / sizeof(T);
    const std::size_t total = count * sizeof(T);  // checked by the caller
    out.clear();
    std::size_t got = 0;
    while (got < total) {
        if (got == out.size() * sizeof(T)) {
            out.resize(std::min(count, std::max(out.size() * 2, kFirstChunk)));
        }
        char* base = reinterpret_cast<char*>(out.data());
        MORVA_ASSIGN(const std::size_t k, in.read_some(base + got, out.size() * sizeof(T) - got));
        if (k == 0) return err(early_eof());
        got += k;
    }
    return {};
}

NgspiceError read_failed(const char* what, const IoError& e) {
    return NgspiceError::worker_crashed(fmt::cat("stdout read (", what, ") failed: ", e.text()));
}

}  // namespace

// ---------------------------------------------------------------------------

std::optional<std::string> request_text_problem(const SimulationRequest& request) {
    const auto problem = [](const std::string& text, const std::string& field) -> std::optional<std::string> {
        const std::size_t nul = text.find('\0');
        if (nul == std::string::npos) return std::nullopt;
        // Characters, not bytes: the position a caller can index its text with.
        const auto position =
            std::count_if(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul),
                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
        return fmt::cat(field, " must not contain NUL characters, found one at position ", position);
    };
    if (auto p = problem(request.netlist, "netlist")) return p;
    for (std::size_t i = 0; i < request.commands.size(); ++i) {
        if (auto p = problem(request.commands[i], fmt::cat("commands[", i, "]"))) return p;
    }
    for (std::size_t i = 0; i < request.pre_commands.size(); ++i) {
        if (auto p = problem(request.pre_commands[i], fmt::cat("pre_commands[", i, "]"))) return p;
    }
    return std::nullopt;
}

Result<std::string, NgspiceError> encode_request(const SimulationRequest& request) {
    const auto check = [](const std::string& text, const char* field) -> Result<void, NgspiceError> {
        if (utf8_valid(text)) return {};
        return err(NgspiceError::serialization(fmt::cat("request field `", field, "` is not valid UTF-8")));
    };
    const auto check_all = [&](const std::vector<std::string>& texts,
                               const char* field) -> Result<void, NgspiceError> {
        for (const auto& t : texts) MORVA_TRY(check(t, field));
        return {};
    };
    MORVA_TRY(check(request.id, "id"));
    MORVA_TRY(check(request.netlist, "netlist"));
    MORVA_TRY(check_all(request.commands, "commands"));
    MORVA_TRY(check_all(request.pre_commands, "pre_commands"));
    if (request.return_vectors) MORVA_TRY(check_all(*request.return_vectors, "return_vectors"));

    std::string out;
    out.reserve(std::max<std::size_t>(128, request.netlist.size() + 64));
    out.push_back('{');
    append_key(out, "id", true);
    append_string(out, request.id);
    append_key(out, "netlist");
    append_string(out, request.netlist);
    append_key(out, "commands");
    append_string_array(out, request.commands);
    if (!request.pre_commands.empty()) {
        append_key(out, "pre_commands");
        append_string_array(out, request.pre_commands);
    }
    if (request.return_vectors) {
        append_key(out, "return_vectors");
        append_string_array(out, *request.return_vectors);
    }
    out.append("}\n");
    return out;
}

Result<SimulationRequest, JsonError> decode_request(std::string_view text) {
    JsonReader r(text);
    SimulationRequest req;
    Status s = r.read_struct("struct SimulationRequest", "struct SimulationRequest with 5 elements",
                             kRequestFields, 5, [&](std::size_t index) -> Status {
                                 switch (index) {
                                     case 0: return r.read_string(req.id);
                                     case 1: return r.read_string(req.netlist);
                                     case 2: return r.read_string_list(req.commands);
                                     case 3: return r.read_string_list(req.pre_commands);
                                     default:
                                         return r.read_optional(req.return_vectors, [&](auto& v) {
                                             return r.read_string_list(v);
                                         });
                                 }
                             });
    if (!s) return err(std::move(s).error());
    MORVA_TRY(r.end());
    return req;
}

std::string encode_header(const WireHeader& h) {
    std::string out;
    out.reserve(128);
    out.push_back('{');
    append_key(out, "id", true);
    append_string(out, h.id);
    append_key(out, "success");
    append_bool(out, h.success);
    append_key(out, "vecs");
    out.push_back('[');
    for (std::size_t i = 0; i < h.vecs.size(); ++i) {
        const WireVecMeta& v = h.vecs[i];
        if (i) out.push_back(',');
        out.push_back('{');
        append_key(out, "name", true);
        append_string(out, v.name);
        append_key(out, "len");
        out.append(std::to_string(v.len));
        append_key(out, "is_scale");
        append_bool(out, v.is_scale);
        append_key(out, "is_complex");
        append_bool(out, v.is_complex);
        out.push_back('}');
    }
    out.push_back(']');
    append_key(out, "log");
    append_string_array(out, h.log);
    if (h.error) {
        append_key(out, "error");
        append_string(out, *h.error);
    }
    append_key(out, "measures");
    out.push_back('[');
    for (std::size_t i = 0; i < h.measures.size(); ++i) {
        if (i) out.push_back(',');
        out.push_back('[');
        append_string(out, h.measures[i].first);
        out.push_back(',');
        const double v = h.measures[i].second;
        // Shortest round-trip digits; JSON has no form for NaN or infinities.
        out.append(std::isfinite(v) ? fmt::debug(v) : "null");
        out.push_back(']');
    }
    out.push_back(']');
    append_key(out, "timing");
    out.push_back('{');
    for (std::size_t k = 0; k < std::size(kTimingFields); ++k) {
        append_key(out, kTimingFields[k].name, k == 0);
        out.append(std::to_string(*timing_field(h.timing, k)));
    }
    out.append("}}");
    return out;
}

Result<WireHeader, JsonError> decode_header(std::string_view text) {
    JsonReader r(text);
    WireHeader h;
    Status s =
        r.read_struct("struct WireHeader", "struct WireHeader with 7 elements", kHeaderFields, 5,
                      [&](std::size_t index) -> Status {
                          switch (index) {
                              case 0: return r.read_string(h.id);
                              case 1: return r.read_bool(h.success);
                              case 2: return read_vec_metas(r, h.vecs);
                              case 3: return r.read_string_list(h.log);
                              case 4:
                                  return r.read_optional(h.error, [&](auto& v) { return r.read_string(v); });
                              case 5: return read_measures(r, h.measures);
                              default: return read_timing(r, h.timing);
                          }
                      });
    if (!s) return err(std::move(s).error());
    MORVA_TRY(r.end());
    return h;
}

// ---------------------------------------------------------------------------

Result<void, IoError> BufferedFdWriter::write(std::string_view data) {
    if (buffer_.size() + data.size() > kCapacity && !buffer_.empty()) {
        MORVA_TRY(write_all(fd_, buffer_));
        buffer_.clear();
    }
    if (data.size() >= kCapacity) return write_all(fd_, data);
    buffer_.append(data);
    return {};
}

Result<void, IoError> BufferedFdWriter::flush() {
    if (buffer_.empty()) return {};
    auto r = write_all(fd_, buffer_);
    buffer_.clear();
    return r;
}

Result<void, IoError> write_wire_response(ByteSink& out, const std::string& id, bool success,
                                          const std::vector<VectorData>& vectors,
                                          std::vector<std::string> log, std::optional<std::string> error,
                                          std::vector<Measure> measures, WireTiming timing) {
    WireHeader header{id, success, {}, std::move(log), std::move(error), std::move(measures), timing};
    header.vecs.reserve(vectors.size());
    for (const VectorData& v : vectors) {
        header.vecs.push_back({v.name, v.real.size(), v.is_scale, v.complex.has_value()});
    }
    std::string json = encode_header(header);
    if (json.size() > kMaxHeaderLen) {
        // Only a runaway log can make a header this large; the reader would
        // refuse it, so the log gives way and says so.
        header.log = {fmt::cat("[log of ", header.log.size(), " lines dropped: response header too large]")};
        json = encode_header(header);
        if (json.size() > kMaxHeaderLen) {
            header.measures.clear();
            json = encode_header(header);
        }
    }
    const std::uint32_t n = static_cast<std::uint32_t>(json.size());
    const char len_word[4] = {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                              static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
    MORVA_TRY(out.write(std::string_view(len_word, 4)));
    MORVA_TRY(out.write(json));
    for (const VectorData& v : vectors) {
        if (v.complex) {
            MORVA_TRY(write_doubles(out, reinterpret_cast<const double*>(v.complex->data()),
                                    2 * v.complex->size()));
        } else {
            MORVA_TRY(write_doubles(out, v.real.data(), v.real.size()));
        }
    }
    return out.flush();
}

Result<SimulationResponse, NgspiceError> read_binary_response(ByteSource& in) {
    unsigned char len_word[4];
    if (auto r = read_exact(in, reinterpret_cast<char*>(len_word), 4); !r)
        return err(read_failed("header len", r.error()));
    const std::uint32_t n = std::uint32_t{len_word[0]} | (std::uint32_t{len_word[1]} << 8) |
                            (std::uint32_t{len_word[2]} << 16) | (std::uint32_t{len_word[3]} << 24);
    if (n > kMaxHeaderLen) {
        return err(read_failed(
            "header", IoError::from_message(
                          fmt::cat("header length ", n, " exceeds the limit of ", kMaxHeaderLen, " bytes"))));
    }
    std::vector<char> header_bytes;
    if (auto r = read_elements(in, n, header_bytes); !r) return err(read_failed("header", r.error()));
    auto header = decode_header(std::string_view(header_bytes.data(), header_bytes.size()));
    if (!header) return err(NgspiceError::serialization(header.error().text()));
    std::vector<char>().swap(header_bytes);

    WireHeader& h = *header;
    SimulationResponse resp;
    resp.vectors.reserve(std::min<std::size_t>(h.vecs.size(), 4096));
    for (WireVecMeta& meta : h.vecs) {
        VectorData v;
        v.name = std::move(meta.name);
        v.is_scale = meta.is_scale;
        const char* what = meta.is_complex ? "complex vec" : "vec data";
        const std::size_t elem = meta.is_complex ? 16 : 8;
        if (meta.len > std::numeric_limits<std::size_t>::max() / elem) {
            return err(read_failed(
                what, IoError::from_message(fmt::cat("vector length ", meta.len, " is too large"))));
        }
        const std::size_t len = static_cast<std::size_t>(meta.len);
        try {
            if (meta.is_complex) {
                std::vector<std::complex<double>> pairs;
                if (auto r = read_elements(in, len, pairs); !r) return err(read_failed(what, r.error()));
                doubles_from_le(reinterpret_cast<double*>(pairs.data()), 2 * len);
                v.real.resize(len);
                for (std::size_t k = 0; k < len; ++k) v.real[k] = pairs[k].real();
                v.complex = std::move(pairs);
            } else {
                if (auto r = read_elements(in, len, v.real); !r) return err(read_failed(what, r.error()));
                doubles_from_le(v.real.data(), len);
            }
        } catch (const std::bad_alloc&) {
            return err(
                NgspiceError::out_of_memory(fmt::cat("vector '", v.name, "' of the reply (", len, " values, ",
                                                     len * elem, " bytes) does not fit in memory")));
        }
        resp.vectors.push_back(std::move(v));
    }
    resp.id = std::move(h.id);
    resp.success = h.success;
    resp.log = std::move(h.log);
    resp.error = std::move(h.error);
    resp.measures = std::move(h.measures);
    resp.timing = h.timing;
    return resp;
}

}  // namespace morva::ngspice
