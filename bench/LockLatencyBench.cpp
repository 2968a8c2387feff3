// Lock and unlock latency of the running program, seen from another X client: the time from
// the hot key press (sent with XTest) until the keyboard is grabbed and every display is
// covered, from the last PIN digit until the focused window can receive keys again, and from
// another client unmapping an overlay window until its display is covered again; and, once,
// from killing the locked program until its guard covers every display and holds the keyboard;
// and the program's resident memory fresh, while locked and after each unlock.
//
//   tolva-bench-lock TOLVA_SCREEN_BINARY RUNS
// Runs inside a test session (scripts/bench lock starts one).
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/Preferences.h"
#include "overlay/ImageStore.h"
#include "platform/KeyTranslation.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"

#include <QCoreApplication>
#include <QImage>
#include <QPainter>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

using namespace tolva;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

struct Bench {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_window_t victim = XCB_NONE;

    void open() {
        c = xcb_connect(nullptr, nullptr);
        screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        victim = xcb_generate_id(c);
        const std::uint32_t values[] = {XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_KEY_PRESS};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, victim, screen->root, 50, 50, 200, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK, values);
        xcb_map_window(c, victim);
        const std::uint32_t rootMask[] = {XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
        xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, rootMask);
        // A plain desktop colour, so that no uncovered pixel is mistaken for a black cover.
        const std::uint32_t desktop[] = {0x336699};
        xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXEL, desktop);
        xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
        xcb_flush(c);
        usleep(100000);
        focusVictim();
    }
    void focusVictim() {
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, victim, XCB_CURRENT_TIME);
        sync();
        drain();
    }
    void sync() { free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }
    void drain() {
        while (auto* e = xcb_poll_for_event(c))
            free(e);
    }
    void key(std::uint8_t keycode, bool press) {
        xcb_test_fake_input(c, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE,
                            0, 0, 0);
    }
    void tap(std::uint8_t keycode) {
        key(keycode, true);
        key(keycode, false);
        xcb_flush(c);
    }
    std::uint32_t pixel(int x, int y) {
        auto* reply = xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, x, y, 1, 1, ~0u), nullptr);
        std::uint32_t value = 0;
        if (reply) {
            value = *reinterpret_cast<std::uint32_t*>(xcb_get_image_data(reply)) & 0xFFFFFF;
            free(reply);
        }
        return value;
    }
};

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Memory of a process, in MiB: resident in all (most of it the shared libraries' pages, which
// every Qt program maps) and its own (anonymous: heap, buffers, images).
struct Memory {
    double resident = -1, own = -1;
};
Memory memoryOf(pid_t pid) {
    Memory m;
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.rfind("Rss:", 0) == 0)
            m.resident = std::atof(line.c_str() + 4) / 1024.0;
        else if (line.rfind("Anonymous:", 0) == 0)
            m.own = std::atof(line.c_str() + 10) / 1024.0;
    }
    return m;
}

// Where a process's memory is, for a closer look: TOLVA_BENCH_SMAPS=prefix keeps its map as
// prefix-when.
void keepMemoryMap(pid_t pid, const std::string& when) {
    const char* prefix = std::getenv("TOLVA_BENCH_SMAPS");
    if (!prefix)
        return;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::ofstream out(std::string(prefix) + "-" + when);
    out << in.rdbuf();
}

