// The X11 services of the lock, put together.
#include "platform/x11/X11DisplayServer.h"

#include "overlay/ImageStore.h"
#include "overlay/OverlayContentBuilder.h"
#include "platform/Permissions.h"
#include "platform/dbus/FreedesktopDisplaySleep.h"
#include "platform/x11/X11DisplaySource.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11Foreground.h"
#include "platform/x11/X11HotKeyBackend.h"
#include "platform/x11/X11IdleTimeSource.h"
#include "platform/x11/X11OverlayWindows.h"
#include "platform/x11/X11PointerGrab.h"
#include "platform/x11/X11ScreenCapture.h"
#include "platform/x11/XConnection.h"

#include <QCursor>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QScreen>

#include <malloc.h>

namespace tolva {

X11DisplayServer::X11DisplayServer(std::shared_ptr<XConnection> x11)
    : x11_(std::move(x11)), displays_(std::make_shared<X11DisplaySource>(x11_)) {}

std::shared_ptr<IdleTimeSource> X11DisplayServer::idleTime() {
    return x11_ ? std::make_shared<X11IdleTimeSource>(x11_) : nullptr;
}

std::unique_ptr<HotKeyBackend> X11DisplayServer::hotKeys() {
    return x11_ ? std::make_unique<X11HotKeyBackend>(x11_) : nullptr;
}

std::shared_ptr<DisplaySource> X11DisplayServer::displays() {
    return displays_;
}

std::shared_ptr<DisplaySleepBackend> X11DisplayServer::displaySleep() {
    return std::make_shared<FreedesktopDisplaySleep>(QDBusConnection::sessionBus(), x11_);
}

void X11DisplayServer::provide(LockController::Services& services, const Context& context) {
    Scheduler* scheduler = context.scheduler;
    auto snapshotter = std::make_shared<ScreenSnapshotter>(
        *scheduler, displays_, std::make_shared<X11ScreenCapture>(), Permissions::isScreenCaptureAllowed);
    auto windows =
        std::make_shared<X11OverlayWindows>(*scheduler, displays_, x11_, [](const DisplayInfo& display) {
            return X11ScreenCapture::captureRegion(display.geometry);
        });
    windows_ = windows;
    services.windows = windows;
    services.contentBuilder = std::make_shared<OverlayContentBuilder>(
        snapshotter, context.reduceMotion, std::chrono::system_clock::now,
        [windows] { return windows->drawsInServer(); },
        [windows](const std::string& identity) { return windows->holdsImage(identity); });
    auto isOurs = [windows](xcb_window_t w) {
        for (const auto& window : windows->windows())
            if (static_cast<xcb_window_t>(window->winId()) == w)
                return true;
        return false;
    };
    services.foreground = x11_ ? std::shared_ptr<Foreground>(std::make_shared<X11Foreground>(x11_, isOurs))
                               : std::make_shared<NoForeground>();
    auto x11 = x11_;
    if (x11)
        X11EventTap::prepare(x11);
    auto holder = context.keyboardHolder;
    services.makeTap = [x11, scheduler, holder](EventTap::Handler handler,
                                                OverlayWindow*) -> std::unique_ptr<EventTap> {
        if (!x11)
            return std::make_unique<NoEventTap>();
        // The guard holds the keyboard for the lock and hands its keys over; without one, the
        // grab sits on the root window of the tap's own connection (a grab on a Qt window would
        // hand Qt focus events that make it believe the program was activated).
        return std::make_unique<X11EventTap>(x11, *scheduler, std::move(handler),
                                             Permissions::isAccessibilityTrusted, holder());
    };
    services.makePointerGrab = [x11, scheduler]() -> std::unique_ptr<PointerGrab> {
        auto* x11App = qApp->nativeInterface<QNativeInterface::QX11Application>();
        if (!x11 || !x11App)
            return nullptr;
        // On the overlay windows' own connection, so that they keep their clicks.
        return std::make_unique<X11PointerGrab>(x11App->connection(), x11->root(), *scheduler);
    };
    services.accessibilityTrusted = Permissions::isAccessibilityTrusted;
    auto capturing = context.capturing;
    services.secureInputEnabled = [x11, capturing] {
        // While locked our own grab answers; otherwise ask whether someone else holds the keyboard.
        if (capturing())
            return false;
        return x11 ? X11EventTap::isKeyboardGrabbedByAnotherClient(*x11) : false;
    };
    services.screenCaptureAllowed = Permissions::isScreenCaptureAllowed;
    services.pointerLocation = [] {
        const QPoint p = QCursor::pos();
        const QScreen* primary = QGuiApplication::primaryScreen();
        const double height = primary ? primary->geometry().height() : 0;
        return Point{double(p.x()), height - p.y()};
    };
}

bool X11DisplayServer::coverLeftBehind() {
    return x11_ && X11OverlayWindows::coverLeftBehind(*x11_);
}

QString X11DisplayServer::guardProgram() const {
    return QStringLiteral("tolva-screen-guard");
}

void X11DisplayServer::prepareWindows(bool liveTint) {
    if (auto windows = windows_.lock())
        windows->prepare(liveTint);
}

void X11DisplayServer::prepareImage(const std::string& imageFileName) {
    auto windows = windows_.lock();
    if (!windows || !windows->drawsInServer())
        return;
    const std::string identity = ImageStore::identity(imageFileName);
    if (identity.empty() || windows->holdsImage(identity))
        return;
    std::weak_ptr<X11OverlayWindows> weak = windows;
    ImageStore::loadInBackground(imageFileName, [weak, identity](ImageStore::Loaded loaded) {
        // The decoded picture is let go as soon as the server has its scaled copies.
        if (auto windows = weak.lock())
            windows->prepareImage(loaded.image, identity);
        loaded.image = QImage();
        ::malloc_trim(0); // the decoded picture was large: its memory goes back to the system
    });
}

} // namespace tolva
