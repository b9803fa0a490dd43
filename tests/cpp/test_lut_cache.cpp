#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "common/io.h"
#include "lut/cache.h"
#include "test_lut_tables.h"

using namespace morva;
using namespace morva::lut;
using morva::lut::testing::linspace;
using morva::lut::testing::model_table;
using morva::lut::testing::TempDir;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string u64le(std::uint64_t v) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(v >> (8 * i));
    return out;
}

std::string f64le(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return u64le(bits);
}

// 1 x 1 x 1 x 3 x 2 without operating-point grids.
TransistorLut small_table() {
    return model_table({1e-6}, {0.0}, {1e-6}, {0.0, 0.6, 1.2}, {0.0, 1.2}, 0.6, 1.2);
}

bool bitwise_equal(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}

void expect_same_table(const TransistorLut& a, const TransistorLut& b) {
    EXPECT_EQ(a.widths, b.widths);
    EXPECT_EQ(a.vbs_values, b.vbs_values);
    EXPECT_EQ(a.lengths, b.lengths);
    EXPECT_EQ(a.vgs, b.vgs);
    EXPECT_EQ(a.vds, b.vds);
    for (std::size_t i = 0; i < kGridCount; ++i) {
        EXPECT_EQ(a.grid(i).dims, b.grid(i).dims) << GRID_NAMES[i];
        EXPECT_TRUE(bitwise_equal(a.grid(i).data, b.grid(i).data)) << GRID_NAMES[i];
    }
    EXPECT_EQ(a.extracted_op_params, b.extracted_op_params);
}

std::string decode_error(const std::string& bytes) {
    auto r = cache::decode(bytes);
    return r.ok() ? std::string("<ok>") : r.error().text();
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

}  // namespace

TEST(LutCacheKey, DefaultDocument) {
    EXPECT_EQ(
        cache::key_document(LutConfig{}),
        "{\"v\":3,\"device_type\":\"nmos\",\"model_card\":\"\",\"model_file\":null,\"model_section\":null,"
        "\"model_name\":\"nch\",\"widths\":[0.00001],\"lengths\":[5e-7],\"vgs\":[0.0,1.8,0.05],"
        "\"vds\":[0.0,1.8,0.05],\"vbs_values\":[0.0],\"subcircuit\":false,\"width_param\":\"W\","
        "\"length_param\":\"L\",\"model_includes\":[],\"device_name\":\"m0\",\"op_params\":[],"
        "\"use_native_bsim4\":false,\"use_dc_solver\":false,\"subcircuit_name\":null}");
    auto key = cache::cache_key(LutConfig{});
    ASSERT_TRUE(key.ok());
    EXPECT_EQ(*key, "v3-67d534f574505ccb6537ad35927ef35baea56651b49ea60d522fe19d8557e3f2");
    EXPECT_FALSE(cache::key_problem(*key).has_value());
}

TEST(LutCacheKey, NumberForms) {
    LutConfig c;
    c.widths = {0.00001,
                1e-6,
                1.3e-7,
                1e15,
                1e16,
                2.5e20,
                -0.0,
                3.0,
                123.456,
                1e-5 * 0.99,
                -5e-7,
                kNaN,
                std::numeric_limits<double>::infinity(),
                5e-324,
                1.7976931348623157e308,
                0.1 + 0.2};
    const std::string doc = cache::key_document(c);
    EXPECT_NE(doc.find("\"widths\":[0.00001,1e-6,1.3e-7,1000000000000000.0,1e+16,2.5e+20,-0.0,3.0,123.456,"
                       "9.9e-6,-5e-7,null,null,5e-324,1.7976931348623157e+308,0.30000000000000004]"),
              std::string::npos)
        << doc;
}

TEST(LutCacheKey, StringsPathsAndOrdering) {
    LutConfig c;
    c.device_type = DeviceType::Pmos;
    c.model_card = "a\"b\\c\b\t\n\f\r\x01\x1f\x7f é";
    c.model_file = "/abs/model.lib";
    c.model_section = "tt";
    c.model_includes = {{"rel/x.lib", "ff"}};
    c.op_params = {"vth", "cgg", "Vth", "vth"};
    c.subcircuit_name = "nfet";
    const std::string doc = cache::key_document(c);
    EXPECT_NE(doc.find("\"device_type\":\"pmos\""), std::string::npos);
    EXPECT_NE(doc.find("\"model_card\":\"a\\\"b\\\\c\\b\\t\\n\\f\\r\\u0001\\u001f\x7f é\""),
              std::string::npos)
        << doc;
    EXPECT_NE(doc.find("\"model_file\":\"/abs/model.lib\",\"model_section\":\"tt\""), std::string::npos);
    const std::string cwd = cache::resolve(".");
    EXPECT_EQ(cwd.substr(cwd.size() - 2), "/.");  // joined, not normalised
    EXPECT_NE(doc.find("\"model_includes\":[[\"" + cache::resolve("rel/x.lib") + "\",\"ff\"]]"),
              std::string::npos);
    EXPECT_NE(doc.find("\"op_params\":[\"Vth\",\"cgg\",\"vth\",\"vth\"]"), std::string::npos);
    EXPECT_NE(doc.find("\"subcircuit_name\":\"nfet\"}"), std::string::npos);

    LutConfig a, b;
    a.op_params = {"vth", "cgg"};
    b.op_params = {"cgg", "vth"};
    EXPECT_EQ(*cache::cache_key(a), *cache::cache_key(b));
    b.op_params = {"cgg", "vth", "vth"};
    EXPECT_NE(*cache::cache_key(a), *cache::cache_key(b));
}

