// Characterisation through the worker pool: one table from one
// configuration, with device-path detection, operating-point probes, one
// task per (W, L) pair walking the retry ladder, assembly, gm and gds (with
// shifted sweeps where the drain's current beyond the channel curves, see
// slopes.h), and the timing report.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "lut/config.h"
#include "lut/netlists.h"
#include "lut/retry.h"
#include "lut/table.h"
#include "ngspice/error.h"

namespace morva::ngspice {
class WorkerPool;
}

namespace morva::lut::generate_ngspice {

// Asked between requests whether the caller gave up waiting (Ctrl-C).
using StopRequested = std::function<bool()>;

// The first time-out of a generation. A request that waited out the pool's
// time-out says the simulator hangs on this device: smaller requests, other
// (W, L) pairs and the probes would each wait as long. So once one has, no
// other request is sent (each gets that error at once), a `run` that can
// gives up the requests in flight, and the ladders end there: a failing
// generation ends about one time-out after its first request that hung, not
// one time-out per rung of every ladder.
class TimeoutLatch {
public:
    // Keeps the error of the first outcome that timed out.
    void note(const SimulationOutcome& outcome);
    bool fired() const { return fired_.load(std::memory_order_acquire); }
    std::optional<NgspiceError> error() const;

private:
    std::atomic<bool> fired_{false};
    mutable std::mutex mutex_;  // guards error_
    std::optional<NgspiceError> error_;
};

// The simulator a generation sends its requests to.
struct Simulator {
    RunSimulation run;
    std::uint64_t workers = 1;  // for the report; 0 counts as 1
    StopRequested stop;         // optional
    // Shared with `run` when it gives up requests in flight once the latch
    // has fired; generate_lut makes its own when none is given.
    std::shared_ptr<TimeoutLatch> timeouts;
};

// The error of a generation whose caller gave up waiting.
inline constexpr std::string_view kInterrupted = "generation interrupted";

// Runs the whole generation on the pool; blocks until it is done. Progress
// goes to standard output, diagnostics to standard error. Once `stop` says
// so, no task sends another request (a request waiting for room in the
// pool's queue is withdrawn), the requests in flight are dropped and their
// workers ended (the pool replaces them), and the generation ends with
// NgspiceError::Simulation(kInterrupted).
Result<TransistorLut, NgspiceError> generate_lut(std::size_t n_chunks,
                                                 std::shared_ptr<ngspice::WorkerPool> pool,
                                                 const LutConfig& config, StopRequested stop = {});

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

// "m1", or "m.x1.{device_name}" for a device inside a subcircuit.
std::string guessed_device_path(const LutConfig& config);

// The flattened device name from a "listing e" of the probe netlist, or the
// guess with a warning.
std::string detect_device_path(const Simulator& simulator, const LutConfig& config, Messages& messages);

// Which requested parameters the model supports: one concurrent probe each.
ParamMask probe_op_params(const Simulator& simulator, const LutConfig& config, const ParamMask& requested,
                          const std::string& device_path);

}  // namespace morva::lut::generate_ngspice
