// Slopes through series resistances: the resistance form and its fit, and
// the terminal slopes of a small device solved here by Newton's method
// (channel, junctions, currents beyond them, resistances), against central
// differences of its solved terminal current.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <optional>
#include <vector>

#include "lut/series.h"

using namespace morva::lut::generate_ngspice;

namespace {

// Central difference of f at x.
double slope_at(const std::function<double(double)>& f, double x, double h = 1e-6) {
    return (f(x + h) - f(x - h)) / (2.0 * h);
}

// The form's value and slopes, around the gate's smoothing (a = vf) too.
TEST(LutSeries, ResistanceValueAndSlopes) {
    const std::vector<SeriesResistance> cards = {
        {20.0, 150.0, 0.6, -0.15, 0.18}, {1e-3, 200.0, 1.0, 0.0, 0.0}, {80.0, 0.0, 0.0, 0.0, 0.0}};
    for (const SeriesResistance& r : cards) {
        for (double a : {-0.8, 0.17, 0.18, 0.19, 0.4, 1.5}) {
            for (double b : {-1.5, -0.2, 0.3}) {
                const SeriesResistance::Value v = r.at(a, b);
                EXPECT_GT(v.r, 0.0);
                EXPECT_NEAR(v.dr_da, slope_at([&](double x) { return r.at(x, b).r; }, a), 1e-6 * (1 + r.c));
                EXPECT_NEAR(v.dr_db, slope_at([&](double x) { return r.at(a, x).r; }, b), 1e-6 * (1 + r.c));
            }
        }
    }
    // Constant: no slope.
    EXPECT_EQ(SeriesResistance{80.0}.at(0.5, -1.0).dr_da, 0.0);
    EXPECT_EQ(SeriesResistance{80.0}.at(0.5, -1.0).r, 80.0);
}

// Samples as a sweep gives them: the gate over the node from below its
// flat-band voltage (saturation, for the drain) to well above, the body
// below the node, currents over three decades.
std::vector<ResistanceSample> samples_of(const SeriesResistance& r, double noise) {
    std::vector<ResistanceSample> out;
    unsigned seed = 12345;
    const auto jitter = [&] {
        seed = seed * 1103515245u + 12345u;
        return (static_cast<double>(seed >> 8 & 0xffff) / 65535.0 - 0.5) * 2.0 * noise;
    };
    for (int i = 0; i < 40; ++i) {
        for (int j = 0; j < 25; ++j) {
            const double a = -0.9 + 0.06 * i, b = -1.6 + 0.07 * j;
            const double current = 1e-6 * std::pow(1000.0, (i + j) / 63.0);
            out.push_back({a, b, current, current * r.at(a, b).r * (1.0 + jitter())});
        }
    }
    return out;
}

void expect_same_resistance(const SeriesResistance& fitted, const SeriesResistance& truth, double tol) {
    for (double a : {-0.8, 0.1, 0.2, 0.5, 1.4}) {
        for (double b : {-1.5, -0.6, 0.0}) {
            const SeriesResistance::Value f = fitted.at(a, b), t = truth.at(a, b);
            EXPECT_NEAR(f.r, t.r, tol * t.r) << a << " " << b;
            // The slopes are what the terminal slopes need.
            EXPECT_NEAR(f.dr_da, t.dr_da, tol * 10.0 * (std::abs(t.dr_da) + 1.0)) << a << " " << b;
            EXPECT_NEAR(f.dr_db, t.dr_db, tol * 10.0 * (std::abs(t.dr_db) + 1.0)) << a << " " << b;
        }
    }
}

TEST(LutSeries, FitRecoversTheResistances) {
    struct Case {
        SeriesResistance drain, source;  // sharing p, q and vf
        double noise;
    };
    const std::vector<Case> cases = {
        {{20.0, 150.0, 0.6, -0.15, 0.18}, {15.0, 120.0, 0.6, -0.15, 0.18}, 0.0},
        {{1e-3, 200.0, 1.0, 0.0, 0.0}, {1e-3, 200.0, 1.0, 0.0, 0.0}, 1e-7},
        {{200.0, 2000.0, 0.3, 0.05, -0.2}, {600.0, 600.0, 0.3, 0.05, -0.2}, 1e-6},
        {{80.0, 0.0, 0.0, 0.0, 0.0}, {80.0, 0.0, 0.0, 0.0, 0.0}, 0.0},  // diffusion only
    };
    for (const Case& c : cases) {
        const auto fit =
            fit_series_resistances(samples_of(c.drain, c.noise), samples_of(c.source, c.noise), true, true);
        ASSERT_TRUE(fit && fit->drain && fit->source);
        expect_same_resistance(*fit->drain, c.drain, 1e-4);
        expect_same_resistance(*fit->source, c.source, 1e-4);
    }
    // One node only: the other resistance stays absent.
    const SeriesResistance drain{20.0, 150.0, 0.6, -0.15, 0.18};
    const auto only_drain = fit_series_resistances(samples_of(drain, 0.0), {}, true, false);
    ASSERT_TRUE(only_drain && only_drain->drain && !only_drain->source);
    expect_same_resistance(*only_drain->drain, drain, 1e-4);
    const auto none = fit_series_resistances({}, {}, false, false);
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->drain || none->source);
}

