// The real tolva-screen on the test session's X server (two monitors), with a victim window
// holding the focus and keys typed by xdotool; everything is checked from outside.
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/Preferences.h"
#include "overlay/ImageStore.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"
#include "platform/x11/X11ScreenCapture.h"
#include "platform/x11/XConnection.h"
#include "support/ChildProcess.h"
#include "support/EndToEnd.h"
#include "support/PamTestService.h"
#include "support/PrivateBus.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sys/stat.h>
#include <xcb/xcb.h>

using namespace tolva;
using namespace std::chrono_literals;
using test::App;
using test::ChildProcess;
using test::magenta;
using test::share;
using test::type;

namespace {

// The panel window of the `trayer` system tray (not its small helper windows).
QRect trayPanel() {
    QRect found(-1, -1, 0, 0);
    ChildProcess windows({"xdotool", "search", "--class", "trayer"});
    std::vector<std::string> ids;
    while (auto line = windows.readLine(2s, false))
        ids.push_back(*line);
    for (const auto& id : ids) {
        ChildProcess geometry({"xdotool", "getwindowgeometry", "--shell", id});
        int gx = -1, gy = -1, gw = 0, gh = 0;
        while (auto line = geometry.readLine(2s, false)) {
            std::sscanf(line->c_str(), "X=%d", &gx);
            std::sscanf(line->c_str(), "Y=%d", &gy);
            std::sscanf(line->c_str(), "WIDTH=%d", &gw);
            std::sscanf(line->c_str(), "HEIGHT=%d", &gh);
        }
        if (gw >= 20 && gx >= 0)
            found = QRect(gx, gy, gw, gh);
    }
    return found;
}

std::unique_ptr<ChildProcess> startTray() {
    auto tray = std::make_unique<ChildProcess>(
        std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                 "--height", "24", "--transparent", "false"},
        true);
    test::waitUntil([] { return test::run({"xdotool", "search", "--class", "trayer"}) == 0; }, 5s);
    return tray;
}

// The id of the visible window with exactly this title, if there is one.
std::optional<std::string> windowNamed(const std::string& title) {
    ChildProcess search({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"});
    return search.readLine(2s, false);
}

// The settings window showing `tab`: its title is the program's name, then the tab's.
std::optional<std::string> settingsShowing(const std::string& tab) {
    return windowNamed("Tolva Screen — " + tab);
}

// The window that has the keyboard focus.
std::optional<std::string> focusedWindow() {
    ChildProcess focus({"xdotool", "getwindowfocus"});
    return focus.readLine(2s, false);
}

// Visible windows of the process `pid` (the tray menu, when it is open, is one of them).
std::size_t visibleWindowsOf(int pid) {
    ChildProcess search({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)});
    std::size_t count = 0;
    while (search.readLine(2s, false))
        ++count;
    return count;
}

// Pixels of `area` that stand out from its most common colour: text drawn there.
int inkPixels(const QRect& area) {
    const QImage image = X11ScreenCapture::captureRegion(area);
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y) & 0xFFFFFF];
    if (counts.empty())
        return 0;
    const QRgb background = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                                return a.second < b.second;
                            })->first;
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            ink += std::abs(qRed(p) - qRed(background)) + std::abs(qGreen(p) - qGreen(background)) +
                       std::abs(qBlue(p) - qBlue(background)) >
                   60;
        }
    return ink;
}

// The status and note lines of the unlock panel on the left display (centred on its display).
const QRect leftPanelStatus((1920 - 240) / 2 + 8, (1080 - 161) / 2 + 74, 224, 28);
const QRect leftPanelNote((1920 - 240) / 2 + 12, (1080 - 161) / 2 + 109, 216, 40);

struct EndToEnd : ::testing::Test {
    void SetUp() override {
        test::qtApp();
        ::setenv("TOLVA_LOG_STDERR", "1", 1);
        std::string why;
        keychain = SecretServiceKeychainBackend::connect(&why);
        ASSERT_TRUE(keychain) << why;
        pins = std::make_unique<KeychainPinStore>("org.tolva.Screen.pin", "pin", keychain);
        pins->remove();
    }
    void TearDown() override {
        app.reset();
        pins->remove();
    }
    void setUpUser(bool withPin) {
        if (withPin)
            pins->save(PinHasher::makeRecord("4829"));
        Preferences prefs(JsonFileDefaultsStore::standard());
        prefs.setHasCompletedOnboarding(withPin);
        prefs.setOverlayContentMode(OverlayContentMode::solidColor);
        prefs.setOverlayColor(SRGBColor(1, 0, 1));
        prefs.setAnimations({});
    }

