// Tolva Screen's Shell extension inside a real headless GNOME Shell (the ctest fixture `gnome`),
// driven as the program drives it (GnomeShellCover) from bus connections of this test: it covers
// every monitor, answers the owner of org.tolva.Screen only, hands the keys to it and to no other
// client, and keeps covering when the program goes until the next one takes over.
#include "gnome/GnomeTestSupport.h"
#include "platform/KeyTranslation.h"
#include "platform/gnome/GnomeShellCover.h"
#include "support/QtWidgetsApp.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include <linux/input-event-codes.h>

#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;
using namespace tolva::test::gnome;

namespace {

const QColor magentaColour(255, 0, 255);
const QColor greenColour(0, 200, 0);

struct GnomeShellExtension : ExtensionTest {
    // The whole stage in one colour, as the program would paint its cover.
    QImage pictureOf(const QColor& colour) const {
        QRect stage;
        for (const auto& monitor : shell->monitors())
            stage = stage.united(monitor.geometry);
        QImage picture(stage.size(), QImage::Format_ARGB32_Premultiplied);
        picture.fill(colour);
        return picture;
    }
};

} // namespace

TEST_F(GnomeShellExtension, CoversEveryMonitorForTheProgramAlone) {
    const auto monitors = shell->monitors();
    ASSERT_EQ(monitors.size(), 2u);
    EXPECT_EQ(monitors[0].geometry, QRect(0, 0, 1280, 720));
    EXPECT_EQ(monitors[1].geometry, QRect(1280, 0, 1280, 720));
    EXPECT_FALSE(shell->isCovered());

    // A client that is not the program is refused, whatever it asks.
    QDBusConnection strangerBus = connect(QStringLiteral("stranger"));
    GnomeShellCover stranger(strangerBus);
    std::string error;
    EXPECT_FALSE(stranger.cover(pictureOf(magentaColour), 1.0, &error));
    EXPECT_EQ(error.substr(0, error.find(':')), "org.freedesktop.DBus.Error.AccessDenied") << error;
    EXPECT_FALSE(shell->isCovered());

    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    EXPECT_TRUE(shell->isCovered());
    auto shots = shell->snapshot(&error);
    ASSERT_EQ(shots.size(), 2u) << error;
    for (const auto& [area, image] : shots) {
        EXPECT_EQ(image.size(), area.size());
        EXPECT_GT(shareOf(image, magentaColour), 0.99) << "monitor at " << area.x() << " is not covered";
    }
    // The Shell's own screenshot, taken outside the extension, sees the same.
    const QImage seen = shellScreenshot(QRect(0, 0, 2560, 720), &error);
    ASSERT_FALSE(seen.isNull()) << error;
    EXPECT_GT(shareOf(seen, magentaColour), 0.99);

    error.clear();
    EXPECT_FALSE(stranger.uncover(&error));
    EXPECT_EQ(error.substr(0, error.find(':')), "org.freedesktop.DBus.Error.AccessDenied") << error;
    // Moving the pictures is the program's alone too.
    QDBusMessage shift = QDBusMessage::createMethodCall(
        QStringLiteral("org.tolva.Screen.Shell"), QStringLiteral("/org/tolva/Screen/Shell"),
        QStringLiteral("org.tolva.Screen.Shell"), QStringLiteral("ShiftPictures"));
    shift << QVariant::fromValue(QList<int>{16, 0, 16, 0});
    const QDBusMessage shifted = strangerBus.call(shift, QDBus::Block, 5000);
    EXPECT_EQ(shifted.errorName(), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"))
        << shifted.errorMessage().toStdString();
    EXPECT_FALSE(stranger.snapshot(&error).size());
    EXPECT_TRUE(shell->isCovered());
    QDBusConnection::disconnectFromBus(QStringLiteral("stranger"));

    // The program's uncover ends it: the desktop shows again.
    ASSERT_TRUE(shell->uncover(&error)) << error;
    EXPECT_FALSE(shell->isCovered());
    shots = shell->snapshot(&error);
    ASSERT_EQ(shots.size(), 2u) << error;
    for (const auto& [area, image] : shots)
        EXPECT_LT(shareOf(image, magentaColour), 0.5) << "monitor at " << area.x() << " is still covered";
}

TEST_F(GnomeShellExtension, WhenTheProgramLeavesWhileCoveredTheBusStartsItAgain) {
    // The program's D-Bus service, as the package installs one, here leaving a mark.
    const char* servicesDir = std::getenv("TOLVA_GNOME_SERVICES");
    ASSERT_NE(servicesDir, nullptr) << "the session names no folder of service files";
    const std::filesystem::path services = servicesDir;
    const std::filesystem::path mark = services / "started";
    std::filesystem::remove(mark);
    {
        std::ofstream service(services / "org.tolva.Screen.service");
        service << "[D-BUS Service]\nName=org.tolva.Screen\nExec=/usr/bin/touch " << mark.string() << "\n";
    }
    auto reloadBus = [] {
        QDBusConnection bus = connect(QStringLiteral("reload"));
        bus.call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReloadConfig")));
        QDBusConnection::disconnectFromBus(QStringLiteral("reload"));
    };
    reloadBus();
    auto leave = [&] {
        shell.reset();
        program.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("program"));
    };
    auto comeBack = [&] {
        program = std::make_unique<QDBusConnection>(connect(QStringLiteral("program")));
        shell = std::make_shared<GnomeShellCover>(*program);
        return claimProgramName(*program);
    };

    // Without a cover the program may go: nothing starts it.
    leave();
    pumpEvents(2500ms);
    EXPECT_FALSE(std::filesystem::exists(mark)) << "the program was started without a cover";

    ASSERT_TRUE(comeBack());
    std::string error;
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    leave();
    EXPECT_TRUE(waitUntil([&] { return std::filesystem::exists(mark); }, 10s))
        << "the program was not started again";

    std::filesystem::remove(services / "org.tolva.Screen.service");
    reloadBus();
    ASSERT_TRUE(comeBack());
    EXPECT_TRUE(shell->isCovered());
    EXPECT_TRUE(shell->uncover(&error)) << error;
}

