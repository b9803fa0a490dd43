// DC operating point of one BSIM4 transistor behind its bias-dependent series
// resistances: a two-unknown Newton-Raphson on the internal drain and source
// nodes, made robust by a gmin ladder and a source-stepping fallback. Each
// node balances the channel, its junction, the gate-tunnelling currents into
// it (its overlap current and the gate-to-channel current's part at its end,
// as ngspice stamps them behind the resistances) and its resistance; `ids` is
// the channel current.
//
// Voltages are in the n-channel frame of the evaluator (a p-channel device
// conducts for positive vgs and vds); `ids`, `vth` and `vdsat` of a result
// carry the device type as the evaluator reports them. Evaluations run at
// the configuration's temperature. The solver keeps no state: calls on distinct instances may run on
// distinct threads, and calls on one instance are serialised by the
// evaluator's model lock, evaluation by evaluation.
//
// A result is reported converged only when every value is finite and no
// voltage exceeds 1e9 V: near there double arithmetic stops resolving the
// default 1 uV `voltage_tol` (about 4.5e9 V), a Newton step rounds to nothing
// and the model's terms to noise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bsim4_model/bsim4.h"

namespace morva::bsim4::solver {

struct SolverConfig {
    std::uint64_t max_iter = 100;     // Newton iterations per attempt
    double current_tol = 1e-12;       // bound on the node current residuals, A
    double voltage_tol = 1e-6;        // bound on the Newton update, V
    double reserved = 1e-3;           // carried with the settings, read by nothing
    double gmin_start = 1e-2;         // first conductance of the gmin ladder, S
    double gmin_final = 1e-12;        // last rung, also used by the final solve and source stepping, S
    std::uint64_t gmin_steps = 10;    // ladder intervals (gmin_steps + 1 rungs; 0 gives one rung)
    std::uint64_t source_steps = 10;  // steps of the source-stepping fallback
    bool trace = false;               // record one entry per Newton iteration
    double temperature_k = 300.15;    // of every evaluation, K
};

// One Newton iteration, for diagnosis.
struct NewtonTrace {
    std::uint64_t iteration = 0;
    double vgs = 0.0, vds = 0.0, vbs = 0.0;  // after this iteration's update
    double ids = 0.0;                        // of the evaluation at the start of the iteration
    double residual = 0.0;                   // largest absolute node current residual
    double step = 0.0;                       // largest absolute Newton update
    double gmin = 0.0;
    bool limited = false;  // the drain-source step was clamped
};

struct DcOpResult {
    // The returned attempt's iterations when tracing; absent without tracing
    // and when no Newton attempt ran.
    std::optional<std::vector<NewtonTrace>> trace;
    // Newton iterations of the whole solve, every attempt counted (a warm
    // start, the gmin ladder, source stepping); 1 for a device without series
    // resistance, solved by one evaluation.
    std::uint64_t iterations = 0;
    double vgs_int = 0.0, vds_int = 0.0, vbs_int = 0.0;  // intrinsic differences at the solution
    double vd_int = 0.0, vs_int = 0.0;                   // internal drain and source nodes
    double ids = 0.0, gm = 0.0, gds = 0.0, gmbs = 0.0, vth = 0.0, vdsat = 0.0;
    bool converged = false;
    // The internal nodes were solved for (the device has series resistance):
    // the next point of a sweep may start from this one.
    bool internal_nodes = false;
    // Slopes of rd against the internal drain and of rs against the internal
    // source (Ohm/V) as the converged attempt last estimated them.
    double rd_slope = 0.0, rs_slope = 0.0;
    // Evaluator calls made by the whole solve (every attempt), for profiling.
    std::uint64_t evaluations = 0;
};

// Applied voltages, the gmin to use and the internal node voltages to start from.
struct NewtonStart {
    double vg = 0.0, vd = 0.0, vs = 0.0, vb = 0.0;
    double gmin = 0.0;
    double vd_int = 0.0, vs_int = 0.0;
    // Resistance slopes to use until the iterates give their own (see DcOpResult).
    double rd_slope = 0.0, rs_slope = 0.0;
};

// Drops across the series resistances at a solution: applied minus internal
// drain, internal minus applied source; and the resistances' slopes there.
struct Drops {
    double drain = 0.0, source = 0.0;
    double rd_slope = 0.0, rs_slope = 0.0;
};

// Where each point of a sweep with equal steps starts: the drops of the last
// point solved through its internal nodes, extrapolated through the one or
// two points before it (linearly, then quadratically) when those were too.
// Nothing after a point solved without internal nodes or not at all.
class SweepStart {
public:
    // The drops to start the next point from, or null.
    const Drops* next() const { return last_ ? &next_ : nullptr; }
    // Takes the result of the point just solved at applied drain `vd` and source `vs`.
    void record(const DcOpResult& result, double vd, double vs);

private:
    std::optional<Drops> last_, before_;
    Drops next_;
};

// The first of the four terminal voltages that is not a finite number, by
// name ("vg", "vd", "vs", "vb") and value; none when all are. Such a bias is
// outside the solver's domain: a solve at it only ends unconverged, so
// callers refuse it.
struct NonFiniteTerminal {
    const char* name;
    double value;
};
std::optional<NonFiniteTerminal> non_finite_terminal(double vg, double vd, double vs, double vb);

// Never fails: an evaluator error, a singular Jacobian, an exhausted
// iteration count or a result beyond resolution give `converged` false.
//
// With `start` (the drops of a neighbouring solution, see SweepStart), one
// Newton attempt at gmin_final starts from those drops and slopes; the gmin
// ladder (and source stepping after it) runs only when that attempt fails.
DcOpResult dc_operating_point(const SolverConfig& config, Bsim4InstanceHandle instance, double vg, double vd,
                              double vs, double vb, const Drops* start = nullptr);

// One Newton attempt from the given start.
DcOpResult newton_iteration(const SolverConfig& config, Bsim4InstanceHandle instance,
                            const NewtonStart& start);

// Ramps every applied voltage from 0 to its value in `source_steps` steps.
DcOpResult source_stepping(const SolverConfig& config, Bsim4InstanceHandle instance, double vg, double vd,
                           double vs, double vb);

// The line written to standard error for a failed gmin stage when
// MORVA_NR_DEBUG is set (newline included).
std::string nr_debug_line(double gmin, std::uint64_t iterations, double vg, double vd, double vs, double vb,
                          double vd_cur, double vs_cur);

}  // namespace morva::bsim4::solver