    std::shared_ptr<SecretServiceKeychainBackend> keychain;
    std::unique_ptr<KeychainPinStore> pins;
    std::unique_ptr<App> app;
};

} // namespace

TEST_F(EndToEnd, LockCoversBothDisplaysBlocksKeysAndOnlyThePinUnlocks) {
    setUpUser(true);
    ChildProcess victim({TOLVA_VICTIM});
    ASSERT_TRUE(victim.waitFor("ready", 5s));
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0.5"});
    ASSERT_TRUE(app->waitFor("ui info: will lock in 0.5s \\(launch argument\\)")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background tap=true secureInput=false frontmost=.*"))
        << app->transcript();
    EXPECT_TRUE(app->saw("lock info: lock begin reason=launch argument mode=solidColor .* screens=2 .*"));
    test::waitUntil(
        [] { return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta) == 1.0; });
    EXPECT_EQ(share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta), 1.0)
        << "both displays covered";

    // The panel comes up on the display under the pointer.
    ASSERT_EQ(test::run({"xdotool", "mousemove", "2880", "300"}), 0);
    type({"1"});
    ASSERT_TRUE(app->waitFor("lock info: taking foreground: input .*")) << app->transcript();
    test::pumpEvents(400ms);
    const QRect rightCentre(2880 - 120, 540 - 80, 240, 161), leftCentre(960 - 120, 540 - 80, 240, 161);
    EXPECT_LT(share(X11ScreenCapture::captureRegion(rightCentre), magenta), 0.5)
        << "panel on the right display";
    EXPECT_EQ(share(X11ScreenCapture::captureRegion(leftCentre), magenta), 1.0) << "nothing on the left one";
    ASSERT_EQ(test::run({"xdotool", "mousemove", "960", "300"}), 0);
    test::waitUntil([&] { return share(X11ScreenCapture::captureRegion(leftCentre), magenta) < 0.5; });
    EXPECT_LT(share(X11ScreenCapture::captureRegion(leftCentre), magenta), 0.5)
        << "the panel followed the pointer";

    // "1" was the first digit: three more make a wrong PIN.
    type({"1", "1", "1"});
    ASSERT_TRUE(app->waitFor("auth info: auth rejected via tap failures=1 lockout=0s")) << app->transcript();
    type({"4", "8", "2", "9"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via (tap|window) after \\d+s"))
        << app->transcript();
    test::waitUntil(
        [] { return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta) < 0.01; });
    EXPECT_LT(share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta), 0.01)
        << "windows gone";
    EXPECT_TRUE(victim.drainLines().empty()) << "a key of the lock reached the focused window";
    type({"5"});
    EXPECT_TRUE(victim.waitFor("press 14", 3s)) << "the victim gets keys again" << app->transcript();
}

