#include "lut/series.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace morva::lut::generate_ngspice {
namespace {

// The smoothing constants of the published form.
constexpr double kGateSmoothing = 1e-4;
constexpr double kFactorSmoothing = 0.01;

// Where the fit starts: the best point of a grid of the gate-bias
// coefficient p and the flat-band voltage vf (q following by least
// squares), then these gate-bias coefficients with q = vf = 0 (p = 0: a
// resistance without gate bias dependence). A fit that
// meets the drops well within the tolerance ends the search, else the best
// of them stands.
constexpr std::array<double, 12> kGuessP = {0.05, 0.1, 0.2, 0.3, 0.5, 0.75, 1.0, 1.5, 2.0, 3.0, 5.0, 8.0};
constexpr std::array<double, 11> kGuessVf = {-0.4, -0.3, -0.2, -0.1, 0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
constexpr std::array<double, 3> kStartP = {0.5, 2.0, 0.0};
constexpr std::uint32_t kGuessShare = 4;  // one sample in this many serves the guess
constexpr int kMaxIterations = 100;
// The coefficients stay within these bounds (p: no negative gate-bias
// coefficient, as the card checks make it; the others far beyond any card).
constexpr std::array<double, 3> kLow = {0.0, -10.0, -3.0};
constexpr std::array<double, 3> kHigh = {1e3, 10.0, 3.0};

// The published form at one sample: with e = (x + sqrt(x^2 + 1e-4)) / 2,
// x = a - vf, and t = 1 / (1 + p e) - q b, the factor t + sqrt(t^2 + 0.01)
// with its slopes along a and b and along the shared coefficients p, q, vf,
// and the gate's part 1 / (1 + p e) of t.
struct Form {
    double gate;
    double f;
    double df_da, df_db;
    std::array<double, 3> df_dk;  // along p, q, vf
};

Form form(double a, double b, double p, double q, double vf) {
    const double x = a - vf;
    const double root_x = std::sqrt(x * x + kGateSmoothing);
    const double e = 0.5 * (x + root_x);
    const double de_dx = e / root_x;
    const double u = 1.0 + p * e;
    const double gate = 1.0 / u;
    const double t = gate - q * b;
    const double root_t = std::sqrt(t * t + kFactorSmoothing);
    const double f = t + root_t;
    const double df_dt = f / root_t;
    const double dt_dx = -p * de_dx * gate * gate;
    return {gate, f, df_dt * dt_dx, df_dt * (-q), {df_dt * (-e * gate * gate), df_dt * (-b), -df_dt * dt_dx}};
}

// The samples that can take part in a fit: those with finite values.
std::vector<ResistanceSample> finite(const std::vector<ResistanceSample>& all) {
    std::vector<ResistanceSample> out;
    out.reserve(all.size());
    for (const ResistanceSample& s : all) {
        if (std::isfinite(s.a) && std::isfinite(s.b) && std::isfinite(s.current) && std::isfinite(s.drop))
            out.push_back(s);
    }
    return out;
}

using Shared = std::array<double, 3>;  // p, q, vf

// r0 and c of one resistance for the shared coefficients, by least squares
// on drop = current * (r0 + c/2 * factor); c stays 0 when `constant` or when
// the factor does not vary over the samples.
SeriesResistance solve_linear(const std::vector<ResistanceSample>& samples, const Shared& k, bool constant) {
    double uu = 0, uv = 0, vv = 0, ud = 0, vd = 0;
    for (const ResistanceSample& s : samples) {
        const double f = constant ? 0.0 : form(s.a, s.b, k[0], k[1], k[2]).f;
        const double u = s.current, v = 0.5 * s.current * f;
        uu += u * u;
        uv += u * v;
        vv += v * v;
        ud += u * s.drop;
        vd += v * s.drop;
    }
    SeriesResistance r;
    if (!constant) {
        r.p = k[0];
        r.q = k[1];
        r.vf = k[2];
    }
    const double det = uu * vv - uv * uv;
    if (!constant && det > 1e-12 * uu * vv && det > 0.0) {
        r.r0 = (ud * vv - uv * vd) / det;
        r.c = (uu * vd - uv * ud) / det;
    } else {
        r.r0 = uu > 0.0 ? ud / uu : 0.0;
        r.c = 0.0;
    }
    return r;
}

struct Sets {
    std::vector<ResistanceSample> drain, source;
};

// The sum of the squared misses for the shared coefficients (r0 and c of
// each resistance by least squares) and, when asked, the normal equations
// of a step in them: their slopes projected off r0 and c, which follow the
// step by least squares.
double misses(const Sets& sets, const Shared& k, std::array<std::array<double, 3>, 3>* h,
              std::array<double, 3>* g) {
    double cost = 0.0;
    for (const std::vector<ResistanceSample>* set : {&sets.drain, &sets.source}) {
        if (set->empty()) continue;
        const SeriesResistance r = solve_linear(*set, k, false);
        double uu = 0, uv = 0, vv = 0;
        std::array<std::array<double, 3>, 2>
            cross{};  // the columns current and current * f/2 against the slopes
        for (const ResistanceSample& s : *set) {
            const Form f = form(s.a, s.b, k[0], k[1], k[2]);
            const double miss = s.drop - s.current * (r.r0 + 0.5 * r.c * f.f);
            cost += miss * miss;
            if (!h) continue;
            const double u = s.current, v = 0.5 * s.current * f.f;
            uu += u * u;
            uv += u * v;
            vv += v * v;
            std::array<double, 3> j{};
            for (int a = 0; a < 3; ++a) j[a] = -0.5 * r.c * s.current * f.df_dk[a];
            for (int a = 0; a < 3; ++a) {
                cross[0][a] += u * j[a];
                cross[1][a] += v * j[a];
                (*g)[a] += j[a] * miss;
                for (int b = 0; b < 3; ++b) (*h)[a][b] += j[a] * j[b];
            }
        }
        const double det = uu * vv - uv * uv;
        if (!h || !(det > 1e-12 * uu * vv) || !(det > 0.0)) continue;
        // h -= cross^T (A^T A)^-1 cross.
        for (int a = 0; a < 3; ++a) {
            const double x0 = (vv * cross[0][a] - uv * cross[1][a]) / det;
            const double x1 = (uu * cross[1][a] - uv * cross[0][a]) / det;
            for (int b = 0; b < 3; ++b) (*h)[a][b] -= cross[0][b] * x0 + cross[1][b] * x1;
        }
    }
    return std::isfinite(cost) ? cost : std::numeric_limits<double>::infinity();
}

// Solves the 3 x 3 system a x = y by elimination with partial pivoting;
// false when it is singular.
bool solve3(std::array<std::array<double, 3>, 3> a, std::array<double, 3> y, std::array<double, 3>& x) {
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r) {
            if (std::abs(a[r][col]) > std::abs(a[pivot][col])) pivot = r;
        }
        if (!(std::abs(a[pivot][col]) > 0.0)) return false;
        std::swap(a[col], a[pivot]);
        std::swap(y[col], y[pivot]);
        for (int r = col + 1; r < 3; ++r) {
            const double m = a[r][col] / a[col][col];
            for (int c = col; c < 3; ++c) a[r][c] -= m * a[col][c];
            y[r] -= m * y[col];
        }
    }
    for (int r = 2; r >= 0; --r) {
        double s = y[r];
        for (int c = r + 1; c < 3; ++c) s -= a[r][c] * x[c];
        x[r] = s / a[r][r];
    }
    return std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2]);
}

