#include "lock/LockController.h"
#include "TolvaCore/PinHasher.h"
#include "log/Log.h"
#include "support/LockRig.h"

#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;

TEST(LockController, RefusedLocksSayWhy) {
    ScopedLogCapture log;
    LockRig noPin(false);
    int willLock = 0;
    noPin.controller->onWillLock = [&] { ++willLock; };
    noPin.lock("menu");
    EXPECT_EQ(noPin.controller->state(), LockState::unlocked);
    EXPECT_EQ(log.messages("lock"), std::vector<std::string>{"lock refused (menu): No PIN set"});

    log.sink().clear();
    LockRig untrusted;
    untrusted.trusted = false;
    untrusted.controller->onWillLock = [&] { ++willLock; };
    untrusted.lock("hotkey");
    EXPECT_EQ(untrusted.controller->state(), LockState::unlocked);
    EXPECT_EQ(
        log.messages("lock"),
        std::vector<std::string>{"lock refused (hotkey): Keyboard blocking isn’t available on this session"});
    EXPECT_EQ(willLock, 0);
    EXPECT_EQ(untrusted.controller->lockBlockedReason(), "Keyboard blocking isn’t available on this session");
    EXPECT_FALSE(untrusted.idle->isArmed) << "the idle monitor is disarmed while locking is impossible";

    // A desktop where nothing can cover says what to do instead.
    log.sink().clear();
    LockRig uncoverable(true, {}, [](LockController::Services& s) { s.coverUnavailable = [] { return true; }; });
    uncoverable.trusted = false;
    uncoverable.lock("menu");
    EXPECT_EQ(uncoverable.controller->state(), LockState::unlocked);
    EXPECT_EQ(uncoverable.controller->lockBlockedReason(),
              "This desktop doesn’t let programs cover the screen. Use an X11 session, GNOME, KDE Plasma or sway.");

    // GNOME covers through the program's Shell extension: switched off, the refusal says how to
    // switch it on.
    LockRig extensionOff(true, {}, [](LockController::Services& s) { s.coverExtensionOff = [] { return true; }; });
    extensionOff.trusted = false;
    extensionOff.lock("menu");
    EXPECT_EQ(extensionOff.controller->state(), LockState::unlocked);
    EXPECT_EQ(extensionOff.controller->lockBlockedReason(),
              "Tolva Screen’s GNOME Shell extension is off. Turn it on with “gnome-extensions enable "
              "tolva-screen@tolva.org”, then log out and back in.");
}

TEST(LockController, LockSequenceAndASecondRequest) {
    ScopedLogCapture log;
    LockRig f;
    int willLock = 0;
    f.controller->onWillLock = [&] { ++willLock; };
    f.prefs->setKeepAwakeSeconds(7200);
    f.lock("hotkey");
    EXPECT_EQ(f.controller->state(), LockState::locked);
    EXPECT_EQ(willLock, 1);
    EXPECT_EQ(f.controller->keepAwakeSeconds(), 7200);
    EXPECT_TRUE(f.controller->tapActive());
    EXPECT_EQ(f.sleep->held, 1);
    EXPECT_FALSE(f.controller->frontTaken()) << "with a working tap the overlay stays in the background";
    auto lines = log.messages("lock");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "lock begin reason=hotkey mode=liveTint frontmost=Editor secureInput=false screens=2 "
                        "keepAwake=7200s lockSystemOnExpiry=false");
    EXPECT_TRUE(lines[1].starts_with("overlay windows: 2 "));
    EXPECT_EQ(lines[2], "locked in background tap=true secureInput=false frontmost=Editor");
    EXPECT_EQ(lines.back(), "display-sleep assertion on") << "asked for once the overlay is up";

    const auto before = log.messages().size();
    f.lock("menu", 1800);
    EXPECT_EQ(log.messages().size(), before) << "a second lock does nothing and logs nothing";
    EXPECT_EQ(f.controller->keepAwakeSeconds(), 7200);

    f.controller->unlock("test");
    f.lock("menu timed", 1800);
    EXPECT_EQ(f.controller->keepAwakeSeconds(), 1800) << "the request's keep-awake wins over the preference";
}

