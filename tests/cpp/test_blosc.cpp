// BloscLZ streams and Blosc1 frames built by hand: the decoding rules c-blosc's
// own frames (test_blosc.py) do not reach, and every error text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "blosc/blosc1.h"
#include "blosc/blosclz.h"

using namespace morva::blosc;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes decode_lz(const Bytes& in, std::size_t capacity, std::string* error = nullptr) {
    Bytes out(capacity, 0xEE);
    auto r = blosclz::decompress(in, out);
    if (!r) {
        if (error) *error = r.error().text();
        return {};
    }
    out.resize(r.value());
    return out;
}

std::string lz_error(const Bytes& in, std::size_t capacity) {
    std::string e;
    decode_lz(in, capacity, &e);
    return e;
}

void put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A BloscLZ stream of literal runs only.
Bytes literal_stream(const std::uint8_t* data, std::size_t n) {
    Bytes s;
    for (std::size_t i = 0; i < n; i += 32) {
        const std::size_t run = std::min<std::size_t>(32, n - i);
        s.push_back(static_cast<std::uint8_t>(run - 1));
        s.insert(s.end(), data + i, data + i + run);
    }
    return s;
}

Bytes header(std::uint8_t flags, std::uint32_t nbytes, std::uint32_t blocksize, std::uint8_t typesize = 8,
             std::uint8_t version = 2, std::uint8_t versionlz = 1) {
    Bytes h = {version, versionlz, flags, typesize};
    put32(h, nbytes);
    put32(h, blocksize);
    put32(h, 0);  // cbytes, patched by the caller when it matters
    return h;
}

Bytes byte_shuffle(const std::uint8_t* block, std::size_t bsize) {
    const std::size_t ne = bsize / 8;
    Bytes out(block, block + bsize);
    for (std::size_t e = 0; e < ne; ++e)
        for (std::size_t j = 0; j < 8; ++j) out[j * ne + e] = block[8 * e + j];
    return out;
}

enum class StreamForm { Raw, Literal };

// A frame laid out as c-blosc does: header, block offsets, then per block its
// streams (split into 8 when `split_rule` says so), each size-prefixed.
Bytes build_frame(const Bytes& data, std::uint32_t blocksize, std::uint8_t flags, StreamForm form,
                  bool split_full_blocks) {
    const std::uint32_t nbytes = static_cast<std::uint32_t>(data.size());
    const std::size_t nblocks = (nbytes + blocksize - 1) / blocksize;
    Bytes f = header(flags, nbytes, blocksize);
    const std::size_t table = f.size();
    f.resize(f.size() + 4 * nblocks);
    for (std::size_t i = 0; i < nblocks; ++i) {
        const std::size_t start = i * blocksize;
        const std::size_t bsize = std::min<std::size_t>(blocksize, nbytes - start);
        Bytes block(data.begin() + static_cast<std::ptrdiff_t>(start),
                    data.begin() + static_cast<std::ptrdiff_t>(start + bsize));
        if (flags & blosc1::kByteShuffle) block = byte_shuffle(block.data(), bsize);
        const std::uint32_t offset = static_cast<std::uint32_t>(f.size());
        std::memcpy(&f[table + 4 * i], &offset, 4);
        const bool split = split_full_blocks && bsize == blocksize;
        const std::size_t nstreams = split ? 8 : 1;
        const std::size_t ssize = bsize / nstreams;
        for (std::size_t j = 0; j < nstreams; ++j) {
            const std::uint8_t* s = block.data() + j * ssize;
            Bytes stream = form == StreamForm::Raw ? Bytes(s, s + ssize) : literal_stream(s, ssize);
            put32(f, static_cast<std::uint32_t>(stream.size()));
            f.insert(f.end(), stream.begin(), stream.end());
        }
    }
    const std::uint32_t cbytes = static_cast<std::uint32_t>(f.size());
    std::memcpy(&f[12], &cbytes, 4);
    return f;
}

