#include "ngspice/circuit_hold.h"

namespace morva::ngspice {

CircuitHold& CircuitHold::operator=(CircuitHold&& other) noexcept {
    if (this != &other) {
        release();
        slot_ = std::move(other.slot_);
    }
    return *this;
}

std::optional<CircuitHold::FollowUp> CircuitHold::follow_up(SimulationRequest request, OnAbandon on_abandon,
                                                            bool hold_again) {
    if (!slot_) return std::nullopt;
    auto reply = std::make_shared<detail::ReplySlot>();
    reply->on_abandon = on_abandon;
    auto next = hold_again ? std::make_shared<detail::HoldSlot>() : nullptr;
    {
        std::lock_guard lock(slot_->mutex);
        if (slot_->state != detail::HoldSlot::State::Holding || slot_->follow_up) return std::nullopt;
        request.on_circuit_of = slot_->held_id;
        slot_->follow_up.emplace(Job{std::move(request), ReplySender(reply), next});
    }
    slot_->changed.notify_all();
    // This hold ends with its follow-up.
    slot_.reset();
    FollowUp out{ReplyFuture(std::move(reply)), std::nullopt};
    if (next) out.hold.emplace(std::move(next));
    return out;
}

void CircuitHold::release() noexcept {
    if (!slot_) return;
    {
        std::lock_guard lock(slot_->mutex);
        slot_->state = detail::HoldSlot::State::Released;
    }
    slot_->changed.notify_all();
    slot_.reset();
}

void begin_hold(detail::HoldSlot& slot, bool holding, const std::string& held_id) {
    std::lock_guard lock(slot.mutex);
    // A caller that let go before the reply keeps it let go.
    if (slot.state != detail::HoldSlot::State::Pending) return;
    slot.state = holding ? detail::HoldSlot::State::Holding : detail::HoldSlot::State::Released;
    slot.held_id = held_id;
}

std::optional<Job> await_follow_up(detail::HoldSlot& slot, const std::function<bool()>& stopping) {
    const auto deadline = std::chrono::steady_clock::now() + kHoldLimit;
    std::unique_lock lock(slot.mutex);
    // Woken by the caller; the pool's shutdown is noticed within 50 ms.
    while (!slot.follow_up && slot.state == detail::HoldSlot::State::Holding && !stopping() &&
           std::chrono::steady_clock::now() < deadline)
        slot.changed.wait_for(lock, std::chrono::milliseconds(50));
    std::optional<Job> job = std::move(slot.follow_up);
    slot.follow_up.reset();
    slot.state = detail::HoldSlot::State::Released;
    return job;
}

}  // namespace morva::ngspice
