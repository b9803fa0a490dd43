#include "gm_id/design.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/format.h"

namespace morva::gm_id {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ⌊x⌋ as an index: negative and NaN give 0, huge values saturate.
std::size_t floor_index(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= static_cast<double>(std::numeric_limits<std::size_t>::max()))
        return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(x);
}

// The lower index of the interval that fractional index x falls in, on an
// axis of n points (0 for n < 2).
std::size_t interval(double x, std::size_t n) { return std::min(n < 2 ? 0 : n - 2, floor_index(x)); }

// Sums weight * value, leaving out terms of weight 0: a point that takes no
// part (NaN where a bias point could not be evaluated) must not turn the sum
// into NaN. The result equals the full sum whenever every value is finite.
class WeightedSum {
public:
    void add(double weight, double value) {
        if (weight != 0.0) sum_ += weight * value;
    }
    double value() const { return sum_; }

private:
    double sum_ = 0.0;
};

double lerp(double a, double b, double t) {
    WeightedSum s;
    s.add(1.0 - t, a);
    s.add(t, b);
    return s.value();
}

double row_value(const double* row, std::size_t m, double x) {
    if (m == 1) return row[0];
    const std::size_t k = interval(x, m);
    return lerp(row[k], row[k + 1], x - static_cast<double>(k));
}

double axis_value(const std::vector<double>& axis, double x) {
    if (axis.size() == 1) return axis[0];
    const std::size_t i = interval(x, axis.size());
    return lerp(axis[i], axis[i + 1], x - static_cast<double>(i));
}

// The fractional Vgs index where curve c crosses target t, taking the
// crossing at the highest Vgs; NaN points never bracket.
std::optional<double> bracket(const std::vector<double>& c, double t) {
    const std::size_t n = c.size();
    if (n < 2) return std::nullopt;
    for (std::size_t i = n - 1; i >= 1; --i) {
        const double a = c[i - 1], b = c[i];
        if (std::isnan(a) || std::isnan(b)) continue;
        if ((a >= t && t >= b) || (a <= t && t <= b)) {
            const double frac = std::fabs(a - b) <= 1e-30 ? 0.5 : std::clamp((a - t) / (a - b), 0.0, 1.0);
            return static_cast<double>(i - 1) + frac;
        }
    }
    return std::nullopt;
}

double gain_error(double g, double target) {
    if (!std::isfinite(g)) return 1e30;
    const double d = std::fabs(target) > 1e-30 ? (g - target) / target : g - target;
    return d * d;
}

struct Point {
    double id, gm, gds;
};

// The search's index on an axis: the table's own, or its mirror image.
class AxisOrder {
public:
    AxisOrder(std::size_t n, bool mirrored) : last_(n == 0 ? 0 : n - 1), mirrored_(mirrored && n >= 2) {}
    std::size_t table_index(std::size_t i) const { return mirrored_ ? last_ - i : i; }
    double table_index(double x) const { return mirrored_ ? static_cast<double>(last_) - x : x; }

private:
    std::size_t last_;
    bool mirrored_;
};

// One (width, Vbs) slice at a fixed fractional Vds index, seen with its
// length index running from the shortest length and its Vgs index toward
// strong inversion. Axes swept the other way (lengths from long to short, an
// n-channel Vgs sweep from VDD down, a p-channel one from -VDD up) are
// searched mirrored, so that the answer does not depend on the sweep
// direction.
class Slice {
public:
    Slice(const lut::TransistorLut& t, std::size_t iw, std::size_t ib, double x)
        : t_(t),
          iw_(iw),
          ib_(ib),
          x_(x),
          lengths_(t.lengths.size(), !t.lengths.empty() && t.lengths.back() < t.lengths.front()),
          vgs_(t.vgs.size(), !t.vgs.empty() && std::fabs(t.vgs.back()) < std::fabs(t.vgs.front())) {}

