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

class FailureLatch {
public:
    // Keeps the error of the first outcome that failed.
    void note(const SimulationOutcome& outcome);
    bool fired() const { return fired_.load(std::memory_order_acquire); }
    std::optional<NgspiceError> error() const;

private:
    std::atomic<bool> fired_{false};
    mutable std::mutex mutex_;  // guards error_
    std::optional<NgspiceError> error_;
};

// Whether a failed request is run again: its worker ended or its reply could
// not be read, so the request never reached an end in ngspice.
bool rerun_after(const NgspiceError& error);

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
// that remains fires the latch; a follow-up whose worker ended under it gives
// nothing (the caller loads the circuit afresh), any other failure of one
// fires the latch too. A latch is made when `given` has none.
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
