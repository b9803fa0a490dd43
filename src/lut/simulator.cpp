#include "lut/simulator.h"

#include <unistd.h>

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

}  // namespace

void StdMessages::out(const std::string& line) { write_line(STDOUT_FILENO, line); }
void StdMessages::err(const std::string& line) { write_line(STDERR_FILENO, line); }

}  // namespace morva::lut::generate_ngspice
