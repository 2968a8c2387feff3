// The real tolva-screen on GNOME (the fixture's headless GNOME Shell with the extension): it
// covers both monitors through the extension, takes every key, opens for the PIN only, and when
// killed while locked, the Shell keeps covering until the program started again takes the lock back.
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/Preferences.h"
#include "gnome/GnomeTestSupport.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"
#include "platform/gnome/GnomeShellCover.h"
#include "support/EndToEnd.h"
#include "support/LockoutCheck.h"
#include "support/PlainLook.h"
#include "support/QtWidgetsApp.h"

#include <QDBusConnectionInterface>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include <linux/input-event-codes.h>

#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;
using namespace tolva::test::gnome;

namespace {

const QColor magentaColour(255, 0, 255);
const QRect bothMonitors(0, 0, 2560, 720);

struct GnomeLock : ::testing::Test {
    void SetUp() override {
        widgetsApp();
        if (!enterGnomeSession())
            GTEST_SKIP() << "needs the headless GNOME Shell of the ctest fixture `gnome`";
        // The program's settings window is drawn by Qt off screen; the cover is the Shell's.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("TOLVA_LOG_STDERR", "1", 1);
        std::string why;
        keychain = SecretServiceKeychainBackend::connect(&why);
        ASSERT_TRUE(keychain) << why;
        pins = std::make_unique<KeychainPinStore>("org.tolva.Screen.pin", "pin", keychain);
        pins->save(PinHasher::makeRecord("4829"));
        usePlainLook();
        watcherBus = std::make_unique<QDBusConnection>(connect(QStringLiteral("watcher")));
        watcher = std::make_unique<GnomeShellCover>(*watcherBus);
        ASSERT_FALSE(watcher->isCovered()) << "an earlier test left the cover up";
    }
    void TearDown() override {
        app.reset();
        if (pins)
            pins->remove();
        watcher.reset();
        watcherBus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("watcher"));
    }

    bool screenIs(const QColor& colour, double atLeast) {
        std::string error;
        const QImage shot = shellScreenshot(bothMonitors, &error);
        EXPECT_FALSE(shot.isNull()) << error;
        return shareOf(shot, colour) >= atLeast;
    }
    bool screenShows(const QColor& colour, double atLeast = 0.97) {
        return waitUntil([&] { return screenIs(colour, atLeast); }, 10s);
    }

    std::shared_ptr<SecretServiceKeychainBackend> keychain;
    std::unique_ptr<KeychainPinStore> pins;
    std::unique_ptr<QDBusConnection> watcherBus;
    std::unique_ptr<GnomeShellCover> watcher;
    std::unique_ptr<App> app;
};

void typeDigits(RemoteKeyboard& keyboard, const std::vector<std::uint32_t>& keys) {
    for (std::uint32_t key : keys) {
        keyboard.tap(key);
        pumpEvents(30ms);
    }
}

} // namespace

TEST_F(GnomeLock, CoversBothMonitorsTakesTheKeysAndOpensForThePinOnly) {
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady()) << "mutter's remote desktop gave no session";
    KeyWindow window;
    ASSERT_TRUE(window.waitUntilActive(keyboard)) << "the other client's window never got the focus";

    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*", 20s)) << app->transcript();
    EXPECT_TRUE(app->saw("lock info: display server: wayland \\(gnome shell extension 3\\)"))
        << app->transcript();
    EXPECT_TRUE(app->saw("idle info: idle time source: mutter idle monitor")) << app->transcript();
    // The Shell holds the keys from the moment the lock begins: no fallback, no grab to retry.
    EXPECT_TRUE(app->saw("lock info: locked in background tap=true .*")) << app->transcript();
    EXPECT_FALSE(app->saw("input error: .*")) << app->transcript();
    EXPECT_TRUE(watcher->isCovered());
    // (The panel stands in the middle of one monitor; the rest shows the cover.)
    EXPECT_TRUE(screenShows(magentaColour, 0.9)) << "the monitors are not covered";

    // A new keyboard reaches the cover once the Shell set it up: Escape (which only clears the
    // entry) until the program notes a key.
    ASSERT_TRUE(
        tapUntil(keyboard, KEY_ESC, [&] { return app->saw("lock info: taking foreground: input key:tap"); }))
        << "no key reached the program\n"
        << app->transcript();

    // A wrong PIN leaves the cover up; the right one ends it. No key reaches the other window.
    app->mark();
    typeDigits(keyboard, {KEY_1, KEY_1, KEY_1, KEY_1});
    ASSERT_TRUE(
        waitUntil([&] { return app->sawSinceMark("auth info: auth rejected via tap failures=1.*"); }, 10s))
        << app->transcript();
    EXPECT_FALSE(app->sawSinceMark("lock info: unlocked .*"));
    EXPECT_TRUE(watcher->isCovered());
    typeDigits(keyboard, {KEY_4, KEY_8, KEY_2, KEY_9});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via tap.*")) << app->transcript();
    EXPECT_TRUE(waitUntil([&] { return !watcher->isCovered(); }, 5s));
    EXPECT_TRUE(waitUntil([&] { return !screenIs(magentaColour, 0.5); }, 10s))
        << "the cover stayed on screen";
    EXPECT_TRUE(window.keys().empty()) << "the other client got " << window.keys().front();

    // Unlocked, keys reach the window: the check above can fail.
    EXPECT_TRUE(tapUntil(keyboard, KEY_A, [&] { return !window.keys().empty(); }));
}

