// Frames drawn on request, at most one per interval: however often a frame is asked for, it
// comes once, as soon as the interval since the last one allows.
#pragma once

#include "platform/Scheduler.h"

#include <functional>
#include <utility>

namespace tolva {

class FrameLimiter {
public:
    // `draw` runs on `scheduler`, which must outlive the limiter.
    FrameLimiter(Scheduler& scheduler, Seconds interval, std::function<void()> draw)
        : scheduler_(scheduler), interval_(interval), draw_(std::move(draw)) {}

    // A frame, now if the last one is an interval old, else when it is.
    void ask() {
        if (task_.isActive())
            return;
        const Instant earliest = lastFrame_ + std::chrono::duration_cast<Instant::duration>(interval_);
        const Instant now = scheduler_.now();
        const Seconds wait = earliest > now ? Seconds(earliest - now) : Seconds(0);
        task_ = scheduler_.schedule(wait, [this] {
            lastFrame_ = scheduler_.now();
            draw_();
        });
    }
    // A frame drawn without asking counts as the last one.
    void markDrawn() { lastFrame_ = scheduler_.now(); }
    bool isPending() const { return task_.isActive(); }
    void cancel() { task_.cancel(); }

private:
    Scheduler& scheduler_;
    Seconds interval_;
    std::function<void()> draw_;
    Scheduler::Handle task_;
    Instant lastFrame_{};
};

} // namespace tolva