TEST(LockController, FirstKeyShowsThePanelAndIsApplied) {
    LockRig f;
    f.lock();
    EXPECT_TRUE(f.tapKey(18, "1")) << "every key is swallowed while locked";
    EXPECT_EQ(f.controller->state(), LockState::prompting);
    ASSERT_NE(f.controller->promptWindow(), nullptr);
    EXPECT_TRUE(f.promptView()->isPanelVisible());
    EXPECT_EQ(f.controller->lastPanelModel()->filled, 1);
    EXPECT_TRUE(f.controller->frontTaken());
    // Key releases and modifier changes are swallowed too, without effect.
    EXPECT_TRUE(f.tap->handler(KeyEvent{KeyEvent::Type::keyUp, 18, 0, std::nullopt}));
    EXPECT_TRUE(f.tap->handler(KeyEvent{KeyEvent::Type::flagsChanged, 56, 0x20000, std::nullopt}));
    EXPECT_EQ(f.controller->entry().count(), 1u);
}

TEST(LockController, CorrectPinAutoSubmitsAndUnlocks) {
    ScopedLogCapture log;
    LockRig f;
    int didUnlock = 0;
    f.controller->onDidUnlock = [&] { ++didUnlock; };
    f.lock();
    f.scheduler.advance(Seconds(3));
    f.typeDigits("4829");
    EXPECT_EQ(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(didUnlock, 1);
    EXPECT_EQ(f.sleep->held, 0);
    EXPECT_FALSE(f.tap->isInstalled()) << "the tap is stopped";
    EXPECT_EQ(f.controller->tap(), nullptr);
    EXPECT_FALSE(f.foreground->kiosk);
    EXPECT_EQ(log.messages("auth").back(), "PIN accepted via tap");
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=PIN via tap after 3s");
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 0);
}

TEST(LockController, WindowPathUnlocksWithItsOwnReason) {
    ScopedLogCapture log;
    LockRig f;
    f.tapStarts = false;
    f.lock();
    EXPECT_FALSE(f.controller->tapActive());
    EXPECT_TRUE(f.controller->frontTaken()) << "without a tap the overlay takes the foreground at once";
    EXPECT_EQ(log.messages("input"),
              std::vector<std::string>{"tap unavailable; keyboard falls back to window keyDown path"});
    OverlayView* view = f.controller->promptWindow() ? f.promptView() : nullptr;
    (void)view;
    for (auto [code, c] :
         std::vector<std::pair<std::int64_t, std::string>>{{21, "4"}, {28, "8"}, {19, "2"}, {25, "9"}})
        f.controller->handleWindowKey(code, 0, c, "window");
    EXPECT_EQ(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=PIN via window after 0s");
}

TEST(LockController, PanelHidesAfterFiveSecondsOfSilence) {
    ScopedLogCapture log;
    Log::setDebugEnabled(true);
    LockRig f;
    f.lock();
    f.typeDigits("12");
    f.scheduler.advance(Seconds(4.9));
    EXPECT_EQ(f.controller->state(), LockState::prompting);
    f.tapKey(20, "3"); // input restarts the timer
    f.scheduler.advance(Seconds(4.9));
    EXPECT_EQ(f.controller->state(), LockState::prompting);
    f.scheduler.advance(Seconds(0.2));
    EXPECT_EQ(f.controller->state(), LockState::locked);
    EXPECT_TRUE(f.controller->entry().isEmpty());
    EXPECT_EQ(f.controller->promptWindow(), nullptr);
    auto input = log.messages("input");
    EXPECT_NE(std::find(input.begin(), input.end(), "prompt hidden after 5s idle"), input.end());
    auto lock = log.messages("lock");
    EXPECT_TRUE(std::any_of(lock.begin(), lock.end(), [](auto& l) {
        return l == "released foreground: prompt timed out to=Editor handed=true";
    }));
    EXPECT_FALSE(f.controller->frontTaken());
    f.controller->noteInput("mouseMoved");
    EXPECT_EQ(f.controller->state(), LockState::prompting) << "a pointer movement brings it back";
}

TEST(LockController, PanelFollowsThePointerToAnotherDisplay) {
    LockRig f;
    f.lock();
    f.pointer = Point{100, 100};
    f.controller->noteInput("mouseMoved");
    OverlayWindow* first = f.controller->promptWindow();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->geometry().x(), 0);
    f.pointer = Point{3000, 500};
    f.controller->noteInput("mouseMoved");
    OverlayWindow* second = f.controller->promptWindow();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->geometry().x(), 1920);
    EXPECT_TRUE(second->overlayView()->isPanelVisible());
    EXPECT_FALSE(first->overlayView()->isPanelVisible());
}