TEST(LutSeries, FitRefusesWhatTheFormCannotGive) {
    const SeriesResistance r{20.0, 150.0, 0.6, -0.15, 0.18};
    // Drops of another shape: a resistance falling with the body voltage
    // squared.
    std::vector<ResistanceSample> other = samples_of(r, 0.0);
    for (ResistanceSample& s : other) s.drop = s.current * (50.0 + 400.0 * s.b * s.b * s.b * s.b);
    EXPECT_FALSE(fit_series_resistances(other, samples_of(r, 0.0), true, true));
    // Drops one part in a hundred astray.
    EXPECT_FALSE(fit_series_resistances(samples_of(r, 1e-2), samples_of(r, 1e-2), true, true));
    // A node without samples.
    EXPECT_FALSE(fit_series_resistances(samples_of(r, 0.0), {}, true, true));
    // Too few samples for a bias-dependent fit: constant only, which does not
    // stand for these.
    std::vector<ResistanceSample> few = samples_of(r, 0.0);
    few.resize(6);
    EXPECT_FALSE(fit_series_resistances(few, few, true, true));
    // Non-finite samples are left out.
    std::vector<ResistanceSample> holed = samples_of(r, 0.0);
    holed[3].drop = NAN;
    holed[7].current = INFINITY;
    EXPECT_TRUE(fit_series_resistances(holed, samples_of(r, 0.0), true, true));
}

// Per Vbs value: drops one Vbs value alone cannot follow cost only that
// value; the others keep their common fit.
TEST(LutSeries, OneVbsValueThatTheFormDoesNotGiveCostsOnlyItself) {
    const SeriesResistance rd{20.0, 150.0, 0.6, -0.15, 0.18}, rs{15.0, 120.0, 0.6, -0.15, 0.18};
    const BlockSamples good{samples_of(rd, 0.0), samples_of(rs, 0.0)};
    BlockSamples bad = good;
    for (ResistanceSample& s : bad.source) s.drop = s.current * (50.0 + 400.0 * s.b * s.b * s.b * s.b);

    const auto all = fit_series_blocks({good, good, good}, true, true);
    ASSERT_EQ(all.size(), 3u);
    for (const auto& fit : all) {
        ASSERT_TRUE(fit && fit->drain && fit->source);
        expect_same_resistance(*fit->source, rs, 1e-4);
    }
    const auto one_bad = fit_series_blocks({good, bad, good, BlockSamples{}}, true, true);
    ASSERT_EQ(one_bad.size(), 4u);
    EXPECT_FALSE(one_bad[1]);
    EXPECT_FALSE(one_bad[3]);  // no samples: only the fit of all would serve
    for (std::size_t k : {0u, 2u}) {
        ASSERT_TRUE(one_bad[k] && one_bad[k]->drain && one_bad[k]->source) << k;
        expect_same_resistance(*one_bad[k]->drain, rd, 1e-4);
        expect_same_resistance(*one_bad[k]->source, rs, 1e-4);
    }
    // A value without samples takes the fit of all.
    const auto empty = fit_series_blocks({good, BlockSamples{}}, true, true);
    ASSERT_TRUE(empty[0] && empty[1]);
    expect_same_resistance(*empty[1]->drain, rd, 1e-4);
    EXPECT_TRUE(fit_series_blocks({}, true, true).empty());
}

