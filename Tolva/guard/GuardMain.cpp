// tolva-screen-guard: a small process beside the program that holds the keyboard for it while
// the overlay is on, and keeps the screen covered if the program dies then.
//
// The keyboard grab lives here, on an X connection that owns no resource of its own: no other
// client can end it with XKillClient (which needs a resource of the connection to name it), and
// it outlives the program. Every key is handed to the program over the socket. When the program
// dies while locked, nothing changes for the keyboard: the guard maps a window made in advance,
// grabs the pointer, and starts the program again, which takes the lock back and is handed the
// keys from then on. xcb only: nothing here may need more than the X server to work.
//
//   tolva-screen-guard --fd N PROGRAM [ARGUMENT...]
// Messages on the socket, one a line. From the program: "locked", "unlocked", "quit", "hold"
// (take the keyboard and hand me its keys) and "let go" (the lock is over: give the keyboard
// back once every key is up). To the program: "held" and "elsewhere" (whether the keyboard is
// ours or another client's), "key TYPE KEYCODE STATE" for every key press (2) and release (3),
// and "released" once the guard has taken its cover and pointer grab down after a restart.
#include "guard/GuardProgram.h"
#include "log/Log.h"

#include <xcb/xcb.h>
// xkb.h names a member `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tolva;
using Clock = std::chrono::steady_clock;

namespace {

// Keys still down when the lock ends keep the keyboard here until they are released, checked
// this often, for at most `drainLimit`.
constexpr int drainCheckMilliseconds = 20;
constexpr auto drainLimit = std::chrono::seconds(10);
// While the keyboard is wanted and another client holds it, tried again this often.
constexpr int retryMilliseconds = 100;
// A program that was started again and says "locked" without asking for the keyboard gets it
// back after this long (it then grabs it itself).
constexpr auto unaskedHoldLimit = std::chrono::seconds(2);
// How often a locked program is woken, should another process have stopped it.
constexpr auto wakeInterval = std::chrono::milliseconds(500);

bool anyKeyDown(xcb_connection_t* c) {
    auto* keys = xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr);
    const bool down = keys && std::any_of(std::begin(keys->keys), std::end(keys->keys),
                                          [](std::uint8_t bits) { return bits != 0; });
    std::free(keys);
    return down;
}

struct Guard {
    // The keyboard's connection: it creates nothing (no window, no pixmap), so it cannot be named
    // to XKillClient.
    xcb_connection_t* input = nullptr;
    xcb_window_t root = XCB_NONE;
    // The cover's connection: the window and the pointer grab. Made again if another client
    // kills it.
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_window_t cover = XCB_NONE;

    int socket = -1;
    pid_t child = -1;
    std::vector<std::string> program;
    bool locked = false;          // what the program last said
    bool covering = false;        // our window is up and we want the pointer (and the keyboard)
    bool handBackPending = false; // the program is back; waiting to take the cover down
    bool forwarding = false;      // the program on the socket asked for the keyboard and its keys
    bool keyboard = false, pointer = false;
    bool draining = false; // let go of, once every key is up
    std::bitset<256> down; // keys pressed while the keyboard was ours and not yet released
    Clock::time_point drainSince{}, lockedWithoutHold{};
    bool askedSinceLocked = true;
    std::string buffer;
    int restarts = 0;
    Clock::time_point nextRestart{}, nextWake{};
    bool restartPending = false;

    bool openInput() {
        input = xcb_connect(nullptr, nullptr);
        if (!input || xcb_connection_has_error(input))
            return false;
        root = xcb_setup_roots_iterator(xcb_get_setup(input)).data->root;
        // Focus events on the root tell when another client's grab ends. (The selection is kept
        // under an id of the server's, which XKillClient refuses.)
        const std::uint32_t rootMask[] = {XCB_EVENT_MASK_FOCUS_CHANGE};
        xcb_change_window_attributes(input, root, XCB_CW_EVENT_MASK, rootMask);
        // Autorepeat as presses only, as the program reads keys of its own connection.
        if (const auto* xkb = xcb_get_extension_data(input, &xcb_xkb_id); xkb && xkb->present) {
            std::free(xcb_xkb_use_extension_reply(input, xcb_xkb_use_extension(input, 1, 0), nullptr));
            const std::uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
            std::free(xcb_xkb_per_client_flags_reply(
                input, xcb_xkb_per_client_flags(input, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0),
                nullptr));
        }
        xcb_flush(input);
        return true;
    }

