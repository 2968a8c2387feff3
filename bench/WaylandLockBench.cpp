// Lock and unlock latency of the running program on a Wayland compositor (headless sway), seen
// from another client: the time from the D-Bus Lock() call until an ordinary window loses the
// keyboard and until the program has seen every output's cover on screen, and from the last
// PIN digit until the window has the keyboard again (the key derivation included); the CPU the
// program and its guard use while locked; and, in a few rounds of killing the locked program,
// how many pictures of the outputs showed the desktop before the guard's restart took the lock
// back.
//
//   tolva-bench-wayland-lock TOLVA_SCREEN_BINARY RUNS
// Runs with the test session's bus and keyring and TOLVA_WAYLAND_SESSION naming a
// scripts/wayland-session folder (scripts/bench lock starts both).
#include "ProcessCpu.h"
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/Preferences.h"
#include "kwin/KWinTestSupport.h"
#include "log/Log.h"
#include "platform/QtScheduler.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"
#include "platform/wayland/WaylandOverlay.h"
#include "support/ChildProcess.h"
#include "support/PlainLook.h"
#include "wayland/WaylandTestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>

#include <linux/input-event-codes.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace tolva;
using namespace tolva::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The program's log, line by line, with the time each line arrived.
class Program {
public:
    // Started locked: a start that turns the overlay on opens no window (the offscreen Qt
    // platform would make a window of ours the active one for good, and the keys its).
    explicit Program(const std::string& binary) : child_({binary, "--lock"}, true) {}

    // Waits for a line matching `pattern` (lines before it are kept in the transcript); the time
    // it arrived.
    std::optional<Clock::time_point> waitFor(const std::string& pattern,
                                             std::chrono::milliseconds timeout = 15s) {
        const std::regex wanted(pattern);
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            for (; seen_ < lines_.size(); ++seen_)
                if (std::regex_match(lines_[seen_].first, wanted)) {
                    matched_ = lines_[seen_].first;
                    return lines_[seen_++].second;
                }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left <= 0ms)
                return std::nullopt;
            if (auto line = child_.readLine(std::min<std::chrono::milliseconds>(left, 20ms)))
                lines_.emplace_back(*line, Clock::now());
        }
    }
    // Every line since `since` that matches `pattern`, with the time it arrived.
    std::vector<std::pair<std::string, Clock::time_point>> linesSince(const std::string& pattern,
                                                                      Clock::time_point since) const {
        const std::regex wanted(pattern);
        std::vector<std::pair<std::string, Clock::time_point>> found;
        for (const auto& line : lines_)
            if (line.second >= since && std::regex_match(line.first, wanted))
                found.push_back(line);
        return found;
    }
    // Every line of `pattern` that arrived since `since`.
    std::vector<Clock::time_point> arrivals(const std::string& pattern, Clock::time_point since) const {
        const std::regex wanted(pattern);
        std::vector<Clock::time_point> times;
        for (const auto& [text, at] : lines_)
            if (at >= since && std::regex_match(text, wanted))
                times.push_back(at);
        return times;
    }
    std::string tail() const {
        std::string text;
        for (std::size_t i = lines_.size() > 30 ? lines_.size() - 30 : 0; i < lines_.size(); ++i)
            text += lines_[i].first + "\n";
        return text;
    }
    // Turns the event loop and reads the program's lines together until `done`, so that each line
    // is timed as it comes and not when a wait for something else ends.
    bool driveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!done()) {
            if (Clock::now() >= deadline)
                return done();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            if (auto line = child_.readLine(1ms, false))
                lines_.emplace_back(*line, Clock::now());
        }
        return true;
    }
    ChildProcess& process() { return child_; }
    // The line the last successful waitFor found.
    const std::string& matched() const { return matched_; }

private:
    std::string matched_;
    ChildProcess child_;
    std::vector<std::pair<std::string, Clock::time_point>> lines_;
    std::size_t seen_ = 0;
};

// The compositor's process (the one sway of the bench's session).
std::optional<pid_t> compositorPid() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        if (comm >> name && name == "sway")
            return pid_t(std::atoi(entry.path().filename().c_str()));
    }
    return std::nullopt;
}