// After the free tries, a wrong PIN starts the wait; the right PIN typed during it does not open,
// and the cover stays.
TEST_F(GnomeLock, TheRightPinTypedDuringTheWaitAfterWrongOnesDoesNotOpen) {
    NoFreeTryLeft planted;
    // The program is killed while the wait runs; its cover stays with the Shell, and goes with
    // this test (the Uncover of whoever owns the program's name then).
    struct UncoverAtTheEnd {
        std::unique_ptr<App>& app;
        ~UncoverAtTheEnd() {
            app.reset();
            QDBusConnection bus = connect(QStringLiteral("after-the-wait"));
            if (claimProgramName(bus))
                GnomeShellCover(bus).uncover();
            QDBusConnection::disconnectFromBus(QStringLiteral("after-the-wait"));
        }
    } uncover{app};
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("lock info: lock resumed after restart failures=4", 20s)) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*", 20s)) << app->transcript();
    ASSERT_TRUE(
        tapUntil(keyboard, KEY_ESC, [&] { return app->saw("lock info: taking foreground: input key:tap"); }))
        << "no key reached the program\n"
        << app->transcript();

    expectTheWaitToHoldTheRightPin(
        *app, [&](const std::vector<std::uint32_t>& keys) { typeDigits(keyboard, keys); });
    EXPECT_TRUE(watcher->isCovered());
    // (The panel stands in the middle of one monitor; the rest shows the cover.)
    EXPECT_TRUE(screenIs(magentaColour, 0.9)) << "the cover went during the wait";
}

// The shortcut recorded in the settings is the Shell's: pressed in another application, it locks.
TEST_F(GnomeLock, TheShortcutOfTheSettingsLocks) {
    Preferences prefs(JsonFileDefaultsStore::standard());
    prefs.setLockHotKey(HotKey{40, {HotKeyModifiers::control | HotKeyModifiers::command}}); // Ctrl+Super+K
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("input info: global shortcut: gnome shell extension", 20s)) << app->transcript();
    ASSERT_TRUE(app->waitFor("input info: gnome shell: the shortcut is <Control><Super>k"))
        << app->transcript();
    ASSERT_TRUE(tapUntil(keyboard, KEY_K, [&] { return app->saw("lock info: lock begin .*"); }, 15s,
                         {KEY_LEFTCTRL, KEY_LEFTMETA}))
        << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*", 20s)) << app->transcript();
    EXPECT_TRUE(watcher->isCovered());

    ASSERT_TRUE(tapUntil(keyboard, KEY_ESC, [&] {
        return app->saw("lock info: taking foreground: input key:tap");
    })) << app->transcript();
    typeDigits(keyboard, {KEY_4, KEY_8, KEY_2, KEY_9});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via tap.*")) << app->transcript();
    EXPECT_TRUE(waitUntil([&] { return !watcher->isCovered(); }, 5s));
}

