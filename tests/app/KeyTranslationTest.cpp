#include "platform/KeyTranslation.h"
#include "TolvaCore/HotKey.h"

#include <gtest/gtest.h>

#include <set>

using namespace tolva;

TEST(KeyTranslation, EveryNamedKeyMapsToAnXKeycodeAndBack) {
    int named = 0;
    for (std::uint32_t vk = 0; vk < 128; ++vk) {
        if (!HotKey::keyName(vk))
            continue;
        ++named;
        auto x = KeyTranslation::xKeycode(vk);
        ASSERT_TRUE(x) << "virtual key " << vk << " (" << *HotKey::keyName(vk) << ") has no X keycode";
        EXPECT_EQ(KeyTranslation::virtualKeyCode(*x), vk) << "X keycode " << int(*x);
    }
    EXPECT_EQ(named, 95);
    // No two virtual keys share one X keycode.
    std::set<std::uint8_t> seen;
    for (auto [x, vk] : KeyTranslation::table()) {
        if (KeyTranslation::virtualKeyCode(x) == vk) {
            EXPECT_TRUE(seen.insert(x).second) << int(x);
        }
    }
}

TEST(KeyTranslation, PhysicalPositionsOfTheUsualKeys) {
    // evdev keycode + 8: KEY_1 = 2, KEY_Q = 16, KEY_A = 30, KEY_ESC = 1, KEY_ENTER = 28, KEY_KP1 = 79.
    EXPECT_EQ(KeyTranslation::virtualKeyCode(2 + 8), 18u);    // 1
    EXPECT_EQ(KeyTranslation::virtualKeyCode(11 + 8), 29u);   // 0
    EXPECT_EQ(KeyTranslation::virtualKeyCode(16 + 8), 12u);   // Q
    EXPECT_EQ(KeyTranslation::virtualKeyCode(30 + 8), 0u);    // A
    EXPECT_EQ(KeyTranslation::virtualKeyCode(1 + 8), 53u);    // Escape
    EXPECT_EQ(KeyTranslation::virtualKeyCode(28 + 8), 36u);   // Return
    EXPECT_EQ(KeyTranslation::virtualKeyCode(14 + 8), 51u);   // BackSpace → Delete
    EXPECT_EQ(KeyTranslation::virtualKeyCode(79 + 8), 83u);   // keypad 1
    EXPECT_EQ(KeyTranslation::virtualKeyCode(96 + 8), 76u);   // keypad Enter
    EXPECT_EQ(KeyTranslation::virtualKeyCode(111 + 8), 117u); // Delete → Forward Delete
    EXPECT_EQ(KeyTranslation::virtualKeyCode(125 + 8), 55u);  // Super_L → Command
    EXPECT_EQ(KeyTranslation::virtualKeyCode(255), std::nullopt);
    EXPECT_TRUE(KeyTranslation::isModifierKey(50));
    EXPECT_FALSE(KeyTranslation::isModifierKey(38));
}

TEST(KeyTranslation, ModifierStateBothWays) {
    using namespace KeyTranslation;
    EXPECT_EQ(eventFlags(controlMask | mod1Mask | mod4Mask), controlFlag | optionFlag | commandFlag);
    EXPECT_EQ(eventFlags(shiftMask | lockMask | mod2Mask), shiftFlag | capsLockFlag);
    EXPECT_EQ(eventFlags(0), 0u);
    HotKeyModifiers all{HotKeyModifiers::control | HotKeyModifiers::option | HotKeyModifiers::shift |
                        HotKeyModifiers::command};
    EXPECT_EQ(xModifiers(all), controlMask | mod1Mask | shiftMask | mod4Mask);
    EXPECT_EQ(HotKeyModifiers::fromEventFlags(eventFlags(xModifiers(all))), all);
}
