// Keyboard grab, its loss and recovery, and key event translation.
#include "platform/x11/X11EventTap.h"

#include "app/Log.h"

#include <chrono>
#include <thread>

namespace tolva {

namespace {

// Compiling the server's keymap takes a while; every tap of one connection shares one.
std::shared_ptr<KeyboardMap> keyboardMapFor(const std::shared_ptr<XConnection>& connection) {
    static std::weak_ptr<XConnection> cachedFor;
    static std::shared_ptr<KeyboardMap> cached;
    if (cachedFor.lock() != connection || !cached) {
        cached = KeyboardMap::fromConnection(connection->get());
        cachedFor = connection;
    }
    return cached;
}

constexpr std::uint8_t responseType(const xcb_generic_event_t& event) {
    return event.response_type & 0x7F;
}

} // namespace

X11EventTap::X11EventTap(std::shared_ptr<XConnection> connection, Scheduler& scheduler, Handler handler,
                         std::optional<xcb_window_t> grabWindow, std::function<bool()> accessibilityTrusted)
    : connection_(std::move(connection)), scheduler_(scheduler), handler_(std::move(handler)),
      accessibilityTrusted_(std::move(accessibilityTrusted)), keyboardMap_(keyboardMapFor(connection_)) {
    xcb_connection_t* c = connection_->get();
    if (grabWindow) {
        window_ = *grabWindow;
    } else {
        // A 1×1 input-only window, outside any window manager's reach, just to hold the grab.
        window_ = xcb_generate_id(c);
        const std::uint32_t values[] = {1};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, connection_->root(), -10, -10, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT,
                          values);
        xcb_map_window(c, window_);
        ownWindow_ = true;
    }
    // Our own selection on the window: focus changes tell us when the grab is broken.
    const std::uint32_t mask[] = {XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_change_window_attributes(c, window_, XCB_CW_EVENT_MASK, mask);
    connection_->flush();
    listener_ = connection_->addListener([this](const xcb_generic_event_t& event) { return handle(event); });
}

X11EventTap::~X11EventTap() {
    connection_->removeListener(listener_);
    if (grabbed_)
        ungrab();
    if (ownWindow_)
        xcb_destroy_window(connection_->get(), window_);
    connection_->flush();
}

X11EventTap::GrabResult X11EventTap::grab() {
    xcb_connection_t* c = connection_->get();
    // A window mapped by another connection a moment ago may not be viewable yet: retry briefly.
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto reply = xreply(xcb_grab_keyboard_reply(
            c, xcb_grab_keyboard(c, 0, window_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
            nullptr));
        if (!reply)
            return GrabResult::failed;
        switch (reply->status) {
        case XCB_GRAB_STATUS_SUCCESS:
            heldElsewhere_ = false;
            grabbed_ = true;
            return GrabResult::grabbed;
        case XCB_GRAB_STATUS_ALREADY_GRABBED:
            heldElsewhere_ = true;
            return GrabResult::heldElsewhere;
        case XCB_GRAB_STATUS_NOT_VIEWABLE:
        case XCB_GRAB_STATUS_FROZEN:
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        default:
            return GrabResult::failed;
        }
    }
    return GrabResult::failed;
}

void X11EventTap::ungrab() {
    xcb_connection_t* c = connection_->get();
    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    xreply(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // done before we return
    grabbed_ = false;
    pressed_.clear();
}

bool X11EventTap::start() {
    if (installed_)
        return true;
    if (draining_)
        finishDraining();
    if (grab() != GrabResult::grabbed) {
        Log::input.error(std::string("tapCreate failed, AXIsProcessTrusted=") +
                         (accessibilityTrusted_() ? "true" : "false"));
        return false;
    }
    installed_ = true;
    Log::input.info("tap started");
    return true;
}

void X11EventTap::stop() {
    if (!installed_)
        return;
    installed_ = false;
    Log::input.info("tap stopped");
    if (pressed_.empty()) {
        ungrab();
        return;
    }
    // Keep the keyboard until the keys still down are released; never longer than a second.
    draining_ = true;
    drainDeadline_ = scheduler_.schedule(Seconds(1), [this] { finishDraining(); });
}

void X11EventTap::finishDraining() {
    draining_ = false;
    drainDeadline_.cancel();
    if (grabbed_ && !installed_)
        ungrab();
}

bool X11EventTap::isEnabled() {
    if (!installed_)
        return false;
    // Grabbing again while we hold the grab succeeds and changes nothing; after a loss it
    // takes the keyboard back.
    return grab() == GrabResult::grabbed;
}

bool X11EventTap::isKeyboardGrabbedByAnotherClient(XConnection& connection) {
    xcb_connection_t* c = connection.get();
    auto reply = xreply(xcb_grab_keyboard_reply(c,
                                                xcb_grab_keyboard(c, 0, connection.root(), XCB_CURRENT_TIME,
                                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                                nullptr));
    if (!reply)
        return false;
    if (reply->status == XCB_GRAB_STATUS_SUCCESS) {
        // Give the keyboard back and wait until the server has done so, so that nobody's grab
        // right after this probe is refused because of it.
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
        xreply(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
    return reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
}

bool X11EventTap::handle(const xcb_generic_event_t& event) {
    const std::uint8_t type = responseType(event);
    if (type == XCB_FOCUS_OUT) {
        const auto& focus = reinterpret_cast<const xcb_focus_out_event_t&>(event);
        if (focus.event == window_ && focus.mode == XCB_NOTIFY_MODE_UNGRAB && installed_ && grabbed_) {
            // The server broke our grab (the window went away, or another grab replaced it).
            grabbed_ = false;
            pressed_.clear();
            Log::input.error("tap disabled by userInput, re-enabling");
            grab();
        }
        return false;
    }
    if (type == XCB_UNMAP_NOTIFY) {
        const auto& unmap = reinterpret_cast<const xcb_unmap_notify_event_t&>(event);
        if (unmap.window == window_ && installed_) {
            grabbed_ = false;
            pressed_.clear();
            Log::input.error("tap disabled by userInput, re-enabling");
            grab(); // fails while unmapped; the lock monitor notices through isEnabled()
        }
        return false;
    }
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    const auto& key = reinterpret_cast<const xcb_key_press_event_t&>(event);
    if (!grabbed_)
        return false;
    const bool press = type == XCB_KEY_PRESS;
    if (draining_) {
        if (press) {
            finishDraining(); // a new key after the lock ended: let the keyboard go
        } else {
            pressed_.erase(key.detail);
            if (pressed_.empty())
                finishDraining();
        }
        return true;
    }
    if (press)
        pressed_.insert(key.detail);
    else
        pressed_.erase(key.detail);
    if (!installed_)
        return true;

    KeyEvent keyEvent;
    keyEvent.keyCode = KeyTranslation::virtualKeyCode(key.detail).value_or(0xFFFF);
    keyEvent.flags = KeyTranslation::eventFlags(key.state);
    if (KeyTranslation::isModifierKey(key.detail)) {
        keyEvent.type = KeyEvent::Type::flagsChanged;
    } else if (press) {
        keyEvent.type = KeyEvent::Type::keyDown;
        if (keyboardMap_)
            keyEvent.characters = keyboardMap_->characters(key.detail, key.state);
    } else {
        keyEvent.type = KeyEvent::Type::keyUp;
    }
    // Under an active grab nothing else receives the key; the handler's answer only decides
    // whether other listeners of our own connection see it too.
    return handler_(keyEvent);
}

} // namespace tolva
