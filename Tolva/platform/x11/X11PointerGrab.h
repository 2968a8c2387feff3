// The pointer grab on X11. It is made on the connection that owns the overlay windows, with
// owner events on, so those windows keep getting their own motion and clicks while every other
// client gets none. A refused grab is tried again ten times a second until it holds.
#pragma once

#include "platform/PointerGrab.h"
#include "platform/Scheduler.h"

#include <xcb/xcb.h>

namespace tolva {

class X11PointerGrab : public PointerGrab {
public:
    static constexpr double retryInterval = 0.1;

    // `connection` is the overlay windows' own connection (Qt's); it must outlive the grab.
    X11PointerGrab(xcb_connection_t* connection, xcb_window_t root, Scheduler& scheduler);
    ~X11PointerGrab() override;

    bool start() override;
    void stop() override;
    bool isHeld() const override { return held_; }
    void retryNow() override;

private:
    std::uint8_t grab();
    void tryToHold();

    xcb_connection_t* connection_;
    xcb_window_t root_;
    Scheduler& scheduler_;
    bool installed_ = false;
    bool held_ = false;
    bool loggedFailure_ = false;
    Scheduler::Handle retry_;
};

} // namespace tolva
