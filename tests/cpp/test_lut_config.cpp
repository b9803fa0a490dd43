#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lut/config.h"

using namespace morva::lut;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::string failure(const LutConfigRequest& r) {
    auto c = resolve_config(r);
    return c.ok() ? std::string("<ok>") : c.error();
}

}  // namespace

TEST(SweepRange, PointCountRoundsTheQuotient) {
    auto p = SweepRange{1e-7, 1e-6, 1e-7}.points();
    ASSERT_EQ(p.size(), 10u);
    EXPECT_DOUBLE_EQ(p.back(), 1e-6);
    // Stop below start: one point here; resolve_config refuses such a sweep.
    EXPECT_EQ((SweepRange{1e-6, 1e-7, 1e-7}.points()), std::vector<double>{1e-6});
    EXPECT_EQ((SweepRange{0.0, 1.8, 0.05}.points().size()), 37u);
    // i * step + start: the product first.
    EXPECT_EQ((SweepRange{0.0, 1.8, 0.05}.points()[3]), 3.0 * 0.05);
    auto down = SweepRange{0.0, -1.8, -0.6}.points();
    EXPECT_EQ(down, (std::vector<double>{0.0, -0.6, -1.2, 3.0 * -0.6 + 0.0}));
    EXPECT_EQ((SweepRange{0.0, 0.25, 0.1}.points().size()), 4u);  // 2.5 rounds away from zero
    EXPECT_EQ((SweepRange{0.0, kNaN, 0.1}.point_count()), 1u);
    EXPECT_EQ((SweepRange{0.0, 1.0, 0.0}.point_count()), std::numeric_limits<std::size_t>::max());
}

TEST(SweepRange, LogspaceLengths) {
    EXPECT_TRUE(logspace_lengths(0, 1e-7, 1e-6).empty());
    EXPECT_EQ(logspace_lengths(1, 1e-7, 1e-6), std::vector<double>{1e-7});
    auto up = logspace_lengths(3, 1e-7, 1e-5);
    ASSERT_EQ(up.size(), 3u);
    EXPECT_NEAR(up[0], 1e-7, 1e-20);
    EXPECT_NEAR(up[1], 1e-6, 1e-19);
    EXPECT_NEAR(up[2], 1e-5, 1e-18);
    auto down = logspace_lengths(3, 1e-6, 1e-7);
    EXPECT_GT(down[0], down[1]);
    EXPECT_GT(down[1], down[2]);
}

// Defaults, lists and the common error texts are checked from Python; here
// the order of the checks and the boundaries of each.
TEST(LutConfigResolve, ErrorsInOrderAndBoundaries) {
    LutConfigRequest r;
    r.lengths = SweepRange{1e-7, 1e-6, 0.0};
    r.lengths_log = LutConfigRequest::LogLengths{0.0, 1e-6, 0};
    EXPECT_EQ(failure(r), "lengths, lengths_log, lengths_values are mutually exclusive — pass at most one");
    r.lengths.reset();
    EXPECT_EQ(failure(r), "lengths_log requires strictly positive start and stop");
    r.lengths_log = LutConfigRequest::LogLengths{kNaN, 1e-6, 2};
    EXPECT_EQ(failure(r), "lengths_log requires strictly positive start and stop");
    r.lengths_log = LutConfigRequest::LogLengths{1e-7, kInf, 2};
    EXPECT_EQ(failure(r), "lengths_log requires finite start and stop");
    r.lengths_log = LutConfigRequest::LogLengths{1e-7, 1e-6, 1ull << 62};
    EXPECT_EQ(failure(r), "lengths_log must have at most 1000000 points, got 4611686018427387904");
    r.lengths_log.reset();

    r.lengths_values = std::vector<double>{};
    r.widths_values = std::vector<double>{};
    EXPECT_EQ(failure(r), "lengths_values must not be empty");
    for (double bad : {-1e-7, kNaN}) {
        r.lengths_values = std::vector<double>{1e-7, bad};
        EXPECT_EQ(failure(r), "lengths_values must contain strictly positive finite numbers");
    }
    r.lengths_values.reset();
    r.widths_values = std::vector<double>{kNaN};
    EXPECT_EQ(failure(r), "widths_values must contain strictly positive finite numbers");
    r.widths_values.reset();

    for (double step : {-0.0, kNaN, kInf}) {
        r.vgs = SweepRange{0.0, 1.8, step};
        EXPECT_TRUE(failure(r).starts_with("vgs step must be a finite non-zero number, got ")) << failure(r);
    }
    r.vgs = SweepRange{0.0, 1.8, 0.05};
    r.vds = SweepRange{0.0, 1.0, 1e-300};
    EXPECT_EQ(failure(r), "vds sweep must have at most 1000000 points, got more");
    r.vds = SweepRange{0.0, 1.0, 1e-6};  // exactly 1000001 points
    EXPECT_EQ(failure(r), "vds sweep must have at most 1000000 points, got 1000001");
    // A step pointing away from the stop is refused; a descending sweep with a
    // negative step, and any step of a sweep that starts at its stop, are not.
    r.vds = SweepRange{0.0, -1.8, 0.05};
    EXPECT_EQ(failure(r),
              "vds step 0.05 runs away from stop -1.8 (start 0): give it the sign of stop - start");
    r.vds = SweepRange{1.8, 0.0, 0.1};
    EXPECT_EQ(failure(r), "vds step 0.1 runs away from stop 0 (start 1.8): give it the sign of stop - start");
    // Checked before the point count, which a 1e-300 step would exceed.
    r.vds = SweepRange{0.0, 1.0, -1e-300};
    EXPECT_TRUE(failure(r).starts_with("vds step -0.000")) << failure(r);
    for (const SweepRange ok :
         {SweepRange{1.8, 0.0, -0.1}, SweepRange{0.5, 0.5, -0.1}, SweepRange{0.5, 0.5, 1.0}}) {
        r.vds = ok;
        EXPECT_TRUE(resolve_config(r).ok()) << ok.start << " " << ok.stop << " " << ok.step;
    }
    r.vds = SweepRange{0.0, 1.8, 0.05};
    r.lengths = SweepRange{1e-6, 1e-7, 1e-7};
    EXPECT_EQ(failure(r),
              "lengths step 0.0000001 runs away from stop 0.0000001 (start 0.000001): give it the sign of "
              "stop - start");
}
