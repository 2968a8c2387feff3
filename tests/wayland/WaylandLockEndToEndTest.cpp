// The real tolva-screen in a Wayland session (the fixture's headless sway): it covers every
// output, takes every key, holds back the compositor's shortcuts, and goes for the PIN only.
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/Preferences.h"
#include "overlay/OverlayContent.h"
#include "platform/QtScheduler.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"
#include "platform/fake/FakeScheduler.h"
#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandOverlay.h"
#include "platform/wayland/WaylandOverlayWindows.h"
#include "support/EndToEnd.h"
#include "support/LockoutCheck.h"
#include "support/PictureChecks.h"
#include "support/PlainLook.h"
#include "support/QtWidgetsApp.h"
#include "wayland/WaylandTestSupport.h"

#include <QPainter>

#include <linux/input-event-codes.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace tolva;
using namespace tolva::test;

namespace {

const QColor magentaColour(255, 0, 255);

struct WaylandLock : ::testing::Test {
    void SetUp() override {
        test::widgetsApp();
        // Under ctest (which names the desktop session), the Wayland fixture's compositor too.
        if (std::getenv("TOLVA_TEST_SESSION"))
            ::setenv("TOLVA_WAYLAND_SESSION", TOLVA_WAYLAND_SESSION_DIR, 0);
        if (!enterWaylandSession())
            GTEST_SKIP() << "needs the headless compositor of the ctest fixture `wayland`";
        // The program draws its settings window with Qt wherever; the cover is its own.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("TOLVA_LOG_STDERR", "1", 1);
        std::string why;
        keychain = SecretServiceKeychainBackend::connect(&why);
        ASSERT_TRUE(keychain) << why;
        pins = std::make_unique<KeychainPinStore>("org.tolva.Screen.pin", "pin", keychain);
        pins->save(PinHasher::makeRecord("4829"));
        usePlainLook();
        for (const char* mark : {"shortcut-fired", "locked-fired", "inhibited-fired"})
            std::filesystem::remove(bindingMarks() / mark);
    }
    void TearDown() override {
        app.reset();
        if (pins)
            pins->remove();
    }

    std::shared_ptr<SecretServiceKeychainBackend> keychain;
    std::unique_ptr<KeychainPinStore> pins;
    std::unique_ptr<App> app;
};

// A new keyboard reaches the cover once the seat made it its keyboard: Escape (which only clears
// the entry) until the program notes a key.
bool keysReachTheProgram(VirtualKeyboard& keyboard, App& app) {
    return driveUntil(
        [&] {
            keyboard.tap(KEY_ESC);
            return driveUntil([&] { return app.saw("lock info: taking foreground: input key:tap"); }, 300ms);
        },
        15s);
}

} // namespace

TEST_F(WaylandLock, CoversEveryOutputTakesTheKeysAndOpensForThePinOnly) {
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    EXPECT_TRUE(app->saw("lock info: display server: wayland \\(layer-shell\\)"));
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, magentaColour), "") << output << " is not covered";

    VirtualKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    ASSERT_TRUE(keysReachTheProgram(keyboard, *app)) << "no key reached the program\n" << app->transcript();

    // The compositor's own shortcuts, also one it runs on a locked screen, stay with the cover.
    keyboard.tap(KEY_ENTER, {KEY_LEFTMETA});
    keyboard.tap(KEY_L, {KEY_LEFTMETA});
    keyboard.tap(KEY_I, {KEY_LEFTMETA});
    driveUntil([] { return false; }, 300ms);
    for (const char* mark : {"shortcut-fired", "locked-fired", "inhibited-fired"})
        EXPECT_FALSE(std::filesystem::exists(bindingMarks() / mark)) << mark << " got through";

    // A wrong PIN leaves the cover up; the right one ends it.
    app->mark();
    for (std::uint32_t key : {KEY_1, KEY_1, KEY_1, KEY_1})
        keyboard.tap(key);
    ASSERT_TRUE(
        driveUntil([&] { return app->sawSinceMark("auth info: auth rejected via tap failures=1.*"); }, 10s))
        << app->transcript();
    EXPECT_FALSE(app->sawSinceMark("lock info: unlocked .*"));
    // (The panel stands in the middle of one output; a corner shows the cover.)
    EXPECT_EQ(waitForColour("HEADLESS-1", magentaColour, 0, QRect(0, 0, 120, 120), 1s), "");
    for (std::uint32_t key : {KEY_4, KEY_8, KEY_2, KEY_9})
        keyboard.tap(key);
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via tap.*")) << app->transcript();
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, sessionBackground()), "") << output << " still shows the cover";

    // Unlocked, the same shortcut reaches the compositor: the check above can fail.
    keyboard.tap(KEY_ENTER, {KEY_LEFTMETA});
    EXPECT_TRUE(driveUntil([] { return std::filesystem::exists(bindingMarks() / "shortcut-fired"); }, 5s));
}

