// The sweeps a (W, L) pair needs beyond its rows: what its subcircuit
// wrapper alone carries at the drain (a circuit of its own: the device is
// switched off for good in it), its own grid for the series resistances' fit
// (where the table's blocks hold too few points), and the shifted sweeps that
// refine its slopes where the rest of the drain current curves. The last two
// run on the pair's held circuit when there is one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/result.h"
#include "lut/assembly.h"
#include "lut/config.h"
#include "lut/pace.h"
#include "lut/report.h"
#include "lut/retry.h"
#include "lut/simulator.h"
#include "ngspice/error.h"

namespace morva::lut::generate_ngspice {

// The time from the first of a kind of request's start to the last one's
// end, over every task.
class Span {
public:
    using Clock = std::chrono::steady_clock;
    void add(Clock::time_point start, Clock::time_point end);
    u128 ns() const;

private:
    mutable std::mutex mutex_;  // guards first_ and last_
    Clock::time_point first_ = Clock::time_point::max(), last_ = Clock::time_point::min();
};

// What the pairs' sweeps share, and what they did. Safe to use from every
// pair's task at once.
class PairSweeps {
public:
    PairSweeps(const Simulator& simulator, const LutConfig& config, std::shared_ptr<const TaskPlan> plan,
               const SmallSignalPlan& small_signal, const ParamMask& extract, Assembly& assembly);

    bool wants_wrapper() const { return small_signal_.wrapper; }
    bool wants_fit_grid() const { return fit_.has_value(); }

    // What pair (wi, li)'s wrapper alone carries (extract_wrapper_slopes),
    // nothing where ngspice failed it; a pool error is the error.
    Result<std::optional<std::vector<double>>, NgspiceError> wrapper(std::size_t wi, std::size_t li,
                                                                     TimingSums& timing);
    // Pair (wi, li)'s own fit sweep at every Vbs value, on `circuit` when
    // there is one (kept for the shifted sweeps); nothing where ngspice
    // failed it.
    Result<std::optional<std::vector<VbsData>>, NgspiceError> fit_grid(const LadderContext& ctx,
                                                                       std::size_t wi, std::size_t li,
                                                                       std::optional<PairCircuit>& circuit,
                                                                       TimingSums& timing);
    // A job's shifted sweeps (on `circuit` when given), their slopes set in
    // the table.
    Result<void, NgspiceError> shifted(const LadderContext& ctx, const SlopeJob& job, PairCircuit* circuit,
                                       std::vector<TimingSums>& timing);
    // The shifted sweeps of every placed pair as jobs, each loading the kit:
    // one per pair that has any; when those are fewer than the workers and
    // a pair's sweeps are worth splitting at the kit's `pace` (parts_worth),
    // its sweeps split into parts of about equal points (every sweep is its
    // own alter and dc, so the split does not change a value).
    std::vector<SlopeJob> jobs(const KitPace& pace) const;

    // What they did, for the progress lines: the fit sweeps asked and had,
    // the wrapper's asked and failed, the shifted sweeps' slopes set, sweeps
    // and requests, and the span of each kind.
    struct Done {
        std::size_t fit_asked = 0, fit_had = 0;
        u128 fit_ns = 0;
        std::size_t wrapper_asked = 0, wrapper_failed = 0;
        u128 wrapper_ns = 0;
        std::size_t slopes = 0, sweeps = 0, slope_requests = 0;
        u128 slope_ns = 0;
    };
    Done done() const;

private:
    const Simulator& simulator_;
    const LutConfig& config_;
    std::shared_ptr<const TaskPlan> plan_;
    const SmallSignalPlan& small_signal_;
    Assembly& assembly_;
    std::optional<LutConfig> fit_;  // the fit sweeps' configuration
    WrapperAxes along_{};           // the wrapper's sweeps: along Vgs, Vds, Vbs
    Span fit_span_, wrapper_span_, slope_span_;
    std::atomic<std::size_t> fit_asked_{0}, fit_had_{0}, wrapper_asked_{0}, wrapper_failed_{0}, slopes_{0},
        sweeps_{0}, slope_requests_{0};
};

// The pairs of a wrapped device whose series resistances could not be had
// for some block (Assembly::unfitted_pairs): each sweeps its whole grid
// shifted both ways along Vgs, Vds and (when gmbs is extracted) Vbs, solved
// tightly, one request per pair side by side, and the central differences
// of the terminal current are those blocks' slopes (Assembly::set_terminal).
// Says what it did on stdout; a pool error is the error.
Result<void, NgspiceError> sweep_terminals(const Simulator& simulator, const LutConfig& config,
                                           const TaskPlan& plan, const ParamMask& extract, Assembly& assembly,
                                           Messages& messages);

}  // namespace morva::lut::generate_ngspice
