// Honest stand-ins for the lock controller's platform collaborators, steerable by tests.
#pragma once

#include "TolvaCore/SecretText.h"
#include "lock/LockController.h"
#include "platform/fake/FakeScheduler.h"

#include <deque>

namespace tolva::test {

struct FakeTap : EventTap {
    bool startSucceeds = true;
    bool enabled = true;
    bool installed = false;
    bool heldElsewhere = false; // another client holds the keyboard (the tap cannot have it)
    int retries = 0;
    Handler handler;
    explicit FakeTap(Handler h) : handler(std::move(h)) {}
    bool start() override {
        installed = installed || startSucceeds;
        return installed;
    }
    void stop() override { installed = false; }
    bool isEnabled() override { return installed && enabled; }
    bool isInstalled() const override { return installed; }
    bool keyboardHeldElsewhere() const override { return heldElsewhere; }
    void retryNow() override { ++retries; }
    // The keyboard came back or went away on its own, as the X11 tap reports it.
    void changeHold(bool holding, bool elsewhere = false) {
        installed = true;
        enabled = holding;
        heldElsewhere = elsewhere;
        if (onStatusChanged)
            onStatusChanged();
    }
};

struct FakePointerGrab : PointerGrab {
    bool available = true; // false: another client holds the pointer
    bool held = false;
    bool installed = false;
    int retries = 0;
    bool start() override {
        installed = true;
        // Like the real grab: a change of hold is reported, also the first one.
        if (held != available) {
            held = available;
            if (onStatusChanged)
                onStatusChanged();
        }
        return held;
    }
    void stop() override { installed = held = false; }
    bool isHeld() const override { return held; }
    void retryNow() override {
        ++retries;
        if (installed && available && !held) {
            held = true;
            if (onStatusChanged)
                onStatusChanged();
        }
    }
};

struct FakeForeground : Foreground {
    std::optional<std::string> frontmost = std::string("Editor");
    std::optional<std::string> remembered;
    bool active = false;
    bool kiosk = false;
    bool handBackWorks = true;
    int broughtToFront = 0;
    std::optional<std::string> frontmostName() override {
        return active ? std::optional<std::string>("Tolva Screen") : frontmost;
    }
    void rememberFrontmost() override {
        if (!active && frontmost)
            remembered = frontmost;
    }
    std::optional<std::string> rememberedName() override { return remembered; }
    void forgetRemembered() override { remembered.reset(); }
    void bringToFront(OverlayWindow*) override {
        ++broughtToFront;
        active = true;
    }
    bool isActive() override { return active; }
    bool handBack() override {
        if (handBackWorks)
            active = false;
        return handBackWorks;
    }
    void setKiosk(bool on) override { kiosk = on; }
    bool isKiosk() override { return kiosk; }
};

struct FakeDisplaySleepBackend : DisplaySleepBackend {
    int held = 0;
    std::int32_t create(std::uint32_t& id) override {
        ++held;
        id = 42;
        return 0;
    }
    void release(std::uint32_t) override { --held; }
};

// Runs the work at once (it is the real PIN check) but hands the result back only when the
// test says so, like a worker thread that is still busy.
struct DeferredRunner : BackgroundRunner {
    bool deliverAtOnce = true;
    std::deque<std::function<void()>> pending;
    void run(std::function<bool()> work, std::function<void(bool)> onMainThread) override {
        const bool result = work();
        auto deliver = [onMainThread, result] { onMainThread(result); };
        if (deliverAtOnce)
            deliver();
        else
            pending.push_back(deliver);
    }
    void deliverAll() {
        while (!pending.empty()) {
            auto next = std::move(pending.front());
            pending.pop_front();
            next();
        }
    }
};

struct FakePasswordVerifier : LoginPasswordVerifier {
    std::string password = "correct horse";
    bool available = true;
    int calls = 0;
    std::vector<std::string> received;
    bool isAvailable() override { return available; }
    bool verify(std::string& text) override {
        ++calls;
        received.push_back(text);
        const bool right = text == password;
        wipe(text);
        return right;
    }
};

// A fingerprint service steered by the test: availability, and a finger put on the reader.
struct FakeTouchID : TouchIDUnlock {
    Availability current{Availability::Reason::noDevice, {}};
    int presented = 0;
    int dismissed = 0;
    UnlockPanel* panel = nullptr;
    std::function<void()> success;
    Availability availability() const override { return current; }
    void refreshAvailability() override {}
    void setAvailability(Availability next) {
        current = std::move(next);
        if (onAvailabilityChanged)
            onAvailabilityChanged();
    }
    bool isPresented() const override { return panel != nullptr; }
    void present(UnlockPanel* p, std::function<void()> onSuccess) override {
        dismiss();
        ++presented;
        panel = p;
        success = std::move(onSuccess);
    }
    void dismiss() override {
        if (panel)
            ++dismissed;
        panel = nullptr;
        success = nullptr;
    }
    void match() {
        auto s = success;
        if (s)
            s();
    }
};

struct FakeDisplays : DisplaySource {
    std::vector<DisplayInfo> list = {{1, QRect(0, 0, 1920, 1080), nullptr, true},
                                     {2, QRect(1920, 0, 1920, 1080), nullptr, false}};
    std::vector<DisplayInfo> displays() override { return list; }
};

struct NoCapture : ScreenCaptureBackend {
    Snapshots capture(const std::vector<DisplayInfo>&) override { return {}; }
};

} // namespace tolva::test