TEST_F(GnomeShellExtension, ATranslucentPictureTintsTheLiveScreen) {
    std::string error;
    const auto desktop = shell->snapshot(&error);
    ASSERT_EQ(desktop.size(), 2u) << error;
    // Black at a quarter: the Shell blends it over what is under it.
    ASSERT_TRUE(shell->cover(pictureOf(QColor(0, 0, 0, 64)), 1.0, &error)) << error;
    const auto tinted = shell->snapshot(&error);
    ASSERT_EQ(tinted.size(), 2u) << error;
    for (std::size_t i = 0; i < 2; ++i) {
        const QColor under = desktop[i].second.pixelColor(640, 500),
                     over = tinted[i].second.pixelColor(640, 500);
        const double keep = 1.0 - 64.0 / 255.0;
        EXPECT_NEAR(over.red(), under.red() * keep, 3) << "monitor " << i;
        EXPECT_NEAR(over.green(), under.green() * keep, 3) << "monitor " << i;
        EXPECT_NEAR(over.blue(), under.blue() * keep, 3) << "monitor " << i;
        EXPECT_GT(under.red() + under.green() + under.blue(), 60) << "the desktop is too dark to tell";
    }
}

namespace {

// The red of the cover over the first monitor, one sample of the extension's Snapshot; -1 when
// none came.
struct Sample {
    double red = -1;
    double panelGreen = 0; // share of the panel's place on the second monitor that shows it
};

Sample sampleOf(const GnomeShellCover& shell, QRect panel) {
    const auto shots = shell.snapshot();
    if (shots.size() != 2)
        return {};
    const QImage first = shots[0].second.copy(200, 100, 400, 300);
    double red = 0;
    int count = 0;
    for (int y = 0; y < first.height(); y += 10)
        for (int x = 0; x < first.width(); x += 10, ++count)
            red += first.pixelColor(x, y).red();
    return {red / count, shareOf(shots[1].second.copy(panel), greenColour)};
}

// Samples as fast as the Shell takes its pictures (those that came), for `duration` or until
// `enough` says so.
std::vector<Sample> samplesFor(const GnomeShellCover& shell, QRect panel, std::chrono::milliseconds duration,
                               const std::function<bool(const std::vector<Sample>&)>& enough = {}) {
    std::vector<Sample> samples;
    const auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until && !(enough && enough(samples)))
        if (const Sample sample = sampleOf(shell, panel); sample.red >= 0)
            samples.push_back(sample);
    return samples;
}