TEST(LockController, WrongEntriesAndTheBackoffWait) {
    ScopedLogCapture log;
    LockRig f;
    f.prefs->setAllowLoginPasswordUnlock(false);
    f.lock();
    f.typeDigits("1111");
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Incorrect PIN");
    f.tapKey(20, "3");
    EXPECT_EQ(f.controller->lastPanelModel()->message, std::nullopt) << "the next key clears the error";
    f.tapKey(36, "\r"); // "3" is not PIN-shaped and the password is not allowed
    EXPECT_EQ(f.controller->lastPanelModel()->message, "PIN must be digits");
    f.typeDigits("1111");
    f.typeDigits("1111");
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 4);
    f.typeDigits("1111");
    EXPECT_EQ(log.messages("auth").back(), "auth rejected via tap failures=5 lockout=30s");
    auto model = *f.controller->lastPanelModel();
    EXPECT_EQ(model.message, "Too many attempts. Try again in 30 seconds");
    EXPECT_FALSE(model.inputEnabled);
    f.scheduler.advance(Seconds(1));
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Too many attempts. Try again in 29 seconds");
    f.tapKey(21, "4"); // swallowed during the wait, and clears the entry
    EXPECT_TRUE(f.controller->entry().isEmpty());
    f.scheduler.advance(Seconds(28.5));
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Too many attempts. Try again in 1 second");
    f.scheduler.advance(Seconds(1));
    EXPECT_EQ(f.controller->lastPanelModel()->message, std::nullopt);
    EXPECT_TRUE(f.controller->lastPanelModel()->inputEnabled);
}

TEST(LockController, LoginPasswordWhenAllowed) {
    ScopedLogCapture log;
    LockRig f;
    f.lock();
    for (char c : std::string("correct horse"))
        f.tapKey(0, std::string(1, c));
    EXPECT_EQ(f.controller->lastPanelModel()->title, "Type your login password, then press Enter");
    f.tapKey(36, "\r");
    EXPECT_EQ(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=login password via tap after 0s");

    f.lock();
    f.typeDigits("12");
    f.tapKey(36, "\r");
    EXPECT_EQ(f.password->calls, 2) << "12 is not PIN-shaped: only the password is tried";
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Incorrect password");
    f.typeDigits("1111");
    EXPECT_EQ(f.password->calls, 2) << "a wrong PIN is not tried as the password";
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Incorrect PIN");
}

TEST(LockController, AResultArrivingAfterTheUnlockIsDropped) {
    ScopedLogCapture log;
    LockRig f;
    f.runner->deliverAtOnce = false;
    f.lock();
    f.typeDigits("1111");
    EXPECT_TRUE(f.controller->isVerifying());
    EXPECT_FALSE(f.controller->lastPanelModel()->inputEnabled);
    f.tapKey(18, "1"); // kept as the next try
    EXPECT_EQ(f.controller->entry().count(), 1u);
    f.controller->systemScreenLocked();
    EXPECT_TRUE(f.controller->entry().isEmpty());
    f.runner->deliverAll();
    EXPECT_FALSE(f.controller->isVerifying());
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 0) << "the stale rejection is not counted";
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=system screen locked after 0s");
}

