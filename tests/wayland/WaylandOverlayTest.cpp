// The Wayland overlay against a real headless sway: what it covers (read back with grim), the
// keys and pointer events it receives, the compositor shortcuts it holds back, outputs coming
// and going, the panel above the cover, and a second locking client refused without a crash.
#include "WaylandTestSupport.h"

#include "platform/KeyTranslation.h"
#include "platform/QtScheduler.h"
#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandOverlay.h"
#include "support/PictureChecks.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <iostream>
#include <map>
#include <set>

namespace tolva {
namespace {

using namespace tolva::test;

class WaylandOverlayTest : public testing::Test {
protected:
    void SetUp() override {
        if (!enterWaylandSession())
            GTEST_SKIP() << "needs the headless compositor of the ctest fixture `wayland`";
        connection = WaylandConnection::connect();
        ASSERT_TRUE(connection) << "cannot connect to the test compositor";
        scheduler = std::make_unique<QtScheduler>();
        overlay = std::make_unique<WaylandOverlay>(connection, *scheduler);
        overlay->onKey = [this](const KeyEvent& event) { keys.push_back(event); };
        overlay->onCoverShown = [this](const std::string& output, std::chrono::microseconds elapsed) {
            shown[output] = elapsed;
        };
        overlay->onConnectionLost = [this] { lost = true; };
        for (const char* mark : {"shortcut-fired", "locked-fired", "inhibited-fired"})
            std::filesystem::remove(bindingMarks() / mark);
    }

    void TearDown() override {
        overlay.reset();
        connection.reset();
    }

    std::vector<std::string> outputNames() const {
        std::vector<std::string> names;
        for (const auto& output : overlay->outputs())
            names.push_back(output.name);
        return names;
    }

    // Covers and runs the loop until every output showed its first frame. (The seat has no
    // keyboard until a test makes one.)
    void coverAndWait(const CoverContent& content) {
        ASSERT_TRUE(overlay->cover(content));
        const auto names = outputNames();
        ASSERT_TRUE(driveUntil([&] {
            return std::all_of(names.begin(), names.end(),
                               [&](const auto& name) { return shown.count(name) > 0; });
        })) << "covered "
            << shown.size() << " of " << names.size() << " outputs";
        for (const auto& [output, elapsed] : shown)
            std::cout << "first frame of " << output << " " << elapsed.count() / 1000.0
                      << " ms after cover()\n";
    }

    bool receivedCharacters(const std::string& text) const {
        for (const auto& key : keys)
            if (key.type == KeyEvent::Type::keyDown && key.characters == text)
                return true;
        return false;
    }

    // A new virtual keyboard reaches us only once the seat made it its keyboard: tap a probe key
    // (Z) until one arrives. Later probe taps may still come; tests leave Z out of what they count.
    void waitUntilKeyboardTypes(VirtualKeyboard& keyboard) {
        ASSERT_TRUE(keyboard.isReady());
        ASSERT_TRUE(driveUntil(
            [&] {
                if (receivedCharacters("z"))
                    return true;
                keyboard.tap(KEY_Z);
                return driveUntil([&] { return receivedCharacters("z"); }, 300ms);
            },
            15s))
            << "the probe key never arrived";
        EXPECT_TRUE(overlay->hasKeyboardFocus());
        keys.clear();
    }

    // The keys received, without the probe key.
    std::vector<KeyEvent> testKeys() const {
        const auto probe = KeyTranslation::virtualKeyCode(KEY_Z + 8);
        std::vector<KeyEvent> result;
        std::copy_if(keys.begin(), keys.end(), std::back_inserter(result),
                     [&](const KeyEvent& key) { return !probe || key.keyCode != std::int64_t(*probe); });
        return result;
    }

