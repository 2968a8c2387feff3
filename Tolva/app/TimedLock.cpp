// The one pending timed lock.
#include "app/TimedLock.h"

#include "log/Log.h"

#include <algorithm>

namespace tolva {

TimedLock::TimedLock(Scheduler& scheduler, std::function<void(const std::string&)> lock, WallClock wallClock)
    : scheduler_(scheduler), lock_(std::move(lock)), wallClock_(std::move(wallClock)) {}

void TimedLock::schedule(double seconds, std::string reason) {
    seconds = std::max(0.0, seconds);
    reason_ = std::move(reason);
    at_ = wallClock_() + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                             std::chrono::duration<double>(seconds));
    task_ = scheduler_.schedule(Seconds(seconds), [this] {
        at_.reset();
        if (onChange)
            onChange();
        lock_(reason_);
    });
    if (onChange)
        onChange();
}

bool TimedLock::cancel() {
    if (!at_)
        return false;
    task_.cancel();
    at_.reset();
    Log::ui.info("timed lock cancelled (" + reason_ + ")");
    if (onChange)
        onChange();
    return true;
}

std::optional<std::chrono::system_clock::time_point> TimedLock::pendingAt() const {
    return at_;
}

} // namespace tolva
