#include "lut/slopes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace morva::lut::generate_ngspice {
namespace {

// A difference over the grid may miss a slope of the rest of the drain
// current by this share of the whole slope: a hundredth of the accuracy the
// table promises, since the estimate below is a guess of the error.
constexpr double kTolerance = 1e-4;

// The steepest scale over which a device current changes along a voltage:
// the thermal voltage (exponential in weak inversion, forward junctions).
constexpr double kThermalVoltage = 0.025;

// How far a difference over the grid step `h` along a line of `n` values
// (`stride` apart) may miss the slope at position `k`: the largest second
// difference around it over |h|, which bounds the error of a one-sided
// difference and of a central one alike; with fewer than three values, the
// largest value over a thermal voltage.
double difference_error(const double* y, std::size_t n, std::size_t stride, std::size_t k, double h) {
    double worst = 0.0;
    if (n < 3) {
        for (std::size_t t = 0; t < n; ++t) worst = std::max(worst, std::abs(y[t * stride]));
        return worst / kThermalVoltage;
    }
    const std::size_t lo = k <= 1 ? 1 : k - 1;
    const std::size_t hi = std::min(k + 1, n - 2);
    for (std::size_t c = lo; c <= hi; ++c)
        worst = std::max(worst, std::abs(y[(c + 1) * stride] - 2.0 * y[c * stride] + y[(c - 1) * stride]));
    return worst / std::abs(h);
}

// What a shifted sweep costs beyond the points it sweeps, in points: the
// operating point it starts from and its plot.
constexpr std::size_t kSweepCost = 16;

const Grid5* gmbs_grid(const TransistorLut& t, std::optional<std::size_t> gmbs) {
    if (!gmbs || *gmbs >= t.op.size()) return nullptr;
    const Grid5& g = t.op[*gmbs];
    return g.data.size() == t.id.data.size() ? &g : nullptr;
}

struct AxisBits {
    SlopeAxis axis;
    std::uint8_t want;
    std::uint8_t have;
};

constexpr std::array<AxisBits, 3> kAxes{{{SlopeAxis::Vds, kWantVds, kHaveVds},
                                         {SlopeAxis::Vgs, kWantVgs, kHaveVgs},
                                         {SlopeAxis::Vbs, kWantVbs, kHaveVbs}}};

AxisBits bits_of(SlopeAxis axis) {
    for (const AxisBits& a : kAxes) {
        if (a.axis == axis) return a;
    }
    return kAxes.front();
}

// Whether every rest part covers the table's `size` points.
bool rest_fits(const SmallSignal& ss, std::size_t size) {
    if (ss.rest.empty()) return false;
    for (const RestPart& part : ss.rest) {
        if (part.values.data.size() != size || (!part.transfer.empty() && part.transfer.size() != size))
            return false;
    }
    return true;
}

}  // namespace