// A check that takes its time (a PAM module waiting on the network) does not lose what is typed
// meanwhile: it is the next try once the answer is in, or the wait a failure starts says why not.
TEST(LockController, KeysTypedWhileACheckRunsAreKeptAsTheNextTry) {
    ScopedLogCapture log;
    LockRig f;
    f.runner->deliverAtOnce = false;
    f.lock();
    for (char c : std::string("wrong horse"))
        f.tapKey(0, std::string(1, c));
    f.tapKey(36, "\r");
    ASSERT_TRUE(f.controller->isVerifying());
    f.typeDigits("4829"); // a whole PIN, which waits for the answer
    EXPECT_EQ(f.controller->entry().count(), 4u);
    EXPECT_EQ(f.controller->lastPanelModel()->filled, 4) << "the panel shows what is kept";
    EXPECT_EQ(f.password->calls, 1);
    EXPECT_NE(f.controller->state(), LockState::unlocked) << "nothing is tried while a check runs";
    f.runner->deliverAll();
    EXPECT_EQ(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=PIN via tap after 0s");
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 0);

    // The login password typed and entered while a wrong PIN is checked.
    f.lock();
    f.typeDigits("1111");
    ASSERT_TRUE(f.controller->isVerifying());
    for (char c : std::string("correct horse"))
        f.tapKey(0, std::string(1, c));
    f.tapKey(36, "\r");
    EXPECT_EQ(f.password->calls, 1);
    f.runner->deliverAll();
    EXPECT_EQ(f.password->received.back(), "correct horse");
    EXPECT_EQ(f.password->calls, 2);
    EXPECT_EQ(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=login password via tap after 0s");

    // An entry not yet entered stays in the panel for the user to finish.
    f.lock();
    f.typeDigits("1111");
    f.tapKey(0, "x");
    f.runner->deliverAll();
    EXPECT_EQ(f.controller->entry().text(), "x");
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Incorrect PIN");

    // A failure that starts a wait: what was kept goes, and the panel says why.
    f.tapKey(51, "");
    f.typeDigits("1111");
    f.runner->deliverAll();
    f.typeDigits("1111");
    f.runner->deliverAll();
    f.typeDigits("1111");
    f.runner->deliverAll();
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 4);
    f.typeDigits("1111");
    f.typeDigits("4829");
    f.runner->deliverAll();
    EXPECT_TRUE(f.controller->entry().isEmpty());
    EXPECT_NE(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Too many attempts. Try again in 30 seconds");
    EXPECT_EQ(f.controller->lastPanelModel()->filled, 0);
}

TEST(LockController, KeepAwakeExpiry) {
    ScopedLogCapture log;
    LockRig f;
    f.controller->lock("menu", 1800, false, true);
    f.scheduler.runDue();
    f.scheduler.advance(Seconds(1800));
    EXPECT_EQ(f.sleep->held, 0);
    EXPECT_EQ(f.systemLocks, 1);
    auto lines = log.messages("lock");
    EXPECT_EQ(lines[lines.size() - 2], "display-sleep assertion off");
    EXPECT_EQ(lines.back(), "keep-awake expired after 1800s, locking system screen");
    f.controller->systemScreenLocked();
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=system screen locked after 1800s");

    f.controller->lock("menu", 1800, false, false);
    f.scheduler.runDue();
    f.scheduler.advance(Seconds(1800));
    EXPECT_EQ(log.messages("lock").back(), "keep-awake expired after 1800s, overlay stays");
    EXPECT_EQ(f.controller->state(), LockState::locked);
    EXPECT_TRUE(f.tap->isInstalled());
    f.controller->unlock("test");

    log.sink().clear();
    f.controller->lock("menu", 1800, false, true);
    f.scheduler.runDue();
    f.controller->unlock("early");
    f.scheduler.advance(Seconds(3600));
    for (auto& line : log.messages("lock"))
        EXPECT_EQ(line.find("keep-awake expired"), std::string::npos) << "an unlock cancels the timer";
}

TEST(LockController, DisplayChangesRebuildOnlyWhenTheLayoutChanged) {
    ScopedLogCapture log;
    LockRig f;
    f.lock();
    f.controller->noteInput("mouseMoved");
    auto* before = f.controller->promptWindow();
    f.controller->screensChanged();
    EXPECT_EQ(f.controller->promptWindow(), before) << "same layout: nothing rebuilt";
    f.displays->list.push_back({3, QRect(3840, 0, 1280, 1024), nullptr, false});
    f.controller->screensChanged();
    auto lines = log.messages("lock");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "displays changed while locked, rebuilding overlays"),
              lines.end());
    EXPECT_EQ(f.controller->state(), LockState::prompting);
    ASSERT_NE(f.controller->promptWindow(), nullptr);
    EXPECT_TRUE(f.promptView()->isPanelVisible()) << "the panel reappears under the pointer";
}

