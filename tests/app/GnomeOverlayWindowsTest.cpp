// GnomeOverlayWindows over a stand-in of the Shell extension on a private bus, with virtual
// time: one picture of every monitor at its place, a window per monitor, keys to the lock's tap,
// the cover again when the Shell comes back, and the cover gone at tear-down.
#include "platform/gnome/GnomeOverlayWindows.h"
#include "platform/fake/FakeScheduler.h"
#include "support/FakeGnomeShellExtension.h"
#include "support/PictureChecks.h"
#include "support/PrivateBus.h"
#include "support/QtWidgetsApp.h"

#include <QCoreApplication>
#include <QPainter>
#include <QThread>

#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;
using namespace std::chrono_literals;

namespace {

const QColor magentaColour(255, 0, 255);

struct GnomeOverlayWindowsTest : ::testing::Test {
    void SetUp() override {
        widgetsApp();
        FakeExtension::registerTypes();
        thread.start();
        extension.moveToThread(&thread);
        extensionBus = std::make_unique<QDBusConnection>(bus.connect(QStringLiteral("extension")));
        ASSERT_TRUE(
            extensionBus->registerVirtualObject(QStringLiteral("/org/tolva/Screen/Shell"), &extension));
        ASSERT_TRUE(extensionBus->registerService(QStringLiteral("org.tolva.Screen.Shell")));
        programBus = std::make_unique<QDBusConnection>(bus.connect(QStringLiteral("program")));
        shell = std::make_shared<GnomeShellCover>(*programBus);
        windows = std::make_unique<GnomeOverlayWindows>(scheduler, shell);
    }
    void TearDown() override {
        windows.reset();
        shell.reset();
        extensionBus->unregisterObject(QStringLiteral("/org/tolva/Screen/Shell"));
        thread.quit();
        thread.wait();
    }

    OverlayContent magenta() const {
        OverlayContent content;
        content.background = magentaColour;
        return content;
    }

    PrivateBus bus;
    QThread thread;
    FakeExtension extension;
    std::unique_ptr<QDBusConnection> extensionBus;
    std::unique_ptr<QDBusConnection> programBus;
    FakeScheduler scheduler;
    std::shared_ptr<GnomeShellCover> shell;
    std::unique_ptr<GnomeOverlayWindows> windows;
};

} // namespace

