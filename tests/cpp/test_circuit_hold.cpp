// A hold on a worker's circuit between the caller and the worker thread: a
// follow-up reaches the worker only while it holds the circuit, names the
// request whose circuit it is, and ends the hold; the caller letting go, the
// pool stopping or the worker not holding leave nothing to run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "ngspice/circuit_hold.h"

using namespace morva;
using namespace morva::ngspice;

namespace {

SimulationRequest named(const std::string& id) { return {id, "", {"dc v1 0 1 1"}, {}, std::nullopt}; }

}  // namespace

TEST(CircuitHold, AFollowUpReachesTheWorkerOnlyWhileItHolds) {
    struct Case {
        std::string what;
        bool holding;                                    // the worker's answer succeeded
        std::function<void(CircuitHold&)> before_reply;  // the caller, before the worker decided
        bool reaches;
    };
    const Case cases[] = {
        {"held", true, [](CircuitHold&) {}, true},
        {"not held (the request failed)", false, [](CircuitHold&) {}, false},
        {"let go before the reply", true, [](CircuitHold& h) { h.release(); }, false},
    };
    for (const Case& c : cases) {
        auto slot = std::make_shared<detail::HoldSlot>();
        CircuitHold hold(slot);
        c.before_reply(hold);
        begin_hold(*slot, c.holding, "lut-w0-l0");
        std::optional<CircuitHold::FollowUp> sent = hold.follow_up(named("lut-w0-l0-slopes"));
        EXPECT_EQ(sent.has_value(), c.reaches) << c.what;
        std::optional<Job> job = await_follow_up(*slot, [] { return false; });
        ASSERT_EQ(job.has_value(), c.reaches) << c.what;
        if (!job) continue;
        EXPECT_EQ(job->request.id, "lut-w0-l0-slopes");
        EXPECT_EQ(job->request.on_circuit_of, std::optional<std::string>("lut-w0-l0"));
        EXPECT_FALSE(sent->hold) << "one follow-up per hold unless asked";
        // The follow-up's reply reaches the caller like any job's.
        SimulationResponse r;
        r.id = "lut-w0-l0-slopes";
        r.success = true;
        job->reply.send(r);
        EXPECT_TRUE(sent->reply.get()->success);
        // The hold ended with its follow-up.
        EXPECT_FALSE(hold.follow_up(named("again")));
    }
}

TEST(CircuitHold, TheWorkerWaitsForTheCallerAndNoLonger) {
    // A caller that lets go from another thread, a little later, wakes it.
    auto slot = std::make_shared<detail::HoldSlot>();
    auto hold = std::make_unique<CircuitHold>(slot);
    begin_hold(*slot, true, "a");
    std::thread caller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        hold.reset();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(await_follow_up(*slot, [] { return false; }));
    caller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // A pool that stops ends the wait; a follow-up the caller sends then is
    // not run by this worker.
    auto stopped = std::make_shared<detail::HoldSlot>();
    CircuitHold stopped_hold(stopped);
    begin_hold(*stopped, true, "b");
    std::atomic<bool> stopping{true};
    EXPECT_FALSE(await_follow_up(*stopped, [&] { return stopping.load(); }));
    EXPECT_FALSE(stopped_hold.follow_up(named("late")));

    // Asked to hold again, the follow-up carries a hold of its own.
    auto first = std::make_shared<detail::HoldSlot>();
    CircuitHold chain(first);
    begin_hold(*first, true, "rows");
    std::optional<CircuitHold::FollowUp> fit = chain.follow_up(named("fit"), OnAbandon::Finish, true);
    ASSERT_TRUE(fit && fit->hold);
    std::optional<Job> job = await_follow_up(*first, [] { return false; });
    ASSERT_TRUE(job && job->hold);
    begin_hold(*job->hold, true, job->request.id);
    EXPECT_TRUE(fit->hold->follow_up(named("slopes")));
    EXPECT_EQ(await_follow_up(*job->hold, [] { return false; })->request.on_circuit_of,
              std::optional<std::string>("fit"));
}