TEST(LockController, TheLockSleepsWhileTheInputIsOursAndLooksWhileItIsNot) {
    ScopedLogCapture log;
    LockRig f;
    f.lock();
    f.scheduler.advance(Seconds(2.5));
    const auto sleeping = f.scheduler.pendingCount();
    f.scheduler.advance(Seconds(60));
    EXPECT_EQ(f.scheduler.pendingCount(), sleeping);
    f.tap->changeHold(false); // the grab was lost and could not be taken back
    EXPECT_EQ(f.scheduler.pendingCount(), sleeping + 1) << "looking every 2 s again";
    f.scheduler.advance(Seconds(2));
    EXPECT_FALSE(f.controller->tapActive());
    EXPECT_EQ(log.messages("input").back(), "tap stopped");
    EXPECT_TRUE(f.controller->frontTaken());
    EXPECT_EQ(
        f.controller->lastPanelModel()->note,
        "Keyboard blocking isn’t active, so system shortcuts may get through. You can still dismiss the "
        "overlay by entering your PIN.");
    f.tap->enabled = true; // taken back without a word: the look every 2 s finds it
    f.scheduler.advance(Seconds(2));
    EXPECT_EQ(log.messages("input").back(), "tap running");
    EXPECT_FALSE(f.controller->frontTaken()) << "released with \"tap usable again\"";

    // Another client took the keyboard while ours was away, and the tap cannot have it back.
    f.tap->changeHold(false, true);
    f.scheduler.advance(Seconds(2));
    auto input = log.messages("input");
    EXPECT_NE(std::find(input.begin(), input.end(), "secure input on"), input.end());
    EXPECT_TRUE(f.controller->frontTaken());
    EXPECT_EQ(f.controller->lastPanelModel()->note,
              "Another program is holding the keyboard, so what you type goes to it, not here. Wait until "
              "it lets go, then type your PIN.");
    auto lines = log.messages("lock");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "taking foreground: secure input"), lines.end());
}

TEST(LockController, TheKeyboardComingAndGoingIsActedOnAtOnce) {
    ScopedLogCapture log;
    LockRig f;
    f.tapStarts = false; // another program holds the keyboard when the lock starts
    f.lock();
    f.tap->changeHold(false, true);
    EXPECT_TRUE(f.controller->secureInputActive());
    EXPECT_FALSE(f.controller->tapActive());
    EXPECT_TRUE(f.controller->frontTaken()) << "keys between two tries must land on the overlay";
    f.controller->noteInput("mouseMoved");
    EXPECT_EQ(f.controller->lastPanelModel()->title, "Keyboard in use by another program");

    // The overlay lost the focus (another client moved it): it is taken back at once.
    const int before = f.foreground->broughtToFront;
    f.windows->onFocusLost();
    EXPECT_EQ(f.foreground->broughtToFront, before + 1);
    // Another client's grab ended: the tap is asked to try now, not at its next tick.
    f.windows->onGrabReleased();
    EXPECT_EQ(f.tap->retries, 1);

    int statusChanges = 0;
    f.controller->onStatusChanged = [&] { ++statusChanges; };
    f.tap->changeHold(true); // the keyboard is ours again, without waiting for the monitor tick
    EXPECT_TRUE(f.controller->tapActive());
    EXPECT_FALSE(f.controller->secureInputActive());
    EXPECT_EQ(statusChanges, 1) << "the tray follows the real state";
    EXPECT_EQ(log.messages("input").back(), "tap running");
    EXPECT_EQ(f.controller->lastPanelModel()->title, "Enter PIN");
    f.typeDigits("4829");
    EXPECT_EQ(f.controller->state(), LockState::unlocked);
    EXPECT_FALSE(f.controller->secureInputActive()) << "nothing of the lock's observation stays";
}

