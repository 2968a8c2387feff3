// The real scheduler: one timerfd on CLOCK_BOOTTIME (which keeps counting through suspend)
// armed for the earliest task, read through a QSocketNotifier on the Qt event loop.
#pragma once

#include "platform/Scheduler.h"

#include <map>
#include <memory>

class QSocketNotifier;

namespace tolva {

class QtScheduler : public Scheduler {
public:
    QtScheduler();
    ~QtScheduler() override;

    Instant now() const override { return ContinuousClock::now(); }

protected:
    void add(Entry entry) override;
    void remove(std::uint64_t id) override;
    bool contains(std::uint64_t id) const override;

private:
    void rearm();
    void fire();

    int timerFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::multimap<Instant, Entry> queue_;
    std::map<std::uint64_t, Instant> dueById_;
};

} // namespace tolva
