// Idle time from the compositor's idle notices.
#include "platform/wayland/WaylandIdleTime.h"

#include "platform/wayland/WaylandIdleWatch.h"

namespace tolva {

WaylandIdleTime::WaylandIdleTime(std::shared_ptr<WaylandConnection> connection,
                                 std::function<Clock::time_point()> now)
    : watch_(std::make_unique<WaylandIdleWatch>(std::move(connection))), now_(std::move(now)) {
    watch_->onIdle = [this] { quietSince_ = now_() - notice; };
    watch_->onResumed = [this] { quietSince_.reset(); };
    watch_->start(notice);
}

WaylandIdleTime::~WaylandIdleTime() = default;

bool WaylandIdleTime::isAvailable() const {
    return watch_->isAvailable();
}

double WaylandIdleTime::secondsSinceLastInput() {
    if (!quietSince_)
        return 0;
    return std::chrono::duration<double>(now_() - *quietSince_).count();
}

} // namespace tolva
