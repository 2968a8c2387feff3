// Time that keeps counting through suspend (CLOCK_BOOTTIME): what every timer and wait of
// the program is measured on.
#pragma once

#include <chrono>
#include <ctime>

namespace tolva {

struct ContinuousClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<ContinuousClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept {
        timespec ts{};
        clock_gettime(CLOCK_BOOTTIME, &ts);
        return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
    }
};

using Instant = ContinuousClock::time_point;
using Seconds = std::chrono::duration<double>;

} // namespace tolva
