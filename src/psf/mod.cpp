#include "psf/mod.h"

#include "common/format.h"
#include "common/io.h"
#include "common/text.h"

namespace morva::psf {
namespace {

// Decodes one code point at `i`; returns its length, or 0 for an invalid or
// incomplete sequence. `*bad_len` receives the length of the invalid part (0
// when the text ends inside a sequence that was valid so far).
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t* cp, std::size_t* bad_len) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2, *cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3, *cp = c & 0x0f;
        lo = c == 0xe0 ? 0xa0 : 0x80;
        hi = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4, *cp = c & 0x07;
        lo = c == 0xf0 ? 0x90 : 0x80;
        hi = c == 0xf4 ? 0x8f : 0xbf;
    } else {
        *bad_len = 1;
        return 0;
    }
    for (std::size_t k = 1; k < n; ++k) {
        if (i + k >= s.size()) {
            *bad_len = 0;
            return 0;
        }
        const unsigned char x = b(i + k);
        if (x < (k == 1 ? lo : 0x80) || x > (k == 1 ? hi : 0xbf)) {
            *bad_len = k;
            return 0;
        }
        *cp = (*cp << 6) | (x & 0x3f);
    }
    return n;
}

// The first invalid UTF-8 sequence, described as "invalid utf-8 sequence of
// {n} bytes from index {i}" or "incomplete utf-8 byte sequence from index {i}";
// empty when the text is valid.
std::string utf8_error(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        // Plain ASCII runs dominate result files.
        while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
        if (i >= s.size()) break;
        char32_t cp = 0;
        std::size_t bad = 0;
        const std::size_t n = decode_utf8(s, i, &cp, &bad);
        if (n == 0) {
            if (bad == 0) return fmt::cat("incomplete utf-8 byte sequence from index ", i);
            return fmt::cat("invalid utf-8 sequence of ", bad, " bytes from index ", i);
        }
        i += n;
    }
    return {};
}

}  // namespace

bool looks_like_psfascii(std::string_view bytes) {
    const bool cut = bytes.size() > 64;
    const std::string_view head = bytes.substr(0, 64);
    if (!utf8_valid(head, cut)) return false;
    return trim_start_whitespace(head).starts_with("HEADER");
}

Result<PsfReader, PsfError> PsfReader::open(const std::string& path) {
    auto bytes = read_file(path);
    if (!bytes) return err(PsfError::from_io(std::move(bytes).error()));
    return from_bytes(path, std::move(bytes).value());
}

Result<PsfReader, PsfError> PsfReader::from_bytes(std::string path, std::string bytes) {
    if (looks_like_psfascii(bytes)) {
        if (std::string e = utf8_error(bytes); !e.empty())
            return err(PsfError::other("PSFASCII is not valid UTF-8: " + e));
        MORVA_ASSIGN(PsfAscii ascii, PsfAscii::from_str(std::move(path), bytes));
        return PsfReader{std::move(ascii)};
    }
    MORVA_ASSIGN(PsfFile binary, PsfFile::from_bytes(std::move(path), std::move(bytes)));
    return PsfReader{std::move(binary)};
}

const std::string& PsfReader::path() const {
    return std::visit([](const auto& f) -> const std::string& { return f.path; }, file);
}

std::uint32_t PsfReader::signature() const { return binary() ? binary()->signature : kAsciiSignature; }

const std::vector<Property>& PsfReader::header() const {
    return std::visit([](const auto& f) -> const std::vector<Property>& { return f.header; }, file);
}

std::vector<std::string_view> PsfReader::signal_names() const {
    return std::visit([](const auto& f) { return f.signal_names(); }, file);
}

std::vector<std::string_view> PsfReader::sweep_variables() const {
    std::vector<std::string_view> names;
    std::visit(
        [&](const auto& f) {
            for (const auto& s : f.sweeps) names.push_back(s.name);
        },
        file);
    return names;
}

TraceStructure PsfReader::trace_structure() const {
    return std::visit([](const auto& f) { return f.trace_structure(); }, file);
}

std::string PsfReader::describe() const {
    return std::visit([](const auto& f) { return f.describe(); }, file);
}

std::string PsfReader::repr() const {
    return fmt::cat("PsfFile(path=", fmt::debug_str(path()), ", signature=0x", fmt::hex(signature()),
                    ", signals=", signal_names().size(), ")");
}

}  // namespace morva::psf