// A first guess of the shared coefficients: over kGuessP x kGuessVf, with
// the factor taken as 2t (its value where t lies well above 0.1), each
// resistance's drop is linear in r0, c and c*q; the grid point whose least
// squares miss least, with the q of the drain's resistance (else the
// source's).
Shared first_guess(const Sets& all) {
    // A quarter of the samples is enough for a guess, picked by a hash of
    // their position so that no period of the grid they come from lines up
    // with the pick.
    Sets sets;
    const auto pick = [](const std::vector<ResistanceSample>& from, std::vector<ResistanceSample>& to) {
        for (std::size_t k = 0; k < from.size(); ++k) {
            if (((static_cast<std::uint32_t>(k) * 2654435761u) >> 16) % kGuessShare == 0)
                to.push_back(from[k]);
        }
        if (to.size() < kMinSamplesForBias) to = from;
    };
    pick(all.drain, sets.drain);
    pick(all.source, sets.source);
    Shared best{0.5, 0.0, 0.0};
    double best_cost = std::numeric_limits<double>::infinity();
    for (double p : kGuessP) {
        for (double vf : kGuessVf) {
            double cost = 0.0, q = 0.0;
            bool have_q = false, solved = true;
            for (const std::vector<ResistanceSample>* set : {&sets.drain, &sets.source}) {
                if (set->empty()) continue;
                std::array<std::array<double, 3>, 3> a{};
                std::array<double, 3> y{};
                double dd = 0.0;
                for (const ResistanceSample& s : *set) {
                    const double t = form(s.a, 0.0, p, 0.0, vf).gate;
                    const std::array<double, 3> col{s.current, s.current * t, -s.current * s.b};
                    for (int r = 0; r < 3; ++r) {
                        y[r] += col[r] * s.drop;
                        for (int c = 0; c < 3; ++c) a[r][c] += col[r] * col[c];
                    }
                    dd += s.drop * s.drop;
                }
                std::array<double, 3> coef{};
                if (!solve3(a, y, coef)) {
                    solved = false;
                    break;
                }
                // The least squares miss: d.d - coef.y.
                cost += dd - (coef[0] * y[0] + coef[1] * y[1] + coef[2] * y[2]);
                if (!have_q && coef[1] != 0.0) {
                    q = coef[2] / coef[1];
                    have_q = true;
                }
            }
            if (!solved || !(cost < best_cost)) continue;
            best_cost = cost;
            best = {p, std::clamp(q, kLow[1], kHigh[1]), vf};
        }
    }
    return best;
}

