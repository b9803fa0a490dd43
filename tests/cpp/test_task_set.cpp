// Task sets: completion order, the first error, panics, the thread bound,
// aborts and stop requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/task_set.h"
#include "ngspice/error.h"

using namespace morva;

namespace {

// A task that threw, as the pool's callers report it.
NgspiceError task_panicked(const std::string& what) {
    return NgspiceError::worker_crashed("task panicked: " + what);
}

// Gates tasks wait at until the test opens them. The gates still shut open
// when the test ends (declared after the set, they go first), so that a
// failed check never leaves the set's destructor waiting on a task.
class Gates {
public:
    std::shared_future<void> gate(int k) { return promises_[k].get_future().share(); }
    void open(int k) {
        if (opened_.insert(k).second) promises_[k].set_value();
    }
    ~Gates() {
        for (auto& entry : promises_) open(entry.first);
    }

private:
    std::map<int, std::promise<void>> promises_;
    std::set<int> opened_;
};

// Holds a task until its set is aborted; the token has no wait of its own.
void wait_until_cancelled(const CancelToken& token) {
    while (!token.cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

TEST(TaskSets, ResultsInCompletionOrder) {
    // Each task waits for a gate of its own; gates open one at a time, in an
    // order other than the spawning one, so only one task can end at a time.
    TaskSet<int, NgspiceError> set(4);
    Gates gates;
    for (int k : {3, 1, 2}) {
        set.spawn([k, gate = gates.gate(k)](const CancelToken&) -> Result<int, NgspiceError> {
            gate.wait();
            return k;
        });
    }
    std::vector<int> order;
    for (int k : {1, 2, 3}) {
        gates.open(k);
        auto end = set.join_next();
        ASSERT_TRUE(end && end->finished());
        order.push_back(end->outcome->value());
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(set.join_next());
    EXPECT_EQ(set.size(), 0u);
}

TEST(TaskSets, FirstErrorAbortsTheRest) {
    std::atomic<int> started{0};
    std::vector<TaskSet<int, NgspiceError>::Task> tasks;
    for (int k = 0; k < 50; ++k) {
        tasks.push_back([k, &started](const CancelToken& token) -> Result<int, NgspiceError> {
            ++started;
            if (k == 1) return err(NgspiceError::simulation("task 1 failed"));
            wait_until_cancelled(token);  // only the abort ends the others
            return k;
        });
    }
    auto r = run_all<int, NgspiceError>(std::move(tasks), task_panicked, 2);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "simulation failed: task 1 failed");
    // Tasks 0 and 1, and at most one the failing task's thread took before
    // the abort: the queued tasks never ran.
    EXPECT_LE(started.load(), 3);
}

TEST(TaskSets, ThrowingTaskIsReportedNotPropagated) {
    std::vector<TaskSet<int, NgspiceError>::Task> tasks;
    tasks.push_back(
        [](const CancelToken&) -> Result<int, NgspiceError> { throw std::runtime_error("boom"); });
    auto r = run_all<int, NgspiceError>(std::move(tasks), task_panicked);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "worker process crashed: task panicked: boom");

    std::vector<TaskSet<int, NgspiceError>::Task> ok;
    for (int k = 0; k < 20; ++k)
        ok.push_back([k](const CancelToken&) -> Result<int, NgspiceError> { return k; });
    auto all = run_all<int, NgspiceError>(std::move(ok), task_panicked, 3);
    ASSERT_TRUE(all.ok());
    std::multiset<int> got(all->begin(), all->end());
    EXPECT_EQ(got.size(), 20u);
    EXPECT_EQ(*got.begin(), 0);
    EXPECT_EQ(*got.rbegin(), 19);
}

TEST(TaskSets, ThreadCountIsBounded) {
    std::atomic<int> running{0}, peak{0};
    TaskSet<int, NgspiceError> set(3);
    for (int k = 0; k < 12; ++k) {
        set.spawn([&](const CancelToken&) -> Result<int, NgspiceError> {
            const int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            --running;
            return 0;
        });
    }
    int joined = 0;
    while (set.join_next()) ++joined;
    EXPECT_EQ(joined, 12);
    EXPECT_LE(peak.load(), 3);
}

TEST(TaskSets, AbortCancelsQueuedTasksAndDestructionWaits) {
    std::atomic<int> ran{0};
    {
        // One thread: the first task holds it until the abort, the other
        // four are still queued then.
        std::promise<void> first_started;
        TaskSet<int, NgspiceError> set(1);
        for (int k = 0; k < 5; ++k) {
            set.spawn([&, k](const CancelToken& token) -> Result<int, NgspiceError> {
                if (k == 0) first_started.set_value();
                wait_until_cancelled(token);
                ++ran;
                return 0;
            });
        }
        first_started.get_future().wait();
        set.abort();
        int cancelled = 0;
        while (auto end = set.join_next()) cancelled += end->cancelled();
        EXPECT_EQ(cancelled, 5);  // the running one ends as cancelled too
    }
    EXPECT_EQ(ran.load(), 1);

    // A task still running when its set goes: only the destructor's abort
    // lets it end, and the destructor returns after it has.
    std::atomic<bool> ended{false};
    {
        std::promise<void> started;
        TaskSet<int, NgspiceError> set(1);
        set.spawn([&](const CancelToken& token) -> Result<int, NgspiceError> {
            started.set_value();
            wait_until_cancelled(token);
            ended = true;
            return 0;
        });
        started.get_future().wait();
    }
    EXPECT_TRUE(ended.load());
}

TEST(TaskSets, JoiningWithAStopAbortsOnceItSaysSo) {
    // Tasks that would run until cancelled, and one that finishes first.
    TaskSet<int, NgspiceError> set(4);
    for (int k = 0; k < 3; ++k) {
        set.spawn([](const CancelToken& token) -> Result<int, NgspiceError> {
            while (!token.cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 0;
        });
    }
    set.spawn([](const CancelToken&) -> Result<int, NgspiceError> { return 7; });
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    const std::function<bool()> stop_requested = [&] {
        ++asked;
        return stop.load();
    };
    auto first = set.join_next(stop_requested);
    ASSERT_TRUE(first && first->finished());
    EXPECT_EQ(first->outcome->value(), 7);
    stop = true;
    int cancelled = 0;
    while (auto end = set.join_next(stop_requested)) cancelled += end->cancelled();
    EXPECT_EQ(cancelled, 3);
    EXPECT_GE(asked.load(), 1);
}
