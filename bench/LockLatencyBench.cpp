// Lock and unlock latency of the running program, seen from another X client: the time from
// the hot key press (sent with XTest) until the keyboard is grabbed and every display is
// covered, from the last PIN digit until the focused window can receive keys again, and from
// another client unmapping an overlay window until its display is covered again; and, once,
// from killing the locked program until its guard covers every display and holds the keyboard;
// and the program's resident memory fresh, while locked and after each unlock. As a floor to read
// these against, the same watch times windows of the bench's own, made beforehand and kept
// unmapped, mapped over both displays at once together with a keyboard grab of its own: no
// program can cover the displays and hold the keyboard sooner on this display server and
// compositing manager. The same again with translucent windows is the floor of the live tint
// where a compositing manager blends it.
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
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace tolva;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

// The two displays, 1920 × 1080 side by side; a cover shows at the centre of each.
constexpr int displayWidth = 1920, displayHeight = 1080;
constexpr std::array<std::pair<int, int>, 2> centres = {{{960, 540}, {2880, 540}}};
using Pixels = std::array<std::uint32_t, 2>; // what the centre of each display shows

struct Bench {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_window_t victim = XCB_NONE;
    std::array<xcb_window_t, 2> premade{}; // the floor's windows, one over each display
    // The same, translucent (32 bits a pixel), which a compositing manager blends over the
    // screen: the floor of the live tint where one runs.
    std::array<xcb_window_t, 2> premadeTranslucent{};

