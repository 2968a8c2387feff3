// Idle polling and its one-shot trigger.
#include "platform/IdleMonitor.h"

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
    task_ = scheduler_.every(
        Seconds(pollInterval), [this] { tick(); }, true);
}

void IdleMonitor::suspend(double seconds) {
    suspendedUntil =
        scheduler_.now() + std::chrono::duration_cast<ContinuousClock::duration>(Seconds(seconds));
    Log::idle.info("auto-lock suspended for " + wholeSeconds(seconds));
}

void IdleMonitor::togglePause() {
    if (isPaused()) {
        suspendedUntil.reset();
        Log::idle.info("auto-lock resumed");
    } else {
        suspend(pauseSeconds);
    }
}

void IdleMonitor::tick() {
    if (threshold <= 0)
        return;
    const double idle = idle_->secondsSinceLastInput();
    if (idle < threshold) {
        readyToFire_ = true;
        return;
    }
    if (!isArmed || !readyToFire_)
        return;
    if (isPaused())
        return;
    const bool screenLocked = session_ && session_->isScreenLocked();
    readyToFire_ = false;
    if (screenLocked) {
        Log::idle.info("idle threshold reached but the system screen is locked; skipping");
        return;
    }
    Log::idle.info("idle " + wholeSeconds(idle) + " >= " + wholeSeconds(threshold));
    if (onIdle)
        onIdle(idle);
}

} // namespace tolva