std::pair<double, double> redRange(const std::vector<Sample>& samples) {
    double low = 255, high = 0;
    for (const auto& sample : samples) {
        low = std::min(low, sample.red);
        high = std::max(high, sample.red);
    }
    return {low, high};
}

} // namespace

// The breathing: black over the cover, beneath the panel, that the Shell eases from none to the
// depth and back by itself; a cover without it (the same cover made again) stands still.
TEST_F(GnomeShellExtension, TheCoverBreathesBeneathThePanelWhenAskedAndOnlyThen) {
    EXPECT_EQ(shell->version(), std::optional<std::uint32_t>(3));
    std::string error;
    // Depth 0.6: the magenta's red goes down to 102 at the deepest; one breath in 1.6 s.
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, GnomeShellCover::Motion{0.6, 1.6}, &error))
        << error;
    QImage panel(200, 100, QImage::Format_ARGB32_Premultiplied);
    panel.fill(greenColour);
    shell->showPanel(panel, QPoint(1280 + 300, 200));
    const QRect panelPlace(300, 200, 200, 100);
    ASSERT_TRUE(waitUntil([&] { return sampleOf(*shell, panelPlace).panelGreen > 0.99; }, 5s))
        << "the panel did not come";

    // (A picture of both monitors takes the Shell a while as it draws every step of the breath.)
    auto samples = samplesFor(*shell, panelPlace, 5s, [](const std::vector<Sample>& sampled) {
        const auto [low, high] = redRange(sampled);
        return sampled.size() >= 3 && high - low > 50;
    });
    ASSERT_GE(samples.size(), 3u);
    auto [low, high] = redRange(samples);
    EXPECT_GT(high - low, 50) << "the cover does not breathe: red between " << low << " and " << high
                              << " in " << samples.size() << " samples";
    EXPECT_GE(low, 255 * 0.4 - 8) << "darker than the depth asked for";
    for (const auto& sample : samples)
        EXPECT_GT(sample.panelGreen, 0.99) << "the panel breathes too";

    // The same cover again, without the breathing (as an older program asks for it): it stands
    // still, not dimmed.
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    samples = samplesFor(*shell, panelPlace, 1000ms);
    ASSERT_GE(samples.size(), 3u);
    std::tie(low, high) = redRange(samples);
    EXPECT_GE(low, 255 - 3) << "the cover is still dimmed";
    EXPECT_LE(high - low, 2);
}