void mark_shifted_slopes(const TransistorLut& t, SmallSignal& ss, std::size_t wi, std::size_t li,
                         double vgs_step, double vds_step, std::optional<std::size_t> gmbs) {
    const auto& dims = t.id.dims;
    const std::size_t n = dims[3], m = dims[4];
    const std::size_t blocks = dims[0] * dims[1] * dims[2];
    if (ss.marks.size() != t.id.data.size() || !rest_fits(ss, t.id.data.size()) ||
        ss.exact.size() != blocks || ss.served.size() != m || wi >= dims[0] || li >= dims[2])
        return;
    const Grid5* bs = gmbs_grid(t, gmbs);
    const std::size_t parts = ss.rest.size();
    std::vector<double> dg(parts * n * m), dd(parts * n * m);
    for (std::size_t v = 0; v < dims[1]; ++v) {
        const std::size_t k = (wi * dims[1] + v) * dims[2] + li;
        if (!ss.exact[k]) continue;
        const std::size_t at = k * n * m;
        for (std::size_t q = 0; q < parts; ++q) {
            diff_vgs(ss.rest[q].values.data.data() + at, n, m, vgs_step, dg.data() + q * n * m);
            diff_vds(ss.rest[q].values.data.data() + at, n, m, vds_step, dd.data() + q * n * m);
        }
        const double* b = ss.rest.front().values.data.data() + at;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < m; ++j) {
                const std::size_t p = i * m + j;
                if (!ss.served[j] || !(std::abs(t.id.data[at + p]) > kShiftedSweepFloor)) continue;
                // A row's second point is settled only to the simulator's
                // tolerance when the row starts where the channel conducts
                // forward (never at Vds = 0): no base for a difference over
                // a shift, so it keeps the differences over the grid. (In
                // reverse mode, where the rest's slope along Vbs is the
                // forward-biased drain junction's, it takes its shifts.)
                if (j == 1 && !t.vds.empty() && t.vds.front() != 0.0 && ss.polarity * t.vds[1] > 0.0 &&
                    std::abs(t.id.data[at + i * m] - b[i * m]) > kShiftedSweepFloor)
                    continue;
                double whole_gm = t.gm.data[at + p], whole_gds = t.gds.data[at + p];
                double miss_gm = 0.0, miss_gds = 0.0, moves = 0.0;
                for (std::size_t q = 0; q < parts; ++q) {
                    const double* values = ss.rest[q].values.data.data() + at;
                    const double share = ss.rest[q].transfer_at(at + p), size = std::abs(share);
                    const double g = dg[q * n * m + p], d = dd[q * n * m + p];
                    whole_gm += share * g;
                    whole_gds += share * d;
                    miss_gm += size * difference_error(values + j, n, m, i, vgs_step);
                    miss_gds += size * difference_error(values + i * m, m, 1, j, vds_step);
                    moves += size * (std::abs(g) + std::abs(d));
                }
                std::uint8_t mark = 0;
                if (miss_gm > kTolerance * std::abs(whole_gm)) mark |= kWantVgs;
                if (miss_gds > kTolerance * std::abs(whole_gds)) mark |= kWantVds;
                if (bs) {
                    const double channel = bs->data[at + p];
                    if (std::isfinite(channel) && (mark || moves > kTolerance * std::abs(channel)))
                        mark |= kWantVbs;
                }
                ss.marks[at + p] = mark;
            }
        }
    }
}

std::vector<ShiftedSweep> plan_shifted_sweeps(const SmallSignal& ss, const std::array<std::size_t, 5>& dims,
                                              std::size_t wi, std::size_t li,
                                              const std::vector<Chunk>& chunks) {
    std::vector<ShiftedSweep> out;
    const std::size_t n = dims[3], m = dims[4];
    if (ss.marks.size() != Grid5::element_count(dims) || wi >= dims[0] || li >= dims[2]) return out;
    // Points a sweep costs beyond its rectangle: the operating point it
    // starts from, its plot, and the lead-in of its rows.
    const auto cost = [](std::size_t rows, const Chunk& cols) {
        return kSweepCost + rows * (cols.second - cols.first + 1 + kSlopeLeadIn);
    };
    for (std::size_t v = 0; v < dims[1]; ++v) {
        const std::uint8_t* block = ss.marks.data() + ((wi * dims[1] + v) * dims[2] + li) * n * m;
        for (const Chunk& chunk : chunks) {
            for (const AxisBits& a : kAxes) {
                // Rows in bands: a row joins the band above when one
                // rectangle over both costs less than two.
                std::optional<ShiftedSweep> band;
                for (std::size_t i = chunk.first; i <= chunk.second && i < n; ++i) {
                    Chunk cols{m, 0};
                    for (std::size_t j = 0; j < m; ++j) {
                        if (block[i * m + j] & a.want)
                            cols = {std::min(cols.first, j), std::max(cols.second, j)};
                    }
                    if (cols.first == m) continue;
                    if (band) {
                        const Chunk both{std::min(band->cols.first, cols.first),
                                         std::max(band->cols.second, cols.second)};
                        const std::size_t rows = band->rows.second - band->rows.first + 1;
                        if (cost(i - band->rows.first + 1, both) <= cost(rows, band->cols) + cost(1, cols)) {
                            band->rows.second = i;
                            band->cols = both;
                            continue;
                        }
                        out.push_back(*band);
                    }
                    band = ShiftedSweep{a.axis, v, {i, i}, cols};
                }
                if (band) out.push_back(*band);
            }
        }
    }
    return out;
}

