// Companion files: the real sample, hostile tag fields, long alias chains, and
// every truncation and bit flip of a file decoding to an error, never a crash.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/io.h"
#include "psf/psfxl.h"

using namespace morva;
using namespace morva::psf::psfxl;

namespace {

const std::string kMagicLine = std::string("\0!ngpsf-1.4:0:ffffffffffffffff:4:20\n", 37);

// A stored (uncompressed) Blosc1 frame of `values`.
std::string stored_frame(const std::vector<double>& values) {
    const std::uint32_t nbytes = static_cast<std::uint32_t>(values.size() * 8);
    const std::uint32_t cbytes = nbytes + 16;
    std::string f = {2, 1, 2, 8};
    f.append(reinterpret_cast<const char*>(&nbytes), 4);
    f.append(reinterpret_cast<const char*>(&nbytes), 4);
    f.append(reinterpret_cast<const char*>(&cbytes), 4);
    if (!values.empty()) f.append(reinterpret_cast<const char*>(values.data()), nbytes);
    return f;
}

std::string raw(const std::vector<double>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * 8);
}

// One tag line and its payload, followed by the 0x00 that ends every payload.
std::string record(const std::string& tag, const std::string& payload) {
    return tag + "\n" + payload + std::string(1, '\0');
}

NgpsfFile open_bytes(const std::string& bytes) {
    auto r = NgpsfFile::from_bytes("mem", bytes);
    EXPECT_TRUE(r) << (r ? "" : r.error().text());
    return std::move(r).value();
}

// Runs every operation that reads a file; only memory safety is at stake.
void exercise(const std::string& bytes) {
    auto file = NgpsfFile::from_bytes("mem", bytes);
    if (!file) return;
    const auto records = file->parse_data_records();
    for (const auto& r : records) {
        (void)r.sample_count();
        (void)r.decode_values();
        (void)r.decode_time();
        (void)file->decode_waveform(r.record_id);
    }
    (void)file->decode_all();
    (void)file->decode_waveform(0x2a);
}

// Every prefix of `bytes` and every single-bit flip of it.
void exercise_damaged(const std::string& bytes) {
    for (std::size_t n = 0; n <= bytes.size(); ++n) exercise(bytes.substr(0, n));
    for (std::size_t i = 0; i < bytes.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            std::string flipped = bytes;
            flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
            exercise(flipped);
        }
}

}  // namespace

TEST(Psfxl, EveryTruncationAndBitFlipOfTheSampleIsSafe) {
    const std::string path = std::string(MORVA_SAMPLES_DIR) + "/psf/psfxl/tran1.tran.tran.psfxl";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "sample files not available";
    const std::string bytes = read_file(path).value();
    exercise_damaged(bytes);
}

TEST(Psfxl, SyntheticFileSurvivesTruncationAndBitFlips) {
    const std::vector<double> t = {0, 1, 2, 3}, v = {5, 6, 7, 8};
    std::string bytes = kMagicLine;
    bytes += record("3:1:0:4:0:22", std::string(4, '\0') + stored_frame(t) + stored_frame(v));
    bytes += record("3:2:0:4:0:20", stored_frame(t) + raw(v));
    bytes += record("3:3:0:4:0:02", raw(t) + stored_frame(v));
    bytes += record("3:4:0:4:0:a2", stored_frame(v));
    bytes += record("3:5:0:4:0:82", stored_frame(v));
    bytes += record("3:6:0:4:0:a0", raw(v));
    bytes += record("3:7:0:4:0:88", "");
    bytes += record("3:8:0:4:0:10", "xx");
    bytes += record("3:9:0:4:0:83", "xx");
    auto file = open_bytes(bytes);
    ASSERT_EQ(file.parse_data_records().size(), 9u);
    for (std::uint64_t id = 1; id <= 7; ++id) {
        auto wave = file.decode_waveform(id);
        ASSERT_TRUE(wave) << id << ": " << wave.error().text();
        EXPECT_EQ(wave->time, t) << id;
        EXPECT_EQ(wave->values, v) << id;
    }
    exercise_damaged(bytes);
}

