// Idle time on Wayland: the compositor says when the seat has had no input for a given time
// and when input came back (ext-idle-notify where offered, else KDE's idle protocol, which is
// all sway 1.7 has).
#pragma once

#include "platform/wayland/WaylandConnection.h"

#include <chrono>
#include <functional>
#include <memory>

struct ext_idle_notification_v1;
struct org_kde_kwin_idle_timeout;

namespace tolva {

class WaylandIdleWatch : private WaylandConnection::Observer {
public:
    explicit WaylandIdleWatch(std::shared_ptr<WaylandConnection> connection);
    ~WaylandIdleWatch() override;
    WaylandIdleWatch(const WaylandIdleWatch&) = delete;
    WaylandIdleWatch& operator=(const WaylandIdleWatch&) = delete;

    // Whether the compositor reports idle time at all.
    bool isAvailable() const;
    // Watches for `timeout` without input; replaces an earlier watch. False when unavailable.
    bool start(std::chrono::milliseconds timeout);
    void stop();
    bool isIdle() const { return idle_; }

    // Called through the event loop.
    std::function<void()> onIdle;
    std::function<void()> onResumed;

private:
    void changed(bool idle);
    void seatCapabilitiesChanged(std::uint32_t) override;
    friend struct WaylandIdleWatchListeners;

    std::shared_ptr<WaylandConnection> connection_;
    std::unique_ptr<QObject> context_;
    ext_idle_notification_v1* notification_ = nullptr;
    org_kde_kwin_idle_timeout* kdeTimeout_ = nullptr;
    std::chrono::milliseconds timeout_{0};
    bool idle_ = false;
};

} // namespace tolva
