// wl_keyboard events through xkbcommon into KeyEvents.
#include "platform/wayland/WaylandKeyboard.h"

#include "log/Log.h"
#include "platform/KeyTranslation.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace tolva {

struct WaylandKeyboardListener {
    static WaylandKeyboard& of(void* data) { return *static_cast<WaylandKeyboard*>(data); }
    static void keymap(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
        of(data).keymap(format, fd, size);
    }
    static void enter(void* data, wl_keyboard*, uint32_t, wl_surface* surface, wl_array*) {
        of(data).focus_ = surface;
        if (of(data).onEnter)
            of(data).onEnter(surface);
    }
    static void leave(void* data, wl_keyboard*, uint32_t, wl_surface* surface) {
        of(data).focus_ = nullptr;
        if (of(data).onLeave)
            of(data).onLeave(surface);
    }
    static void key(void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
        of(data).key(key, state);
    }
    static void modifiers(void* data, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched,
                          uint32_t locked, uint32_t group) {
        of(data).modifiers(depressed, latched, locked, group);
    }
    static void repeatInfo(void*, wl_keyboard*, int32_t, int32_t) {}
    static constexpr wl_keyboard_listener listener = {
        .keymap = keymap,
        .enter = enter,
        .leave = leave,
        .key = key,
        .modifiers = modifiers,
        .repeat_info = repeatInfo,
    };
};

WaylandKeyboard::WaylandKeyboard(wl_seat* seat)
    : keyboard_(wl_seat_get_keyboard(seat)), context_(xkb_context_new(XKB_CONTEXT_NO_FLAGS)) {
    wl_keyboard_add_listener(keyboard_, &WaylandKeyboardListener::listener, this);
}

WaylandKeyboard::~WaylandKeyboard() {
    if (wl_keyboard_get_version(keyboard_) >= 3)
        wl_keyboard_release(keyboard_);
    else
        wl_keyboard_destroy(keyboard_);
    xkb_state_unref(state_);
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
}

void WaylandKeyboard::keymap(std::uint32_t format, int fd, std::uint32_t size) {
    if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 || context_ == nullptr) {
        ::close(fd);
        return;
    }
    // From version 7 the compositor may share one read-only mapping with every client: a
    // private mapping is the only kind it allows.
    void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (text == MAP_FAILED) {
        Log::input.error("Wayland: cannot map the keymap");
        return;
    }
    xkb_keymap* keymap = xkb_keymap_new_from_buffer(context_, static_cast<const char*>(text),
                                                    strnlen(static_cast<const char*>(text), size),
                                                    XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    ::munmap(text, size);
    if (keymap == nullptr) {
        Log::input.error("Wayland: the compositor's keymap does not compile");
        return;
    }
    xkb_state_unref(state_);
    xkb_keymap_unref(keymap_);
    keymap_ = keymap;
    state_ = xkb_state_new(keymap_);
}

std::uint64_t WaylandKeyboard::flags() const {
    if (state_ == nullptr)
        return 0;
    auto active = [this](const char* name) {
        return xkb_state_mod_name_is_active(state_, name, XKB_STATE_MODS_EFFECTIVE) > 0;
    };
    std::uint64_t flags = 0;
    if (active(XKB_MOD_NAME_SHIFT))
        flags |= KeyTranslation::shiftFlag;
    if (active(XKB_MOD_NAME_CTRL))
        flags |= KeyTranslation::controlFlag;
    if (active(XKB_MOD_NAME_ALT))
        flags |= KeyTranslation::optionFlag;
    if (active(XKB_MOD_NAME_LOGO))
        flags |= KeyTranslation::commandFlag;
    if (active(XKB_MOD_NAME_CAPS))
        flags |= KeyTranslation::capsLockFlag;
    return flags;
}

void WaylandKeyboard::key(std::uint32_t key, std::uint32_t state) {
    // wl_keyboard sends evdev codes; X keycodes (and xkbcommon's) are 8 more.
    const std::uint32_t xKeycode = key + 8;
    const bool press = state == WL_KEYBOARD_KEY_STATE_PRESSED;
    KeyEvent event;
    event.keyCode =
        xKeycode <= 255 ? KeyTranslation::virtualKeyCode(std::uint8_t(xKeycode)).value_or(0xFFFF) : 0xFFFF;
    event.flags = flags();
    // Modifier keys are reported as the flags they change, by the modifiers event that follows.
    if (xKeycode <= 255 && KeyTranslation::isModifierKey(std::uint8_t(xKeycode))) {
        modifierKeyCode_ = event.keyCode;
        return;
    }
    if (press) {
        event.type = KeyEvent::Type::keyDown;
        if (state_) {
            char text[64] = {};
            xkb_state_key_get_utf8(state_, xKeycode, text, sizeof text);
            event.characters = std::string(text);
        }
    } else {
        event.type = KeyEvent::Type::keyUp;
    }
    if (onKey)
        onKey(event);
}

void WaylandKeyboard::modifiers(std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked,
                                std::uint32_t group) {
    if (state_ == nullptr)
        return;
    const std::uint64_t before = flags();
    xkb_state_update_mask(state_, depressed, latched, locked, 0, 0, group);
    const std::uint64_t after = flags();
    const std::int64_t keyCode = modifierKeyCode_;
    modifierKeyCode_ = 0xFFFF;
    if (after == before || !onKey)
        return;
    KeyEvent event;
    event.type = KeyEvent::Type::flagsChanged;
    event.flags = after;
    event.keyCode = keyCode;
    onKey(event);
}

} // namespace tolva