// Levenberg-Marquardt on the shared coefficients, r0 and c eliminated by
// least squares at every step. Returns the sum of squared misses reached.
double fit_shared(const Sets& sets, Shared& k) {
    double lambda = 1e-3;
    std::array<std::array<double, 3>, 3> h{};
    std::array<double, 3> g{};
    double cost = misses(sets, k, &h, &g);
    for (int it = 0; it < kMaxIterations && std::isfinite(cost) && cost > 0.0; ++it) {
        const double scale = std::max({h[0][0], h[1][1], h[2][2], 1e-300});
        bool accepted = false;
        while (lambda < 1e12) {
            std::array<std::array<double, 3>, 3> damped = h;
            for (int a = 0; a < 3; ++a) damped[a][a] += lambda * (h[a][a] + 1e-9 * scale);
            std::array<double, 3> step{};
            if (!solve3(damped, {-g[0], -g[1], -g[2]}, step)) {
                lambda *= 4.0;
                continue;
            }
            Shared next{};
            for (int a = 0; a < 3; ++a) next[a] = std::clamp(k[a] + step[a], kLow[a], kHigh[a]);
            std::array<std::array<double, 3>, 3> next_h{};
            std::array<double, 3> next_g{};
            const double next_cost = misses(sets, next, &next_h, &next_g);
            if (next_cost < cost) {
                const bool settled = cost - next_cost <= 1e-9 * cost;
                k = next;
                h = next_h;
                g = next_g;
                cost = next_cost;
                lambda = std::max(lambda / 3.0, 1e-12);
                accepted = !settled;
                break;
            }
            lambda *= 4.0;
        }
        if (!accepted) break;
    }
    return cost;
}

double root_mean_square(const std::vector<double>& v) {
    if (v.empty()) return 0.0;
    double sum = 0;
    for (double x : v) sum += x * x;
    return std::sqrt(sum / static_cast<double>(v.size()));
}

// Whether one resistance's drops are met within `share` of the tolerance.
bool stands(const std::vector<ResistanceSample>& samples, const SeriesResistance& r, double share) {
    std::vector<double> misses, drops;
    for (const ResistanceSample& s : samples) {
        const double model = s.current * r.at(s.a, s.b).r;
        misses.push_back(s.drop - model);
        drops.push_back(s.drop);
    }
    const double miss = root_mean_square(misses);
    return std::isfinite(miss) && miss <= share * (kFitAbsolute + kFitRelative * root_mean_square(drops));
}

}  // namespace

SeriesResistance::Value SeriesResistance::at(double a, double b) const {
    const Form f = form(a, b, p, q, vf);
    return Value{r0 + 0.5 * c * f.f, 0.5 * c * f.df_da, 0.5 * c * f.df_db};
}

