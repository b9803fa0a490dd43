#include "blosc/blosc1.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "blosc/blosclz.h"
#include "common/format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace morva::blosc::blosc1 {
namespace {

using fmt::cat;

constexpr std::uint64_t kHeaderSize = 16;
constexpr std::uint64_t kTypeSize = 8;
// A split block holds one stream per byte of the element.
constexpr std::uint64_t kSplits = kTypeSize;
// Blocks of fewer than 128 elements are never split.
constexpr std::uint64_t kMinSplitBlock = 128 * kTypeSize;
// BloscLZ cannot expand a byte of input into more than 255 bytes of output,
// so no frame decodes to more than this many bytes per byte after the header.
constexpr std::uint64_t kMaxExpansion = 255;

BloscError fail(std::string message) { return BloscError{std::move(message)}; }

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Undoes the byte shuffle of one block of `bsize` bytes: the block holds the
// 8 byte planes of its ne = bsize / 8 elements one after the other; bytes
// past the last whole element were stored as they are.
void byte_unshuffle(const std::uint8_t* in, std::uint8_t* out, std::size_t bsize) {
    const std::size_t ne = bsize / kTypeSize;
    std::size_t e = 0;
#if defined(__SSE2__)
    // 16 elements at a time: interleave the planes pairwise at byte, 16-bit
    // and 32-bit width, which transposes a 8 x 16 byte tile.
    for (; e + 16 <= ne; e += 16) {
        auto load = [&](std::size_t plane) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + plane * ne + e));
        };
        const __m128i a0 = load(0), a1 = load(1), a2 = load(2), a3 = load(3);
        const __m128i a4 = load(4), a5 = load(5), a6 = load(6), a7 = load(7);
        const __m128i b0 = _mm_unpacklo_epi8(a0, a1), b1 = _mm_unpackhi_epi8(a0, a1);
        const __m128i b2 = _mm_unpacklo_epi8(a2, a3), b3 = _mm_unpackhi_epi8(a2, a3);
        const __m128i b4 = _mm_unpacklo_epi8(a4, a5), b5 = _mm_unpackhi_epi8(a4, a5);
        const __m128i b6 = _mm_unpacklo_epi8(a6, a7), b7 = _mm_unpackhi_epi8(a6, a7);
        const __m128i c0 = _mm_unpacklo_epi16(b0, b2), c1 = _mm_unpackhi_epi16(b0, b2);
        const __m128i c2 = _mm_unpacklo_epi16(b1, b3), c3 = _mm_unpackhi_epi16(b1, b3);
        const __m128i c4 = _mm_unpacklo_epi16(b4, b6), c5 = _mm_unpackhi_epi16(b4, b6);
        const __m128i c6 = _mm_unpacklo_epi16(b5, b7), c7 = _mm_unpackhi_epi16(b5, b7);
        __m128i* dst = reinterpret_cast<__m128i*>(out + e * kTypeSize);
        _mm_storeu_si128(dst + 0, _mm_unpacklo_epi32(c0, c4));
        _mm_storeu_si128(dst + 1, _mm_unpackhi_epi32(c0, c4));
        _mm_storeu_si128(dst + 2, _mm_unpacklo_epi32(c1, c5));
        _mm_storeu_si128(dst + 3, _mm_unpackhi_epi32(c1, c5));
        _mm_storeu_si128(dst + 4, _mm_unpacklo_epi32(c2, c6));
        _mm_storeu_si128(dst + 5, _mm_unpackhi_epi32(c2, c6));
        _mm_storeu_si128(dst + 6, _mm_unpacklo_epi32(c3, c7));
        _mm_storeu_si128(dst + 7, _mm_unpackhi_epi32(c3, c7));
    }
#endif
    for (; e < ne; ++e)
        for (std::size_t j = 0; j < kTypeSize; ++j) out[e * kTypeSize + j] = in[j * ne + e];
    std::memcpy(out + ne * kTypeSize, in + ne * kTypeSize, bsize - ne * kTypeSize);
}