TEST(LutCacheKey, KeysThatLeaveTheDirectory) {
    for (const char* bad : {"", ".", "..", "../x", "a/b", "/etc/passwd"})
        EXPECT_TRUE(cache::key_problem(bad).has_value()) << bad;
    EXPECT_TRUE(cache::key_problem(std::string("a\0b", 3)).has_value());
    EXPECT_EQ(*cache::key_problem("../x"),
              "invalid LUT cache key \"../x\": it contains '/' (a key must be a plain file name)");
    EXPECT_FALSE(cache::key_problem("...").has_value());
    EXPECT_FALSE(cache::key_problem("my-table").has_value());
}

TEST(LutCacheKey, PathUnderHome) {
    const char* old = std::getenv("HOME");
    const std::string saved = old ? old : "";
    ::setenv("HOME", "/h/", 1);
    EXPECT_EQ(cache::cache_path("k"), "/h/.cache/morva/k.bin");
    ::unsetenv("HOME");
    EXPECT_EQ(cache::cache_path("k"), "./.cache/morva/k.bin");
    if (old) ::setenv("HOME", saved.c_str(), 1);
}

TEST(LutCacheFile, LayoutAndSize) {
    const TransistorLut t = small_table();
    const std::string bytes = cache::encode(t);
    EXPECT_EQ(bytes.size(), 808u);
    EXPECT_EQ(bytes.substr(0, 16), u64le(1) + f64le(1e-6));
    EXPECT_EQ(bytes.substr(8, 8), std::string("\x8d\xed\xb5\xa0\xf7\xc6\xb0\x3e", 8));
    // A grid empty at its top level takes one count.
    TransistorLut e = t;
    for (auto& g : e.op) g = Grid5{};
    EXPECT_EQ(cache::encode(e).size(), 808u - 12 * 24);
    auto back = cache::decode(bytes);
    ASSERT_TRUE(back.ok()) << back.error().text();
    expect_same_table(t, *back);
    // Extra bytes after the table are ignored.
    ASSERT_TRUE(cache::decode(bytes + "trailing junk").ok());
}

TEST(LutCacheFile, RoundTripKeepsNaNAndExtractedGrids) {
    TransistorLut t = model_table({1e-6, 2e-6}, {0.0, -0.3}, {1e-7, 2e-7, 5e-7}, linspace(0.0, 0.3, 4),
                                  linspace(0.0, 0.6, 3), 0.3, 0.6, true);
    t.id.data[5] = kNaN;
    t.gm.data[6] = -std::numeric_limits<double>::infinity();
    t.op[0] = Grid5{};
    const std::string bytes = cache::encode(t);
    auto back = cache::decode(bytes);
    ASSERT_TRUE(back.ok()) << back.error().text();
    expect_same_table(t, *back);
    EXPECT_EQ(cache::encode(*back), bytes);
}

TEST(LutCacheFile, TruncationAndHugeCounts) {
    const std::string bytes = cache::encode(small_table());
    for (std::size_t cut : {std::size_t{0}, std::size_t{7}, std::size_t{100}, bytes.size() - 1})
        EXPECT_EQ(decode_error(bytes.substr(0, cut)),
                  "LUT cache serialization error: io error: unexpected end of file")
            << cut;
    // A count of 2^62 (and 2^64 - 1) fails at once, before any allocation.
    EXPECT_EQ(decode_error(u64le(1ull << 62) + bytes.substr(8)),
              "LUT cache serialization error: io error: unexpected end of file");
    std::string huge_grid = bytes;
    huge_grid.replace(104, 8, u64le(~0ull));  // the id grid's width count
    EXPECT_EQ(decode_error(huge_grid), "LUT cache serialization error: io error: unexpected end of file");
    std::string huge_text = bytes.substr(0, bytes.size() - 8) + u64le(1) + u64le(1ull << 62);
    EXPECT_EQ(decode_error(huge_text), "LUT cache serialization error: io error: unexpected end of file");
}

