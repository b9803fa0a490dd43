#include "common/json_reader.h"

#include <cmath>
#include <limits>

#include "common/decimal.h"
#include "common/text.h"

namespace morva::json {

using Status = JsonReader::Status;

std::string JsonError::text() const {
    if (line == 0) return message;
    return fmt::cat(message, " at line ", line, " column ", column);
}

Status JsonReader::end() {
    if (peek_ws() >= 0) return err(peek_error("trailing characters"));
    return {};
}

JsonError JsonReader::error_at(std::size_t index, std::string message) const {
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

int JsonReader::peek_ws() {
    while (i_ < s_.size()) {
        const char c = s_[i_];
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
        ++i_;
    }
    return peek();
}

Status JsonReader::parse_ident(std::string_view rest) {
    for (const char expected : rest) {
        if (i_ >= s_.size()) return err(error("EOF while parsing a value"));
        const char c = s_[i_++];
        if (c != expected) return err(error("expected ident"));
    }
    return {};
}

Result<std::uint16_t, JsonError> JsonReader::hex4() {
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

void JsonReader::append_utf8(std::string& out, std::uint32_t cp) {
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

Status JsonReader::parse_unicode_escape(std::string& out) {
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

Status JsonReader::parse_str(std::string& out) {
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
        if (c != '\\') return err(error("control character (\\u0000-\\u001F) found while parsing a string"));
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

Result<JsonReader::Number, JsonError> JsonReader::parse_number() {
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
            return err(peek() < 0 ? peek_error("EOF while parsing a value") : peek_error("invalid number"));
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

JsonError JsonReader::invalid_type(std::string_view expected) {
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

Status JsonReader::read_string(std::string& out) {
    if (peek_ws() != '"') return err(fix(invalid_type("a string")));
    eat();
    return parse_str(out);
}

Status JsonReader::read_bool(bool& out) {
    const int c = peek_ws();
    if (c == 't' || c == 'f') {
        eat();
        MORVA_TRY(parse_ident(c == 't' ? "rue" : "alse"));
        out = c == 't';
        return {};
    }
    return err(fix(invalid_type("a boolean")));
}

Status JsonReader::read_u64(std::uint64_t& out) {
    const int c = peek_ws();
    if (c != '-' && (c < '0' || c > '9')) return err(fix(invalid_type("u64")));
    MORVA_ASSIGN(const Number n, parse_number());
    switch (n.kind) {
        case Number::Kind::U64: out = n.u; return {};
        case Number::Kind::I64:
            return err(fix(custom(fmt::cat("invalid value: integer `", n.i, "`, expected u64"))));
        case Number::Kind::F64:
            return err(fix(custom("invalid type: floating point `" + fmt::debug(n.f) + "`, expected u64")));
    }
    return {};
}

Status JsonReader::read_f64_or_null(double& out) {
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

Result<bool, JsonError> JsonReader::has_next(bool& first, char close) {
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

Status JsonReader::end_seq() {
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

Status JsonReader::read_string_list(std::vector<std::string>& out) {
    return read_list(out, [this](std::string& s) { return read_string(s); });
}

Status JsonReader::end_map() {
    const int c = peek_ws();
    if (c == '}') {
        eat();
        return {};
    }
    if (c == ',') return err(peek_error("trailing comma"));
    if (c < 0) return err(peek_error("EOF while parsing an object"));
    return err(peek_error("trailing characters"));
}

Status JsonReader::ignore_value() {
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
                return err(
                    peek_error(frame == '[' ? "EOF while parsing a list" : "EOF while parsing an object"));
            }
            return err(peek_error(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`"));
        }
    }
}

Status JsonReader::ignore_key() {
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

}  // namespace morva::json