// Transposes the 8 x 8 bit matrix held in `x` (row r = byte r, column c =
// bit c): afterwards bit c of byte r is the former bit r of byte c.
inline std::uint64_t transpose_bits_8x8(std::uint64_t x) {
    std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
    x = x ^ t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
    x = x ^ t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
    return x ^ t ^ (t << 28);
}

// Undoes the bit shuffle of one block of `bsize` bytes as c-blosc 1.x does.
// With ne = bsize / 8 elements and ne a multiple of 8, the block holds 64 bit
// rows of ne / 8 bytes, row 8j + k carrying bit k of byte j of every element
// (element i at bit i mod 8 of byte i / 8); bytes past the last whole element
// follow as they are. A block whose element count is not a multiple of 8 was
// stored without shuffling.
void bit_unshuffle(const std::uint8_t* in, std::uint8_t* out, std::size_t bsize) {
    const std::size_t ne = bsize / kTypeSize;
    if (ne % 8 != 0) {
        std::memcpy(out, in, bsize);
        return;
    }
    const std::size_t row_bytes = ne / 8;
    for (std::size_t g = 0; g < row_bytes; ++g) {
        std::uint8_t* group = out + g * 8 * kTypeSize;
        for (std::size_t j = 0; j < kTypeSize; ++j) {
            // Byte k of x: bits of byte j of elements 8g .. 8g + 7 from row 8j + k.
            std::uint64_t x = 0;
            for (std::size_t k = 0; k < 8; ++k)
                x |= static_cast<std::uint64_t>(in[(8 * j + k) * row_bytes + g]) << (8 * k);
            x = transpose_bits_8x8(x);
            for (std::size_t m = 0; m < 8; ++m)
                group[m * kTypeSize + j] = static_cast<std::uint8_t>(x >> (8 * m));
        }
    }
    std::memcpy(out + ne * kTypeSize, in + ne * kTypeSize, bsize - ne * kTypeSize);
}

enum class Shuffle { None, Byte, Bit };

// A zero-filled output of `count` values. Outputs of 4 MiB and more ask for
// huge pages before they are first touched (as NumPy does for its own large
// arrays): faulting in thousands of small pages costs more than decoding
// into them.
std::vector<double> allocate_output(std::size_t count) {
    std::vector<double> values;
    values.reserve(count);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    constexpr std::size_t kHugePageMinBytes = std::size_t{4} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(values.data());
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + count * sizeof(double)) & ~(kHugePage - 1);
    if (count * sizeof(double) >= kHugePageMinBytes && last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
    values.resize(count);
    return values;
}

// A frame past its header checks, with its block count.
struct Layout {
    std::span<const std::uint8_t> frame;
    std::uint64_t nbytes;
    std::uint64_t blocksize;
    std::uint64_t nblocks;
    std::uint8_t flags;

    unsigned compressor() const { return flags >> 5; }
};

// Block i: where it lies in the output and how it is split into streams.
struct Block {
    std::uint64_t start;
    std::uint64_t size;
    std::uint64_t nstreams;
    std::uint64_t ssize;         // bytes per stream; a split block's last size mod 8 bytes belong to none
    std::uint64_t first_stream;  // frame offset of its first stream's size prefix
};

Block block_at(const Layout& layout, std::uint64_t i) {
    Block b;
    b.start = i * layout.blocksize;
    b.size = std::min(layout.blocksize, layout.nbytes - b.start);
    // Only full blocks of at least 128 elements are split, unless the frame
    // says it never splits.
    const bool split =
        b.size == layout.blocksize && !(layout.flags & kDontSplit) && layout.blocksize >= kMinSplitBlock;
    b.nstreams = split ? kSplits : 1;
    b.ssize = b.size / b.nstreams;
    b.first_stream = le32(layout.frame.data() + kHeaderSize + 4 * i);
    return b;
}

