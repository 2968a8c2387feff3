// Idle polling and its one-shot trigger.
#include "platform/IdleMonitor.h"

#include <algorithm>

#include "log/Log.h"

namespace tolva {

namespace {
std::string wholeSeconds(double seconds) {
    return std::to_string(static_cast<long long>(seconds)) + "s";
}
} // namespace

IdleMonitor::IdleMonitor(Scheduler& scheduler, std::shared_ptr<IdleTimeSource> idle,
                         std::shared_ptr<ScreenLockState> session)
    : scheduler_(scheduler), idle_(std::move(idle)), session_(std::move(session)) {}

void IdleMonitor::start() {
    if (task_.isActive())
        return;
    task_ = scheduler_.schedule(Seconds(0), [this] { tick(); });
}

void IdleMonitor::recheck() {
    if (task_.isActive())
        task_ = scheduler_.schedule(Seconds(0), [this] { tick(); });
}

void IdleMonitor::suspend(double seconds) {
    suspendedUntil =
        scheduler_.now() + std::chrono::duration_cast<ContinuousClock::duration>(Seconds(seconds));
    Log::idle.info("auto-lock suspended for " + wholeSeconds(seconds));
    recheck();
}

void IdleMonitor::togglePause() {
    if (isPaused()) {
        suspendedUntil.reset();
        Log::idle.info("auto-lock resumed");
        recheck();
    } else {
        suspend(pauseSeconds);
    }
}

void IdleMonitor::tick() {
    const double next = check();
    task_ = scheduler_.schedule(Seconds(next), [this] { tick(); });
}

double IdleMonitor::check() {
    // Idle time grows no faster than the clock: until the threshold could be reached there is
    // nothing to look at, so the monitor sleeps that long. After it fired (or could not), it
    // only needs to see some input before the next idle period can end: a look every half
    // threshold finds any.
    if (threshold <= 0)
        return offRecheck; // a new threshold asks again at once (recheck)
    const double idle = idle_->secondsSinceLastInput();
    const double waitForInput = std::max(pollInterval, threshold / 2);
    if (idle < threshold) {
        readyToFire_ = true;
        return std::max(pollInterval, threshold - idle);
    }
    if (!isArmed || !readyToFire_)
        return waitForInput;
    if (isPaused()) {
        const double left = std::chrono::duration_cast<Seconds>(*suspendedUntil - scheduler_.now()).count();
        return std::max(pollInterval, std::min(left, waitForInput));
    }
    const bool screenLocked = session_ && session_->isScreenLocked();
    readyToFire_ = false;
    if (screenLocked) {
        Log::idle.info("idle threshold reached but the system screen is locked; skipping");
        return waitForInput;
    }
    Log::idle.info("idle " + wholeSeconds(idle) + " >= " + wholeSeconds(threshold));
    if (onIdle)
        onIdle(idle);
    return waitForInput;
}

} // namespace tolva
