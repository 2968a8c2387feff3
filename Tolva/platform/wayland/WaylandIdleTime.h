// Seconds since the last input on Wayland, from the compositor's idle notices: it says when the
// seat has been quiet for a second and when input came back, and the rest is counted here.
#pragma once

#include "platform/IdleMonitor.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace tolva {

class WaylandConnection;
class WaylandIdleWatch;

class WaylandIdleTime : public IdleTimeSource {
public:
    using Clock = std::chrono::steady_clock;
    // How long the seat is quiet before the compositor says so: the smallest idle time this
    // source can tell from none.
    static constexpr std::chrono::milliseconds notice{1000};

    explicit WaylandIdleTime(std::shared_ptr<WaylandConnection> connection,
                             std::function<Clock::time_point()> now = Clock::now);
    ~WaylandIdleTime() override;

    // Whether the compositor reports idle time at all.
    bool isAvailable() const;
    double secondsSinceLastInput() override;

private:
    std::unique_ptr<WaylandIdleWatch> watch_;
    std::function<Clock::time_point()> now_;
    std::optional<Clock::time_point> quietSince_;
};

} // namespace tolva