    void open() {
        c = xcb_connect(nullptr, nullptr);
        screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        // A plain desktop colour, so that no uncovered pixel is mistaken for a black cover.
        paintDesktop(0x336699);
        victim = xcb_generate_id(c);
        // A light window: what it shows is its own colour, wherever a window manager puts it.
        const std::uint32_t values[] = {0xdddddd, XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_KEY_PRESS};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, victim, screen->root, 50, 50, 200, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        xcb_map_window(c, victim);
        const std::uint32_t rootMask[] = {XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
        xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, rootMask);
        makePremade(0x00c000);
        makePremadeTranslucent(0x80600000); // red at half, premultiplied
        xcb_flush(c);
        // A window manager maps the window once it has put it in a frame of its own; the focus
        // can only be given to it after that.
        for (auto until = Clock::now() + std::chrono::seconds(2); !viewable(victim) && Clock::now() < until;)
            usleep(1000);
        usleep(100000);
        focusVictim();
    }
    xcb_atom_t atom(const std::string& name) {
        auto* reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(name.size()), name.data()), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
        free(reply);
        return atom;
    }
    bool composited() {
        auto* reply =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom("_NET_WM_CM_S0")), nullptr);
        const bool owned = reply && reply->owner != XCB_NONE;
        free(reply);
        return owned;
    }
    // The colour as the root window's background, and as the tile named in _XROOTPMAP_ID, which
    // is what a compositing manager paints the desktop with (without it some paint it black).
    void paintDesktop(std::uint32_t colour) {
        const xcb_pixmap_t tile = xcb_generate_id(c);
        xcb_create_pixmap(c, screen->root_depth, tile, screen->root, 8, 8);
        const xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, tile, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t all{0, 0, 8, 8};
        xcb_poly_fill_rectangle(c, tile, gc, 1, &all);
        xcb_free_gc(c, gc);
        xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXMAP, &tile);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, screen->root, atom("_XROOTPMAP_ID"), XCB_ATOM_PIXMAP,
                            32, 1, &tile);
        xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
    }
    // The floor's windows: override-redirect, one over each display, filled with the colour by
    // the server itself as they map, so there is nothing left to draw. They are asked to stay
    // composited, as the program asks for its own: a compositing manager may otherwise take a
    // window that fills a monitor out of composition, a different path to the screen.
    void makePremade(std::uint32_t colour) {
        const xcb_atom_t bypass = atom("_NET_WM_BYPASS_COMPOSITOR");
        for (std::size_t i = 0; i < premade.size(); ++i) {
            premade[i] = xcb_generate_id(c);
            const std::uint32_t values[] = {colour, 1};
            xcb_create_window(c, XCB_COPY_FROM_PARENT, premade[i], screen->root,
                              std::int16_t(i * displayWidth), 0, displayWidth, displayHeight, 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                              XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
            const std::uint32_t composited = 2;
            if (bypass != XCB_NONE)
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, premade[i], bypass, XCB_ATOM_CARDINAL, 32, 1,
                                    &composited);
        }
    }
    void makePremadeTranslucent(std::uint32_t premultiplied) {
        xcb_visualid_t visual = XCB_NONE;
        for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem && !visual; xcb_depth_next(&d))
            if (d.data->depth == 32)
                for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
                    if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
                        visual = v.data->visual_id;
                        break;
                    }
        if (!visual)
            return;
        const xcb_colormap_t colormap = xcb_generate_id(c);
        xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap, screen->root, visual);
        const xcb_atom_t bypass = atom("_NET_WM_BYPASS_COMPOSITOR");
        for (std::size_t i = 0; i < premadeTranslucent.size(); ++i) {
            premadeTranslucent[i] = xcb_generate_id(c);
            const std::uint32_t values[] = {premultiplied, 0, 1, colormap};
            xcb_create_window(
                c, 32, premadeTranslucent[i], screen->root, std::int16_t(i * displayWidth), 0, displayWidth,
                displayHeight, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
                XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP, values);
            const std::uint32_t composited = 2;
            if (bypass != XCB_NONE)
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, premadeTranslucent[i], bypass,
                                    XCB_ATOM_CARDINAL, 32, 1, &composited);
        }
        xcb_free_colormap(c, colormap);
    }
    bool viewable(xcb_window_t window) {
        auto* reply = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
        const bool viewable = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
        free(reply);
        return viewable;
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
    Pixels centrePixels() {
        return {pixel(centres[0].first, centres[0].second), pixel(centres[1].first, centres[1].second)};
    }
    // Whether every display shows something else at its centre than it did (each display has
    // its own: a window manager may have put the victim in the middle of one).
    bool changedFrom(const Pixels& before) {
        for (std::size_t i = 0; i < centres.size(); ++i)
            if (pixel(centres[i].first, centres[i].second) == before[i])
                return false;
        return true;
    }
    // Types the PIN, the last digit after a pause; the time from the last digit until the
    // victim can receive keys again (none after 5 s).
    std::optional<double> unlock(const std::array<std::uint8_t, 4>& digits);
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

std::optional<double> Bench::unlock(const std::array<std::uint8_t, 4>& digits) {
    for (int i = 0; i < 3; ++i) {
        tap(digits[i]);
        usleep(30000);
    }
    drain();
    const auto last = Clock::now();
    tap(digits[3]);
    const auto deadline = last + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        // Input reaches the window again once it has the focus and nobody grabs the keyboard:
        // probe with a real grab attempt of our own, given back at once.
        drain();
        auto* focus = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
        const bool ours = focus && focus->focus == victim;
        free(focus);
        if (ours) {
            auto* grab = xcb_grab_keyboard_reply(
                c,
                xcb_grab_keyboard(c, 0, victim, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                nullptr);
            const bool released = grab && grab->status == XCB_GRAB_STATUS_SUCCESS;
            free(grab);
            if (released) {
                const auto at = Clock::now();
                xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
                xcb_flush(c);
                return ms(last, at);
            }
        }
        usleep(200);
    }
    return std::nullopt;
}

// A lock as seen from here: when the keyboard grab that stays began and when every display
// showed the cover; and the first cover window that mapped.
struct Sighting {
    std::optional<Clock::time_point> grabbed, covered;
    xcb_window_t firstOverlay = XCB_NONE;
};

// Watches a lock begun at start (for 5 s at most): override-redirect windows mapping, the centre
// of every display changing from what it showed before, and the victim losing the focus to a
// keyboard grab. Where the cover looks like the screen (painted is false), there being mapped is
// all one can see.
Sighting watchLock(Bench& bench, Clock::time_point start, const Pixels& before, bool painted) {
    // Several grabs come and go (the shortcut's own passive grab, a probe for other grabs); the
    // lock's grab is the one that is still held once the displays are covered.
    Sighting seen;
    std::optional<Clock::time_point> currentGrab;
    int mapped = 0;
    const auto deadline = start + std::chrono::seconds(5);
    while (!seen.grabbed && Clock::now() < deadline) {
        if (seen.covered && currentGrab &&
            Clock::now() - std::max(*seen.covered, *currentGrab) > std::chrono::milliseconds(100))
            seen.grabbed = currentGrab;
        while (auto* e = xcb_poll_for_event(bench.c)) {
            const auto type = e->response_type & 0x7F;
            if (type == XCB_FOCUS_IN &&
                reinterpret_cast<xcb_focus_in_event_t*>(e)->mode == XCB_NOTIFY_MODE_UNGRAB)
                currentGrab.reset();
            if (type == XCB_FOCUS_OUT &&
                reinterpret_cast<xcb_focus_out_event_t*>(e)->mode == XCB_NOTIFY_MODE_GRAB)
                currentGrab = Clock::now();
            // A cover window shows up mapped on the root, or (opaque ones) moving into the
            // composite overlay window, inside which it is then mapped at once.
            xcb_window_t overlay = XCB_NONE;
            if (type == XCB_MAP_NOTIFY && reinterpret_cast<xcb_map_notify_event_t*>(e)->override_redirect)
                overlay = reinterpret_cast<xcb_map_notify_event_t*>(e)->window;
            if (type == XCB_REPARENT_NOTIFY &&
                reinterpret_cast<xcb_reparent_notify_event_t*>(e)->parent != bench.screen->root)
                overlay = reinterpret_cast<xcb_reparent_notify_event_t*>(e)->window;
            if (overlay != XCB_NONE) {
                ++mapped;
                if (seen.firstOverlay == XCB_NONE)
                    seen.firstOverlay = overlay;
            }
            free(e);
        }
        usleep(200);
        if (!seen.covered && mapped >= 2 && (!painted || bench.changedFrom(before)))
            seen.covered = Clock::now();
    }
    return seen;
}

struct Times {
    std::vector<double> grabs, covers, locks;
    void add(Clock::time_point start, const Sighting& seen) {
        grabs.push_back(ms(start, *seen.grabbed));
        covers.push_back(ms(start, *seen.covered));
        locks.push_back(ms(start, std::max(*seen.grabbed, *seen.covered)));
    }
};

// The floor: from the start mark, the keyboard grabbed by the bench itself and the premade
// windows mapped over both displays; then all given back.
Times measureFloor(Bench& bench, int runs, const std::array<xcb_window_t, 2>& premade) {
    Times floor;
    for (int run = 0; run < runs; ++run) {
        bench.focusVictim();
        const Pixels before = bench.centrePixels();
        const auto start = Clock::now();
        // The keyboard first, taken before anything shows; then the windows, raised above every
        // other window (a window manager's frames made since they were would otherwise be above).
        auto* grab =
            xcb_grab_keyboard_reply(bench.c,
                                    xcb_grab_keyboard(bench.c, 0, bench.screen->root, XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr);
        const bool held = grab && grab->status == XCB_GRAB_STATUS_SUCCESS;
        free(grab);
        const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
        for (const xcb_window_t window : premade) {
            xcb_configure_window(bench.c, window, XCB_CONFIG_WINDOW_STACK_MODE, above);
            xcb_map_window(bench.c, window);
        }
        xcb_flush(bench.c);
        const Sighting seen = watchLock(bench, start, before, true);
        xcb_ungrab_keyboard(bench.c, XCB_CURRENT_TIME);
        for (const xcb_window_t window : premade)
            xcb_unmap_window(bench.c, window);
        bench.sync();
        if (held && seen.grabbed && seen.covered)
            floor.add(start, seen);
        else
            std::fprintf(stderr, "run %d of the floor: no lock seen\n", run);
        usleep(300000); // let the windows go
    }
    return floor;
}

// One row of the table: medians in ms, and what is not measured for it as "-".
void printRow(const std::string& name, const Times& times, const std::string& unlock,
              const std::string& repair) {
    std::printf("%-22s %14.2f %14.2f %16.2f %12s %12s   (medians of %zu runs)\n", name.c_str(),
                median(times.grabs), median(times.covers), median(times.locks), unlock.c_str(),
                repair.c_str(), times.locks.size());
}

} // namespace

// A system tray, as on a desktop with a panel: the program docks its icon there (nobody embeds
// it) instead of opening its window for want of a tray, so the runs see the program as users
// with a tray have it. The connection holds the tray's selection until the bench ends.
xcb_connection_t* ownSystemTray() {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t tray = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, tray, screen->root, -1, -1, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber);
    auto* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(name.size()), name.c_str()), nullptr);
    if (atom) {
        xcb_set_selection_owner(c, tray, atom->atom, XCB_CURRENT_TIME);
        free(atom);
    }
    xcb_flush(c);
    return c;
}

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

    xcb_connection_t* tray = ownSystemTray();
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
    const std::array<std::uint8_t, 4> digits = {*KeyTranslation::xKeycode(21), *KeyTranslation::xKeycode(28),
                                                *KeyTranslation::xKeycode(19),
                                                *KeyTranslation::xKeycode(25)}; // 4 8 2 9

    std::printf("%-22s %14s %14s %16s %12s %12s\n", "mode", "grab (ms)", "covered (ms)", "lock (ms)",
                "unlock (ms)", "repair (ms)");
    printRow("floor (premade window)", measureFloor(bench, runs, bench.premade), "-", "-");
    // (Without a compositing manager nothing blends it, and the tint is drawn another way.)
    if (bench.premadeTranslucent.front() != XCB_NONE && bench.composited())
        printRow("floor, translucent", measureFloor(bench, runs, bench.premadeTranslucent), "-", "-");
    for (OverlayContentMode mode : {OverlayContentMode::solidColor, OverlayContentMode::liveTint,
                                    OverlayContentMode::image, OverlayContentMode::snapshot}) {
        prefs.setOverlayContentMode(mode);
        sleep(1); // the program prepares what the mode shows
        Times times;
        std::vector<double> unlocks, repairs;
        for (int run = 0; run < runs; ++run) {
            bench.focusVictim();
            const Pixels before = bench.centrePixels();
            const auto start = Clock::now();
            bench.key(ctrl, true);
            bench.key(alt, true);
            bench.key(l, true);
            bench.key(l, false);
            bench.key(alt, false);
            bench.key(ctrl, false);
            xcb_flush(bench.c);
            // A snapshot looks like the screen, so there being mapped is all one can see of it.
            const Sighting seen = watchLock(bench, start, before, mode != OverlayContentMode::snapshot);
            if (!seen.grabbed || !seen.covered) {
                std::fprintf(stderr, "run %d of %s: no lock seen\n", run,
                             std::string(mode.rawValue()).c_str());
                // Whatever lock there is ends before the next run, which would otherwise find the
                // program still locked and its hot key taken for a PIN digit.
                bench.unlock(digits);
                usleep(300000);
                continue;
            }
            times.add(start, seen);
            usleep(100000);
            if (const Memory locked = memoryOf(app); locked.resident > lockedMost.resident) {
                lockedMost = locked;
                lockedMostMode = std::string(mode.rawValue());
            }
            // Another client unmaps the first overlay window: time until its display is covered.
            if (mode == OverlayContentMode::solidColor && seen.firstOverlay != XCB_NONE) {
                const std::uint32_t cover = bench.pixel(960, 540);
                const auto unmapped = Clock::now();
                xcb_unmap_window(bench.c, seen.firstOverlay);
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
            if (const auto unlocked = bench.unlock(digits))
                unlocks.push_back(*unlocked);
            usleep(300000); // let the windows go
        }
        afterUnlock.emplace_back(std::string(mode.rawValue()), memoryOf(app));
        // Where the memory is, for a closer look: TOLVA_BENCH_SMAPS=prefix keeps the map of
        // the program's memory after each mode.
        keepMemoryMap(app, std::string(mode.rawValue()));
        char unlock[32];
        std::snprintf(unlock, sizeof unlock, "%.2f", median(unlocks));
        printRow(std::string(mode.rawValue()), times, unlock,
                 repairs.empty() ? "-" : std::to_string(median(repairs)).substr(0, 5));
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
    const Pixels uncovered = bench.centrePixels();
    bench.key(ctrl, true);
    bench.key(alt, true);
    bench.tap(l);
    bench.key(alt, false);
    bench.key(ctrl, false);
    xcb_flush(bench.c);
    for (auto until = Clock::now() + std::chrono::seconds(5);
         Clock::now() < until && !bench.changedFrom(uncovered);)
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
    xcb_disconnect(tray);
    return 0;
}