TEST(Psfxl, DecodingThroughARecordIndexEqualsDecodingById) {
    const std::vector<double> t = {0, 1, 2}, v = {5, std::nan(""), -7};
    std::string bytes = kMagicLine;
    bytes += record("3:1:0:3:0:22", std::string(4, '\0') + stored_frame(t) + stored_frame(v));
    bytes += record("3:4:0:3:0:a2", stored_frame(v));
    bytes += record("3:6:0:3:0:a0", raw(v));
    bytes += record("3:7:0:3:0:88", "");
    bytes += record("3:2:0:4:0:a2", stored_frame({1, 2, 3, 4}));
    bytes += record("3:8:0:4:0:10", "xx");
    bytes += record("3:4:0:3:0:22", std::string(4, '\0') + stored_frame(v) + stored_frame(t));
    const auto same_bits = [](const std::vector<double>& a, const std::vector<double>& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
    };
    for (std::size_t n = kMagicLine.size(); n <= bytes.size(); ++n) {
        auto file = NgpsfFile::from_bytes("mem", bytes.substr(0, n));
        ASSERT_TRUE(file);
        const auto records = file->parse_data_records();
        const RecordIndex index(records);
        for (std::uint64_t id = 0; id <= 9; ++id) {
            SCOPED_TRACE(fmt::cat("length ", n, " id ", id));
            const auto by_id = file->decode_waveform(id);
            const auto indexed = NgpsfFile::decode_waveform(index, id);
            ASSERT_EQ(by_id.ok(), indexed.ok());
            if (by_id.ok()) {
                EXPECT_TRUE(same_bits(by_id->time, indexed->time));
                EXPECT_TRUE(same_bits(by_id->values, indexed->values));
            } else {
                EXPECT_EQ(by_id.error().text(), indexed.error().text());
            }
        }
    }
}

TEST(Psfxl, LongAliasChainResolvesWithoutRecursion) {
    // Record ids are shared between an alias and a later data record, so the
    // chain from the last alias visits every pair down to the first record.
    constexpr std::uint64_t kPairs = 20000;
    const std::vector<double> t = {0.5, 1.5}, v = {-1, 1};
    std::string bytes = kMagicLine;
    bytes += record("3:0:0:2:0:22", std::string(4, '\0') + stored_frame(t) + stored_frame(v));
    for (std::uint64_t i = 1; i <= kPairs; ++i) {
        bytes += record(fmt::cat("3:", fmt::hex(i), ":0:2:0:88"), "");
        bytes += record(fmt::cat("3:", fmt::hex(i), ":0:2:0:a2"), stored_frame({9, 9}));
    }
    auto file = open_bytes(bytes);
    auto wave = file.decode_waveform(kPairs);
    ASSERT_TRUE(wave) << wave.error().text();
    EXPECT_EQ(wave->time, t);
    EXPECT_EQ(wave->values, v);
}

TEST(Psfxl, HostileLengthFieldsAreClippedNotWrapped) {
    const std::vector<double> t = {0, 1}, v = {2, 3};
    std::string bytes = kMagicLine;
    // Length words that overflow when added to an offset.
    bytes += record("3:1:0:2:ffffffffffffffff:20", stored_frame(t) + raw(v));
    bytes += record("3:2:0:2:fffffffffffffff0:02", raw(t) + stored_frame(v));
    // A raw count whose byte size does not fit in 64 bits.
    bytes += record("3:3:0:2000000000000001:0:a0", raw(v));
    auto file = open_bytes(bytes);
    const auto records = file.parse_data_records();
    ASSERT_EQ(records.size(), 3u);
    for (const auto& r : records) {
        EXPECT_LE(r.payload_start, r.payload_end);
        EXPECT_LE(r.payload_end, file.size());
    }
    auto w1 = file.decode_waveform(1);
    ASSERT_TRUE(w1) << w1.error().text();
    EXPECT_EQ(w1->values, v);
    auto w2 = file.decode_waveform(2);
    ASSERT_TRUE(w2) << w2.error().text();
    EXPECT_EQ(w2->time, t);
    auto v3 = records[2].decode_values();
    ASSERT_FALSE(v3);
    EXPECT_EQ(v3.error().text(), fmt::cat("raw-tail f64: payload ", records[2].payload.size(),
                                          " < needed 18446744073709551615 + 1 trailing"));
}

