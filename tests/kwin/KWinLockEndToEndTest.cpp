// The real tolva-screen in a KDE Plasma session (the fixture's headless KWin, on KWin's own bus):
// its shortcut registered with kglobalaccel locks, the cover is on both outputs, no key reaches
// the application beneath, a window mapped while locked does not keep the keyboard, and the PIN
// alone opens it.
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/Preferences.h"
#include "kwin/KWinTestSupport.h"
#include "platform/KeychainBackendChooser.h"
#include "platform/wayland/KWinScreenCapture.h"
#include "platform/wayland/WaylandConnection.h"
#include "support/EndToEnd.h"
#include "support/LockoutCheck.h"
#include "support/PlainLook.h"
#include "wayland/WaylandTestSupport.h"

#include <linux/input-event-codes.h>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tolva;
using namespace tolva::test;

namespace {

const QColor magentaColour(255, 0, 255);
const std::initializer_list<std::uint32_t> chord = {KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA};

struct KWinLock : ::testing::Test {
    void SetUp() override {
        if (!enterKWinSession())
            GTEST_SKIP() << "needs the headless KWin of the ctest fixture `kwin`";
        // The program draws its settings window with Qt wherever; the cover is its own.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("TOLVA_LOG_STDERR", "1", 1);
        // The PIN goes where the program will look for it on this bus (which has no keyring).
        pins = std::make_unique<KeychainPinStore>(std::string(KeychainPinStore::applicationService),
                                                  std::string(KeychainPinStore::applicationAccount),
                                                  chooseKeychainBackend());
        pins->save(PinHasher::makeRecord("4829"));
        usePlainLook();
        Preferences prefs(JsonFileDefaultsStore::standard());
        // Control+Option+Command+L.
        prefs.setLockHotKey(HotKey{37, HotKeyModifiers{HotKeyModifiers::control | HotKeyModifiers::option |
                                                       HotKeyModifiers::command}});
        input = std::make_unique<KWinInput>();
        ASSERT_TRUE(input->isReady()) << input->error();
        connection = WaylandConnection::connect();
        ASSERT_TRUE(connection);
        ASSERT_TRUE(driveUntil([&] { return connection->outputInfos().size() == 2; }));
    }
    void TearDown() override {
        app.reset();
        if (pins)
            pins->remove();
    }

    // Both outputs show `colour` on KWin's pictures, within `area` when given (or, with `absent`,
    // neither shows it in its bottom-right corner, where no window of the tests lies); polls until
    // then or the time is up.
    std::string waitForOutputs(QColor colour, bool absent = false, std::chrono::milliseconds timeout = 15s,
                               QRect area = {}) {
        KWinScreenCapture capture(connection);
        std::string mismatch;
        driveUntil(
            [&] {
                std::optional<KWinScreenCapture::Pictures> pictures;
                capture.captureOutputs([&](KWinScreenCapture::Pictures p) { pictures = std::move(p); });
                if (!driveUntil([&] { return pictures.has_value(); }, 10s))
                    return (mismatch = "no pictures").empty();
                mismatch.clear();
                for (const auto& output : connection->outputInfos())
                    if (!pictures->count(output.name))
                        mismatch += output.name + ": no picture ";
                    else if (absent) {
                        const QImage& picture = pictures->at(output.name);
                        if (picture.pixelColor(picture.width() - 1, picture.height() - 1) == colour)
                            mismatch += output.name + " shows it ";
                    } else if (auto grid = gridMismatches(pictures->at(output.name), colour, 2, area);
                               !grid.empty())
                        mismatch += output.name + ": " + grid + " ";
                return mismatch.empty();
            },
            timeout);
        return mismatch;
    }

    std::unique_ptr<KeychainPinStore> pins;
    std::unique_ptr<KWinInput> input;
    std::shared_ptr<WaylandConnection> connection;
    std::unique_ptr<App> app;
};

} // namespace

TEST_F(KWinLock, TheShortcutLocksAndOnlyThePinOpens) {
    KeyLoggingWindow beneath;
    ASSERT_TRUE(driveUntil([&] { return beneath.isMapped() && beneath.hasKeyboardFocus(); }));

    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("lock info: display server: wayland \\(layer-shell\\)")) << app->transcript();
    ASSERT_TRUE(app->waitFor("input info: global shortcut: kglobalaccel")) << app->transcript();
    ASSERT_TRUE(app->waitFor("input info: hotkey registered .*")) << app->transcript();

    // The shortcut, pressed in another application, locks.
    ASSERT_TRUE(driveUntil(
        [&] {
            input->tap(KEY_L, chord);
            return app->waitFor("lock info: lock begin reason=hotkey.*", 500ms);
        },
        10s))
        << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    EXPECT_EQ(waitForOutputs(magentaColour), "") << "the outputs are not covered";

    // A wrong digit until the program turns down a wrong PIN: the keys are the program's from then
    // on. (A key typed before the cover had the keyboard would never arrive.)
    const int beneathBefore = beneath.keyPresses();
    ASSERT_TRUE(driveUntil(
        [&] {
            input->tap(KEY_1);
            return app->waitFor("auth info: auth rejected via tap failures=1.*", 300ms);
        },
        15s))
        << "no PIN reached the program\n"
        << app->transcript();

    // A window mapped while locked gets the keyboard from KWin, and loses it to the cover again:
    // a wrong PIN typed then reaches the program, not the window.
    KeyLoggingWindow mapped;
    ASSERT_TRUE(driveUntil([&] { return mapped.isMapped(); }));
    ASSERT_TRUE(driveUntil([&] { return !mapped.hasKeyboardFocus(); }, 5s))
        << "the new window kept the keyboard";
    app->mark();
    // (Escape first: it clears a digit typed while the first wrong PIN was being checked.)
    for (std::uint32_t key : {KEY_ESC, KEY_1, KEY_1, KEY_1, KEY_1})
        input->tap(key);
    ASSERT_TRUE(app->waitFor("auth info: auth rejected via tap failures=2.*")) << app->transcript();
    EXPECT_FALSE(app->sawSinceMark("lock info: unlocked .*"));
    EXPECT_EQ(mapped.keyPresses(), 0) << "keys reached the window mapped while locked";

    for (std::uint32_t key : {KEY_4, KEY_8, KEY_2, KEY_9})
        input->tap(key);
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via tap.*")) << app->transcript();
    EXPECT_EQ(beneath.keyPresses(), beneathBefore) << "keys reached the application beneath the cover";
    EXPECT_EQ(waitForOutputs(magentaColour, true), "") << "the cover stayed after the PIN";
}