// After the free tries, a wrong PIN starts the wait; the right PIN typed during it does not open,
// and the cover stays.
TEST_F(WaylandLock, TheRightPinTypedDuringTheWaitAfterWrongOnesDoesNotOpen) {
    NoFreeTryLeft planted;
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart failures=4", 20s)) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    VirtualKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    ASSERT_TRUE(keysReachTheProgram(keyboard, *app)) << "no key reached the program\n" << app->transcript();

    expectTheWaitToHoldTheRightPin(*app, [&](const std::vector<std::uint32_t>& keys) {
        for (std::uint32_t key : keys)
            keyboard.tap(key);
    });
    // (The panel stands in the middle of one output; a corner shows the cover.)
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, magentaColour, 0, QRect(0, 0, 120, 120), 1s), "")
            << output << " is not covered during the wait";
    app.reset(); // (killed while the wait runs, before its state goes)
}

TEST_F(WaylandLock, ACoverWhoseConnectionTheCompositorEndedComesBackOnANewOne) {
    // Another client holds the input when the lock begins: the compositor ends the connection
    // that asks for it too. The lock covers again once the other client lets go.
    QtScheduler scheduler;
    auto otherConnection = WaylandConnection::connect();
    ASSERT_TRUE(otherConnection);
    WaylandOverlay other(otherConnection, scheduler);
    ASSERT_TRUE(other.cover(CoverContent::solid(Qt::white)));
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        ASSERT_EQ(waitForColour(output, Qt::white), "") << output;

    WaylandOverlayWindows cover(scheduler, WaylandConnection::connect());
    OverlayContent content;
    content.background = magentaColour;
    cover.build(content);
    EXPECT_GE(cover.windows().size(), 2u) << "a window per output (other tests may have added one)";
    ASSERT_TRUE(driveUntil([&] { return !cover.isConnected(); }, 10s))
        << "the compositor let both hold the input";
    auto tap = cover.makeTap([](const KeyEvent&) { return true; });
    tap->start();
    EXPECT_FALSE(tap->isEnabled()) << "the keys are not ours while nothing covers";

    other.uncover();
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, magentaColour, 0, {}, 15s), "") << output << " was not covered again";
    EXPECT_TRUE(cover.isConnected());
    EXPECT_TRUE(tap->isEnabled());
    tap->stop();
    cover.tearDown();
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, sessionBackground()), "") << output << " still shows the cover";
}

