// Idle notifications from either protocol, reported through the event loop.
#include "platform/wayland/WaylandIdleWatch.h"

#include "platform/wayland/WaylandProtocols.h"

#include <QCoreApplication>

namespace tolva {

struct WaylandIdleWatchListeners {
    static WaylandIdleWatch& of(void* data) { return *static_cast<WaylandIdleWatch*>(data); }
    static void idled(void* data, ext_idle_notification_v1*) { of(data).changed(true); }
    static void resumed(void* data, ext_idle_notification_v1*) { of(data).changed(false); }
    static constexpr ext_idle_notification_v1_listener notification = {.idled = idled, .resumed = resumed};
    static void kdeIdle(void* data, org_kde_kwin_idle_timeout*) { of(data).changed(true); }
    static void kdeResumed(void* data, org_kde_kwin_idle_timeout*) { of(data).changed(false); }
    static constexpr org_kde_kwin_idle_timeout_listener kde = {.idle = kdeIdle, .resumed = kdeResumed};
};

WaylandIdleWatch::WaylandIdleWatch(std::shared_ptr<WaylandConnection> connection)
    : connection_(std::move(connection)), context_(std::make_unique<QObject>()) {
    connection_->addObserver(this);
}

WaylandIdleWatch::~WaylandIdleWatch() {
    context_.reset();
    stop();
    connection_->removeObserver(this);
}

bool WaylandIdleWatch::isAvailable() const {
    return connection_->isConnected() && connection_->seat() &&
           (connection_->idleNotifier() || connection_->kdeIdle());
}

bool WaylandIdleWatch::start(std::chrono::milliseconds timeout) {
    stop();
    timeout_ = timeout;
    if (!isAvailable())
        return false;
    const auto milliseconds = std::uint32_t(std::max<std::int64_t>(1, timeout.count()));
    if (auto* notifier = connection_->idleNotifier()) {
        notification_ =
            ext_idle_notifier_v1_get_idle_notification(notifier, milliseconds, connection_->seat());
        ext_idle_notification_v1_add_listener(notification_, &WaylandIdleWatchListeners::notification, this);
    } else {
        kdeTimeout_ =
            org_kde_kwin_idle_get_idle_timeout(connection_->kdeIdle(), connection_->seat(), milliseconds);
        org_kde_kwin_idle_timeout_add_listener(kdeTimeout_, &WaylandIdleWatchListeners::kde, this);
    }
    connection_->flush();
    return true;
}

void WaylandIdleWatch::stop() {
    if (notification_)
        ext_idle_notification_v1_destroy(notification_);
    if (kdeTimeout_)
        org_kde_kwin_idle_timeout_release(kdeTimeout_);
    notification_ = nullptr;
    kdeTimeout_ = nullptr;
    idle_ = false;
    connection_->flush();
}

void WaylandIdleWatch::seatCapabilitiesChanged(std::uint32_t) {
    // The watch belongs to the seat object; one made again after the seat came back keeps counting.
    if ((notification_ || kdeTimeout_) && connection_->seat() == nullptr)
        stop();
}

void WaylandIdleWatch::changed(bool idle) {
    idle_ = idle;
    QMetaObject::invokeMethod(
        context_.get(),
        [this, idle] {
            auto& callback = idle ? onIdle : onResumed;
            if (callback)
                callback();
        },
        Qt::QueuedConnection);
}

} // namespace tolva
