#include "TolvaCore/UnlockBackoff.h"

#include <gtest/gtest.h>

using namespace tolva;
using namespace std::chrono_literals;

TEST(UnlockBackoff, ScheduleWithFreeAttemptsDoublingAndCap) {
    UnlockBackoff backoff;
    EXPECT_EQ(backoff.policy, (UnlockBackoff::Policy{4, 30, 300}));
    Instant now{1000s};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(backoff.recordFailure(now), std::nullopt);
        EXPECT_EQ(backoff.lockedUntil, std::nullopt);
    }
    const double expected[] = {30, 60, 120, 240, 300, 300, 300};
    for (double wait : expected) {
        auto got = backoff.recordFailure(now);
        ASSERT_TRUE(got);
        EXPECT_DOUBLE_EQ(*got, wait);
        EXPECT_EQ(backoff.lockedUntil,
                  now + std::chrono::duration_cast<ContinuousClock::duration>(Seconds(wait)));
    }
    EXPECT_EQ(backoff.consecutiveFailures, 11);
    for (int i = 0; i < 2000; ++i)
        backoff.recordFailure(now);
    EXPECT_DOUBLE_EQ(*backoff.recordFailure(now), 300);
}

TEST(UnlockBackoff, RemainingLockoutEndsExclusively) {
    UnlockBackoff backoff;
    Instant now{0s};
    for (int i = 0; i < 5; ++i)
        backoff.recordFailure(now);
    EXPECT_TRUE(backoff.isLockedOut(now));
    EXPECT_DOUBLE_EQ(*backoff.remainingLockout(now + 29s), 1);
    EXPECT_DOUBLE_EQ(*backoff.remainingLockout(now + 29500ms), 0.5);
    EXPECT_EQ(backoff.remainingLockout(now + 30s), std::nullopt);
    EXPECT_FALSE(backoff.isLockedOut(now + 31s));
    // The schedule goes on after an expired wait without a success in between.
    EXPECT_DOUBLE_EQ(*backoff.recordFailure(now + 40s), 60);
}

TEST(UnlockBackoff, SuccessClearsEverything) {
    UnlockBackoff backoff;
    Instant now{5s};
    for (int i = 0; i < 5; ++i)
        backoff.recordFailure(now);
    backoff.recordSuccess();
    EXPECT_FALSE(backoff.isLockedOut(now));
    EXPECT_EQ(backoff.consecutiveFailures, 0);
    EXPECT_EQ(backoff.recordFailure(now), std::nullopt);
    EXPECT_EQ(backoff.consecutiveFailures, 1);
}