TEST(Psfxl, TagFieldNumbers) {
    EXPECT_EQ(parse_hex_u64("+1F"), 0x1Fu);
    EXPECT_EQ(parse_hex_u64("ffffffffffffffff"), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_FALSE(parse_hex_u64("10000000000000000"));
    EXPECT_FALSE(parse_hex_u64("+"));
    EXPECT_FALSE(parse_hex_u64(""));
    EXPECT_FALSE(parse_hex_u64("-1"));
    EXPECT_FALSE(parse_hex_u64("1 "));
    EXPECT_EQ(parse_hex_u8("ff"), 0xFF);
    EXPECT_FALSE(parse_hex_u8("100"));
    EXPECT_EQ(parse_dec_u32("003"), 3u);
    EXPECT_EQ(parse_dec_u32("4294967295"), 4294967295u);
    EXPECT_FALSE(parse_dec_u32("4294967296"));
    EXPECT_FALSE(parse_dec_u32("a"));
}

TEST(Psfxl, TimeStreamTexts) {
    std::string bytes = kMagicLine;
    bytes += record("3:1:0:1:0:22", std::string(20, 'z'));
    bytes += record("3:2:0:1:0:20", std::string(20, 'z'));
    bytes += record("3:3:0:1:0:02", std::string(20, 'z'));
    bytes += record("3:4:0:1:0:a0", raw({1.0}));
    bytes += record("3:5:0:1:0:10", "zz");
    bytes += record("3:6:0:1:0:83", "zz");
    auto file = open_bytes(bytes);
    const auto records = file.parse_data_records();
    ASSERT_EQ(records.size(), 6u);
    const char* expect[] = {
        "codec StandalonePair: missing primary (time) Blosc frame",
        "codec StandaloneBloscTime: missing primary (time) Blosc frame",
        "0x02: missing Blosc values frame",
        "back-ref record: time lives in a prior standalone record",
        "record has no decodable time stream",
        "record has no decodable time stream",
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        auto time = records[i].decode_time();
        ASSERT_FALSE(time);
        EXPECT_EQ(time.error().text(), expect[i]);
    }
    EXPECT_EQ(records[0].codec.debug(), "StandalonePair");
    EXPECT_EQ(records[5].codec.debug(), "Unknown(131)");
    EXPECT_EQ(records[5].codec.name(), "unknown:0x83");
    // Without a frame, the sample count falls back to tag field 3.
    EXPECT_EQ(records[4].sample_count(), 1u);
    EXPECT_EQ(records[3].sample_count(), 1u);
}

TEST(Psfxl, TagScanMatchesAByteByByteScan) {
    // Random bytes biased towards printable text, colons and terminators.
    std::uint32_t seed = 99;
    auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const char alphabet[] = "0123456789abcdef::::::xyz\n\n\0\0\r\x01\x02\x7f\x80\xff";
    for (int trial = 0; trial < 200; ++trial) {
        std::string bytes = "!ngpsf-1:2:3";
        const std::size_t n = next() % 300;
        for (std::size_t i = 0; i < n; ++i) bytes.push_back(alphabet[next() % (sizeof alphabet - 1)]);
        // Reference: maximal printable runs of at least 6 bytes with two
        // colons, followed by 0x0A, 0x00 or the end.
        std::vector<std::pair<std::uint64_t, std::string>> expect;
        std::size_t i = 0;
        while (i < bytes.size()) {
            const auto printable = [&](std::size_t k) {
                return static_cast<unsigned char>(bytes[k]) >= 0x20 &&
                       static_cast<unsigned char>(bytes[k]) <= 0x7E;
            };
            if (!printable(i)) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < bytes.size() && printable(j)) ++j;
            const std::string run = bytes.substr(i, j - i);
            const bool ended = j == bytes.size() || bytes[j] == '\n' || bytes[j] == '\0';
            if (run.size() >= 6 && std::count(run.begin(), run.end(), ':') >= 2 && ended)
                expect.emplace_back(i, run);
            i = j;
        }
        auto file = open_bytes(bytes);
        std::vector<std::pair<std::uint64_t, std::string>> got;
        for (const auto& tag : file.tags()) got.emplace_back(tag.offset, tag.text);
        ASSERT_EQ(got, expect) << trial;
    }
}
