// Keys and pointer events for tests on KWin, through its fake-input protocol: KWin offers that
// protocol only to programs whose .desktop entry lists it (scripts/kwin-session writes one for
// this program). One device for the whole run, so the seat's keyboard does not come and go
// between keys.
//
// Reads commands from its arguments, or line by line from standard input when there are none,
// and answers each line on standard output with "ok" once KWin has handled it:
//   key CODE        press and release evdev key CODE (KEY_A = 30)
//   press CODE / release CODE
//   move X Y        the pointer to X,Y of the whole layout
//   click CODE      press and release button CODE (BTN_LEFT = 272)
//   wait MS
// Exits 3 when KWin offers no fake input to it, 2 on a command it does not know.
#include "fake-input-client-protocol.h"

#include <wayland-client.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct Globals {
    org_kde_kwin_fake_input* fakeInput = nullptr;
    std::uint32_t version = 0;
};

void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
            std::uint32_t version) {
    auto& globals = *static_cast<Globals*>(data);
    if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0) {
        globals.version = std::min<std::uint32_t>(version, 4);
        globals.fakeInput = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, globals.version));
    }
}
void globalRemove(void*, wl_registry*, std::uint32_t) {}
constexpr wl_registry_listener registryListener = {.global = global, .global_remove = globalRemove};

// Runs one command; false when it is not one.
bool run(wl_display* display, org_kde_kwin_fake_input* input, const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    long a = 0, b = 0;
    if (verb == "key" && words >> a) {
        org_kde_kwin_fake_input_keyboard_key(input, std::uint32_t(a), WL_KEYBOARD_KEY_STATE_PRESSED);
        org_kde_kwin_fake_input_keyboard_key(input, std::uint32_t(a), WL_KEYBOARD_KEY_STATE_RELEASED);
    } else if (verb == "press" && words >> a) {
        org_kde_kwin_fake_input_keyboard_key(input, std::uint32_t(a), WL_KEYBOARD_KEY_STATE_PRESSED);
    } else if (verb == "release" && words >> a) {
        org_kde_kwin_fake_input_keyboard_key(input, std::uint32_t(a), WL_KEYBOARD_KEY_STATE_RELEASED);
    } else if (verb == "move" && words >> a >> b) {
        org_kde_kwin_fake_input_pointer_motion_absolute(input, wl_fixed_from_int(int(a)),
                                                        wl_fixed_from_int(int(b)));
    } else if (verb == "click" && words >> a) {
        org_kde_kwin_fake_input_button(input, std::uint32_t(a), WL_POINTER_BUTTON_STATE_PRESSED);
        org_kde_kwin_fake_input_button(input, std::uint32_t(a), WL_POINTER_BUTTON_STATE_RELEASED);
    } else if (verb == "wait" && words >> a) {
        std::this_thread::sleep_for(std::chrono::milliseconds(a));
    } else if (!verb.empty()) {
        return false;
    }
    return wl_display_roundtrip(display) >= 0;
}

} // namespace

int main(int argc, char** argv) {
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        std::cerr << "tolva-kwin-input: no Wayland compositor\n";
        return 1;
    }
    Globals globals;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &globals);
    wl_display_roundtrip(display);
    if (globals.fakeInput == nullptr || globals.version < 4) {
        std::cerr << "tolva-kwin-input: the compositor offers no org_kde_kwin_fake_input (version 4) to this "
                     "program; its .desktop entry must list it in X-KDE-Wayland-Interfaces\n";
        return 3;
    }
    org_kde_kwin_fake_input_authenticate(globals.fakeInput, "Tolva Screen tests", "typing in tests");
    wl_display_roundtrip(display);

    int status = 0;
    if (argc > 1) {
        std::string command;
        for (int i = 1; i < argc; ++i)
            command += std::string(argv[i]) + (i + 1 < argc ? " " : "");
        // Arguments are one command after another: "key 30 key 31" or "press 56 key 15 release 56".
        std::istringstream words(command);
        std::string verb, a, b;
        while (words >> verb) {
            std::string line = verb;
            const int operands = verb == "move" ? 2 : 1;
            for (int i = 0; i < operands && words >> a; ++i)
                line += " " + a;
            if (!run(display, globals.fakeInput, line)) {
                std::cerr << "tolva-kwin-input: cannot run \"" << line << "\"\n";
                status = 2;
                break;
            }
        }
    } else {
        std::cout << "ready" << std::endl;
        for (std::string line; std::getline(std::cin, line);) {
            if (!run(display, globals.fakeInput, line)) {
                std::cout << "error" << std::endl;
                status = 2;
                continue;
            }
            std::cout << "ok" << std::endl;
        }
    }
    org_kde_kwin_fake_input_destroy(globals.fakeInput);
    wl_registry_destroy(registry);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return status;
}
