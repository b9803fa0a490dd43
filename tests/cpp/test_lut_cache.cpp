#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "common/io.h"
#include "lut/cache.h"
#include "test_lut_tables.h"

using namespace morva;
using namespace morva::lut;
using morva::lut::testing::model_table;
using morva::lut::testing::TempDir;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string u64le(std::uint64_t v) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(v >> (8 * i));
    return out;
}

// 1 x 1 x 1 x 3 x 2 without operating-point grids.
TransistorLut small_table() {
    return model_table({1e-6}, {0.0}, {1e-6}, {0.0, 0.6, 1.2}, {0.0, 1.2}, 0.6, 1.2);
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

// Python checks the miss, the round trip and a directory at the path; here
// what it cannot reach: a refused save keeps the old file, and a failed save
// leaves no temporary behind.
TEST(LutCacheFile, FailedSavesKeepWhatWasThere) {
    TempDir dir;
    const std::string path = dir.path() + "/a/b/t.bin";
    const TransistorLut t = small_table();
    ASSERT_TRUE(cache::save(path, t).ok());
    TransistorLut invalid = t;
    invalid.gm.data.clear();
    auto refused = cache::save(path, invalid);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, LutError::Kind::Serialization);
    EXPECT_EQ(*read_file(path), cache::encode(t));  // the old file stands

    const std::string as_dir = dir.path() + "/dir.bin";
    ASSERT_EQ(::mkdir(as_dir.c_str(), 0777), 0);
    auto write_dir = cache::save(as_dir, t);
    ASSERT_FALSE(write_dir.ok());
    EXPECT_EQ(write_dir.error().kind, LutError::Kind::Io);
    EXPECT_EQ(list_dir(dir.path()).size(), 2u);        // a, dir.bin: the failed temporary is gone
    auto no_parent = cache::save(path + "/x.bin", t);  // a parent that is a file
    ASSERT_FALSE(no_parent.ok());
    EXPECT_EQ(no_parent.error().kind, LutError::Kind::Io);
}

// Loading reads rows of every length straight into the grids (short rows
// through a buffer, long ones in place): the table is the one decode gives,
// and a damaged file gives decode's error.
TEST(LutCacheFile, LoadReadsWhatDecodeReads) {
    TempDir dir;
    const std::string path = dir.path() + "/t.bin";
    const auto write = [&](const std::string& bytes) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
    };
    const auto load_text = [&](const std::string& bytes) -> std::string {
        write(bytes);
        auto r = cache::load(path);
        if (!r.ok()) return r.error().text();
        return *r ? cache::encode(**r) : std::string("<miss>");
    };
    for (std::size_t n_vds : {2, 37, 300}) {
        const auto vds = lut::testing::linspace(0.0, 0.01, n_vds);
        const TransistorLut t =
            model_table({1e-6, 2e-6}, {0.0, -0.3}, {1e-6}, {0.0, 0.6, 1.2}, vds, 0.6, 0.01, true);
        const std::string bytes = cache::encode(t);
        EXPECT_EQ(load_text(bytes), bytes) << n_vds;
        EXPECT_EQ(load_text(bytes + "tail"), bytes) << n_vds;
        // The id grid's second Vgs row one value short; the whole file cut.
        const std::size_t row1 = 8 * (5 + 2 + 2 + 1 + 3 + n_vds) + 32 + 8 + 8 * n_vds;
        std::string ragged = bytes;
        ragged.replace(row1, 8, u64le(n_vds - 1));
        ragged.erase(row1 + 8, 8);
        std::string long_row = bytes;
        long_row.replace(row1, 8, u64le(n_vds + 1));
        for (const std::string& bad :
             {ragged, long_row, bytes.substr(0, row1 + 12), bytes.substr(0, bytes.size() - 1)})
            EXPECT_EQ(load_text(bad), decode_error(bad)) << n_vds;
    }
}