Bytes sample_bytes(std::size_t n, std::uint32_t seed = 7) {
    Bytes b(n);
    for (auto& x : b) {
        seed = seed * 1103515245u + 12345u;
        x = static_cast<std::uint8_t>(seed >> 16);
    }
    return b;
}

Bytes as_bytes(const std::vector<double>& v) {
    Bytes b(v.size() * 8);
    if (!v.empty()) std::memcpy(b.data(), v.data(), b.size());
    return b;
}

std::string frame_error(const Bytes& frame) {
    auto r = blosc1::decompress_f64(frame);
    return r ? std::string("ok") : r.error().text();
}

}  // namespace

TEST(BloscLZ, LiteralsAndMatches) {
    EXPECT_EQ(decode_lz({0x01, 0x61, 0x62, 0x20, 0x00}, 16), (Bytes{0x61, 0x62, 0x62, 0x62, 0x62}));
    // The first control byte's top bits are ignored.
    EXPECT_EQ(decode_lz({0xE0, 0x61}, 4), (Bytes{0x61}));
    // Distance 2 at op = 2: repeats the two bytes.
    EXPECT_EQ(decode_lz({0x01, 0x61, 0x62, 0x20, 0x01}, 16), (Bytes{0x61, 0x62, 0x61, 0x62, 0x61}));
    EXPECT_EQ(decode_lz({0x00, 0x61, 0x20, 0x00}, 16), (Bytes{0x61, 0x61, 0x61, 0x61}));
    // Length extension: ctrl 0xE0 gives 6, plus 255 + 4, plus 3.
    const Bytes ext = decode_lz({0x00, 0x7A, 0xE0, 0xFF, 0x04, 0x00}, 300);
    EXPECT_EQ(ext, Bytes(1 + 6 + 255 + 4 + 3, 0x7A));
}

TEST(BloscLZ, FarDistanceCopiesFrom8192Back) {
    Bytes in;
    Bytes expect;
    // 8192 literal bytes, then a far match of distance 8191 (source op - 8192).
    const Bytes lit = sample_bytes(8192);
    in = literal_stream(lit.data(), lit.size());
    in.insert(in.end(), {0x3F, 0xFF, 0x00, 0x00});
    expect = lit;
    expect.insert(expect.end(), lit.begin(), lit.begin() + 3);
    EXPECT_EQ(decode_lz(in, 9000), expect);
    // At op = 8191 the same token points before the output start.
    Bytes short_in = literal_stream(lit.data(), 8191);
    short_in.insert(short_in.end(), {0x3F, 0xFF, 0x00, 0x00});
    EXPECT_EQ(lz_error(short_in, 9000), "BloscLZ: back-reference offset 8192 out of bounds at op=8191");
}

TEST(BloscLZ, OverlappingCopiesMatchAByteLoop) {
    // Every distance 1..40 and length 3..300, near and far from the output end.
    for (std::size_t dist = 1; dist <= 40; ++dist) {
        for (std::size_t len : {3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 64u, 300u}) {
            const Bytes lit = sample_bytes(dist, static_cast<std::uint32_t>(dist));
            Bytes in = literal_stream(lit.data(), lit.size());
            std::size_t extra = len - 3;
            const std::uint32_t d = static_cast<std::uint32_t>(dist - 1);
            if (extra < 6) {
                in.push_back(static_cast<std::uint8_t>(((extra + 1) << 5) | (d >> 8)));
            } else {
                in.push_back(static_cast<std::uint8_t>(0xE0 | (d >> 8)));
                extra -= 6;
                while (extra >= 255) {
                    in.push_back(255);
                    extra -= 255;
                }
                in.push_back(static_cast<std::uint8_t>(extra));
            }
            in.push_back(static_cast<std::uint8_t>(d & 0xFF));
            Bytes expect = lit;
            for (std::size_t k = 0; k < len; ++k) expect.push_back(expect[expect.size() - dist]);
            for (std::size_t slack : {0u, 5u, 64u}) {
                EXPECT_EQ(decode_lz(in, expect.size() + slack), expect) << dist << " " << len << " " << slack;
            }
        }
    }
}

