#include "lut/simulator.h"

#include <unistd.h>

#include <unordered_set>
#include <utility>

#include "common/format.h"
#include "common/io.h"
#include "common/text.h"
#include "ngspice/worker.h"

namespace morva::lut::generate_ngspice {

void FailureLatch::note(const SimulationOutcome& outcome) {
    if (outcome || fired()) return;
    std::lock_guard lock(mutex_);
    if (error_) return;
    error_ = outcome.error();
    fired_.store(true, std::memory_order_release);
}

void FailureLatch::note_contradiction(NgspiceError error) {
    if (fired()) return;
    std::lock_guard lock(mutex_);
    if (error_) return;
    error_ = std::move(error);
    contradicted_ = true;
    fired_.store(true, std::memory_order_release);
}

std::optional<NgspiceError> FailureLatch::error() const {
    if (!fired()) return std::nullopt;
    std::lock_guard lock(mutex_);
    return error_;
}

bool FailureLatch::contradicted() const {
    if (!fired()) return false;
    std::lock_guard lock(mutex_);
    return contradicted_;
}

void FailureLatch::expect_device(std::string device_path) {
    std::lock_guard lock(mutex_);
    device_ = std::move(device_path);
}

std::string FailureLatch::expected_device() const {
    std::lock_guard lock(mutex_);
    return device_;
}

void FailureLatch::reset() {
    std::lock_guard lock(mutex_);
    error_.reset();
    contradicted_ = false;
    device_.clear();
    fired_.store(false, std::memory_order_release);
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

bool load_refused(const ngspice::SimulationResponse& response) {
    return !response.success && !response.log.empty() && response.log.back() == ngspice::kCircuitRefused;
}

std::string load_refusal(const ngspice::SimulationResponse& response) {
    const std::string error = response.error.value_or(std::string());
    if (error.starts_with(ngspice::kCircuitRefused)) return error;
    std::string reason = ngspice::ngspice_error_lines(response.log);
    if (reason.empty()) reason = error;
    return reason.empty() ? std::string(ngspice::kCircuitRefused)
                          : fmt::cat(ngspice::kCircuitRefused, " (ngspice: ", reason, ")");
}

namespace {

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '$';
}

// "dc3.@m1[gm]" without its plot's name: "@m1[gm]".
std::string_view without_plot(std::string_view name) {
    std::size_t letters = 0;
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    while (letters < name.size() && letter(name[letters])) ++letters;
    std::size_t digits = letters;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
    if (letters == 0 || digits == letters || digits >= name.size() || name[digits] != '.') return name;
    return name.substr(digits + 1);
}

// Whether `line` (lower case) names the device `path` (lower case) as a
// whole name, not as the start of a longer one.
bool mentions(std::string_view line, std::string_view path) {
    if (path.empty()) return false;
    for (std::size_t at = line.find(path); at != std::string_view::npos; at = line.find(path, at + 1)) {
        const bool starts = at == 0 || !name_char(line[at - 1]);
        const std::size_t end = at + path.size();
        if (starts && (end == line.size() || !name_char(line[end]))) return true;
    }
    return false;
}

void write_line(int fd, const std::string& line) {
    // One write per line; a closed stream is not the generator's concern.
    (void)write_all(fd, line);
}

// The vectors of `request` that name the device the latch expects.
std::vector<std::string> asked_of_device(const FailureLatch& latch,
                                         const ngspice::SimulationRequest& request) {
    if (!request.return_vectors) return {};
    const std::string device = latch.expected_device();
    if (device.empty()) return {};
    return device_vectors(*request.return_vectors, device);
}

// An answer as the failure rule takes it: one ngspice refused to load is an
// error with ngspice's reasons; one that contradicts the probe is noted as
// such and is an error; any other stays as it came.
SimulationOutcome judged(FailureLatch& latch, const std::vector<std::string>& asked,
                         SimulationOutcome outcome) {
    if (!outcome) return outcome;
    if (load_refused(*outcome)) return err(NgspiceError::simulation(load_refusal(*outcome)));
    const std::string device = latch.expected_device();
    if (device.empty()) return outcome;
    if (auto why = contradiction(asked, *outcome, device)) {
        NgspiceError error = NgspiceError::simulation(
            fmt::cat("ngspice's answers contradict what the probe found of '", device, "': ", *why));
        latch.note_contradiction(error);
        return err(std::move(error));
    }
    return outcome;
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
        const std::vector<std::string> asked = asked_of_device(*latch_, request);
        std::unique_ptr<HeldCircuit> inner_next;
        std::optional<SimulationOutcome> outcome =
            inner_->follow_up(std::move(request), hold_again, next ? &inner_next : nullptr);
        if (!outcome || (!*outcome && rerun_after(outcome->error()))) return std::nullopt;
        outcome = judged(*latch_, asked, std::move(*outcome));
        latch_->note(*outcome);
        if (next && inner_next && *outcome)
            *next = std::make_unique<GuardedCircuit>(std::move(inner_next), latch_);
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
        const std::vector<std::string> asked = asked_of_device(*latch, r);
        for (int attempt = 0;; ++attempt) {
            if (auto e = latch->error()) return err(std::move(*e));
            SimulationOutcome outcome = run(r);
            if (outcome || attempt == kReruns || !rerun_after(outcome.error())) {
                outcome = judged(*latch, asked, std::move(outcome));
                latch->note(outcome);
                return outcome;
            }
        }
    };
    if (given.run_holding) {
        simulator.run_holding = [run = given.run_holding,
                                 latch](ngspice::SimulationRequest r) -> HeldOutcome {
            const std::vector<std::string> asked = asked_of_device(*latch, r);
            for (int attempt = 0;; ++attempt) {
                if (auto e = latch->error()) return {err(std::move(*e)), nullptr};
                HeldOutcome held = run(r);
                if (held.outcome || attempt == kReruns || !rerun_after(held.outcome.error())) {
                    held.outcome = judged(*latch, asked, std::move(held.outcome));
                    if (!held.outcome) held.circuit.reset();
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

std::vector<std::string> device_vectors(const std::vector<std::string>& asked, std::string_view device_path) {
    const std::string path = ascii_lower(device_path);
    const std::string op = fmt::cat("@", path, "["), node = fmt::cat(path, "#");
    std::vector<std::string> out;
    for (const std::string& name : asked) {
        const std::string bare = ascii_lower(without_plot(name));
        if (bare.starts_with(op) || bare.starts_with(node)) out.push_back(name);
    }
    return out;
}

std::optional<std::string> contradiction(const std::vector<std::string>& device_vectors,
                                         const ngspice::SimulationResponse& response,
                                         std::string_view device_path) {
    if (response.success) {
        if (device_vectors.empty()) return std::nullopt;
        // The names that came with values (ngspice keeps a vector saved for a
        // device it lacks, without one), each looked up once: a pair's
        // request asks for hundreds.
        std::unordered_set<std::string> valued;
        for (const ngspice::VectorData& v : response.vectors) {
            if (!v.real.empty() || (v.complex && !v.complex->empty())) valued.insert(ascii_lower(v.name));
        }
        for (const std::string& name : device_vectors) {
            if (!valued.contains(ascii_lower(name)) && !valued.contains(ascii_lower(without_plot(name))))
                return fmt::cat("no values of '", without_plot(name), "' came back for request '",
                                response.id, "'");
        }
        return std::nullopt;
    }
    // ngspice's words for a device or a vector of it that is not there.
    static constexpr std::string_view kMissing[] = {"no such", "not available", "not found", "invalid"};
    const std::string path = ascii_lower(device_path);
    for (const std::string& entry : response.log) {
        std::string_view line = entry;
        if (!line.starts_with("stderr ")) continue;
        line = trim_whitespace(line.substr(7));
        const std::string lower = ascii_lower(line);
        if (!mentions(lower, path)) continue;
        for (std::string_view phrase : kMissing) {
            if (lower.find(phrase) != std::string::npos)
                return fmt::cat("ngspice says \"", line, "\" to request '", response.id, "'");
        }
    }
    return std::nullopt;
}

void StdMessages::out(const std::string& line) { write_line(STDOUT_FILENO, line); }
void StdMessages::err(const std::string& line) { write_line(STDERR_FILENO, line); }

}  // namespace morva::lut::generate_ngspice