    double lookup(const lut::Grid5& grid, double p, double q) const {
        return trilinear_lut(t_, grid, iw_, ib_, lengths_.table_index(p), vgs_.table_index(q), x_);
    }
    Point at(double p, double q) const {
        return {lookup(t_.id, p, q), lookup(t_.gm, p, q), lookup(t_.gds, p, q)};
    }
    // A grid row at integer (l, k), interpolated along Vds.
    double row(const lut::Grid5& grid, std::size_t l, std::size_t k) const {
        return row_value(&grid.data[grid.index(iw_, ib_, lengths_.table_index(l), vgs_.table_index(k), 0)],
                         grid.dims[4], x_);
    }
    // The length and Vgs at search indices p and q.
    double length(double p) const { return axis_value(t_.lengths, lengths_.table_index(p)); }
    double vgs(double q) const { return axis_value(t_.vgs, vgs_.table_index(q)); }

private:
    const lut::TransistorLut& t_;
    std::size_t iw_, ib_;
    double x_;
    AxisOrder lengths_, vgs_;
};

// The grids the search reads must match the axes; a foreign table that does
// not is refused rather than indexed.
std::optional<std::string> slice_problem(const lut::TransistorLut& t, std::size_t iw, std::size_t ib) {
    if (iw >= t.widths.size() || ib >= t.vbs_values.size())
        return std::string("width or Vbs index out of range");
    for (const lut::Grid5* g : {&t.id, &t.gm, &t.gds})
        if (g->dims != t.shape() || !g->consistent()) return std::string("LUT grids do not match its axes");
    return std::nullopt;
}

// The first target of each kind steers the search; every constraint is
// still reported with its own error.
struct Targets {
    std::optional<double> gm_id, gain, ids;
};

Targets first_targets(const std::vector<Constraint>& constraints) {
    Targets t;
    for (const Constraint& c : constraints) {
        auto& slot = c.kind == ConstraintKind::GmId   ? t.gm_id
                     : c.kind == ConstraintKind::Gain ? t.gain
                                                      : t.ids;
        if (!slot) slot = c.target;
    }
    return t;
}

// A point of the search: fractional length and Vgs indices.
struct Bias {
    double p = 0.0, q = 0.0;
};

// A point and its squared relative gain miss.
struct Fit {
    Bias at;
    double error;
};

// A gm/Id crossing on one grid length, with its gain.
struct Candidate {
    Bias at;
    double gain;
};

// The slice with the limits a design must respect: the gm/Id bounds, and the
// least current a point must carry to count.
class Search {
public:
    Search(const lut::TransistorLut& table, const Slice& slice, double i_min, std::optional<double> gm_id_min,
           std::optional<double> gm_id_max)
        : table_(table), slice_(slice), i_min_(i_min), gm_id_min_(gm_id_min), gm_id_max_(gm_id_max) {}

    const lut::TransistorLut& table() const { return table_; }
    const Slice& slice() const { return slice_; }
    double i_min() const { return i_min_; }
    std::size_t n_lengths() const { return table_.lengths.size(); }

    bool out_of_bounds(double gmid) const {
        return (gm_id_min_ && gmid < *gm_id_min_) || (gm_id_max_ && gmid > *gm_id_max_);
    }

    // The gain at a bracketed point, or nothing when its gm/Id is out of bounds.
    std::optional<double> gain_at(Bias b) const {
        const Point pt = slice_.at(b.p, b.q);
        const double gmid = std::fabs(pt.id) > 1e-30 ? pt.gm / std::fabs(pt.id) : 0.0;
        if (out_of_bounds(gmid)) return std::nullopt;
        return std::fabs(pt.gds) > 1e-30 ? pt.gm / pt.gds : kInf;
    }

    // Where gm/Id crosses `target` along Vgs at grid length l: the grid rows
    // themselves, so that the coarse pass reads no interpolated length.
    std::optional<double> crossing_at_grid_length(std::size_t l, double target) const {
        for (std::size_t k = 0; k < curve_.size(); ++k)
            curve_[k] = curve_point(slice_.row(table_.id, l, k), slice_.row(table_.gm, l, k));
        return bracket(curve_, target);
    }

    // The same at a fractional length index p.
    std::optional<double> crossing_at_length(double p, double target) const {
        for (std::size_t j = 0; j < curve_.size(); ++j) {
            const double jq = static_cast<double>(j);
            curve_[j] = curve_point(slice_.lookup(table_.id, p, jq), slice_.lookup(table_.gm, p, jq));
        }
        return bracket(curve_, target);
    }

private:
    // gm/Id is formed with |Id| throughout: a p-channel table has Id < 0.
    double curve_point(double id, double gm) const {
        return std::fabs(id) < i_min_ ? kNaN : gm / std::fabs(id);
    }

