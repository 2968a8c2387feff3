// Scheduler handles and the shared add/run logic.
#include "platform/Scheduler.h"

#include <utility>

namespace tolva {

Scheduler::Handle::Handle(Handle&& other) noexcept
    : scheduler_(std::move(other.scheduler_)), id_(std::exchange(other.id_, 0)) {}

Scheduler::Handle& Scheduler::Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        cancel();
        scheduler_ = std::move(other.scheduler_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void Scheduler::Handle::cancel() {
    if (id_ == 0)
        return;
    if (auto scheduler = scheduler_.lock())
        (*scheduler)->remove(id_);
    id_ = 0;
    scheduler_.reset();
}

bool Scheduler::Handle::isActive() const {
    auto scheduler = scheduler_.lock();
    return id_ != 0 && scheduler && (*scheduler)->contains(id_);
}

Scheduler::Handle Scheduler::schedule(Seconds delay, std::function<void()> task) {
    const std::uint64_t id = nextId_++;
    add({now() + std::chrono::duration_cast<ContinuousClock::duration>(delay), id, std::move(task),
         Seconds(0)});
    return Handle(self_, id);
}

Scheduler::Handle Scheduler::every(Seconds period, std::function<void()> task, bool fireNow) {
    const std::uint64_t id = nextId_++;
    const auto first = fireNow ? Seconds(0) : period;
    add({now() + std::chrono::duration_cast<ContinuousClock::duration>(first), id, std::move(task), period});
    return Handle(self_, id);
}

void Scheduler::run(Entry entry) {
    if (entry.period > Seconds(0)) {
        // Re-arm before running, so the task may cancel itself through its handle.
        Entry next{entry.due + std::chrono::duration_cast<ContinuousClock::duration>(entry.period), entry.id,
                   entry.task, entry.period};
        if (next.due < now())
            next.due = now() + std::chrono::duration_cast<ContinuousClock::duration>(entry.period);
        add(std::move(next));
    }
    entry.task();
}

} // namespace tolva
