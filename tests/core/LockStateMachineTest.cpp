#include "TolvaCore/LockStateMachine.h"

#include <gtest/gtest.h>
#include <tuple>

using namespace tolva;

namespace {

constexpr LockState allStates[] = {LockState::unlocked, LockState::locking, LockState::locked,
                                   LockState::prompting};
constexpr LockEvent allEvents[] = {LockEvent::lockRequested,  LockEvent::overlayReady,
                                   LockEvent::lockAborted,    LockEvent::inputReceived,
                                   LockEvent::promptTimedOut, LockEvent::unlockGranted};

struct Row {
    LockState from;
    LockEvent event;
    LockState to;
    std::vector<LockEffect> effects;
};

// The rows that do something; every other (state, event) pair must be a no-op.
const std::vector<Row> transitions = {
    {LockState::unlocked, LockEvent::lockRequested, LockState::locking, {LockEffect::beginLock}},
    {LockState::locking, LockEvent::overlayReady, LockState::locked, {}},
    {LockState::locking, LockEvent::lockAborted, LockState::unlocked, {LockEffect::tearDown}},
    {LockState::locking, LockEvent::unlockGranted, LockState::unlocked, {LockEffect::tearDown}},
    {LockState::locked, LockEvent::inputReceived, LockState::prompting, {LockEffect::showPrompt}},
    {LockState::locked, LockEvent::unlockGranted, LockState::unlocked, {LockEffect::tearDown}},
    {LockState::prompting, LockEvent::inputReceived, LockState::prompting, {LockEffect::showPrompt}},
    {LockState::prompting, LockEvent::promptTimedOut, LockState::locked, {LockEffect::hidePrompt}},
    {LockState::prompting, LockEvent::unlockGranted, LockState::unlocked, {LockEffect::tearDown}},
};

} // namespace

TEST(LockStateMachine, EveryStateAndEventFollowsTheTable) {
    int changing = 0;
    for (LockState from : allStates) {
        for (LockEvent event : allEvents) {
            SCOPED_TRACE(std::string(toString(from)) + " + " + std::string(toString(event)));
            LockStateMachine machine(from);
            auto effects = machine.handle(event);
            auto row = std::find_if(transitions.begin(), transitions.end(),
                                    [&](const Row& r) { return r.from == from && r.event == event; });
            if (row == transitions.end()) {
                EXPECT_EQ(machine.state, from);
                EXPECT_TRUE(effects.empty());
            } else {
                ++changing;
                EXPECT_EQ(machine.state, row->to);
                EXPECT_EQ(effects, row->effects);
                EXPECT_LE(effects.size(), 1u);
            }
        }
    }
    EXPECT_EQ(changing, static_cast<int>(transitions.size()));
}

TEST(LockStateMachine, FullLockCycleAndRepeat) {
    LockStateMachine machine(LockState::unlocked);
    const std::vector<std::tuple<LockEvent, LockState, std::vector<LockEffect>>> steps = {
        {LockEvent::lockRequested, LockState::locking, {LockEffect::beginLock}},
        {LockEvent::lockRequested, LockState::locking, {}},
        {LockEvent::overlayReady, LockState::locked, {}},
        {LockEvent::inputReceived, LockState::prompting, {LockEffect::showPrompt}},
        {LockEvent::inputReceived, LockState::prompting, {LockEffect::showPrompt}},
        {LockEvent::promptTimedOut, LockState::locked, {LockEffect::hidePrompt}},
        {LockEvent::promptTimedOut, LockState::locked, {}},
        {LockEvent::inputReceived, LockState::prompting, {LockEffect::showPrompt}},
        {LockEvent::unlockGranted, LockState::unlocked, {LockEffect::tearDown}},
    };
    for (int round = 0; round < 2; ++round) {
        for (auto& [event, state, effects] : steps) {
            SCOPED_TRACE(toString(event));
            EXPECT_EQ(machine.handle(event), effects);
            EXPECT_EQ(machine.state, state);
        }
    }
}

TEST(LockStateMachine, QueriesAndEquality) {
    for (LockState state : allStates) {
        LockStateMachine machine(state);
        EXPECT_EQ(machine.isLocked(), state != LockState::unlocked) << toString(state);
        EXPECT_EQ(machine.isPrompting(), state == LockState::prompting) << toString(state);
    }
    LockStateMachine a(LockState::locked), b(LockState::locked);
    EXPECT_EQ(a, b);
    b.handle(LockEvent::inputReceived);
    EXPECT_NE(a, b);
    a.handle(LockEvent::lockAborted); // no transition from locked
    EXPECT_EQ(a.state, LockState::locked);
}
