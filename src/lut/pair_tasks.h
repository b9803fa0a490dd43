// The sweeps of a characterisation through the pool, one task per (W, L)
// pair. A pair's task loads its circuit once: its first request sweeps every
// chunk at every Vbs value and the worker keeps that circuit, so that the
// series resistances' own fit sweep and the shifted sweeps that refine the
// slopes run on it as follow-ups, without loading the kit again; the pair's
// rows are placed in the table in between (assembly.h). When the pairs are
// fewer than the workers, each pair is split into parts per Vbs value and
// chunk instead, and the sweeps that follow run as requests of their own,
// spread over the workers.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "common/result.h"
#include "lut/assembly.h"
#include "lut/config.h"
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

// What every task of the generation shares.
std::shared_ptr<TaskPlan> base_plan(const LutConfig& config, const std::vector<Chunk>& chunks,
                                    const Probed& probed, std::size_t n_vds);

// Runs every pair's sweeps and places their rows in `assembly`. The first
// error (a pool failure, a fatal rung of the ladder) ends them all and is
// the outcome; a stop request ends them with kInterrupted.
Result<TasksDone, NgspiceError> run_pairs(const Simulator& simulator, const LutConfig& config,
                                          const std::shared_ptr<TaskPlan>& base, const Probed& probed,
                                          Assembly& assembly, Messages& messages);

}  // namespace morva::lut::generate_ngspice
