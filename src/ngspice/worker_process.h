// The parent's side of one ngspice worker process: finding the worker
// program, starting it, writing requests to it and reading its replies under
// a time-out, copying its standard error, and ending it with its process
// group.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/io.h"
#include "common/result.h"
#include "ngspice/error.h"
#include "ngspice/protocol.h"

namespace morva::ngspice {

// ---- worker discovery and spawn -------------------------------------------

// The command that starts a worker; chosen once per pool.
struct WorkerBinary {
    std::string program;
    std::vector<std::string> args;
};

// The first of: $NGSPICE_WORKER_BIN; "ngspice-worker" beside the current
// executable, in $VIRTUAL_ENV/bin, in $CONDA_PREFIX/bin, on $PATH;
// $NGSPICE_WORKER_PYTHON with "-c" and the import line; the current
// executable with "--worker". Candidates that do not exist are skipped.
Result<WorkerBinary, NgspiceError> find_worker_binary();

// The path of the running executable, when the platform tells it.
std::optional<std::string> current_executable();

// A time-out as whole seconds plus nanoseconds (wide enough for any value a
// float number of seconds below 2^64 can give).
struct Timeout {
    std::uint64_t secs = 120;
    std::uint32_t nanos = 0;

    // Rounds to the nearest nanosecond. Refuses negative values ("value is
    // negative") and NaN or values of 2^64 seconds and more ("value is either
    // too big or NaN"), with the full "cannot convert float seconds to
    // Duration: ..." text.
    static Result<Timeout, std::string> from_secs_f64(double seconds);
    double as_secs_f64() const { return static_cast<double>(secs) + nanos / 1e9; }
    // The deadline this long after `start`, or nothing when it lies beyond
    // what the clock can represent (then there is no deadline).
    std::optional<std::chrono::steady_clock::time_point> deadline_after(
        std::chrono::steady_clock::time_point start) const;
};

// Waits on a descriptor until it is ready, a deadline passes, a stop
// descriptor becomes readable (the pool is shutting down), or a cancel
// descriptor does (the job's caller left). -1 stands for no descriptor.
enum class WaitResult { Ready, TimedOut, Stopped, Cancelled, Failed };
WaitResult wait_fd(int fd, short events, const std::optional<std::chrono::steady_clock::time_point>& deadline,
                   int stop_fd, int cancel_fd = -1);

// The standard output of a worker behind an 8 KiB buffer, read under an
// optional deadline. The descriptor is non-blocking; waits use poll.
class WorkerOutput final : public ByteSource {
public:
    explicit WorkerOutput(UniqueFd fd) : fd_(std::move(fd)) {}
    Result<std::size_t, IoError> read_some(char* dst, std::size_t max) override;
    // Applies to the reads that follow. `stop_fd` and `cancel_fd` (or -1)
    // end a wait early.
    void set_deadline(std::optional<std::chrono::steady_clock::time_point> deadline, int stop_fd = -1,
                      int cancel_fd = -1) {
        deadline_ = deadline;
        stop_fd_ = stop_fd;
        cancel_fd_ = cancel_fd;
        timed_out_ = false;
        cancelled_ = false;
    }
    bool timed_out() const { return timed_out_; }
    bool cancelled() const { return cancelled_; }

private:
    UniqueFd fd_;
    std::vector<char> buffer_ = std::vector<char>(8192);
    std::size_t begin_ = 0, end_ = 0;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    int stop_fd_ = -1;
    int cancel_fd_ = -1;
    bool timed_out_ = false;
    bool cancelled_ = false;
};

// Copies a worker's standard error to this process's own as it comes and
// keeps its last few KiB: what a worker that dies during start-up said.
class ErrorEcho {
public:
    // Starts the copying thread; nothing when no thread can be had.
    static std::unique_ptr<ErrorEcho> start(UniqueFd read_end);
    ErrorEcho(const ErrorEcho&) = delete;
    ErrorEcho& operator=(const ErrorEcho&) = delete;
    // Waits up to `grace` for the end of the stream (a descendant may hold
    // it open), then ends the thread after copying what is there.
    ~ErrorEcho() { finish(std::chrono::milliseconds(0)); }
    void finish(std::chrono::milliseconds grace);
    // The last lines copied, at most about 1000 bytes, as valid UTF-8.
    std::string tail() const;

private:
    ErrorEcho() = default;
    void run();