// The fit's samples over a grid: every column and the ends of both axes,
// however the counts line up (a stride over the rows in Vds order would
// take every sample from one column when the stride is a multiple of the
// column count).
TEST(LutSeries, SamplesSpreadOverRowsAndColumns) {
    using Indices = std::vector<std::size_t>;
    EXPECT_EQ(spread(5, 5), (Indices{0, 1, 2, 3, 4}));
    EXPECT_EQ(spread(5, 9), (Indices{0, 1, 2, 3, 4}));
    EXPECT_EQ(spread(1201, 3), (Indices{0, 600, 1200}));
    EXPECT_EQ(spread(10, 4), (Indices{0, 3, 6, 9}));
    EXPECT_EQ(spread(10, 1), (Indices{9}));
    EXPECT_TRUE(spread(0, 3).empty());
    EXPECT_TRUE(spread(7, 0).empty());
    for (std::size_t n : {2u, 3u, 97u, 1201u}) {
        for (std::size_t count : {2u, 3u, 50u, 341u}) {
            const Indices s = spread(n, count);
            ASSERT_EQ(s.size(), std::min(n, count));
            EXPECT_EQ(s.front(), 0u);
            EXPECT_EQ(s.back(), n - 1);
            EXPECT_TRUE(std::adjacent_find(s.begin(), s.end(), std::greater_equal<>()) == s.end())
                << n << count;
        }
    }
    using Grid = std::pair<std::size_t, std::size_t>;
    EXPECT_EQ(sample_grid(1201, 3, 1024), (Grid{341, 3}));  // every column of a short Vds axis
    EXPECT_EQ(sample_grid(3, 1201, 1024), (Grid{3, 341}));
    EXPECT_EQ(sample_grid(25, 25, 1024), (Grid{25, 25}));  // all of a small grid
    EXPECT_EQ(sample_grid(1000, 1000, 1024), (Grid{32, 32}));
    EXPECT_EQ(sample_grid(1000, 1000, 128), (Grid{11, 11}));
    EXPECT_EQ(sample_grid(0, 5, 100), (Grid{0, 0}));
    EXPECT_EQ(sample_grid(4, 4, 0), (Grid{1, 1}));
}

// A device with series resistances, solved here: a symmetric channel
// I = beta (F(vp - vsb') - F(vp - vdb')), F(x) = ln(1 + e^(x / 0.05))^2,
// vp = (vgb - 0.4) / 1.3 (all voltages over the body); leaky junctions;
// beyond them an impact-ionisation-like current from the channel's drain
// (the internal source node in reverse) to the body, a GIDL-like current
// from the internal drain node to the body, a gate current into the
// channel's source (the internal drain node in reverse) and one into the
// internal source node.
struct Device {
    std::optional<SeriesResistance> rd, rs;
    double beta = 2e-3;
    double rest = 1.0;  // scale of the currents beyond channel and junctions

    static double f(double x) {
        const double l = std::log1p(std::exp(x / 0.05));
        return l * l;
    }
    double channel(double vg, double vd, double vs, double vb) const {
        const double vp = (vg - vb - 0.4) / 1.3;
        return beta * (f(vp - (vs - vb)) - f(vp - (vd - vb)));
    }
    static double junction(double v) { return 2e-9 * v + 1e-15 * (std::exp(v / 0.026) - 1.0); }
    double impact(double vg, double vd, double vs, double vb) const {
        const double i = channel(vg, vd, vs, vb), x = std::max(std::abs(vd - vs), 1e-3);
        return rest * 0.05 * std::abs(i) * std::exp(-1.5 / x);
    }
    double gidl(double vg, double vd) const { return rest * 1e-7 * std::exp(2.0 * (vd - vg)); }
    // The gate's current into the channel, shared between the channel's
    // source and its drain (half each at Vds = 0, more to the source beyond).
    double gate_channel(double vg, double vd, double vs, bool to_drain) const {
        const double x = std::abs(vd - vs), share = x / (x + 0.1);
        return rest * 1e-8 * std::exp(2.0 * (vg - std::min(vd, vs))) * (to_drain ? 1.0 - share : 1.0 + share);
    }
    double at_source(double vg, double vs) const { return rest * 1e-8 * std::exp(2.0 * (vg - vs)); }
    // Beyond channel and junction: into the drain node from the terminal
    // side, and into the source node from outside.
    double at_drain(double vg, double vd, double vs, double vb) const {
        return gidl(vg, vd) + (vd >= vs ? impact(vg, vd, vs, vb) - gate_channel(vg, vd, vs, true)
                                        : -gate_channel(vg, vd, vs, false));
    }
    double into_source(double vg, double vd, double vs, double vb) const {
        return at_source(vg, vs) + (vd >= vs ? gate_channel(vg, vd, vs, false)
                                             : gate_channel(vg, vd, vs, true) - impact(vg, vd, vs, vb));
    }

