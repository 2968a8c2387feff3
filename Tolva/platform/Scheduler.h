// Every timer of the program goes through this interface: one-shot tasks after a delay on the
// continuous clock, cancelled by their handle. The real scheduler runs on the Qt event loop;
// the fake one advances virtual time in tests.
#pragma once

#include "TolvaCore/ContinuousClock.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace tolva {

class Scheduler {
public:
    // Owns one scheduled task; destroying or resetting it cancels the task.
    class Handle {
    public:
        Handle() = default;
        Handle(std::weak_ptr<Scheduler*> scheduler, std::uint64_t id)
            : scheduler_(std::move(scheduler)), id_(id) {}
        Handle(Handle&& other) noexcept;
        Handle& operator=(Handle&& other) noexcept;
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;
        ~Handle() { cancel(); }

        void cancel();
        // True while the task is scheduled and has not run yet (or, for a repeating task, until cancelled).
        bool isActive() const;

    private:
        std::weak_ptr<Scheduler*> scheduler_;
        std::uint64_t id_ = 0;
    };

    Scheduler() : self_(std::make_shared<Scheduler*>(this)) {}
    virtual ~Scheduler() = default;
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    virtual Instant now() const = 0;

    // Runs `task` once, `delay` from now (at once for zero or less, but never inside this call).
    [[nodiscard]] Handle schedule(Seconds delay, std::function<void()> task);
    // Runs `task` every `period`, first after `period` (or at once when `fireNow`).
    [[nodiscard]] Handle every(Seconds period, std::function<void()> task, bool fireNow = false);

protected:
    struct Entry {
        Instant due;
        std::uint64_t id;
        std::function<void()> task;
        Seconds period{0}; // zero for one-shot tasks
    };
    // Implementations keep entries and call `run` for each when it is due.
    virtual void add(Entry entry) = 0;
    virtual void remove(std::uint64_t id) = 0;
    virtual bool contains(std::uint64_t id) const = 0;
    // Runs a due entry; repeating entries are added again for their next period first.
    void run(Entry entry);

private:
    std::shared_ptr<Scheduler*> self_; // handles hold it weakly, so they outlive us safely
    std::uint64_t nextId_ = 1;
};

} // namespace tolva
