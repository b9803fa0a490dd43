// A strict reader of RFC 8259 JSON text that decodes straight into the
// caller's records and reports failures with their position, counted in
// bytes from the start of the line (line 1, column = bytes consumed on it).
//
// Errors built while the position is not yet known (type, length, missing
// and duplicate field errors) carry line 0 and receive the position of the
// reader at the point where the enclosing value gives up (`fix`).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/format.h"
#include "common/result.h"

namespace morva::json {

// A JSON decoding failure. `line` is 0 when no position is known.
struct JsonError {
    std::string message;
    std::size_t line = 0;
    std::size_t column = 0;

    // "{message} at line {line} column {column}", or the message alone.
    std::string text() const;
};

// One member of a record read by `JsonReader::read_struct`.
struct Field {
    const char* name;
    bool required;
};

class JsonReader {
public:
    using Status = Result<void, JsonError>;

    explicit JsonReader(std::string_view text) : s_(text) {}

    // Only whitespace may follow the value.
    Status end();

    JsonError error(std::string message) const { return error_at(i_, std::move(message)); }
    Status read_string(std::string& out);
    Status read_bool(bool& out);
    Status read_u64(std::uint64_t& out);

    // A float64, or null for a value that was not finite when written.
    Status read_f64_or_null(double& out);

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

    // An array of any length, each element read into `out` by `read_one(T&)`.
    template <class T, class ReadOne>
    Status read_list(std::vector<T>& out, ReadOne&& read_one) {
        out.clear();
        return read_seq("a sequence", 0, std::numeric_limits<std::size_t>::max(), "",
                        [&](std::size_t) -> Status {
                            out.emplace_back();
                            return read_one(out.back());
                        });
    }
    Status read_string_list(std::vector<std::string>& out);

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

private:
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

    JsonError error_at(std::size_t index, std::string message) const;

    JsonError peek_error(std::string message) const {
        return error_at(std::min(i_ + 1, s_.size()), std::move(message));
    }

    JsonError fix(JsonError e) const { return e.line == 0 ? error(std::move(e.message)) : e; }
    static JsonError custom(std::string message) { return JsonError{std::move(message), 0, 0}; }

    static JsonError invalid_length(std::size_t len, std::string_view expected) {
        return custom(fmt::cat("invalid length ", len, ", expected ", expected));
    }

    int peek() const { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_]) : -1; }
    void eat() { ++i_; }
    int peek_ws();
    Status parse_ident(std::string_view rest);
    Result<std::uint16_t, JsonError> hex4();
    static void append_utf8(std::string& out, std::uint32_t cp);
    Status parse_unicode_escape(std::string& out);

    // The body of a string whose opening quote has been eaten.
    Status parse_str(std::string& out);

    // A number: an unsigned integer, a negative integer, or a float. Integers
    // too large for 64 bits, and "-0", become floats.
    struct Number {
        enum class Kind { U64, I64, F64 } kind;
        std::uint64_t u = 0;
        std::int64_t i = 0;
        double f = 0;
    };

    Result<Number, JsonError> parse_number();

    // The "invalid type" error for the value ahead, consuming scalars as the
    // position convention requires.
    JsonError invalid_type(std::string_view expected);

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
    Result<bool, JsonError> has_next(bool& first, char close);

    Status end_seq();
    Status end_map();

    // Skips one value of any type. Iterative, so deep nesting cannot exhaust
    // the stack.
    Status ignore_value();

    Status ignore_key();

    // Arrays and objects nested deeper are refused.
    static constexpr int kMaxDepth = 128;

    std::string_view s_;
    std::size_t i_ = 0;
    int depth_ = kMaxDepth;
};

}  // namespace morva::json