TEST_F(GnomeShellExtension, ShowsThePanelWhereTheProgramPutsIt) {
    std::string error;
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    QImage panel(200, 100, QImage::Format_ARGB32_Premultiplied);
    panel.fill(greenColour);
    shell->showPanel(panel, QPoint(1280 + 300, 200));
    const auto panelShown = [&] {
        const auto shots = shell->snapshot();
        return shots.size() == 2 && shareOf(shots[1].second.copy(300, 200, 200, 100), greenColour) > 0.99;
    };
    EXPECT_TRUE(waitUntil(panelShown, 5s)) << "the panel is not where it was put";
    auto shots = shell->snapshot();
    ASSERT_EQ(shots.size(), 2u);
    EXPECT_GT(shareOf(shots[0].second, magentaColour), 0.99) << "the panel went to the wrong monitor";
    EXPECT_GT(shareOf(shots[1].second.copy(0, 0, 280, 720), magentaColour), 0.99);

    shell->hidePanel();
    const auto panelGone = [&] {
        const auto shots = shell->snapshot();
        return shots.size() == 2 && shareOf(shots[1].second, magentaColour) > 0.99;
    };
    EXPECT_TRUE(waitUntil(panelGone, 5s)) << "the panel stayed";
}

TEST_F(GnomeShellExtension, KeysGoToTheProgramAndToNoOtherClient) {
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady()) << "mutter's remote desktop gave no session";
    KeyWindow window;
    ASSERT_TRUE(window.waitUntilActive(keyboard)) << "the other client's window never got the focus";

    std::vector<KeyEvent> keys;
    shell->onKey = [&](const KeyEvent& event) { keys.push_back(event); };
    std::string error;
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    const auto gotSeven = [&] {
        return std::any_of(keys.begin(), keys.end(), [](const KeyEvent& k) {
            return k.type == KeyEvent::Type::keyDown && k.characters == std::optional<std::string>("7");
        });
    };
    ASSERT_TRUE(tapUntil(keyboard, KEY_7, gotSeven)) << "no key reached the program";
    keyboard.tap(KEY_A);
    keyboard.tap(KEY_ESC);
    // Every key up to Escape's release, which comes last.
    const std::int64_t escape = KeyTranslation::virtualKeyCode(KEY_ESC + 8).value();
    EXPECT_TRUE(waitUntil(
        [&] {
            return !keys.empty() && keys.back().type == KeyEvent::Type::keyUp &&
                   keys.back().keyCode == escape;
        },
        5s));
    EXPECT_TRUE(std::any_of(keys.begin(), keys.end(), [](const KeyEvent& k) {
        return k.characters == std::optional<std::string>("a");
    }));
    EXPECT_TRUE(window.keys().empty()) << "the other client got " << window.keys().front();

    // Uncovered, the keys reach the window again: the check above can fail.
    ASSERT_TRUE(shell->uncover(&error)) << error;
    const std::size_t programKeys = keys.size();
    EXPECT_TRUE(tapUntil(keyboard, KEY_B, [&] { return !window.keys().empty(); }))
        << "the window got no key after the cover went";
    EXPECT_EQ(window.keys().front(), "b");
    EXPECT_EQ(keys.size(), programKeys) << "the program got keys without a cover";
}

TEST_F(GnomeShellExtension, TheCoverOutlivesTheProgramUntilTheNextOneTakesItOver) {
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady()) << "mutter's remote desktop gave no session";
    KeyWindow window;
    ASSERT_TRUE(window.waitUntilActive(keyboard)) << "the other client's window never got the focus";
    std::string error;
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;

    // The program goes without a word, as it does when killed.
    shell.reset();
    program.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("program"));
    QDBusConnection watcherBus = connect(QStringLiteral("watcher"));
    GnomeShellCover watcher(watcherBus);
    EXPECT_TRUE(waitUntil(
        [&] { return !watcherBus.interface()->isServiceRegistered("org.tolva.Screen").value(); }, 5s));
    EXPECT_TRUE(watcher.isCovered()) << "the cover went with the program";
    const QImage seen = shellScreenshot(QRect(0, 0, 2560, 720), &error);
    ASSERT_FALSE(seen.isNull()) << error;
    EXPECT_GT(shareOf(seen, magentaColour), 0.99) << "the screen shows without the program";
    // Meanwhile the keys stay with the cover, and no one else may end it.
    for (std::uint32_t key : {KEY_Q, KEY_W, KEY_E})
        keyboard.tap(key);
    pumpEvents(500ms);
    EXPECT_TRUE(window.keys().empty()) << "the other client got " << window.keys().front();
    EXPECT_FALSE(watcher.uncover());
    EXPECT_TRUE(watcher.isCovered());
    QDBusConnection::disconnectFromBus(QStringLiteral("watcher"));

    // The program started again takes the cover over with its first Cover and gets the keys.
    program = std::make_unique<QDBusConnection>(connect(QStringLiteral("program")));
    ASSERT_TRUE(claimProgramName(*program));
    shell = std::make_shared<GnomeShellCover>(*program);
    EXPECT_TRUE(shell->isCovered());
    std::vector<KeyEvent> keys;
    shell->onKey = [&](const KeyEvent& event) { keys.push_back(event); };
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    EXPECT_TRUE(tapUntil(keyboard, KEY_7, [&] { return !keys.empty(); })) << "the new program got no key";
    EXPECT_TRUE(window.keys().empty());
    ASSERT_TRUE(shell->uncover(&error)) << error;
    EXPECT_FALSE(shell->isCovered());
}