// A photograph-sized picture (2560 × 1440 JPEG) far from the desktop's colour.
std::string importedPicture() {
    QImage image(2560, 1440, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient gradient(0, 0, 2560, 1440);
    gradient.setColorAt(0, QColor(200, 40, 30));
    gradient.setColorAt(1, QColor(240, 200, 20));
    p.fillRect(image.rect(), gradient);
    for (int i = 0; i < 40; ++i)
        p.fillRect(QRect(i * 64, (i * 97) % 1300, 50, 120), QColor(20, 120 + i * 3, 40));
    p.end();
    const auto path = std::filesystem::temp_directory_path() / "tolva-bench-picture.jpg";
    image.save(QString::fromStdString(path.string()), "JPEG", 90);
    auto name = ImageStore::importImage(path);
    std::filesystem::remove(path);
    return name;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TOLVA_SCREEN_BINARY RUNS\n", argv[0]);
        return 2;
    }
    const int runs = std::atoi(argv[2]);
    QCoreApplication qt(argc, argv); // image plug-ins for the picture
    std::string why;
    auto keychain = SecretServiceKeychainBackend::connect(&why);
    if (!keychain) {
        std::fprintf(stderr, "no Secret Service: %s\n", why.c_str());
        return 1;
    }
    KeychainPinStore("org.tolva.Screen.pin", "pin", keychain).save(PinHasher::makeRecord("4829"));
    Preferences prefs(JsonFileDefaultsStore::standard());
    prefs.setHasCompletedOnboarding(true);
    prefs.setAnimations({});
    prefs.setOverlayColor(SRGBColor(1, 0, 1));
    prefs.setLockHotKey(HotKey{37, {HotKeyModifiers::control | HotKeyModifiers::option}}); // ⌃⌥L
    prefs.setOverlayImageFileName(importedPicture());

    pid_t app = 0;
    char* appArgv[] = {argv[1], nullptr};
    setenv("TOLVA_LOG_STDERR", "1", 1);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    // The program's log goes to TOLVA_BENCH_LOG when that names a file.
    const char* logFile = std::getenv("TOLVA_BENCH_LOG");
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, logFile ? logFile : "/dev/null",
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&app, argv[1], &quiet, nullptr, appArgv, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[1]);
        return 1;
    }
    sleep(2); // start-up
    const Memory fresh = memoryOf(app);
    keepMemoryMap(app, "fresh");
    Memory lockedMost;
    std::string lockedMostMode;
    std::vector<std::pair<std::string, Memory>> afterUnlock;

    Bench bench;
    bench.open();
    const std::uint8_t ctrl = 37, alt = 64, l = *KeyTranslation::xKeycode(37);
    const std::uint8_t digits[] = {*KeyTranslation::xKeycode(21), *KeyTranslation::xKeycode(28),
                                   *KeyTranslation::xKeycode(19), *KeyTranslation::xKeycode(25)}; // 4 8 2 9

    std::printf("%-10s %14s %14s %16s %12s %12s\n", "mode", "grab (ms)", "covered (ms)", "lock (ms)",
                "unlock (ms)", "repair (ms)");
    for (OverlayContentMode mode : {OverlayContentMode::solidColor, OverlayContentMode::liveTint,
                                    OverlayContentMode::image, OverlayContentMode::snapshot}) {
        prefs.setOverlayContentMode(mode);
        sleep(1); // the program prepares what the mode shows
        std::vector<double> grabs, covers, locks, unlocks, repairs;
        for (int run = 0; run < runs; ++run) {
            bench.focusVictim();
            const std::uint32_t before = bench.pixel(960, 540);
            const auto start = Clock::now();
            bench.key(ctrl, true);
            bench.key(alt, true);
            bench.key(l, true);
            bench.key(l, false);
            bench.key(alt, false);
            bench.key(ctrl, false);
            xcb_flush(bench.c);
            // Several grabs come and go (the shortcut's own passive grab, a probe for other grabs);
            // the lock's grab is the one that is still held once the displays are covered.
            std::optional<Clock::time_point> grabbed, covered, currentGrab;
            int mapped = 0;
            xcb_window_t firstOverlay = XCB_NONE;
            const auto deadline = start + std::chrono::seconds(5);
            while (!grabbed && Clock::now() < deadline) {
                if (covered && currentGrab &&
                    Clock::now() - std::max(*covered, *currentGrab) > std::chrono::milliseconds(100))
                    grabbed = currentGrab;
                while (auto* e = xcb_poll_for_event(bench.c)) {
                    const auto type = e->response_type & 0x7F;
                    if (type == XCB_FOCUS_IN &&
                        reinterpret_cast<xcb_focus_in_event_t*>(e)->mode == XCB_NOTIFY_MODE_UNGRAB)
                        currentGrab.reset();
                    if (type == XCB_FOCUS_OUT &&
                        reinterpret_cast<xcb_focus_out_event_t*>(e)->mode == XCB_NOTIFY_MODE_GRAB)
                        currentGrab = Clock::now();
                    // An overlay window shows up mapped on the root, or (opaque ones) moving into
                    // the composite overlay window, inside which it is then mapped at once.
                    xcb_window_t overlay = XCB_NONE;
                    if (type == XCB_MAP_NOTIFY &&
                        reinterpret_cast<xcb_map_notify_event_t*>(e)->override_redirect)
                        overlay = reinterpret_cast<xcb_map_notify_event_t*>(e)->window;
                    if (type == XCB_REPARENT_NOTIFY &&
                        reinterpret_cast<xcb_reparent_notify_event_t*>(e)->parent != bench.screen->root)
                        overlay = reinterpret_cast<xcb_reparent_notify_event_t*>(e)->window;
                    if (overlay != XCB_NONE) {
                        ++mapped;
                        if (firstOverlay == XCB_NONE)
                            firstOverlay = overlay;
                    }
                    free(e);
                }
                usleep(200);
                if (!covered && mapped >= 2) {
                    // Painted: the centre of each display shows the overlay (a snapshot looks
                    // like the screen, so there being mapped is all one can see).
                    if (mode == OverlayContentMode::snapshot ||
                        (bench.pixel(960, 540) != before && bench.pixel(2880, 540) != before))
                        covered = Clock::now();
                }
            }
            if (!grabbed || !covered) {
                std::fprintf(stderr, "run %d of %s: no lock seen\n", run,
                             std::string(mode.rawValue()).c_str());
                continue;
            }
            grabs.push_back(ms(start, *grabbed));
            covers.push_back(ms(start, *covered));
            locks.push_back(ms(start, std::max(*grabbed, *covered)));
            usleep(100000);
            if (const Memory locked = memoryOf(app); locked.resident > lockedMost.resident) {
                lockedMost = locked;
                lockedMostMode = std::string(mode.rawValue());
            }
            // Another client unmaps the first overlay window: time until its display is covered.
            if (mode == OverlayContentMode::solidColor && firstOverlay != XCB_NONE) {
                const std::uint32_t cover = bench.pixel(960, 540);
                const auto unmapped = Clock::now();
                xcb_unmap_window(bench.c, firstOverlay);
                bench.sync(); // the server has unmapped it: from here the display may show
                while (Clock::now() - unmapped < std::chrono::seconds(2)) {
                    if (bench.pixel(960, 540) == cover && bench.pixel(2880, 540) == cover) {
                        repairs.push_back(ms(unmapped, Clock::now()));
                        break;
                    }
                    usleep(100);
                }
                bench.drain();
            }
            for (int i = 0; i < 3; ++i) {
                bench.tap(digits[i]);
                usleep(30000);
            }
            bench.drain();
            const auto last = Clock::now();
            bench.tap(digits[3]);
            std::optional<Clock::time_point> released;
            const auto unlockDeadline = last + std::chrono::seconds(5);
            while (!released && Clock::now() < unlockDeadline) {
                // Input reaches the window again once it has the focus and nobody grabs the keyboard:
                // probe with a real grab attempt of our own, given back at once.
                while (auto* e = xcb_poll_for_event(bench.c))
                    free(e);
                auto* focus = xcb_get_input_focus_reply(bench.c, xcb_get_input_focus(bench.c), nullptr);
                const bool ours = focus && focus->focus == bench.victim;
                free(focus);
                if (ours) {
                    auto* grab =
                        xcb_grab_keyboard_reply(bench.c,
                                                xcb_grab_keyboard(bench.c, 0, bench.victim, XCB_CURRENT_TIME,
                                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                                nullptr);
                    if (grab && grab->status == XCB_GRAB_STATUS_SUCCESS) {
                        released = Clock::now();
                        xcb_ungrab_keyboard(bench.c, XCB_CURRENT_TIME);
                        xcb_flush(bench.c);
                    }
                    free(grab);
                }
                usleep(200);
            }
            if (released)
                unlocks.push_back(ms(last, *released));
            usleep(300000); // let the windows go
        }
        afterUnlock.emplace_back(std::string(mode.rawValue()), memoryOf(app));
        // Where the memory is, for a closer look: TOLVA_BENCH_SMAPS=prefix keeps the map of
        // the program's memory after each mode.
        keepMemoryMap(app, std::string(mode.rawValue()));
        std::printf("%-10s %14.2f %14.2f %16.2f %12.2f %12s   (medians of %zu runs)\n",
                    std::string(mode.rawValue()).c_str(), median(grabs), median(covers), median(locks),
                    median(unlocks),
                    repairs.empty() ? "-" : std::to_string(median(repairs)).substr(0, 5).c_str(),
                    locks.size());
    }
    std::printf(
        "memory, resident (own) MiB: fresh %.1f (%.1f), locked at most %.1f (%.1f) in %s, after unlocking",
        fresh.resident, fresh.own, lockedMost.resident, lockedMost.own, lockedMostMode.c_str());
    for (const auto& [mode, m] : afterUnlock)
        std::printf(" %s %.1f (%.1f)", mode.c_str(), m.resident, m.own);
    std::printf("\n");
    // The program dies while locked: time until every display is covered again and the keyboard
    // is held, by the guard it left behind.
    prefs.setOverlayContentMode(OverlayContentMode::solidColor);
    std::vector<double> guarded;
    bench.focusVictim();
    const std::uint32_t uncovered = bench.pixel(960, 540);
    bench.key(ctrl, true);
    bench.key(alt, true);
    bench.tap(l);
    bench.key(alt, false);
    bench.key(ctrl, false);
    xcb_flush(bench.c);
    for (auto until = Clock::now() + std::chrono::seconds(5);
         Clock::now() < until && (bench.pixel(960, 540) == uncovered || bench.pixel(2880, 540) == uncovered);)
        usleep(1000);
    usleep(300000);
    const auto death = Clock::now();
    kill(app, SIGKILL);
    waitpid(app, nullptr, 0);
    std::optional<Clock::time_point> covered, held;
    while ((!covered || !held) && Clock::now() - death < std::chrono::seconds(2)) {
        if (!covered && bench.pixel(960, 540) == 0 && bench.pixel(2880, 540) == 0)
            covered = Clock::now();
        if (!held) {
            auto* grab =
                xcb_grab_keyboard_reply(bench.c,
                                        xcb_grab_keyboard(bench.c, 0, bench.screen->root, XCB_CURRENT_TIME,
                                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                        nullptr);
            if (grab && grab->status == XCB_GRAB_STATUS_SUCCESS) {
                xcb_ungrab_keyboard(bench.c, XCB_CURRENT_TIME); // not ours to keep
                bench.sync();
            } else if (grab && grab->status == XCB_GRAB_STATUS_ALREADY_GRABBED && covered) {
                held = Clock::now(); // by the guard: the program's own grab died with it
            }
            free(grab);
        }
        usleep(200);
    }
    std::printf("guard after the program was killed: covered %.2f ms, keyboard held %.2f ms\n",
                covered ? ms(death, *covered) : -1.0, held ? ms(death, *held) : -1.0);
    // The program started again by the guard ends with the test session.
    return 0;
}