// Percent of a core each process used over `duration` (the event loop turning meanwhile).
std::vector<double> cpuPercent(const std::vector<pid_t>& pids, std::chrono::milliseconds duration) {
    std::vector<double> before;
    for (pid_t pid : pids)
        before.push_back(bench::cpuSeconds(pid));
    const auto start = Clock::now();
    driveUntil([] { return false; }, duration);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> percent;
    for (std::size_t i = 0; i < pids.size(); ++i)
        percent.push_back(100.0 * (bench::cpuSeconds(pids[i]) - before[i]) / seconds);
    return percent;
}

// The compositor's floor: the overlay alone, in this process, its surfaces made beforehand and a
// colour mapped on them; the time from asking to the first frame of the last output, each run.
std::vector<double> coverFloor(int runs) {
    auto connection = WaylandConnection::connect();
    if (!connection)
        return {};
    QtScheduler scheduler;
    const auto quiet = Log::sink();
    Log::setSink(std::make_shared<CaptureLogSink>());
    std::vector<double> floor;
    {
        WaylandOverlay overlay(connection, scheduler);
        overlay.setInhibitsInput(true);
        std::map<std::string, double> shown;
        overlay.onCoverShown = [&](const std::string& output, std::chrono::microseconds elapsed) {
            shown[output] = elapsed.count() / 1000.0;
        };
        overlay.setPrepares(true);
        const std::size_t outputs = overlay.outputs().size();
        for (int run = 0; run < runs; ++run) {
            driveUntil([] { return false; }, 200ms); // made and configured
            shown.clear();
            if (!overlay.cover(CoverContent::solid(QColor(25, 25, 25))) ||
                !driveUntil([&] { return shown.size() == outputs; }, 5s))
                break;
            double last = 0;
            for (const auto& [output, ms] : shown)
                last = std::max(last, ms);
            floor.push_back(last);
            overlay.uncover();
        }
    }
    Log::setSink(quiet);
    return floor;
}

void askToLock() {
    QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
        QStringLiteral("org.tolva.Screen"), QStringLiteral("/org/tolva/Screen"),
        QStringLiteral("org.tolva.Screen"), QStringLiteral("Lock")));
}

