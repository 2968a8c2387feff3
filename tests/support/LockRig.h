// A lock controller over honest fakes, for the tests of the controller and of the windows that
// observe it.
#pragma once

#include "TolvaCore/PinHasher.h"
#include "platform/x11/X11OverlayWindows.h"
#include "support/LockFakes.h"
#include "support/QtWidgetsApp.h"

#include <map>

namespace tolva::test {

struct NoIdle : IdleTimeSource {
    double secondsSinceLastInput() override { return 0; }
};

struct LockRig {
    FakeScheduler scheduler;
    std::shared_ptr<InMemoryDefaultsStore> store = std::make_shared<InMemoryDefaultsStore>();
    std::shared_ptr<Preferences> prefs = std::make_shared<Preferences>(store);
    std::shared_ptr<InMemoryPinStore> pins = std::make_shared<InMemoryPinStore>();
    std::shared_ptr<Authenticator> authenticator = std::make_shared<Authenticator>(pins);
    std::shared_ptr<IdleMonitor> idle =
        std::make_shared<IdleMonitor>(scheduler, std::make_shared<NoIdle>(), nullptr);
    std::shared_ptr<FakeDisplays> displays = std::make_shared<FakeDisplays>();
    std::shared_ptr<FakeForeground> foreground = std::make_shared<FakeForeground>();
    std::shared_ptr<FakeDisplaySleepBackend> sleep = std::make_shared<FakeDisplaySleepBackend>();
    std::shared_ptr<DeferredRunner> runner = std::make_shared<DeferredRunner>();
    std::shared_ptr<FakePasswordVerifier> password = std::make_shared<FakePasswordVerifier>();
    std::shared_ptr<FakeTouchID> fingerprint = std::make_shared<FakeTouchID>();
    FakeTap* tap = nullptr;
    FakePointerGrab* pointerGrab = nullptr;
    bool pointerAvailable = true;
    std::shared_ptr<X11OverlayWindows> windows;
    bool tapStarts = true;
    bool trusted = true;
    bool shellExtensionOff = false; // GNOME without the extension that covers for the program
    bool secureInput = false;
    Point pointer{100, 100};
    int systemLocks = 0;
    std::unique_ptr<LockController> controller;

    // The real fingerprint or password services may replace the fakes.
    struct Real {
        std::shared_ptr<TouchIDUnlock> touchID;
        std::shared_ptr<LoginPasswordVerifier> password;
    };
    // `adjust` changes the services before the controller is made from them.
    explicit LockRig(bool withPin = true, Real real = {},
                     const std::function<void(LockController::Services&)>& adjust = nullptr) {
        test::widgetsApp();
        if (withPin) {
            pins->save(PinHasher::makeRecord("4829", 10));
            authenticator->reload();
        }
        LockController::Services s;
        s.scheduler = &scheduler;
        s.prefs = prefs;
        s.authenticator = authenticator;
        s.idle = idle;
        windows = std::make_shared<X11OverlayWindows>(scheduler, displays);
        s.windows = windows;
        auto snapshotter = std::make_shared<ScreenSnapshotter>(
            scheduler, displays, std::make_shared<NoCapture>(), [] { return true; });
        s.contentBuilder = std::make_shared<OverlayContentBuilder>(snapshotter, [] { return false; });
        s.displaySleep = sleep;
        s.foreground = foreground;
        s.touchID = real.touchID ? real.touchID : fingerprint;
        s.passwordVerifier = real.password ? real.password : password;
        s.background = runner;
        s.makeTap = [this](EventTap::Handler handler, OverlayWindow*) {
            auto t = std::make_unique<FakeTap>(std::move(handler));
            t->startSucceeds = tapStarts;
            tap = t.get();
            return t;
        };
        s.makePointerGrab = [this] {
            auto grab = std::make_unique<FakePointerGrab>();
            grab->available = pointerAvailable;
            pointerGrab = grab.get();
            return grab;
        };
        s.accessibilityTrusted = [this] { return trusted; };
        s.coverExtensionOff = [this] { return shellExtensionOff; };
        s.secureInputEnabled = [this] { return secureInput; };
        s.screenCaptureAllowed = [] { return true; };
        s.reduceMotion = [] { return false; };
        s.pointerLocation = [this] { return pointer; };
        s.systemScreenLocker = [this] { ++systemLocks; };
        if (adjust)
            adjust(s);
        controller = std::make_unique<LockController>(std::move(s));
    }

    void lock(const std::string& reason = "menu", std::optional<std::int64_t> keepAwake = std::nullopt) {
        controller->lock(reason, keepAwake);
        scheduler.runDue();
    }
    // A key through the event tap, as X11EventTap reports it.
    bool tapKey(std::int64_t keyCode, std::string characters, std::uint64_t flags = 0) {
        return tap->handler(KeyEvent{KeyEvent::Type::keyDown, keyCode, flags, characters});
    }
    void typeDigits(const std::string& digits) {
        static const std::map<char, std::int64_t> codes = {{'0', 29}, {'1', 18}, {'2', 19}, {'3', 20},
                                                           {'4', 21}, {'5', 23}, {'6', 22}, {'7', 26},
                                                           {'8', 28}, {'9', 25}};
        for (char d : digits)
            tapKey(codes.at(d), std::string(1, d));
    }
    OverlayView* promptView() { return controller->promptWindow()->overlayView(); }
};

} // namespace tolva::test
