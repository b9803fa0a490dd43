#include "ngspice/pool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

#include "common/format.h"
#include "common/task_set.h"

namespace morva::ngspice {

void write_log_line(const std::string& line) {
    const std::string whole = line + "\n";
    (void)write_all(STDERR_FILENO, whole);
}

// ---- the pool -------------------------------------------------------------------------------

struct WorkerPool::Shared {
    JobQueue queue;
    WorkerBinary command;
    Timeout timeout;
    std::optional<std::uint64_t> max_sims_per_worker;
    // Set by `shutdown`; the stop pipe's read end turns readable with it and
    // wakes every wait on a worker's pipes.
    std::atomic<bool> stopping{false};
    UniqueFd stop_read, stop_write;
    // Why the last worker thread gave up, for the callers that find no
    // worker left.
    std::mutex why_mutex;
    std::string why_exhausted;

    void set_why_exhausted(const std::string& why) {
        std::lock_guard lock(why_mutex);
        why_exhausted = why;
    }
    NgspiceError exhausted() {
        std::lock_guard lock(why_mutex);
        return NgspiceError::send_failed(why_exhausted);
    }

    Shared(std::size_t capacity, std::size_t receivers, WorkerBinary cmd, Timeout t,
           std::optional<std::uint64_t> max)
        : queue(capacity, receivers), command(std::move(cmd)), timeout(t), max_sims_per_worker(max) {}
};

namespace {

// How a worker hears that the caller of the job it runs has left (jobs
// submitted with OnAbandon::EndWorker): a byte in this pipe, whose read end
// the job's waits watch. Both ends are non-blocking; without a pipe (no
// descriptor to be had) such jobs run to their end.
struct WakePipe {
    UniqueFd read, write;

    static WakePipe open() {
        WakePipe pipe;
        auto ends = cloexec_pipe();
        if (!ends) return pipe;
        for (const int fd : {ends->first.get(), ends->second.get()}) {
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return pipe;
        }
        pipe.read = std::move(ends->first);
        pipe.write = std::move(ends->second);
        return pipe;
    }
    void drain() const {
        char bytes[64];
        while (::read(read.get(), bytes, sizeof bytes) > 0) {
        }
    }
};

// While alive, the job's caller leaving wakes its worker through the pipe.
// The caller writes only while the job is registered here, and the pipe is
// drained after it is not: no byte reaches the next job.
class JobWatch {
public:
    JobWatch(const ReplySender& reply, const WakePipe& pipe) : pipe_(pipe) {
        const auto& slot = reply.slot();
        if (!slot || slot->on_abandon != OnAbandon::EndWorker || !pipe.write.valid()) return;
        slot_ = slot;
        std::lock_guard lock(slot_->mutex);
        slot_->wake_fd = pipe.write.get();
    }
    JobWatch(const JobWatch&) = delete;
    JobWatch& operator=(const JobWatch&) = delete;
    ~JobWatch() {
        if (!slot_) return;
        {
            std::lock_guard lock(slot_->mutex);
            slot_->wake_fd = -1;
        }
        pipe_.drain();
    }
    // What the job's waits watch, or -1.
    int cancel_fd() const { return slot_ ? pipe_.read.get() : -1; }

private:
    const WakePipe& pipe_;
    std::shared_ptr<detail::ReplySlot> slot_;
};

// One worker thread: owns its process and serves jobs until the queue is
// closed and empty, or the pool shuts down.
class WorkerTask {
public:
    WorkerTask(std::uint64_t index, std::shared_ptr<WorkerPool::Shared> shared)
        : index_(index), shared_(std::move(shared)) {}

    void run() {
        try {
            serve();
        } catch (const std::exception& e) {
            log(fmt::cat("internal error — ", e.what()));
        } catch (...) {
            log("internal error");
        }
        process_.reset();
        // The last thread to go answers what is still queued with its reason.
        std::deque<Job> left = shared_->queue.receiver_gone();
        if (stopping()) return;
        for (Job& job : left) job.reply.send(err(shared_->exhausted()));
    }

private:
    void log(const std::string& text) const {
        write_log_line(fmt::cat("[pool] worker ", index_, ": ", text));
    }
    bool stopping() const { return shared_->stopping.load(std::memory_order_acquire); }

    void serve() {
        auto first = WorkerProcess::spawn(shared_->command);
        if (!first) {
            log("failed to spawn — " + first.error().text());
            shared_->set_why_exhausted(
                fmt::cat("worker ", index_, " failed to spawn: ", first.error().text()));
            return;
        }
        process_.emplace(std::move(*first));
        count_ = 0;
        wake_ = WakePipe::open();
        for (;;) {
            std::optional<Job> job = shared_->queue.pop();
            if (!job) {
                log("channel closed, exiting");
                process_->retire();
                return;
            }
            // Its caller stopped waiting before any worker took it: not run
            // (the worker's state, its count included, stays as it was).
            if (job->reply.caller_gone()) continue;
            if (!handle(*job)) return;
        }
    }

