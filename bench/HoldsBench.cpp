// What gets past the lock around a crash, counted over many rounds: the running program is locked,
// keys are typed as fast as XTest sends them, and the locked program is killed (SIGKILL) in the
// middle of it, or its X connection is killed by another client (XKillClient); meanwhile another
// client tries to grab the keyboard in a loop. Printed: keys typed, keys that reached the focused
// window, and how often the grabbing client won.
//
//   tolva-bench-holds TOLVA_SCREEN_BINARY ROUNDS
// Runs inside a test session (scripts/bench holds starts one).
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/Preferences.h"
#include "platform/KeyTranslation.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"

#include <QCoreApplication>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace tolva;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

extern char** environ;

namespace {

void sync(xcb_connection_t* c) {
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// The window that has the focus before each lock, counting every key it receives.
struct Victim {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_window_t window = xcb_generate_id(c);
    Victim() {
        // A plain desktop colour, so that anything else there is a cover (the overlay's, or the
        // guard's black one).
        const std::uint32_t desktop[] = {desktopColour};
        xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXEL, desktop);
        xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
        const std::uint32_t values[] = {0xFFFFFF, XCB_EVENT_MASK_KEY_PRESS};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 50, 50, 200, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        xcb_map_window(c, window);
        sync(c);
    }
    void focus() {
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        sync(c);
    }
    int keys() {
        int n = 0;
        while (auto* e = xcb_poll_for_event(c)) {
            n += (e->response_type & 0x7F) == XCB_KEY_PRESS;
            std::free(e);
        }
        return n;
    }
    // Whether a place of each display away from the panel shows anything but the desktop.
    bool covered() { return !shows(960, 200) && !shows(2880, 200); }
    bool shows(int x, int y) {
        auto* reply = xcb_get_image_reply(c,
                                          xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root,
                                                        std::int16_t(x), std::int16_t(y), 1, 1, ~0u),
                                          nullptr);
        const bool desktop = !reply || (*reinterpret_cast<std::uint32_t*>(xcb_get_image_data(reply)) &
                                        0xFFFFFF) == desktopColour;
        std::free(reply);
        return desktop;
    }
    static constexpr std::uint32_t desktopColour = 0x336699;
};

