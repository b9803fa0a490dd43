#include "bsim4/solver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "common/format.h"
#include "common/text.h"

namespace morva::bsim4::solver {
namespace {

// Largest change of the internal drain-source voltage in one Newton step.
constexpr double kVdsStepLimit = 3.5;
// Conductance floor of the initial guess: the assumed drop is at most 1 kOhm x |ids|.
constexpr double kGuessConductanceFloor = 1e-3;
constexpr double kSingularDeterminant = 1e-30;
// Smallest node step over which a resistance's secant is taken (its rounding is ~1e-13 Ohm).
constexpr double kSecantMinStep = 1e-10;

// The channel current leaving the internal drain, in the n-channel frame, and
// its slopes with respect to the internal drain and source voltages.
//
// The evaluator reports the channel current of the device oriented from its
// more negative end (never negative), times the device type, with gm, gds and
// gmbs taken against that orientation's vgs, vds and vbs. Its magnitude with
// the orientation's sign is the current in the frame of the node voltages,
// whatever the device type.
struct ChannelCurrent {
    double i, d_vd, d_vs;
};

ChannelCurrent channel_current(const Bsim4DcResults& r, double vds) {
    const double g_sum = r.gm + r.gds + r.gmbs;
    if (vds >= 0.0) return {std::fabs(r.ids), r.gds, -g_sum};
    // Reversed: the source end is the drain; slopes against vgd, vsd, vbd.
    return {-std::fabs(r.ids), g_sum, -r.gds};
}

// What the gate tunnels into an internal node (across that side's overlap and at the channel's
// end there), and its slopes with respect to the internal drain and source voltages: the
// evaluator's slopes are taken against vgs = vg - vs', vds = vd' - vs', vbs = vb - vs'.
struct GateCurrent {
    double i, d_vd, d_vs;
};

GateCurrent gate_current(const Bsim4GateCurrent& overlap, const Bsim4GateCurrent& channel_end) {
    const double g = overlap.g + channel_end.g, d = overlap.d + channel_end.d, b = overlap.b + channel_end.b;
    return {overlap.i + channel_end.i, d, -(g + d + b)};
}

// The slope of a resistance against its node voltage from the last two iterations; zero until
// two iterates lie far enough apart for the difference to be more than rounding.
struct Secant {
    double slope = 0.0;
    double v = std::numeric_limits<double>::quiet_NaN(), r = 0.0;
    double update(double v_now, double r_now) {
        const double dv = v_now - v;
        if (std::fabs(dv) > kSecantMinStep) slope = (r_now - r) / dv;
        v = v_now;
        r = r_now;
        return slope;
    }
};

bool nr_debug_enabled() {
    const char* value = std::getenv("MORVA_NR_DEBUG");
    return value != nullptr && utf8_valid(value);
}

// Result of an attempt that did not converge: only the iteration count and
// the internal voltages reached are kept.
DcOpResult unconverged(std::uint64_t iterations, std::uint64_t evaluations, double vd_int, double vs_int,
                       std::optional<std::vector<NewtonTrace>>&& trace) {
    DcOpResult result;
    result.trace = std::move(trace);
    result.iterations = iterations;
    result.evaluations = evaluations;
    result.vd_int = vd_int;
    result.vs_int = vs_int;
    return result;
}

void copy_device_values(const Bsim4DcResults& r, DcOpResult& out) {
    out.ids = r.ids;
    out.gm = r.gm;
    out.gds = r.gds;
    out.gmbs = r.gmbs;
    out.vth = r.vth;
    out.vdsat = r.vdsat;
}

// The conductance of a series resistance as the initial guess sees it.
double guess_conductance(double r) {
    return r > 0.0 ? std::max(1.0 / r, kGuessConductanceFloor) : kGuessConductanceFloor;
}

}  // namespace

std::string nr_debug_line(double gmin, std::uint64_t iterations, double vg, double vd, double vs, double vb,
                          double vd_cur, double vs_cur) {
    return fmt::cat("[NR] gmin=", fmt::exp(gmin, 2), " FAILED after ", iterations,
                    " iters  vg=", fmt::fixed(vg, 3), " vd=", fmt::fixed(vd, 3), " vs=", fmt::fixed(vs, 3),
                    " vb=", fmt::fixed(vb, 3), "  vd_cur=", fmt::fixed(vd_cur, 4),
                    " vs_cur=", fmt::fixed(vs_cur, 4), "\n");
}

DcOpResult newton_iteration(const SolverConfig& config, Bsim4InstanceHandle instance,
                            const NewtonStart& start) {
    const double g = start.gmin;
    double vd_i = start.vd_int, vs_i = start.vs_int;
    std::optional<std::vector<NewtonTrace>> trace;
    if (config.trace) trace.emplace();
    // rd depends on the internal drain alone (through vgd and vbd), rs on the internal source
    // alone; the evaluator gives no slopes, so secants over the iterations stand in for them.
    Secant rd_slope{start.rd_slope}, rs_slope{start.rs_slope};

    for (std::uint64_t iter = 0; iter < config.max_iter; ++iter) {
        const double vgs = start.vg - vs_i, vds = vd_i - vs_i, vbs = start.vb - vs_i;
        Bsim4DcResults r{};
        Bsim4GateResults gate{};
        if (bsim4_eval_dc_intrinsic_gate(instance, &r, &gate, vgs, vds, vbs, config.temperature_k) !=
            BSIM4_OK)
            return unconverged(iter, iter + 1, vd_i, vs_i, std::move(trace));

        // Currents leaving each internal node: the channel, the junction (cbd and
        // cbs flow from the bulk into the node), gate tunnelling (from the gate
        // into the node), the series resistance and gmin. A node without series
        // resistance is the terminal itself: its row becomes vd' = vd.
        const ChannelCurrent ch = channel_current(r, vds);
        const bool forward = vds >= 0.0;
        const GateCurrent gate_d = gate_current(gate.igd, forward ? gate.igcd : gate.igcs);
        const GateCurrent gate_s = gate_current(gate.igs, forward ? gate.igcs : gate.igcd);
        const bool drain_pinned = !(r.rd > 0.0), source_pinned = !(r.rs > 0.0);
        const double gd = drain_pinned ? 0.0 : 1.0 / r.rd;
        const double gs = source_pinned ? 0.0 : 1.0 / r.rs;
        const double drd = drain_pinned ? 0.0 : rd_slope.update(vd_i, r.rd);
        const double drs = source_pinned ? 0.0 : rs_slope.update(vs_i, r.rs);

        double f1, j11, j12;
        if (drain_pinned) {
            f1 = vd_i - start.vd;
            j11 = 1.0;
            j12 = 0.0;
        } else {
            f1 = ch.i - r.cbd - gate_d.i + gd * (vd_i - start.vd) + g * vd_i;
            j11 = ch.d_vd + r.gbd - gate_d.d_vd + gd * (1.0 - (vd_i - start.vd) * gd * drd) + g;
            j12 = ch.d_vs - gate_d.d_vs;
        }
        double f2, j21, j22;
        if (source_pinned) {
            f2 = vs_i - start.vs;
            j21 = 0.0;
            j22 = 1.0;
        } else {
            f2 = -ch.i - r.cbs - gate_s.i + gs * (vs_i - start.vs) + g * vs_i;
            j21 = -ch.d_vd - gate_s.d_vd;
            j22 = -ch.d_vs + r.gbs - gate_s.d_vs + gs * (1.0 - (vs_i - start.vs) * gs * drs) + g;
        }

        const double det = j11 * j22 - j12 * j21;
        if (!(std::fabs(det) >= kSingularDeterminant))
            return unconverged(iter, iter + 1, vd_i, vs_i, std::move(trace));
        const double dvd = (-f1 * j22 + f2 * j12) / det;
        const double dvs = (-f2 * j11 + f1 * j21) / det;
        if (!std::isfinite(dvd) || !std::isfinite(dvs))
            return unconverged(iter, iter + 1, vd_i, vs_i, std::move(trace));

        const double vds_old = vd_i - vs_i;
        vs_i += dvs;
        const double vds_wanted = vd_i + dvd - vs_i;
        const double vds_new = std::clamp(vds_wanted, vds_old - kVdsStepLimit, vds_old + kVdsStepLimit);
        vd_i = vs_i + vds_new;

        // A pinned row's residual is a voltage, settled by the step bound.
        const double residual =
            std::max(drain_pinned ? 0.0 : std::fabs(f1), source_pinned ? 0.0 : std::fabs(f2));
        const double step = std::max(std::fabs(dvd), std::fabs(dvs));
        // Written so that a NaN never passes.
        const bool converged = residual < config.current_tol && step < config.voltage_tol;

        if (trace)
            trace->push_back({iter, start.vg - vs_i, vd_i - vs_i, start.vb - vs_i, r.ids, residual, step, g,
                              vds_new != vds_wanted});
        if (converged) {
            DcOpResult result;
            result.trace = std::move(trace);
            result.iterations = iter + 1;
            result.evaluations = iter + 1;
            result.vgs_int = start.vg - vs_i;
            result.vds_int = vd_i - vs_i;
            result.vbs_int = start.vb - vs_i;
            result.vd_int = vd_i;
            result.vs_int = vs_i;
            result.rd_slope = drd;
            result.rs_slope = drs;
            copy_device_values(r, result);
            result.converged = true;
            return result;
        }
    }
    return unconverged(config.max_iter, config.max_iter, vd_i, vs_i, std::move(trace));
}

DcOpResult source_stepping(const SolverConfig& config, Bsim4InstanceHandle instance, double vg, double vd,
                           double vs, double vb) {
    const std::uint64_t n = config.source_steps;
    std::uint64_t evaluations = 0, iterations = 0;
    double vd_i = vs, vs_i = vs;
    for (std::uint64_t k = 1; k <= n; ++k) {
        const double s = static_cast<double>(k) / static_cast<double>(n);
        // Each step starts from the previous internal voltages scaled like the sources.
        vd_i *= s;
        vs_i *= s;
        DcOpResult step = newton_iteration(config, instance,
                                           {vg * s, vd * s, vs * s, vb * s, config.gmin_final, vd_i, vs_i});
        evaluations += step.evaluations;
        iterations += step.iterations;
        if (!step.converged) {
            step.evaluations = evaluations;
            step.iterations = iterations;
            return step;
        }
        vd_i = step.vd_int;
        vs_i = step.vs_int;
    }
    DcOpResult result = newton_iteration(config, instance, {vg, vd, vs, vb, config.gmin_final, vd_i, vs_i});
    result.evaluations += evaluations;
    result.iterations += iterations;
    return result;
}

namespace {

// The whole solve from the applied bias alone: one evaluation there, then (behind series
// resistances) the gmin ladder and, should a rung fail, source stepping.
DcOpResult solve_from_applied(const SolverConfig& config, Bsim4InstanceHandle instance, double vg, double vd,
                              double vs, double vb) {
    Bsim4DcResults r{};
    if (bsim4_eval_dc_intrinsic(instance, &r, vg - vs, vd - vs, vb - vs, config.temperature_k) != BSIM4_OK) {
        DcOpResult failed;
        failed.evaluations = 1;
        return failed;
    }
    std::uint64_t evaluations = 1, iterations = 0;

    if (r.rs <= 0.0 && r.rd <= 0.0) {
        DcOpResult result;
        result.iterations = 1;
        result.vgs_int = vg - vs;
        result.vds_int = vd - vs;
        result.vbs_int = vb - vs;
        result.vd_int = vd;
        result.vs_int = vs;
        copy_device_values(r, result);
        result.converged = true;
        result.evaluations = evaluations;
        return result;
    }

    // Start with the drops the applied current would cause, at most 1 kOhm each.
    const double i = channel_current(r, vd - vs).i;
    double vd_i = vd - i / guess_conductance(r.rd);
    double vs_i = vs + i / guess_conductance(r.rs);

    const auto counted = [&](DcOpResult result) {
        result.evaluations += evaluations;
        result.iterations += iterations;
        result.internal_nodes = result.converged;
        return result;
    };

    // gmin_start x (gmin_final / gmin_start)^(k / gmin_steps); without steps
    // the ladder is gmin_start alone.
    const std::uint64_t steps = config.gmin_steps;
    for (std::uint64_t k = 0; k <= steps; ++k) {
        const double exponent = steps == 0 ? 0.0 : static_cast<double>(k) / static_cast<double>(steps);
        const double gmin = config.gmin_start * std::pow(config.gmin_final / config.gmin_start, exponent);
        const DcOpResult stage = newton_iteration(config, instance, {vg, vd, vs, vb, gmin, vd_i, vs_i});
        evaluations += stage.evaluations;
        iterations += stage.iterations;
        if (!stage.converged) {
            if (nr_debug_enabled()) {
                const std::string line = nr_debug_line(gmin, stage.iterations, vg, vd, vs, vb, vd_i, vs_i);
                std::fwrite(line.data(), 1, line.size(), stderr);
            }
            return counted(source_stepping(config, instance, vg, vd, vs, vb));
        }
        vd_i = stage.vd_int;
        vs_i = stage.vs_int;
    }

    DcOpResult result = newton_iteration(config, instance, {vg, vd, vs, vb, config.gmin_final, vd_i, vs_i});
    if (!result.converged) {
        evaluations += result.evaluations;
        iterations += result.iterations;
        return counted(source_stepping(config, instance, vg, vd, vs, vb));
    }
    return counted(std::move(result));
}

// Beyond this magnitude a double cannot resolve the solver's microvolt steps, and no
// transistor holds such a bias: results there are noise, whatever the arithmetic says.
constexpr double kMaxVoltage = 1e9;

// A converged result keeps its flag only when every value is finite and no voltage is beyond
// resolution (vd = 1e30 would otherwise report a threshold of -2e28 V as converged).
DcOpResult checked(DcOpResult result, double vg, double vd, double vs, double vb) {
    if (!result.converged) return result;
    const double voltages[] = {vg,
                               vd,
                               vs,
                               vb,
                               result.vgs_int,
                               result.vds_int,
                               result.vbs_int,
                               result.vd_int,
                               result.vs_int,
                               result.vth,
                               result.vdsat};
    bool plausible = std::isfinite(result.ids) && std::isfinite(result.gm) && std::isfinite(result.gds) &&
                     std::isfinite(result.gmbs);
    for (double v : voltages) plausible = plausible && std::fabs(v) <= kMaxVoltage;
    if (!plausible) {
        result.converged = false;
        result.internal_nodes = false;
    }
    return result;
}

}  // namespace

void SweepStart::record(const DcOpResult& result, double vd, double vs) {
    if (!result.converged || !result.internal_nodes) {
        last_.reset();
        before_.reset();
        return;
    }
    const Drops now{vd - result.vd_int, result.vs_int - vs, result.rd_slope, result.rs_slope};
    next_ = now;
    if (last_ && before_) {
        next_.drain = 3.0 * (now.drain - last_->drain) + before_->drain;
        next_.source = 3.0 * (now.source - last_->source) + before_->source;
    } else if (last_) {
        next_.drain = 2.0 * now.drain - last_->drain;
        next_.source = 2.0 * now.source - last_->source;
    }
    before_ = last_;
    last_ = now;
}

std::optional<NonFiniteTerminal> non_finite_terminal(double vg, double vd, double vs, double vb) {
    for (const NonFiniteTerminal t : {NonFiniteTerminal{"vg", vg}, NonFiniteTerminal{"vd", vd},
                                      NonFiniteTerminal{"vs", vs}, NonFiniteTerminal{"vb", vb}})
        if (!std::isfinite(t.value)) return t;
    return std::nullopt;
}

DcOpResult dc_operating_point(const SolverConfig& config, Bsim4InstanceHandle instance, double vg, double vd,
                              double vs, double vb, const Drops* start) {
    if (!start) return checked(solve_from_applied(config, instance, vg, vd, vs, vb), vg, vd, vs, vb);

    DcOpResult warm = newton_iteration(config, instance,
                                       {vg, vd, vs, vb, config.gmin_final, vd - start->drain,
                                        vs + start->source, start->rd_slope, start->rs_slope});
    if (warm.converged) {
        warm.internal_nodes = true;
        return checked(std::move(warm), vg, vd, vs, vb);
    }
    DcOpResult cold = solve_from_applied(config, instance, vg, vd, vs, vb);
    cold.iterations += warm.iterations;
    cold.evaluations += warm.evaluations;
    return checked(std::move(cold), vg, vd, vs, vb);
}

}  // namespace morva::bsim4::solver