TEST(LutCacheFile, InvalidTablesAreRefused) {
    const TransistorLut base = small_table();
    // The id grid's second Vgs row holds one value instead of two.
    std::string ragged = cache::encode(base);
    const std::size_t row1 = 104 + 32 + 24;  // after the counts and the first row
    ragged.replace(row1, 8, u64le(1));
    ragged.erase(row1 + 16, 8);
    EXPECT_EQ(decode_error(ragged), "LUT cache serialization error: invalid table: grid 'id' is ragged");
    // ... reported only when the rest of the file is complete.
    EXPECT_EQ(decode_error(ragged.substr(0, ragged.size() - 1)),
              "LUT cache serialization error: io error: unexpected end of file");

    TransistorLut unknown = base;
    unknown.extracted_op_params = {"bogus"};
    EXPECT_EQ(decode_error(cache::encode(unknown)),
              "LUT cache serialization error: invalid table: unknown operating-point parameter \"bogus\"");
    TransistorLut missing = base;
    missing.extracted_op_params = {"vth"};
    EXPECT_EQ(decode_error(cache::encode(missing)),
              "LUT cache serialization error: invalid table: grid 'vth' has shape (1, 1, 1, 0, 0), expected "
              "(1, 1, 1, 3, 2)");
    TransistorLut wrong = base;
    wrong.vds.push_back(2.4);
    EXPECT_EQ(decode_error(cache::encode(wrong)),
              "LUT cache serialization error: invalid table: grid 'id' has shape (1, 1, 1, 3, 2), expected "
              "(1, 1, 1, 3, 3)");
    TransistorLut no_width = base;
    no_width.widths.clear();
    EXPECT_EQ(decode_error(cache::encode(no_width)),
              "LUT cache serialization error: invalid table: the width axis is empty");

    std::string bad_utf8 = cache::encode(base);
    bad_utf8.replace(bad_utf8.size() - 8, 8, u64le(1) + u64le(3) + std::string("a\xff", 2) + "b");
    EXPECT_EQ(
        decode_error(bad_utf8),
        "LUT cache serialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from "
        "index 1");
    std::string cut_utf8 = cache::encode(base);
    cut_utf8.replace(cut_utf8.size() - 8, 8, u64le(1) + u64le(2) + std::string("a\xe2", 2));
    EXPECT_EQ(decode_error(cut_utf8),
              "LUT cache serialization error: string is not valid utf8: incomplete utf-8 byte sequence from "
              "index 1");
}

TEST(LutCacheFile, SaveAndLoad) {
    TempDir dir;
    const std::string path = dir.path() + "/a/b/t.bin";
    auto miss = cache::load(path);
    ASSERT_TRUE(miss.ok());
    EXPECT_FALSE(miss->has_value());
    EXPECT_TRUE(list_dir(dir.path()).empty());  // a miss creates nothing

    const TransistorLut t = small_table();
    ASSERT_TRUE(cache::save(path, t).ok());
    EXPECT_EQ(list_dir(dir.path() + "/a/b"), std::vector<std::string>{"t.bin"});  // no temporary left
    auto hit = cache::load(path);
    ASSERT_TRUE(hit.ok());
    ASSERT_TRUE(hit->has_value());
    expect_same_table(t, **hit);
    ASSERT_TRUE(cache::save(path, **hit).ok());
    EXPECT_EQ(*read_file(path), cache::encode(t));

    TransistorLut invalid = t;
    invalid.gm.data.clear();
    auto refused = cache::save(path, invalid);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, LutError::Kind::Serialization);
    EXPECT_EQ(*read_file(path), cache::encode(t));  // the old file stands

    const std::string as_dir = dir.path() + "/dir.bin";
    ASSERT_EQ(::mkdir(as_dir.c_str(), 0777), 0);
    auto read_dir = cache::load(as_dir);
    ASSERT_FALSE(read_dir.ok());
    EXPECT_EQ(read_dir.error().kind, LutError::Kind::Io);
    auto write_dir = cache::save(as_dir, t);
    ASSERT_FALSE(write_dir.ok());
    EXPECT_EQ(write_dir.error().kind, LutError::Kind::Io);
    EXPECT_EQ(list_dir(dir.path()).size(), 2u);  // a, dir.bin: the failed temporary is gone

    const std::string under_file = path + "/x.bin";  // a parent that is a file
    auto no_parent = cache::save(under_file, t);
    ASSERT_FALSE(no_parent.ok());
    EXPECT_EQ(no_parent.error().kind, LutError::Kind::Io);
}
