// One wl_keyboard of the seat turned into the program's key events: the keymap the compositor
// sends is read with xkbcommon, each key becomes a KeyEvent with the virtual key code of its
// position, the active modifiers as flag bits and, on key down, the characters it types.
#pragma once

#include "platform/EventTap.h"

#include <cstdint>
#include <functional>

struct wl_keyboard;
struct wl_seat;
struct wl_surface;
struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace tolva {

class WaylandKeyboard {
public:
    explicit WaylandKeyboard(wl_seat* seat);
    ~WaylandKeyboard();
    WaylandKeyboard(const WaylandKeyboard&) = delete;
    WaylandKeyboard& operator=(const WaylandKeyboard&) = delete;

    // The flag bits of the modifiers active now.
    std::uint64_t flags() const;
    wl_surface* focus() const { return focus_; }

    // Called while events are dispatched; they must not destroy this keyboard.
    std::function<void(const KeyEvent&)> onKey;
    std::function<void(wl_surface*)> onEnter;
    std::function<void(wl_surface*)> onLeave;

private:
    void keymap(std::uint32_t format, int fd, std::uint32_t size);
    void key(std::uint32_t key, std::uint32_t state);
    void modifiers(std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked, std::uint32_t group);
    friend struct WaylandKeyboardListener;

    wl_keyboard* keyboard_ = nullptr;
    xkb_context* context_ = nullptr;
    xkb_keymap* keymap_ = nullptr;
    xkb_state* state_ = nullptr;
    wl_surface* focus_ = nullptr;
    std::int64_t modifierKeyCode_ = 0xFFFF; // the modifier key whose modifiers event is due
};

} // namespace tolva
