#include "blosc/blosclz.h"

#include <cstring>

#include "common/format.h"

namespace morva::blosc::blosclz {
namespace {

using fmt::cat;

// The far form of a match adds a 16-bit distance to this base.
constexpr std::uint64_t kFarDistanceBase = 8191;

// Copies `len` bytes to `op` from `dist` bytes behind it, with the result of a
// forward byte-by-byte copy (a source overlapping the destination repeats the
// most recent bytes). `room` is the space from `op` to the end of the output:
// when there is enough of it, the copy works in whole chunks and may write a
// few bytes past `op + len`, which later tokens overwrite.
inline void copy_match(std::uint8_t* op, std::size_t dist, std::size_t len, std::size_t room) {
    const std::uint8_t* src = op - dist;
    if (dist == 1) {
        std::memset(op, *src, len);
        return;
    }
    if (dist >= 16 && room >= len + 16) {
        // Each chunk reads bytes that are final before it is written.
        for (std::size_t k = 0; k < len; k += 16) std::memcpy(op + k, src + k, 16);
        return;
    }
    if (dist >= 8 && room >= len + 8) {
        for (std::size_t k = 0; k < len; k += 8) std::memcpy(op + k, src + k, 8);
        return;
    }
    if (dist < 8 && room >= len + 8) {
        // Lay down the first 8 bytes one by one; the output from `src` on is
        // then periodic with period `dist` and can be extended in 8-byte
        // chunks from the nearest multiple of the period that is at least 8.
        for (std::size_t k = 0; k < 8; ++k) op[k] = src[k];
        const std::size_t period = dist * ((8 + dist - 1) / dist);
        for (std::size_t k = 8; k < len; k += 8) std::memcpy(op + k, op + k - period, 8);
        return;
    }
    for (std::size_t k = 0; k < len; ++k) op[k] = src[k];
}

}  // namespace

Result<std::uint64_t, BloscError> decompress(std::span<const std::uint8_t> input,
                                             std::span<std::uint8_t> output) {
    if (input.empty()) return err(BloscError{"BloscLZ: empty input"});
    const std::uint8_t* ip = input.data();
    const std::uint8_t* const ip_end = ip + input.size();
    std::uint8_t* const base = output.data();
    std::uint8_t* op = base;
    std::uint8_t* const op_end = base + output.size();

    // The first token is always a literal run, whatever its top bits say.
    std::uint32_t ctrl = *ip++ & 31u;
    for (;;) {
        if (ctrl < 32) {
            const std::size_t run = ctrl + 1;
            if (static_cast<std::size_t>(ip_end - ip) < run)
                return err(BloscError{cat("BloscLZ: literal run of ", run, " bytes past input end")});
            if (static_cast<std::size_t>(op_end - op) < run)
                return err(BloscError{cat("BloscLZ: literal run of ", run, " bytes past output end")});
            // A run is at most 32 bytes: one fixed-size copy when both sides
            // have room for it.
            if (ip_end - ip >= 32 && op_end - op >= 32)
                std::memcpy(op, ip, 32);
            else
                std::memcpy(op, ip, run);
            ip += run;
            op += run;
        } else {
            std::uint64_t len = (ctrl >> 5) - 1;
            if ((ctrl >> 5) == 7) {
                std::uint8_t code;
                do {
                    if (ip >= ip_end) return err(BloscError{"BloscLZ: truncated input in length extension"});
                    code = *ip++;
                    len += code;
                } while (code == 255);
            }
            if (ip >= ip_end) return err(BloscError{"BloscLZ: truncated input before offset-low byte"});
            const std::uint32_t lo = *ip++;
            std::uint64_t dist = ((ctrl & 31u) << 8) | lo;
            if ((ctrl & 31u) == 31 && lo == 255) {
                if (ip_end - ip < 2)
                    return err(BloscError{"BloscLZ: truncated input in 16-bit far-distance offset"});
                dist = ((static_cast<std::uint64_t>(ip[0]) << 8) | ip[1]) + kFarDistanceBase;
                ip += 2;
            }
            const std::uint64_t pos = static_cast<std::uint64_t>(op - base);
            if (pos <= dist)
                return err(BloscError{
                    cat("BloscLZ: back-reference offset ", dist + 1, " out of bounds at op=", pos)});
            const std::uint64_t room = static_cast<std::uint64_t>(op_end - op);
            const std::uint64_t count = len + 3;
            if (count > room)
                return err(BloscError{
                    cat("BloscLZ: match copy of ", count, " bytes overflows output (", room, " remaining)")});
            copy_match(op, static_cast<std::size_t>(dist + 1), static_cast<std::size_t>(count),
                       static_cast<std::size_t>(room));
            op += count;
        }
        if (ip >= ip_end) return static_cast<std::uint64_t>(op - base);
        ctrl = *ip++;
    }
}

}  // namespace morva::blosc::blosclz
