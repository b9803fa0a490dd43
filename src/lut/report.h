// The timing breakdown printed after a characterisation through the pool:
// where the wall time of the whole call went (the dispatcher's own work,
// inside the workers, request plumbing, round trips) and how busy the
// workers were. The unattributed time is what the other lines leave of the
// call (the checks before any work, scheduling, gaps), so that they add up
// to it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lut/extract.h"

namespace morva::lut::generate_ngspice {

using u128 = unsigned __int128;

// Nanoseconds on the steady clock since `start` (0 should it run back).
u128 ns_since(std::chrono::steady_clock::time_point start);
std::uint64_t ns64_since(std::chrono::steady_clock::time_point start);

// Phase durations in nanoseconds and the sizes of the run.
struct PhaseTimes {
    u128 wall = 0;      // the whole call
    u128 probe = 0;     // the probing, before any task
    u128 assemble = 0;  // the pairs' placing in the table, summed (in their tasks, side by side)
    u128 diff = 0;      // gm and gds completed, after the tasks
    std::size_t n_w = 0;
    std::size_t n_l = 0;
    std::size_t n_vbs = 0;
    std::uint64_t n_workers = 0;  // 0 counts as 1
};

// The 23-line block, each line ending in "\n"; `more` adds the timings of
// requests outside the chunks (the shifted sweeps).
std::string timing_report(const PhaseTimes& phases, const std::vector<ChunkResult>& results,
                          const std::vector<TimingSums>& more = {});

}  // namespace morva::lut::generate_ngspice
