#include "ngspice/job_queue.h"

#include <unistd.h>

namespace morva::ngspice {

// ---- reply channel -------------------------------------------------------------------

ReplySender& ReplySender::operator=(ReplySender&& other) noexcept {
    if (this != &other) {
        if (slot_) send(err(NgspiceError::worker_crashed("worker task dropped reply sender")));
        slot_ = std::move(other.slot_);
    }
    return *this;
}

ReplySender::~ReplySender() {
    if (slot_) send(err(NgspiceError::worker_crashed("worker task dropped reply sender")));
}

void ReplySender::send(SimulationOutcome outcome) {
    if (!slot_) return;
    {
        std::lock_guard lock(slot_->mutex);
        if (!slot_->outcome) slot_->outcome.emplace(std::move(outcome));
    }
    slot_->ready.notify_all();
    slot_.reset();
}

ReplyFuture& ReplyFuture::operator=(ReplyFuture&& other) noexcept {
    if (this != &other) {
        abandon();
        slot_ = std::move(other.slot_);
    }
    return *this;
}

void ReplyFuture::abandon() noexcept {
    if (!slot_) return;
    slot_->caller_gone.store(true, std::memory_order_release);
    if (slot_->on_abandon == OnAbandon::EndWorker) {
        std::lock_guard lock(slot_->mutex);
        // A worker is running the job and has not answered: wake it.
        if (slot_->wake_fd >= 0 && !slot_->outcome) {
            const char byte = 1;
            (void)!::write(slot_->wake_fd, &byte, 1);
        }
    }
    slot_.reset();
}

SimulationOutcome ReplyFuture::get() {
    std::unique_lock lock(slot_->mutex);
    slot_->ready.wait(lock, [&] { return slot_->outcome.has_value(); });
    SimulationOutcome out = std::move(*slot_->outcome);
    return out;
}

bool ReplyFuture::wait_for(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(slot_->mutex);
    return slot_->ready.wait_for(lock, timeout, [&] { return slot_->outcome.has_value(); });
}

bool ReplyFuture::ready() const {
    std::lock_guard lock(slot_->mutex);
    return slot_->outcome.has_value();
}

// ---- job queue ----------------------------------------------------------------------------

std::optional<Job> JobQueue::push(Job job) {
    if (try_push(job, {}) == PushOutcome::Queued) return std::nullopt;
    return job;
}

JobQueue::PushOutcome JobQueue::try_push(Job& job, const std::function<bool()>& give_up) {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = next_send_ticket_++;
    const auto may_go = [&] {
        return closed_ || receivers_ == 0 || (ticket == send_turn_ && jobs_.size() < capacity_);
    };
    while (!may_go()) {
        if (!give_up) {
            not_full_.wait(lock, may_go);
            break;
        }
        if (not_full_.wait_for(lock, std::chrono::milliseconds(100), may_go)) break;
        lock.unlock();
        const bool stop = give_up();
        lock.lock();
        if (stop) {
            // Told to stop, even if room has just come. Those behind this
            // ticket must not wait for it.
            abandoned_send_tickets_.insert(ticket);
            while (abandoned_send_tickets_.erase(send_turn_)) ++send_turn_;
            lock.unlock();
            not_full_.notify_all();
            return PushOutcome::GaveUp;
        }
    }
    if (closed_ || receivers_ == 0) return PushOutcome::Refused;
    jobs_.push_back(std::move(job));
    ++send_turn_;
    while (abandoned_send_tickets_.erase(send_turn_)) ++send_turn_;
    lock.unlock();
    not_full_.notify_all();
    not_empty_.notify_all();
    return PushOutcome::Queued;
}

std::optional<Job> JobQueue::pop() {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = next_recv_ticket_++;
    not_empty_.wait(lock, [&] { return ticket == recv_turn_ && (!jobs_.empty() || closed_); });
    ++recv_turn_;
    std::optional<Job> job;
    if (!jobs_.empty()) {
        job.emplace(std::move(jobs_.front()));
        jobs_.pop_front();
    }
    lock.unlock();
    not_empty_.notify_all();
    not_full_.notify_all();
    return job;
}

void JobQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    not_full_.notify_all();
    not_empty_.notify_all();
}

void JobQueue::close_and_drop() {
    std::deque<Job> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped_ = true;
        dropped.swap(jobs_);
    }
    not_full_.notify_all();
    not_empty_.notify_all();
}

void JobQueue::give_back(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (dropped_) return;  // `job` goes with its caller's dropped-reply error
        jobs_.push_front(std::move(job));
    }
    not_empty_.notify_all();
}

std::deque<Job> JobQueue::receiver_gone() {
    std::deque<Job> dropped;
    {
        std::lock_guard lock(mutex_);
        if (receivers_ > 0) --receivers_;
        if (receivers_ == 0) dropped.swap(jobs_);
    }
    not_full_.notify_all();
    return dropped;
}

}  // namespace morva::ngspice