    UniqueFd fd_, stop_read_, stop_write_;
    std::thread thread_;
    mutable std::mutex mutex_;  // guards every field below
    std::condition_variable ended_;
    std::string tail_;
    bool eof_ = false;
};

// One running worker child with its pipes. The owner ends it with
// `retire` (standard input closed, exit awaited, killed when it lingers) or
// `kill` (killed at once); the destructor retires a process still running.
// The child leads its own process group, and whatever it started (a netlist's
// `shell` commands) ends with it: the group is killed once the child has
// ended, before it is reaped.
class WorkerProcess {
public:
    // Starts the command with piped (close-on-exec) standard input and
    // output, standard error copied through an `ErrorEcho`, inherited
    // environment plus a private temporary directory (kWorkerTempDirVar),
    // SIGINT alone blocked, default signal dispositions, and a process group
    // of its own (so a terminal's Ctrl-C reaches the host alone, whose pool
    // then ends the workers).
    static Result<WorkerProcess, NgspiceError> spawn(const WorkerBinary& command);

    WorkerProcess(WorkerProcess&&) noexcept;
    WorkerProcess& operator=(WorkerProcess&&) noexcept;
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;
    ~WorkerProcess();

    pid_t pid() const { return pid_; }
    // Asks without waiting whether the child has ended (a failed query
    // counts as ended). An ended child is reaped here, by its pid only.
    bool has_exited();
    // Writes the request line and reads the reply frame; the reply must be
    // complete within `timeout` of the end of the write. After a time-out or
    // an unreadable reply `stream_broken()` is true: the rest of that reply
    // may still arrive, so the process must not serve another request.
    // A readable `stop_fd` or `cancel_fd` abandons the job (the stream is
    // then broken).
    Result<SimulationResponse, NgspiceError> run(const SimulationRequest& request, const Timeout& timeout,
                                                 int stop_fd = -1, int cancel_fd = -1);
    bool stream_broken() const { return stream_broken_; }

    // Closes standard input, waits up to `grace` for the child to end, then
    // kills it; always reaps it.
    void retire(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    // Kills the child at once and reaps it.
    void kill();

    // Whether a reply frame was ever read whole from this process.
    bool answered() const { return answered_; }
    // Whether the child ended without taking a byte of the request in hand
    // (nor of any, when it never answered: it died while starting): it
    // cannot have run it. Asked before `kill` or `retire`; true at most
    // once per process.
    bool ended_unread();
    // After the child was reaped: how it ended ("(exit code 1)", "(killed
    // by signal 9)") and, when it said something, ": " and the end of its
    // standard error.
    std::string end_report();
    // After the child was reaped: whether it was ended by a signal that
    // others send to end a process (SIGKILL: the kernel's OOM killer, `kill
    // -9`; SIGTERM, SIGINT, SIGHUP, SIGQUIT: an operator, a job-control
    // script) and not by this side. An exit, whatever its code, and a fault
    // or abort (SIGSEGV, SIGABRT, ...) are the worker's own end.
    bool killed_from_outside() const;
    // After the child was reaped: whether how it ended is unknown (and not
    // by a kill from this side). A host that ignores SIGCHLD has its
    // children reaped by the system, exit statuses and all.
    bool end_unknown() const { return reaped_ && wait_status_ < 0 && !killed_here_; }
    // After the child was reaped: whether it wrote nothing to its standard
    // error (its end is waited for a little).
    bool said_nothing();

private:
    WorkerProcess() = default;
    Result<void, NgspiceError> write_line(std::string_view line,
                                          std::optional<std::chrono::steady_clock::time_point> deadline,
                                          const Timeout& timeout, int stop_fd, int cancel_fd);
    void wait_for_exit(std::chrono::milliseconds grace);
    // What the child wrote last to its standard error, once the stream has
    // ended (or half a second passed).
    std::string error_tail();

    // Kills what is left of the child's process group (the child itself
    // has ended but is not yet reaped, so the group id cannot be reused),
    // then reaps the child.
    void end_group_and_reap();

    pid_t pid_ = -1;
    bool reaped_ = true;
    int wait_status_ = -1;  // as waitpid gives it; -1 while unknown
    UniqueFd stdin_;
    std::unique_ptr<WorkerOutput> stdout_;
    std::unique_ptr<ErrorEcho> stderr_;
    std::uint64_t written_ = 0;    // bytes written to standard input
    std::uint64_t job_start_ = 0;  // `written_` when the request in hand began
    std::string temp_dir_;         // made for the child; removed once it has ended
    bool answered_ = false;
    bool unread_asked_ = false;
    bool stream_broken_ = false;
    bool killed_here_ = false;  // this side sent SIGKILL before the child had ended
};

// A pipe whose ends are close-on-exec and not among the standard descriptors
// (so that a dup2 onto 0 or 1 in a child always takes effect).
Result<std::pair<UniqueFd, UniqueFd>, IoError> cloexec_pipe();

}  // namespace morva::ngspice
