#include "TolvaCore/HotKey.h"

#include <gtest/gtest.h>

using namespace tolva;

namespace {
constexpr std::uint8_t ctrl = HotKeyModifiers::control, opt = HotKeyModifiers::option,
                       shift = HotKeyModifiers::shift, cmd = HotKeyModifiers::command;
}

TEST(HotKey, ValidityNeedsANamedKeyAndANonShiftModifier) {
    EXPECT_TRUE((HotKey{37, {cmd}}).isValid());
    EXPECT_FALSE((HotKey{37, {shift}}).isValid());
    EXPECT_FALSE((HotKey{37, {}}).isValid());
    EXPECT_FALSE((HotKey{106, {ctrl | opt | cmd}}).isValid()); // F16 has no name
    EXPECT_TRUE((HotKey{49, {ctrl}}).isValid());
    EXPECT_TRUE((HotKey{122, {opt | shift}}).isValid());
    EXPECT_FALSE((HotKey{56, {ctrl}}).isValid()); // a modifier key itself
}

TEST(HotKey, NamesSymbolsAndDisplayStrings) {
    int named = 0;
    for (std::uint32_t code = 0; code < 256; ++code)
        named += HotKey::keyName(code).has_value();
    EXPECT_EQ(named, 95);
    EXPECT_EQ(HotKey::keyName(36), "↩");
    EXPECT_EQ(HotKey::keyName(42), "\\");
    EXPECT_EQ(HotKey::keyName(10), std::nullopt);
    EXPECT_EQ(HotKey::keyName(52), std::nullopt);

    EXPECT_EQ((HotKey{37, {ctrl | opt | shift | cmd}}).displayString(), "⌃⌥⇧⌘L");
    EXPECT_EQ((HotKey{37, {ctrl | opt | cmd}}).displayString(), "⌃⌥⌘L");
    EXPECT_EQ((HotKey{106, {cmd}}).displayString(), "⌘?");
    EXPECT_EQ(HotKeyModifiers{}.symbols(), "");
    EXPECT_EQ((HotKeyModifiers{ctrl | opt | shift | cmd}).carbonFlags(),
              0x1000u | 0x0800u | 0x0200u | 0x0100u);
    EXPECT_EQ((HotKeyModifiers{cmd}).carbonFlags(), 0x0100u);
    EXPECT_EQ(HotKeyModifiers::fromEventFlags(0x40000 | 0x100000 | 0x10000), (HotKeyModifiers{ctrl | cmd}));
}

TEST(HotKey, JsonFormRoundTripsAndRejectsBadInput) {
    HotKey key{37, {ctrl | opt | cmd}};
    EXPECT_EQ(key.toJSON(), R"({"keyCode":37,"modifiers":11})");
    EXPECT_EQ(HotKey::fromJSON(key.toJSON()), key);
    EXPECT_EQ(HotKey::fromJSON(R"({"modifiers": 11, "keyCode": 37, "extra": true})"), key);
    for (const char* bad : {R"({"keyCode":37})", R"({"modifiers":11})", R"({"keyCode":"37","modifiers":11})",
                            R"({"keyCode":37,"modifiers":256})", R"({"keyCode":-1,"modifiers":1})",
                            R"({"keyCode":37.5,"modifiers":1})", "[37, 11]", "", "{", "null"})
        EXPECT_EQ(HotKey::fromJSON(bad), std::nullopt) << bad;
}