TEST_F(GnomeShellExtension, AShellDialogOpenedWhileCoveredGetsNoKeys) {
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    std::vector<KeyEvent> keys;
    shell->onKey = [&](const KeyEvent& event) { keys.push_back(event); };
    std::string error;
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    ASSERT_TRUE(tapUntil(keyboard, KEY_7, [&] { return !keys.empty(); })) << "no key reached the program";

    // Any client may ask the Shell for its log-out dialog, which takes the keyboard as it opens.
    QDBusConnection strangerBus = connect(QStringLiteral("stranger"));
    const QString dialog = QStringLiteral("org.gnome.SessionManager.EndSessionDialog");
    QDBusMessage open = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/SessionManager/EndSessionDialog"),
        dialog, QStringLiteral("Open"));
    open.setArguments({0u, 0u, 60u, QVariant::fromValue(QList<QDBusObjectPath>())});
    const QDBusMessage opened = strangerBus.call(open);
    ASSERT_EQ(opened.type(), QDBusMessage::ReplyMessage) << opened.errorMessage().toStdString();
    pumpEvents(300ms);
    keys.clear();
    EXPECT_TRUE(tapUntil(
        keyboard, KEY_8, [&] { return !keys.empty(); }, 5s))
        << "the dialog kept the keys";
    EXPECT_TRUE(shell->isCovered());
    const QImage seen = shellScreenshot(QRect(0, 0, 2560, 720), &error);
    ASSERT_FALSE(seen.isNull()) << error;
    EXPECT_GT(shareOf(seen, magentaColour), 0.99) << "the dialog shows above the cover";

    strangerBus.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/SessionManager/EndSessionDialog"),
        dialog, QStringLiteral("Close")));
    QDBusConnection::disconnectFromBus(QStringLiteral("stranger"));
}

TEST_F(GnomeShellExtension, PointerEventsOverTheCoverGoToTheProgram) {
    RemoteKeyboard pointer;
    ASSERT_TRUE(pointer.isReady());
    std::vector<std::pair<std::string, QPointF>> events;
    std::vector<std::uint32_t> buttons;
    shell->onPointer = [&](const std::string& kind, QPointF at, std::uint32_t button) {
        events.emplace_back(kind, at);
        if (kind == "press")
            buttons.push_back(button);
    };
    std::string error;
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    // A new pointer's first moves can be lost while the Shell sets it up.
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (events.empty() && std::chrono::steady_clock::now() < deadline) {
        pointer.move(5, 3);
        waitUntil([&] { return !events.empty(); }, 300ms);
    }
    ASSERT_FALSE(events.empty()) << "no pointer event reached the program";
    EXPECT_EQ(events.front().first, "motion");
    const QPointF before = events.back().second;
    pointer.move(-10000, -10000); // into the top-left corner of the stage
    EXPECT_TRUE(waitUntil([&] { return events.back().second == QPointF(0, 0); }, 5s))
        << "the pointer is at " << events.back().second.x() << "," << events.back().second.y();
    EXPECT_NE(before, QPointF(0, 0));
    pointer.click();
    EXPECT_TRUE(waitUntil([&] { return !buttons.empty(); }, 5s));
    EXPECT_EQ(buttons, std::vector<std::uint32_t>{1}) << "the left button is Clutter's button 1";
}