// The program killed while locked: the screen goes from its overlay to the guard's cover beneath
// it, never to the desktop; the compositor's shortcuts stay held; the program comes back locked,
// on top again, and opens for the PIN, after which nothing of either cover stays.
TEST_F(WaylandLock, AProgramKilledWhileLockedLeavesTheGuardsCoverAndComesBackLocked) {
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: guard: covering beneath the lock")) << app->transcript();
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        ASSERT_EQ(waitForColour(output, magentaColour), "") << output << " is not covered";
    VirtualKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());

    app->process().signal(SIGKILL);
    // Pictures taken as fast as grim allows while the program is gone and comes back: none shows
    // the desktop anywhere.
    const QColor desktop = sessionBackground();
    int pictures = 0;
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        for (const char* output : {"HEADLESS-1", "HEADLESS-2"}) {
            const QImage picture = screenshot(output);
            ASSERT_FALSE(picture.isNull());
            ++pictures;
            for (int y = 0; y < picture.height(); y += 16)
                for (int x = 0; x < picture.width(); x += 16)
                    ASSERT_NE(picture.pixelColor(x, y).rgb(), desktop.rgb())
                        << output << " showed the desktop at " << x << "," << y << " after the kill\n"
                        << app->transcript();
        }
        // The compositor's shortcut, pressed again and again across the gap, reaches the cover.
        keyboard.tap(KEY_ENTER, {KEY_LEFTMETA});
    }
    EXPECT_GE(pictures, 4);
    EXPECT_FALSE(std::filesystem::exists(bindingMarks() / "shortcut-fired")) << "a shortcut got through";

    ASSERT_TRUE(app->waitFor("lock error: guard: program ended while locked; screen covered=true"))
        << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart.*", 20s)) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: guard: lock handed back to the program")) << app->transcript();
    // The program's own cover is on top again, and its keys reach it.
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, magentaColour, 0, QRect(0, 0, 120, 120)), "") << output;
    // (Escape first: it clears whatever the shortcut taps left in the entry.)
    ASSERT_TRUE(driveUntil(
        [&] {
            for (std::uint32_t key : {KEY_ESC, KEY_4, KEY_8, KEY_2, KEY_9})
                keyboard.tap(key);
            return app->waitFor("lock info: unlocked reason=PIN via tap.*", 1s);
        },
        15s))
        << "the restarted program did not open for the PIN\n"
        << app->transcript();
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, desktop), "") << output << " still shows a cover";
}

// The snapshot look: the compositor's copy of each output, taken before the cover maps, is what
// the cover shows; a window that appears beneath it later stays hidden.
TEST_F(WaylandLock, TheSnapshotLookShowsTheDesktopAsItWasWhenTheLockBegan) {
    Preferences prefs(JsonFileDefaultsStore::standard());
    prefs.setOverlayContentMode(OverlayContentMode::snapshot);
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    // (Other tests may have added outputs to the shared compositor.)
    EXPECT_TRUE(app->saw("lock info: snapshot captured displays=([2-9]|[1-9][0-9]) .*")) << app->transcript();
    const QColor desktop = sessionBackground();
    // (Not the magenta the look falls back to without a picture.)
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, desktop, 8, QRect(0, 0, 120, 120)), "") << output;

    // A surface of another client, made after the cover and so beneath it.
    QtScheduler scheduler;
    auto otherConnection = WaylandConnection::connect();
    ASSERT_TRUE(otherConnection);
    WaylandOverlay other(otherConnection, scheduler);
    other.setInhibitsInput(false);
    other.setKeepsKeyboard(false);
    ASSERT_TRUE(other.cover(CoverContent::solid(Qt::blue)));
    driveUntil([] { return false; }, 300ms); // its first frame
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"}) {
        const QImage picture = screenshot(output);
        ASSERT_FALSE(picture.isNull());
        EXPECT_EQ(gridMismatches(picture, desktop, 8, QRect(0, 0, 120, 120)), "")
            << output << ": what appeared beneath the cover shows through";
    }
    other.uncover();
}

