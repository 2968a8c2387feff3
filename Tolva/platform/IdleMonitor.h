// Turns the overlay on after the configured time without input: looks at the session's idle
// time only when the threshold could first be reached, fires once per idle period, skips while
// the system's own lock screen is up, and can be paused.
#pragma once

#include "platform/Scheduler.h"

#include <functional>
#include <memory>
#include <optional>

namespace tolva {

// Seconds since the last keyboard or pointer input anywhere in the session.
class IdleTimeSource {
public:
    virtual ~IdleTimeSource() = default;
    virtual double secondsSinceLastInput() = 0;
};

// Whether the operating system's own lock screen is showing.
class ScreenLockState {
public:
    virtual ~ScreenLockState() = default;
    virtual bool isScreenLocked() = 0;
};

class IdleMonitor {
public:
    static constexpr double pollInterval = 2.0; // the shortest sleep between two looks
    static constexpr double offRecheck = 3600.0;
    static constexpr double pauseSeconds = 3600.0;

    IdleMonitor(Scheduler& scheduler, std::shared_ptr<IdleTimeSource> idle,
                std::shared_ptr<ScreenLockState> session);

    double threshold = 0; // seconds; 0 or less = off
    bool isArmed = false;
    std::function<void(double idleSeconds)> onIdle;
    std::optional<Instant> suspendedUntil;

    // Starts watching; the first look is at once. A second call does nothing.
    void start();
    // Looks again at once: the threshold, the arming or the pause changed.
    void recheck();
    void suspend(double seconds);
    // The status menu's pause item: resume a running pause, else pause for an hour.
    void togglePause();
    bool isPaused() const { return suspendedUntil && *suspendedUntil > scheduler_.now(); }
    bool readyToFire() const { return readyToFire_; }

    void tick();

private:
    // One look at the idle time; returns the seconds until the next one is worth taking.
    double check();
    Scheduler& scheduler_;
    std::shared_ptr<IdleTimeSource> idle_;
    std::shared_ptr<ScreenLockState> session_;
    Scheduler::Handle task_;
    bool readyToFire_ = true;
};

} // namespace tolva