TEST_F(EndToEnd, QuitIsRefusedWhileLocked) {
    setUpUser(true);
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    app->process().signal(SIGTERM);
    ASSERT_TRUE(app->waitFor("lock error: terminate request blocked while locked")) << app->transcript();
    EXPECT_TRUE(app->process().isRunning());
    type({"4", "8", "2", "9"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
    app->process().signal(SIGTERM);
    EXPECT_EQ(app->process().waitForExit(5s), 0);
    // With the overlay gone the keyboard focus is somewhere again, not on nothing, so keys and
    // the next program's global shortcut still arrive.
    auto x11 = XConnection::open();
    ASSERT_TRUE(x11);
    auto focus = xreply(xcb_get_input_focus_reply(x11->get(), xcb_get_input_focus(x11->get()), nullptr));
    ASSERT_TRUE(focus);
    EXPECT_NE(focus->focus, static_cast<xcb_window_t>(XCB_NONE));
}

TEST_F(EndToEnd, OnlyOneInstanceRuns) {
    setUpUser(true);
    app = std::make_unique<App>();
    ASSERT_TRUE(
        app->waitFor("ui info: launched pid=\\d+ version=\\d+\\.\\d+\\.\\d+ ax=true pin=true screens=2 .*"))
        << app->transcript();
    App second;
    EXPECT_EQ(second.process().waitForExit(10s), 0);
    EXPECT_TRUE(second.saw("ui info: another instance running pid=\\d+; exiting")) << second.transcript();
    EXPECT_TRUE(second.saw("the running Tolva Screen \\(pid \\d+\\) shows its window"))
        << second.transcript();
    EXPECT_TRUE(app->waitFor("ui info: window requested over D-Bus", 3s)) << app->transcript();
    app.reset();

    // Two launches at once: exactly one stays.
    App a, b;
    test::pumpEvents(1500ms);
    const bool aRuns = a.process().isRunning(), bRuns = b.process().isRunning();
    EXPECT_NE(aRuns, bRuns) << a.transcript() << "----\n" << b.transcript();
    App& loser = aRuns ? b : a;
    EXPECT_TRUE(loser.saw("ui info: another instance running pid=\\d+; exiting")) << loser.transcript();
}

// The command line and D-Bus reach the running program; what they did is seen from another
// X client (the screen turns magenta) and in what the command prints.
TEST_F(EndToEnd, LockFromTheCommandLineAndDBus) {
    setUpUser(true);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    // Both displays covered; the band above the middle, where the unlock panel may come up
    // when something moves the pointer.
    const auto covered = [] {
        return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 300)), magenta) == 1.0;
    };
    const auto unlock = [&] {
        type({"4", "8", "2", "9"});
        ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
        app->seen.clear();
    };

    App lockNow({"--lock"});
    EXPECT_EQ(lockNow.process().waitForExit(10s), 0) << lockNow.transcript();
    EXPECT_TRUE(lockNow.saw("the running Tolva Screen \\(pid \\d+\\) turned the overlay on"))
        << lockNow.transcript();
    ASSERT_TRUE(app->waitFor("lock info: lock begin reason=dbus .*")) << app->transcript();
    EXPECT_TRUE(test::waitUntil(covered, 5s)) << "the overlay is up" << app->transcript();
    const std::vector<std::string> getLocked{"gdbus",
                                             "call",
                                             "--session",
                                             "--dest",
                                             "org.tolva.Screen",
                                             "--object-path",
                                             "/org/tolva/Screen",
                                             "--method",
                                             "org.freedesktop.DBus.Properties.Get",
                                             "org.tolva.Screen",
                                             "Locked"};
    {
        ChildProcess get(getLocked);
        EXPECT_EQ(get.readLine(5s, false), "(<true>,)");
    }
    unlock();

    ASSERT_EQ(test::run({"gdbus", "call", "--session", "--dest", "org.tolva.Screen", "--object-path",
                         "/org/tolva/Screen", "--method", "org.tolva.Screen.Lock"}),
              0);
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    EXPECT_TRUE(test::waitUntil(covered, 5s)) << app->transcript();
    unlock();
    {
        ChildProcess get(getLocked);
        EXPECT_EQ(get.readLine(5s, false), "(<false>,)");
    }

    App later({"--lock-in", "1"});
    EXPECT_EQ(later.process().waitForExit(10s), 0) << later.transcript();
    EXPECT_TRUE(later.saw("the running Tolva Screen \\(pid \\d+\\) turns the overlay on in 1.0s"))
        << later.transcript();
    ASSERT_TRUE(app->waitFor("ui info: will lock in 1.0s \\(D-Bus\\)")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    unlock();

    // A command the running program cannot carry out fails loudly.
    App wrong({"--lock-in", "soon"});
    EXPECT_EQ(wrong.process().waitForExit(10s), 2) << wrong.transcript();
    pins->remove();
    app->process().signal(SIGTERM);
    ASSERT_EQ(app->process().waitForExit(5s), 0);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.* pin=false .*")) << app->transcript();
    App refused({"--lock"});
    EXPECT_EQ(refused.process().waitForExit(10s), 1) << refused.transcript();
    EXPECT_TRUE(
        refused.saw("tolva-screen: the running Tolva Screen \\(pid \\d+\\) did not turn the overlay on: "
                    "No PIN set"))
        << refused.transcript();
}

