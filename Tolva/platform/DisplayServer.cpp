// Choosing the session's display server.
#include "platform/DisplayServer.h"

#include "log/Log.h"
#include "overlay/Displays.h"
#include "platform/dbus/FreedesktopDisplaySleep.h"
#include "platform/gnome/GnomeShellCover.h"
#include "platform/gnome/GnomeShellDisplayServer.h"
#include "platform/wayland/LayerShellDisplayServer.h"
#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandOverlay.h"
#include "platform/x11/X11DisplayServer.h"
#include "platform/x11/XConnection.h"

#include <QDBusConnection>

#include <cstdlib>
#include <string_view>

namespace tolva {

namespace {

// A Wayland session: the compositor holds the screen and the input, whatever X server it also
// runs for older programs.
bool isWaylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* display = std::getenv("WAYLAND_DISPLAY");
    return (type && std::string_view(type) == "wayland") || (display && *display);
}

// A Wayland session where nothing can cover the screen (a compositor without layer-shell, GNOME
// Shell without our extension): every lock is refused with the reason, and nothing pretends to
// cover. Its windows are Qt's own and are never shown.
class NoCoverDisplayServer final : public X11DisplayServer {
public:
    explicit NoCoverDisplayServer(bool extensionOff)
        : X11DisplayServer(nullptr), extensionOff_(extensionOff) {}

    void provide(LockController::Services& services, const Context& context) override {
        X11DisplayServer::provide(services, context);
        services.coverUnavailable = [] { return true; };
        if (extensionOff_)
            services.coverExtensionOff = [] { return true; };
    }
    QString guardProgram() const override { return {}; }

private:
    bool extensionOff_;
};

std::unique_ptr<DisplayServer> waylandBackend() {
    auto wayland = WaylandConnection::connect();
    if (!wayland) {
        Log::lock.error("display server: wayland, but no compositor answers on WAYLAND_DISPLAY");
        return std::make_unique<NoCoverDisplayServer>(false);
    }
    if (WaylandOverlay::isAvailable(*wayland)) {
        Log::lock.info("display server: wayland (layer-shell)");
        return std::make_unique<LayerShellDisplayServer>(wayland);
    }
    // GNOME has no layer-shell: only its Shell, through our extension, can cover the screen.
    auto shell = std::make_shared<GnomeShellCover>(QDBusConnection::sessionBus());
    if (shell->isAvailable()) {
        Log::lock.info("display server: wayland (gnome shell extension " +
                       std::to_string(shell->version().value_or(0)) + ")");
        return std::make_unique<GnomeShellDisplayServer>(shell);
    }
    if (GnomeShellCover::isShellRunning(QDBusConnection::sessionBus())) {
        Log::lock.error(std::string("display server: wayland (gnome shell), but its extension ") +
                        GnomeShellCover::extensionUuid + " is not on");
        return std::make_unique<NoCoverDisplayServer>(true);
    }
    Log::lock.error("display server: wayland; " + WaylandOverlay::unavailableReason(*wayland));
    return std::make_unique<NoCoverDisplayServer>(false);
}

} // namespace

std::unique_ptr<DisplayServer> DisplayServer::forSession() {
    if (isWaylandSession())
        return waylandBackend();
    auto x11 = XConnection::open();
    Log::lock.info(std::string("display server: ") + (x11 ? "x11" : "none"));
    return std::make_unique<X11DisplayServer>(x11);
}

std::shared_ptr<DisplaySource> DisplayServer::displays() {
    static const auto qtScreens = std::make_shared<QtDisplaySource>();
    return qtScreens;
}

std::shared_ptr<DisplaySleepBackend> DisplayServer::displaySleep() {
    return std::make_shared<FreedesktopDisplaySleep>(QDBusConnection::sessionBus(), nullptr);
}

} // namespace tolva