// While covered, no click and no key reaches another client, and neither Alt+Tab nor a
// workspace switch happens: once uncovered, the window has the focus again and takes clicks.
TEST_F(GnomeShellExtension, NoClickKeyOrShellShortcutGetsPastTheCover) {
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    KeyWindow window; // maximised on the first monitor
    ASSERT_TRUE(window.waitUntilActive(keyboard)) << "the other client's window never got the focus";
    std::vector<KeyEvent> keys;
    shell->onKey = [&](const KeyEvent& event) { keys.push_back(event); };
    std::optional<QPointF> pointerAt;
    shell->onPointer = [&](const std::string&, QPointF at, std::uint32_t) { pointerAt = at; };
    std::string error;
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    ASSERT_TRUE(tapUntil(keyboard, KEY_7, [&] { return !keys.empty(); }))
        << "the cover never got the keyboard";

    // The pointer into the middle of the first monitor, in small steps, as the cover reports it.
    keyboard.move(-10000, -10000);
    ASSERT_TRUE(waitUntil(
        [&] {
            keyboard.move(8, 5);
            pumpEvents(20ms);
            return pointerAt && pointerAt->x() >= 300 && pointerAt->y() >= 200;
        },
        15s))
        << "the pointer did not reach the middle of the first monitor";
    ASSERT_LT(pointerAt->x(), 1180);
    for (int i = 0; i < 3; ++i)
        keyboard.click();
    keyboard.tap(KEY_TAB, {KEY_LEFTALT});
    keyboard.tap(KEY_PAGEDOWN, {KEY_LEFTMETA});
    keyboard.tap(KEY_DOWN, {KEY_LEFTCTRL, KEY_LEFTALT});
    keyboard.tap(KEY_A);
    pumpEvents(700ms);
    EXPECT_EQ(window.clicks(), 0) << "a click reached the window beneath the cover";
    EXPECT_TRUE(window.keys().empty()) << "the window got " << window.keys().front();

    ASSERT_TRUE(shell->uncover(&error)) << error;
    EXPECT_TRUE(waitUntil([&] { return window.isActive(); }, 5s))
        << "the window lost the focus for good: a shortcut switched away from it";
    // The checks above can fail: uncovered, the same click reaches it.
    keyboard.click();
    EXPECT_TRUE(waitUntil([&] { return window.clicks() > 0; }, 5s)) << "the window takes no click at all";
}

TEST_F(GnomeShellExtension, SwitchingTheExtensionOffLeavesTheCoverUntilTheProgramEndsIt) {
    std::string error;
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    ASSERT_TRUE(switchExtension(false));
    pumpEvents(500ms);
    EXPECT_TRUE(shell->isCovered()) << "switching the extension off ended the cover";
    const QImage seen = shellScreenshot(QRect(0, 0, 2560, 720), &error);
    ASSERT_FALSE(seen.isNull()) << error;
    EXPECT_GT(shareOf(seen, magentaColour), 0.99);
    // The program's Uncover still ends it, and with it the rest of the switch-off.
    EXPECT_TRUE(shell->uncover(&error)) << error;
    EXPECT_TRUE(waitUntil([&] { return !shell->isAvailable(); }, 5s)) << "the extension stayed on the bus";
    ASSERT_TRUE(switchExtension(true));
    EXPECT_TRUE(waitUntil([&] { return shell->isAvailable(); }, 5s)) << "the extension did not come back";
    EXPECT_FALSE(shell->isCovered());
}