    // Internal node voltages at terminal voltages (source at 0).
    std::array<double, 2> solve(double vg, double vd, double vb) const {
        std::array<double, 2> x{rd ? vd * 0.9 : vd, 0.0};
        const auto residual = [&](const std::array<double, 2>& n) {
            const double ich = channel(vg, n[0], n[1], vb);
            const double into_d = rd ? (vd - n[0]) / rd->at(vg - n[0], vb - n[0]).r : 0.0;
            const double out_s = rs ? n[1] / rs->at(vg - n[1], vb - n[1]).r : 0.0;
            return std::array<double, 2>{
                into_d - (ich + at_drain(vg, n[0], n[1], vb) - junction(vb - n[0])),
                out_s - (ich + into_source(vg, n[0], n[1], vb) + junction(vb - n[1]))};
        };
        for (int it = 0; it < 100; ++it) {
            const std::array<double, 2> r = residual(x);
            double j[2][2];
            for (int k = 0; k < 2; ++k) {
                std::array<double, 2> y = x;
                y[k] += 1e-9;
                const std::array<double, 2> ry = residual(y);
                j[0][k] = (ry[0] - r[0]) / 1e-9;
                j[1][k] = (ry[1] - r[1]) / 1e-9;
            }
            // Only the unknowns of the nodes the device has move.
            if (!rd) j[0][0] = 1.0, j[0][1] = 0.0, j[1][0] = 0.0;
            if (!rs) j[1][1] = 1.0, j[1][0] = 0.0, j[0][1] = 0.0;
            const double r0 = rd ? r[0] : 0.0, r1 = rs ? r[1] : 0.0;
            const double det = j[0][0] * j[1][1] - j[0][1] * j[1][0];
            // Steps of at most 0.1 V keep the junctions' exponentials tame.
            const double dx = std::clamp((r0 * j[1][1] - j[0][1] * r1) / det, -0.1, 0.1);
            const double dy = std::clamp((j[0][0] * r1 - j[1][0] * r0) / det, -0.1, 0.1);
            x[0] -= dx;
            x[1] -= dy;
            if (std::abs(dx) + std::abs(dy) < 1e-16) break;
        }
        return x;
    }
    // The drain terminal's current.
    double terminal(double vg, double vd, double vb) const {
        const auto n = solve(vg, vd, vb);
        return channel(vg, n[0], n[1], vb) + at_drain(vg, n[0], n[1], vb) - junction(vb - n[0]);
    }
    // What the simulator reports at a solved point.
    SeriesPoint point(double vg, double vd, double vb) const {
        const auto n = solve(vg, vd, vb);
        SeriesPoint p{vg, vd, vb, n[0], n[1]};
        const auto d = [&](int which) {
            return slope_at(
                [&](double x) {
                    double g = vg, dd = n[0], s = n[1], b = vb;
                    (which == 0 ? g : which == 1 ? dd : which == 2 ? s : b) = x;
                    return channel(g, dd, s, b);
                },
                which == 0   ? vg
                : which == 1 ? n[0]
                : which == 2 ? n[1]
                             : vb,
                1e-7);
        };
        if (n[0] >= n[1]) {
            p.gm = d(0);
            p.gds = d(1);
            p.gmbs = d(3);
        } else {  // the swapped device's, whose current runs the other way
            p.gm = -d(0);
            p.gds = -d(2);
            p.gmbs = -d(3);
        }
        p.gbd = slope_at(junction, vb - n[0]);
        p.gbs = slope_at(junction, vb - n[1]);
        return p;
    }
};