// Beneath a live tint the guard's cover lets the live screen through while the program lives,
// and shows the same tint once it was killed: never black, never the bare desktop after the kill.
TEST_F(WaylandLock, BeneathALiveTintTheGuardShowsTheLiveScreenAndTakesOverTheTint) {
    Preferences prefs(JsonFileDefaultsStore::standard());
    prefs.setOverlayContentMode(OverlayContentMode::liveTint);
    prefs.setOverlayColor(SRGBColor(0, 0, 0));
    prefs.setLiveTintOpacity(0.25);
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: guard: covering beneath the lock")) << app->transcript();
    // Black at a quarter over the green desktop.
    const QColor desktop = sessionBackground();
    const QColor tinted(desktop.red() * 3 / 4, desktop.green() * 3 / 4, desktop.blue() * 3 / 4);
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, tinted, 6, QRect(0, 0, 120, 120)), "")
            << output << ": the live screen does not show through the tint";

    app->process().signal(SIGKILL);
    ASSERT_TRUE(app->waitFor("lock error: guard: program ended while locked; screen covered=true"))
        << app->transcript();
    // The guard's own tint, until the program is back with its own.
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, tinted, 6, QRect(0, 0, 120, 120)), "") << output;
    ASSERT_TRUE(app->waitFor("lock info: guard: lock handed back to the program", 20s)) << app->transcript();
    for (const char* output : {"HEADLESS-1", "HEADLESS-2"})
        EXPECT_EQ(waitForColour(output, tinted, 6, QRect(0, 0, 120, 120)), "")
            << output << ": one tint, not two, once the program is back";
}

// The pixel shift moves the picture by its step, and the gradient drifts: the views' frames are
// drawn again and reach every output.
TEST_F(WaylandLock, ThePixelShiftMovesThePictureAndTheGradientDriftsOnEveryOutput) {
    FakeScheduler scheduler;
    WaylandOverlayWindows cover(scheduler, WaylandConnection::connect());
    const auto tuning = OverlayAnimationTuning::tuning(AnimationStrength::strong);
    const double shiftStep = tuning.pixelShiftStep;
    // Run the virtual clock `seconds` ahead, a frame's worth at a time, with the compositor served.
    auto runFor = [&](double seconds) {
        for (double t = 0; t < seconds; t += 0.05) {
            scheduler.advance(Seconds(0.05));
            QCoreApplication::processEvents();
        }
    };

    // Left half red, right half blue.
    const QImage picture = redLeftBlueRight(640, 480);
    OverlayContent content;
    content.sharedImage = picture;
    content.animations = {OverlayAnimation::pixelShift};
    content.tuning = tuning;
    cover.build(content);
    int before = -1;
    ASSERT_TRUE(driveUntil([&] {
        before = redToBlueEdge(screenshot("HEADLESS-1"), 240);
        return before > 0;
    })) << "the picture never showed";
    // One interval, and the move after it.
    runFor(tuning.pixelShiftInterval + 3.5);
    int after = -1;
    EXPECT_TRUE(driveUntil([&] {
        after = redToBlueEdge(screenshot("HEADLESS-1"), 240);
        return std::abs(after - before - shiftStep) <= 1;
    })) << "the edge stood at "
        << before << " and then at " << after << ", not " << shiftStep << " further";
    EXPECT_EQ(redToBlueEdge(screenshot("HEADLESS-2"), 240) - after, 0) << "the outputs shifted apart";
    cover.tearDown();

    // A grey colour with the drifting gradient: lighter towards the lower left, darker towards the
    // upper right, and not the same a while later.
    OverlayContent grey;
    grey.background = QColor(128, 128, 128);
    grey.animations = {OverlayAnimation::gradientDrift};
    grey.tuning = tuning;
    cover.build(grey);
    const QRect lowerLeft(0, 360, 160, 120), upperRight(480, 0, 160, 120); // of 640×480
    QImage first;
    ASSERT_TRUE(driveUntil([&] {
        first = screenshot("HEADLESS-2");
        return !first.isNull() && meanGreen(first, lowerLeft) > 140 && meanGreen(first, upperRight) < 116;
    })) << "no gradient: "
        << meanGreen(first, lowerLeft) << " / " << meanGreen(first, upperRight);
    runFor(tuning.gradientPeriod * 0.25);
    EXPECT_TRUE(driveUntil([&] { return screenshot("HEADLESS-2") != first; }, 3s))
        << "the gradient stood still";
    cover.tearDown();
}
