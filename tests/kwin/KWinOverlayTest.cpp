// The Wayland overlay on a real headless KWin: it covers both outputs (read back through KWin's
// screenshot service), every key goes to it and none to the application beneath, it takes the
// keyboard back from a window mapped while it covers, and KWin's global shortcuts stay quiet.
#include "kwin/KWinTestSupport.h"
#include "wayland/WaylandTestSupport.h"

#include "platform/QtScheduler.h"
#include "platform/dbus/KGlobalAccelHotKeyBackend.h"
#include "platform/fake/FakeScheduler.h"
#include "platform/wayland/KWinScreenCapture.h"
#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandOverlay.h"

#include <QCoreApplication>

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <iostream>
#include <map>
#include <set>

namespace tolva {
namespace {

using namespace tolva::test;

const QColor coverColour(200, 30, 40);

class KWinOverlayTest : public testing::Test {
protected:
    void SetUp() override {
        if (!enterKWinSession())
            GTEST_SKIP() << "needs the headless KWin of the ctest fixture `kwin`";
        input = std::make_unique<KWinInput>();
        ASSERT_TRUE(input->isReady()) << input->error();
        connection = WaylandConnection::connect();
        ASSERT_TRUE(connection) << "cannot connect to KWin";
        ASSERT_TRUE(driveUntil([&] { return connection->outputInfos().size() == 2; }))
            << "KWin shows " << connection->outputInfos().size() << " outputs";
        scheduler = std::make_unique<QtScheduler>();
        overlay = std::make_unique<WaylandOverlay>(connection, *scheduler);
        overlay->onKey = [this](const KeyEvent& event) {
            if (event.type == KeyEvent::Type::keyDown)
                keys.push_back(event);
        };
        overlay->onCoverShown = [this](const std::string& output, std::chrono::microseconds) {
            shown.insert(output);
        };
    }

    void TearDown() override {
        overlay.reset();
        connection.reset();
        input.reset();
    }

    void coverAndWait() {
        ASSERT_TRUE(overlay->cover(CoverContent::solid(coverColour)));
        ASSERT_TRUE(driveUntil([&] { return shown.size() == 2; }))
            << "covered " << shown.size() << " of 2 outputs";
    }

    bool received(const std::string& characters) const {
        return std::any_of(keys.begin(), keys.end(),
                           [&](const KeyEvent& key) { return key.characters == characters; });
    }

    // Taps Z until the overlay gets it: the keyboard is the overlay's from then on.
    void waitUntilOverlayTypes() {
        ASSERT_TRUE(driveUntil(
            [&] {
                if (received("z"))
                    return true;
                input->tap(KEY_Z);
                return driveUntil([&] { return received("z"); }, 300ms);
            },
            10s))
            << "the overlay never got a key";
        keys.clear();
    }

    // What differs from the cover's colour on KWin's pictures of the outputs; empty when they all
    // show it. The first frames may still be on their way to the screen: callers poll.
    std::string coverMismatch() {
        KWinScreenCapture capture(connection);
        std::optional<KWinScreenCapture::Pictures> pictures;
        capture.captureOutputs([&](KWinScreenCapture::Pictures p) { pictures = std::move(p); });
        if (!driveUntil([&] { return pictures.has_value(); }, 10s))
            return "no pictures";
        std::string mismatch;
        for (const auto& output : connection->outputInfos()) {
            if (!pictures->count(output.name)) {
                const auto& failures = capture.failures();
                mismatch += output.name + ": no picture (" +
                            (failures.count(output.name) ? failures.at(output.name) : "") + ") ";
                continue;
            }
            const QImage& picture = pictures->at(output.name);
            if (picture.size() != output.geometry.size())
                mismatch += output.name + ": a picture of the wrong size ";
            if (auto grid = gridMismatches(picture, coverColour, 2); !grid.empty())
                mismatch += output.name + ": " + grid + " ";
        }
        return mismatch;
    }

    bool showsCover(std::string& mismatch, std::chrono::milliseconds timeout = 15s) {
        return driveUntil([&] { return (mismatch = coverMismatch()).empty(); }, timeout);
    }

