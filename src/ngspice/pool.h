// The worker pool: a fixed number of ngspice worker processes, one thread
// each, fed from one bounded job queue. Every caller gets the reply to its
// own request.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/io.h"
#include "common/result.h"
#include "error/ngspice_error.h"
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
    // environment, an empty signal mask, default signal dispositions, and a
    // process group of its own (so a terminal's Ctrl-C reaches the host
    // alone, whose pool then ends the workers).
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
    // Whether the child ended without taking a byte of its input: it died
    // while starting, not over a request. Asked before `kill` or `retire`;
    // true at most once per process.
    bool ended_unread();
    // After the child was reaped: how it ended ("(exit code 1)", "(killed
    // by signal 9)") and, when it said something, ": " and the end of its
    // standard error.
    std::string end_report();

private:
    WorkerProcess() = default;
    Result<void, NgspiceError> write_line(std::string_view line,
                                          std::optional<std::chrono::steady_clock::time_point> deadline,
                                          const Timeout& timeout, int stop_fd, int cancel_fd);
    void wait_for_exit(std::chrono::milliseconds grace);

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
    std::uint64_t written_ = 0;  // bytes written to standard input
    bool answered_ = false;
    bool unread_asked_ = false;
    bool stream_broken_ = false;
};

// ---- the reply channel ----------------------------------------------------

using SimulationOutcome = Result<SimulationResponse, NgspiceError>;

// What becomes of a job that a worker is running when its caller stops
// waiting: it runs to its end (its reply unread), or its worker process is
// ended at once and replaced, as after a time-out.
enum class OnAbandon { Finish, EndWorker };

namespace detail {
struct ReplySlot {
    std::mutex mutex;  // guards `outcome` and `wake_fd`
    std::condition_variable ready;
    std::optional<SimulationOutcome> outcome;
    // Set when the receiving end is destroyed: nobody will read the reply.
    std::atomic<bool> caller_gone{false};
    OnAbandon on_abandon = OnAbandon::Finish;
    // While a worker runs a job that ends its worker when abandoned: the
    // descriptor the caller's leaving writes a byte to, to wake that worker.
    int wake_fd = -1;
};
}  // namespace detail

// The sending end of one job's reply. Destroyed without a reply, it answers
// with `WorkerCrashed` "worker task dropped reply sender".
class ReplySender {
public:
    explicit ReplySender(std::shared_ptr<detail::ReplySlot> slot) : slot_(std::move(slot)) {}
    ReplySender(ReplySender&&) noexcept = default;
    ReplySender& operator=(ReplySender&&) noexcept;
    ReplySender(const ReplySender&) = delete;
    ~ReplySender();
    void send(SimulationOutcome outcome);
    // True once the receiving end is gone: a reply would reach nobody.
    bool caller_gone() const { return slot_ && slot_->caller_gone.load(std::memory_order_acquire); }
    // The shared state, for the worker that watches its caller (null once sent).
    const std::shared_ptr<detail::ReplySlot>& slot() const { return slot_; }

private:
    std::shared_ptr<detail::ReplySlot> slot_;
};

// The receiving end: blocks until the reply is there. Destroying it tells
// the pool that the caller has stopped waiting: a job not yet handed to a
// worker is then dropped; one already running finishes, its reply unread, or
// with OnAbandon::EndWorker has its worker ended.
class ReplyFuture {
public:
    explicit ReplyFuture(std::shared_ptr<detail::ReplySlot> slot) : slot_(std::move(slot)) {}
    ReplyFuture(ReplyFuture&&) noexcept = default;
    ReplyFuture& operator=(ReplyFuture&&) noexcept;
    // Move-only: a copy's end would abandon a job another copy waits for.
    ReplyFuture(const ReplyFuture&) = delete;
    ReplyFuture& operator=(const ReplyFuture&) = delete;
    ~ReplyFuture() { abandon(); }
    // The outcome; callable once.
    SimulationOutcome get();
    bool ready() const;
    // Waits up to `timeout` for the outcome; true once it is there.
    bool wait_for(std::chrono::milliseconds timeout) const;

private:
    void abandon() noexcept;

    std::shared_ptr<detail::ReplySlot> slot_;
};

// ---- the pool ---------------------------------------------------------------

struct Job {
    SimulationRequest request;
    ReplySender reply;
};