// Escape (which only clears the entry) until the program notes a key, then the PIN; the time
// the last digit went.
std::optional<Clock::time_point> typePin(Program& program, VirtualKeyboard& keyboard) {
    const auto deadline = Clock::now() + 15s;
    while (!program.waitFor("lock info: taking foreground: input key:tap", 300ms)) {
        if (Clock::now() > deadline)
            return std::nullopt;
        keyboard.tap(KEY_ESC);
    }
    for (std::uint32_t key : {KEY_4, KEY_8, KEY_2, KEY_9})
        keyboard.tap(key);
    return Clock::now();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TOLVA_SCREEN_BINARY RUNS\n", argv[0]);
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[2]));
    if (!enterWaylandSession()) {
        std::fprintf(stderr, "TOLVA_WAYLAND_SESSION names no Wayland session\n");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("TOLVA_LOG_STDERR", "1", 1);
    ::setenv("XDG_SESSION_TYPE", "wayland", 1);
    ::unsetenv("DISPLAY");

    std::string why;
    auto keychain = SecretServiceKeychainBackend::connect(&why);
    if (!keychain) {
        std::fprintf(stderr, "no Secret Service: %s\n", why.c_str());
        return 1;
    }
    KeychainPinStore pins("org.tolva.Screen.pin", "pin", keychain);
    pins.save(PinHasher::makeRecord("4829"));
    usePlainLook(SRGBColor(0.1, 0.1, 0.1));

    KeyLoggingWindow window;
    VirtualKeyboard keyboard;
    if (!keyboard.isReady() || !driveUntil([&] { return window.isMapped() && window.hasKeyboardFocus(); })) {
        std::fprintf(stderr, "the compositor gave no window or keyboard\n");
        return 1;
    }

    const auto floor = coverFloor(runs);
    if (floor.empty()) {
        std::fprintf(stderr, "the overlay alone did not cover\n");
        return 1;
    }

    Program program(argv[1]);
    if (!program.waitFor("lock info: locked in background .*", 30s) || !typePin(program, keyboard) ||
        !program.waitFor("lock info: unlocked reason=PIN via tap.*")) {
        std::fprintf(stderr, "the program did not start locked and open:\n%s", program.tail().c_str());
        return 1;
    }
    int programPid = program.process().pid();

    std::vector<double> held, covered, unlocked;
    double programCpu = 0, guardCpu = 0, compositorCpu = 0;
    std::optional<int> guardPid;
    for (int run = 0; run < runs; ++run) {
        driveUntil([&] { return window.hasKeyboardFocus(); }, 5s);
        // A lock starts from a desktop at rest, not within the frame that showed it again after
        // the last unlock (the compositor would draw the cover only on the frame after that).
        driveUntil([] { return false; }, 200ms);
        const auto asked = Clock::now();
        askToLock();
        // Every line and event timed as it comes: the keyboard gone from the window, and the
        // program telling each output's first frame shown.
        const std::string coveredLine = "lock info: Wayland: .* covered after .*";
        const bool seen = program.driveUntil(
            [&] {
                return window.lastLeave() && *window.lastLeave() >= asked && !window.hasKeyboardFocus() &&
                       program.arrivals(coveredLine, asked).size() >= 2;
            },
            5s);
        const auto shown = program.arrivals(coveredLine, asked);
        if (!seen || !program.waitFor("lock info: locked in background .*")) {
            std::fprintf(stderr, "run %d: no lock seen\n%s", run, program.tail().c_str());
            return 1;
        }
        held.push_back(milliseconds(*window.lastLeave() - asked));
        // The program reads the news of a frame when its lock's work lets it; the lines say when
        // the compositor drew the frame, counted from the moment the program asked for the cover.
        const auto asking = program.linesSince("lock info: Wayland: covering .*", asked);
        double drawn = 0;
        for (const auto& [text, at] : program.linesSince(coveredLine, asked)) {
            std::smatch number;
            if (std::regex_search(text, number, std::regex("covered after ([0-9.]+) ms")))
                drawn = std::max(drawn, std::stod(number[1]));
        }
        covered.push_back(asking.empty() ? milliseconds(*std::max_element(shown.begin(), shown.end()) - asked)
                                         : milliseconds(asking.front().second - asked) + drawn);

        if (run == 0) {
            // The CPU of the program and its guard over three seconds of an idle lock.
            program.waitFor("lock info: guard: covering beneath the lock", 5s);
            // (The kernel keeps the first 15 characters of a process's name.)
            const std::string guardName = std::string("tolva-screen-guard-wayland").substr(0, 15);
            for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
                std::ifstream comm(entry.path() / "comm");
                std::string name;
                if (comm >> name && name == guardName)
                    guardPid = std::atoi(entry.path().filename().c_str());
            }
            const auto used = cpuPercent({programPid, guardPid.value_or(0), compositorPid().value_or(0)}, 3s);
            programCpu = used[0];
            guardCpu = guardPid ? used[1] : 0;
            compositorCpu = used[2];
        }

        const auto lastDigit = typePin(program, keyboard);
        if (!lastDigit || !program.waitFor("lock info: unlocked reason=PIN via tap.*") ||
            !driveUntil([&] { return window.hasKeyboardFocus(); }, 5s)) {
            std::fprintf(stderr, "run %d: the PIN did not unlock\n%s", run, program.tail().c_str());
            return 1;
        }
        unlocked.push_back(milliseconds(*window.lastEnter() - *lastDigit));
    }
    std::printf("%-24s %14s %14s %24s\n", "", "keyboard (ms)", "covered (ms)", "unlock (ms, with the KDF)");
    std::printf("%-24s %14.2f %14.2f %24.2f   (medians of %d runs)\n", "lock by D-Bus, solid", median(held),
                median(covered), median(unlocked), runs);
    std::printf("%-24s %14s %14.2f   (surfaces made beforehand, a colour mapped on them in one\n"
                "%-24s %14s %14s    process: the compositor's next frame, the least any cover waits)\n",
                "floor", "", median(floor), "", "", "");
    std::printf("CPU while locked: program %.2f %% of a core, guard %.2f %%, sway %.2f %%\n", programCpu,
                guardCpu, compositorCpu);

    // Killed while locked: pictures as fast as grim gives them until the restarted program has
    // the lock back; none may show the desktop.
    const QColor desktop = sessionBackground();
    int pictures = 0, bare = 0;
    std::vector<double> resumed;
    for (int round = 0; round < 3; ++round) {
        driveUntil([&] { return window.hasKeyboardFocus(); }, 5s);
        askToLock();
        if (!program.waitFor("lock info: locked in background .*") ||
            !program.waitFor("lock info: guard: covering beneath the lock", 5s)) {
            std::fprintf(stderr, "kill round %d: no lock seen\n%s", round, program.tail().c_str());
            return 1;
        }
        ::kill(programPid, SIGKILL);
        const auto killed = Clock::now();
        while (Clock::now() < killed + 1500ms) {
            for (const char* output : {"HEADLESS-1", "HEADLESS-2"}) {
                const QImage picture = screenshot(output);
                if (picture.isNull())
                    continue;
                ++pictures;
                bool showsDesktop = false;
                for (int y = 0; y < picture.height() && !showsDesktop; y += 16)
                    for (int x = 0; x < picture.width() && !showsDesktop; x += 16)
                        showsDesktop = picture.pixelColor(x, y).rgb() == desktop.rgb();
                bare += showsDesktop;
            }
        }
        const auto back = program.waitFor("lock info: lock resumed after restart.*", 20s);
        if (!back || !program.waitFor("ui info: launched pid=.*", 20s)) {
            std::fprintf(stderr, "kill round %d: the lock did not come back\n%s", round,
                         program.tail().c_str());
            return 1;
        }
        resumed.push_back(milliseconds(*back - killed));
        programPid = std::atoi(program.matched().c_str() + std::strlen("ui info: launched pid="));
        if (!program.waitFor("lock info: guard: lock handed back to the program", 10s) ||
            !typePin(program, keyboard) || !program.waitFor("lock info: unlocked reason=PIN via tap.*")) {
            std::fprintf(stderr, "kill round %d: the restarted program did not open\n%s", round,
                         program.tail().c_str());
            return 1;
        }
    }
    std::printf("killed while locked: %d of %d pictures showed the desktop; the lock back in %.0f ms (median "
                "of 3)\n",
                bare, pictures, median(resumed));
    // The motion at its strongest: the breathing, which the compositor blends, and with it the
    // drifting gradient, whose frames the program draws and sends; what each costs the program
    // and the compositor.
    ::kill(programPid, SIGTERM);
    driveUntil([&] { return ::kill(programPid, 0) != 0; }, 5s);
    const std::pair<const char*, OverlayAnimationSet> motions[] = {
        {"breathing", {OverlayAnimation::breathing}},
        {"breathing and drifting gradient", {OverlayAnimation::breathing, OverlayAnimation::gradientDrift}}};
    for (const auto& [name, animations] : motions) {
        {
            Preferences prefs(JsonFileDefaultsStore::standard());
            prefs.setAnimationsEnabled(true);
            prefs.setAnimations(animations);
            prefs.setAnimationStrength(AnimationStrength::strong);
        }
        Program moving(argv[1]);
        if (!moving.waitFor("lock info: locked in background .*", 30s)) {
            std::fprintf(stderr, "no lock with the %s\n%s", name, moving.tail().c_str());
            return 1;
        }
        const auto used = cpuPercent({moving.process().pid(), compositorPid().value_or(0)}, 10s);
        std::printf("CPU while locked, %s (strong): program %.2f %% of a core, sway %.2f %%\n", name, used[0],
                    used[1]);
        if (!typePin(moving, keyboard) || !moving.waitFor("lock info: unlocked reason=PIN via tap.*"))
            std::fprintf(stderr, "the PIN did not end the lock with the %s\n%s", name, moving.tail().c_str());
        ::kill(moving.process().pid(), SIGTERM);
        driveUntil([&] { return ::kill(moving.process().pid(), 0) != 0; }, 5s);
    }
    pins.remove();
    return 0;
}