    // Types four letters; true when the overlay got all of them.
    bool overlayGetsTyping() {
        for (auto key : {KEY_Q, KEY_W, KEY_E, KEY_R})
            if (!input->tap(key))
                return false;
        return driveUntil([&] { return received("q") && received("w") && received("e") && received("r"); });
    }

    std::unique_ptr<KWinInput> input;
    std::shared_ptr<WaylandConnection> connection;
    std::unique_ptr<QtScheduler> scheduler;
    std::unique_ptr<WaylandOverlay> overlay;
    std::vector<KeyEvent> keys;
    std::set<std::string> shown;
};

TEST_F(KWinOverlayTest, CoversBothOutputsAndTakesEveryKey) {
    KeyLoggingWindow window;
    ASSERT_TRUE(window.isConnected());
    ASSERT_TRUE(driveUntil([&] { return window.isMapped() && window.hasKeyboardFocus(); }))
        << "the application window never had the keyboard";
    // Keys reach the window while nothing covers it: the count below means something.
    ASSERT_TRUE(driveUntil(
        [&] {
            input->tap(KEY_A);
            return driveUntil([&] { return window.keyPresses() > 0; }, 300ms);
        },
        10s));

    coverAndWait();
    std::string mismatch;
    ASSERT_TRUE(showsCover(mismatch)) << mismatch;

    waitUntilOverlayTypes();
    const int before = window.keyPresses();
    for (auto key : {KEY_Q, KEY_W, KEY_E, KEY_R})
        ASSERT_TRUE(input->tap(key));
    ASSERT_TRUE(driveUntil([&] { return received("r"); })) << "the overlay got " << keys.size() << " keys";
    EXPECT_TRUE(received("q") && received("w") && received("e"));
    EXPECT_EQ(window.keyPresses(), before) << "keys reached the window beneath the cover";
    EXPECT_FALSE(window.hasKeyboardFocus());
}

TEST_F(KWinOverlayTest, TakesTheKeyboardBackFromAWindowMappedWhileCovering) {
    coverAndWait();
    waitUntilOverlayTypes();
    ASSERT_TRUE(overlay->hasKeyboardFocus());

    // KWin gives a newly mapped window the keyboard, above the exclusive overlay surface.
    KeyLoggingWindow window;
    ASSERT_TRUE(window.isConnected());
    ASSERT_TRUE(driveUntil([&] { return window.isMapped(); }));
    ASSERT_TRUE(driveUntil([&] { return overlay->hasKeyboardFocus() && !window.hasKeyboardFocus(); }, 5s))
        << "the keyboard stayed with the new window";
    if (window.lastEnter() && window.lastLeave())
        std::cout << "the new window had the keyboard for "
                  << std::chrono::duration_cast<std::chrono::microseconds>(*window.lastLeave() -
                                                                           *window.lastEnter())
                             .count() /
                         1000.0
                  << " ms\n";

    for (auto key : {KEY_Q, KEY_W, KEY_E, KEY_R})
        ASSERT_TRUE(input->tap(key));
    ASSERT_TRUE(driveUntil([&] { return received("r"); })) << "the overlay got " << keys.size() << " keys";
    EXPECT_EQ(window.keyPresses(), 0) << "keys reached the window mapped while covered";
}

TEST_F(KWinOverlayTest, HoldsBackKWinsGlobalShortcuts) {
    KGlobalAccelHotKeyBackend shortcuts;
    int pressed = 0;
    shortcuts.pressed = [&] { ++pressed; };
    // Control+Option+Command+K.
    ASSERT_EQ(shortcuts.registerHotKey(
                  HotKey{40, HotKeyModifiers{HotKeyModifiers::control | HotKeyModifiers::option |
                                             HotKeyModifiers::command}}),
              0);
    const auto chord = {std::uint32_t(KEY_LEFTCTRL), std::uint32_t(KEY_LEFTALT), std::uint32_t(KEY_LEFTMETA)};
    // Uncovered, the shortcut fires: it is registered and the keys are right.
    ASSERT_TRUE(driveUntil(
        [&] {
            input->tap(KEY_K, chord);
            return driveUntil([&] { return pressed > 0; }, 500ms);
        },
        10s))
        << "the shortcut never fired";

    coverAndWait();
    waitUntilOverlayTypes();
    pressed = 0;
    ASSERT_TRUE(input->tap(KEY_K, chord));
    // The overlay gets the chord's key instead: once it has it, KWin has decided.
    ASSERT_TRUE(driveUntil([&] {
        return std::any_of(keys.begin(), keys.end(),
                           [](const KeyEvent& key) { return key.characters && !key.characters->empty(); });
    })) << "the overlay did not get the shortcut's key";
    driveUntil([&] { return pressed > 0; }, 500ms);
    EXPECT_EQ(pressed, 0) << "a global shortcut fired over the cover";

    // KWin's own Alt+F4 would close the cover's surface (which the overlay would then make again).
    shown.clear();
    keys.clear();
    ASSERT_TRUE(input->tap(KEY_F4, {KEY_LEFTALT}));
    ASSERT_TRUE(overlayGetsTyping());
    EXPECT_TRUE(shown.empty()) << "KWin closed a surface of the cover";
}

TEST_F(KWinOverlayTest, HasTheKeyboardWhenItCoversWhileTheLockingShortcutIsHeld) {
    KeyLoggingWindow window;
    ASSERT_TRUE(driveUntil([&] { return window.isMapped() && window.hasKeyboardFocus(); }));
    // As when a shortcut locks: its keys are down while the cover maps, and come up after.
    for (auto key : {KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA})
        ASSERT_TRUE(input->send("press " + std::to_string(key)));
    coverAndWait();
    for (auto key : {KEY_LEFTMETA, KEY_LEFTALT, KEY_LEFTCTRL})
        ASSERT_TRUE(input->send("release " + std::to_string(key)));
    ASSERT_TRUE(driveUntil([&] { return overlay->hasKeyboardFocus(); }, 3s))
        << "the cover never had the keyboard";
    const int before = window.keyPresses();
    ASSERT_TRUE(overlayGetsTyping()) << "the overlay got " << keys.size() << " keys";
    EXPECT_EQ(window.keyPresses(), before) << "keys reached the window beneath the cover";
}

TEST_F(KWinOverlayTest, TakesTheKeyboardBackFromAWindowKWinActivates) {
    KeyLoggingWindow window;
    ASSERT_TRUE(window.isConnected());
    ASSERT_TRUE(driveUntil([&] { return window.isMapped() && window.hasKeyboardFocus(); }));
    coverAndWait();
    waitUntilOverlayTypes();
    ASSERT_FALSE(window.hasKeyboardFocus());
    const auto enteredBefore = window.lastEnter();

    // What Alt+Tab does: KWin makes another window the active one, which takes the keyboard.
    ASSERT_TRUE(runKWinScript("for (const client of workspace.clientList())\n"
                              "    if (client.caption == 'key logger')\n"
                              "        workspace.activeClient = client;\n"));
    ASSERT_TRUE(driveUntil([&] { return window.lastEnter() != enteredBefore; }, 5s))
        << "KWin did not give the activated window the keyboard";
    ASSERT_TRUE(driveUntil([&] { return overlay->hasKeyboardFocus() && !window.hasKeyboardFocus(); }, 5s))
        << "the keyboard stayed with the activated window";
    const int before = window.keyPresses();
    ASSERT_TRUE(overlayGetsTyping()) << "the overlay got " << keys.size() << " keys";
    EXPECT_EQ(window.keyPresses(), before) << "keys reached the activated window";
}

TEST_F(KWinOverlayTest, ComesBackAboveAnotherClientsOverlaySurface) {
    coverAndWait();
    waitUntilOverlayTypes();
    const auto outputs = connection->outputInfos();
    // KWin stacks the overlay-layer surface made last on top, and gives it the keyboard; the
    // overlay taking the keyboard back makes KWin stack it on top again.
    ForeignLayerSurface foreign(outputs.front().name, QColor(0, 160, 0), true);
    ASSERT_TRUE(driveUntil([&] { return foreign.isShown(); })) << "the other client's surface never showed";
    std::string mismatch;
    ASSERT_TRUE(showsCover(mismatch)) << "the other client's surface stayed above the cover: " << mismatch;
    ASSERT_TRUE(driveUntil([&] { return overlay->hasKeyboardFocus(); }, 5s));
    ASSERT_TRUE(overlayGetsTyping()) << "the overlay got " << keys.size() << " keys";
}

TEST_F(KWinOverlayTest, ComesBackAboveAnotherClientsOverlaySurfaceWithoutKeyboard) {
    coverAndWait();
    waitUntilOverlayTypes();
    const auto outputs = connection->outputInfos();
    ForeignLayerSurface foreign(outputs.front().name, QColor(0, 160, 0), false);
    ASSERT_TRUE(driveUntil([&] { return foreign.isShown(); })) << "the other client's surface never showed";
    std::string mismatch;
    ASSERT_TRUE(showsCover(mismatch)) << "the other client's surface stayed above the cover: " << mismatch;
}

TEST_F(KWinOverlayTest, SurfacesMadeBeforehandShowAboveAnOverlaySurfaceMadeSince) {
    // A clock that never moves: the once-a-second raise never comes. KWin stacks by mapping, so
    // surfaces made before the other client's still show above it.
    FakeScheduler still;
    overlay = std::make_unique<WaylandOverlay>(connection, still);
    overlay->onCoverShown = [this](const std::string& output, std::chrono::microseconds) {
        shown.insert(output);
    };
    overlay->setPrepares(true);
    ASSERT_TRUE(connection->roundtrip());
    ForeignLayerSurface foreign(connection->outputInfos().front().name, QColor(0, 160, 0), false);
    ASSERT_TRUE(driveUntil([&] { return foreign.isShown(); })) << "the other client's surface never showed";
    coverAndWait();
    std::string mismatch;
    EXPECT_TRUE(showsCover(mismatch)) << "the other client's surface stayed above the cover: " << mismatch;
}

TEST_F(KWinOverlayTest, KeepsEveryKeyAndThePointerStillWhileItComesBackOnTop) {
    int motions = 0;
    overlay->onPointerMotion = [&](const std::string&, QPoint) { ++motions; };
    coverAndWait();
    waitUntilOverlayTypes();
    ASSERT_TRUE(input->send("move 200 200"));
    ASSERT_TRUE(driveUntil([&] { return motions > 0; })) << "the pointer's motion was not reported";
    motions = 0;
    // Over three seconds KWin's cover is made again on top a few times; the typing goes on.
    std::string expected;
    for (std::uint32_t key = KEY_Q; key <= KEY_P; ++key) {
        ASSERT_TRUE(input->tap(key));
        ASSERT_TRUE(input->send("wait 150"));
    }
    for (std::uint32_t key = KEY_A; key <= KEY_L; ++key) {
        ASSERT_TRUE(input->tap(key));
        ASSERT_TRUE(input->send("wait 150"));
    }
    const std::string typed = "qwertyuiopasdfghjkl";
    std::string received;
    ASSERT_TRUE(driveUntil([&] {
        received.clear();
        for (const auto& key : keys)
            if (key.characters && *key.characters != "z")
                received += *key.characters;
        return received.size() >= typed.size();
    })) << "received \""
        << received << "\"";
    EXPECT_EQ(received, typed);
    EXPECT_EQ(motions, 0) << "the pointer stood still, but motion was reported";
    EXPECT_TRUE(overlay->hasKeyboardFocus());
}

TEST_F(KWinOverlayTest, CoversAnOutputAgainAfterKWinTurnedItOffAndOn) {
    coverAndWait();
    const std::string second = connection->outputInfos().back().name;
    const QString output = QString::fromStdString("output." + second);
    // The output comes back whatever the test's outcome, for the tests after it.
    struct TurnOn {
        QString output;
        ~TurnOn() { kscreenDoctor({output + ".enable"}); }
    } turnOn{output};
    ASSERT_TRUE(kscreenDoctor({output + ".disable"}));
    ASSERT_TRUE(driveUntil([&] { return connection->outputInfos().size() == 1; })) << second << " stayed";
    shown.clear();
    ASSERT_TRUE(kscreenDoctor({output + ".enable"}));
    ASSERT_TRUE(driveUntil([&] { return shown.count(second) > 0; })) << second << " was not covered again";
    ASSERT_EQ(connection->outputInfos().size(), 2u);
    std::string mismatch;
    ASSERT_TRUE(showsCover(mismatch)) << mismatch;
}

} // namespace
} // namespace tolva