TEST(LutSeries, TerminalSlopesOfASolvedDevice) {
    const SeriesResistance rd{20.0, 150.0, 0.6, -0.15, 0.18}, rs{15.0, 120.0, 0.6, -0.15, 0.18};
    const SeriesResistance flat{80.0};
    struct Case {
        std::optional<SeriesResistance> rd, rs;
        double rest, vg, vd, vb;
        bool reverse;  // the internal drain below the internal source
    };
    const std::vector<Case> cases = {
        {rd, rs, 0.0, 1.0, 1.0, 0.0, false},    // saturation, resistances alone
        {rd, rs, 0.0, 1.1, 0.05, -0.3, false},  // triode, body bias
        {rd, rs, 1.0, 1.0, 1.2, -0.5, false},   // with the currents beyond
        {rd, rs, 1.0, 0.9, 0.0, 0.0, true},     // Vds = 0: the source's gate current crosses the channel
        {rd, rs, 1.0, 0.3, 0.6, 0.0, false},    // weak inversion
        {rd, std::nullopt, 1.0, 1.0, 0.8, -0.2, false},
        {std::nullopt, rs, 1.0, 1.0, 0.8, -0.2, false},
        {flat, flat, 1.0, 0.8, 0.5, -0.2, false},  // diffusion resistances only
        // No resistance: a subcircuit's elements beside the device alone.
        {std::nullopt, std::nullopt, 1.0, 1.0, 0.8, -0.2, false},
        {std::nullopt, std::nullopt, 1.0, 0.3, 0.6, 0.0, false},
        // Reverse mode (the body below the drain): the channel's drain is
        // the internal source node, where the impact current now arises.
        {rd, rs, 1.0, -0.6, -1.2, -1.5, true},  // saturation
        {rd, rs, 1.0, 1.1, -0.05, -0.3, true},  // triode
        {rd, rs, 1.0, -0.9, -0.6, -0.8, true},  // weak inversion
        {rd, std::nullopt, 1.0, -0.5, -1.0, -1.3, true},
        {std::nullopt, rs, 1.0, -0.5, -1.0, -1.3, true},
        {std::nullopt, std::nullopt, 1.0, -0.5, -1.0, -1.3, true},
    };
    for (const Case& c : cases) {
        Device dev{c.rd, c.rs};
        dev.rest = c.rest;
        const SeriesResistances r{c.rd, c.rs};
        const std::optional<TerminalSlopes> s = terminal_slopes(dev.point(c.vg, c.vd, c.vb), r);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->reverse, c.reverse) << "case vg=" << c.vg << " vd=" << c.vd;
        // The rests' slopes as the table takes them: at the solved points,
        // each current at the node it enters.
        enum Part { kGidl, kImpact, kGateToDrain, kGateToSource, kSource };
        const auto rest_slope = [&](Part part, int axis) {
            return slope_at(
                [&](double x) {
                    const double g = axis == 0 ? x : c.vg, d = axis == 1 ? x : c.vd, b = axis == 2 ? x : c.vb;
                    const auto n = dev.solve(g, d, b);
                    switch (part) {
                        case kGidl: return dev.gidl(g, n[0]);
                        case kImpact: return dev.impact(g, n[0], n[1], b);
                        // At the channel's drain, with the sign of a current
                        // the drain terminal need not supply.
                        case kGateToDrain: return -dev.gate_channel(g, n[0], n[1], true);
                        case kGateToSource: return dev.gate_channel(g, n[0], n[1], false);
                        case kSource: break;
                    }
                    return dev.at_source(g, n[1]);
                },
                axis == 0   ? c.vg
                : axis == 1 ? c.vd
                            : c.vb);
        };
        const std::array<double, 3> table{s->gm, s->gds, s->gmbs};
        for (int axis = 0; axis < 3; ++axis) {
            const double exact = slope_at(
                [&](double x) {
                    return dev.terminal(axis == 0 ? x : c.vg, axis == 1 ? x : c.vd, axis == 2 ? x : c.vb);
                },
                axis == 0   ? c.vg
                : axis == 1 ? c.vd
                            : c.vb);
            const double got =
                table[axis] + s->transfer * rest_slope(kGidl, axis) +
                s->transfer_channel_drain() * (rest_slope(kImpact, axis) + rest_slope(kGateToDrain, axis)) +
                s->transfer_channel_source() * rest_slope(kGateToSource, axis) +
                s->transfer_source * rest_slope(kSource, axis);
            // The reference is a difference of currents of up to 0.1 A
            // computed to rounding: good to about 1e-11 S.
            EXPECT_NEAR(got, exact, 1e-5 * std::abs(exact) + 2e-11)
                << "case vg=" << c.vg << " vd=" << c.vd << " vb=" << c.vb << " axis " << axis;
        }
    }
    // A resistance that is not positive where the point lies.
    const SeriesResistance negative{-500.0, 100.0, 0.6, 0.0, 0.0};
    Device dev{rd, rs};
    EXPECT_FALSE(terminal_slopes(dev.point(1.0, 1.0, 0.0), SeriesResistances{negative, rs}));
}

}  // namespace