TEST_F(GnomeLock, AfterTheProgramIsKilledTheCoverStaysAndTheNextProgramTakesTheLockBack) {
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*", 20s)) << app->transcript();
    ASSERT_TRUE(screenShows(magentaColour, 0.9));

    app->process().signal(SIGKILL);
    app->process().waitForExit(5s);
    app.reset();
    EXPECT_TRUE(waitUntil(
        [&] { return !watcherBus->interface()->isServiceRegistered("org.tolva.Screen").value(); }, 5s));
    EXPECT_TRUE(watcher->isCovered()) << "the cover went with the program";
    EXPECT_TRUE(screenIs(magentaColour, 0.9)) << "the desktop shows after the program died";

    // Started again, the program finds the cover up and takes the lock back: the PIN ends it.
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*", 20s)) << app->transcript();
    EXPECT_TRUE(app->saw("lock info: lock resumed after restart failures=0")) << app->transcript();
    EXPECT_TRUE(watcher->isCovered());
    ASSERT_TRUE(tapUntil(keyboard, KEY_ESC, [&] {
        return app->saw("lock info: taking foreground: input key:tap");
    })) << app->transcript();
    typeDigits(keyboard, {KEY_4, KEY_8, KEY_2, KEY_9});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via tap.*")) << app->transcript();
    EXPECT_TRUE(waitUntil([&] { return !watcher->isCovered(); }, 5s)) << "the cover stayed after the PIN";
}

namespace {

void reloadBus() {
    QDBusConnection bus = connect(QStringLiteral("reload"));
    bus.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReloadConfig")));
    QDBusConnection::disconnectFromBus(QStringLiteral("reload"));
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST_F(GnomeLock, AKilledProgramIsStartedAgainByTheBusAndTakesTheLockBack) {
    // The program's D-Bus service as the package installs it, started in this test's folders and
    // writing its log where the test reads it.
    const char* servicesDir = std::getenv("TOLVA_GNOME_SERVICES");
    ASSERT_NE(servicesDir, nullptr);
    const std::filesystem::path services = servicesDir;
    const std::filesystem::path log = std::filesystem::path(std::getenv("HOME")) / "started-by-the-bus.log";
    std::string environment;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                             "DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS", "WAYLAND_DISPLAY",
                             "XDG_SESSION_TYPE", "QT_QPA_PLATFORM", "TOLVA_LOG_STDERR"})
        if (const char* value = std::getenv(name))
            environment += std::string(" ") + name + "=" + value;
    {
        std::ofstream service(services / "org.tolva.Screen.service");
        service << "[D-BUS Service]\nName=org.tolva.Screen\nExec=/bin/sh -c 'exec env" << environment << " "
                << TOLVA_BINARY << " >" << log.string() << " 2>&1'\n";
    }
    reloadBus();
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*", 20s)) << app->transcript();

    app->process().signal(SIGKILL);
    app->process().waitForExit(5s);
    app.reset();
    // Nobody could start it by hand under the cover: the extension has the bus start it.
    const bool resumed = waitUntil(
        [&] { return fileText(log).find("lock info: locked in background") != std::string::npos; }, 20s);
    std::filesystem::remove(services / "org.tolva.Screen.service");
    reloadBus();
    ASSERT_TRUE(resumed) << "the program was not started again:\n" << fileText(log);
    EXPECT_NE(fileText(log).find("lock info: lock resumed after restart failures=0"), std::string::npos)
        << fileText(log);
    EXPECT_TRUE(watcher->isCovered());
    // (Ended with the test, whatever happens below.)
    struct EndsWithTheTest {
        pid_t pid = 0;
        ~EndsWithTheTest() {
            if (pid > 0)
                ::kill(pid, SIGTERM);
        }
    } started{pid_t(watcherBus->interface()->servicePid(QStringLiteral("org.tolva.Screen")).value())};
    ASSERT_GT(started.pid, 0);

    // The PIN ends the lock of the program the bus started.
    ASSERT_TRUE(tapUntil(keyboard, KEY_ESC, [&] {
        return fileText(log).find("lock info: taking foreground: input key:tap") != std::string::npos;
    })) << fileText(log);
    typeDigits(keyboard, {KEY_4, KEY_8, KEY_2, KEY_9});
    EXPECT_TRUE(waitUntil([&] { return !watcher->isCovered(); }, 10s)) << "the cover stayed after the PIN\n"
                                                                       << fileText(log);
    // (The cover goes before the line is written.)
    EXPECT_TRUE(waitUntil(
        [&] { return fileText(log).find("lock info: unlocked reason=PIN via tap") != std::string::npos; },
        5s))
        << fileText(log);
    ::kill(std::exchange(started.pid, 0), SIGTERM);
    EXPECT_TRUE(waitUntil(
        [&] { return !watcherBus->interface()->isServiceRegistered("org.tolva.Screen").value(); }, 10s));
}

