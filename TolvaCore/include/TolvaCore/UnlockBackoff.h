// Consecutive failed unlock attempts and the wait they impose. The current time is always
// passed in; nothing here keeps a timer.
#pragma once

#include "TolvaCore/ContinuousClock.h"

#include <cstdint>
#include <optional>

namespace tolva {

struct UnlockBackoff {
    struct Policy {
        std::int64_t freeAttempts = 4;
        double initialDelay = 30; // seconds
        double maxDelay = 300;    // seconds
        friend bool operator==(const Policy&, const Policy&) = default;
    };

    Policy policy;
    std::int64_t consecutiveFailures = 0;
    std::optional<Instant> lockedUntil;

    // The unlock panel's policy: 4 free attempts, then 30 s doubling up to 300 s.
    UnlockBackoff();
    explicit UnlockBackoff(Policy policy) : policy(policy) {}

    // Counts a failure; returns the imposed wait in seconds, or nothing while still free.
    std::optional<double> recordFailure(Instant now);
    void recordSuccess();
    bool isLockedOut(Instant now) const { return remainingLockout(now).has_value(); }
    // Seconds left while a wait runs (the end is exclusive), otherwise nothing.
    std::optional<double> remainingLockout(Instant now) const;

    friend bool operator==(const UnlockBackoff&, const UnlockBackoff&) = default;
};

} // namespace tolva