TEST_F(EndToEnd, LockWithNoneRunningStartsTheProgramAndLocks) {
    setUpUser(true);
    app = std::make_unique<App>(std::vector<std::string>{"--lock"});
    ASSERT_TRUE(app->waitFor("lock info: lock begin reason=launch argument .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    EXPECT_TRUE(app->process().isRunning()) << "the first start is the program";
    type({"4", "8", "2", "9"});
    EXPECT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
}

// A command handed to the running program: one line of its own on the terminal, nothing of its
// log; "0.25" is 0.25 everywhere.
TEST_F(EndToEnd, AForwardedCommandSaysOneLine) {
    setUpUser(true);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    ChildProcess later({"env", "-u", "TOLVA_LOG_STDERR", TOLVA_BINARY, "--lock-in", "0.25"}, true);
    EXPECT_EQ(later.waitForExit(10s), 0);
    const auto lines = later.drainLines();
    ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex("the running Tolva Screen \\(pid \\d+\\) turns the overlay on in 0\\.25s")))
        << lines[0];
    ASSERT_TRUE(app->waitFor("ui info: will lock in 0\\.25s \\(D-Bus\\)")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    type({"4", "8", "2", "9"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();

    ChildProcess show({"env", "-u", "TOLVA_LOG_STDERR", TOLVA_BINARY}, true);
    EXPECT_EQ(show.waitForExit(10s), 0);
    const auto shown = show.drainLines();
    ASSERT_EQ(shown.size(), 1u) << testing::PrintToString(shown);
    EXPECT_TRUE(
        std::regex_match(shown[0], std::regex("the running Tolva Screen \\(pid \\d+\\) shows its window")))
        << shown[0];
}

// Two desktop sessions of one user (a local one and a remote one beside it) each run their own.
TEST_F(EndToEnd, SessionsWithDifferentBusesDoNotSeeEachOther) {
    setUpUser(true);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    test::PrivateBus otherSession;
    const std::string ownBus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", otherSession.address().toStdString().c_str(), 1);
    App beside;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ownBus.c_str(), 1);
    EXPECT_TRUE(beside.waitFor("ui info: launched pid=.*")) << beside.transcript();
    EXPECT_FALSE(beside.saw(".*another instance running.*")) << beside.transcript();
    EXPECT_TRUE(beside.process().isRunning());
}

TEST_F(EndToEnd, MalformedLockInIsRefusedWithAClearError) {
    setUpUser(true);
    const std::string usage =
        "Usage: tolva-screen \\[--lock \\| --lock-in SECONDS\\] \\[--help\\] \\[--version\\]";
    for (std::string value : {"abc", "nan", "inf", "", "1e10", "-1", "86401"}) {
        SCOPED_TRACE(value);
        App refused({"--lock-in", value});
        EXPECT_EQ(refused.process().waitForExit(10s), 2);
        EXPECT_TRUE(refused.saw(std::regex_replace(
            "tolva-screen: --lock-in needs a number of seconds from 0 to 86400, not \"" + value + "\"",
            std::regex(R"([.+\-])"), R"(\$&)")))
            << refused.transcript();
        EXPECT_TRUE(refused.saw(usage)) << refused.transcript();
        EXPECT_FALSE(refused.saw(".*launched pid=.*")) << refused.transcript();
    }
    App missing({"--lock-in"});
    EXPECT_EQ(missing.process().waitForExit(10s), 2);
    EXPECT_TRUE(missing.saw("tolva-screen: --lock-in needs a number of seconds from 0 to 86400"))
        << missing.transcript();
}

// Help, the version and a wrong option answer at once, with no display at all.
TEST_F(EndToEnd, HelpVersionAndWrongOptionsNeedNoDisplay) {
    auto run = [](std::vector<std::string> arguments, bool merged) {
        std::vector<std::string> argv{"env",
                                      "-u",
                                      "WAYLAND_DISPLAY",
                                      "-u",
                                      "QT_QPA_PLATFORM",
                                      "-u",
                                      "DISPLAY",
                                      "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
                                      TOLVA_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        auto child = std::make_unique<ChildProcess>(argv, merged);
        return child;
    };
    for (const char* help : {"--help", "-h"}) {
        auto child = run({help}, false);
        EXPECT_EQ(child->waitForExit(10s), 0) << help;
        const auto lines = child->drainLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "Usage: tolva-screen [--lock | --lock-in SECONDS] [--help] [--version]");
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with("  --lock-in SECONDS ");
        }));
    }
    {
        auto child = run({"--version"}, false);
        EXPECT_EQ(child->waitForExit(10s), 0);
        const auto lines = child->drainLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(std::regex_match(lines[0], std::regex("tolva-screen \\d+\\.\\d+\\.\\d+"))) << lines[0];
    }
    {
        auto child = run({"--lokc"}, true);
        EXPECT_EQ(child->waitForExit(10s), 2);
        EXPECT_EQ(child->drainLines(),
                  (std::vector<std::string>{
                      "tolva-screen: unknown option \"--lokc\"",
                      "Usage: tolva-screen [--lock | --lock-in SECONDS] [--help] [--version]"}));
    }
    {
        auto child = run({"--lock", "now"}, true);
        EXPECT_EQ(child->waitForExit(10s), 2);
        EXPECT_EQ(child->drainLines().front(), "tolva-screen: unexpected argument \"now\"");
    }
}

