// The layer-shell services of the lock, put together.
#include "platform/wayland/LayerShellDisplayServer.h"

#include "lock/LockGuard.h"
#include "log/Log.h"
#include "overlay/OverlayContentBuilder.h"
#include "platform/dbus/KGlobalAccelHotKeyBackend.h"
#include "platform/wayland/CompositorBinding.h"
#include "platform/wayland/KWinScreenCapture.h"
#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandIdleTime.h"
#include "platform/wayland/WaylandOverlayWindows.h"
#include "platform/wayland/WaylandScreenCapture.h"

namespace tolva {

LayerShellDisplayServer::LayerShellDisplayServer(std::shared_ptr<WaylandConnection> wayland)
    : wayland_(std::move(wayland)) {}

std::shared_ptr<IdleTimeSource> LayerShellDisplayServer::idleTime() {
    auto quiet = std::make_shared<WaylandIdleTime>(wayland_);
    Log::idle.info(std::string("idle time source: ") +
                   (quiet->isAvailable() ? "wayland idle notices" : "none (the compositor reports none)"));
    return quiet->isAvailable() ? quiet : nullptr;
}

std::unique_ptr<HotKeyBackend> LayerShellDisplayServer::hotKeys() {
    // No program can grab keys here; Plasma's shortcut service registers them for us.
    const bool kglobalaccel = KGlobalAccelHotKeyBackend::isAvailable();
    Log::input.info(std::string("global shortcut: ") + (kglobalaccel ? "kglobalaccel" : "none"));
    return kglobalaccel ? std::make_unique<KGlobalAccelHotKeyBackend>() : nullptr;
}

bool LayerShellDisplayServer::compositorBindsShortcut() const {
    // wlroots compositors (they alone offer the input inhibitor) give no program a key of its own.
    return wayland_->inputInhibitManager();
}

std::string LayerShellDisplayServer::compositorBindingLine(const std::optional<HotKey>& hotKey) const {
    return swayBindingLine(hotKey);
}

void LayerShellDisplayServer::provide(LockController::Services& services, const Context& context) {
    // The compositor shows the cover, one layer-shell surface per output, and hands it the keys
    // and the pointer: nothing here speaks to an X server.
    auto cover = std::make_shared<WaylandOverlayWindows>(*context.scheduler, wayland_);
    cover_ = cover;
    services.windows = cover;
    // The snapshot look: the compositor's copy of each output, taken before the cover maps;
    // wlr-screencopy where the compositor offers it, else KWin's screenshot service.
    auto capture = std::make_shared<WaylandScreenCapture>(wayland_);
    std::shared_ptr<KWinScreenCapture> kwinCapture;
    if (!capture->isAvailable())
        kwinCapture = std::make_shared<KWinScreenCapture>(wayland_);
    auto connection = wayland_;
    auto captureAvailable = [capture, kwinCapture] {
        return capture->isAvailable() || (kwinCapture && kwinCapture->isAvailable());
    };
    auto snapshotter = std::make_shared<ScreenSnapshotter>(
        *context.scheduler,
        [capture, kwinCapture, connection](std::function<void(Snapshots)> done) {
            auto deliver = [connection, done](std::map<std::string, QImage> pictures) {
                done(WaylandOverlayWindows::picturesByDisplay(pictures, connection->outputInfos()));
            };
            if (kwinCapture)
                kwinCapture->captureOutputs(deliver);
            else
                capture->captureOutputs(deliver);
        },
        captureAvailable);
    services.contentBuilder = std::make_shared<OverlayContentBuilder>(
        snapshotter, context.reduceMotion, std::chrono::system_clock::now, [] { return false; },
        [](const std::string&) { return false; });
    provideCoverInput(services, cover);
    services.accessibilityTrusted = [connection] { return connection->isConnected(); };
    services.screenCaptureAllowed = captureAvailable;
}

QString LayerShellDisplayServer::guardProgram() const {
    // The guard covers beneath the compositor's overlay surfaces, on a connection of its own.
    return QStringLiteral("tolva-screen-guard-wayland");
}

void LayerShellDisplayServer::guardStarted(LockGuard& guard) {
    // Where the compositor puts the newest surface on top (KWin), the guard's cover lands above
    // ours: ours go back on top once it says it covers.
    std::weak_ptr<WaylandOverlayWindows> weakCover = cover_;
    guard.onCovering = [weakCover] {
        if (auto cover = weakCover.lock())
            cover->raise();
    };
}

void LayerShellDisplayServer::beforeGuardHearsLocked(LockGuard& guard) {
    // Beneath a live tint the guard's cover is a tint too, so that a crash shows the same.
    const auto tint = cover_ ? cover_->tint() : std::nullopt;
    guard.setCoverTint(tint ? std::optional<std::uint32_t>(tint->rgba()) : std::nullopt);
}

} // namespace tolva