    const lut::TransistorLut& table_;
    const Slice& slice_;
    double i_min_;
    std::optional<double> gm_id_min_, gm_id_max_;
    mutable std::vector<double> curve_ = std::vector<double>(table_.vgs.size());  // one Vgs curve at a time
};

// Every grid length whose gm/Id curve reaches the target within bounds.
std::vector<Candidate> bracket_grid_lengths(const Search& search, double gm_id) {
    std::vector<Candidate> candidates;
    for (std::size_t l = 0; l < search.n_lengths(); ++l) {
        const auto q = search.crossing_at_grid_length(l, gm_id);
        if (!q) continue;
        const Bias b{static_cast<double>(l), *q};
        if (auto gain = search.gain_at(b)) candidates.push_back({b, *gain});
    }
    return candidates;
}

// The candidate whose gain comes closest to the target; the first on a tie.
Fit closest_gain(const std::vector<Candidate>& candidates, double gain) {
    Fit best{candidates.front().at, gain_error(candidates.front().gain, gain)};
    for (const Candidate& c : candidates) {
        const double e = gain_error(c.gain, gain);
        if (e < best.error) best = {c.at, e};
    }
    return best;
}

// Between grid lengths the trade-off moves; refine within half an index of
// the best coarse length, keeping the coarse point unless one beats it.
Bias refine_length(const Search& search, Fit best, double gm_id, double gain) {
    const double lo = std::max(best.at.p - 0.5, 0.0);
    const double hi = std::min(best.at.p + 0.5, static_cast<double>(search.n_lengths() - 1));
    for (int k = 0; k <= 32; ++k) {
        const double p = lo + static_cast<double>(k) * (hi - lo) * 0.03125;
        const auto q = search.crossing_at_length(p, gm_id);
        if (!q) continue;
        const auto g = search.gain_at({p, *q});
        if (!g) continue;
        const double e = gain_error(*g, gain);
        if (e < best.error) best = {{p, *q}, e};
    }
    return best.at;
}

// gm/Id as a hard target: its crossing on a grid length, the one whose gain
// is closest to a gain target (the first without one), then refined.
std::optional<Bias> meet_gm_id(const Search& search, double gm_id, std::optional<double> gain) {
    const std::vector<Candidate> candidates = bracket_grid_lengths(search, gm_id);
    if (candidates.empty()) return std::nullopt;
    if (!gain) return candidates.front().at;
    return refine_length(search, closest_gain(candidates, *gain), gm_id, *gain);
}

// The sum of squared relative misses of the gm/Id and gain constraints.
double constraint_cost(const std::vector<Constraint>& constraints, double gmid, double gain) {
    double cost = 0.0;
    for (const Constraint& c : constraints) {
        if (c.kind == ConstraintKind::Ids) continue;
        const double achieved = c.kind == ConstraintKind::GmId ? gmid : gain;
        if (!std::isfinite(achieved)) {
            cost += 1e30;
            continue;
        }
        const double d = std::fabs(c.target) > 1e-30 ? (achieved - c.target) / c.target : achieved - c.target;
        cost += d * d;
    }
    return cost;
}

// Without a gm/Id target: the grid point of least cost (the first on a tie,
// the slice's first point when none counts).
Bias best_grid_fit(const Search& search, const std::vector<Constraint>& constraints) {
    const lut::TransistorLut& table = search.table();
    const Slice& slice = search.slice();
    Bias best;
    double best_cost = kInf;
    for (std::size_t l = 0; l < table.lengths.size(); ++l)
        for (std::size_t k = 0; k < table.vgs.size(); ++k) {
            const double p = static_cast<double>(l), q = static_cast<double>(k);
            const double id = slice.lookup(table.id, p, q);
            if (!(std::fabs(id) >= search.i_min())) continue;  // NaN: a point that could not be evaluated
            const double gm = slice.lookup(table.gm, p, q);
            const double gmid = gm / std::fabs(id);
            if (search.out_of_bounds(gmid)) continue;
            const double gds = slice.lookup(table.gds, p, q);
            const double gain = std::fabs(gds) > 1e-30 ? gm / gds : kInf;
            const double cost = constraint_cost(constraints, gmid, gain);
            if (cost < best_cost) {
                best_cost = cost;
                best = {p, q};
            }
        }
    return best;
}

