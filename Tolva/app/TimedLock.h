// A lock asked for after a delay ("--lock-in", D-Bus LockIn): one at a time, a later request
// replacing an earlier one. The tray shows when it comes and can call it off.
#pragma once

#include "platform/Scheduler.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace tolva {

class TimedLock {
public:
    using WallClock = std::function<std::chrono::system_clock::time_point()>;

    // `lock` turns the overlay on with the reason given to `schedule`.
    TimedLock(
        Scheduler& scheduler, std::function<void(const std::string& reason)> lock,
        WallClock wallClock = [] { return std::chrono::system_clock::now(); });

    void schedule(double seconds, std::string reason);
    // Calls the pending lock off; false when none was pending.
    bool cancel();
    // When the pending lock comes, on the wall clock; nothing when none is pending.
    std::optional<std::chrono::system_clock::time_point> pendingAt() const;

    // Called whenever a lock becomes pending or stops being so (it came, or was called off).
    std::function<void()> onChange;

private:
    Scheduler& scheduler_;
    std::function<void(const std::string&)> lock_;
    WallClock wallClock_;
    Scheduler::Handle task_;
    std::optional<std::chrono::system_clock::time_point> at_;
    std::string reason_;
};

} // namespace tolva