// An unreadable preferences file is loud: logged at error level when the program starts, and
// a file others could write is made private with a warning.
TEST_F(EndToEnd, DamagedPreferencesAreLoggedAtStart) {
    setUpUser(true);
    const auto file = JsonFileDefaultsStore::standardPath();
    {
        std::ofstream out(file, std::ios::trunc);
        out << "{\"hasCompletedOnboarding\": true, \"awayNoteText\": \"" << std::string(2 << 20, 'x')
            << "\"}";
    }
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    EXPECT_TRUE(app->saw("ui error: preferences file " + file.string() +
                         " could not be read \\(larger than 1048576 bytes\\); moved aside to " +
                         file.string() +
                         "\\.corrupt-\\d{8}T\\d{6}Z(-\\d+)?; every setting is back to its default"))
        << app->transcript().substr(0, 4000);
    app.reset();

    setUpUser(true);
    ::chmod(file.c_str(), 0666);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    EXPECT_TRUE(app->saw("ui error: warning: preferences file " + file.string() +
                         " was writable by other users \\(mode 0666\\); set to 0600"))
        << app->transcript();
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A PIN record the program never writes is refused at start: no PIN, the reason in the log,
// and the set-up window that sets a new one.
TEST_F(EndToEnd, AHostilePinRecordIsRefusedAtStart) {
    setUpUser(false);
    auto record = PinHasher::makeRecord("4829", 10);
    record.iterations = 4000000000;
    pins->save(record);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=\\d+ .* pin=false .*")) << app->transcript();
    EXPECT_TRUE(app->saw("auth error: PIN record load failed: PIN record refused: iterations=4000000000 is "
                         "outside 1\\.\\.\\.1000000"))
        << app->transcript();
    EXPECT_TRUE(test::waitUntil(
        [] {
            return test::run({"xdotool", "search", "--onlyvisible", "--name", "^Tolva Screen$"}) == 0;
        },
        5s))
        << "the set-up window asks for a new PIN";
}

// The image named in the preferences is a FIFO: the lock still comes at once, in the colour.
TEST_F(EndToEnd, AnImageThatIsAFifoNeverHoldsUpTheLock) {
    setUpUser(true);
    const auto folder = ImageStore::directory();
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::mkfifo((folder / "overlay-FIFO.png").c_str(), 0600), 0);
    {
        Preferences prefs(JsonFileDefaultsStore::standard());
        prefs.setOverlayImageFileName("overlay-FIFO.png");
        prefs.setOverlayContentMode(OverlayContentMode::image);
    }
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    EXPECT_TRUE(app->saw("ui error: overlay image overlay-FIFO.png not loaded: not a regular file"))
        << app->transcript();
    test::waitUntil(
        [] { return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta) == 1.0; });
    EXPECT_EQ(share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta), 1.0)
        << "both displays covered in the colour";
    type({"4", "8", "2", "9"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
    std::filesystem::remove(folder / "overlay-FIFO.png");
}

TEST_F(EndToEnd, NoXServerIsOneClearLineAndExitStatusOne) {
    ChildProcess alone(
        {"env", "-u", "QT_QPA_PLATFORM", "-u", "WAYLAND_DISPLAY", "DISPLAY=:987", TOLVA_BINARY}, true);
    EXPECT_EQ(alone.waitForExit(10s), 1) << "an exit, not an abort";
    const auto lines = alone.drainLines();
    EXPECT_EQ(lines, std::vector<std::string>{
                         "tolva-screen: no X server answers on DISPLAY=\":987\" (Tolva Screen needs an X11 "
                         "desktop session)"});
}

// Another program holds the keyboard as the program starts (an open menu, a game): the launch
// line says so.
TEST_F(EndToEnd, TheLaunchLineSaysWhenAnotherProgramHoldsTheKeyboard) {
    setUpUser(true);
    xcb_connection_t* other = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(other));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
    auto grab = xcb_grab_keyboard_reply(
        other, xcb_grab_keyboard(other, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
        nullptr);
    ASSERT_TRUE(grab && grab->status == XCB_GRAB_STATUS_SUCCESS);
    std::free(grab);
    app = std::make_unique<App>();
    EXPECT_TRUE(app->waitFor("ui info: launched pid=\\d+ .* secureInput=true")) << app->transcript();
    xcb_disconnect(other);
    app.reset();
    app = std::make_unique<App>();
    EXPECT_TRUE(app->waitFor("ui info: launched pid=\\d+ .* secureInput=false")) << app->transcript();
}

// Set-up finished and no tray on this desktop: after a few seconds the settings window comes,
// saying how to turn the overlay on; Ctrl+W closes it like any window.
TEST_F(EndToEnd, WithoutATrayTheSettingsWindowComesAndCtrlWClosesIt) {
    setUpUser(true);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("ui info: no system tray after 5s; showing the window", 15s))
        << app->transcript();
    std::optional<std::string> window;
    ASSERT_TRUE(test::waitUntil([&] { return (window = settingsShowing("General")).has_value(); }, 5s))
        << "the settings, not the set-up window";
    EXPECT_FALSE(windowNamed("Tolva Screen"));
    ASSERT_EQ(test::run({"xdotool", "windowfocus", "--sync", *window}), 0);
    ASSERT_TRUE(test::waitUntil([&] { return focusedWindow() == window; }, 5s));
    type({"ctrl+w"});
    EXPECT_TRUE(test::waitUntil([] { return !settingsShowing("General"); }, 5s)) << "Ctrl+W closed it";
    EXPECT_TRUE(app->waitFor("ui info: dock icon hidden")) << app->transcript();
}

