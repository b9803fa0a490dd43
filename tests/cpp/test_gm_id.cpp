#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "gm_id/design.h"
#include "test_lut_tables.h"

using namespace morva;
using namespace morva::gm_id;
using morva::lut::TransistorLut;
using morva::lut::testing::linspace;
using morva::lut::testing::mirrored_pmos;
using morva::lut::testing::nmos_table;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

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

TEST(GmIdSolve, BranchAWithAndWithoutGain) {
    const TransistorLut t = nmos_table({1e-7, 2e-7, 5e-7, 1e-6});
    auto plain = design(t, {{15.0, ConstraintKind::GmId}});
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(plain->l, 1e-7);  // the smallest length that brackets
    EXPECT_NEAR(plain->gm_over_id, 15.0, 0.5);
    EXPECT_EQ(plain->vds, t.vds[t.vds.size() / 2]);

    auto tuned = design(t, {{15.0, ConstraintKind::GmId}, {40.0, ConstraintKind::Gain}});
    ASSERT_TRUE(tuned.ok());
    EXPECT_GT(tuned->l, 1e-7);
    EXPECT_LT(std::fabs(tuned->constraint_errors[1].second), 0.05);
    EXPECT_EQ(tuned->constraint_errors[0].first, "gm/Id");
    EXPECT_EQ(tuned->constraint_errors[1].first, "gain");

    auto none = design(t, {{30.0, ConstraintKind::GmId}});
    EXPECT_EQ(none.error().text(),
              "simulation failed: No operating point found for gm/Id = 30.00 V⁻¹. Try adjusting "
              "gm_id_min/gm_id_max "
              "or widening the LUT voltage range.");
    EXPECT_TRUE(design(t, {{28.0, ConstraintKind::GmId}}, std::nullopt, 5.0, 40.0).ok());
}

TEST(GmIdSolve, PmosMirrorSizesLikeNmos) {
    const TransistorLut n = nmos_table({1e-7, 2e-7, 5e-7, 1e-6});
    const TransistorLut p = mirrored_pmos(n);
    const std::vector<Constraint> c{
        {15.0, ConstraintKind::GmId}, {30.0, ConstraintKind::Gain}, {100e-6, ConstraintKind::Ids}};
    auto rn = design(n, c);
    auto rp = design(p, c);
    ASSERT_TRUE(rn.ok());
    ASSERT_TRUE(rp.ok()) << rp.error().text();
    EXPECT_GT(rp->w, 0.0);
    EXPECT_DOUBLE_EQ(rp->w, rn->w);
    EXPECT_DOUBLE_EQ(rp->l, rn->l);
    EXPECT_DOUBLE_EQ(rp->vgs, -rn->vgs);
    EXPECT_DOUBLE_EQ(rp->id, -100e-6);
    EXPECT_DOUBLE_EQ(rn->id, 100e-6);
    EXPECT_EQ(rp->constraint_errors[2], (std::pair<std::string, double>{"Ids", 0.0}));
}

TEST(GmIdSolve, BranchBAndUnmetCurrent) {
    const TransistorLut t = nmos_table();
    auto current = design(t, {{1e-4, ConstraintKind::Ids}});
    ASSERT_TRUE(current.ok());
    EXPECT_NEAR(current->id, 1e-4, 1e-16);
    EXPECT_EQ(current->constraint_errors.size(), 1u);

    TransistorLut off = t;  // no current anywhere: W cannot be scaled
    std::fill(off.id.data.begin(), off.id.data.end(), 0.0);
    std::fill(off.gds.data.begin(), off.gds.data.end(), 0.0);
    auto r =
        solve_design(off, 0, 0, {{0.0, ConstraintKind::Gain}, {1e-4, ConstraintKind::Ids}}, {}, {}, {}, 0.0);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->w, 1e-6);
    EXPECT_EQ(r->gain, kInf);
    EXPECT_EQ(r->constraint_errors[0], (std::pair<std::string, double>{"gain", kInf}));
    EXPECT_EQ(r->constraint_errors[1], (std::pair<std::string, double>{"Ids", -1.0}));

    // Duplicate kinds: the first target is used, every entry is reported.
    auto dup = design(t, {{1e-4, ConstraintKind::Ids}, {2e-4, ConstraintKind::Ids}});
    ASSERT_TRUE(dup.ok());
    EXPECT_EQ(dup->constraint_errors[0].second, 0.0);
    EXPECT_NEAR(dup->constraint_errors[1].second, -0.5, 1e-12);
}