// After the free tries, a wrong PIN starts the wait; the right PIN typed during it does not open,
// and the cover stays.
TEST_F(KWinLock, TheRightPinTypedDuringTheWaitAfterWrongOnesDoesNotOpen) {
    NoFreeTryLeft planted;
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart failures=4", 20s)) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    // A wrong digit until the program turns down a wrong PIN: the keys are the program's from
    // then on. (A key typed before the cover had the keyboard would never arrive; those typed
    // while the PIN is checked go with the wait.)
    const auto typeWrongPin = [&] {
        driveUntil(
            [&] {
                input->tap(KEY_1);
                return app->waitFor("auth info: auth rejected via tap .*", 300ms);
            },
            15s);
    };
    expectTheWaitToHoldTheRightPin(
        *app,
        [&](const std::vector<std::uint32_t>& keys) {
            for (std::uint32_t key : keys)
                input->tap(key);
        },
        typeWrongPin);
    // (The panel stands in the middle of one output; the corners show the cover.)
    EXPECT_EQ(waitForOutputs(magentaColour, false, 5s, QRect(0, 0, 120, 120)), "")
        << "the cover went during the wait";
    app.reset(); // (killed while the wait runs, before its state goes)
}

// The snapshot look on KWin: KWin's own pictures of the outputs, which it hands to the installed
// program, are the cover; not the colour the look falls back to without them.
TEST_F(KWinLock, TheSnapshotLookIsKWinsPictureOfTheOutputs) {
    Preferences prefs(JsonFileDefaultsStore::standard());
    prefs.setOverlayContentMode(OverlayContentMode::snapshot);
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    EXPECT_TRUE(app->saw("lock info: snapshot captured displays=2 .*")) << app->transcript();
    EXPECT_EQ(waitForOutputs(magentaColour, true), "") << "the look fell back to its colour";
}

// On KWin the guard's cover, made after the program's, lies above it until the program makes its
// own again on top: the lock shows the program's cover, a kill shows the guard's, and no key
// and no frame of the window beneath gets through until the restarted program has the lock back.
TEST_F(KWinLock, AKilledProgramLeavesTheGuardsCoverAndComesBackLocked) {
    KeyLoggingWindow beneath;
    ASSERT_TRUE(driveUntil([&] { return beneath.isMapped() && beneath.hasKeyboardFocus(); }));
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: guard: covering beneath the lock")) << app->transcript();
    EXPECT_EQ(waitForOutputs(magentaColour), "") << "the guard's cover hides the program's";
    const int beneathBefore = beneath.keyPresses();

    app->process().signal(SIGKILL);
    // Pictures taken as fast as KWin gives them while the program is gone and comes back: none
    // shows the window beneath.
    KWinScreenCapture capture(connection);
    const QColor window(0, 0, 255);
    int pictures = 0;
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        std::optional<KWinScreenCapture::Pictures> taken;
        capture.captureOutputs([&](KWinScreenCapture::Pictures p) { taken = std::move(p); });
        ASSERT_TRUE(driveUntil([&] { return taken.has_value(); }, 5s));
        for (const auto& [output, picture] : *taken) {
            ++pictures;
            for (int y = 0; y < picture.height(); y += 16)
                for (int x = 0; x < picture.width(); x += 16)
                    ASSERT_NE(picture.pixelColor(x, y).rgb(), window.rgb())
                        << output << " showed the window beneath at " << x << "," << y << " after the kill\n"
                        << app->transcript();
        }
        input->tap(KEY_A);
    }
    EXPECT_GE(pictures, 4);

    ASSERT_TRUE(app->waitFor("lock error: guard: program ended while locked; screen covered=true"))
        << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart.*", 20s)) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: guard: lock handed back to the program")) << app->transcript();
    EXPECT_EQ(waitForOutputs(magentaColour), "") << "the restarted program's cover is not on top";
    // Its keys reach it: a wrong digit until it turns one down, then the PIN.
    ASSERT_TRUE(driveUntil(
        [&] {
            input->tap(KEY_1);
            return app->waitFor("auth info: auth rejected via tap failures=.*", 300ms);
        },
        15s))
        << "no key reached the restarted program\n"
        << app->transcript();
    // (Escape first: it clears a digit typed while the wrong PIN was being checked.)
    for (std::uint32_t key : {KEY_ESC, KEY_4, KEY_8, KEY_2, KEY_9})
        input->tap(key);
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via tap.*")) << app->transcript();
    EXPECT_EQ(beneath.keyPresses(), beneathBefore) << "keys reached the window beneath the cover";
    EXPECT_EQ(waitForOutputs(magentaColour, true), "") << "a cover stayed after the PIN";
}