// One size-prefixed stream, checked to lie inside the frame.
struct Stream {
    std::uint64_t data;   // frame offset of its bytes
    std::uint64_t csize;  // their count
    bool stored;          // the bytes are the output as they are
};

Result<Stream, BloscError> stream_at(const Layout& layout, std::uint64_t i, std::uint64_t j,
                                     std::uint64_t pos, std::uint64_t ssize) {
    const std::uint64_t n = layout.frame.size();
    if (pos + 4 > n)
        return err(fail(cat("Blosc1: block ", i, " split ", j, ": size prefix past stream end")));
    const std::uint64_t csize = le32(layout.frame.data() + pos);
    if (csize == ssize) {
        if (pos + 4 + ssize > n)
            return err(fail(cat("Blosc1: raw split ", j, " of block ", i, " past stream end")));
        return Stream{pos + 4, csize, true};
    }
    if (layout.compressor() != 0)
        return err(fail(cat("Blosc1: unsupported compressor code ", layout.compressor())));
    if (pos + 4 + csize > n)
        return err(fail(cat("Blosc1: compressed split ", j, " of block ", i, " overruns stream (",
                            pos + 4 + csize, " > ", n, ")")));
    return Stream{pos + 4, csize, false};
}

// True when every stream lies inside the frame and none must produce more
// bytes than BloscLZ can encode in its size. A frame failing this cannot
// decode; one passing it claims no more output than its streams can give.
bool streams_plausible(const Layout& layout) {
    for (std::uint64_t i = 0; i < layout.nblocks; ++i) {
        const Block b = block_at(layout, i);
        std::uint64_t pos = b.first_stream;
        for (std::uint64_t j = 0; j < b.nstreams; ++j) {
            const auto stream = stream_at(layout, i, j, pos, b.ssize);
            if (!stream) return false;
            if (!stream->stored && b.ssize > kMaxExpansion * stream->csize) return false;
            pos = stream->data + stream->csize;
        }
    }
    return true;
}

// Decodes every block in order into `out` (nbytes bytes, zero-filled). With
// a null `out`, a dry run: streams are decoded and dropped, each into room
// for no more than its size can encode, which fails exactly where the real
// decode would.
Result<void, BloscError> decode_blocks(const Layout& layout, Shuffle shuffle, std::uint8_t* out) {
    const std::span<const std::uint8_t> frame = layout.frame;
    // Shuffled blocks are decoded into a scratch block and unshuffled into place.
    std::vector<std::uint8_t> scratch(
        out && shuffle != Shuffle::None ? std::min(layout.blocksize, layout.nbytes) : 0);
    std::vector<std::uint8_t> sink;
    for (std::uint64_t i = 0; i < layout.nblocks; ++i) {
        const Block b = block_at(layout, i);
        std::uint8_t* const target = !out                       ? nullptr
                                     : shuffle == Shuffle::None ? out + b.start
                                                                : scratch.data();
        // The bytes of a split block that no stream writes stay zero (the
        // output already is).
        if (out && shuffle != Shuffle::None && b.ssize * b.nstreams < b.size)
            std::memset(target + b.ssize * b.nstreams, 0, b.size - b.ssize * b.nstreams);
        std::uint64_t pos = b.first_stream;
        for (std::uint64_t j = 0; j < b.nstreams; ++j) {
            MORVA_ASSIGN(const Stream stream, stream_at(layout, i, j, pos, b.ssize));
            pos = stream.data + stream.csize;
            if (stream.stored) {
                if (target) std::memcpy(target + j * b.ssize, frame.data() + stream.data, b.ssize);
                continue;
            }
            std::span<std::uint8_t> dst;
            if (target) {
                dst = std::span(target + j * b.ssize, b.ssize);
            } else {
                sink.resize(std::min(b.ssize, kMaxExpansion * stream.csize));
                dst = sink;
            }
            MORVA_ASSIGN(const std::uint64_t written,
                         blosclz::decompress(frame.subspan(stream.data, stream.csize), dst));
            if (written != b.ssize)
                return err(fail(cat("Blosc1: split ", j, " of block ", i, " produced ", written,
                                    " bytes, expected ", b.ssize)));
        }
        if (out && shuffle == Shuffle::Byte) byte_unshuffle(target, out + b.start, b.size);
        if (out && shuffle == Shuffle::Bit) bit_unshuffle(target, out + b.start, b.size);
    }
    return {};
}

