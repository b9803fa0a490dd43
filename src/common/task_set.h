// Task sets for work that fans out over the worker pool or over native code:
// every task runs on a blocking thread of its set, results come back in
// completion order, and a set can be aborted (tasks not started never run).
// Tasks return Result<T, E>; the set never looks inside E.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/result.h"

namespace morva {

// Starts `fn` on a new thread whose signals are all blocked: signals belong
// to the host's main thread, and a broken pipe must come back as EPIPE rather
// than end the process. Throws std::system_error when no thread can be made.
std::thread start_quiet_thread(std::function<void()> fn);

// Tells a running task that its set was aborted; long tasks check it between
// steps (a task blocked in the pool finishes its request first).
class CancelToken {
public:
    CancelToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
    bool cancelled() const { return flag_->load(std::memory_order_acquire); }
    void cancel() const { flag_->store(true, std::memory_order_release); }

private:
    std::shared_ptr<std::atomic<bool>> flag_;
};

// How one task of a set ended.
template <class T, class E>
struct TaskEnd {
    enum class Kind { Finished, Panicked, Cancelled };
    Kind kind = Kind::Finished;
    std::optional<Result<T, E>> outcome;  // Finished
    std::string panic;                    // Panicked: what the task threw

    bool finished() const { return kind == Kind::Finished; }
    bool cancelled() const { return kind == Kind::Cancelled; }
    bool panicked() const { return kind == Kind::Panicked; }
};

// A set of tasks returning Result<T, E>, run on at most
// `max_threads` threads that the set starts as work arrives. Not itself
// thread-safe: one owner spawns and joins.
template <class T, class E>
class TaskSet {
public:
    using Outcome = Result<T, E>;
    using Task = std::function<Outcome(const CancelToken&)>;

    // 512 threads at most by default: enough for every task of a large set to
    // wait on the pool's queue at once without starving native work.
    static constexpr std::size_t kDefaultMaxThreads = 512;