TEST(LockController, ThePointerIsHeldForTheWholeLock) {
    LockRig f;
    f.pointerAvailable = false; // another client holds the pointer at lock time
    f.lock();
    ASSERT_NE(f.pointerGrab, nullptr);
    EXPECT_TRUE(f.pointerGrab->installed);
    EXPECT_FALSE(f.pointerGrab->isHeld());
    f.pointerGrab->available = true;
    f.windows->onGrabReleased();
    EXPECT_TRUE(f.pointerGrab->isHeld()) << "taken back as soon as the other client let go";
    f.scheduler.advance(Seconds(2));
    EXPECT_GE(f.pointerGrab->retries, 2) << "the monitor makes sure it is still held";
    f.controller->unlock("test");
    EXPECT_EQ(f.controller->pointerGrab(), nullptr) << "released at unlock";
}

TEST(LockController, TheLockIsReportedOnlyOnceItsWindowsAreUp) {
    // Telling the tray and the bus is slow; nothing of it may stand between the hot key and
    // the cover, however the grabs report on the way.
    LockRig f;
    std::vector<std::pair<LockState, std::size_t>> reports; // state and overlay windows then
    f.controller->onStatusChanged = [&] {
        reports.emplace_back(f.controller->state(), f.windows->windows().size());
    };
    f.lock();
    ASSERT_NE(f.pointerGrab, nullptr);
    EXPECT_TRUE(f.pointerGrab->isHeld());
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), std::make_pair(LockState::locked, std::size_t(2)));
    for (const auto& [state, windows] : reports)
        EXPECT_NE(state, LockState::locking) << "reported while the windows were being built";
    // Once the lock stands, a change of the pointer's hold is reported at once.
    const std::size_t before = reports.size();
    f.pointerGrab->held = false;
    f.pointerGrab->retryNow();
    EXPECT_EQ(reports.size(), before + 1);
}

TEST(LockController, AWaitEarnedInOneLockCountsDownInTheNext) {
    LockRig f;
    f.prefs->setAllowLoginPasswordUnlock(false);
    f.lock();
    for (int i = 0; i < 5; ++i)
        f.typeDigits("1111");
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Too many attempts. Try again in 30 seconds");
    f.controller->unlock("system screen locked");
    f.scheduler.advance(Seconds(10));
    f.lock();
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Too many attempts. Try again in 20 seconds");
    f.scheduler.advance(Seconds(1));
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Too many attempts. Try again in 19 seconds");
    f.scheduler.advance(Seconds(19));
    EXPECT_EQ(f.controller->lastPanelModel()->message, std::nullopt);
    EXPECT_TRUE(f.controller->lastPanelModel()->inputEnabled);
}