// The decoded bytes are little-endian float64.
void to_native_order(std::vector<double>& values) {
    if constexpr (std::endian::native == std::endian::big) {
        for (double& v : values)
            v = std::bit_cast<double>(__builtin_bswap64(std::bit_cast<std::uint64_t>(v)));
    } else {
        (void)values;
    }
}

}  // namespace

Result<std::vector<double>, BloscError> decompress_f64(std::span<const std::uint8_t> frame) {
    const std::uint64_t n = frame.size();
    if (n < kHeaderSize) return err(fail(cat("Blosc1: header needs 16 bytes, got ", n)));
    const std::uint8_t* const f = frame.data();
    const std::uint8_t version = f[0], versionlz = f[1], flags = f[2], typesize = f[3];
    const std::uint32_t nbytes = le32(f + 4);
    const std::uint32_t blocksize = le32(f + 8);
    if (typesize != kTypeSize)
        return err(fail(cat("Blosc1: expected typesize=8 for f64, got ", static_cast<unsigned>(typesize))));
    if (nbytes % kTypeSize != 0) return err(fail(cat("Blosc1: nbytes=", nbytes, " not a multiple of 8")));
    if (version != 2 || versionlz != 1)
        return err(fail(cat("Blosc1: unsupported version=", static_cast<unsigned>(version),
                            " versionlz=", static_cast<unsigned>(versionlz))));
    if (blocksize == 0) return err(fail("Blosc1: blocksize is zero"));

    if (flags & kMemcpyed) {
        if (n < static_cast<std::uint64_t>(nbytes) + kHeaderSize)
            return err(fail("Blosc1: memcpy stream too short for declared nbytes"));
        std::vector<double> values = allocate_output(nbytes / kTypeSize);
        if (nbytes) std::memcpy(values.data(), f + kHeaderSize, nbytes);
        to_native_order(values);
        return values;
    }

    if (nbytes > kMaxExpansion * (n - kHeaderSize))
        return err(fail(cat("Blosc1: nbytes=", nbytes, " impossible for a ", n, "-byte frame")));
    const std::uint64_t nblocks = nbytes / blocksize + (nbytes % blocksize != 0);
    if (n < kHeaderSize + 4 * nblocks) return err(fail("Blosc1: stream too short for block offset table"));

    const Layout layout{frame, nbytes, blocksize, nblocks, flags};
    // c-blosc applies the byte shuffle when both shuffle flags are set.
    const Shuffle shuffle = (flags & kByteShuffle)  ? Shuffle::Byte
                            : (flags & kBitShuffle) ? Shuffle::Bit
                                                    : Shuffle::None;
    if (!streams_plausible(layout)) {
        // The frame cannot decode (a damaged nbytes, blocksize or offset
        // usually shows here): find its first failure without allocating
        // an output of the size it claims.
        auto dry_run = decode_blocks(layout, shuffle, nullptr);
        if (!dry_run) return err(std::move(dry_run).error());
    }
    std::vector<double> values = allocate_output(nbytes / kTypeSize);
    MORVA_TRY(decode_blocks(layout, shuffle, reinterpret_cast<std::uint8_t*>(values.data())));
    to_native_order(values);
    return values;
}

}  // namespace morva::blosc::blosc1