// Each constraint's miss at the sized design, in the constraints' order.
void add_constraint_errors(DesignResult& r, const std::vector<Constraint>& constraints, bool scaled,
                           std::optional<double> t_ids) {
    for (const Constraint& c : constraints) {
        const double t = c.target;
        switch (c.kind) {
            case ConstraintKind::GmId:
                r.constraint_errors.emplace_back(
                    "gm/Id", std::fabs(t) > 1e-30 ? (r.gm_over_id - t) / t : r.gm_over_id - t);
                break;
            case ConstraintKind::Gain: {
                double e;
                if (std::isinf(r.gain))
                    e = kInf;
                else if (std::isnan(r.gain) || std::fabs(t) <= 1e-30)
                    e = r.gain - t;
                else
                    e = (r.gain - t) / t;
                r.constraint_errors.emplace_back("gain", e);
                break;
            }
            case ConstraintKind::Ids: {
                // Met exactly when the width was scaled to this target; else
                // the relative miss of the current's magnitude.
                double e = 0.0;
                if (!(scaled && t == *t_ids))
                    e = std::fabs(t) > 1e-30 ? (std::fabs(r.id) - std::fabs(t)) / std::fabs(t)
                                             : std::fabs(r.id) - std::fabs(t);
                r.constraint_errors.emplace_back("Ids", e);
                break;
            }
        }
    }
}

// The design at the chosen point, its width scaled to the current target.
DesignResult size_to_current(const Slice& slice, Bias at, double w_grid, double v_ds,
                             const std::vector<Constraint>& constraints, std::optional<double> t_ids) {
    const Point pt = slice.at(at.p, at.q);
    DesignResult r;
    // A width is a magnitude: scale by |target / Id| so that W > 0 and id,
    // gm, gds keep the table's signs.
    const bool scaled = t_ids && std::fabs(pt.id) > 1e-18;
    const double s = scaled ? std::fabs(*t_ids / pt.id) : 1.0;
    r.w = scaled ? s * w_grid : w_grid;
    r.l = slice.length(at.p);
    r.vgs = slice.vgs(at.q);
    r.vds = v_ds;
    r.id = pt.id * s;
    r.gm = pt.gm * s;
    r.gds = pt.gds * s;
    r.gm_over_id = std::fabs(pt.id) > 1e-18 ? pt.gm / std::fabs(pt.id) : 0.0;
    r.gain = std::fabs(pt.gds) > 1e-18 ? pt.gm / pt.gds : kInf;
    add_constraint_errors(r, constraints, scaled, t_ids);
    return r;
}

}  // namespace

// The grid's own extents index it; for the tables solve_design accepts they
// equal the axis lengths.
double trilinear_lut([[maybe_unused]] const lut::TransistorLut& table, const lut::Grid5& grid, std::size_t iw,
                     std::size_t ib, double p, double q, double x) {
    const std::size_t n_l = grid.dims[2], n_vgs = grid.dims[3], n_vds = grid.dims[4];
    const std::size_t l0 = interval(p, n_l), l1 = std::min(n_l - 1, l0 + 1);
    const std::size_t g0 = interval(q, n_vgs), g1 = std::min(n_vgs - 1, g0 + 1);
    auto row = [&](std::size_t l, std::size_t g) {
        return row_value(&grid.data[grid.index(iw, ib, l, g, 0)], n_vds, x);
    };
    const double tl = p - static_cast<double>(l0);
    const double tv = q - static_cast<double>(g0);
    // Rows of weight 0 are not read at all.
    WeightedSum s;
    const double w[4] = {(1.0 - tl) * (1.0 - tv), (1.0 - tl) * tv, tl * (1.0 - tv), tl * tv};
    const std::size_t at[4][2] = {{l0, g0}, {l0, g1}, {l1, g0}, {l1, g1}};
    for (int k = 0; k < 4; ++k)
        if (w[k] != 0.0) s.add(w[k], row(at[k][0], at[k][1]));
    return s.value();
}

