// Characterisation through the worker pool: one table from one
// configuration. The stages stand in files of their own: the device's probe
// (probe.h), one task per (W, L) pair with its follow-ups (pair_tasks.h) and
// the retry ladder of its rows (retry.h), the table's assembly with gm and
// gds (assembly.h, with the shifted sweeps of slopes.h and the series
// resistances of series.h), and the timing report (report.h). Here: the
// checks before any work, the native path, the plan, the stages in order,
// and the pool as the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/result.h"
#include "lut/config.h"
#include "lut/probe.h"
#include "lut/simulator.h"
#include "lut/table.h"
#include "ngspice/error.h"

namespace morva::ngspice {
class WorkerPool;
}

namespace morva::lut::generate_ngspice {

// Runs the whole generation on the pool; blocks until it is done. Progress
// goes to standard output, diagnostics to standard error. Once `stop` says
// so, no task sends another request (a request waiting for room in the
// pool's queue is withdrawn), the requests in flight are dropped and their
// workers ended (the pool replaces them), and the generation ends with
// NgspiceError::Simulation(kInterrupted). `memo`, when given, keeps what the
// probe learns for later generations on the same pool.
Result<TransistorLut, NgspiceError> generate_lut(std::size_t n_chunks,
                                                 std::shared_ptr<ngspice::WorkerPool> pool,
                                                 const LutConfig& config, StopRequested stop = {},
                                                 std::shared_ptr<ProbeMemo> memo = {});

// The same over any simulator and message sink.
Result<TransistorLut, NgspiceError> generate_lut(std::size_t n_chunks, const Simulator& simulator,
                                                 const LutConfig& config, Messages& messages);

// Why a generation cannot start: a chunk count of 0, a Vgs or Vds range that
// is no sweep (see sweep_shape_problem), text that cannot go into a netlist,
// or (unless the native path is asked for first) model paths ngspice cannot
// read, or a table larger than this machine's memory.
// Callers refuse these before any work.
std::optional<std::string> generation_problem(std::size_t n_chunks, const LutConfig& config);

// Why the table of `config` cannot be held in `budget_bytes` of memory: its
// grids (id, gm, gds and each requested operating-point name) at 8 bytes a
// point, twice over (the simulated rows or finished native items are held
// beside the table), and a little per (W, L) task; or a point count beyond
// 64 bits.
std::optional<std::string> table_memory_problem(const LutConfig& config, std::uint64_t budget_bytes);

// The chunk count when the caller gives none: one chunk per started 100
// points of the configured Vgs sweep (rounded point count), at least 1.
std::size_t default_chunk_count(const LutConfig& config);

}  // namespace morva::lut::generate_ngspice