namespace {

// The configuration `nmos_table` answers: Vgs 0..1.8 by 0.05, Vds 0..1.8 by 0.1.
LutConfig nmos_config() {
    LutConfig c;
    c.widths = {1e-6};
    c.vbs_values = {0.0};
    c.lengths = {1e-6};
    c.vgs = {0.0, 1.8, 0.05};
    c.vds = {0.0, 1.8, 0.1};
    return c;
}

// `nmos_table` mirrored into the p-channel frame: negative sweeps, negative
// currents whose magnitude grows as Vgs falls.
TransistorLut pmos_table() {
    TransistorLut t = lut::testing::nmos_table();
    for (double& v : t.vgs) v = -v;
    for (double& v : t.vds) v = -v;
    for (double& v : t.id.data) v = -v;
    return t;
}

std::string mismatch(const TransistorLut& t, const LutConfig& c) {
    return cache::table_mismatch(t, c).value_or("<matches>");
}

}  // namespace

TEST(LutCacheCheck, AxesMustBeTheConfigured) {
    const TransistorLut table = lut::testing::nmos_table();
    EXPECT_EQ(mismatch(table, nmos_config()), "<matches>");
    struct Case {
        void (*edit)(LutConfig&);
        const char* expected;
    };
    const Case cases[] = {
        {[](LutConfig& c) {
             c.widths = {1e-6, 2e-6};
         },
         "widths: 1 in the table, 2 configured"},
        {[](LutConfig& c) { c.widths = {2e-6}; }, "widths[0]: 1e-6 in the table, 2e-6 configured"},
        {[](LutConfig& c) { c.vbs_values = {-0.0}; }, "<matches>"},
        {[](LutConfig& c) { c.vbs_values = {-0.4}; }, "vbs_values[0]: 0.0 in the table, -0.4 configured"},
        {[](LutConfig& c) {
             c.lengths = {1e-6, 5e-7};
         },
         "lengths: 1 in the table, 2 configured"},
        // The points the sweep implies, not its triple: a stop that adds no
        // point is the same axis.
        {[](LutConfig& c) { c.vgs.stop = 1.82; }, "<matches>"},
        {[](LutConfig& c) { c.vgs.stop = 1.85; }, "vgs: 37 in the table, 38 configured"},
        {[](LutConfig& c) { c.vds.start = 0.1; }, "vds: 19 in the table, 18 configured"},
        {[](LutConfig& c) {
             c.vds = {0.0, 3.6, 0.2};
         },
         "vds[1]: 0.1 in the table, 0.2 configured"},
    };
    for (const Case& k : cases) {
        LutConfig c = nmos_config();
        k.edit(c);
        EXPECT_EQ(mismatch(table, c), k.expected);
    }
}

TEST(LutCacheCheck, HeldParametersMustBeRequested) {
    TransistorLut table =
        lut::testing::model_table({1e-6}, {0.0}, {1e-6}, lut::testing::linspace(0.0, 0.05, 37),
                                  lut::testing::linspace(0.0, 0.1, 19), 0.05, 0.1, true);
    LutConfig c = nmos_config();
    // A model may lack a requested parameter; names match without case.
    for (auto requested : {std::vector<std::string>{"VTH", "cgs"}, {"cgg", "vth", "cgs", "bogus"}}) {
        c.op_params = requested;
        EXPECT_EQ(mismatch(table, c), "<matches>");
    }
    c.op_params = {"vth"};
    EXPECT_EQ(mismatch(table, c), "operating-point parameter \"cgs\" not requested");
    c.op_params = {};
    EXPECT_EQ(mismatch(table, c), "operating-point parameter \"cgs\" not requested");
}

