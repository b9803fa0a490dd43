#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "common/format.h"
#include "common/io.h"
#include "lut/table.h"
#include "test_lut_tables.h"

using namespace morva;
using namespace morva::lut;
using morva::lut::testing::linspace;
using morva::lut::testing::model_table;
using morva::lut::testing::TempDir;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A table whose every value encodes its own position, so that slices can be
// checked by value: id = w*10000 + b*1000 + l*100 + g*10 + d.
TransistorLut indexed_table(std::size_t n_w, std::size_t n_b, std::size_t n_l, std::size_t n_g,
                            std::size_t n_d) {
    TransistorLut t;
    t.widths = linspace(1e-6, 1e-6, n_w);
    t.vbs_values = linspace(0.0, -0.3, n_b);
    t.lengths = linspace(1e-7, 1e-7, n_l);
    t.vgs = linspace(0.0, 0.5, n_g);
    t.vds = linspace(0.0, 0.5, n_d);
    t.id = Grid5(t.shape(), 0.0);
    for (std::size_t w = 0; w < n_w; ++w)
        for (std::size_t b = 0; b < n_b; ++b)
            for (std::size_t l = 0; l < n_l; ++l)
                for (std::size_t g = 0; g < n_g; ++g)
                    for (std::size_t d = 0; d < n_d; ++d)
                        t.id.at(w, b, l, g, d) = double(w * 10000 + b * 1000 + l * 100 + g * 10 + d);
    t.gm = t.id;
    t.gds = t.id;
    for (auto& g : t.op) g = unextracted_grid(n_w, n_b, n_l);
    t.op[0] = Grid5{};  // one op grid empty at its top level
    return t;
}

}  // namespace

TEST(LutDerivatives, ForwardCentralBackward) {
    const double rows[] = {0, 0, 1, 2, 4, 8};  // [[0, 0], [1, 2], [4, 8]]
    double out[6];
    diff_vgs(rows, 3, 2, 1.0, out);
    EXPECT_EQ(std::vector<double>(out, out + 6), (std::vector<double>{1, 2, 2, 4, 3, 6}));
    diff_vgs(rows, 1, 2, 1.0, out);  // a single row
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[1], 0.0);

    const double row[] = {0, 1, 4};
    diff_vds(row, 1, 3, 0.5, out);
    EXPECT_EQ(std::vector<double>(out, out + 3), (std::vector<double>{2, 4, 6}));
    const double column[] = {3, 5};  // rows of one value
    diff_vds(column, 2, 1, 0.5, out);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[1], 0.0);
    const double with_nan[] = {0, kNaN, 4};
    diff_vds(with_nan, 1, 3, 1.0, out);
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(out[1], 2.0);  // central difference skips the NaN
}

TEST(LutTable, NearestIndex) {
    const std::vector<double> axis{1.0, 3.0};
    EXPECT_EQ(nearest_index(axis, 2.0), 0u);  // tie: lower index
    EXPECT_EQ(nearest_index(axis, 2.5), 1u);
    EXPECT_EQ(nearest_index(axis, 1e9), 1u);
    EXPECT_EQ(nearest_index(axis, kNaN), std::nullopt);
    EXPECT_EQ(nearest_index({5.0}, kNaN), 0u);
    EXPECT_EQ(nearest_index({}, 1.0), 0u);
    EXPECT_EQ(nearest_index({kNaN, 3.0, 1.0}, 1.2), 2u);  // a NaN axis value never wins
}

