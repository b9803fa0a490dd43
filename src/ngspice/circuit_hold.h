// A circuit a worker keeps loaded after answering a request, for one
// follow-up request from the same caller that runs further commands on it
// (SimulationRequest::on_circuit_of): on a kit that is slow to parse, loading
// it costs more than the commands. While the hold lasts the worker takes no
// other job; it ends with the follow-up, when the caller lets go, after
// kHoldLimit, or when the pool shuts down.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "ngspice/job_queue.h"
#include "ngspice/protocol.h"

namespace morva::ngspice {

// The longest a worker waits for a follow-up: the caller prepares it from the
// reply alone, in milliseconds.
inline constexpr std::chrono::milliseconds kHoldLimit{10000};

namespace detail {
struct HoldSlot {
    enum class State { Pending, Holding, Released };

    std::mutex mutex;  // guards every field below
    std::condition_variable changed;
    State state = State::Pending;
    std::optional<Job> follow_up;
    std::string held_id;  // the id of the request whose circuit is held
};
}  // namespace detail

// The caller's end of a hold: lets the circuit go when destroyed.
class CircuitHold {
public:
    explicit CircuitHold(std::shared_ptr<detail::HoldSlot> slot) : slot_(std::move(slot)) {}
    CircuitHold(CircuitHold&&) noexcept = default;
    CircuitHold& operator=(CircuitHold&& other) noexcept;
    CircuitHold(const CircuitHold&) = delete;
    CircuitHold& operator=(const CircuitHold&) = delete;
    ~CircuitHold() { release(); }

    // A follow-up's reply and, when asked for, the hold on the circuit after
    // it.
    struct FollowUp;
    // Once the held request is answered: sends `request` to run on the
    // circuit (its on_circuit_of set here), answered like any job; nothing
    // when the worker does not hold the circuit (the request failed, or the
    // hold ended), and then nothing is run. One follow-up per hold; with
    // `hold_again` the worker keeps the circuit after it as after the first.
    std::optional<FollowUp> follow_up(SimulationRequest request, OnAbandon on_abandon = OnAbandon::Finish,
                                      bool hold_again = false);
    // Lets the worker go back to the queue.
    void release() noexcept;

private:
    std::shared_ptr<detail::HoldSlot> slot_;
};

struct CircuitHold::FollowUp {
    ReplyFuture reply;
    std::optional<CircuitHold> hold;
};

// The worker's side, before it replies to a job that asked for a hold:
// whether it holds the circuit (the answer was successful and the process
// can serve again). Set before the reply, so that the caller, once answered,
// finds the hold decided.
void begin_hold(detail::HoldSlot& slot, bool holding, const std::string& held_id);

// Waits until the caller sends its follow-up (returned), lets go, kHoldLimit
// passes or `stopping` holds (nothing returned); the hold has then ended.
std::optional<Job> await_follow_up(detail::HoldSlot& slot, const std::function<bool()>& stopping);

}  // namespace morva::ngspice