std::size_t apply_shifted_sweep(TransistorLut& t, SmallSignal& ss, const LutConfig& config, std::size_t wi,
                                std::size_t li, const ShiftedSweep& sweep, const std::vector<double>& beyond,
                                std::optional<std::size_t> gmbs) {
    const auto& dims = t.id.dims;
    const std::size_t points = sweep.points();
    if (!rest_fits(ss, t.id.data.size()) || beyond.size() != points * ss.rest.size() ||
        ss.marks.size() != t.id.data.size() || wi >= dims[0] || li >= dims[2] || sweep.vbs_index >= dims[1] ||
        sweep.rows.second >= dims[3] || sweep.cols.second >= dims[4])
        return 0;
    const AxisBits bits = bits_of(sweep.axis);
    Grid5* slope = sweep.axis == SlopeAxis::Vds   ? &t.gds
                   : sweep.axis == SlopeAxis::Vgs ? &t.gm
                   : gmbs_grid(t, gmbs)           ? &t.op[*gmbs]
                                                  : nullptr;
    if (!slope) return 0;
    const double shift = slope_shift(config, sweep.axis);
    std::size_t set = 0, q = 0;
    for (std::size_t i = sweep.rows.first; i <= sweep.rows.second; ++i) {
        for (std::size_t j = sweep.cols.first; j <= sweep.cols.second; ++j, ++q) {
            const std::size_t at = t.id.index(wi, sweep.vbs_index, li, i, j);
            if (!(ss.marks[at] & bits.want) || (ss.marks[at] & bits.have)) continue;
            double change = 0.0;
            for (std::size_t part = 0; part < ss.rest.size(); ++part) {
                const RestPart& r = ss.rest[part];
                change += r.transfer_at(at) * ((beyond[part * points + q] - r.values.data[at]) / shift);
            }
            slope->data[at] += change;
            ss.marks[at] |= bits.have;
            ++set;
        }
    }
    return set;
}

void fill_small_signal_conductances(TransistorLut& t, const SmallSignal& ss, double vgs_step,
                                    double vds_step) {
    const std::size_t n = t.id.dims[3], m = t.id.dims[4];
    const std::size_t blocks = t.id.dims[0] * t.id.dims[1] * t.id.dims[2];
    const bool marked = ss.marks.size() == t.id.data.size();
    const bool rest = rest_fits(ss, t.id.data.size());
    std::vector<double> dg(n * m), dd(n * m);
    for (std::size_t k = 0; k < blocks; ++k) {
        const std::size_t at = k * n * m;
        double* gm = t.gm.data.data() + at;
        double* gds = t.gds.data.data() + at;
        const double* id = t.id.data.data() + at;
        // Along an axis of one point a difference is no slope: there the
        // value held stays (the channel's, or NaN where none came back).
        if (!rest || k >= ss.exact.size() || !ss.exact[k]) {
            if (n > 1) diff_vgs(id, n, m, vgs_step, gm);
            if (m > 1) diff_vds(id, n, m, vds_step, gds);
            continue;
        }
        for (const RestPart& part : ss.rest) {
            diff_vgs(part.values.data.data() + at, n, m, vgs_step, dg.data());
            diff_vds(part.values.data.data() + at, n, m, vds_step, dd.data());
            for (std::size_t p = 0; p < n * m; ++p) {
                if (!ss.served[p % m]) continue;
                const std::uint8_t mark = marked ? ss.marks[at + p] : 0;
                const double share = part.transfer_at(at + p);
                if (!(mark & kHaveVgs)) gm[p] += share * dg[p];
                if (!(mark & kHaveVds)) gds[p] += share * dd[p];
            }
        }
        bool unserved = false;
        for (std::size_t j = 0; j < m; ++j) unserved = unserved || !ss.served[j];
        if (!unserved) continue;
        diff_vgs(id, n, m, vgs_step, dg.data());
        diff_vds(id, n, m, vds_step, dd.data());
        for (std::size_t p = 0; p < n * m; ++p) {
            if (ss.served[p % m]) continue;
            gm[p] = n > 1 ? dg[p] : std::numeric_limits<double>::quiet_NaN();
            gds[p] = m > 1 ? dd[p] : std::numeric_limits<double>::quiet_NaN();
        }
    }
}

}  // namespace morva::lut::generate_ngspice
