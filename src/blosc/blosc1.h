// Decoder of Blosc1 frames holding float64 samples, as c-blosc 1.x writes
// them with the BloscLZ codec.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "blosc/error.h"
#include "common/result.h"

namespace morva::blosc::blosc1 {

// Header flag bits.
inline constexpr std::uint8_t kByteShuffle = 0x01;
inline constexpr std::uint8_t kMemcpyed = 0x02;
inline constexpr std::uint8_t kBitShuffle = 0x04;
inline constexpr std::uint8_t kDontSplit = 0x10;

// Decodes one frame (its bytes from the frame start) into its nbytes / 8
// little-endian float64 values. Byte-shuffled and bit-shuffled frames are
// unshuffled as c-blosc 1.x does; streams of a compressor other than BloscLZ
// are refused. Every malformation is a `BloscError`; nothing is read
// outside `frame`, and the output size is bounded by what the frame's length
// can encode before anything is allocated.
Result<std::vector<double>, BloscError> decompress_f64(std::span<const std::uint8_t> frame);

}  // namespace morva::blosc::blosc1
