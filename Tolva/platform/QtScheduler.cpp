// timerfd-backed scheduling on the Qt event loop.
#include "platform/QtScheduler.h"

#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tolva {

QtScheduler::QtScheduler() {
    timerFd_ = ::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd_ < 0)
        throw std::runtime_error("timerfd_create(CLOCK_BOOTTIME) failed");
    notifier_ = std::make_unique<QSocketNotifier>(timerFd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { fire(); });
}

QtScheduler::~QtScheduler() {
    notifier_.reset();
    if (timerFd_ >= 0)
        ::close(timerFd_);
}

void QtScheduler::add(Entry entry) {
    dueById_[entry.id] = entry.due;
    queue_.emplace(entry.due, std::move(entry));
    rearm();
}

void QtScheduler::remove(std::uint64_t id) {
    auto due = dueById_.find(id);
    if (due == dueById_.end())
        return;
    auto [first, last] = queue_.equal_range(due->second);
    for (auto it = first; it != last; ++it)
        if (it->second.id == id) {
            queue_.erase(it);
            break;
        }
    dueById_.erase(due);
    rearm();
}

bool QtScheduler::contains(std::uint64_t id) const {
    return dueById_.count(id) != 0;
}

void QtScheduler::rearm() {
    itimerspec deadline{};
    if (!queue_.empty()) {
        // Absolute deadline on the same clock; a deadline in the past fires at once.
        auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(queue_.begin()->first.time_since_epoch())
                .count();
        if (ns <= 0)
            ns = 1;
        deadline.it_value.tv_sec = ns / 1'000'000'000;
        deadline.it_value.tv_nsec = ns % 1'000'000'000;
    }
    ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &deadline, nullptr);
}

void QtScheduler::fire() {
    std::uint64_t expirations = 0;
    while (::read(timerFd_, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
    // Run everything due now; tasks added while running wait for the next round.
    const Instant current = now();
    while (!queue_.empty() && queue_.begin()->first <= current) {
        Entry entry = std::move(queue_.begin()->second);
        queue_.erase(queue_.begin());
        dueById_.erase(entry.id);
        run(std::move(entry));
    }
    rearm();
}

} // namespace tolva