std::optional<std::string> arguments_problem(const std::vector<Constraint>& constraints,
                                             std::optional<double> gm_id_min, std::optional<double> gm_id_max,
                                             std::optional<double> id_min) {
    for (const Constraint& c : constraints) {
        switch (c.kind) {
            case ConstraintKind::GmId:
                if (!std::isfinite(c.target)) return std::string("gm_id must be a finite number");
                break;
            case ConstraintKind::Gain:
                if (!std::isfinite(c.target)) return std::string("gain must be a finite number");
                break;
            case ConstraintKind::Ids:
                if (!std::isfinite(c.target) || c.target == 0.0)
                    return std::string("ids must be a finite non-zero current");
                break;
        }
    }
    if (gm_id_min && std::isnan(*gm_id_min)) return std::string("gm_id_min must not be NaN");
    if (gm_id_max && std::isnan(*gm_id_max)) return std::string("gm_id_max must not be NaN");
    if (id_min && !std::isfinite(*id_min)) return std::string("id_min must be a finite number");
    return std::nullopt;
}

std::optional<std::string> vds_problem(const lut::TransistorLut& table, double vds) {
    if (table.vds.empty()) return std::nullopt;
    const auto [lo, hi] = std::minmax_element(table.vds.begin(), table.vds.end());
    // The axis points are start + i * step: allow the rounding of the end.
    const double slack = 1e-9 * std::max(1.0, *hi - *lo);
    if (vds >= *lo - slack && vds <= *hi + slack) return std::nullopt;
    return fmt::cat("vds=", fmt::fixed(vds, 3), " V lies outside the table's Vds axis [", fmt::fixed(*lo, 3),
                    ", ", fmt::fixed(*hi, 3), "] V");
}

std::optional<std::string> width_problem(const DesignResult& result) {
    if (std::isfinite(result.w) && result.w > 0.0) return std::nullopt;
    return fmt::cat("the sized width W=", fmt::exp(result.w, 3),
                    " m is not a finite positive number (Id=", fmt::exp(result.id, 3),
                    " A): ids is out of reach of this table");
}

double fractional_vds_index(const std::vector<double>& axis, double v) {
    const std::size_t n = axis.size();
    if (n <= 1) return 0.0;
    // A descending axis is searched as its mirror image.
    const double sign = axis[n - 1] < axis[0] ? -1.0 : 1.0;
    auto a = [&](std::size_t i) { return sign * axis[i]; };
    const double target = sign * v;
    if (target <= a(0)) return 0.0;
    if (target >= a(n - 1)) return static_cast<double>(n - 1);
    std::size_t lo = 0, hi = n;  // count of values strictly below target
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (a(mid) < target)
            lo = mid + 1;
        else
            hi = mid;
    }
    const std::size_t i = std::min(n - 2, lo == 0 ? 0 : lo - 1);
    const double span = a(i + 1) - a(i);
    const double t = span != 0.0 ? std::clamp((target - a(i)) / span, 0.0, 1.0) : 0.0;
    return static_cast<double>(i) + t;
}

Result<DesignResult, NgspiceError> solve_design(const lut::TransistorLut& table, std::size_t iw,
                                                std::size_t ib, const std::vector<Constraint>& constraints,
                                                std::optional<double> vds, std::optional<double> gm_id_min,
                                                std::optional<double> gm_id_max,
                                                std::optional<double> id_min) {
    if (table.vgs.empty() || table.vds.empty() || table.lengths.empty())
        return err(NgspiceError::simulation("LUT is empty"));
    if (constraints.empty()) return err(NgspiceError::simulation("at least one constraint is required"));
    if (auto problem = slice_problem(table, iw, ib)) return err(NgspiceError::simulation(*problem));

    const double v_ds = vds ? *vds : table.vds[table.vds.size() / 2];
    const Targets targets = first_targets(constraints);
    const Slice slice(table, iw, ib, fractional_vds_index(table.vds, v_ds));
    const Search search(table, slice, id_min.value_or(1e-12), gm_id_min, gm_id_max);
    Bias at;
    if (targets.gm_id) {
        const std::optional<Bias> met = meet_gm_id(search, *targets.gm_id, targets.gain);
        if (!met)
            return err(NgspiceError::simulation(
                fmt::cat("No operating point found for gm/Id = ", fmt::fixed(*targets.gm_id, 2),
                         " V⁻¹. Try adjusting gm_id_min/gm_id_max or widening the LUT voltage range.")));
        at = *met;
    } else {
        at = best_grid_fit(search, constraints);
    }
    return size_to_current(slice, at, table.widths[iw], v_ds, constraints, targets.ids);
}

}  // namespace morva::gm_id
