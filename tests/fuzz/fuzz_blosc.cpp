// libFuzzer target: Blosc1 frames and raw BloscLZ streams.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "blosc/blosc1.h"
#include "blosc/blosclz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    (void)morva::blosc::blosc1::decompress_f64(input);
    // The first byte picks an output capacity for the bare stream decoder.
    if (size > 0) {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(data[0]) * 64);
        (void)morva::blosc::blosclz::decompress(input.subspan(1), out);
    }
    return 0;
}