TEST_F(GnomeLock, WithTheExtensionOffTheLockIsRefusedWithTheWayToTurnItOn) {
    ASSERT_TRUE(switchExtension(false));
    ASSERT_TRUE(waitUntil([&] { return !watcher->isAvailable(); }, 5s));
    app = std::make_unique<App>(std::vector<std::string>{"--lock"});
    const bool refused = app->waitFor(
        "lock error: lock refused \\(.*\\): Tolva Screen’s GNOME Shell extension is off\\. Turn it on "
        "with “gnome-extensions enable tolva-screen@tolva\\.org”, then log out and back in\\.",
        20s);
    const bool named = app->saw("lock error: display server: wayland \\(gnome shell\\), but its extension "
                                "tolva-screen@tolva\\.org is not on");
    app.reset();
    ASSERT_TRUE(switchExtension(true));
    EXPECT_TRUE(waitUntil([&] { return watcher->isAvailable(); }, 5s));
    EXPECT_TRUE(refused);
    EXPECT_TRUE(named);
    EXPECT_FALSE(watcher->isCovered());
}

namespace {

// The average colour of `image`.
QColor meanColour(const QImage& image) {
    double red = 0, green = 0, blue = 0;
    int count = 0;
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4, ++count) {
            const QColor c = image.pixelColor(x, y);
            red += c.red();
            green += c.green();
            blue += c.blue();
        }
    return count ? QColor(int(red / count), int(green / count), int(blue / count)) : QColor();
}

bool near(const QColor& a, const QColor& b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

const QColor windowColour(246, 245, 244); // a GTK window's background

} // namespace

TEST_F(GnomeLock, TheSnapshotLookShowsTheScreenAsItWasAndNothingNew) {
    Preferences(JsonFileDefaultsStore::standard()).setOverlayContentMode(OverlayContentMode::snapshot);
    std::string error;
    const QImage before = shellScreenshot(bothMonitors, &error);
    ASSERT_FALSE(before.isNull()) << error;
    ASSERT_LT(shareOf(before, windowColour), 0.005) << "a window is open already";

    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*", 20s)) << app->transcript();
    EXPECT_TRUE(app->saw("lock info: snapshot captured displays=2 .*")) << app->transcript();
    EXPECT_TRUE(watcher->isCovered());
    // A window that opens under the cover changes the live screen; the cover keeps showing the
    // desktop as it was (drawn a little larger, for the pixel shift's margin).
    RemoteKeyboard keyboard;
    ASSERT_TRUE(keyboard.isReady());
    KeyWindow window;
    pumpEvents(1500ms);
    const QImage after = shellScreenshot(bothMonitors, &error);
    ASSERT_FALSE(after.isNull()) << error;
    const QRect secondMonitor(1280, 0, 1280, 720);
    EXPECT_TRUE(near(meanColour(after.copy(secondMonitor)), meanColour(before.copy(secondMonitor)), 6))
        << "the cover does not show the desktop";
    EXPECT_LT(shareOf(after, windowColour), 0.005) << "the cover shows the live screen";

    ASSERT_TRUE(tapUntil(keyboard, KEY_ESC, [&] {
        return app->saw("lock info: taking foreground: input key:tap");
    })) << app->transcript();
    typeDigits(keyboard, {KEY_4, KEY_8, KEY_2, KEY_9});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via tap.*")) << app->transcript();
    // Uncovered, the window shows: the check above can fail.
    EXPECT_TRUE(waitUntil(
        [&] {
            const QImage now = shellScreenshot(bothMonitors);
            return !now.isNull() && shareOf(now, windowColour) > 0.03;
        },
        10s))
        << "the window does not show after the unlock";
    EXPECT_TRUE(window.keys().empty()) << "the window got " << window.keys().front();
}