TEST(BloscLZ, ErrorTexts) {
    EXPECT_EQ(lz_error({}, 8), "BloscLZ: empty input");
    EXPECT_EQ(lz_error({0x00}, 8), "BloscLZ: literal run of 1 bytes past input end");
    EXPECT_EQ(lz_error({0x02, 1, 2, 3}, 2), "BloscLZ: literal run of 3 bytes past output end");
    EXPECT_EQ(lz_error({0x00, 0x61, 0x20, 0x01}, 8),
              "BloscLZ: back-reference offset 2 out of bounds at op=1");
    EXPECT_EQ(lz_error({0x00, 0x61, 0xE0, 0xFF}, 8), "BloscLZ: truncated input in length extension");
    EXPECT_EQ(lz_error({0x00, 0x61, 0x20}, 8), "BloscLZ: truncated input before offset-low byte");
    EXPECT_EQ(lz_error({0x00, 0x61, 0x3F, 0xFF, 0x00}, 8),
              "BloscLZ: truncated input in 16-bit far-distance offset");
    EXPECT_EQ(lz_error({0x00, 0x61, 0x40, 0x00}, 4),
              "BloscLZ: match copy of 4 bytes overflows output (3 remaining)");
    // An error in the input is reported even with no output room at all.
    EXPECT_EQ(lz_error({0x00, 0x61}, 0), "BloscLZ: literal run of 1 bytes past output end");
}

TEST(Blosc1, HeaderChecksInOrder) {
    EXPECT_EQ(frame_error(Bytes(15, 0)), "Blosc1: header needs 16 bytes, got 15");
    EXPECT_EQ(frame_error(header(0, 8, 8, 4)), "Blosc1: expected typesize=8 for f64, got 4");
    EXPECT_EQ(frame_error(header(0, 12, 8, 8)), "Blosc1: nbytes=12 not a multiple of 8");
    EXPECT_EQ(frame_error(header(0, 8, 8, 8, 3, 1)), "Blosc1: unsupported version=3 versionlz=1");
    EXPECT_EQ(frame_error(header(0, 8, 8, 8, 2, 2)), "Blosc1: unsupported version=2 versionlz=2");
    EXPECT_EQ(frame_error(header(0, 8, 0)), "Blosc1: blocksize is zero");
    EXPECT_EQ(frame_error(header(blosc1::kMemcpyed, 16, 16)),
              "Blosc1: memcpy stream too short for declared nbytes");
    EXPECT_EQ(frame_error(header(0, 256, 8)), "Blosc1: nbytes=256 impossible for a 16-byte frame");
    Bytes h = header(0, 32, 8);
    h.resize(20);  // room for 5 bytes of expansion... but 4 block offsets needed
    EXPECT_EQ(frame_error(h), "Blosc1: stream too short for block offset table");
}

TEST(Blosc1, HugeNbytesIsRejectedBeforeAllocating) {
    // 4 GiB - 8 declared by a 20-byte frame with one block.
    Bytes h = header(0, 0xFFFFFFF8u, 0xFFFFFFF8u);
    put32(h, 20);
    EXPECT_EQ(frame_error(h), "Blosc1: nbytes=4294967288 impossible for a 20-byte frame");
    // The bound itself: 255 bytes per byte after the header.
    Bytes ok = header(0, 255 * 8, 255 * 8);
    ok.resize(24, 0);
    EXPECT_NE(frame_error(ok), "Blosc1: nbytes=2040 impossible for a 24-byte frame");
    Bytes over = header(0, 255 * 8 + 8, 255 * 8 + 8);
    over.resize(24, 0);
    EXPECT_EQ(frame_error(over), "Blosc1: nbytes=2048 impossible for a 24-byte frame");
}