TEST(LutTable, SelectionAndSlices) {
    const TransistorLut t = indexed_table(2, 3, 4, 2, 3);
    const TransistorLut s = t.slice_w_vbs(1, 2);
    EXPECT_EQ(s.shape(), (std::array<std::size_t, 5>{1, 1, 4, 2, 3}));
    EXPECT_EQ(s.id.dims, (std::array<std::size_t, 5>{1, 1, 4, 2, 3}));
    EXPECT_EQ(s.id.at(0, 0, 3, 1, 2), 12312.0);
    EXPECT_EQ(s.op[0].dims[0], 0u);  // empty stays empty
    EXPECT_EQ(s.op[1].dims, (std::array<std::size_t, 5>{1, 1, 4, 0, 0}));
    EXPECT_FALSE(s.invariant_violation().has_value());

    const TransistorLut sl = s.slice_l(2);
    EXPECT_EQ(sl.shape(), (std::array<std::size_t, 5>{1, 1, 1, 2, 3}));
    EXPECT_EQ(sl.id.at(0, 0, 0, 1, 0), 12210.0);
    EXPECT_EQ(sl.op[1].dims, (std::array<std::size_t, 5>{1, 1, 1, 0, 0}));

    auto first = select(t, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first->shape(), (std::array<std::size_t, 5>{1, 1, 4, 2, 3}));
    EXPECT_EQ(first->widths[0], t.widths[0]);
    EXPECT_EQ(first->vbs_values[0], t.vbs_values[0]);
    auto at = select(t, 1.9e-6, -0.5, 3.4e-7);
    ASSERT_TRUE(at.ok());
    EXPECT_EQ(at->shape(), (std::array<std::size_t, 5>{1, 1, 1, 2, 3}));
    EXPECT_EQ(at->id.at(0, 0, 0, 0, 0), 12200.0);  // w 1, vbs -0.6 (index 2), l 3e-7 (index 2)
    EXPECT_EQ(select(t, kNaN, std::nullopt, std::nullopt).error(), "width is NaN: no nearest grid point");
    EXPECT_EQ(select(t, std::nullopt, kNaN, std::nullopt).error(), "vbs is NaN: no nearest grid point");
    EXPECT_EQ(select(t, std::nullopt, std::nullopt, kNaN).error(), "length is NaN: no nearest grid point");
    EXPECT_TRUE(select(indexed_table(1, 1, 1, 2, 2), kNaN, kNaN, kNaN).ok());  // one-value axes
}

TEST(LutTable, Invariants) {
    TransistorLut t = indexed_table(1, 2, 1, 2, 2);
    EXPECT_FALSE(t.invariant_violation().has_value());
    t.extracted_op_params = {"cgs"};
    EXPECT_EQ(*t.invariant_violation(), "grid 'cgs' has shape (1, 2, 1, 0, 0), expected (1, 2, 1, 2, 2)");
    t.op[1] = Grid5(t.shape(), 0.0);
    EXPECT_FALSE(t.invariant_violation().has_value());
    t.extracted_op_params = {"cgs", "cgs"};
    EXPECT_EQ(*t.invariant_violation(), "operating-point parameter \"cgs\" listed twice");
    t.extracted_op_params = {"CGS"};
    EXPECT_EQ(*t.invariant_violation(), "unknown operating-point parameter \"CGS\"");
    t.extracted_op_params = {};
    t.gm.data.pop_back();
    EXPECT_EQ(*t.invariant_violation(), "grid 'gm' holds a wrong number of values");
    t = indexed_table(1, 2, 1, 2, 2);
    t.gds = Grid5({1, 2, 1, 2, 1}, 0.0);
    EXPECT_EQ(*t.invariant_violation(), "grid 'gds' has shape (1, 2, 1, 2, 1), expected (1, 2, 1, 2, 2)");
    t = indexed_table(1, 2, 1, 2, 2);
    t.lengths.clear();
    EXPECT_EQ(*t.invariant_violation(), "the length axis is empty");
}

// Header, row order and the number form are checked from Python; here the
// columns follow the extraction order, NaN prints as such, and an empty axis
// leaves the header alone.
TEST(LutCsv, ExtractionOrderNaNAndEmptyAxes) {
    TempDir dir;
    TransistorLut t = indexed_table(1, 2, 1, 3, 2);
    t.op[*op_param_index("cgs")] = Grid5(t.shape(), 1e-15);
    t.op[*op_param_index("vth")] = Grid5(t.shape(), kNaN);
    t.extracted_op_params = {"vth", "cgs"};
    const std::string path = dir.path() + "/t.csv";
    ASSERT_TRUE(t.write_csv(path).ok());
    const std::string csv = *read_file(path);
    EXPECT_TRUE(csv.starts_with(
        "W,Vbs,L,Vgs,Vds,Id,gm,gds,vth,cgs\n"
        "1.000000e-6,0.000000e0,1.000000e-7,0.000000e0,0.000000e0,0.000000e0,0.000000e0,0.000000e0,NaN,"
        "1.000000e-15\n"));
    TransistorLut empty_axis = indexed_table(1, 1, 1, 0, 2);
    ASSERT_TRUE(empty_axis.write_csv(path).ok());
    EXPECT_EQ(*read_file(path), "W,Vbs,L,Vgs,Vds,Id,gm,gds\n");
}

TEST(LutConductances, FilledPerBlock) {
    TransistorLut t =
        model_table({1e-6, 2e-6}, {0.0}, {1e-6}, linspace(0.0, 0.1, 5), linspace(0.0, 0.2, 4), 0.1, 0.2);
    double expected[20];
    diff_vgs(t.id.data.data() + 20, 5, 4, 0.1, expected);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(t.gm.data[20 + i], expected[i]);
    diff_vds(t.id.data.data(), 5, 4, 0.2, expected);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(t.gds.data[i], expected[i]);
}