// A bounded multi-producer, multi-consumer queue of jobs. Waiting senders
// get space, and waiting receivers get jobs, in the order they began to wait.
class JobQueue {
public:
    JobQueue(std::size_t capacity, std::size_t receivers) : capacity_(capacity), receivers_(receivers) {}
    // Blocks while the queue is full. Gives the job back when the queue is
    // closed or no receiver is left.
    std::optional<Job> push(Job job);
    // As push, and while the queue is full `give_up` is asked every 100 ms
    // whether to stop waiting. Unless the job was queued it stays with the
    // caller.
    enum class PushOutcome { Queued, Refused, GaveUp };
    PushOutcome try_push(Job& job, const std::function<bool()>& give_up);
    // Blocks for the next job; nothing once the queue is closed and empty.
    std::optional<Job> pop();
    // No more jobs are accepted; those queued are still handed out.
    void close();
    // A receiver has ended; after the last one, sends fail and the jobs
    // still queued are handed back (unanswered, their callers get the
    // dropped-reply error).
    std::deque<Job> receiver_gone();
    // Closes the queue and drops what it holds, at once.
    void close_and_drop();

private:
    std::mutex mutex_;  // guards every field below
    std::condition_variable not_full_, not_empty_;
    std::deque<Job> jobs_;
    std::size_t capacity_;
    std::size_t receivers_;
    bool closed_ = false;
    std::uint64_t next_send_ticket_ = 0, send_turn_ = 0;
    std::set<std::uint64_t> abandoned_send_tickets_;  // their holders gave up waiting
    std::uint64_t next_recv_ticket_ = 0, recv_turn_ = 0;
};

// The most workers a pool may have, whatever the open-file limit: each is a
// process of its own, served by two threads of this one.
inline constexpr std::uint64_t kMaxWorkers = 1024;
// Descriptors a worker holds in this process (its three pipes, the wake-ups
// of its error copier and of its job), with one to spare for a respawn.
inline constexpr std::uint64_t kFdsPerWorker = 8;
// Descriptors left to the rest of the host process.
inline constexpr std::uint64_t kHostFds = 64;

// The largest worker count this process can run: kMaxWorkers, or fewer when
// the open-file limit (RLIMIT_NOFILE) leaves room for fewer; at least 1.
std::uint64_t max_workers();
// Why a pool of `workers` cannot be run here (naming the bound and its
// reason), or nothing. A count of 0 is the caller's to refuse.
std::optional<std::string> worker_count_problem(std::uint64_t workers);

struct PoolSettings {
    std::uint64_t workers = 1;
    Timeout timeout;
    // Used as is, with no search; absent: `find_worker_binary`.
    std::optional<std::string> worker_exe;
    // Restart a process after this many jobs (0 behaves as 1); absent: never.
    std::optional<std::uint64_t> max_sims_per_worker;
};

// Shared by reference counting between its users (the Python pool object,
// characterisation runs). Safe to call from any number of threads at once.
class WorkerPool {
public:
    // Chooses the worker command and starts one thread per worker; each
    // thread starts its own process, so this returns before any worker is up.
    static Result<std::shared_ptr<WorkerPool>, NgspiceError> create(PoolSettings settings);
    // Closes the queue; the threads answer what is still queued, end their
    // processes and are joined. No child outlives the pool.
    ~WorkerPool();
    // Ends the pool now: queued jobs are dropped, jobs in progress are
    // abandoned (their processes killed), idle processes see their input
    // close; returns once every thread and child has ended. Callers still
    // waiting get `WorkerCrashed` "worker task dropped reply sender".
    void shutdown();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The number of workers the pool was created with.
    std::uint64_t workers() const { return workers_; }

    // Queues the request (waiting while the queue is full) and returns the
    // handle on its reply. A closed pool answers `SendFailed` at once.
    // Dropping the handle before the job is taken from the queue cancels it.
    ReplyFuture submit(SimulationRequest request);
    // As submit, but while the queue is full `give_up` is asked every 100 ms
    // whether to stop waiting; then nothing is queued and nothing returned.
    // `on_abandon` says what becomes of the job if its handle is dropped
    // while a worker runs it.
    std::optional<ReplyFuture> submit(SimulationRequest request, const std::function<bool()>& give_up,
                                      OnAbandon on_abandon = OnAbandon::Finish);
    // submit(request).get(): blocks until this request's own reply is in.
    SimulationOutcome run_simulation(SimulationRequest request);

    // The state the worker threads share with the pool (opaque).
    struct Shared;

private:
    explicit WorkerPool(std::uint64_t workers) : workers_(workers) {}
    void join_threads();
    // True in a child made by fork(): the threads and worker processes belong
    // to the parent, so this copy neither uses nor ends them.
    bool forked_copy() const;

    std::uint64_t workers_;
    pid_t owner_pid_ = ::getpid();
    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> threads_;
};

// Writes one line to standard error with a single write, so lines of
// different threads never mix.
void write_log_line(const std::string& line);

}  // namespace morva::ngspice
