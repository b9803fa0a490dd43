#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "gm_id/design.h"
#include "test_lut_tables.h"

using namespace morva;
using namespace morva::gm_id;
using morva::lut::TransistorLut;
using morva::lut::testing::linspace;
using morva::lut::testing::nmos_table;

namespace {

Result<DesignResult, NgspiceError> design(const TransistorLut& t, std::vector<Constraint> c,
                                          std::optional<double> vds = std::nullopt, double lo = 5.0,
                                          double hi = 25.0) {
    return solve_design(t, 0, 0, c, vds, lo, hi, std::nullopt);
}

// A table whose grids are affine in (l, vgs, vds) index space, which
// trilinear interpolation reproduces exactly.
TransistorLut affine_table() {
    TransistorLut t = lut::testing::model_table({1e-6}, {0.0}, {1e-7, 2e-7, 3e-7}, linspace(0.0, 0.5, 4),
                                                linspace(0.0, 0.5, 3), 0.5, 0.5);
    for (std::size_t l = 0; l < 3; ++l)
        for (std::size_t g = 0; g < 4; ++g)
            for (std::size_t d = 0; d < 3; ++d) t.id.at(0, 0, l, g, d) = 1.0 + 2.0 * l + 3.0 * g + 5.0 * d;
    return t;
}

}  // namespace

TEST(GmIdVdsIndex, AscendingAndDescendingAxes) {
    const std::vector<double> up{0.0, 0.5, 1.0, 1.5};
    EXPECT_EQ(fractional_vds_index(up, -1.0), 0.0);
    EXPECT_EQ(fractional_vds_index(up, 0.0), 0.0);
    EXPECT_EQ(fractional_vds_index(up, 1.0), 2.0);
    EXPECT_DOUBLE_EQ(fractional_vds_index(up, 1.25), 2.5);
    EXPECT_DOUBLE_EQ(fractional_vds_index(up, 0.1), 0.2);
    EXPECT_EQ(fractional_vds_index(up, 5.0), 3.0);
    const std::vector<double> down{0.0, -0.5, -1.0, -1.5};  // a p-channel sweep
    EXPECT_EQ(fractional_vds_index(down, -1.0), 2.0);
    EXPECT_DOUBLE_EQ(fractional_vds_index(down, -1.25), 2.5);
    EXPECT_EQ(fractional_vds_index(down, 0.3), 0.0);
    EXPECT_EQ(fractional_vds_index(down, -9.0), 3.0);
    EXPECT_EQ(fractional_vds_index({0.7}, 3.0), 0.0);
    EXPECT_EQ(fractional_vds_index({0.0, 1.0, 1.0, 2.0}, 1.0), 1.0);  // duplicate points do not divide by 0
}

TEST(GmIdTrilinear, ReproducesAffineGridsAndExtrapolates) {
    const TransistorLut t = affine_table();
    for (double p : {0.0, 0.3, 1.0, 1.75, 2.0})
        for (double q : {0.0, 0.5, 2.2, 3.0})
            for (double x : {0.0, 0.4, 1.5, 2.0})
                EXPECT_NEAR(trilinear_lut(t, t.id, 0, 0, p, q, x), 1.0 + 2.0 * p + 3.0 * q + 5.0 * x, 1e-12);
    EXPECT_NEAR(trilinear_lut(t, t.id, 0, 0, 2.5, 3.5, 1.0), 1.0 + 5.0 + 10.5 + 5.0, 1e-12);  // past the end
}

TEST(GmIdSolve, EmptyOrInconsistentTables) {
    TransistorLut t = nmos_table();
    EXPECT_EQ(design(t, {}).error().text(), "simulation failed: at least one constraint is required");
    TransistorLut empty = t;
    empty.vgs.clear();
    EXPECT_EQ(design(empty, {{1e-5, ConstraintKind::Ids}}).error().text(), "simulation failed: LUT is empty");
    TransistorLut ragged = t;
    ragged.gm.data.pop_back();
    EXPECT_EQ(design(ragged, {{1e-5, ConstraintKind::Ids}}).error().text(),
              "simulation failed: LUT grids do not match its axes");
    EXPECT_FALSE(solve_design(t, 1, 0, {{1e-5, ConstraintKind::Ids}}, {}, {}, {}, {}).ok());
}

// Branches A and B, the pmos mirror and unmet targets are checked from Python
// against a hand computation on the table (test_gm_id.py); here duplicate
// constraint kinds, which the keyword-only Python method cannot pass.
TEST(GmIdSolve, DuplicateKindsUseTheFirstTargetAndReportEvery) {
    const TransistorLut t = nmos_table();
    auto dup = design(t, {{1e-4, ConstraintKind::Ids}, {2e-4, ConstraintKind::Ids}});
    ASSERT_TRUE(dup.ok());
    EXPECT_NEAR(dup->id, 1e-4, 1e-16);
    EXPECT_EQ(dup->constraint_errors[0].second, 0.0);
    EXPECT_NEAR(dup->constraint_errors[1].second, -0.5, 1e-12);
}
