// What another X client can do to the lock, for tests: hold the keyboard or the pointer.
#pragma once

#include "platform/x11/XConnection.h"

#include <xcb/xtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <poll.h>

namespace tolva::test {

// Another client's active grab of the keyboard (or the pointer), released on destruction.
struct OtherClientGrab {
    explicit OtherClientGrab(bool pointer = false) : pointer(pointer), connection(XConnection::open()) {
        xcb_connection_t* c = connection->get();
        std::uint8_t status = 0xFF;
        if (pointer) {
            auto reply = xreply(xcb_grab_pointer_reply(
                c,
                xcb_grab_pointer(c, 0, connection->root(), XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_ASYNC,
                                 XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                nullptr));
            status = reply ? reply->status : 0xFF;
        } else {
            auto reply =
                xreply(xcb_grab_keyboard_reply(c,
                                               xcb_grab_keyboard(c, 0, connection->root(), XCB_CURRENT_TIME,
                                                                 XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                               nullptr));
            status = reply ? reply->status : 0xFF;
        }
        held = status == XCB_GRAB_STATUS_SUCCESS;
    }
    ~OtherClientGrab() { release(); }
    void release() {
        if (!held)
            return;
        xcb_connection_t* c = connection->get();
        if (pointer)
            xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
        else
            xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
        xreply(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        held = false;
    }
    bool pointer;
    std::shared_ptr<XConnection> connection;
    bool held = false;
};

// Another client that tries to take the keyboard over and over, as fast as the server answers,
// and counts the keys it got while it held it.
class GrabbingLoop {
public:
    GrabbingLoop() : thread_([this] { run(); }) {}
    ~GrabbingLoop() {
        stop_ = true;
        thread_.join();
    }
    int wins() const { return wins_; }
    int keys() const { return keys_; }
    int tries() const { return tries_; }

private:
    void run() {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        while (!stop_) {
            auto* reply = xcb_grab_keyboard_reply(
                c, xcb_grab_keyboard(c, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                nullptr);
            ++tries_;
            if (reply && reply->status == XCB_GRAB_STATUS_SUCCESS)
                ++wins_; // held: every key goes to us until we let go
            std::free(reply);
            while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
                if ((event->response_type & 0x7F) == XCB_KEY_PRESS)
                    ++keys_;
                std::free(event);
            }
        }
        xcb_disconnect(c);
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> wins_{0}, keys_{0}, tries_{0};
    std::thread thread_;
};

// Keys typed as fast as XTest sends them (a to z, over and over) until stopped.
class FastTypist {
public:
    FastTypist() : thread_([this] { run(); }) {}
    ~FastTypist() { stop(); }
    void stop() {
        if (stop_.exchange(true))
            return;
        thread_.join();
    }
    int typed() const { return typed_; }

private:
    void run() {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        // a s d f g h j k l: one row of letter keys, none of them a digit or Return.
        const std::uint8_t row[] = {38, 39, 40, 41, 42, 43, 44, 45, 46};
        for (int i = 0; !stop_; ++i) {
            const std::uint8_t key = row[i % 9];
            xcb_test_fake_input(c, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            xcb_test_fake_input(c, XCB_KEY_RELEASE, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // one key at a time
            ++typed_;
        }
        xcb_disconnect(c);
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> typed_{0};
    std::thread thread_;
};

// An override-redirect window of another client that puts itself back on top whenever the
// stacking order changes and every `interval` besides: the worst a program can do to a cover.
class SelfRaisingWindow {
public:
    SelfRaisingWindow(int x, int y, int width, int height, std::uint32_t pixel,
                      std::chrono::milliseconds interval)
        : thread_([=, this] { run(x, y, width, height, pixel, interval); }) {}
    ~SelfRaisingWindow() {
        stop_ = true;
        thread_.join();
    }
    int raises() const { return raises_; }
    bool ready() const { return ready_; }

private:
    void run(int x, int y, int width, int height, std::uint32_t pixel, std::chrono::milliseconds interval) {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_window_t window = xcb_generate_id(c);
        const std::uint32_t values[] = {pixel, 1};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, std::int16_t(x), std::int16_t(y),
                          std::uint16_t(width), std::uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        const std::uint32_t mask[] = {XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
        xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, mask);
        xcb_map_window(c, window);
        xcb_flush(c);
        ready_ = true;
        const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
        auto raise = [&] {
            xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, above);
            xcb_flush(c);
            ++raises_;
        };
        while (!stop_) {
            pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
            ::poll(&fd, 1, int(interval.count()));
            // Raised after every wake-up: at once after any restack, otherwise on the interval.
            while (xcb_generic_event_t* event = xcb_poll_for_event(c))
                std::free(event);
            raise();
        }
        xcb_destroy_window(c, window);
        xcb_disconnect(c);
    }

    std::atomic<bool> stop_{false};
    std::atomic<bool> ready_{false};
    std::atomic<int> raises_{0};
    std::thread thread_;
};

} // namespace tolva::test