TEST_F(GnomeOverlayWindowsTest, OnePictureOfEveryMonitorAndAWindowEach) {
    windows->build(magenta());
    EXPECT_TRUE(windows->isCovered());
    ASSERT_EQ(windows->windows().size(), 2u);
    EXPECT_EQ(windows->layout().entries().size(), 2u);
    EXPECT_EQ(windows->mainWindow(), windows->windows()[1].get())
        << "the Shell's primary monitor is the second";

    const auto sent = extension.state();
    // The stage: 1280x720 beside 800x600.
    EXPECT_EQ(sent.content.value("width").toUInt(), 2080u);
    EXPECT_EQ(sent.content.value("height").toUInt(), 720u);
    const uint stride = sent.content.value("stride").toUInt();
    ASSERT_EQ(sent.picture.size(), qsizetype(stride) * 720);
    const QImage picture(reinterpret_cast<const uchar*>(sent.picture.constData()), 2080, 720, int(stride),
                         QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(picture.pixelColor(10, 10), magentaColour);
    EXPECT_EQ(picture.pixelColor(1279, 719), magentaColour);
    EXPECT_EQ(picture.pixelColor(2079, 599), magentaColour);

    windows->tearDown();
    EXPECT_FALSE(extension.state().covered);
    EXPECT_TRUE(windows->windows().empty());
}

TEST_F(GnomeOverlayWindowsTest, KeysOfTheCoverGoToTheLocksTap) {
    std::vector<KeyEvent> keys;
    auto tap = windows->makeTap([&](const KeyEvent& event) {
        keys.push_back(event);
        return true;
    });
    // The Shell holds the keys from the moment the cover comes.
    EXPECT_TRUE(tap->start());
    windows->build(magenta());
    EXPECT_TRUE(tap->isEnabled());
    QDBusMessage signal = QDBusMessage::createTargetedSignal(
        programBus->baseService(), "/org/tolva/Screen/Shell", "org.tolva.Screen.Shell", "Key");
    signal.setArguments({uint(0x37), uint(16), uint(0), true, QStringLiteral("7")});
    ASSERT_TRUE(extensionBus->send(signal));
    ASSERT_TRUE(waitUntil([&] { return !keys.empty(); }, 3000ms));
    EXPECT_EQ(keys.front().characters, std::optional<std::string>("7"));
    tap->stop();
    windows->tearDown();
}

TEST_F(GnomeOverlayWindowsTest, TheCoverComesBackWithTheShell) {
    auto tap = windows->makeTap([](const KeyEvent&) { return true; });
    int statusChanges = 0;
    tap->onStatusChanged = [&] { ++statusChanges; };
    tap->start();
    windows->build(magenta());
    ASSERT_EQ(extension.state().covers, 1);

    // The Shell leaves the bus (restarted, or the extension switched off without a cover).
    ASSERT_TRUE(extensionBus->unregisterService(QStringLiteral("org.tolva.Screen.Shell")));
    ASSERT_TRUE(waitUntil([&] { return !windows->isCovered(); }, 3000ms));
    EXPECT_FALSE(tap->isEnabled());
    EXPECT_GE(statusChanges, 1);
    // Meanwhile the lock tries again every second, in vain.
    scheduler.advance(Seconds(3));
    EXPECT_EQ(extension.state().covers, 1);

    // Back: covered again at once, with the same picture.
    const int before = statusChanges;
    ASSERT_TRUE(extensionBus->registerService(QStringLiteral("org.tolva.Screen.Shell")));
    ASSERT_TRUE(waitUntil([&] { return windows->isCovered(); }, 3000ms));
    EXPECT_EQ(extension.state().covers, 2);
    EXPECT_TRUE(tap->isEnabled());
    EXPECT_GT(statusChanges, before);
    scheduler.advance(Seconds(3));
    EXPECT_EQ(extension.state().covers, 2) << "it kept covering after it was back";
    tap->stop();
    windows->tearDown();
}

// The breathing goes to the Shell once, with the cover: its depth and period, which the Shell
// eases by itself. The content's effects decide (reduce motion has taken it out of them when the
// desktop asks for that); without it no key for it is sent, and a cover made again keeps it.
TEST_F(GnomeOverlayWindowsTest, TheBreathingGoesToTheShellWithTheCover) {
    OverlayContent breathing = magenta();
    breathing.animations = {OverlayAnimation::breathing, OverlayAnimation::pixelShift};
    breathing.tuning = OverlayAnimationTuning::tuning(AnimationStrength::medium);
    windows->build(breathing);
    auto sent = extension.state().content;
    const auto& tuning = breathing.tuning;
    EXPECT_EQ(sent.value("breathingDepth").toDouble(), tuning.breathingDepth);
    EXPECT_EQ(sent.value("breathingPeriod").toDouble(), tuning.breathingPeriod);
    EXPECT_FALSE(sent.contains("pixelShiftStep")) << "the Shell does not shift the picture";

    // The Shell comes back: covered again, breathing as before.
    ASSERT_TRUE(extensionBus->unregisterService(QStringLiteral("org.tolva.Screen.Shell")));
    ASSERT_TRUE(waitUntil([&] { return !windows->isCovered(); }, 3000ms));
    ASSERT_TRUE(extensionBus->registerService(QStringLiteral("org.tolva.Screen.Shell")));
    ASSERT_TRUE(waitUntil([&] { return windows->isCovered(); }, 3000ms));
    ASSERT_EQ(extension.state().covers, 2);
    EXPECT_EQ(extension.state().content.value("breathingDepth").toDouble(), tuning.breathingDepth);
    EXPECT_EQ(extension.state().content.value("breathingPeriod").toDouble(), tuning.breathingPeriod);
    windows->tearDown();

    OverlayContent still = breathing;
    still.animations = {OverlayAnimation::pixelShift, OverlayAnimation::gradientDrift};
    windows->build(still);
    sent = extension.state().content;
    EXPECT_EQ(extension.state().covers, 3);
    EXPECT_FALSE(sent.contains("breathingDepth"));
    EXPECT_FALSE(sent.contains("breathingPeriod"));
    windows->tearDown();
}

// The parts of a sheet lie one below the other, at the left edge.
TEST(GnomeOverlayWindowsSheet, PartsAreStackedFromTheTop) {
    QSize sheet;
    const auto places = GnomeOverlayWindows::stacked({QSize(100, 50), QSize(120, 70), QSize(10, 5)}, &sheet);
    EXPECT_EQ(places,
              (std::vector<QRect>{QRect(0, 0, 100, 50), QRect(0, 50, 120, 70), QRect(0, 120, 10, 5)}));
    EXPECT_EQ(sheet, QSize(120, 125));
    EXPECT_TRUE(GnomeOverlayWindows::stacked({}, &sheet).empty());
    EXPECT_EQ(sheet, QSize(0, 0));
}

namespace {

// Left half red, right half blue.
OverlayContent halvesWith(const OverlayAnimationSet& animations) {
    OverlayContent content;
    content.sharedImage = redLeftBlueRight(640, 480);
    content.animations = animations;
    content.tuning = OverlayAnimationTuning::tuning(AnimationStrength::strong);
    return content;
}

QList<int> integersOf(const QVariant& value) {
    return qdbus_cast<QList<int>>(value);
}

} // namespace

// An extension that moves what it shows gets each monitor's picture with the shift's margin on a
// sheet, once; then only the offsets and the gradient drawn small, when they change, at most
// twice a second, on the program's clock.
TEST_F(GnomeOverlayWindowsTest, AMovingExtensionGetsTheMarginOnceThenOnlyTheOffsetsAndTheGradient) {
    extension.setVersion(3);
    const auto content = halvesWith({OverlayAnimation::pixelShift, OverlayAnimation::gradientDrift});
    windows->build(content);
    auto sent = extension.state();
    // Monitor, where the picture rests, its part of the sheet: 16 pixels more on every side.
    EXPECT_EQ(integersOf(sent.content.value("tiles")),
              (QList<int>{0,    0, 1280, 720, -16,  -16, 0, 0,   1312, 752,    //
                          1280, 0, 800,  600, 1264, -16, 0, 752, 832,  632})); //
    EXPECT_TRUE(integersOf(sent.content.value("notes")).isEmpty());
    EXPECT_EQ(sent.content.value("width").toUInt(), 1312u);
    EXPECT_EQ(sent.content.value("height").toUInt(), 752u + 632u);
    const uint stride = sent.content.value("stride").toUInt();
    const QImage sheet(reinterpret_cast<const uchar*>(sent.picture.constData()), 1312, 752 + 632, int(stride),
                       QImage::Format_ARGB32_Premultiplied);
    // The picture covers the monitor and its margin: red on the left, blue on the right.
    EXPECT_EQ(sheet.pixelColor(0, 0), QColor(Qt::red));
    EXPECT_EQ(sheet.pixelColor(1311, 751), QColor(Qt::blue));
    EXPECT_EQ(sheet.pixelColor(831, 752 + 631), QColor(Qt::blue));
    // The gradient from the start, a 1280x720 monitor's eight times smaller.
    ASSERT_TRUE(waitUntil([&] { return extension.state().gradientCalls > 0; }, 3000ms));
    sent = extension.state();
    ASSERT_EQ(sent.gradientCalls, 1);
    EXPECT_EQ(integersOf(sent.gradientLayout.value("parts")), (QList<int>{0, 0, 160, 90, 0, 90, 100, 75}));
    EXPECT_TRUE(sent.shifts.empty()) << "the pictures rest where the cover put them";
    const QByteArray firstGradient = sent.gradients;

    // Ten seconds on, the first shift: 16 pixels to the right on both monitors, eased in at most
    // two steps a second.
    const auto& tuning = content.tuning;
    for (double t = 0; t < tuning.pixelShiftInterval + 2.5; t += 0.05)
        scheduler.advance(Seconds(0.05));
    const QList<int> right{16, 0, 16, 0};
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto shifts = extension.state().shifts;
            return !shifts.empty() && shifts.back() == right && extension.state().gradients != firstGradient;
        },
        3000ms));
    sent = extension.state();
    ASSERT_FALSE(sent.shifts.empty());
    EXPECT_EQ(sent.shifts.back(), right);
    EXPECT_LE(sent.shifts.size(), 5u) << "more than two frames a second";
    EXPECT_GE(sent.shifts.size(), 2u) << "the move was not eased";
    EXPECT_NE(sent.gradients, firstGradient) << "the gradient stood still";
    EXPECT_LE(sent.gradientCalls, 1 + int((tuning.pixelShiftInterval + 2.5) * 2) + 1);
    EXPECT_EQ(sent.covers, 1) << "the picture went again";
    windows->tearDown();
}

