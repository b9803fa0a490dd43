#include "psf/reader.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/text.h"

namespace morva::psf {

std::uint32_t be32_at(std::string_view bytes, std::uint64_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

PsfError Cursor::short_read(std::uint64_t n) const { return PsfError::truncated(pos_, n, remaining()); }

std::uint64_t Cursor::load_be(unsigned n) const {
    std::uint64_t v = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data() + pos_);
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

std::optional<std::uint32_t> Cursor::peek_u32() const {
    if (remaining() < 4) return std::nullopt;
    return be32_at(bytes_, pos_);
}

Result<std::uint32_t, PsfError> Cursor::read_u32() {
    if (remaining() < 4) return err(short_read(4));
    const auto v = static_cast<std::uint32_t>(load_be(4));
    pos_ += 4;
    return v;
}

Result<std::int32_t, PsfError> Cursor::read_i32() {
    MORVA_ASSIGN(std::uint32_t v, read_u32());
    return static_cast<std::int32_t>(v);
}

Result<std::uint64_t, PsfError> Cursor::read_u64() {
    if (remaining() < 8) return err(short_read(8));
    const std::uint64_t v = load_be(8);
    pos_ += 8;
    return v;
}

Result<double, PsfError> Cursor::read_f64() {
    MORVA_ASSIGN(std::uint64_t v, read_u64());
    return std::bit_cast<double>(v);
}

Result<void, PsfError> Cursor::skip(std::uint64_t n) {
    if (remaining() < n) return err(short_read(n));
    pos_ += n;
    return {};
}

Result<std::string, PsfError> Cursor::read_string() {
    MORVA_ASSIGN(std::uint32_t len, read_u32());
    if (remaining() < len) return err(short_read(len));
    const std::string_view raw = bytes_.substr(pos_, len);
    // Names are almost always ASCII, which needs no decoding.
    const bool ascii = std::all_of(raw.begin(), raw.end(), [](char c) { return (c & 0x80) == 0; });
    std::string text = ascii ? std::string(raw) : utf8_lossy(raw);
    pos_ += len;
    const std::uint64_t pad = (4 - len % 4) % 4;
    if (pad > 0) {
        if (remaining() < pad) return err(short_read(pad));
        pos_ += pad;
    }
    return text;
}

}  // namespace morva::psf