namespace {

// The program's D-Bus object as far as the extension's shortcut needs it: counts Lock() calls.
class LockCounter : public QDBusVirtualObject {
public:
    int locks = 0;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != "org.tolva.Screen" || message.member() != "Lock")
            return false;
        ++locks;
        return connection.send(message.createReply());
    }
};

} // namespace

TEST_F(GnomeShellExtension, ItsShortcutAsksTheProgramToLock) {
    LockCounter counter;
    ASSERT_TRUE(program->registerVirtualObject(QStringLiteral("/org/tolva/Screen"), &counter));
    // Shift+Super+L, the schema's default (a program before may have chosen another).
    std::string error;
    ASSERT_TRUE(shell->setLockShortcut("<Shift><Super>l", &error)) << error;
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    EXPECT_TRUE(
        tapUntil(keyboard, KEY_L, [&] { return counter.locks > 0; }, 15s, {KEY_LEFTSHIFT, KEY_LEFTMETA}))
        << "the shortcut never reached the program";
    // L alone asks for nothing: the count above comes from the shortcut.
    const int locks = counter.locks;
    keyboard.tap(KEY_L);
    pumpEvents(500ms);
    EXPECT_EQ(counter.locks, locks);
    program->unregisterObject(QStringLiteral("/org/tolva/Screen"));
}

// The program's settings choose the shortcut; the extension keeps it and answers it, and no
// other client may change it.
TEST_F(GnomeShellExtension, TheProgramChoosesTheShortcut) {
    LockCounter counter;
    ASSERT_TRUE(program->registerVirtualObject(QStringLiteral("/org/tolva/Screen"), &counter));
    struct BackToTheDefault {
        GnomeShellCover& shell;
        ~BackToTheDefault() { shell.setLockShortcut("<Shift><Super>l"); }
    } restore{*shell};
    std::string error;
    QDBusConnection strangerBus = connect(QStringLiteral("stranger"));
    EXPECT_FALSE(GnomeShellCover(strangerBus).setLockShortcut("<Super>k", &error));
    EXPECT_EQ(error.substr(0, error.find(':')), "org.freedesktop.DBus.Error.AccessDenied") << error;
    QDBusConnection::disconnectFromBus(QStringLiteral("stranger"));
    EXPECT_FALSE(shell->setLockShortcut("<Super>k; rm -rf", &error)) << "not a shortcut";

    ASSERT_TRUE(shell->setLockShortcut("<Control><Super>k", &error)) << error;
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    EXPECT_TRUE(
        tapUntil(keyboard, KEY_K, [&] { return counter.locks > 0; }, 15s, {KEY_LEFTCTRL, KEY_LEFTMETA}))
        << "the chosen shortcut never reached the program";
    // The one it replaced asks for nothing any more.
    const int locks = counter.locks;
    keyboard.tap(KEY_L, {KEY_LEFTSHIFT, KEY_LEFTMETA});
    pumpEvents(500ms);
    EXPECT_EQ(counter.locks, locks);

    // None: no keys lock.
    ASSERT_TRUE(shell->setLockShortcut("", &error)) << error;
    pumpEvents(300ms);
    keyboard.tap(KEY_K, {KEY_LEFTCTRL, KEY_LEFTMETA});
    pumpEvents(500ms);
    EXPECT_EQ(counter.locks, locks);
    program->unregisterObject(QStringLiteral("/org/tolva/Screen"));
}