TEST_F(EndToEnd, FirstLaunchShowsOnboarding) {
    setUpUser(false);
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=\\d+ .* pin=false .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("ui info: dock icon shown")) << app->transcript();
    EXPECT_TRUE(test::waitUntil(
        [] {
            return test::run({"xdotool", "search", "--onlyvisible", "--name", "^Tolva Screen$"}) == 0;
        },
        5s));
    // Before set-up is finished, a second start opens the settings, as "Settings…" does; the
    // set-up window stays where it is.
    EXPECT_FALSE(settingsShowing("General"));
    App second;
    EXPECT_EQ(second.process().waitForExit(10s), 0) << second.transcript();
    EXPECT_TRUE(test::waitUntil([] { return settingsShowing("General").has_value(); }, 10s))
        << app->transcript();
    EXPECT_TRUE(windowNamed("Tolva Screen"));
}

// Set-up was finished, but keyboard blocking is not available on this session (an X program in
// a Wayland session): the set-up window comes back at start, not the settings.
TEST_F(EndToEnd, SetUpDoneButNoKeyboardBlockingOpensTheSetUpWindow) {
    setUpUser(true);
    const char* had = std::getenv("XDG_SESSION_TYPE");
    const std::string saved = had ? had : "";
    ::setenv("XDG_SESSION_TYPE", "wayland", 1);
    app = std::make_unique<App>();
    if (had)
        ::setenv("XDG_SESSION_TYPE", saved.c_str(), 1);
    else
        ::unsetenv("XDG_SESSION_TYPE");
    ASSERT_TRUE(app->waitFor("ui info: launched pid=\\d+ .* ax=false pin=true .*")) << app->transcript();
    EXPECT_TRUE(test::waitUntil([] { return windowNamed("Tolva Screen").has_value(); }, 10s))
        << "the set-up window\n"
        << app->transcript();
    EXPECT_FALSE(settingsShowing("General")) << "not the settings";
}