// A lock taken back after a restart keeps its count, but never a wait longer than the backoff's
// own longest from now, whatever end the state said.
TEST(LockController, AResumedLockWaitsAtMostTheLongestWait) {
    LockRig f;
    f.prefs->setAllowLoginPasswordUnlock(false);
    f.controller->resume({1000, Instant(std::chrono::nanoseconds(INT64_MAX))});
    f.scheduler.runDue();
    ASSERT_NE(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 1000);
    EXPECT_EQ(f.controller->backoff().remainingLockout(f.scheduler.now()), 300.0);
    f.tapKey(21, "4");
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Too many attempts. Try again in 5 minutes");
    f.scheduler.advance(Seconds(300));
    EXPECT_FALSE(f.controller->backoff().isLockedOut(f.scheduler.now()));
    f.typeDigits("4829");
    EXPECT_EQ(f.controller->state(), LockState::unlocked);

    // A negative count and a wait already over: no wait at all.
    f.scheduler.advance(Seconds(10));
    f.controller->resume({-5, f.scheduler.now() - std::chrono::seconds(1)});
    f.scheduler.runDue();
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 0);
    EXPECT_EQ(f.controller->backoff().lockedUntil, std::nullopt);
    // A short wait stays as it was.
    f.controller->unlock("system screen locked");
    f.controller->resume({5, f.scheduler.now() + std::chrono::seconds(12)});
    f.scheduler.runDue();
    EXPECT_EQ(f.controller->backoff().remainingLockout(f.scheduler.now()), 12.0);
}

TEST(LockController, AccessibilityLostDuringALockNeedsReauthorization) {
    ScopedLogCapture log;
    LockRig f;
    f.lock();
    f.trusted = false;
    f.scheduler.advance(Seconds(2));
    EXPECT_EQ(log.messages("permissions").back(), "accessibility revoked while locked");
    f.controller->unlock("test");
    EXPECT_TRUE(f.controller->needsReauthorization());
    EXPECT_EQ(log.messages("permissions").back(),
              "accessibility revoked during lock; auto-lock disabled until re-granted");
    EXPECT_EQ(f.controller->lockBlockedReason(), "Keyboard blocking is no longer available on this session.");
    f.trusted = true;
    f.controller->refreshCapabilities();
    EXPECT_FALSE(f.controller->needsReauthorization());
    EXPECT_TRUE(f.controller->canLock());
}

TEST(LockController, IdleCallbackLocksAutomatically) {
    ScopedLogCapture log;
    LockRig f;
    f.idle->onIdle(602.7);
    f.scheduler.runDue();
    EXPECT_EQ(f.controller->state(), LockState::locked);
    EXPECT_TRUE(log.messages("lock").front().starts_with("lock begin reason=idle 602s "));
}

TEST(LockController, ReduceMotionRestartsTheEffects) {
    ScopedLogCapture log;
    LockRig f;
    f.prefs->setAnimations({OverlayAnimation::breathing, OverlayAnimation::pixelShift});
    f.lock();
    f.controller->reduceMotionChanged(true);
    EXPECT_EQ(log.messages("ui").back(), "reduce motion changed -> true, animations=[]");
    f.controller->reduceMotionChanged(false);
    EXPECT_EQ(log.messages("ui").back(),
              "reduce motion changed -> false, animations=[\"breathing\", \"pixelShift\"]");
}

TEST(LockController, DisplaysAreLookedAtAgainOnceTheyHaveSettled) {
    ScopedLogCapture log;
    LockRig f;
    f.lock();
    // A change in several steps: the first signal comes before the new display shows up.
    f.controller->screensChanged();
    f.displays->list.push_back({3, QRect(3840, 0, 1280, 1024), nullptr, false});
    EXPECT_EQ(f.windows->windows().size(), 2u);
    f.scheduler.advance(Seconds(0.5));
    EXPECT_EQ(f.windows->windows().size(), 3u) << "the settled layout is covered";
    auto lines = log.messages("lock");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "displays changed while locked, rebuilding overlays"),
              1);
}

TEST(LockController, AWrongPinNeverGoesOnToTheLoginPassword) {
    LockRig f;
    f.lock();
    f.typeDigits("1111");
    EXPECT_EQ(f.password->calls, 0) << "with a PIN configured, PIN-shaped texts are PINs only";
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Incorrect PIN");
    for (char c : std::string("word"))
        f.tapKey(0, std::string(1, c));
    f.tapKey(36, "\r");
    EXPECT_EQ(f.password->received, std::vector<std::string>{"word"});
    EXPECT_EQ(f.controller->lastPanelModel()->message, "Incorrect password");
}