    // A process that ended without taking a byte of its input died while
    // starting: its report, and whether the end was a kill from outside.
    // Its own failure (an exit, a fault) says the install is broken: after
    // kMaxStartFailures in a row the thread gives up instead of starting the
    // same failure again and again. A kill from outside (the OOM killer, an
    // operator) says nothing about the install and is not counted; a run of
    // them only spaces the next starts out. Where the host ignores SIGCHLD
    // the system reaps the workers and how one ended is unknown: an end that
    // left nothing on standard error (a broken install almost always says
    // why) is taken for a kill, up to kMaxSilentEnds in a row; after that
    // such ends count as failures, so that an install that fails silently is
    // still given up. A process that answers resets every count.
    struct StartDeath {
        std::string report;
        bool outside = false;
    };
    static constexpr int kMaxStartFailures = 3;
    static constexpr int kMaxSilentEnds = 20;
    std::optional<StartDeath> note_start_failure() {
        if (process_->answered() || !process_->ended_unread()) return std::nullopt;
        // It may still be on its way out: its own end, not a kill from here,
        // must decide how it is counted.
        process_->retire(std::chrono::milliseconds(200));
        bool outside = process_->killed_from_outside();
        if (!outside && process_->end_unknown() && process_->said_nothing())
            outside = ++silent_ends_ <= kMaxSilentEnds;
        if (outside) {
            ++outside_kills_;
            respawn_not_before_ = std::chrono::steady_clock::now() + respawn_pause(outside_kills_);
        } else {
            ++start_failures_;
        }
        return StartDeath{fmt::cat("worker ", index_, " exited during start-up ", process_->end_report()),
                          outside};
    }
    // None after one kill, then doubling from 20 ms to half a second: a
    // storm of kills costs a few starts a second, not a core.
    static std::chrono::milliseconds respawn_pause(int kills_in_a_row) {
        if (kills_in_a_row < 2) return std::chrono::milliseconds(0);
        const int doublings = std::min(kills_in_a_row - 2, 5);
        return std::min(std::chrono::milliseconds(20 << doublings), std::chrono::milliseconds(500));
    }
    // When the slot is given up, the job in hand (no worker read it) goes
    // back to the queue for a slot still serving; the last slot to go
    // answers it, with whatever else is queued, as exhausted.
    bool giving_up(const std::string& why, Job& job) {
        if (start_failures_ < kMaxStartFailures) return false;
        log(fmt::cat("exited during start-up ", start_failures_, " times in a row, giving up"));
        shared_->set_why_exhausted(why);
        shared_->queue.give_back(std::move(job));
        return true;
    }
    // Waits out the pause after kills from outside; a shutdown ends it.
    void pause_before_respawn() const {
        while (std::chrono::steady_clock::now() < respawn_not_before_ && !stopping()) {
            if (wait_fd(-1, 0, respawn_not_before_, shared_->stop_read.get()) == WaitResult::Stopped) return;
        }
    }

    // Runs one job; false when this thread ends (the pool is shutting down,
    // or its worker cannot start). A job's allocation failure is its own
    // error: the worker is replaced as after a crash and the thread goes on.
    bool handle(Job& job) {
        try {
            return handle_job(job);
        } catch (const std::bad_alloc&) {
            job.reply.send(err(NgspiceError::out_of_memory("not enough memory to run the job")));
            // Its stream may stand anywhere: the next job starts a new one.
            process_->kill();
            log("out of memory, worker ended");
            return true;
        }
    }

    // Starts a new process in place of the current one. The old one is
    // killed when its stream cannot be trusted, else retired.
    Result<void, NgspiceError> replace(bool kill_old) {
        if (kill_old) process_->kill();
        pause_before_respawn();
        MORVA_ASSIGN(WorkerProcess fresh, WorkerProcess::spawn(shared_->command));
        process_->retire();
        *process_ = std::move(fresh);
        count_ = 0;
        return {};
    }

    // Runs of a job whose worker died before it read any of it: killed from
    // outside while starting, or ended (whatever ended it) after serving,
    // typically killed while idle just as the job came. The job is provably
    // unrun, so it is run again on the new worker (a storm of kills then
    // costs its callers fewer errors), a few times at most. A worker that
    // ends itself while starting is not given the job again: that is the
    // broken install the slot gives up on.
    static constexpr int kMaxUnreadReruns = 3;