TEST_F(EndToEnd, TrayMenuTurnsTheOverlayOn) {
    setUpUser(true);
    auto tray = startTray();
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    test::pumpEvents(500ms);
    EXPECT_FALSE(app->saw(".*no system tray available.*")) << app->transcript();
    // The icon sits in the tray's window; a click opens the menu, the first item turns the overlay on.
    const QRect panel = trayPanel();
    const int x = panel.x(), y = panel.y(), width = panel.width(), height = panel.height();
    ASSERT_GE(x, 0);
    // On a busy machine the menu may open late: try the click and the keys a few times.
    bool locked = false;
    for (int attempt = 0; attempt < 5 && !locked; ++attempt) {
        ASSERT_EQ(test::run({"xdotool", "mousemove", std::to_string(x + width - 12),
                             std::to_string(y + height / 2), "click", "1"}),
                  0);
        test::pumpEvents(700ms);
        type({"Down", "Return"});
        locked = app->waitFor("lock info: lock begin reason=menu mode=solidColor .*", 2s);
    }
    ASSERT_TRUE(app->waitFor("lock info: lock begin reason=menu mode=solidColor .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    type({"4", "8", "2", "9"});
    EXPECT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
}

TEST_F(EndToEnd, TheShortcutFromThePreferencesTurnsTheOverlayOn) {
    setUpUser(true);
    Preferences(JsonFileDefaultsStore::standard())
        .setLockHotKey(HotKey{37, {HotKeyModifiers::control | HotKeyModifiers::option}}); // ⌃⌥L
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("input info: hotkey registered ⌃⌥L")) << app->transcript();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    type({"ctrl+alt+l"});
    ASSERT_TRUE(app->waitFor("lock info: lock begin reason=hotkey .*")) << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*")) << app->transcript();
    type({"4", "8", "2", "9"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
    // A changed preference is followed at once (the running program sees the file change at
    // its next read, which the periodic refresh makes within seconds).
    Preferences(JsonFileDefaultsStore::standard()).setLockHotKey(std::nullopt);
}

TEST_F(EndToEnd, SettingsFromTheTrayChangeTheModeAndTheShortcut) {
    setUpUser(true);
    Preferences(JsonFileDefaultsStore::standard()).setOverlayContentMode(OverlayContentMode::liveTint);
    auto tray = startTray();
    app = std::make_unique<App>();
    ASSERT_TRUE(app->waitFor("ui info: launched pid=.*")) << app->transcript();
    // Every step waits for what it needs (the icon in the tray, the menu open, the window
    // focused), never for a guessed time, so a busy machine only makes it slower.
    const int pid = app->process().pid();
    QRect panel;
    ASSERT_TRUE(test::waitUntil([&] { return (panel = trayPanel()).x() >= 0; }, 20s))
        << "the icon is in the tray";
    std::size_t windowsBefore = 0;
    ASSERT_TRUE(test::waitUntil([&] { return (windowsBefore = visibleWindowsOf(pid)) > 0; }, 20s))
        << "the icon's window is shown";

    // Tray menu › Settings… (second to last item).
    std::optional<std::string> window;
    for (int attempt = 0; attempt < 5 && !window; ++attempt) {
        ASSERT_EQ(test::run({"xdotool", "mousemove", std::to_string(panel.right() - 11),
                             std::to_string(panel.center().y()), "click", "1"}),
                  0);
        if (!test::waitUntil([&] { return visibleWindowsOf(pid) > windowsBefore; }, 10s))
            continue; // the click came before the icon could take it: click again
        type({"Up", "Up", "Return"});
        test::waitUntil([&] { return (window = settingsShowing("General")).has_value(); }, 20s);
    }
    ASSERT_TRUE(window) << "the settings window opens on the General tab\n" << app->transcript();
    EXPECT_EQ(Preferences(JsonFileDefaultsStore::standard()).settingsWindowPlacement(), std::nullopt)
        << "opening the window does not remember where it was put";
    // Moved onto the right display by someone else than the program: that is remembered.
    ASSERT_EQ(test::run({"xdotool", "windowmove", "--sync", *window, "2200", "150"}), 0);
    EXPECT_TRUE(test::waitUntil(
        [] {
            auto placement = Preferences(JsonFileDefaultsStore::standard()).settingsWindowPlacement();
            return placement && placement->frame.x == 2200 && placement->visibleFrame.x == 1920 &&
                   placement->screenID != 0;
        },
        20s));
    ASSERT_EQ(test::run({"xdotool", "windowfocus", "--sync", *window}), 0);
    ASSERT_TRUE(test::waitUntil([&] { return focusedWindow() == window; }, 10s))
        << "the keys go to the window";

    // Sidebar › Overlay, then the "Show" picker one step down: Solid Color. Keys reach the window
    // in the order they were typed, so each waits only for what the test looks at.
    type({"Down"});
    ASSERT_TRUE(test::waitUntil([] { return settingsShowing("Overlay").has_value(); }, 20s))
        << "the title follows the tab";
    type({"Tab", "Down"});
    ASSERT_TRUE(test::waitUntil(
        [] {
            return Preferences(JsonFileDefaultsStore::standard()).overlayContentMode() ==
                   OverlayContentMode::solidColor;
        },
        20s));

    // Another program holds Ctrl+Alt+J when Num Lock is on: with Num Lock off the chord reaches the
    // window, but it could not be registered for every lock state.
    xcb_connection_t* other = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(other));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
    const std::uint16_t ctrlAltNumLock = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_2;
    ASSERT_EQ(xcb_request_check(other, xcb_grab_key_checked(other, 1, root, ctrlAltNumLock, 44 /* J */,
                                                            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)),
              nullptr);

    // Back to General; Tab to the shortcut (after the idle picker), Space to record, then the chord.
    type({"shift+Tab", "Up"});
    ASSERT_TRUE(test::waitUntil([] { return settingsShowing("General").has_value(); }, 20s));
    type({"Tab", "Tab", "space"});
    type({"ctrl+alt+j"});
    ASSERT_TRUE(app->waitFor("input error: hotkey register failed status=10 key=⌃⌥J", 30s))
        << app->transcript();
    EXPECT_EQ(Preferences(JsonFileDefaultsStore::standard()).lockHotKey(), std::nullopt)
        << "a shortcut another program holds is not stored";
    xcb_disconnect(other);
    type({"ctrl+alt+k"});
    ASSERT_TRUE(app->waitFor("input info: hotkey registered ⌃⌥K", 30s)) << app->transcript();
    EXPECT_EQ(Preferences(JsonFileDefaultsStore::standard()).lockHotKey(),
              (HotKey{40, {HotKeyModifiers::control | HotKeyModifiers::option}}));

    // The new shortcut turns the overlay on, in the chosen mode, on both displays.
    type({"ctrl+alt+k"});
    ASSERT_TRUE(app->waitFor("lock info: lock begin reason=hotkey mode=solidColor .*", 30s))
        << app->transcript();
    ASSERT_TRUE(app->waitFor("lock info: locked in background .*", 30s)) << app->transcript();
    EXPECT_TRUE(test::waitUntil(
        [] { return share(X11ScreenCapture::captureRegion(QRect(0, 0, 3840, 1080)), magenta) == 1.0; }, 20s))
        << "a solid colour covers both displays";
    EXPECT_FALSE(settingsShowing("General")) << "turning the overlay on closes the settings";
    type({"4", "8", "2", "9"});
    EXPECT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*", 30s)) << app->transcript();
}

TEST_F(EndToEnd, TheLoginPasswordIsOfferedAndUnlocksWhenPamCanCheckIt) {
    setUpUser(true);
    test::PamTestService pam; // pam_wrapper for the program and its password helper
    pam.writeService();
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background tap=true .*")) << app->transcript();
    EXPECT_TRUE(app->saw("auth info: login password service=tolva-screen")) << app->transcript();
    ASSERT_EQ(test::run({"xdotool", "mousemove", "960", "300"}), 0);
    type({"x"});
    ASSERT_TRUE(app->waitFor("lock info: taking foreground: input .*")) << app->transcript();
    // A letter typed is a password already: the title asks for it, the note stays quiet. With
    // nothing typed the note offers it.
    type({"BackSpace"});
    EXPECT_TRUE(test::waitUntil([] { return inkPixels(leftPanelNote) > 50; }))
        << "the panel shows the password note";
    ASSERT_EQ(test::run({"xdotool", "type", "--delay", "30", test::PamTestService::password}), 0);
    type({"Return"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=login password via (tap|window) after \\d+s"))
        << app->transcript();
    EXPECT_TRUE(app->saw("auth info: login password accepted in \\d+\\.\\d{3}s")) << app->transcript();
}

TEST_F(EndToEnd, NoPasswordNoteWithoutAPamService) {
    setUpUser(true);
    test::PamTestService pam; // an empty service folder: the login password cannot be checked
    app = std::make_unique<App>(std::vector<std::string>{"--lock-in", "0"});
    ASSERT_TRUE(app->waitFor("lock info: locked in background tap=true .*")) << app->transcript();
    EXPECT_TRUE(app->saw("auth error: login password unavailable: no PAM service tolva-screen or login"))
        << app->transcript();
    ASSERT_EQ(test::run({"xdotool", "mousemove", "960", "300"}), 0);
    type({"x"});
    ASSERT_TRUE(app->waitFor("lock info: taking foreground: input .*")) << app->transcript();
    EXPECT_TRUE(test::waitUntil([] { return inkPixels(leftPanelStatus) > 50; })) << "the panel is up";
    test::pumpEvents(300ms);
    EXPECT_LT(inkPixels(leftPanelNote), 5) << "no note under the dots";
    type({"Return"});
    ASSERT_TRUE(app->waitFor("auth info: auth rejected via (tap|window) failures=1 lockout=0s"))
        << app->transcript();
    EXPECT_FALSE(app->saw(".*login password (accepted|rejected).*")) << "nothing was sent to PAM";
    type({"4", "8", "2", "9"});
    ASSERT_TRUE(app->waitFor("lock info: unlocked reason=PIN via .*")) << app->transcript();
}