    explicit TaskSet(std::size_t max_threads = kDefaultMaxThreads)
        : state_(std::make_shared<State>()), max_threads_(max_threads == 0 ? 1 : max_threads) {}
    TaskSet(const TaskSet&) = delete;
    TaskSet& operator=(const TaskSet&) = delete;
    // Aborts what has not started and waits for the running tasks.
    ~TaskSet() {
        abort();
        {
            std::lock_guard lock(state_->mutex);
            state_->shutting_down = true;
        }
        state_->work.notify_all();
        for (std::thread& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

    // Queues a task. When no thread can be started and none is running, the
    // task ends as Panicked with the system's reason.
    void spawn(Task task) {
        std::unique_lock lock(state_->mutex);
        state_->pending.push_back(std::move(task));
        ++state_->unjoined;
        const bool need_thread = state_->idle == 0 && threads_.size() < max_threads_;
        lock.unlock();
        state_->work.notify_one();
        if (!need_thread) return;
        try {
            std::shared_ptr<State> state = state_;
            threads_.push_back(start_quiet_thread([state] { run_tasks(*state); }));
        } catch (const std::exception& e) {
            if (threads_.empty()) fail_pending(e.what());
        }
    }

    // The next task to end, in completion order; nothing once every spawned
    // task has been joined. A `stop` given is asked every 50 ms while this
    // waits; once it says so, the set is aborted.
    std::optional<TaskEnd<T, E>> join_next(const std::function<bool()>& stop = {}) {
        std::unique_lock lock(state_->mutex);
        if (state_->unjoined == 0) return std::nullopt;
        const auto ended = [&] { return !state_->finished.empty(); };
        if (!stop) {
            state_->done.wait(lock, ended);
        } else {
            while (!state_->done.wait_for(lock, std::chrono::milliseconds(50), ended)) {
                if (state_->token.cancelled()) continue;
                lock.unlock();
                if (stop()) abort();
                lock.lock();
            }
        }
        TaskEnd<T, E> end = std::move(state_->finished.front());
        state_->finished.pop_front();
        --state_->unjoined;
        return end;
    }

    // Tasks not yet started end as Cancelled without running; running ones
    // see their token cancelled and, whatever they return, end as Cancelled.
    void abort() {
        state_->token.cancel();
        std::deque<Task> dropped;
        {
            std::lock_guard lock(state_->mutex);
            dropped.swap(state_->pending);
            for (std::size_t k = 0; k < dropped.size(); ++k) state_->finished.push_back(cancelled_end());
        }
        state_->done.notify_all();
    }

    // Tasks spawned and not yet joined.
    std::size_t size() const {
        std::lock_guard lock(state_->mutex);
        return state_->unjoined;
    }

private:
    struct State {
        mutable std::mutex mutex;  // guards every field below but `token`
        std::condition_variable work, done;
        std::deque<Task> pending;
        std::deque<TaskEnd<T, E>> finished;
        std::size_t unjoined = 0;
        std::size_t idle = 0;
        bool shutting_down = false;
        CancelToken token;
    };

    static TaskEnd<T, E> cancelled_end() {
        return TaskEnd<T, E>{TaskEnd<T, E>::Kind::Cancelled, std::nullopt, {}};
    }

    static void run_tasks(State& state) {
        std::unique_lock lock(state.mutex);
        for (;;) {
            ++state.idle;
            state.work.wait(lock, [&] { return !state.pending.empty() || state.shutting_down; });
            --state.idle;
            if (state.pending.empty()) return;
            Task task = std::move(state.pending.front());
            state.pending.pop_front();
            lock.unlock();
            TaskEnd<T, E> end = run_one(task, state.token);
            task = nullptr;
            lock.lock();
            state.finished.push_back(std::move(end));
            state.done.notify_all();
        }
    }

    static TaskEnd<T, E> run_one(Task& task, const CancelToken& token) {
        if (token.cancelled()) return cancelled_end();
        TaskEnd<T, E> end;
        try {
            end.outcome.emplace(task(token));
        } catch (const std::exception& e) {
            end.kind = TaskEnd<T, E>::Kind::Panicked;
            end.panic = e.what();
        } catch (...) {
            end.kind = TaskEnd<T, E>::Kind::Panicked;
            end.panic = "unknown exception";
        }
        if (token.cancelled()) return cancelled_end();
        return end;
    }

    void fail_pending(const std::string& reason) {
        std::deque<Task> dropped;
        {
            std::lock_guard lock(state_->mutex);
            dropped.swap(state_->pending);
            for (std::size_t k = 0; k < dropped.size(); ++k) {
                state_->finished.push_back(
                    TaskEnd<T, E>{TaskEnd<T, E>::Kind::Panicked, std::nullopt, reason});
            }
        }
        state_->done.notify_all();
    }

    std::shared_ptr<State> state_;
    std::size_t max_threads_;
    std::vector<std::thread> threads_;
};

// Runs every task on a set and collects the values in completion order. The
// first error ends the run: the other tasks are aborted and their outcomes
// dropped. A task that threw counts as the error `on_panic` makes of what it
// threw.
template <class T, class E>
Result<std::vector<T>, E> run_all(std::vector<typename TaskSet<T, E>::Task> tasks,
                                  const std::function<E(const std::string&)>& on_panic,
                                  std::size_t max_threads = TaskSet<T, E>::kDefaultMaxThreads) {
    TaskSet<T, E> set(max_threads);
    for (auto& task : tasks) set.spawn(std::move(task));
    std::vector<T> values;
    values.reserve(tasks.size());
    std::optional<E> first_error;
    while (auto end = set.join_next()) {
        if (end->cancelled() || first_error) continue;
        if (end->panicked()) {
            first_error = on_panic(end->panic);
        } else if (!end->outcome->ok()) {
            first_error = std::move(*end->outcome).error();
        } else {
            values.push_back(std::move(*end->outcome).value());
            continue;
        }
        set.abort();
    }
    if (first_error) return err(std::move(*first_error));
    return values;
}

}  // namespace morva