namespace {

bool overviewShown() {
    QDBusConnection bus = connect(QStringLiteral("overview-state"));
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get.setArguments({QStringLiteral("org.gnome.Shell"), QStringLiteral("OverviewActive")});
    const QDBusMessage reply = bus.call(get);
    QDBusConnection::disconnectFromBus(QStringLiteral("overview-state"));
    return !reply.arguments().isEmpty() && reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

} // namespace

TEST_F(GnomeShellExtension, TheShellsOwnShortcutsDoNothingWhileCovered) {
    LockCounter counter;
    ASSERT_TRUE(program->registerVirtualObject(QStringLiteral("/org/tolva/Screen"), &counter));
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    std::vector<KeyEvent> keys;
    shell->onKey = [&](const KeyEvent& event) { keys.push_back(event); };
    std::string error;
    ASSERT_TRUE(shell->cover(pictureOf(magentaColour), 1.0, &error)) << error;
    ASSERT_TRUE(tapUntil(keyboard, KEY_7, [&] { return !keys.empty(); })) << "no key reached the program";
    ASSERT_FALSE(overviewShown());

    // Super alone opens the overview, Shift+Super+L is the extension's own lock shortcut.
    keyboard.tap(KEY_LEFTMETA);
    keyboard.tap(KEY_L, {KEY_LEFTSHIFT, KEY_LEFTMETA});
    pumpEvents(700ms);
    EXPECT_FALSE(overviewShown()) << "Super reached the Shell";
    EXPECT_EQ(counter.locks, 0) << "the lock shortcut fired under the cover";

    // Uncovered, Super opens the overview: the check above can fail.
    ASSERT_TRUE(shell->uncover(&error)) << error;
    keyboard.tap(KEY_LEFTMETA);
    EXPECT_TRUE(waitUntil([] { return overviewShown(); }, 5s));
    leaveOverview();
    EXPECT_TRUE(waitUntil([] { return !overviewShown(); }, 5s));
    program->unregisterObject(QStringLiteral("/org/tolva/Screen"));
}

TEST(GnomeShellExtensionModule, TheFormForShell45AndLaterLoadsAsAnEsModule) {
    // Assembled as the build does, then loaded by gjs as a module: the core must export its class
    // and build its interface; the entry must parse (outside the Shell only its imports of the
    // Shell's own modules may fail).
    QTemporaryDir dir;
    const QString extension = dir.filePath(QStringLiteral("tolva-screen@tolva.org"));
    ASSERT_EQ(QProcess::execute(QStringLiteral(TOLVA_GNOME_ASSEMBLE), {QStringLiteral("module"), extension}),
              0);
    QFile checker(dir.filePath(QStringLiteral("check.js")));
    ASSERT_TRUE(checker.open(QIODevice::WriteOnly));
    checker.write(QStringLiteral(R"(
import Gio from 'gi://Gio';
import {TolvaScreenShell} from 'file://%1/core.js';
const info = Gio.DBusNodeInfo.new_for_xml(TolvaScreenShell.interfaceXml).lookup_interface('org.tolva.Screen.Shell');
print(`core ${TolvaScreenShell.busName} ${TolvaScreenShell.version} ${info.methods.map(m => m.name).join(',')}`);
try {
    await import('file://%1/extension.js');
    print('entry loaded');
} catch (e) {
    print(`entry ${e.name}: ${e.message}`);
}
)")
                      .arg(extension)
                      .toUtf8());
    checker.close();
    QProcess gjs;
    gjs.start(QStringLiteral("gjs"), {QStringLiteral("-m"), checker.fileName()});
    ASSERT_TRUE(gjs.waitForFinished(30000));
    const QString output = QString::fromUtf8(gjs.readAllStandardOutput()).trimmed();
    const QStringList lines = output.split('\n');
    ASSERT_EQ(lines.size(), 2) << output.toStdString() << gjs.readAllStandardError().toStdString();
    EXPECT_EQ(lines[0],
              "core org.tolva.Screen.Shell 3 Cover,CoverWithPicture,ShowPanel,HidePanel,ShiftPictures,"
              "ShowGradients,Snapshot,Uncover,SetLockShortcut");
    EXPECT_TRUE(
        lines[1].startsWith("entry ImportError: Unable to load file from: resource:///org/gnome/shell/"))
        << lines[1].toStdString();
}