    bool handle_job(Job& job) {
        if (process_->has_exited()) {
            log("detected dead process, respawning");
            if (auto death = note_start_failure(); death && giving_up(death->report, job)) return false;
            if (auto r = replace(false); !r) {
                job.reply.send(err(NgspiceError::worker_crashed(
                    fmt::cat("worker ", index_, " failed to respawn: ", r.error().text()))));
                return true;
            }
        }
        for (int reruns = 0;; ++reruns) {
            std::optional<SimulationOutcome> ran;
            {
                const JobWatch watch(job.reply, wake_);
                // Its caller left while the process was being checked: not run.
                if (job.reply.caller_gone()) return true;
                ran.emplace(process_->run(job.request, shared_->timeout, shared_->stop_read.get(),
                                          watch.cancel_fd()));
            }
            SimulationOutcome outcome = std::move(*ran);
            count_ += 1;
            if (stopping()) {
                // Abandoned mid-way, or finished just as the pool went: a reply
                // that arrived whole is still handed over.
                if (outcome) job.reply.send(std::move(outcome));
                if (process_->stream_broken()) process_->kill();
                return false;
            }
            if (!outcome && outcome.error().kind == NgspiceError::Kind::WorkerCrashed) {
                // What a worker that never started says is its reason, not the
                // end of its output.
                const std::optional<StartDeath> death = note_start_failure();
                if (death) outcome = err(NgspiceError::worker_crashed(death->report));
                const bool unrun = death ? death->outside : process_->answered() && process_->ended_unread();
                log("crashed during simulation — " + outcome.error().detail);
                if (death && giving_up(death->report, job)) return false;
                auto respawned = replace(true);
                if (respawned) {
                    log("respawned successfully");
                } else {
                    log("respawn failed — " + respawned.error().text());
                }
                if (respawned && unrun && reruns < kMaxUnreadReruns && !stopping()) continue;
                job.reply.send(std::move(outcome));
                return true;
            }
            return after_job(job, std::move(outcome));
        }
    }

    // The reply of a job that did not crash its worker, and what follows it.
    bool after_job(Job& job, SimulationOutcome outcome) {
        if (outcome) start_failures_ = outside_kills_ = silent_ends_ = 0;
        const bool broken = process_->stream_broken();
        // A caller that asked for the circuit to be kept learns, by the time
        // its reply is in, whether it is.
        const bool holding = job.hold && outcome && outcome->success && !broken;
        if (job.hold) begin_hold(*job.hold, holding, job.request.id);
        job.reply.send(std::move(outcome));
        if (broken) {
            // A late or half-read reply would reach the next caller: the
            // process goes, whatever it is doing (also when the job was
            // abandoned by a caller that wants its worker ended).
            if (auto r = replace(true); !r) log("respawn failed — " + r.error().text());
            return true;
        }
        if (holding) {
            std::optional<Job> next = await_follow_up(*job.hold, [this] { return stopping(); });
            if (stopping()) return false;
            if (next) return handle(*next);
        }
        const auto& max_sims = shared_->max_sims_per_worker;
        if (max_sims && count_ >= *max_sims) {
            log(fmt::cat("reached ", count_, " sims, restarting to reclaim ngspice heap"));
            if (auto r = replace(false); !r) log("proactive restart failed — " + r.error().text());
        }
        return true;
    }

