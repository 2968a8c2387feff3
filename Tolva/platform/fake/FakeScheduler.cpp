// Virtual-time scheduling.
#include "platform/fake/FakeScheduler.h"

namespace tolva {

void FakeScheduler::add(Entry entry) {
    auto key = std::make_pair(entry.due, entry.id);
    queue_.emplace(key, std::move(entry));
}

void FakeScheduler::remove(std::uint64_t id) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it)
        if (it->second.id == id) {
            queue_.erase(it);
            return;
        }
}

bool FakeScheduler::contains(std::uint64_t id) const {
    for (const auto& [key, entry] : queue_)
        if (entry.id == id)
            return true;
    return false;
}

void FakeScheduler::advance(Seconds by) {
    const Instant target = now_ + std::chrono::duration_cast<ContinuousClock::duration>(by);
    while (!queue_.empty() && queue_.begin()->first.first <= target) {
        Entry entry = std::move(queue_.begin()->second);
        queue_.erase(queue_.begin());
        if (entry.due > now_)
            now_ = entry.due;
        run(std::move(entry));
    }
    now_ = target;
}

} // namespace tolva
