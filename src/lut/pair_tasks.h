// The sweeps of a characterisation through the pool, one task per (W, L)
// pair. A pair's task loads its circuit once: its first request sweeps every
// chunk at every Vbs value and the worker keeps that circuit, so that the
// series resistances' own fit sweep and the shifted sweeps that refine the
// slopes run on it as follow-ups, without loading the kit again; the pair's
// rows are placed in the table in between (assembly.h). When the pairs are
// fewer than the workers and their sweeps outweigh the loads that parts
// would add (pace.h), each pair is split into parts by Vbs values and chunks
// instead, and the sweeps that follow run as requests of their own, spread
// over the workers. On a pool's first call for a device the first pairs load
// their circuits while the probe is still to answer (EarlyLoads), and their
// rows (a split pair's first part) run on them once it has.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/result.h"
#include "lut/assembly.h"
#include "lut/config.h"
#include "lut/pace.h"
#include "lut/pair_sweeps.h"
#include "lut/probe.h"
#include "lut/report.h"
#include "lut/retry.h"
#include "lut/simulator.h"
#include "ngspice/error.h"

namespace morva::lut::generate_ngspice {

// What the tasks did, for the progress lines and the report.
struct TasksDone {
    std::vector<TimingSums> timing;  // of every request of the tasks
    u128 wall = 0;                   // the tasks' wall time
    u128 assemble = 0;               // the pairs' placing in the table, summed
    PairSweeps::Done sweeps;
};

// What every task of the generation shares: the configuration, the chunks,
// the pre-commands and the Vds count (skeleton_plan), with what the probe
// found (base_plan).
std::shared_ptr<TaskPlan> skeleton_plan(const LutConfig& config, const std::vector<Chunk>& chunks,
                                        std::size_t n_vds);
std::shared_ptr<TaskPlan> base_plan(const LutConfig& config, const std::vector<Chunk>& chunks,
                                    const Probed& probed, std::size_t n_vds);

// The circuits the first pairs load for their rows while the probe is still
// to answer, so that the kit is parsed once per pair rather than once for
// the probe and once more for each pair: the pair whose device has the
// probe's sizes first (the probe asks its questions on its circuit), then
// the others in order, as many in all as the simulator has workers. Each
// load is its pair's first netlist saving nothing in particular, held by
// its worker until the pair's rows run on it (saving by command what the
// netlist would have). Tasks are numbered as run_pairs runs them: part p of
// pair (wi, li) is p * n_w * n_l + wi * n_l + li, so that a pair's circuit
// serves its first part when the pairs split.
class EarlyLoads final : public ProbeCircuit {
public:
    // Nothing is sent before `start`.
    EarlyLoads(const Simulator& simulator, const LutConfig& config, std::shared_ptr<const TaskPlan> skeleton);
    // Lets go of the circuits left and waits for the loads still in flight.
    ~EarlyLoads() override;
    EarlyLoads(const EarlyLoads&) = delete;
    EarlyLoads& operator=(const EarlyLoads&) = delete;

    void start(bool listing) override;
    HeldOutcome take() override;
    void give_back(std::unique_ptr<HeldCircuit> circuit) override;
    void let_go() override;
    // Task k's circuit, once its load is answered (none where it failed or
    // was let go, with what the load took); nothing for a task that loads
    // none.
    std::optional<EarlyCircuit> take(std::size_t k);

    // The task on whose circuit the probe asks.
    std::size_t probe_task() const { return probe_task_; }

private:
    struct Slot {
        std::size_t task = 0;
        bool done = false, taken = false;
        std::optional<HeldOutcome> held;  // once done
        TimingSums timing;
    };
    Slot* slot_of(std::size_t k);
    void load(Slot& slot, ngspice::SimulationRequest request);

    const Simulator& simulator_;
    const LutConfig& config_;
    std::shared_ptr<const TaskPlan> skeleton_;
    std::size_t probe_task_ = 0;
    std::mutex mutex_;  // guards the slots' fields and let_go_
    std::condition_variable answered_;
    std::vector<std::unique_ptr<Slot>> slots_;
    bool let_go_ = false;
    std::vector<std::thread> threads_;
};

// The whole plan (one part) when the pairs are not worth splitting
// (parts_worth, at the kit's `pace`); else the parts of a pair, each a group
// of Vbs values and of chunks, in order, together covering each once. Every
// plot is its own sweep from a fresh operating point, so the split does not
// change a single value.
std::vector<std::shared_ptr<const TaskPlan>> split_plan(const std::shared_ptr<const TaskPlan>& base,
                                                        const LutConfig& config, std::size_t n_pairs,
                                                        std::uint64_t workers, const KitPace& pace);

// Runs every pair's sweeps and places their rows in `assembly`. The first
// error (a pool failure, a fatal rung of the ladder) ends them all and is
// the outcome; a stop request ends them with kInterrupted. A task with a
// circuit in `early` runs its rows on it.
Result<TasksDone, NgspiceError> run_pairs(const Simulator& simulator, const LutConfig& config,
                                          const std::shared_ptr<TaskPlan>& base, const Probed& probed,
                                          Assembly& assembly, Messages& messages,
                                          EarlyLoads* early = nullptr);

}  // namespace morva::lut::generate_ngspice
