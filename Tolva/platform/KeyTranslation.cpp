// The keycode table and modifier and character translation.
#include "platform/KeyTranslation.h"

#include <xkbcommon/xkbcommon.h>

#include <unordered_map>

namespace tolva::KeyTranslation {

const std::vector<std::pair<std::uint8_t, std::uint32_t>>& table() {
    // X keycode (evdev + 8, the usual PC layout positions) → virtual key code.
    static const std::vector<std::pair<std::uint8_t, std::uint32_t>> pairs = {
        // letters
        {38, 0},
        {39, 1},
        {40, 2},
        {41, 3},
        {43, 4},
        {42, 5},
        {52, 6},
        {53, 7},
        {54, 8},
        {55, 9},
        {56, 11},
        {24, 12},
        {25, 13},
        {26, 14},
        {27, 15},
        {29, 16},
        {28, 17},
        {31, 34},
        {32, 31},
        {30, 32},
        {33, 35},
        {46, 37},
        {44, 38},
        {45, 40},
        {57, 45},
        {58, 46},
        // digits and punctuation of the main block
        {10, 18},
        {11, 19},
        {12, 20},
        {13, 21},
        {15, 22},
        {14, 23},
        {21, 24},
        {18, 25},
        {16, 26},
        {20, 27},
        {17, 28},
        {19, 29},
        {35, 30},
        {34, 33},
        {48, 39},
        {47, 41},
        {51, 42},
        {59, 43},
        {61, 44},
        {60, 47},
        {49, 50},
        {94, 10},
        // editing and whitespace
        {36, 36},
        {23, 48},
        {65, 49},
        {22, 51},
        {9, 53},
        {119, 117},
        {118, 114},
        {146, 114},
        // navigation
        {110, 115},
        {112, 116},
        {115, 119},
        {117, 121},
        {113, 123},
        {114, 124},
        {116, 125},
        {111, 126},
        // function keys
        {67, 122},
        {68, 120},
        {69, 99},
        {70, 118},
        {71, 96},
        {72, 97},
        {73, 98},
        {74, 100},
        {75, 101},
        {76, 109},
        {95, 103},
        {96, 111},
        {191, 105},
        {192, 107},
        {193, 113},
        {194, 106},
        {195, 64},
        {196, 79},
        {197, 80},
        {198, 90},
        // keypad
        {90, 82},
        {87, 83},
        {88, 84},
        {89, 85},
        {83, 86},
        {84, 87},
        {85, 88},
        {79, 89},
        {80, 91},
        {81, 92},
        {91, 65},
        {63, 67},
        {86, 69},
        {77, 71},
        {106, 75},
        {104, 76},
        {82, 78},
        {125, 81},
        // modifiers
        {37, 59},
        {105, 62},
        {50, 56},
        {62, 60},
        {64, 58},
        {108, 61},
        {133, 55},
        {134, 54},
        {66, 57},
    };
    return pairs;
}

std::optional<std::uint32_t> virtualKeyCode(std::uint8_t xKeycode) {
    static const auto byX = [] {
        std::unordered_map<std::uint8_t, std::uint32_t> map;
        for (auto [x, vk] : table())
            map.emplace(x, vk); // first entry wins for keys listed twice
        return map;
    }();
    auto it = byX.find(xKeycode);
    return it == byX.end() ? std::nullopt : std::optional<std::uint32_t>(it->second);
}

std::optional<std::uint8_t> xKeycode(std::uint32_t virtualKeyCode) {
    static const auto byVk = [] {
        std::unordered_map<std::uint32_t, std::uint8_t> map;
        for (auto [x, vk] : table())
            map.emplace(vk, x);
        return map;
    }();
    auto it = byVk.find(virtualKeyCode);
    return it == byVk.end() ? std::nullopt : std::optional<std::uint8_t>(it->second);
}

bool isModifierKey(std::uint8_t xKeycode) {
    switch (xKeycode) {
    case 37:
    case 105:
    case 50:
    case 62:
    case 64:
    case 108:
    case 133:
    case 134:
    case 66:
        return true;
    default:
        return false;
    }
}

std::uint64_t eventFlags(std::uint16_t xState) {
    std::uint64_t flags = 0;
    if (xState & shiftMask)
        flags |= shiftFlag;
    if (xState & lockMask)
        flags |= capsLockFlag;
    if (xState & controlMask)
        flags |= controlFlag;
    if (xState & mod1Mask)
        flags |= optionFlag;
    if (xState & mod4Mask)
        flags |= commandFlag;
    return flags;
}

std::uint16_t xModifiers(HotKeyModifiers modifiers) {
    std::uint16_t mask = 0;
    if (modifiers.contains(HotKeyModifiers::control))
        mask |= controlMask;
    if (modifiers.contains(HotKeyModifiers::option))
        mask |= mod1Mask;
    if (modifiers.contains(HotKeyModifiers::shift))
        mask |= shiftMask;
    if (modifiers.contains(HotKeyModifiers::command))
        mask |= mod4Mask;
    return mask;
}

} // namespace tolva::KeyTranslation

namespace tolva {

std::unique_ptr<KeyboardMap> KeyboardMap::adopt(xkb_context* context, xkb_keymap* keymap) {
    if (!context || !keymap) {
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
        return nullptr;
    }
    return std::unique_ptr<KeyboardMap>(new KeyboardMap(context, keymap));
}

KeyboardMap::~KeyboardMap() {
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
}

std::string KeyboardMap::characters(std::uint8_t xKeycode, std::uint16_t xState) const {
    xkb_state* state = xkb_state_new(keymap_);
    if (!state)
        return {};
    // The low byte holds the modifiers, bits 13-14 the group.
    xkb_state_update_mask(state, xState & 0xFF, 0, 0, 0, 0, (xState >> 13) & 0x3);
    char buffer[64];
    int length = xkb_state_key_get_utf8(state, xKeycode, buffer, sizeof buffer);
    xkb_state_unref(state);
    if (length <= 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(std::min<int>(length, sizeof buffer - 1)));
}

} // namespace tolva
