#include "lut/simulator.h"

#include <unistd.h>

#include <utility>

#include "common/io.h"

namespace morva::lut::generate_ngspice {

void FailureLatch::note(const SimulationOutcome& outcome) {
    if (outcome || fired()) return;
    std::lock_guard lock(mutex_);
    if (error_) return;
    error_ = outcome.error();
    fired_.store(true, std::memory_order_release);
}

std::optional<NgspiceError> FailureLatch::error() const {
    if (!fired()) return std::nullopt;
    std::lock_guard lock(mutex_);
    return error_;
}

bool rerun_after(const NgspiceError& error) {
    if (error.timed_out) return false;
    switch (error.kind) {
        case NgspiceError::Kind::WorkerCrashed:
        case NgspiceError::Kind::Serialization:
        case NgspiceError::Kind::Io: return true;
        default: return false;
    }
}

namespace {

void write_line(int fd, const std::string& line) {
    // One write per line; a closed stream is not the generator's concern.
    (void)write_all(fd, line);
}

// A follow-up's failure as the generation sees it: a worker that ended under
// it leaves the caller to load the circuit afresh (nothing); any other
// failure ends the generation through the latch, like a request's.
class GuardedCircuit final : public HeldCircuit {
public:
    GuardedCircuit(std::unique_ptr<HeldCircuit> inner, std::shared_ptr<FailureLatch> latch)
        : inner_(std::move(inner)), latch_(std::move(latch)) {}
    std::optional<SimulationOutcome> follow_up(ngspice::SimulationRequest request, bool hold_again,
                                               std::unique_ptr<HeldCircuit>* next) override {
        if (auto e = latch_->error()) return SimulationOutcome(err(std::move(*e)));
        std::unique_ptr<HeldCircuit> inner_next;
        std::optional<SimulationOutcome> outcome =
            inner_->follow_up(std::move(request), hold_again, next ? &inner_next : nullptr);
        if (!outcome || (!*outcome && rerun_after(outcome->error()))) return std::nullopt;
        latch_->note(*outcome);
        if (next && inner_next) *next = std::make_unique<GuardedCircuit>(std::move(inner_next), latch_);
        return outcome;
    }

private:
    std::unique_ptr<HeldCircuit> inner_;
    std::shared_ptr<FailureLatch> latch_;
};

}  // namespace

Simulator with_failure_rule(const Simulator& given) {
    Simulator simulator = given;
    if (!simulator.failures) simulator.failures = std::make_shared<FailureLatch>();
    const auto latch = simulator.failures;
    simulator.run = [run = given.run, latch](ngspice::SimulationRequest r) -> SimulationOutcome {
        for (int attempt = 0;; ++attempt) {
            if (auto e = latch->error()) return err(std::move(*e));
            SimulationOutcome outcome = run(r);
            if (outcome || attempt == kReruns || !rerun_after(outcome.error())) {
                latch->note(outcome);
                return outcome;
            }
        }
    };
    if (given.run_holding) {
        simulator.run_holding = [run = given.run_holding,
                                 latch](ngspice::SimulationRequest r) -> HeldOutcome {
            for (int attempt = 0;; ++attempt) {
                if (auto e = latch->error()) return {err(std::move(*e)), nullptr};
                HeldOutcome held = run(r);
                if (held.outcome || attempt == kReruns || !rerun_after(held.outcome.error())) {
                    latch->note(held.outcome);
                    if (held.circuit)
                        held.circuit = std::make_unique<GuardedCircuit>(std::move(held.circuit), latch);
                    return held;
                }
            }
        };
    }
    return simulator;
}

void StdMessages::out(const std::string& line) { write_line(STDOUT_FILENO, line); }
void StdMessages::err(const std::string& line) { write_line(STDERR_FILENO, line); }

}  // namespace morva::lut::generate_ngspice
