// The worker pool: a fixed number of ngspice worker processes, one thread
// each, fed from one bounded job queue. Every caller gets the reply to its
// own request.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/result.h"
#include "ngspice/circuit_hold.h"
#include "ngspice/error.h"
#include "ngspice/job_queue.h"
#include "ngspice/protocol.h"
#include "ngspice/worker_process.h"

namespace morva::ngspice {

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
    // As submit, and the worker keeps the request's circuit loaded after a
    // successful answer, for one follow-up through the returned hold.
    std::optional<std::pair<ReplyFuture, CircuitHold>> submit_holding(
        SimulationRequest request, const std::function<bool()>& give_up,
        OnAbandon on_abandon = OnAbandon::Finish);
    // submit(request).get(): blocks until this request's own reply is in.
    SimulationOutcome run_simulation(SimulationRequest request);

    // The state the worker threads share with the pool (opaque).
    struct Shared;

private:
    explicit WorkerPool(std::uint64_t workers) : workers_(workers) {}
    std::optional<ReplyFuture> submit_job(SimulationRequest request, const std::function<bool()>& give_up,
                                          OnAbandon on_abandon, std::shared_ptr<detail::HoldSlot> hold);
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