    std::shared_ptr<WaylandConnection> connection;
    std::unique_ptr<QtScheduler> scheduler;
    std::unique_ptr<WaylandOverlay> overlay;
    std::vector<KeyEvent> keys;
    std::map<std::string, std::chrono::microseconds> shown;
    bool lost = false;
};

TEST_F(WaylandOverlayTest, DescribesTheCompositorAndItsOutputs) {
    EXPECT_TRUE(overlay->isAvailable());
    EXPECT_EQ(WaylandOverlay::unavailableReason(*connection), "");
    std::map<std::string, QRect> geometry;
    for (const auto& output : overlay->outputs())
        geometry[output.name] = output.geometry;
    EXPECT_EQ(geometry["HEADLESS-1"], QRect(0, 0, 640, 480));
    EXPECT_EQ(geometry["HEADLESS-2"], QRect(640, 0, 640, 480));
    EXPECT_FALSE(overlay->isCovered());
}

TEST_F(WaylandOverlayTest, CoversEveryOutputWithAColourUntilUncovered) {
    const QColor cover("#c03050");
    coverAndWait(CoverContent::solid(cover));
    EXPECT_TRUE(overlay->isCovered());
    for (const auto& name : outputNames())
        EXPECT_EQ(gridMismatches(screenshot(name), cover), "") << name;

    overlay->uncover();
    EXPECT_FALSE(overlay->isCovered());
    for (const auto& name : outputNames())
        EXPECT_EQ(waitForColour(name, sessionBackground()), "") << name << " still covered after uncover()";
}

TEST_F(WaylandOverlayTest, CoveringAgainChangesWhatTheCoverShows) {
    coverAndWait(CoverContent::solid(QColor("#ff8000")));
    const auto before = shown;
    ASSERT_TRUE(overlay->cover(CoverContent::solid(QColor("#0080ff"))));
    for (const auto& name : outputNames())
        EXPECT_EQ(waitForColour(name, QColor("#0080ff")), "") << name;
    EXPECT_EQ(shown, before) << "the surfaces were made again";
}

TEST_F(WaylandOverlayTest, AColourDrawnOftenMovesToFullSizeBuffersWithoutAGap) {
    const QColor first("#208040");
    coverAndWait(CoverContent::solid(first));
    overlay->setDrawnOften(true);
    ASSERT_TRUE(connection->roundtrip());
    for (const auto& name : outputNames())
        EXPECT_EQ(waitForColour(name, first), "") << name;
    const QColor second("#804020");
    ASSERT_TRUE(overlay->cover(CoverContent::solid(second)));
    for (const auto& name : outputNames())
        EXPECT_EQ(waitForColour(name, second), "") << name;

    // The next cover starts stretched again, and covers all the same; a picture after the
    // stretched colour shows pixel for pixel, left half red and right half blue.
    overlay->uncover();
    shown.clear();
    coverAndWait(CoverContent::solid(first));
    for (const auto& name : outputNames())
        EXPECT_EQ(gridMismatches(screenshot(name), first), "") << name;
    const QImage picture = redLeftBlueRight(64, 48);
    ASSERT_TRUE(overlay->cover(CoverContent::pictures({{"HEADLESS-1", picture}}, second)));
    EXPECT_EQ(waitForColour("HEADLESS-1", Qt::red, 0, QRect(0, 0, 300, 480)), "");
    EXPECT_EQ(gridMismatches(screenshot("HEADLESS-1"), Qt::blue, 0, QRect(340, 0, 300, 480)), "");
    EXPECT_EQ(waitForColour("HEADLESS-2", second), "");
}

TEST_F(WaylandOverlayTest, LiveTintBlendsWithTheScreenBeneath) {
    // Black at alpha 64 over the background: each channel keeps (255 - 64) / 255 of its value.
    const QColor background = sessionBackground();
    coverAndWait(CoverContent::tint(QColor(0, 0, 0, 64)));
    const auto blend = [](int channel) { return channel * (255 - 64) / 255; };
    const QColor expected(blend(background.red()), blend(background.green()), blend(background.blue()));
    for (const auto& name : outputNames()) {
        const QImage picture = screenshot(name);
        EXPECT_EQ(gridMismatches(picture, expected, 2), "") << name;
        EXPECT_NE(gridMismatches(picture, background, 2), "") << name << " shows the background untinted";
        EXPECT_NE(gridMismatches(picture, Qt::black, 2), "") << name << " shows the tint alone";
    }
}

// The breathing: black at some opacity over every output's cover, beneath the panel, taken away
// at 0; clicks still reach the cover through it.
TEST_F(WaylandOverlayTest, TheDimnessDarkensTheCoverBeneathThePanel) {
    const QColor cover("#c03050");
    coverAndWait(CoverContent::solid(cover));
    QImage panel(200, 100, QImage::Format_ARGB32_Premultiplied);
    panel.fill(QColor("#2060ff"));
    overlay->setPanel("HEADLESS-1", panel, QPoint(100, 50));
    overlay->setDim(0.5);
    const auto half = [](int channel) { return channel * 128 / 255; };
    const QColor dimmed(half(cover.red()), half(cover.green()), half(cover.blue()));
    // (Beside the panel, to the last row and column.)
    for (const auto& name : outputNames())
        EXPECT_EQ(waitForColour(name, dimmed, 2, QRect(0, 160, 640, 320)), "") << name;
    EXPECT_EQ(gridMismatches(screenshot("HEADLESS-1"), QColor("#2060ff"), 0, QRect(100, 50, 200, 100)), "")
        << "the panel is dimmed too";

    overlay->setDim(0);
    for (const auto& name : outputNames())
        EXPECT_EQ(waitForColour(name, cover, 0, QRect(0, 160, 600, 280)), "") << name << " stayed dim";
}

TEST_F(WaylandOverlayTest, ShowsAPicturePerOutputScaledToIt) {
    // A small picture, left half red and right half blue, on the first output; the second has none
    // and shows the fallback colour.
    const QImage picture = redLeftBlueRight(64, 48);
    coverAndWait(CoverContent::pictures({{"HEADLESS-1", picture}}, QColor("#ffff00")));
    const QImage first = screenshot("HEADLESS-1");
    EXPECT_EQ(gridMismatches(first, Qt::red, 0, QRect(0, 0, 300, 480)), "");
    EXPECT_EQ(gridMismatches(first, Qt::blue, 0, QRect(340, 0, 300, 480)), "");
    EXPECT_EQ(gridMismatches(screenshot("HEADLESS-2"), QColor("#ffff00")), "");
}

TEST_F(WaylandOverlayTest, KeysArriveAtTheirPositionsWithModifiersAndCharacters) {
    coverAndWait(CoverContent::solid(Qt::black));
    VirtualKeyboard keyboard;
    waitUntilKeyboardTypes(keyboard);

    keyboard.tap(KEY_A);
    keyboard.tap(KEY_1);
    keyboard.tap(KEY_A, {KEY_LEFTSHIFT});
    ASSERT_TRUE(driveUntil([&] { return testKeys().size() >= 8; })) << testKeys().size() << " key events";
    const auto received = testKeys();

    // a down/up, 1 down/up, shift (flags), A down/up, shift released (flags)
    ASSERT_EQ(received.size(), 8u);
    EXPECT_EQ(received[0].type, KeyEvent::Type::keyDown);
    EXPECT_EQ(received[0].keyCode, 0); // the virtual code of the key left of S
    EXPECT_EQ(received[0].characters, "a");
    EXPECT_EQ(received[0].flags, 0u);
    EXPECT_EQ(received[1].type, KeyEvent::Type::keyUp);
    EXPECT_EQ(received[1].keyCode, 0);
    EXPECT_EQ(received[2].keyCode, 18);
    EXPECT_EQ(received[2].characters, "1");
    EXPECT_EQ(received[4].type, KeyEvent::Type::flagsChanged);
    EXPECT_EQ(received[4].flags, KeyTranslation::shiftFlag);
    EXPECT_EQ(received[4].keyCode, KeyTranslation::virtualKeyCode(KEY_LEFTSHIFT + 8).value_or(-1));
    EXPECT_EQ(received[5].type, KeyEvent::Type::keyDown);
    EXPECT_EQ(received[5].keyCode, 0);
    EXPECT_EQ(received[5].characters, "A");
    EXPECT_EQ(received[5].flags, KeyTranslation::shiftFlag);
    EXPECT_EQ(received[7].type, KeyEvent::Type::flagsChanged);
    EXPECT_EQ(received[7].flags, 0u);
}

TEST_F(WaylandOverlayTest, CompositorShortcutsAreHeldBackWhileCovered) {
    // The three bindings of the session (plain, --locked, --inhibited), then a plain key that,
    // arriving here, shows the compositor handled the combinations before it.
    const QStringList combinations = {"-M", "logo", "-k",   "Return", "-m",   "logo", "-M", "logo", "-k",
                                      "l",  "-m",   "logo", "-M",     "logo", "-k",   "i",  "-m",   "logo"};
    coverAndWait(CoverContent::solid(Qt::black));
    ASSERT_TRUE(typeUntil(combinations + QStringList{"-s", "50", "q"}, [&] {
        return receivedCharacters("q");
    })) << "the overlay got no keys";
    // The combinations came to the overlay, with Super held.
    for (const char* text : {"\r", "l", "i"})
        EXPECT_TRUE(std::any_of(keys.begin(), keys.end(),
                                [&](const KeyEvent& key) {
                                    return key.type == KeyEvent::Type::keyDown && key.characters == text &&
                                           (key.flags & KeyTranslation::commandFlag);
                                }))
            << "Super+" << (text[0] == '\r' ? "Return" : text) << " did not reach the overlay";
    // Give a binding that did get through the time to run its command.
    driveUntil([] { return false; }, 300ms);
    for (const char* mark : {"shortcut-fired", "locked-fired", "inhibited-fired"})
        EXPECT_FALSE(std::filesystem::exists(bindingMarks() / mark)) << mark;

    // Uncovered, the same keys reach the compositor: the check above can fail.
    overlay->uncover();
    ASSERT_TRUE(connection->roundtrip());
    const auto allFired = [] {
        for (const char* mark : {"shortcut-fired", "locked-fired", "inhibited-fired"})
            if (!std::filesystem::exists(bindingMarks() / mark))
                return false;
        return true;
    };
    EXPECT_TRUE(typeUntil(combinations, allFired));
    for (const char* mark : {"shortcut-fired", "locked-fired", "inhibited-fired"})
        EXPECT_TRUE(std::filesystem::exists(bindingMarks() / mark)) << mark;
}

TEST_F(WaylandOverlayTest, SurfacesMadeBeforehandStayHiddenAndKeylessUntilTheCoverThenAfterIt) {
    const QStringList combinations = {"-M", "logo", "-k",   "Return", "-m",   "logo", "-M", "logo", "-k",
                                      "l",  "-m",   "logo", "-M",     "logo", "-k",   "i",  "-m",   "logo"};
    const auto allFired = [] {
        for (const char* mark : {"shortcut-fired", "locked-fired", "inhibited-fired"})
            if (!std::filesystem::exists(bindingMarks() / mark))
                return false;
        return true;
    };
    const auto clearMarks = [] {
        for (const char* mark : {"shortcut-fired", "locked-fired", "inhibited-fired"})
            std::filesystem::remove(bindingMarks() / mark);
    };
    // Beforehand and again after an uncover: nothing shows, the keys go past the overlay, and
    // the compositor's shortcuts run.
    const auto expectIdle = [&](const char* when) {
        ASSERT_TRUE(connection->roundtrip());
        for (const auto& name : outputNames())
            EXPECT_EQ(waitForColour(name, sessionBackground()), "") << name << " " << when;
        clearMarks();
        keys.clear();
        EXPECT_TRUE(typeUntil(combinations, allFired)) << "the compositor's shortcuts did not run " << when;
        driveUntil([] { return false; }, 200ms);
        EXPECT_TRUE(keys.empty()) << keys.size() << " keys reached the overlay " << when;
    };
    overlay->setPrepares(true);
    expectIdle("with surfaces made beforehand");

    const QColor cover("#3060c0");
    coverAndWait(CoverContent::solid(cover));
    for (const auto& name : outputNames())
        EXPECT_EQ(gridMismatches(screenshot(name), cover), "") << name;
    clearMarks();
    ASSERT_TRUE(typeUntil(combinations + QStringList{"-s", "50", "q"}, [&] {
        return receivedCharacters("q");
    })) << "the cover got no keys";
    driveUntil([] { return false; }, 300ms);
    for (const char* mark : {"shortcut-fired", "locked-fired", "inhibited-fired"})
        EXPECT_FALSE(std::filesystem::exists(bindingMarks() / mark)) << mark << " ran while covered";

    overlay->uncover();
    expectIdle("after uncover()");
    // And the surfaces made anew cover again.
    shown.clear();
    coverAndWait(CoverContent::solid(cover));
    for (const auto& name : outputNames())
        EXPECT_EQ(gridMismatches(screenshot(name), cover), "") << name << " the second time";
}

TEST_F(WaylandOverlayTest, KeysStillArriveAfterAnotherKeyboardAppears) {
    // Each wtype run is a new virtual keyboard: the seat announces its capabilities again.
    coverAndWait(CoverContent::solid(Qt::black));
    for (const char* text : {"k", "m"})
        EXPECT_TRUE(typeUntil({text}, [&] { return receivedCharacters(text); })) << text << " did not arrive";
}

TEST_F(WaylandOverlayTest, AnOutputThatComesWhileCoveredIsCoveredToo) {
    const QColor cover("#3050c0");
    coverAndWait(CoverContent::solid(cover));
    const auto before = outputNames();
    int changes = 0;
    overlay->onOutputsChanged = [&] { ++changes; };

    QElapsedTimer sinceCreated;
    sinceCreated.start();
    auto result = runCommand("swaymsg", {"create_output"});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    std::string added;
    ASSERT_TRUE(driveUntil([&] {
        for (const auto& name : outputNames())
            if (std::find(before.begin(), before.end(), name) == before.end() && shown.count(name))
                added = name;
        return !added.empty();
    })) << "no cover on the new output";
    std::cout << "new output " << added << " covered " << shown[added].count() / 1000.0
              << " ms after its surface was made, " << sinceCreated.elapsed() << " ms after create_output\n";
    EXPECT_GT(changes, 0);
    EXPECT_EQ(gridMismatches(screenshot(added), cover), "") << added;

    // The outputs that were there stay covered.
    for (const auto& name : before)
        EXPECT_EQ(gridMismatches(screenshot(name), cover), "") << name;
}

TEST_F(WaylandOverlayTest, AnOutputThatGoesTakesItsSurfaceAndTheOthersStayCovered) {
    // A nested sway whose outputs are windows of the fixture's: closing a window removes an output.
    PrivateCompositor nested(PrivateCompositor::Kind::nested);
    ASSERT_FALSE(nested.display().empty()) << nested.error();
    auto nestedConnection = WaylandConnection::connect(nested.display());
    ASSERT_TRUE(nestedConnection);
    WaylandOverlay nestedOverlay(nestedConnection, *scheduler);
    std::set<std::string> nestedShown;
    nestedOverlay.onCoverShown = [&](const std::string& output, std::chrono::microseconds) {
        nestedShown.insert(output);
    };
    const QColor cover("#a02080");
    ASSERT_TRUE(nestedOverlay.cover(CoverContent::solid(cover)));
    ASSERT_TRUE(driveUntil([&] { return nestedShown == std::set<std::string>{"WL-1", "WL-2"}; }));
    EXPECT_EQ(gridMismatches(screenshot("WL-2", nested.display()), cover), "");

    const auto result = runCommand("swaymsg", {"[title=\"wlroots - WL-2\"] kill"});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    ASSERT_TRUE(driveUntil([&] { return nestedOverlay.outputs().size() == 1; })) << "WL-2 is still listed";
    EXPECT_EQ(nestedOverlay.outputs().front().name, "WL-1");
    ASSERT_TRUE(nestedConnection->roundtrip()) << nestedConnection->lostReason();
    EXPECT_TRUE(nestedOverlay.isCovered());
    // The parent gives WL-1's window the room WL-2's had: WL-1 grows, and the cover with it.
    EXPECT_EQ(waitForColour("WL-1", cover, 0, {}, 10s, nested.display()), "");
}

TEST_F(WaylandOverlayTest, AnOutputWhoseModeChangesWhileCoveredStaysCoveredAllOver) {
    // A compositor of the test's own, since the new mode changes the layout every test expects.
    PrivateCompositor compositor(PrivateCompositor::Kind::headless);
    ASSERT_FALSE(compositor.display().empty()) << compositor.error();
    auto privateConnection = WaylandConnection::connect(compositor.display());
    ASSERT_TRUE(privateConnection);
    WaylandOverlay privateOverlay(privateConnection, *scheduler);
    int privateShown = 0;
    privateOverlay.onCoverShown = [&](const std::string&, std::chrono::microseconds) { ++privateShown; };
    const QColor cover("#6040c0");
    ASSERT_TRUE(privateOverlay.cover(CoverContent::solid(cover)));
    ASSERT_TRUE(driveUntil([&] { return privateShown == 2; }));

    const auto result = compositor.swaymsg({"output", "HEADLESS-1", "mode", "1024x768"});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    ASSERT_TRUE(
        driveUntil([&] { return privateOverlay.outputs().front().geometry.size() == QSize(1024, 768); }));
    QImage seen;
    EXPECT_TRUE(driveUntil([&] {
        seen = screenshot("HEADLESS-1", compositor.display());
        return seen.size() == QSize(1024, 768) && gridMismatches(seen, cover).empty();
    })) << seen.width()
        << "x" << seen.height() << ": " << gridMismatches(seen, cover);
}

TEST_F(WaylandOverlayTest, AnOutputAtScaleTwoIsCoveredAtItsFullPixelSize) {
    // A compositor of the test's own, since the scale changes the layout every test expects.
    PrivateCompositor compositor(PrivateCompositor::Kind::headless);
    ASSERT_FALSE(compositor.display().empty()) << compositor.error();
    auto privateConnection = WaylandConnection::connect(compositor.display());
    ASSERT_TRUE(privateConnection);
    WaylandOverlay privateOverlay(privateConnection, *scheduler);
    std::set<std::string> privateShown;
    privateOverlay.onCoverShown = [&](const std::string& output, std::chrono::microseconds) {
        privateShown.insert(output);
    };
    // Columns one pixel wide, red and blue in turn: they survive only if the cover is drawn
    // for the output's pixels, not for its logical size scaled up by the compositor.
    QImage picture(640, 480, QImage::Format_RGB32);
    for (int x = 0; x < picture.width(); ++x)
        for (int y = 0; y < picture.height(); ++y)
            picture.setPixel(x, y, x % 2 ? qRgb(0, 0, 255) : qRgb(255, 0, 0));
    const auto stripesBroken = [&](const QImage& seen) {
        if (seen.size() != picture.size())
            return seen.width() * seen.height() + 1;
        int broken = 0;
        for (int y : {0, 120, 240, 479})
            for (int x = 0; x < seen.width(); ++x)
                broken += seen.pixel(x, y) != picture.pixel(x, y);
        return broken;
    };
    ASSERT_TRUE(privateOverlay.cover(CoverContent::pictures({{"HEADLESS-1", picture}})));
    ASSERT_TRUE(driveUntil([&] { return privateShown.size() == 2; }));
    EXPECT_EQ(stripesBroken(screenshot("HEADLESS-1", compositor.display())), 0);

    // Scaled while covered: the cover is drawn again for 640x480 pixels on a 320x240 output.
    const auto result = compositor.swaymsg({"output", "HEADLESS-1", "scale", "2"});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    ASSERT_TRUE(driveUntil([&] {
        const auto outputs = privateOverlay.outputs();
        return !outputs.empty() && outputs.front().scale == 2;
    }));
    EXPECT_EQ(privateOverlay.outputs().front().geometry.size(), QSize(320, 240));
    int broken = 0;
    EXPECT_TRUE(driveUntil([&] {
        return (broken = stripesBroken(screenshot("HEADLESS-1", compositor.display()))) == 0;
    })) << broken
        << " pixels of 2560 differ";
}

TEST_F(WaylandOverlayTest, ThePanelShowsAboveTheCoverAndFollowsEachUpdate) {
    const QColor cover("#202020");
    coverAndWait(CoverContent::solid(cover));
    QImage panel(400, 300, QImage::Format_ARGB32_Premultiplied);
    panel.fill(QColor("#2060ff"));

    QElapsedTimer timer;
    timer.start();
    overlay->setPanel("HEADLESS-2", panel, QPoint(100, 50));
    std::cout << "first panel: " << timer.nsecsElapsed() / 1000 << " us\n";
    EXPECT_EQ(waitForColour("HEADLESS-2", QColor("#2060ff"), 0, QRect(100, 50, 400, 300)), "");
    EXPECT_EQ(gridMismatches(screenshot("HEADLESS-2"), cover, 0, QRect(510, 0, 130, 480)), "");
    EXPECT_EQ(gridMismatches(screenshot("HEADLESS-1"), cover), "");

    // Each change is a new picture, shown as it comes (the loop does not wait for the compositor).
    qint64 slowest = 0, total = 0;
    for (int step = 0; step < 20; ++step) {
        panel.fill(QColor(step * 10, 200, 40));
        timer.restart();
        overlay->setPanel("HEADLESS-2", panel, QPoint(100, 50));
        slowest = std::max(slowest, timer.nsecsElapsed());
        total += timer.nsecsElapsed();
        QCoreApplication::processEvents();
    }
    std::cout << "panel update (400x300): mean " << total / 20 / 1000 << " us, slowest " << slowest / 1000
              << " us\n";
    EXPECT_EQ(waitForColour("HEADLESS-2", QColor(190, 200, 40), 0, QRect(100, 50, 400, 300)), "");

    // Moved on the same output: the place it left shows the cover again.
    overlay->setPanel("HEADLESS-2", panel, QPoint(200, 150));
    EXPECT_EQ(waitForColour("HEADLESS-2", cover, 0, QRect(100, 50, 99, 99)), "");
    EXPECT_EQ(gridMismatches(screenshot("HEADLESS-2"), QColor(190, 200, 40), 0, QRect(200, 150, 400, 300)),
              "");
    overlay->setPanel("HEADLESS-1", panel, QPoint(200, 150));
    EXPECT_EQ(waitForColour("HEADLESS-1", QColor(190, 200, 40), 0, QRect(200, 150, 400, 300)), "");
    EXPECT_EQ(waitForColour("HEADLESS-2", cover), "") << "the panel stayed on the output it left";

    overlay->clearPanel();
    EXPECT_EQ(waitForColour("HEADLESS-1", cover), "");
}

TEST_F(WaylandOverlayTest, APanelSetBeforeTheCoverShowsWithItAndUncoverTakesItAway) {
    QImage panel(200, 100, QImage::Format_RGB32); // not premultiplied ARGB: converted
    panel.fill(QColor("#e0e0e0"));
    overlay->setPanel("HEADLESS-1", panel, QPoint(10, 20));
    coverAndWait(CoverContent::solid(Qt::black));
    EXPECT_EQ(waitForColour("HEADLESS-1", QColor("#e0e0e0"), 0, QRect(10, 20, 200, 100)), "");
    overlay->uncover();
    coverAndWait(CoverContent::solid(Qt::black));
    EXPECT_EQ(waitForColour("HEADLESS-1", Qt::black), "") << "the panel outlived uncover()";
}

TEST_F(WaylandOverlayTest, PointerMotionAndButtonsAreReportedPerOutput) {
    coverAndWait(CoverContent::solid(Qt::black));
    std::vector<std::pair<std::string, QPoint>> motions;
    std::vector<std::tuple<std::string, QPoint, std::uint32_t, bool>> buttons;
    overlay->onPointerMotion = [&](const std::string& output, QPoint at) {
        motions.emplace_back(output, at);
    };
    overlay->onPointerButton = [&](const std::string& output, QPoint at, std::uint32_t button, bool pressed) {
        buttons.emplace_back(output, at, button, pressed);
    };
    VirtualPointer pointer;
    ASSERT_TRUE(pointer.isReady());
    QRect layoutRect; // the extent absolute motion is relative to
    for (const auto& output : overlay->outputs())
        layoutRect |= output.geometry;
    const QSize layout = layoutRect.size();
    pointer.moveTo(QPoint(700, 100), layout);
    ASSERT_TRUE(driveUntil([&] {
        return !motions.empty() &&
               motions.back() == std::make_pair(std::string("HEADLESS-2"), QPoint(60, 100));
    })) << (motions.empty() ? "no motion" : motions.back().first);
    pointer.moveTo(QPoint(20, 30), layout);
    ASSERT_TRUE(driveUntil(
        [&] { return motions.back() == std::make_pair(std::string("HEADLESS-1"), QPoint(20, 30)); }));
    pointer.click(BTN_LEFT);
    ASSERT_TRUE(driveUntil([&] { return buttons.size() >= 2; }));
    EXPECT_EQ(buttons[0],
              std::make_tuple(std::string("HEADLESS-1"), QPoint(20, 30), std::uint32_t(BTN_LEFT), true));
    EXPECT_EQ(buttons[1],
              std::make_tuple(std::string("HEADLESS-1"), QPoint(20, 30), std::uint32_t(BTN_LEFT), false));
}

TEST_F(WaylandOverlayTest, ASecondClientThatTriesToCoverLosesItsConnectionWithoutACrash) {
    // The compositor allows one input inhibitor: the second client is disconnected with an error.
    coverAndWait(CoverContent::solid(Qt::black));
    auto otherConnection = WaylandConnection::connect();
    ASSERT_TRUE(otherConnection);
    WaylandOverlay other(otherConnection, *scheduler);
    bool otherLost = false;
    other.onConnectionLost = [&] { otherLost = true; };
    EXPECT_TRUE(other.cover(CoverContent::solid(Qt::white)));
    ASSERT_TRUE(driveUntil([&] { return otherLost; })) << "the second cover was not refused";
    EXPECT_FALSE(otherConnection->isConnected());
    EXPECT_NE(otherConnection->lostReason().find("zwlr_input_inhibit_manager_v1"), std::string::npos)
        << otherConnection->lostReason();
    EXPECT_FALSE(other.cover(CoverContent::solid(Qt::white)));
    other.uncover();
    // The first keeps its cover and keyboard.
    EXPECT_FALSE(lost);
    EXPECT_TRUE(connection->roundtrip());
    EXPECT_EQ(gridMismatches(screenshot("HEADLESS-1"), Qt::black), "");
}

} // namespace
} // namespace tolva
