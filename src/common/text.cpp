#include "common/text.h"

#include <cstdint>
#include <cstring>

namespace morva {
namespace {

// Length of the valid UTF-8 sequence starting at `i`, or 0 when the bytes there
// are not a valid sequence. `*valid_prefix` receives how many bytes of an
// invalid or incomplete sequence were still a valid start (the "maximal
// subpart"), at least 1; `*cut` is set when the input ended inside a sequence
// that was valid so far.
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t* valid_prefix,
                            bool* cut = nullptr) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    *valid_prefix = 1;
    if (c < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        need = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        need = 3;
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        need = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < need; ++k) {
        if (i + k >= s.size()) {
            if (cut) *cut = true;
            return 0;
        }
        const unsigned char b = byte(i + k);
        const unsigned char l = k == 1 ? lo : 0x80;
        const unsigned char h = k == 1 ? hi : 0xbf;
        if (b < l || b > h) return 0;
        *valid_prefix = k + 1;
    }
    return need;
}

}  // namespace

// Length of the leading run of ASCII bytes, eight bytes at a time.
static std::size_t ascii_prefix(std::string_view bytes) {
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        if (word & 0x8080808080808080ULL) break;
    }
    while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
    return i;
}

std::string utf8_lossy(std::string&& bytes) {
    const std::size_t ascii = ascii_prefix(bytes);
    if (ascii == bytes.size() || utf8_valid(std::string_view(bytes).substr(ascii))) return std::move(bytes);
    return utf8_lossy(std::string_view(bytes));
}

std::string utf8_lossy(std::string_view bytes) {
    const std::size_t ascii = ascii_prefix(bytes);
    std::string out;
    out.reserve(bytes.size());
    out.append(bytes.substr(0, ascii));
    std::size_t i = ascii;
    while (i < bytes.size()) {
        std::size_t prefix = 0;
        const std::size_t n = sequence_length(bytes, i, &prefix);
        if (n > 0) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            out.append("\xEF\xBF\xBD");
            i += prefix;
        }
    }
    return out;
}

bool utf8_valid(std::string_view bytes, bool allow_cut_tail) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t prefix = 0;
        bool cut = false;
        const std::size_t n = sequence_length(bytes, i, &prefix, &cut);
        if (n == 0) return allow_cut_tail && cut;
        i += n;
    }
    return true;
}

std::optional<std::string> utf8_error_text(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        i += ascii_prefix(bytes.substr(i));
        if (i >= bytes.size()) break;
        std::size_t prefix = 0;
        bool cut = false;
        const std::size_t n = sequence_length(bytes, i, &prefix, &cut);
        if (n == 0) {
            if (cut) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
            return "invalid utf-8 sequence of " + std::to_string(prefix) + " bytes from index " +
                   std::to_string(i);
        }
        i += n;
    }
    return std::nullopt;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool ascii_istarts_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && ascii_iequals(text.substr(0, prefix.size()), prefix);
}

std::string os_error_text(int code) {
    char buf[256];
    // The GNU strerror_r may return a static string instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* text = strerror_r(code, buf, sizeof buf);
#else
    const char* text = strerror_r(code, buf, sizeof buf) == 0 ? buf : "Unknown error";
#endif
    std::string out(text);
    out.append(" (os error ");
    out.append(std::to_string(code));
    out.push_back(')');
    return out;
}

std::size_t non_ascii_whitespace_at(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0xc2) return 0;
    if (c == 0xc2 && i + 1 < s.size()) return b(i + 1) == 0x85 || b(i + 1) == 0xa0 ? 2 : 0;
    if (i + 2 >= s.size()) return 0;
    const unsigned char c1 = b(i + 1), c2 = b(i + 2);
    if (c == 0xe1) return c1 == 0x9a && c2 == 0x80 ? 3 : 0;  // U+1680
    if (c == 0xe3) return c1 == 0x80 && c2 == 0x80 ? 3 : 0;  // U+3000
    if (c != 0xe2) return 0;
    if (c1 == 0x80)  // U+2000..U+200A, U+2028, U+2029, U+202F
        return (c2 >= 0x80 && c2 <= 0x8a) || c2 == 0xa8 || c2 == 0xa9 || c2 == 0xaf ? 3 : 0;
    return c1 == 0x81 && c2 == 0x9f ? 3 : 0;  // U+205F
}

std::size_t whitespace_before(std::string_view s, std::size_t end) {
    if (end == 0) return 0;
    if (static_cast<unsigned char>(s[end - 1]) < 0x80) return whitespace_at(s, end - 1);
    for (std::size_t n = 2; n <= 3 && n <= end; ++n)
        if (whitespace_at(s, end - n) == n) return n;
    return 0;
}

std::string_view trim_start_whitespace(std::string_view s) {
    std::size_t i = 0;
    while (std::size_t n = whitespace_at(s, i)) i += n;
    return s.substr(i);
}

std::string_view trim_end_whitespace(std::string_view s) {
    std::size_t end = s.size();
    while (std::size_t n = whitespace_before(s, end)) end -= n;
    return s.substr(0, end);
}

std::string_view trim_whitespace(std::string_view s) { return trim_end_whitespace(trim_start_whitespace(s)); }

std::string_view first_word(std::string_view s, std::string_view* rest) {
    std::size_t i = 0;
    while (std::size_t n = whitespace_at(s, i)) i += n;
    const std::size_t start = i;
    while (i < s.size() && whitespace_at(s, i) == 0) ++i;
    if (rest) *rest = s.substr(i);
    return s.substr(start, i - start);
}

std::vector<std::string_view> split_whitespace(std::string_view s) {
    std::vector<std::string_view> words;
    for (;;) {
        std::string_view word = first_word(s, &s);
        if (word.empty()) return words;
        words.push_back(word);
    }
}

}  // namespace morva