std::optional<SeriesResistances> fit_series_resistances(const std::vector<ResistanceSample>& drain,
                                                        const std::vector<ResistanceSample>& source,
                                                        bool drain_node, bool source_node) {
    Sets sets;
    if (drain_node) sets.drain = finite(drain);
    if (source_node) sets.source = finite(source);
    if ((drain_node && sets.drain.empty()) || (source_node && sets.source.empty())) return std::nullopt;
    if (!drain_node && !source_node) return SeriesResistances{};

    const auto make = [&](const Shared& k, bool constant) {
        SeriesResistances out;
        if (drain_node) out.drain = solve_linear(sets.drain, k, constant);
        if (source_node) out.source = solve_linear(sets.source, k, constant);
        return out;
    };
    const auto valid = [&](const SeriesResistances& r, double share) {
        return (!r.drain || stands(sets.drain, *r.drain, share)) &&
               (!r.source || stands(sets.source, *r.source, share));
    };
    // Constant resistances (the diffusion's alone) are had at once.
    SeriesResistances constant = make(Shared{}, true);
    if (valid(constant, 0.1)) return constant;
    if (sets.drain.size() + sets.source.size() >= kMinSamplesForBias) {
        std::vector<Shared> starts{first_guess(sets)};
        for (double p : kStartP) starts.push_back({p, 0.0, 0.0});
        std::optional<SeriesResistances> best;
        double best_cost = std::numeric_limits<double>::infinity();
        for (Shared k : starts) {
            const double cost = fit_shared(sets, k);
            if (!(cost < best_cost)) continue;
            best_cost = cost;
            best = make(k, false);
            // Well within the tolerance: another start would not do better
            // where it matters.
            if (valid(*best, 0.1)) return best;
        }
        if (best && valid(*best, 1.0)) return best;
    }
    if (valid(constant, 1.0)) return constant;
    return std::nullopt;
}

std::vector<std::optional<SeriesResistances>> fit_series_blocks(const std::vector<BlockSamples>& blocks,
                                                                bool drain_node, bool source_node) {
    const auto joined = [&](const std::vector<char>& use) {
        BlockSamples all;
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            if (!use[k]) continue;
            all.drain.insert(all.drain.end(), blocks[k].drain.begin(), blocks[k].drain.end());
            all.source.insert(all.source.end(), blocks[k].source.begin(), blocks[k].source.end());
        }
        return fit_series_resistances(all.drain, all.source, drain_node, source_node);
    };
    const auto sampled = [&](const BlockSamples& b) { return !b.drain.empty() || !b.source.empty(); };
    std::vector<std::optional<SeriesResistances>> out(blocks.size());
    std::vector<char> use(blocks.size(), 0);
    for (std::size_t k = 0; k < blocks.size(); ++k) use[k] = sampled(blocks[k]) ? 1 : 0;
    if (std::optional<SeriesResistances> all = joined(use)) {
        out.assign(blocks.size(), all);
        return out;
    }
    // The joint fit fails: a Vbs value whose drops the form does not give
    // (or ngspice solved badly) costs only itself.
    std::size_t standing = 0, sampled_blocks = 0;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        if (!use[k]) continue;
        ++sampled_blocks;
        out[k] = fit_series_resistances(blocks[k].drain, blocks[k].source, drain_node, source_node);
        use[k] = out[k] ? 1 : 0;
        standing += use[k];
    }
    // The body coefficient is better pinned over several Vbs values.
    if (standing >= 2 && standing < sampled_blocks) {
        if (std::optional<SeriesResistances> some = joined(use)) {
            for (std::size_t k = 0; k < blocks.size(); ++k) {
                if (use[k]) out[k] = some;
            }
        }
    }
    return out;
}

std::vector<std::size_t> spread(std::size_t n, std::size_t count) {
    std::vector<std::size_t> out;
    if (n == 0 || count == 0) return out;
    if (count >= n) {
        for (std::size_t k = 0; k < n; ++k) out.push_back(k);
        return out;
    }
    if (count == 1) return {n - 1};
    for (std::size_t k = 0; k < count; ++k) {
        // Rounded to the nearest position; distinct, since the spacing is
        // at least one.
        out.push_back((2 * k * (n - 1) + (count - 1)) / (2 * (count - 1)));
    }
    return out;
}

std::pair<std::size_t, std::size_t> sample_grid(std::size_t rows, std::size_t cols, std::size_t budget) {
    if (rows == 0 || cols == 0) return {0, 0};
    budget = std::max<std::size_t>(budget, 1);
    if (rows <= budget / cols) return {rows, cols};
    const auto root = static_cast<std::size_t>(std::sqrt(static_cast<double>(budget)));
    const std::size_t share = std::max<std::size_t>(root, 1);
    if (cols <= rows) {
        const std::size_t c = std::min(cols, share);
        return {std::min(rows, std::max<std::size_t>(budget / c, 1)), c};
    }
    const std::size_t r = std::min(rows, share);
    return {r, std::min(cols, std::max<std::size_t>(budget / r, 1))};
}

