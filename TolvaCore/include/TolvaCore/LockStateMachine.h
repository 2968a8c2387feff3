// The lock state and its transitions: a pure value that turns lifecycle signals into the
// next state and the effects its owner (the lock controller) is to carry out.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tolva {

enum class LockState : std::uint8_t { unlocked, locking, locked, prompting };

enum class LockEvent : std::uint8_t {
    lockRequested,
    overlayReady,
    lockAborted,
    inputReceived,
    promptTimedOut,
    unlockGranted,
};

enum class LockEffect : std::uint8_t { beginLock, showPrompt, hidePrompt, tearDown };

std::string_view toString(LockState state);
std::string_view toString(LockEvent event);
std::string_view toString(LockEffect effect);

struct LockStateMachine {
    LockState state;

    explicit LockStateMachine(LockState initial) : state(initial) {}

    bool isLocked() const { return state != LockState::unlocked; }
    bool isPrompting() const { return state == LockState::prompting; }

    // Applies one event; events without a transition leave the state alone and return no effects.
    std::vector<LockEffect> handle(LockEvent event);

    friend bool operator==(const LockStateMachine&, const LockStateMachine&) = default;
};

} // namespace tolva