namespace {

// An n-channel table over Vgs from `vgs_start` (step 0.05) with gate-induced
// drain leakage `gidl_max` at the lowest Vgs and the highest Vds, falling
// tenfold every 0.4 V of gate rise: |Id| falls as Vgs rises where the
// channel is off.
TransistorLut gidl_table(double vgs_start, std::size_t n_vgs, double gidl_max) {
    TransistorLut t = model_table({1e-6}, {0.0}, {1e-6}, lut::testing::linspace(vgs_start, 0.05, n_vgs),
                                  lut::testing::linspace(0.0, 0.1, 19), 0.05, 0.1);
    for (std::size_t g = 0; g < n_vgs; ++g)
        for (std::size_t k = 0; k < 19; ++k)
            t.id.at(0, 0, 0, g, k) +=
                gidl_max * std::pow(10.0, -(t.vgs[g] - vgs_start) / 0.4) * std::pow(t.vds[k] / 1.8, 3);
    return t;
}

// `gidl_table` with leakage of BSIM4's form instead: tunnelling through the
// drain's field (Vds - Vgs - 0.8 V across 3 x 4.1 nm of oxide, 2.3e9 V/m)
// times Vds^3 / (0.5 + Vds^3), scaled to `corner` A at the lowest Vgs and
// Vds = 1.8.
TransistorLut field_gidl_table(double vgs_start, std::size_t n_vgs, double corner) {
    TransistorLut t = model_table({1e-6}, {0.0}, {1e-6}, lut::testing::linspace(vgs_start, 0.05, n_vgs),
                                  lut::testing::linspace(0.0, 0.1, 19), 0.05, 0.1);
    const auto gidl = [](double vgs, double vds) {
        const double field = (vds - vgs - 0.8) / (3 * 4.1e-9);
        return field > 0.0 ? field * std::exp(-2.3e9 / field) * vds * vds * vds / (0.5 + vds * vds * vds)
                           : 0.0;
    };
    const double scale = corner / gidl(vgs_start, 1.8);
    for (std::size_t g = 0; g < n_vgs; ++g)
        for (std::size_t k = 0; k < 19; ++k) t.id.at(0, 0, 0, g, k) += scale * gidl(t.vgs[g], t.vds[k]);
    return t;
}

// A one-width, one-length n-channel table over Vgs a..b (step 0.05) as the
// p-channel device over Vgs -b..-a and Vds 0..-1.8 would give it.
TransistorLut p_channel_mirror(const TransistorLut& n) {
    TransistorLut p = n;
    const std::size_t n_vgs = n.vgs.size(), n_vds = n.vds.size();
    p.vgs = lut::testing::linspace(-(n.vgs.front() + 0.05 * static_cast<double>(n_vgs - 1)), 0.05, n_vgs);
    for (double& v : p.vds) v = -v;
    for (std::size_t g = 0; g < n_vgs; ++g)
        for (std::size_t k = 0; k < n_vds; ++k) p.id.at(0, 0, 0, g, k) = -n.id.at(0, 0, 0, n_vgs - 1 - g, k);
    return p;
}

// The configuration whose axes `t` has: one W, Vbs and L, Vgs stepped by
// 0.05 V and Vds by 0.1 V, either way.
LutConfig config_of(const TransistorLut& t, DeviceType type) {
    LutConfig c = nmos_config();
    c.device_type = type;
    const auto sweep = [](const std::vector<double>& axis, double step) {
        return SweepRange{axis.front(), axis.back(), axis.back() < axis.front() ? -step : step};
    };
    c.vgs = sweep(t.vgs, 0.05);
    c.vds = sweep(t.vds, 0.1);
    return c;
}

}  // namespace

