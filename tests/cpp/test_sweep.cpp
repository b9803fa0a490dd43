// The one shape check and point count every sweep of the system goes
// through (LutConfig's axes and lengths, DcSolver.sweep).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "common/sweep.h"

using morva::sweep_point_count;
using morva::sweep_shape_problem;

TEST(SweepShape, WhatIsNoSweep) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    struct Case {
        double start, stop, step;
        const char* expected;  // null: a sweep
    };
    const Case cases[] = {
        {0.0, 1.8, 0.05, nullptr},
        {1.8, 0.0, -0.1, nullptr},  // descending, negative step
        // A sweep that starts at its stop is that one point, whatever its step's sign.
        {0.5, 0.5, -0.1, nullptr},
        {0.5, 0.5, 1.0, nullptr},
        {0.0, 1.0, 1e-300, nullptr},  // too many points is the caller's bound, not a shape fault
        // The ends are looked at before the step.
        {nan, 1.0, 0.0, "v start and stop must be finite numbers, got start=NaN stop=1"},
        {0.0, -inf, 0.1, "v start and stop must be finite numbers, got start=0 stop=-inf"},
        {0.0, 1.0, 0.0, "v step must be a finite non-zero number, got 0"},
        {0.0, 1.0, -0.0, "v step must be a finite non-zero number, got -0"},
        {0.0, 1.0, nan, "v step must be a finite non-zero number, got NaN"},
        {0.0, 1.0, inf, "v step must be a finite non-zero number, got inf"},
        {1.8, 0.0, 0.1, "v step 0.1 runs away from stop 0 (start 1.8): give it the sign of stop - start"},
        {0.0, -0.001, 1.0, "v step 1 runs away from stop -0.001 (start 0): give it the sign of stop - start"},
        {0.0, 1.0, -0.5, "v step -0.5 runs away from stop 1 (start 0): give it the sign of stop - start"},
    };
    for (const Case& k : cases) {
        const auto problem = sweep_shape_problem(k.start, k.stop, k.step, "v");
        if (k.expected) {
            EXPECT_EQ(problem.value_or("<a sweep>"), k.expected) << k.start << " " << k.stop << " " << k.step;
        } else {
            EXPECT_FALSE(problem) << *problem;
        }
    }
}

TEST(SweepPointCount, RoundsToWholeSteps) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const std::optional<std::uint64_t> none;
    struct Case {
        double start, stop, step;
        std::optional<std::uint64_t> expected;
    };
    const Case cases[] = {
        {0.0, 1.0, 0.25, 5},
        {0.0, 1.0, 0.3, 4},   // 3.33 rounds down: the last point falls short of stop
        {0.0, 1.05, 0.3, 5},  // 3.5 rounds away from zero: the last point passes it
        {0.0, 1.0, 0.4, 4},   // 2.5 likewise
        {1.0, 0.0, -0.25, 5},
        {0.0, -0.001, 1.0, 1},  // a quotient rounding to -0 is no step
        {1.0, 0.0, 0.25, 1},    // negative: the start alone
        {0.5, 0.5, 0.1, 1},
        {0.0, 1.0, nan, 1},
        {0.0, 1.0, 1e-19, 10000000000000000001u},
        // The largest double below 2^64 steps still counts; 2^64 does not fit.
        {0.0, 18446744073709549568.0, 1.0, 18446744073709549569u},
        {0.0, 18446744073709551616.0, 1.0, none},
        {0.0, 1.0, 1e-300, none},
        {0.0, 1.0, 0.0, none},
        {0.0, inf, 1.0, none},
    };
    for (const Case& k : cases)
        EXPECT_EQ(sweep_point_count(k.start, k.stop, k.step), k.expected)
            << k.start << " " << k.stop << " " << k.step;
}
