// A bounded big-endian read position over the bytes of a binary PSF file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "psf/error.h"

namespace morva::psf {

// Chunk codes: the words that open each item of a binary PSF file.
namespace chunk {
inline constexpr std::uint32_t kEntry = 16;      // type definition, sweep variable or trace
inline constexpr std::uint32_t kGroup = 17;      // trace group
inline constexpr std::uint32_t kStructEnd = 18;  // end of a struct's member list
inline constexpr std::uint32_t kContainer = 21;  // section container
inline constexpr std::uint32_t kIndex = 22;      // index sub-container
inline constexpr std::uint32_t kPropString = 33;
inline constexpr std::uint32_t kPropInt = 34;
inline constexpr std::uint32_t kPropDouble = 35;
// Follows a trace in PSFXL metadata: where its samples lie in the companion
// file, their count and their ranges (u64 offset, u64 count, then x min, x max,
// y min, y max as doubles).
inline constexpr std::uint32_t kTraceRecord = 36;
inline constexpr std::uint64_t kTraceRecordBytes = 52;
}  // namespace chunk

// Every read is checked against the end of the bytes; the position may lie
// beyond the end (a section offset read from the file), and then every read
// fails with `Truncated` and nothing is touched.
class Cursor {
public:
    Cursor(std::string_view bytes, std::uint64_t pos) : bytes_(bytes), pos_(pos) {}

    std::uint64_t pos() const { return pos_; }
    std::uint64_t remaining() const { return pos_ < bytes_.size() ? bytes_.size() - pos_ : 0; }

    // The next word without consuming it, when 4 bytes remain.
    std::optional<std::uint32_t> peek_u32() const;

    Result<std::uint32_t, PsfError> read_u32();
    Result<std::int32_t, PsfError> read_i32();
    Result<std::uint64_t, PsfError> read_u64();
    Result<double, PsfError> read_f64();
    // Steps over `n` bytes, all of which must be there.
    Result<void, PsfError> skip(std::uint64_t n);
    // A length-prefixed, 4-byte padded string, decoded as lossy UTF-8.
    Result<std::string, PsfError> read_string();

private:
    // `Truncated` for a read of `n` bytes at the cursor.
    PsfError short_read(std::uint64_t n) const;
    std::uint64_t load_be(unsigned n) const;

    std::string_view bytes_;
    std::uint64_t pos_;
};

// The big-endian word at `offset` (the caller has checked the bounds).
std::uint32_t be32_at(std::string_view bytes, std::uint64_t offset);

}  // namespace morva::psf
