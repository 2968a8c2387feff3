// tolva-screen-guard: a small process beside the program that keeps the screen covered if the
// program dies while the overlay is on. It holds its own X connection and a window made in
// advance; when the program's end of the socket closes while the program said "locked", it maps
// that window, grabs the keyboard and the pointer, and starts the program again, which takes the
// lock back. xcb only: nothing here may need more than the X server to work.
//
//   tolva-screen-guard --fd N PROGRAM [ARGUMENT...]
// Messages on the socket, one a line: from the program "locked", "unlocked", "quit"; to the
// program "released" once the guard has let go of the keyboard and the pointer.
#include "log/Log.h"

#include <xcb/xcb.h>

#include <algorithm>
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

struct Guard {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_window_t cover = XCB_NONE;
    int socket = -1;
    pid_t child = -1;
    std::vector<std::string> program;
    bool locked = false;   // what the program last said
    bool covering = false; // our window is up and we want both grabs
    bool handBackPending = false; // the program is back; waiting for every key to be up
    bool keyboard = false, pointer = false;
    std::string buffer;
    int restarts = 0;
    Clock::time_point nextRestart{};
    bool restartPending = false;

    bool open() {
        c = xcb_connect(nullptr, nullptr);
        if (!c || xcb_connection_has_error(c))
            return false;
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
        // Focus events tell the moment a dead program's grab is gone: the keyboard is taken then.
        const std::uint32_t rootMask[] = {XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_FOCUS_CHANGE};
        xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, rootMask);
        xcb_flush(c);
        return true;
    }

    void send(const char* line) {
        if (socket >= 0) [[maybe_unused]]
            auto ignored = ::send(socket, line, std::strlen(line), MSG_NOSIGNAL);
    }

    void coverNow() {
        const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
        xcb_map_window(c, cover);
        xcb_configure_window(c, cover, XCB_CONFIG_WINDOW_STACK_MODE, above);
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, cover, XCB_CURRENT_TIME);
        covering = true;
        keyboard = pointer = false;
        grab();
    }

    void grab() {
        const bool before = keyboard && pointer;
        grabOnce();
        if (!before && keyboard && pointer)
            Log::lock.info("guard: keyboard and pointer held");
    }

    void grabOnce() {
        if (!keyboard) {
            auto* reply = xcb_grab_keyboard_reply(c,
                                                  xcb_grab_keyboard(c, 0, screen->root, XCB_CURRENT_TIME,
                                                                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                                  nullptr);
            keyboard = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
            std::free(reply);
        }
        if (!pointer) {
            auto* reply = xcb_grab_pointer_reply(c,
                                                 xcb_grab_pointer(c, 0, cover, XCB_EVENT_MASK_BUTTON_PRESS,
                                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                                                  XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                                                 nullptr);
            pointer = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
            std::free(reply);
        }
        xcb_flush(c);
    }

    void release() {
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
        xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
        xcb_unmap_window(c, cover);
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // done before we say so
        covering = keyboard = pointer = false;
    }

    // The program has its own windows up again: the keyboard and pointer are handed over, but
    // not while a key is down, whose release would go to the focused window before the program
    // holds the keyboard.
    void handBackWhenKeysAreUp() {
        if (!handBackPending || !covering)
            return;
        auto* keys = xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr);
        const bool anyDown = keys && std::any_of(std::begin(keys->keys), std::end(keys->keys),
                                                 [](std::uint8_t bits) { return bits != 0; });
        std::free(keys);
        if (anyDown)
            return;
        handBackPending = false;
        release();
        restarts = 0;
        Log::lock.info("guard: lock handed back to the program");
        send("released\n");
    }

    void startProgram() {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            Log::lock.error("guard: cannot make a socket for the program");
            return;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(pair[0]);
            const int fd = ::fcntl(pair[1], F_DUPFD, 10); // without close-on-exec
            ::setenv("TOLVA_GUARD_FD", std::to_string(fd).c_str(), 1);
            std::vector<char*> argv;
            for (auto& argument : program)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            std::_Exit(127);
        }
        ::close(pair[1]);
        if (pid < 0) {
            ::close(pair[0]);
            Log::lock.error("guard: cannot start the program again");
            return;
        }
        if (socket >= 0)
            ::close(socket);
        socket = pair[0];
        child = pid;
        buffer.clear();
        Log::lock.info("guard: program started again pid=" + std::to_string(pid));
    }

    void programGone() {
        ::close(socket);
        socket = -1;
        int status = 0;
        if (child > 0 && ::waitpid(child, &status, WNOHANG) == child)
            child = -1;
        if (!locked) {
            Log::lock.info("guard: program ended while unlocked; guard ends");
            std::exit(0);
        }
        if (!covering) {
            coverNow();
            Log::lock.error("guard: program ended while locked; screen covered, keyboard=" +
                            std::string(keyboard ? "true" : "false") +
                            " pointer=" + std::string(pointer ? "true" : "false"));
        }
        // Started again at once, then more slowly when it keeps ending.
        const auto delay =
            std::chrono::milliseconds(restarts == 0 ? 0 : std::min(30000, 500 << std::min(restarts, 6)));
        ++restarts;
        nextRestart = Clock::now() + delay;
        restartPending = true;
    }

    void message(const std::string& line) {
        if (line == "locked") {
            locked = true;
            if (covering) {
                handBackPending = true;
                handBackWhenKeysAreUp();
            }
        } else if (line == "unlocked") {
            locked = false;
            handBackPending = false;
            if (covering) {
                release();
                Log::lock.error("guard: the program came back without the lock; screen uncovered");
                send("released\n");
            }
        } else if (line == "quit") {
            locked = false;
        }
    }

    void readSocket() {
        char chunk[256];
        const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                return;
            programGone();
            return;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
            message(buffer.substr(0, end));
            buffer.erase(0, end + 1);
        }
        if (buffer.size() > 4096)
            buffer.clear();
    }

    void readX() {
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
        if (xcb_connection_has_error(c)) {
            Log::lock.error("guard: X connection lost");
            std::exit(1);
        }
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
            pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {socket, POLLIN, 0}};
            int timeout = -1;
            if (covering && (!keyboard || !pointer))
                timeout = 2; // until the dead program's grabs are gone, which takes a moment
            if (restartPending)
                timeout = timeout < 0 ? 20 : std::min(timeout, 20);
            if (handBackPending)
                timeout = timeout < 0 ? 5 : std::min(timeout, 5);
            ::poll(fds, socket >= 0 ? 2 : 1, timeout);
            readX();
            handBackWhenKeysAreUp();
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
    // Its own session: a Ctrl+C meant for the program, or the program's group being killed,
    // does not end the guard; and it refuses the signals that would end it quietly.
    ::setsid();
    for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM})
        ::signal(number, SIG_IGN);
    if (!guard.open()) {
        Log::lock.error("guard: no X server; not guarding");
        return 1;
    }
    return guard.run();
}