TEST(LockController, ThePanelOffersThePasswordOnlyWhenItCanBeChecked) {
    LockRig f;
    f.password->available = false;
    f.controller->refreshCapabilities();
    EXPECT_FALSE(f.controller->passwordUnlockAvailable());
    f.lock();
    f.tapKey(0, "a");
    auto model = *f.controller->lastPanelModel();
    EXPECT_EQ(model.note, std::nullopt) << "no password note";
    EXPECT_EQ(model.title, "Enter PIN");
    f.tapKey(36, "\r");
    EXPECT_EQ(f.controller->lastPanelModel()->message, "PIN must be digits");
    EXPECT_EQ(f.password->calls, 0);
    f.controller->unlock("test");

    f.password->available = true;
    f.controller->refreshCapabilities();
    EXPECT_TRUE(f.controller->passwordUnlockAvailable());
    f.lock();
    f.controller->noteInput("mouseMoved");
    EXPECT_EQ(f.controller->lastPanelModel()->note,
              "Forgot your PIN? Type your login password and press Enter");
    f.tapKey(0, "a");
    model = *f.controller->lastPanelModel();
    EXPECT_EQ(model.title, "Type your login password, then press Enter");
    EXPECT_EQ(model.note, std::nullopt) << "the title asks for the password: the note does not say it again";
}

TEST(LockController, FingerprintAlongsideThePin) {
    ScopedLogCapture log;
    LockRig f;
    f.fingerprint->current = {TouchIDUnlock::Availability::Reason::available, {}};
    f.lock();
    f.typeDigits("1111");
    f.typeDigits("2222");
    EXPECT_EQ(f.fingerprint->presented, 1) << "presented once, not again on every key";
    EXPECT_EQ(f.fingerprint->panel, f.promptView()->panel());
    f.fingerprint->match();
    EXPECT_EQ(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(f.controller->backoff().consecutiveFailures, 0) << "a fingerprint resets the failures";
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=Touch ID after 0s");
    EXPECT_FALSE(f.fingerprint->isPresented()) << "the unlock dismisses the check";

    // The PIN keeps working while the reader waits.
    f.lock();
    f.tapKey(18, "1");
    EXPECT_TRUE(f.fingerprint->isPresented());
    f.typeDigits("829");
    f.typeDigits("4829");
    EXPECT_EQ(f.controller->state(), LockState::unlocked);
    EXPECT_EQ(log.messages("lock").back(), "unlocked reason=PIN via tap after 0s");

    // The panel's time-out ends the check; the next input starts a new one.
    f.lock();
    f.tapKey(18, "1");
    f.scheduler.advance(Seconds(5.1));
    EXPECT_FALSE(f.fingerprint->isPresented());
    f.controller->noteInput("mouseMoved");
    EXPECT_TRUE(f.fingerprint->isPresented());
    f.controller->unlock("test");
}

TEST(LockController, FingerprintOnlyWhenAvailableAndAllowed) {
    LockRig f;
    f.lock();
    f.controller->noteInput("mouseMoved");
    EXPECT_EQ(f.fingerprint->presented, 0) << "no reader: no control";
    // A reader that answers while the panel is up is offered at once.
    f.fingerprint->setAvailability({TouchIDUnlock::Availability::Reason::available, {}});
    EXPECT_EQ(f.fingerprint->presented, 1);
    f.controller->unlock("test");

    f.prefs->setTouchIDEnabled(false);
    f.lock();
    f.controller->noteInput("mouseMoved");
    EXPECT_EQ(f.fingerprint->presented, 1) << "the switch is off";

    EXPECT_EQ(f.controller->touchIDAvailability().unavailableText(), std::nullopt);
    f.fingerprint->current = {TouchIDUnlock::Availability::Reason::noEnrolledFinger, {}};
    EXPECT_EQ(f.controller->touchIDAvailability().unavailableText(),
              "No fingerprint is enrolled for your account.");
    f.fingerprint->current = {TouchIDUnlock::Availability::Reason::noDevice, {}};
    EXPECT_EQ(f.controller->touchIDAvailability().unavailableText(),
              "This computer has no fingerprint reader.");
}