std::optional<TerminalSlopes> terminal_slopes(const SeriesPoint& pt, const SeriesResistances& r) {
    // Drain resistance: dI = gd (dVd - x) + pdg (dVg - x) + pdb (dVb - x)
    // with x the internal drain node's change; source resistance likewise
    // with y. Each meets the channel's and junction's currents at its node.
    double gd = 0, pdg = 0, pdb = 0, gs = 0, psg = 0, psb = 0;
    if (r.drain) {
        const SeriesResistance::Value v = r.drain->at(pt.vg - pt.node_d, pt.vb - pt.node_d);
        if (!(v.r > 0.0)) return std::nullopt;
        gd = 1.0 / v.r;
        const double drop = pt.vd - pt.node_d;
        pdg = -drop * gd * gd * v.dr_da;
        pdb = -drop * gd * gd * v.dr_db;
    }
    if (r.source) {
        const SeriesResistance::Value v = r.source->at(pt.vg - pt.node_s, pt.vb - pt.node_s);
        if (!(v.r > 0.0)) return std::nullopt;
        gs = 1.0 / v.r;
        const double drop = pt.node_s;
        psg = -drop * gs * gs * v.dr_da;
        psb = -drop * gs * gs * v.dr_db;
    }
    // The channel current from internal drain to source changes by
    // cg dVg + cd dVd' + cs dVs' + cb dVb. Where the internal drain lies
    // below the internal source (near Vds = 0, where gate or junction
    // currents flow through the resistances) the simulator evaluates the
    // channel with drain and source swapped and reports its slopes so.
    double cg = pt.gm, cd = pt.gds, cs = -(pt.gm + pt.gds + pt.gmbs), cb = pt.gmbs;
    TerminalSlopes out;
    out.reverse = pt.reverse();
    if (out.reverse) {
        cg = -pt.gm;
        cd = pt.gm + pt.gds + pt.gmbs;
        cs = -pt.gds;
        cb = -pt.gmbs;
    }
    const double gbd = pt.gbd, gbs = pt.gbs;
    const double gd_all = gd + pdg + pdb;
    // Drain node: a11 x + a12 y = b1 + (rest's slope); source node:
    // a21 x + a22 y = b2 + (rest's slope).
    const double a11 = -gd_all - cd - gbd, a12 = -cs;
    const double a21 = -cd, a22 = gs - psg - psb - cs + gbs;
    const double det = a11 * a22 - a12 * a21;

    const auto slope = [&](double ug, double ud, double ub) -> double {
        const double b1 = -(gd * ud + pdg * ug + pdb * ub) + cg * ug + cb * ub - gbd * ub;
        const double b2 = -(psg * ug + psb * ub) + cg * ug + cb * ub + gbs * ub;
        if (r.drain && r.source) {
            const double x = (b1 * a22 - a12 * b2) / det;
            return gd * ud + pdg * ug + pdb * ub - gd_all * x;
        }
        if (r.drain) return gd * ud + pdg * ug + pdb * ub - gd_all * (b1 / a11);
        // No resistance (a subcircuit's elements beside the device alone):
        // the nodes are the terminals.
        if (!r.source) return cg * ug + cd * ud + cb * ub - gbd * (ub - ud);
        // The source's resistance alone: the drain node is the terminal.
        const double y = (b2 - a21 * ud) / a22;
        return cg * ug + cd * ud + cs * y + cb * ub - gbd * (ub - ud);
    };
    out.gm = slope(1.0, 0.0, 0.0);
    out.gds = slope(0.0, 1.0, 0.0);
    out.gmbs = slope(0.0, 0.0, 1.0);
    // How much of a change of b1 (the rest at the drain node) and of b2
    // (at the source node) reaches the terminal.
    if (r.drain && r.source) {
        out.transfer = -gd_all * a22 / det;
        out.transfer_source = gd_all * a12 / det;
    } else if (r.drain) {
        out.transfer = -gd_all / a11;
        out.transfer_source = 0.0;
    } else if (r.source) {
        out.transfer = 1.0;
        out.transfer_source = cs / a22;
    } else {
        out.transfer = 1.0;
        out.transfer_source = 0.0;
    }
    if (!std::isfinite(out.gm) || !std::isfinite(out.gds) || !std::isfinite(out.gmbs) ||
        !std::isfinite(out.transfer) || !std::isfinite(out.transfer_source))
        return std::nullopt;
    return out;
}

}  // namespace morva::lut::generate_ngspice
