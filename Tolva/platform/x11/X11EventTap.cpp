// Keyboard grab, its refusal, loss and recovery, and key event translation.
#include "platform/x11/X11EventTap.h"

#include "log/Log.h"

// xkb.h names a member `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

namespace tolva {

namespace {

// The core keyboard's keymap, read over `connection`; nothing if XKB is unavailable.
std::unique_ptr<KeyboardMap> serverKeymap(xcb_connection_t* connection) {
    if (!xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr,
                                     nullptr))
        return nullptr;
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (!context)
        return nullptr;
    const std::int32_t device = xkb_x11_get_core_keyboard_device_id(connection);
    xkb_keymap* keymap =
        device < 0 ? nullptr
                   : xkb_x11_keymap_new_from_device(context, connection, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
    return KeyboardMap::adopt(context, keymap);
}

// Compiling the server's keymap takes a while; every tap of one connection shares one.
std::shared_ptr<KeyboardMap> keyboardMapFor(const std::shared_ptr<XConnection>& connection) {
    static std::weak_ptr<XConnection> cachedFor;
    static std::shared_ptr<KeyboardMap> cached;
    if (cachedFor.lock() != connection || !cached) {
        cached = serverKeymap(connection->get());
        cachedFor = connection;
        // Autorepeat as presses only, without the release before each: a key held across the
        // unlock then shows as still down until it is really let go.
        xcb_connection_t* c = connection->get();
        const std::uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
        std::free(xcb_xkb_per_client_flags_reply(
            c, xcb_xkb_per_client_flags(c, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0), nullptr));
    }
    return cached;
}

constexpr std::uint8_t responseType(const xcb_generic_event_t& event) {
    return event.response_type & 0x7F;
}

// Keypad 0–9: a PIN typed on the keypad means digits whether Num Lock is on or not.
bool isKeypadDigit(std::int64_t keyCode) {
    return (keyCode >= 82 && keyCode <= 89) || keyCode == 91 || keyCode == 92;
}

} // namespace

X11EventTap::X11EventTap(std::shared_ptr<XConnection> connection, Scheduler& scheduler, Handler handler,
                         std::function<bool()> accessibilityTrusted, std::weak_ptr<KeyboardHolder> holder)
    : connection_(std::move(connection)), scheduler_(scheduler), handler_(std::move(handler)),
      accessibilityTrusted_(std::move(accessibilityTrusted)), keyboardMap_(keyboardMapFor(connection_)),
      holder_(std::move(holder)) {
    // The grab sits on the root window, which no client can unmap, move or destroy. Focus
    // events on it tell when the grab begins and ends.
    connection_->selectEvents(connection_->root(), XCB_EVENT_MASK_FOCUS_CHANGE);
    listener_ = connection_->addListener([this](const xcb_generic_event_t& event) { return handle(event); });
}

void X11EventTap::prepare(const std::shared_ptr<XConnection>& connection) {
    keyboardMapFor(connection);
}

X11EventTap::~X11EventTap() {
    connection_->removeListener(listener_);
    retry_.cancel();
    drainCheck_.cancel();
    if (grabbed_ || heldByHolder_)
        ungrab();
    connection_->flush();
}

std::shared_ptr<KeyboardHolder> X11EventTap::activeHolder() const {
    return holderLost_ ? nullptr : holder_.lock();
}

void X11EventTap::holderChanged(KeyboardHolder::Status status) {
    if (!installed_)
        return;
    switch (status) {
    case KeyboardHolder::Status::held:
        holderLost_ = false;
        heldByHolder_ = grabbed_ = true;
        heldElsewhere_ = false;
        retry_.cancel();
        setHolding(true);
        return;
    case KeyboardHolder::Status::heldElsewhere:
        if (!heldByHolder_)
            return; // the tap holds the keyboard itself: the holder's try was refused by us
        grabbed_ = false;
        heldElsewhere_ = true;
        setHolding(false);
        tryToHold();
        return;
    case KeyboardHolder::Status::unavailable:
        // The holder went, and its grab with it: the keyboard is taken here at once.
        holderLost_ = true;
        heldByHolder_ = grabbed_ = false;
        Log::input.error("tap disabled by userInput, re-enabling");
        if (grab() == GrabResult::grabbed) {
            Log::input.info("tap started");
            setHolding(true);
            return;
        }
        setHolding(false);
        tryToHold();
        return;
    }
}

X11EventTap::GrabResult X11EventTap::grab() {
    if (auto holder = activeHolder()) {
        // The holder serves the tap of the current lock: this one, from now on.
        std::weak_ptr<bool> alive = alive_;
        holder->onKey = [this, alive](std::uint8_t type, std::uint8_t keycode, std::uint16_t state) {
            if (alive.lock())
                handleKey(type, keycode, state);
        };
        holder->onStatusChanged = [this, alive](KeyboardHolder::Status status) {
            if (alive.lock())
                holderChanged(status);
        };
        switch (holder->hold()) {
        case KeyboardHolder::Status::held:
            heldByHolder_ = grabbed_ = true;
            heldElsewhere_ = false;
            return GrabResult::grabbed;
        case KeyboardHolder::Status::heldElsewhere:
            heldByHolder_ = true;
            heldElsewhere_ = true;
            return GrabResult::heldElsewhere;
        case KeyboardHolder::Status::unavailable:
            holderLost_ = true;
            heldByHolder_ = false;
            break; // taken here instead
        }
    }
    xcb_connection_t* c = connection_->get();
    auto reply = xreply(xcb_grab_keyboard_reply(c,
                                                xcb_grab_keyboard(c, 0, connection_->root(), XCB_CURRENT_TIME,
                                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                                nullptr));
    if (!reply)
        return GrabResult::failed;
    switch (reply->status) {
    case XCB_GRAB_STATUS_SUCCESS:
        heldElsewhere_ = false;
        grabbed_ = true;
        return GrabResult::grabbed;
    case XCB_GRAB_STATUS_ALREADY_GRABBED:
    case XCB_GRAB_STATUS_FROZEN: // another client froze the keyboard with a synchronous grab
        heldElsewhere_ = true;
        return GrabResult::heldElsewhere;
    default:
        return GrabResult::failed;
    }
}

void X11EventTap::ungrab() {
    if (heldByHolder_) {
        // The holder gives the keyboard back once every key is up.
        if (auto holder = holder_.lock())
            holder->letGo();
        heldByHolder_ = grabbed_ = false;
        pressed_.clear();
        return;
    }
    xcb_connection_t* c = connection_->get();
    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    xreply(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // done before we return
    grabbed_ = false;
    pressed_.clear();
}

bool X11EventTap::start() {
    if (installed_)
        return grabbed_;
    if (draining_)
        finishDraining();
    installed_ = true;
    if (grab() != GrabResult::grabbed) {
        Log::input.error(std::string("tapCreate failed, AXIsProcessTrusted=") +
                         (accessibilityTrusted_() ? "true" : "false"));
        tryToHold(); // keeps trying until the keyboard is ours or the tap is stopped
        return false;
    }
    Log::input.info("tap started");
    return true;
}

void X11EventTap::tryToHold() {
    if (!installed_ || grabbed_) {
        retry_.cancel();
        return;
    }
    if (grab() == GrabResult::grabbed) {
        retry_.cancel();
        Log::input.info("tap started");
        setHolding(true);
        return;
    }
    if (!retry_.isActive())
        retry_ = scheduler_.every(Seconds(retryInterval), [this] { tryToHold(); });
}

void X11EventTap::retryNow() {
    tryToHold();
}

void X11EventTap::setHolding(bool) {
    if (onStatusChanged)
        onStatusChanged();
}

void X11EventTap::lost() {
    grabbed_ = false;
    pressed_.clear();
    Log::input.error("tap disabled by userInput, re-enabling");
    if (grab() == GrabResult::grabbed)
        return;
    setHolding(false);
    tryToHold();
}

void X11EventTap::stop() {
    if (!installed_)
        return;
    installed_ = false;
    retry_.cancel();
    Log::input.info("tap stopped");
    if (heldByHolder_) {
        ungrab(); // the holder drains the keys still down itself
        return;
    }
    if (!grabbed_)
        return;
    if (pressed_.empty()) {
        ungrab();
        return;
    }
    // Keep the keyboard until the keys still down are released, so neither their releases nor
    // their autorepeat reach the window below.
    draining_ = true;
    drained_ = 0;
    drainCheck_ = scheduler_.every(Seconds(drainCheckInterval), [this] { checkDrain(); });
}

void X11EventTap::checkDrain() {
    drained_ += drainCheckInterval;
    // A release may have gone to nobody (a key let go while the server was busy elsewhere): ask
    // the server which keys are really down.
    xcb_connection_t* c = connection_->get();
    if (auto keys = xreply(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr))) {
        for (auto it = pressed_.begin(); it != pressed_.end();) {
            const bool down = keys->keys[*it / 8] & (1 << (*it % 8));
            it = down ? std::next(it) : pressed_.erase(it);
        }
    }
    if (pressed_.empty() || drained_ >= drainLimit)
        finishDraining();
}

void X11EventTap::finishDraining() {
    draining_ = false;
    drainCheck_.cancel();
    if (grabbed_ && !installed_)
        ungrab();
}

bool X11EventTap::isEnabled() {
    if (!installed_)
        return false;
    if (!grabbed_ && !heldByHolder_)
        tryToHold();
    return grabbed_;
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
    return reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED || reply->status == XCB_GRAB_STATUS_FROZEN;
}

bool X11EventTap::handle(const xcb_generic_event_t& event) {
    const std::uint8_t type = responseType(event);
    if (type == XCB_FOCUS_OUT || type == XCB_FOCUS_IN) {
        const auto& focus = reinterpret_cast<const xcb_focus_in_event_t&>(event);
        if (heldByHolder_) {
            // The holder's grab comes and goes on its own connection; it tells us itself.
        } else if (type == XCB_FOCUS_OUT && focus.event == connection_->root() &&
                   focus.mode == XCB_NOTIFY_MODE_UNGRAB && installed_ && grabbed_) {
            // The server ended our grab without our asking.
            lost();
        } else if (focus.mode == XCB_NOTIFY_MODE_UNGRAB && installed_ && !grabbed_) {
            // Someone else's grab just ended: the keyboard may be free.
            tryToHold();
        }
        return false;
    }
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    const auto& key = reinterpret_cast<const xcb_key_press_event_t&>(event);
    if (!grabbed_ || heldByHolder_)
        return false;
    return handleKey(type, key.detail, key.state);
}

bool X11EventTap::handleKey(std::uint8_t type, std::uint8_t keycode, std::uint16_t state) {
    if (!grabbed_)
        return false;
    const bool press = type == XCB_KEY_PRESS;
    if (draining_) {
        if (press && !pressed_.count(keycode)) {
            finishDraining(); // a new key after the lock ended: let the keyboard go
        } else if (!press) {
            pressed_.erase(keycode);
            if (pressed_.empty())
                finishDraining();
        }
        return true; // releases and autorepeats of keys held across the unlock
    }
    if (press)
        pressed_.insert(keycode);
    else
        pressed_.erase(keycode);
    if (!installed_)
        return true;

    KeyEvent keyEvent;
    keyEvent.keyCode = KeyTranslation::virtualKeyCode(keycode).value_or(0xFFFF);
    keyEvent.flags = KeyTranslation::eventFlags(state);
    if (KeyTranslation::isModifierKey(keycode)) {
        keyEvent.type = KeyEvent::Type::flagsChanged;
    } else if (press) {
        keyEvent.type = KeyEvent::Type::keyDown;
        if (keyboardMap_) {
            const std::uint16_t numLock = XCB_MOD_MASK_2;
            keyEvent.characters = keyboardMap_->characters(
                keycode, isKeypadDigit(keyEvent.keyCode) ? std::uint16_t(state | numLock) : state);
        }
    } else {
        keyEvent.type = KeyEvent::Type::keyUp;
    }
    // Under an active grab nothing else receives the key; the handler's answer only decides
    // whether other listeners of our own connection see it too.
    return handler_(keyEvent);
}

} // namespace tolva
