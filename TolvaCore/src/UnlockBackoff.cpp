// The backoff schedule: free attempts, then a wait doubling up to the cap.
#include "TolvaCore/UnlockBackoff.h"

#include <algorithm>
#include <cmath>

namespace tolva {

UnlockBackoff::UnlockBackoff() : policy{4, 30, 300} {}

std::optional<double> UnlockBackoff::recordFailure(Instant now) {
    ++consecutiveFailures;
    const std::int64_t k = consecutiveFailures - policy.freeAttempts - 1;
    if (k < 0) {
        lockedUntil.reset();
        return std::nullopt;
    }
    // 2^k overflows nothing that matters: past a few dozen failures it is capped anyway.
    const double delay =
        std::min(policy.maxDelay,
                 policy.initialDelay * std::pow(2.0, static_cast<double>(std::min<std::int64_t>(k, 1000))));
    lockedUntil = now + std::chrono::duration_cast<ContinuousClock::duration>(Seconds(delay));
    return delay;
}

void UnlockBackoff::recordSuccess() {
    consecutiveFailures = 0;
    lockedUntil.reset();
}

std::optional<double> UnlockBackoff::remainingLockout(Instant now) const {
    if (!lockedUntil || *lockedUntil <= now)
        return std::nullopt;
    return std::chrono::duration_cast<Seconds>(*lockedUntil - now).count();
}

} // namespace tolva
