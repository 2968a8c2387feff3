// Transition table of the lock state machine.
#include "TolvaCore/LockStateMachine.h"

namespace tolva {

std::string_view toString(LockState state) {
    switch (state) {
    case LockState::unlocked:
        return "unlocked";
    case LockState::locking:
        return "locking";
    case LockState::locked:
        return "locked";
    case LockState::prompting:
        return "prompting";
    }
    return "unknown";
}

std::string_view toString(LockEvent event) {
    switch (event) {
    case LockEvent::lockRequested:
        return "lockRequested";
    case LockEvent::overlayReady:
        return "overlayReady";
    case LockEvent::lockAborted:
        return "lockAborted";
    case LockEvent::inputReceived:
        return "inputReceived";
    case LockEvent::promptTimedOut:
        return "promptTimedOut";
    case LockEvent::unlockGranted:
        return "unlockGranted";
    }
    return "unknown";
}

std::string_view toString(LockEffect effect) {
    switch (effect) {
    case LockEffect::beginLock:
        return "beginLock";
    case LockEffect::showPrompt:
        return "showPrompt";
    case LockEffect::hidePrompt:
        return "hidePrompt";
    case LockEffect::tearDown:
        return "tearDown";
    }
    return "unknown";
}

std::vector<LockEffect> LockStateMachine::handle(LockEvent event) {
    switch (state) {
    case LockState::unlocked:
        if (event == LockEvent::lockRequested) {
            state = LockState::locking;
            return {LockEffect::beginLock};
        }
        return {};
    case LockState::locking:
        switch (event) {
        case LockEvent::overlayReady:
            state = LockState::locked;
            return {};
        case LockEvent::lockAborted:
        case LockEvent::unlockGranted:
            state = LockState::unlocked;
            return {LockEffect::tearDown};
        default:
            return {};
        }
    case LockState::locked:
        switch (event) {
        case LockEvent::inputReceived:
            state = LockState::prompting;
            return {LockEffect::showPrompt};
        case LockEvent::unlockGranted:
            state = LockState::unlocked;
            return {LockEffect::tearDown};
        default:
            return {};
        }
    case LockState::prompting:
        switch (event) {
        case LockEvent::inputReceived:
            return {LockEffect::showPrompt};
        case LockEvent::promptTimedOut:
            state = LockState::locked;
            return {LockEffect::hidePrompt};
        case LockEvent::unlockGranted:
            state = LockState::unlocked;
            return {LockEffect::tearDown};
        default:
            return {};
        }
    }
    return {};
}

} // namespace tolva
