// GnomeOverlayWindows over a stand-in of the Shell extension on a private bus, with virtual
// time: one picture of every monitor at its place, a window per monitor, keys to the lock's tap,
// the cover again when the Shell comes back, and the cover gone at tear-down.
#include "platform/gnome/GnomeOverlayWindows.h"
#include "platform/fake/FakeScheduler.h"
#include "support/FakeGnomeShellExtension.h"
#include "support/PrivateBus.h"
#include "support/QtWidgetsApp.h"

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