TEST(Blosc1, DamagedSizesFailBeforeTheClaimedOutputIsAllocated) {
    // A 17 MB frame may claim 4 GiB; its block table points at the header,
    // whose first word is no stream size that fits.
    Bytes f = header(0, 0xFFFFFFF8u, 1u << 20);
    f.resize(17u << 20, 0);
    EXPECT_EQ(frame_error(f), "Blosc1: compressed split 0 of block 0 overruns stream (134217990 > 17825792)");

    // A layout whose blocksize gained a bit: one unsplit block now, whose
    // single stream (the old first split) cannot grow to the whole output.
    const Bytes data = sample_bytes(64 * 1024);
    Bytes frame = build_frame(data, 2048, 0, StreamForm::Literal, true);
    const std::uint32_t damaged = 2048 | (1u << 30);
    std::memcpy(&frame[8], &damaged, 4);
    EXPECT_EQ(frame_error(frame), "Blosc1: split 0 of block 0 produced 256 bytes, expected 65536");
}

TEST(Blosc1, EmptyAndStoredFrames) {
    auto empty = blosc1::decompress_f64(header(0, 0, 8));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty.value().empty());

    // Stored with the shuffle flag: returned as stored, not unshuffled.
    const Bytes data = sample_bytes(64);
    Bytes f = header(blosc1::kMemcpyed | blosc1::kByteShuffle, 64, 64);
    f.insert(f.end(), data.begin(), data.end());
    auto r = blosc1::decompress_f64(f);
    ASSERT_TRUE(r);
    EXPECT_EQ(as_bytes(r.value()), data);
}

TEST(Blosc1, SplitRuleFollowsBlockSize) {
    for (std::uint32_t blocksize : {1016u, 1023u, 1024u, 2048u}) {
        // Three full blocks and a short final one.
        const Bytes data = sample_bytes(blocksize * 3 + 200 - (blocksize * 3 + 200) % 8, blocksize);
        const bool splits = blocksize >= 1024;
        for (StreamForm form : {StreamForm::Raw, StreamForm::Literal}) {
            auto r = blosc1::decompress_f64(build_frame(data, blocksize, 0, form, splits));
            ASSERT_TRUE(r) << blocksize << " " << r.error().text();
            EXPECT_EQ(as_bytes(r.value()), data) << blocksize;
        }
        // The same blocks laid out under the other rule never decode as data.
        auto wrong = blosc1::decompress_f64(build_frame(data, blocksize, 0, StreamForm::Literal, !splits));
        EXPECT_FALSE(wrong) << blocksize;
    }
    // Flag 0x10 turns splitting off.
    const Bytes data = sample_bytes(4096);
    auto r = blosc1::decompress_f64(build_frame(data, 1024, blosc1::kDontSplit, StreamForm::Literal, false));
    ASSERT_TRUE(r);
    EXPECT_EQ(as_bytes(r.value()), data);
}

TEST(Blosc1, SplitBlockWithOddSizeLeavesItsTailZero) {
    // blocksize 1028: 8 streams of 128 bytes, the last 4 bytes of each full
    // block are written by no stream.
    const Bytes data = sample_bytes(1028 * 2 + 8);
    for (std::uint8_t flags : {std::uint8_t{0}, blosc1::kByteShuffle}) {
        Bytes frame = build_frame(data, 1028, flags, StreamForm::Raw, true);
        auto r = blosc1::decompress_f64(frame);
        ASSERT_TRUE(r);
        Bytes got = as_bytes(r.value());
        Bytes expect = data;
        if (flags) {
            // Unshuffling the block whose last 4 bytes are zero.
            for (std::size_t b = 0; b < 2; ++b) {
                Bytes sh = byte_shuffle(&data[b * 1028], 1028);
                std::fill(sh.begin() + 1024, sh.end(), 0);
                for (std::size_t e = 0; e < 128; ++e)
                    for (std::size_t j = 0; j < 8; ++j) expect[b * 1028 + 8 * e + j] = sh[j * 128 + e];
                std::fill(expect.begin() + static_cast<std::ptrdiff_t>(b * 1028 + 1024),
                          expect.begin() + static_cast<std::ptrdiff_t>(b * 1028 + 1028), 0);
            }
        } else {
            for (std::size_t b = 0; b < 2; ++b)
                std::fill(expect.begin() + static_cast<std::ptrdiff_t>(b * 1028 + 1024),
                          expect.begin() + static_cast<std::ptrdiff_t>(b * 1028 + 1028), 0);
        }
        EXPECT_EQ(got, expect) << int(flags);
    }
}

