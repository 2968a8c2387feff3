// Virtual time for tests: nothing runs until the test advances the clock, and then every task
// due by the new time runs in due order, as on the real loop.
#pragma once

#include "platform/Scheduler.h"

#include <map>

namespace tolva {

class FakeScheduler : public Scheduler {
public:
    explicit FakeScheduler(Instant start = Instant(std::chrono::hours(1))) : now_(start) {}

    Instant now() const override { return now_; }

    // Moves time forward, running each task when its moment comes.
    void advance(Seconds by);
    // Runs what is due now without moving time (tasks scheduled with zero delay).
    void runDue() { advance(Seconds(0)); }
    std::size_t pendingCount() const { return queue_.size(); }

protected:
    void add(Entry entry) override;
    void remove(std::uint64_t id) override;
    bool contains(std::uint64_t id) const override;

private:
    Instant now_;
    std::multimap<std::pair<Instant, std::uint64_t>, Entry> queue_;
};

} // namespace tolva
