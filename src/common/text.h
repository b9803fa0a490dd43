// Text helpers shared by every subsystem: lossy UTF-8 decoding, ASCII case
// folding and operating-system error texts.
#pragma once

#include <string>
#include <string_view>

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

std::string ascii_lower(std::string_view text);
bool ascii_iequals(std::string_view a, std::string_view b);
bool ascii_istarts_with(std::string_view text, std::string_view prefix);

// "{description} (os error {code})", as the platform describes `code`.
std::string os_error_text(int code);

}  // namespace morva
