// Task sets: completion order, the first error, panics, the thread bound,
// aborts and stop requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
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

}  // namespace

TEST(TaskSets, ResultsInCompletionOrder) {
    TaskSet<int, NgspiceError> set(4);
    for (int k : {3, 1, 2}) {
        set.spawn([k](const CancelToken&) -> Result<int, NgspiceError> {
            std::this_thread::sleep_for(std::chrono::milliseconds(40 * k));
            return k;
        });
    }
    std::vector<int> order;
    while (auto end = set.join_next()) {
        ASSERT_TRUE(end->finished());
        order.push_back(end->outcome->value());
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(set.size(), 0u);
}

TEST(TaskSets, FirstErrorAbortsTheRest) {
    std::atomic<int> started{0};
    std::vector<TaskSet<int, NgspiceError>::Task> tasks;
    for (int k = 0; k < 50; ++k) {
        tasks.push_back([k, &started](const CancelToken& token) -> Result<int, NgspiceError> {
            ++started;
            if (k == 1) return err(NgspiceError::simulation("task 1 failed"));
            for (int i = 0; i < 20 && !token.cancelled(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return k;
        });
    }
    auto r = run_all<int, NgspiceError>(std::move(tasks), task_panicked, 2);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "simulation failed: task 1 failed");
    EXPECT_LT(started.load(), 10);  // the queued tasks never ran
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
        TaskSet<int, NgspiceError> set(1);
        for (int k = 0; k < 5; ++k) {
            set.spawn([&](const CancelToken&) -> Result<int, NgspiceError> {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                ++ran;
                return 0;
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        set.abort();
        int cancelled = 0;
        while (auto end = set.join_next()) cancelled += end->cancelled();
        EXPECT_EQ(cancelled, 5);  // the running one ends as cancelled too
    }
    EXPECT_EQ(ran.load(), 1);
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
