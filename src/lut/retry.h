// The retry ladder of one (W, L) generation task: one request for every
// chunk and Vbs value first, then per chunk, per Vbs value, Id alone, and
// operating-point parameters in bisected groups. Only failing to obtain the
// drain current is fatal; an unavailable parameter costs its own NaN rows. A
// request that timed out ends the ladder at once with that error: smaller
// requests would wait as long (see TimeoutLatch).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "lut/config.h"
#include "lut/extract.h"
#include "lut/netlists.h"
#include "ngspice/error.h"
#include "ngspice/protocol.h"

namespace morva::lut::generate_ngspice {

using SimulationOutcome = Result<ngspice::SimulationResponse, NgspiceError>;

// Sends one request to a simulator and waits for its answer; safe to call
// from many threads at once.
using RunSimulation = std::function<SimulationOutcome(ngspice::SimulationRequest)>;

// Where generation writes its lines: progress to standard output,
// diagnostics to standard error. Each call writes one whole line, so lines
// of concurrent tasks never mix.
class Messages {
public:
    virtual ~Messages() = default;
    virtual void out(const std::string& line) = 0;
    virtual void err(const std::string& line) = 0;
};

// Writes to file descriptors 1 and 2.
class StdMessages final : public Messages {
public:
    void out(const std::string& line) override;
    void err(const std::string& line) override;
};

// What a task reads, shared by the tasks of one generation, read only. A
// task covering part of a (W, L) pair holds a configuration whose
// `vbs_values` are its own Vbs values and its own chunks, with their offsets
// in the whole table.
struct TaskPlan {
    LutConfig config;
    std::vector<Chunk> chunks;  // at least one
    std::string device_path;
    std::vector<std::string> pre_commands;
    ParamMask extract_mask{};
    std::size_t n_vds = 0;
    // The channel's small-signal vectors asked for beside the drain current
    // (none when the device reports none), and the parts of what the drain
    // carries beyond them, as the shifted sweeps read them.
    std::vector<std::string> small_signal;
    std::vector<BeyondTerms> rest;
    // Index of `chunks[0]` among all chunks and of `config.vbs_values[0]`
    // among all Vbs values; `part` marks a task that holds only part of its
    // (W, L) pair.
    std::size_t chunk_offset = 0;
    std::size_t vbs_offset = 0;
    bool part = false;
    // The first of all Vbs values: a part's netlist carries it, as the
    // whole pair's does, and reaches its own values with `alter`.
    double netlist_vbs = 0.0;
};

// The services of one task: the simulator, the message sink and the
// question whether the task's set was aborted (asked between requests).
struct LadderContext {
    RunSimulation run;
    std::shared_ptr<const TaskPlan> plan;
    Messages* messages = nullptr;
    std::function<bool()> cancelled;
};

// The shifted sweeps of one (W, L) pair, or of part of them.
struct SlopeJob {
    double w = 0;
    std::size_t wi = 0;
    double l = 0;
    std::size_t li = 0;
    std::vector<ShiftedSweep> sweeps;  // at least one
    // Index of sweeps[0] among the pair's sweeps; `part` marks a job that
    // holds only some of them.
    std::size_t first = 0;
    bool part = false;
};

// Per sweep of a job, what the drain carries beyond the channel at its
// points (Vds fastest, each rest part after the other), or nothing when the
// sweep could not be had.
struct SlopeResult {
    std::vector<std::optional<std::vector<double>>> beyond;
    TimingSums timing;
    // A request timed out (this job's, or another's before it: then none
    // is sent); the sweeps not had are left for the caller to say.
    bool hung = false;
};

// One request for the job's sweeps; when it fails (other than by timing
// out), one request per sweep. Sweeps that fail alone are left out, said in
// one line on stderr; a time-out ends the job without a line (the
// generation says it once for every job); only an aborted task ends with an
// error.
Result<SlopeResult, NgspiceError> fetch_slopes_with_retry(const LadderContext& ctx, const SlopeJob& job);

// One ChunkResult per chunk, in chunk order.
Result<std::vector<ChunkResult>, NgspiceError> fetch_wl_with_retry(const LadderContext& ctx, double w,
                                                                   std::size_t wi, double l, std::size_t li);

Result<ChunkResult, NgspiceError> fetch_chunk_with_retry(const LadderContext& ctx, double w, std::size_t wi,
                                                         double l, std::size_t li, std::size_t chunk_index,
                                                         const SweepRange& vgs, std::size_t n_rows);

Result<VbsData, NgspiceError> fetch_single_vbs_with_bisect(const LadderContext& ctx, const SweepRange& vgs,
                                                           double w, std::size_t wi, double l, std::size_t li,
                                                           double vbs, std::size_t v, std::size_t chunk_index,
                                                           std::size_t n_rows, TimingSums& timing);

}  // namespace morva::lut::generate_ngspice
