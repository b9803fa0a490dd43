// What a characterisation sends its requests through: the simulator (the
// worker pool, or a scripted stand-in), the latch that ends a generation at
// its first failed request, circuits a worker keeps loaded for a follow-up,
// and the sink of progress and diagnostic lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "ngspice/error.h"
#include "ngspice/protocol.h"

namespace morva::lut::generate_ngspice {

using SimulationOutcome = Result<ngspice::SimulationResponse, NgspiceError>;

// Sends one request to a simulator and waits for its answer; safe to call
// from many threads at once.
using RunSimulation = std::function<SimulationOutcome(ngspice::SimulationRequest)>;

// Asked between requests whether the caller gave up waiting (Ctrl-C).
using StopRequested = std::function<bool()>;

// The error of a generation whose caller gave up waiting.
inline constexpr std::string_view kInterrupted = "generation interrupted";

// A request that ends without an answer from ngspice (a worker that crashed
// or was killed, a reply that could not be read, a time-out) says nothing
// about the device: it is run again on a fresh worker up to kReruns times,
// and a request that still fails ends the generation with its error. So
// once the latch holds an error no other request is sent (each gets that
// error at once), a `run` that can gives up the requests in flight, and the
// generation returns it. A time-out is not run again: it says the simulator
// hangs on this device, and every other request would wait as long.
inline constexpr int kReruns = 3;
//
// A netlist that ngspice refused to load (an undefined parameter, an unknown
// model, a syntax error: kCircuitRefused) is no failure of a sweep either:
// every request of the kit would be refused the same way, so the first such
// answer ends the generation with ngspice's reasons, without a rung of the
// ladder or a fallback.
//
// Once the probe has found the device (expect_device), every request is
// built on what it found: an answer that lacks a vector asked for under the
// device's name, or in which ngspice says it has no such device or vector,
// contradicts it and ends the generation too (contradicted()). What the probe
// found may have come from a pool's memo of a kit edited since with its
// files' identity kept: the generation is then made again once, probing
// afresh.

class FailureLatch {
public:
    // Keeps the error of the first outcome that failed.
    void note(const SimulationOutcome& outcome);
    // Keeps `error` as an answer that contradicts the probe, unless an error
    // was kept before.
    void note_contradiction(NgspiceError error);
    bool fired() const { return fired_.load(std::memory_order_acquire); }
    std::optional<NgspiceError> error() const;
    // Whether the error kept is an answer that contradicts the probe.
    bool contradicted() const;

    // The device at `device_path` (flattened name) that later requests are
    // built on; empty: none yet.
    void expect_device(std::string device_path);
    std::string expected_device() const;

    // Forgets the error and the device, for a generation made again after
    // every request of the first has ended.
    void reset();

private:
    std::atomic<bool> fired_{false};
    mutable std::mutex mutex_;  // guards error_, contradicted_ and device_
    std::optional<NgspiceError> error_;
    bool contradicted_ = false;
    std::string device_;
};

// Whether a failed request is run again: its worker ended or its reply could
// not be read, so the request never reached an end in ngspice.
bool rerun_after(const NgspiceError& error);

// Whether ngspice refused to load the response's netlist (nothing ran), and
// what it said: kCircuitRefused, with ngspice's reasons.
bool load_refused(const ngspice::SimulationResponse& response);
std::string load_refusal(const ngspice::SimulationResponse& response);

// The vectors of `asked` that name the device at `device_path`: its
// operating-point values ("@{device}[name]") and internal nodes
// ("{device}#node"), with or without a plot prefix.
std::vector<std::string> device_vectors(const std::vector<std::string>& asked, std::string_view device_path);

// How `response` contradicts a probe that found the device at `device_path`,
// for a request that asked for `device_vectors` (device_vectors of its
// return vectors): a vector of them missing from a response whose commands
// all ran, or ngspice saying of the device that it has no such device or
// vector; nothing when it agrees.
std::optional<std::string> contradiction(const std::vector<std::string>& device_vectors,
                                         const ngspice::SimulationResponse& response,
                                         std::string_view device_path);

// A circuit a worker keeps loaded after answering a request, for follow-ups
// that run further commands on it without loading the kit again. Destroying
// it lets the worker go.
class HeldCircuit {
public:
    virtual ~HeldCircuit() = default;
    // The outcome of `request`'s commands on the circuit; nothing when the
    // worker no longer holds it (nothing ran: the caller loads it afresh).
    // With `hold_again` the circuit is kept for one more follow-up, through
    // `next`.
    virtual std::optional<SimulationOutcome> follow_up(ngspice::SimulationRequest request, bool hold_again,
                                                       std::unique_ptr<HeldCircuit>* next) = 0;
};

// A request's outcome and, when the worker keeps its circuit, the hold.
struct HeldOutcome {
    SimulationOutcome outcome;
    std::unique_ptr<HeldCircuit> circuit;
};
using RunHolding = std::function<HeldOutcome(ngspice::SimulationRequest)>;

struct ProbeMemo;

// The simulator a generation sends its requests to.
struct Simulator {
    RunSimulation run;
    std::uint64_t workers = 1;  // for the report; 0 counts as 1
    StopRequested stop;         // optional
    // Shared with `run` when it gives up requests in flight once the latch
    // has fired; generate_lut makes its own when none is given.
    std::shared_ptr<FailureLatch> failures;
    // Optional: requests whose circuit the worker keeps for follow-ups.
    // Without it every request loads its circuit.
    RunHolding run_holding = {};
    // Optional: what earlier generations learned about devices.
    std::shared_ptr<ProbeMemo> memo = {};
};

// `given` under the failure rule above: every request goes through the
// latch, runs again after a pool error kReruns times at most, and a failure
// that remains fires the latch; so does an answer that ngspice refused to
// load (an error with ngspice's reasons) or one that contradicts the probe.
// A follow-up whose worker ended under it gives nothing (the caller loads the
// circuit afresh), any other failure of one fires the latch too. A latch is
// made when `given` has none.
Simulator with_failure_rule(const Simulator& given);

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

}  // namespace morva::lut::generate_ngspice
