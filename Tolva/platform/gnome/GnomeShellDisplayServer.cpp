// The GNOME Shell services of the lock, put together.
#include "platform/gnome/GnomeShellDisplayServer.h"

#include "log/Log.h"
#include "overlay/OverlayContentBuilder.h"
#include "platform/gnome/GnomeIdleTime.h"
#include "platform/gnome/GnomeOverlayWindows.h"
#include "platform/gnome/GnomeScreenCapture.h"
#include "platform/gnome/GnomeShellCover.h"
#include "platform/gnome/GnomeShellHotKeyBackend.h"

#include <QDBusConnection>

namespace tolva {

GnomeShellDisplayServer::GnomeShellDisplayServer(std::shared_ptr<GnomeShellCover> shell)
    : shell_(std::move(shell)) {}

std::shared_ptr<IdleTimeSource> GnomeShellDisplayServer::idleTime() {
    auto quiet = std::make_shared<GnomeIdleTime>(QDBusConnection::sessionBus());
    Log::idle.info(std::string("idle time source: ") +
                   (quiet->isAvailable() ? "mutter idle monitor" : "none (mutter does not answer)"));
    return quiet->isAvailable() ? quiet : nullptr;
}

std::unique_ptr<HotKeyBackend> GnomeShellDisplayServer::hotKeys() {
    Log::input.info("global shortcut: gnome shell extension");
    return std::make_unique<GnomeShellHotKeyBackend>(shell_);
}

void GnomeShellDisplayServer::provide(LockController::Services& services, const Context& context) {
    auto cover = std::make_shared<GnomeOverlayWindows>(*context.scheduler, shell_);
    services.windows = cover;
    auto shell = shell_;
    // The snapshot look: the extension takes the pictures inside the Shell.
    auto snapshotter = std::make_shared<ScreenSnapshotter>(
        *context.scheduler, std::make_shared<GnomeDisplays>(shell),
        std::make_shared<GnomeScreenCapture>(shell), [shell] { return shell->isAvailable(); });
    services.contentBuilder = std::make_shared<OverlayContentBuilder>(
        snapshotter, context.reduceMotion, std::chrono::system_clock::now, [] { return false; },
        [](const std::string&) { return false; });
    provideCoverInput(services, cover);
    services.accessibilityTrusted = [shell] { return shell->isAvailable(); };
    services.screenCaptureAllowed = [shell] { return shell->isAvailable(); };
}

bool GnomeShellDisplayServer::coverLeftBehind() {
    return shell_->isCovered();
}

} // namespace tolva
