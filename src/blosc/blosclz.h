// Decoder of BloscLZ streams, the LZ77 codec inside Blosc1 frames.
#pragma once

#include <cstdint>
#include <span>

#include "blosc/error.h"
#include "common/result.h"

namespace morva::blosc::blosclz {

// Decodes one BloscLZ stream into the start of `output`, whose length is the
// capacity. Returns the number of bytes written. Every read and write is
// checked against the two views; a malformed stream is a `BloscError`.
// Bytes of `output` past the returned count may have been overwritten.
Result<std::uint64_t, BloscError> decompress(std::span<const std::uint8_t> input,
                                             std::span<std::uint8_t> output);

}  // namespace morva::blosc::blosclz
