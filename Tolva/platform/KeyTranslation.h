// Keyboard events in the program's own terms, whichever display server delivered them: XKB
// keycodes (evdev + 8, what X11 and Wayland both send) to the virtual key codes of the key-name
// table by physical position, X-style modifier state to the flag bits, and characters from
// xkbcommon with modifiers applied.
#pragma once

#include "TolvaCore/HotKey.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct xkb_context;
struct xkb_keymap;

namespace tolva {

namespace KeyTranslation {

// Event flag bits, as key handlers and PinKeyRouter expect them.
inline constexpr std::uint64_t capsLockFlag = 0x10000;
inline constexpr std::uint64_t shiftFlag = 0x20000;
inline constexpr std::uint64_t controlFlag = 0x40000;
inline constexpr std::uint64_t optionFlag = 0x80000;
inline constexpr std::uint64_t commandFlag = 0x100000;

// X modifier masks.
inline constexpr std::uint16_t shiftMask = 1, lockMask = 2, controlMask = 4, mod1Mask = 8, mod2Mask = 16,
                               mod4Mask = 64;

std::optional<std::uint32_t> virtualKeyCode(std::uint8_t xKeycode);
std::optional<std::uint8_t> xKeycode(std::uint32_t virtualKeyCode);
// Every (X keycode, virtual key code) pair of the table.
const std::vector<std::pair<std::uint8_t, std::uint32_t>>& table();
// Shift, Control, Alt, Super, Caps Lock and their right-hand twins.
bool isModifierKey(std::uint8_t xKeycode);

// Control→control, Mod1 (Alt)→option, Shift→shift, Mod4 (Super)→command, Lock→caps lock.
std::uint64_t eventFlags(std::uint16_t xState);
// The X modifier mask a hot key needs.
std::uint16_t xModifiers(HotKeyModifiers modifiers);

} // namespace KeyTranslation

// A keymap through xkbcommon, for the characters a key produces.
class KeyboardMap {
public:
    // Takes over `context` and `keymap` (the display server's keymap, read by its backend);
    // nothing when either is missing, and then both are let go.
    static std::unique_ptr<KeyboardMap> adopt(xkb_context* context, xkb_keymap* keymap);
    ~KeyboardMap();

    // The characters of `xKeycode` with the modifiers and group of an event's state applied.
    std::string characters(std::uint8_t xKeycode, std::uint16_t xState) const;

private:
    KeyboardMap(xkb_context* context, xkb_keymap* keymap) : context_(context), keymap_(keymap) {}
    xkb_context* context_;
    xkb_keymap* keymap_;
};

} // namespace tolva
