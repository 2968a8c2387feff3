// The global shortcut as a value: a virtual key code plus required modifiers, with its
// display string and stored JSON form {"keyCode": n, "modifiers": n}.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolva {

// The modifier bits (control 1, option 2, shift 4, command 8) of key-event flag bits
// (control 0x40000, option 0x80000, shift 0x20000, command 0x100000); every other flag
// (caps lock, numeric pad, function) is dropped.
std::uint8_t modifierBitsFromEventFlags(std::uint64_t flags);

struct HotKeyModifiers {
    static constexpr std::uint8_t control = 1;
    static constexpr std::uint8_t option = 2;
    static constexpr std::uint8_t shift = 4;
    static constexpr std::uint8_t command = 8;

    std::uint8_t rawValue = 0;

    bool contains(std::uint8_t bits) const { return (rawValue & bits) == bits; }
    bool isEmpty() const { return rawValue == 0; }

    // The system hot-key flag column (controlKey 0x1000, optionKey 0x0800, shiftKey 0x0200,
    // cmdKey 0x0100), kept because stored values and tools refer to it.
    std::uint32_t carbonFlags() const;
    // ⌃⌥⇧⌘ for the members present, always in that order.
    std::string symbols() const;
    static HotKeyModifiers fromEventFlags(std::uint64_t flags) { return {modifierBitsFromEventFlags(flags)}; }

    friend bool operator==(const HotKeyModifiers&, const HotKeyModifiers&) = default;
};

struct HotKey {
    std::uint32_t keyCode = 0;
    HotKeyModifiers modifiers;

    // At least one of control, option or command, and a key with a name.
    bool isValid() const;
    // ⌃⌥⌘L, or the symbols and "?" for a key without a name.
    std::string displayString() const;

    // The display name of a virtual key code; nothing for codes outside the table.
    static std::optional<std::string_view> keyName(std::uint32_t keyCode);

    std::string toJSON() const;
    // Both members required, each a number in range; anything else gives nothing.
    static std::optional<HotKey> fromJSON(std::string_view json);

    friend bool operator==(const HotKey&, const HotKey&) = default;
};

} // namespace tolva