// Another client grabbing the keyboard in a loop.
struct GrabbingLoop {
    std::atomic<bool> stop{false};
    std::atomic<int> tries{0}, wins{0};
    std::thread thread{[this] {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        while (!stop) {
            auto* reply = xcb_grab_keyboard_reply(
                c, xcb_grab_keyboard(c, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                nullptr);
            ++tries;
            if (reply && reply->status == XCB_GRAB_STATUS_SUCCESS) {
                ++wins;
                xcb_ungrab_keyboard(c, XCB_CURRENT_TIME); // and tries again: each win is a window for the PIN
            }
            std::free(reply);
        }
        xcb_disconnect(c);
    }};
    // Stops the thread; its counts are final after this.
    void finish() {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    ~GrabbingLoop() { finish(); }
};

// Keys typed as fast as the server takes them (one letter row), until stopped.
struct Typist {
    std::atomic<bool> stop{false};
    std::atomic<int> typed{0};
    std::thread thread{[this] {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const std::uint8_t row[] = {38, 39, 40, 41, 42, 43, 44, 45, 46};
        for (int i = 0; !stop; ++i) {
            xcb_test_fake_input(c, XCB_KEY_PRESS, row[i % 9], XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            xcb_test_fake_input(c, XCB_KEY_RELEASE, row[i % 9], XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            sync(c);
            ++typed;
        }
        xcb_disconnect(c);
    }};
    // Stops the thread; its counts are final after this.
    void finish() {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    ~Typist() { finish(); }
};

// The running program's pid: the newest process whose executable is `binary`.
pid_t programPid(const std::filesystem::path& binary) {
    pid_t newest = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path() / "exe", error) == binary)
            newest = std::max(newest, pid_t(std::stoi(name)));
    }
    return newest;
}

void tap(xcb_connection_t* c, std::uint8_t keycode) {
    xcb_test_fake_input(c, XCB_KEY_PRESS, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(c, XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    sync(c);
    usleep(30000);
}

template <class F> bool waitFor(F done, std::chrono::milliseconds limit) {
    for (const auto until = Clock::now() + limit; Clock::now() < until; usleep(2000))
        if (done())
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TOLVA_SCREEN_BINARY ROUNDS\n", argv[0]);
        return 2;
    }
    const std::filesystem::path binary = std::filesystem::canonical(argv[1]);
    const int rounds = std::atoi(argv[2]);
    QCoreApplication qt(argc, argv);
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
    prefs.setOverlayContentMode(OverlayContentMode::solidColor);
    prefs.setOverlayColor(SRGBColor(1, 0, 1));

    setenv("TOLVA_LOG_STDERR", "1", 1);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    const char* logFile = std::getenv("TOLVA_BENCH_LOG");
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, logFile ? logFile : "/dev/null",
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t app = 0;
    char* appArgv[] = {argv[1], nullptr};
    if (posix_spawn(&app, argv[1], &quiet, nullptr, appArgv, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[1]);
        return 1;
    }
    sleep(2); // start-up

    Victim victim;
    xcb_connection_t* keys = xcb_connect(nullptr, nullptr);
    const std::uint8_t digits[] = {*KeyTranslation::xKeycode(21), *KeyTranslation::xKeycode(28),
                                   *KeyTranslation::xKeycode(19), *KeyTranslation::xKeycode(25)}; // 4 8 2 9
    const std::uint8_t escape = *KeyTranslation::xKeycode(53);
    xcb_connection_t* killer = xcb_connect(nullptr, nullptr);

    struct Tally {
        int rounds = 0, typed = 0, leaked = 0, tries = 0, wins = 0, uncovered = 0;
    };
    Tally crash, killed;
    for (int round = 0; round < rounds * 2; ++round) {
        const bool killConnection = round % 2 == 1;
        Tally& tally = killConnection ? killed : crash;
        victim.focus();
        victim.keys();
        const pid_t program = programPid(binary);
        std::system((std::string(argv[1]) + " --lock >/dev/null 2>&1").c_str());
        if (!waitFor([&] { return victim.covered(); }, 5s)) {
            std::fprintf(stderr, "round %d: no lock seen\n", round);
            continue;
        }
        usleep(200000);
        {
            GrabbingLoop thief;
            Typist typist;
            usleep(100000);
            if (killConnection) {
                // The overlay windows' connection, found as another client would: the window under
                // the middle of the first display.
                auto* tree =
                    xcb_query_tree_reply(killer, xcb_query_tree(killer, victim.screen->root), nullptr);
                xcb_window_t top = XCB_NONE;
                for (int i = tree ? xcb_query_tree_children_length(tree) - 1 : -1; i >= 0 && top == XCB_NONE;
                     --i) {
                    const xcb_window_t child = xcb_query_tree_children(tree)[i];
                    auto* attributes = xcb_get_window_attributes_reply(
                        killer, xcb_get_window_attributes(killer, child), nullptr);
                    if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
                        top = child;
                    std::free(attributes);
                }
                std::free(tree);
                xcb_kill_client(killer, top);
                sync(killer);
            } else {
                kill(program, SIGKILL);
            }
            // Covered throughout, sampled while the program comes back.
            for (auto until = Clock::now() + 400ms; Clock::now() < until; usleep(5000))
                tally.uncovered += !victim.covered();
            typist.finish();
            tally.typed += typist.typed;
            thief.finish();
            tally.tries += thief.tries;
            tally.wins += thief.wins;
        }
        tally.leaked += victim.keys();
        ++tally.rounds;
        // The program is back, locked: the PIN ends the round.
        waitFor([&] { return programPid(binary) != program; }, 5s);
        usleep(1500000);
        tap(keys, escape);
        for (std::uint8_t digit : digits)
            tap(keys, digit);
        if (!waitFor([&] { return victim.shows(960, 200) && victim.shows(2880, 200); }, 5s))
            std::fprintf(stderr, "round %d: the PIN did not unlock\n", round);
        usleep(300000);
    }
    auto print = [](const char* what, const Tally& t) {
        std::printf("%-28s rounds %3d   keys typed %6d   reached the focused window %4d   "
                    "grab loop: %7d tries, %3d won   desktop seen in %d samples\n",
                    what, t.rounds, t.typed, t.leaked, t.tries, t.wins, t.uncovered);
    };
    print("program killed (SIGKILL)", crash);
    print("connection killed (XKillClient)", killed);
    kill(programPid(binary), SIGTERM);
    waitpid(app, nullptr, WNOHANG);
    return 0;
}