// Nothing in the currents tells the polarity for sure: a device swept where
// its channel is off leaks through the drain more as the gate moves away from
// conduction, as the other polarity's channel would conduct, and heavy
// leakage reaches a channel's current even with the drain near the source.
// So no table is refused for its currents, whichever device is configured.
TEST(LutCacheCheck, TheCurrentsDecideNoPolarity) {
    struct Case {
        const char* what;
        TransistorLut table;
    };
    std::vector<Case> cases = {
        {"n channel", lut::testing::nmos_table()},
        {"p channel", pmos_table()},
        // Vgs -1.2..0.2: 18 uA/um of leakage at Vds = 0.6 V, Vgs = -1.2 V.
        {"heavy leakage near the source", gidl_table(-1.2, 29, 5e-4)},
        {"heavy leakage near the source, p mirror", p_channel_mirror(gidl_table(-1.2, 29, 5e-4))},
        {"leakage in the off region", gidl_table(-1.5, 31, 5e-7)},
        {"leakage in the off region, p mirror", p_channel_mirror(gidl_table(-1.5, 31, 5e-7))},
        {"leakage then the channel", gidl_table(-1.5, 67, 5e-7)},
        {"field leakage", field_gidl_table(-1.5, 31, 2.3e-4)},
        {"field leakage, p mirror", p_channel_mirror(field_gidl_table(-1.5, 31, 2.3e-4))},
        {"field leakage then the channel", field_gidl_table(-1.5, 67, 2.3e-4)},
        {"Vds from 0.6 V", model_table({1e-6}, {0.0}, {1e-6}, lut::testing::linspace(0.0, 0.05, 37),
                                       lut::testing::linspace(0.6, 0.1, 12), 0.05, 0.1)},
    };
    ASSERT_GT(std::fabs(cases[2].table.id.at(0, 0, 0, 0, 6)), 1e-5);  // 10 A/m at Vds = 0.6 V
    // Vgs swept downwards, currents all zero, all NaN, or a fall as large as the rise.
    TransistorLut down = lut::testing::nmos_table();
    const auto d = down.id.dims;
    for (std::size_t g = 0; g < d[3] / 2; ++g)
        for (std::size_t k = 0; k < d[4]; ++k)
            std::swap(down.id.at(0, 0, 0, g, k), down.id.at(0, 0, 0, d[3] - 1 - g, k));
    down.vgs = lut::testing::linspace(1.8, -0.05, d[3]);
    cases.push_back({"swept downwards", down});
    TransistorLut flat = lut::testing::nmos_table();
    for (double& v : flat.id.data) v = 0.0;
    cases.push_back({"all zero", flat});
    for (double& v : flat.id.data) v = kNaN;
    cases.push_back({"all NaN", flat});
    TransistorLut mixed = lut::testing::nmos_table();
    for (std::size_t g = 0; g < d[3]; ++g)
        for (std::size_t k = 0; k < d[4]; ++k)
            mixed.id.at(0, 0, 0, g, k) = g == 1 ? 0.0 : 1e-9 * static_cast<double>(k);
    cases.push_back({"mixed", mixed});

    for (const Case& k : cases) {
        for (DeviceType type : {DeviceType::Nmos, DeviceType::Pmos})
            EXPECT_EQ(mismatch(k.table, config_of(k.table, type)), "<matches>")
                << k.what << " as " << device_type_name(type);
    }
}

TEST(LutCacheCheck, NativeTablesHoldEveryParameterTheEvaluatorGives) {
    TempDir dir;
    const std::string bsim4 = dir.path() + "/bsim4.lib", level3 = dir.path() + "/level3.lib";
    std::ofstream(bsim4) << ".model nch nmos level=54 version=4.8\n"
                            ".subckt nfet d g s b\nm0 d g s b nch w=1u l=1u\n.ends\n";
    std::ofstream(level3) << ".model nch nmos level=3 vto=0.7\n";

    TransistorLut with_vth =
        model_table({1e-6}, {0.0}, {1e-6}, lut::testing::linspace(0.0, 0.05, 37),
                    lut::testing::linspace(0.0, 0.1, 19), 0.05, 0.1, true);  // holds cgs and vth
    TransistorLut without_vth = with_vth;
    without_vth.extracted_op_params = {"cgs"};
    struct Case {
        const TransistorLut* table;
        bool native;
        std::string model_file, model_name;
        std::vector<std::string> op_params;
        std::string expected;
    };
    const std::string missing = "operating-point parameter \"vth\" requested but not in the table";
    const Case cases[] = {
        // The native evaluator gives vth whenever it is requested.
        {&without_vth, true, bsim4, "nch", {"cgs", "VTH"}, missing},
        {&without_vth, true, bsim4, "nfet", {"cgs", "vth"}, missing},  // the model inside the subcircuit
        {&with_vth,
         true,
         bsim4,
         "nch",
         {"cgs", "vth", "vdsat"},
         "operating-point parameter \"vdsat\" requested but not in the table"},
        {&with_vth, true, bsim4, "nch", {"cgs", "vth", "cgg"}, "<matches>"},  // cgg it never gives
        // The pool serves these, and a model may lack what is requested.
        {&without_vth, false, bsim4, "nch", {"cgs", "vth"}, "<matches>"},
        {&without_vth, true, level3, "nch", {"cgs", "vth"}, "<matches>"},
        {&without_vth, true, bsim4, "pch", {"cgs", "vth"}, "<matches>"},
        {&without_vth, true, dir.path() + "/none.lib", "nch", {"cgs", "vth"}, "<matches>"},
    };
    for (const Case& k : cases) {
        LutConfig c = nmos_config();
        c.use_native_bsim4 = k.native;
        c.model_file = k.model_file;
        c.model_name = k.model_name;
        c.op_params = k.op_params;
        EXPECT_EQ(mismatch(*k.table, c), k.expected) << k.model_file << " " << k.model_name;
    }
}