// Byte and bit shuffles of every block size are checked against c-blosc's own
// frames (test_blosc.py); c-blosc never sets both flags, and then the byte
// shuffle is the one undone.
TEST(Blosc1, ByteShuffleWinsOverBitShuffle) {
    const Bytes data = sample_bytes(5000);
    const auto both = static_cast<std::uint8_t>(blosc1::kByteShuffle | blosc1::kBitShuffle);
    auto r = blosc1::decompress_f64(build_frame(data, 1024, both, StreamForm::Literal, true));
    ASSERT_TRUE(r) << r.error().text();
    EXPECT_EQ(as_bytes(r.value()), data);
}

TEST(Blosc1, RawStreamIsNeverHandedToBloscLZ) {
    // Stored bytes that are not a valid BloscLZ stream (a literal run past
    // the input end) decode as stored.
    Bytes data(64, 0x1F);
    auto r = blosc1::decompress_f64(build_frame(data, 64, 0, StreamForm::Raw, false));
    ASSERT_TRUE(r);
    EXPECT_EQ(as_bytes(r.value()), data);
}

TEST(Blosc1, StreamErrorTexts) {
    const Bytes data = sample_bytes(2048);
    const Bytes good = build_frame(data, 1024, 0, StreamForm::Literal, true);
    // Second block offset pointing at the last 3 bytes.
    Bytes f = good;
    const std::uint32_t near_end = static_cast<std::uint32_t>(f.size() - 3);
    std::memcpy(&f[20], &near_end, 4);
    EXPECT_EQ(frame_error(f), "Blosc1: block 1 split 0: size prefix past stream end");

    // A raw stream cut short.
    Bytes raw = build_frame(data, 1024, 0, StreamForm::Raw, true);
    raw.resize(raw.size() - 1);
    EXPECT_EQ(frame_error(raw), "Blosc1: raw split 7 of block 1 past stream end");

    Bytes cut = good;
    cut.resize(cut.size() - 1);
    EXPECT_EQ(frame_error(cut), "Blosc1: compressed split 7 of block 1 overruns stream (" +
                                    std::to_string(good.size()) + " > " + std::to_string(cut.size()) + ")");

    // A stream decoding to fewer bytes than its split: 1 literal byte.
    Bytes small = header(0, 64, 64);
    put32(small, 20);
    put32(small, 2);
    small.insert(small.end(), {0x00, 0x55});
    EXPECT_EQ(frame_error(small), "Blosc1: split 0 of block 0 produced 1 bytes, expected 64");

    // BloscLZ's own error passes through unchanged.
    Bytes bad = header(0, 64, 64);
    put32(bad, 20);
    put32(bad, 4);
    bad.insert(bad.end(), {0x00, 0x61, 0x20, 0x01});
    EXPECT_EQ(frame_error(bad), "BloscLZ: back-reference offset 2 out of bounds at op=1");
}

TEST(Blosc1, OtherCompressorsAreRefusedWhenAStreamNeedsThem) {
    const Bytes data = sample_bytes(256);
    for (std::uint8_t code : {1, 2, 3, 4, 7}) {
        const std::uint8_t flags = static_cast<std::uint8_t>(code << 5);
        Bytes f = build_frame(data, 256, flags, StreamForm::Literal, false);
        EXPECT_EQ(frame_error(f), "Blosc1: unsupported compressor code " + std::to_string(code));
        // Stored streams and stored frames need no decompressor.
        auto raw = blosc1::decompress_f64(build_frame(data, 256, flags, StreamForm::Raw, false));
        ASSERT_TRUE(raw);
        EXPECT_EQ(as_bytes(raw.value()), data);
    }
}
