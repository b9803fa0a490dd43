// Text helpers shared by every subsystem: lossy UTF-8 decoding, ASCII case
// folding, Unicode whitespace and operating-system error texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morva {

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with
// U+FFFD (the replacement rule of Unicode's "maximal subpart" practice).
std::string utf8_lossy(std::string_view bytes);
// The same, reusing the buffer when the bytes are already valid (the common
// case: ASCII and valid UTF-8 pass through without a copy).
std::string utf8_lossy(std::string&& bytes);
inline std::string utf8_lossy(const char* bytes) { return utf8_lossy(std::string_view(bytes)); }

// True when `bytes` is valid UTF-8 throughout. With `allow_cut_tail`, the text
// may also end inside a multi-byte sequence that is valid so far (a buffer cut
// from a longer text).
bool utf8_valid(std::string_view bytes, bool allow_cut_tail = false);

// The first invalid UTF-8 sequence, described: "invalid utf-8 sequence of
// {n} bytes from index {i}", n being the length of the maximal invalid
// subpart there (the longest start of a sequence that is still valid, at
// least one byte), or "incomplete utf-8 byte sequence from index {i}" (the
// text ends inside a sequence valid so far); nothing when `bytes` is valid.
std::optional<std::string> utf8_error_text(std::string_view bytes);

std::string ascii_lower(std::string_view text);
bool ascii_iequals(std::string_view a, std::string_view b);
bool ascii_istarts_with(std::string_view text, std::string_view prefix);

// ---- Unicode whitespace ----
// The characters of the Unicode White_Space property: U+0009 to U+000D,
// U+0020, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F,
// U+205F and U+3000. Matched on their UTF-8 bytes: invalid or incomplete
// sequences, and stray bytes, are never whitespace.

std::size_t non_ascii_whitespace_at(std::string_view s, std::size_t i);

// Byte length of the whitespace character that starts at `i` in `s`, or 0
// when none starts there (or `i` is past the end).
inline std::size_t whitespace_at(std::string_view s, std::size_t i) {
    if (i >= s.size()) return 0;
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0d) ? 1 : 0;
    return non_ascii_whitespace_at(s, i);
}
// Byte length of the whitespace character that ends just before `end`, or 0.
std::size_t whitespace_before(std::string_view s, std::size_t end);

std::string_view trim_start_whitespace(std::string_view s);
std::string_view trim_end_whitespace(std::string_view s);
std::string_view trim_whitespace(std::string_view s);
// The whitespace-separated words of `s`.
std::vector<std::string_view> split_whitespace(std::string_view s);
// The first whitespace-separated word of `s` (empty when none), and the rest
// after it (untrimmed) in `*rest` when given.
std::string_view first_word(std::string_view s, std::string_view* rest = nullptr);

// "{description} (os error {code})", as the platform describes `code`.
std::string os_error_text(int code);

}  // namespace morva