// An older extension, or effects that reduce motion took out, keep the cover still: nothing moves
// and no margin is sent.
TEST_F(GnomeOverlayWindowsTest, WithoutTheEffectsOrForAnOlderExtensionThePictureStandsStill) {
    auto expectStillForHalfAMinute = [&] {
        for (int i = 0; i < 300; ++i)
            scheduler.advance(Seconds(0.1));
        // A call that waits for its answer: the extension has handled every call before it.
        shell->isCovered();
        const auto sent = extension.state();
        EXPECT_TRUE(sent.shifts.empty());
        EXPECT_EQ(sent.gradientCalls, 0);
        windows->tearDown();
    };
    extension.setVersion(3);
    windows->build(halvesWith({}));
    auto sent = extension.state();
    EXPECT_EQ(
        integersOf(sent.content.value("tiles")),
        (QList<int>{0, 0, 1280, 720, 0, 0, 0, 0, 1280, 720, 1280, 0, 800, 600, 1280, 0, 0, 720, 800, 600}));
    expectStillForHalfAMinute();

    extension.setVersion(2);
    windows->build(halvesWith({OverlayAnimation::pixelShift, OverlayAnimation::gradientDrift}));
    sent = extension.state();
    EXPECT_FALSE(sent.content.contains("tiles"));
    EXPECT_EQ(sent.content.value("width").toUInt(), 2080u) << "not the stage";
    expectStillForHalfAMinute();
}
