// Taking, keeping and releasing the pointer.
#include "platform/x11/X11PointerGrab.h"

#include "log/Log.h"
#include "platform/x11/XConnection.h"

namespace tolva {

X11PointerGrab::X11PointerGrab(xcb_connection_t* connection, xcb_window_t root, Scheduler& scheduler)
    : connection_(connection), root_(root), scheduler_(scheduler) {}

X11PointerGrab::~X11PointerGrab() {
    stop();
}

std::uint8_t X11PointerGrab::grab() {
    // Grabbing again while we hold it succeeds and changes nothing; after another part of the
    // program let go of it, it takes the pointer back.
    const std::uint16_t mask =
        XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION;
    auto reply = xreply(
        xcb_grab_pointer_reply(connection_,
                               xcb_grab_pointer(connection_, 1, root_, mask, XCB_GRAB_MODE_ASYNC,
                                                XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                               nullptr));
    return reply ? reply->status : std::uint8_t(0xFF);
}

bool X11PointerGrab::start() {
    if (installed_)
        return held_;
    installed_ = true;
    loggedFailure_ = false;
    tryToHold();
    return held_;
}

void X11PointerGrab::tryToHold() {
    if (!installed_)
        return;
    const std::uint8_t status = grab();
    const bool held = status == XCB_GRAB_STATUS_SUCCESS;
    if (held) {
        retry_.cancel();
        if (loggedFailure_)
            Log::input.info("pointer grab held");
        loggedFailure_ = false;
    } else {
        if (!loggedFailure_)
            Log::input.error("pointer grab failed status=" + std::to_string(status) + ", retrying");
        loggedFailure_ = true;
        if (!retry_.isActive())
            retry_ = scheduler_.every(Seconds(retryInterval), [this] { tryToHold(); });
    }
    if (held != held_) {
        held_ = held;
        if (onStatusChanged)
            onStatusChanged();
    }
}

void X11PointerGrab::retryNow() {
    tryToHold();
}

void X11PointerGrab::stop() {
    if (!installed_)
        return;
    installed_ = false;
    retry_.cancel();
    if (held_) {
        xcb_ungrab_pointer(connection_, XCB_CURRENT_TIME);
        xcb_flush(connection_);
    }
    held_ = false;
}

} // namespace tolva
