// One job's way through the pool: the bounded job queue that feeds the
// worker threads, and the one-shot reply channel between a job's caller and
// the worker that runs it.
#pragma once

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

#include "ngspice/error.h"
#include "ngspice/protocol.h"

namespace morva::ngspice {

// ---- the reply channel ----------------------------------------------------

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

// ---- the job queue -----------------------------------------------------------

namespace detail {
struct HoldSlot;
}

struct Job {
    SimulationRequest request;
    ReplySender reply;
    // Set when the caller asked the worker to keep the circuit (circuit_hold.h).
    std::shared_ptr<detail::HoldSlot> hold = nullptr;
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
    // Puts a job that a receiver took but cannot run back at the head of
    // the queue, for another receiver (beyond the capacity and after `close`
    // too: it was accepted already). After `close_and_drop` the job is
    // dropped instead.
    void give_back(Job job);

private:
    std::mutex mutex_;  // guards every field below
    std::condition_variable not_full_, not_empty_;
    std::deque<Job> jobs_;
    std::size_t capacity_;
    std::size_t receivers_;
    bool closed_ = false;
    bool dropped_ = false;  // by close_and_drop
    std::uint64_t next_send_ticket_ = 0, send_turn_ = 0;
    std::set<std::uint64_t> abandoned_send_tickets_;  // their holders gave up waiting
    std::uint64_t next_recv_ticket_ = 0, recv_turn_ = 0;
};

}  // namespace morva::ngspice
