// The retry ladder of one (W, L) generation task: one request for every
// chunk and Vbs value first, then per chunk, per Vbs value, Id alone, and
// operating-point parameters in bisected groups. Only failing to obtain the
// drain current is fatal; an unavailable parameter costs its own NaN rows.
// Only ngspice's answers about the device move down the ladder: a request
// that ended in a pool error (already run again, see FailureLatch), or that
// ngspice refused to load or answered in contradiction to the probe, ends the
// ladder at once with that error.
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
#include "lut/simulator.h"
#include "ngspice/error.h"
#include "ngspice/protocol.h"

namespace morva::lut::generate_ngspice {

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
    // What the netlist saves beside them so that follow-ups on its circuit
    // have every vector the shifted sweeps read (rest_vectors of `rest`).
    std::vector<std::string> saved;
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
    // Optional: the pair's first request keeps its circuit for follow-ups.
    RunHolding run_holding = {};
};

// A circuit a pair's follow-ups run on: held by its worker, or loaded afresh
// from `netlist` (the text it was loaded from) when the worker has let it go.
struct PairCircuit {
    std::unique_ptr<HeldCircuit> held;
    std::string netlist;
};

// `request`'s commands on `circuit`: on the held circuit while the worker has
// it, else on the circuit loaded afresh from its netlist (the same values
// either way: every sweep starts from its own operating point). With
// `hold_again` the circuit is kept for a further follow-up; otherwise the
// hold ends here.
SimulationOutcome run_on_circuit(const LadderContext& ctx, PairCircuit& circuit,
                                 ngspice::SimulationRequest request, bool hold_again);

// A pair's rows, one ChunkResult per chunk in chunk order, and, when its
// first request answered them all and the worker keeps that circuit (asked
// through `run_holding`), the circuit for follow-ups.
struct PairRows {
    std::vector<ChunkResult> chunks;
    std::optional<PairCircuit> circuit;
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
};

// One request for the job's sweeps (on `circuit` when given: its pair's);
// when ngspice fails it, one request per sweep. Sweeps that fail alone are
// left out, said in one line on stderr. A pool error or an aborted task ends
// the job with an error.
Result<SlopeResult, NgspiceError> fetch_slopes_with_retry(const LadderContext& ctx, const SlopeJob& job,
                                                          PairCircuit* circuit = nullptr);

// A task's circuit loaded before the probe had answered: its first
// request's netlist without what the rows save (rows_load_request), held by
// its worker, and what the load took.
struct EarlyCircuit {
    std::unique_ptr<HeldCircuit> held;
    TimingSums timing;
};

// The request that loads task (`plan`, wi, li)'s circuit for its rows before
// the probe has answered: the netlist of the rows' first request saving
// nothing in particular, and no sweep run (a listing with `listing`).
ngspice::SimulationRequest rows_load_request(const TaskPlan& plan, double w, std::size_t wi, double l,
                                             std::size_t li, bool listing);

// The pair's rows; its first request holds its circuit when `ctx` can. With
// an `early` circuit that is still held, that request runs on it, asking what
// its netlist would save by command; else it loads its netlist as ever.
Result<PairRows, NgspiceError> fetch_wl_with_retry(const LadderContext& ctx, double w, std::size_t wi,
                                                   double l, std::size_t li,
                                                   std::optional<EarlyCircuit> early = std::nullopt);

Result<ChunkResult, NgspiceError> fetch_chunk_with_retry(const LadderContext& ctx, double w, std::size_t wi,
                                                         double l, std::size_t li, std::size_t chunk_index,
                                                         const SweepRange& vgs, std::size_t n_rows);

Result<VbsData, NgspiceError> fetch_single_vbs_with_bisect(const LadderContext& ctx, const SweepRange& vgs,
                                                           double w, std::size_t wi, double l, std::size_t li,
                                                           double vbs, std::size_t v, std::size_t chunk_index,
                                                           std::size_t n_rows, TimingSums& timing);

}  // namespace morva::lut::generate_ngspice
