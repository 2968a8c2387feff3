// A stand-in for the application the user was working in: maps a window, keeps the input
// focus and prints every key event and click it receives ("press 10", "release 10", "click 1"),
// so tests can prove that no key or click of a lock ever reached it.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <poll.h>

int main() {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        std::fprintf(stderr, "victim: no X display\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {screen->white_pixel,
                                    XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                        XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_EXPOSURE |
                                        XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 100, 100, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    const char title[] = "tolva-test-victim";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        sizeof title - 1, title);
    xcb_map_window(c, window);
    xcb_flush(c);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool announced = false;
    for (;;) {
        // Until it has the focus, ask again now and then: a window manager that is still starting
        // may take the first map or focus request away.
        if (!announced) {
            pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
            if (::poll(&fd, 1, 200) == 0) {
                xcb_map_window(c, window);
                xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
                xcb_flush(c);
            }
        }
        xcb_generic_event_t* event = announced ? xcb_wait_for_event(c) : xcb_poll_for_event(c);
        if (!event) {
            if (xcb_connection_has_error(c))
                break;
            continue;
        }
        switch (event->response_type & 0x7F) {
        case XCB_MAP_NOTIFY:
            xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
            xcb_flush(c);
            break;
        case XCB_FOCUS_IN:
            if (!announced) {
                std::printf("ready %u\n", window);
                announced = true;
            }
            break;
        case XCB_KEY_PRESS:
            std::printf("press %u\n", reinterpret_cast<xcb_key_press_event_t*>(event)->detail);
            break;
        case XCB_KEY_RELEASE:
            std::printf("release %u\n", reinterpret_cast<xcb_key_release_event_t*>(event)->detail);
            break;
        case XCB_BUTTON_PRESS:
            std::printf("click %u\n", reinterpret_cast<xcb_button_press_event_t*>(event)->detail);
            break;
        default:
            break;
        }
        std::free(event);
    }
    return 0;
}