    bool openCover() {
        c = xcb_connect(nullptr, nullptr);
        if (!c || xcb_connection_has_error(c)) {
            if (c)
                xcb_disconnect(c);
            c = nullptr;
            return false;
        }
        screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        // One window over the whole screen, every display included, made now so that covering
        // is a single map request.
        cover = xcb_generate_id(c);
        const std::uint32_t values[] = {screen->black_pixel, 1,
                                        XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS |
                                            XCB_EVENT_MASK_FOCUS_CHANGE};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, cover, screen->root, 0, 0, screen->width_in_pixels,
                          screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        const char title[] = "Tolva Screen guard";
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, cover, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            sizeof title - 1, title);
        // Every map and restack of another window, to stay on top while covering.
        const std::uint32_t rootMask[] = {XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
        xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, rootMask);
        xcb_flush(c);
        return true;
    }

    void send(const std::string& line) {
        if (socket >= 0) [[maybe_unused]]
            auto ignored = ::send(socket, line.data(), line.size(), MSG_NOSIGNAL);
    }

    // MARK: the keyboard

    void grabKeyboard() {
        if (keyboard)
            return;
        auto* reply = xcb_grab_keyboard_reply(
            input,
            xcb_grab_keyboard(input, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
            nullptr);
        keyboard = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
        std::free(reply);
        if (keyboard && forwarding)
            send("held\n");
    }

    void hold() {
        askedSinceLocked = true;
        forwarding = true;
        draining = false;
        if (keyboard) {
            send("held\n");
            return;
        }
        grabKeyboard();
        if (!keyboard)
            send("elsewhere\n");
    }

    // The lock is over: the keyboard goes back once no key is down, so neither the release nor the
    // autorepeat of the last key reaches the window below.
    void letGo() {
        forwarding = false;
        if (!keyboard || covering)
            return;
        draining = true;
        drainSince = Clock::now();
        drain();
    }

    void drain() {
        if (!draining)
            return;
        if (anyKeyDown(input) && Clock::now() - drainSince < drainLimit)
            return;
        finishDraining();
    }

    void finishDraining() {
        draining = false;
        if (!keyboard)
            return;
        xcb_ungrab_keyboard(input, XCB_CURRENT_TIME);
        std::free(
            xcb_get_input_focus_reply(input, xcb_get_input_focus(input), nullptr)); // done before we go on
        keyboard = false;
        down.reset();
    }

    void readInput() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(input)) {
            const std::uint8_t type = event->response_type & 0x7F;
            if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
                const auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
                const bool repeat = type == XCB_KEY_PRESS && down.test(key->detail);
                down.set(key->detail, type == XCB_KEY_PRESS);
                if (draining && type == XCB_KEY_PRESS && !repeat)
                    finishDraining(); // a new key after the lock ended: the keyboard goes back
                else if (draining && down.none())
                    finishDraining();
                else if (draining)
                    ; // the release or autorepeat of a key held across the end of the lock
                else if (forwarding && socket >= 0)
                    send("key " + std::to_string(type) + " " + std::to_string(key->detail) + " " +
                         std::to_string(key->state) + "\n");
                // Otherwise swallowed: the program is gone, or the lock is over.
            } else if (type == XCB_FOCUS_IN || type == XCB_FOCUS_OUT) {
                const auto* focus = reinterpret_cast<xcb_focus_in_event_t*>(event);
                // Another client's grab ended: the keyboard may be free now.
                if (focus->mode == XCB_NOTIFY_MODE_UNGRAB && !keyboard && (forwarding || covering))
                    grabKeyboard();
            }
            std::free(event);
        }
        xcb_flush(input);
        if (xcb_connection_has_error(input)) {
            Log::lock.error("guard: X connection lost");
            std::exit(1);
        }
    }

    // MARK: the cover

    void coverNow() {
        if (!c && !openCover())
            return;
        // Should this connection be killed while the cover is up, the window stays.
        xcb_set_close_down_mode(c, XCB_CLOSE_DOWN_RETAIN_TEMPORARY);
        const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
        xcb_map_window(c, cover);
        xcb_configure_window(c, cover, XCB_CONFIG_WINDOW_STACK_MODE, above);
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, cover, XCB_CURRENT_TIME);
        covering = true;
        pointer = false;
        grab();
    }

    void grab() {
        const bool before = keyboard && pointer;
        grabKeyboard();
        if (!pointer && c) {
            auto* reply = xcb_grab_pointer_reply(c,
                                                 xcb_grab_pointer(c, 0, cover, XCB_EVENT_MASK_BUTTON_PRESS,
                                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                                                  XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                                                 nullptr);
            pointer = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
            std::free(reply);
            xcb_flush(c);
        }
        if (!before && keyboard && pointer)
            Log::lock.info("guard: keyboard and pointer held");
    }

    void uncover() {
        if (c) {
            xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
            xcb_unmap_window(c, cover);
            xcb_set_close_down_mode(c, XCB_CLOSE_DOWN_DESTROY_ALL);
            std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // done before we say so
        }
        covering = pointer = false;
    }

    // The program has its own windows up again. The keyboard stays here when it asked for it;
    // otherwise it goes back with the pointer, but not while a key is down, whose release would
    // go to the focused window before the program holds the keyboard.
    void handBackWhenReady() {
        if (!handBackPending || !covering)
            return;
        if (!forwarding && anyKeyDown(input))
            return;
        handBackPending = false;
        uncover();
        if (!forwarding)
            finishDraining();
        restarts = 0;
        Log::lock.info(forwarding ? "guard: cover handed back to the program, keyboard kept for it"
                                  : "guard: lock handed back to the program");
        send("released\n");
    }

    void coverConnectionLost() {
        // Another client killed it: the window it had stays if it was up (see coverNow), and a new
        // connection makes a new one.
        Log::lock.error("guard: X connection of the cover lost, connecting again");
        xcb_disconnect(c);
        c = nullptr;
        cover = XCB_NONE;
        const bool wasCovering = covering;
        covering = pointer = false;
        if (openCover() && wasCovering)
            coverNow();
    }

    void readCover() {
        if (!c)
            return;
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            const std::uint8_t type = event->response_type & 0x7F;
            if (covering && (type == XCB_CONFIGURE_NOTIFY || type == XCB_MAP_NOTIFY)) {
                const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
                xcb_configure_window(c, cover, XCB_CONFIG_WINDOW_STACK_MODE, above);
            }
            if (covering && type == XCB_UNMAP_NOTIFY &&
                reinterpret_cast<xcb_unmap_notify_event_t*>(event)->window == cover)
                xcb_map_window(c, cover);
            // Until the keyboard is ours, keys go to the focus: it stays on the cover, whatever
            // a window manager does when the dead program's windows go.
            if (covering && !keyboard && type == XCB_FOCUS_OUT &&
                reinterpret_cast<xcb_focus_out_event_t*>(event)->event == cover)
                xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, cover, XCB_CURRENT_TIME);
            std::free(event);
        }
        xcb_flush(c);
        if (xcb_connection_has_error(c))
            coverConnectionLost();
    }

    // MARK: the program

    void startProgram() {
        auto started = guard::startProgram(program);
        if (!started)
            return;
        if (socket >= 0)
            ::close(socket);
        socket = started->socket;
        child = started->pid;
        buffer.clear();
    }

    void programGone() {
        ::close(socket);
        socket = -1;
        int status = 0;
        if (child > 0)
            ::waitpid(child, &status, WNOHANG);
        child = -1;
        // The keyboard stays ours; its keys go to nobody until the next program asks for them.
        forwarding = false;
        if (!locked) {
            Log::lock.info("guard: program ended while unlocked; guard ends");
            if (keyboard) {
                // Keys still down when the lock ended: their releases are swallowed first.
                draining = true;
                drainSince = Clock::now();
                while (draining) {
                    drain();
                    ::usleep(drainCheckMilliseconds * 1000);
                }
            }
            std::exit(0);
        }
        handBackPending = false;
        if (!covering) {
            coverNow();
            Log::lock.error("guard: program ended while locked; screen covered, keyboard=" +
                            std::string(keyboard ? "true" : "false") +
                            " pointer=" + std::string(pointer ? "true" : "false"));
        }
        // Started again at once, then more slowly when it keeps ending, for as long as it takes.
        nextRestart = Clock::now() + guard::restartDelay(restarts);
        ++restarts;
        restartPending = true;
    }

    void message(const std::string& line) {
        if (line == "hold") {
            hold();
        } else if (line == "let go") {
            letGo();
        } else if (line == "locked") {
            locked = true;
            askedSinceLocked = forwarding;
            lockedWithoutHold = Clock::now();
            if (covering) {
                handBackPending = true;
                handBackWhenReady();
            }
        } else if (line == "unlocked") {
            locked = false;
            handBackPending = false;
            if (covering) {
                uncover();
                Log::lock.error("guard: the program came back without the lock; screen uncovered");
                send("released\n");
            }
            letGo();
        } else if (line == "quit") {
            locked = false;
            letGo();
        }
    }

    void readSocket() {
        if (!guard::readLines(socket, buffer, [this](const std::string& line) { message(line); }))
            programGone();
    }

    // A locked program that another process stopped would leave the user typing into nothing:
    // it is woken (a signal our own user may always send).
    void wakeProgram() {
        if (!locked || child <= 0 || Clock::now() < nextWake)
            return;
        ::kill(child, SIGCONT);
        nextWake = Clock::now() + wakeInterval;
    }

    int run() {
        for (;;) {
            // Children that ended are reaped; their socket tells the rest.
            while (::waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (restartPending && Clock::now() >= nextRestart) {
                restartPending = false;
                startProgram();
            }
            if (covering && (!keyboard || !pointer))
                grab();
            if (forwarding && !keyboard)
                grabKeyboard();
            // A program that came back without asking for the keyboard takes it itself.
            if (locked && !askedSinceLocked && keyboard && !covering &&
                Clock::now() - lockedWithoutHold > unaskedHoldLimit) {
                askedSinceLocked = true;
                letGo();
            }
            drain();
            wakeProgram();
            pollfd fds[3] = {{xcb_get_file_descriptor(input), POLLIN, 0},
                             {socket, POLLIN, 0},
                             {c ? xcb_get_file_descriptor(c) : -1, POLLIN, 0}};
            int timeout = locked ? int(wakeInterval.count()) : -1;
            const auto atMost = [&](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
            if (covering && (!keyboard || !pointer))
                atMost(2); // until the dead program's grabs are gone, which takes a moment
            if (forwarding && !keyboard)
                atMost(retryMilliseconds);
            if (restartPending)
                atMost(20);
            if (handBackPending || draining)
                atMost(drainCheckMilliseconds);
            if (locked && !askedSinceLocked)
                atMost(100);
            ::poll(fds, 3, timeout);
            readInput();
            readCover();
            handBackWhenReady();
            if (socket >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
                readSocket();
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    Guard guard;
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--fd") == 0) {
        guard.socket = std::atoi(argv[i + 1]);
        i += 2;
    }
    for (; i < argc; ++i)
        guard.program.emplace_back(argv[i]);
    if (guard.socket < 0 || guard.program.empty()) {
        std::fprintf(stderr, "usage: tolva-screen-guard --fd N PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    ::fcntl(guard.socket, F_SETFD, FD_CLOEXEC);
    // The program that started us is the one to watch and wake.
    guard.child = ::getppid();
    // Its own session: a Ctrl+C meant for the program, or the program's group being killed,
    // does not end the guard; and it refuses the signals that would end it quietly.
    ::setsid();
    for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM})
        ::signal(number, SIG_IGN);
    if (!guard.openInput() || !guard.openCover()) {
        Log::lock.error("guard: no X server; not guarding");
        return 1;
    }
    return guard.run();
}
