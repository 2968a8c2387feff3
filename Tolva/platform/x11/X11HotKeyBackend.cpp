// Root-window key grabs for the global shortcut.
#include "platform/x11/X11HotKeyBackend.h"

#include "platform/KeyTranslation.h"

namespace tolva {

namespace {

constexpr std::uint16_t lockVariants[] = {0, KeyTranslation::lockMask, KeyTranslation::mod2Mask,
                                          KeyTranslation::lockMask | KeyTranslation::mod2Mask};

} // namespace

X11HotKeyBackend::X11HotKeyBackend(std::shared_ptr<XConnection> connection)
    : connection_(std::move(connection)) {
    listener_ = connection_->addListener([this](const xcb_generic_event_t& event) { return handle(event); });
}

X11HotKeyBackend::~X11HotKeyBackend() {
    connection_->removeListener(listener_);
    ungrabAll();
}

std::int32_t X11HotKeyBackend::registerHotKey(const HotKey& hotKey) {
    ungrabAll();
    auto keycode = KeyTranslation::xKeycode(hotKey.keyCode);
    if (!keycode)
        return 2; // BadValue: no such key on this keyboard
    xcb_connection_t* c = connection_->get();
    const std::uint16_t modifiers = KeyTranslation::xModifiers(hotKey.modifiers);
    std::int32_t status = 0;
    for (std::uint16_t variant : lockVariants) {
        auto error = xreply(
            xcb_request_check(c, xcb_grab_key_checked(c, 1, connection_->root(), modifiers | variant,
                                                      *keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
        if (error && status == 0)
            status = error->error_code;
    }
    keycode_ = *keycode;
    modifiers_ = modifiers;
    grabbed_ = true;
    if (status != 0)
        ungrabAll(); // all or nothing: a half-registered shortcut would work only sometimes
    return status;
}

void X11HotKeyBackend::unregisterHotKey() {
    ungrabAll();
}

void X11HotKeyBackend::ungrabAll() {
    if (!grabbed_)
        return;
    for (std::uint16_t variant : lockVariants)
        xcb_ungrab_key(connection_->get(), keycode_, connection_->root(), modifiers_ | variant);
    connection_->flush();
    grabbed_ = false;
}

bool X11HotKeyBackend::handle(const xcb_generic_event_t& event) {
    if ((event.response_type & 0x7F) != XCB_KEY_PRESS || !grabbed_)
        return false;
    const auto& key = reinterpret_cast<const xcb_key_press_event_t&>(event);
    const std::uint16_t relevant = KeyTranslation::shiftMask | KeyTranslation::controlMask |
                                   KeyTranslation::mod1Mask | KeyTranslation::mod4Mask;
    if (key.event != connection_->root() || key.detail != keycode_ || (key.state & relevant) != modifiers_)
        return false;
    if (pressed)
        pressed();
    return true;
}

} // namespace tolva