    std::uint64_t index_;
    std::shared_ptr<WorkerPool::Shared> shared_;
    std::optional<WorkerProcess> process_;
    WakePipe wake_;
    std::uint64_t count_ = 0;
    int start_failures_ = 0;
    int outside_kills_ = 0;  // start-up deaths by a kill from outside, in a row
    int silent_ends_ = 0;    // start-up ends of unknown status that said nothing, in a row
    std::chrono::steady_clock::time_point respawn_not_before_{};
};

// The soft open-file limit, or nothing when there is none or it is unknown.
std::optional<std::uint64_t> open_file_limit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

std::uint64_t workers_within(std::uint64_t file_limit) {
    const std::uint64_t room = file_limit > kHostFds ? file_limit - kHostFds : 0;
    return std::clamp<std::uint64_t>(room / kFdsPerWorker, 1, kMaxWorkers);
}

}  // namespace

std::uint64_t max_workers() {
    const std::optional<std::uint64_t> limit = open_file_limit();
    return limit ? workers_within(*limit) : kMaxWorkers;
}

std::optional<std::string> worker_count_problem(std::uint64_t workers) {
    const std::optional<std::uint64_t> limit = open_file_limit();
    const std::uint64_t bound = limit ? workers_within(*limit) : kMaxWorkers;
    if (workers <= bound) return std::nullopt;
    if (bound < kMaxWorkers)
        return fmt::cat("workers must be at most ", bound, " here: each worker holds ", kFdsPerWorker,
                        " open files and the open-file limit (RLIMIT_NOFILE) is ", *limit, "; got ", workers);
    return fmt::cat("workers must be at most ", kMaxWorkers,
                    " (each worker is a process of its own, served by two threads), got ", workers);
}

Result<std::shared_ptr<WorkerPool>, NgspiceError> WorkerPool::create(PoolSettings settings) {
    if (settings.workers == 0) return err(NgspiceError::init("workers must be at least 1"));
    if (auto problem = worker_count_problem(settings.workers)) return err(NgspiceError::init(*problem));
    WorkerBinary command;
    if (settings.worker_exe) {
        command.program = *settings.worker_exe;
    } else {
        MORVA_ASSIGN(command, find_worker_binary());
    }
    std::shared_ptr<WorkerPool> pool(new WorkerPool(settings.workers));
    const auto workers = static_cast<std::size_t>(settings.workers);
    auto shared = std::make_shared<Shared>(4 * workers, workers, std::move(command), settings.timeout,
                                           settings.max_sims_per_worker);
    auto stop_pipe = cloexec_pipe();
    if (!stop_pipe) return err(NgspiceError::from_io(stop_pipe.error()));
    shared->stop_read = std::move(stop_pipe->first);
    shared->stop_write = std::move(stop_pipe->second);
    pool->shared_ = shared;
    pool->threads_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
        auto task = std::make_shared<WorkerTask>(i, shared);
        try {
            pool->threads_.push_back(start_quiet_thread([task] { task->run(); }));
        } catch (const std::system_error& e) {
            // Out of threads: this and every later worker never start.
            const std::string why = NgspiceError::from_io(IoError::from_errno(e.code().value())).text();
            write_log_line(fmt::cat("[pool] worker ", i, ": failed to spawn — ", why));
            shared->set_why_exhausted(fmt::cat("worker ", i, " failed to spawn: ", why));
            for (std::size_t k = i; k < workers; ++k) shared->queue.receiver_gone();
            break;
        }
    }
    return pool;
}

bool WorkerPool::forked_copy() const { return ::getpid() != owner_pid_; }

void WorkerPool::join_threads() {
    if (forked_copy()) {
        // The parent's threads do not exist here; their handles are left
        // alone (joining would hang, destroying them would abort).
        new std::vector<std::thread>(std::move(threads_));
        threads_.clear();
        return;
    }
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    threads_.clear();
}

WorkerPool::~WorkerPool() {
    if (shared_ && !forked_copy()) shared_->queue.close();
    join_threads();
}

void WorkerPool::shutdown() {
    if (forked_copy()) return join_threads();
    if (!shared_->stopping.exchange(true)) {
        const char byte = 1;
        (void)write_all(shared_->stop_write.get(), std::string_view(&byte, 1));
    }
    shared_->queue.close_and_drop();
    join_threads();
}

ReplyFuture WorkerPool::submit(SimulationRequest request) { return *submit(std::move(request), {}); }

std::optional<ReplyFuture> WorkerPool::submit(SimulationRequest request, const std::function<bool()>& give_up,
                                              OnAbandon on_abandon) {
    return submit_job(std::move(request), give_up, on_abandon, nullptr);
}

std::optional<std::pair<ReplyFuture, CircuitHold>> WorkerPool::submit_holding(
    SimulationRequest request, const std::function<bool()>& give_up, OnAbandon on_abandon) {
    auto hold = std::make_shared<detail::HoldSlot>();
    std::optional<ReplyFuture> future = submit_job(std::move(request), give_up, on_abandon, hold);
    if (!future) return std::nullopt;
    return std::make_pair(std::move(*future), CircuitHold(std::move(hold)));
}

std::optional<ReplyFuture> WorkerPool::submit_job(SimulationRequest request,
                                                  const std::function<bool()>& give_up, OnAbandon on_abandon,
                                                  std::shared_ptr<detail::HoldSlot> hold) {
    auto slot = std::make_shared<detail::ReplySlot>();
    slot->on_abandon = on_abandon;
    ReplyFuture future(slot);
    if (forked_copy()) {
        ReplySender(slot).send(err(NgspiceError::send_failed()));
        return future;
    }
    Job job{std::move(request), ReplySender(slot), std::move(hold)};
    switch (shared_->queue.try_push(job, give_up)) {
        case JobQueue::PushOutcome::Queued: break;
        case JobQueue::PushOutcome::Refused: job.reply.send(err(shared_->exhausted())); break;
        case JobQueue::PushOutcome::GaveUp: return std::nullopt;
    }
    return future;
}

SimulationOutcome WorkerPool::run_simulation(SimulationRequest request) {
    return submit(std::move(request)).get();
}

}  // namespace morva::ngspice
