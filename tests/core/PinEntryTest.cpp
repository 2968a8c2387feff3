#include "TolvaCore/PinEntry.h"
#include "TolvaCore/SecretText.h"

#include <gtest/gtest.h>

using namespace tolva;

namespace {
constexpr std::uint8_t ctrl = KeyModifiers::control, opt = KeyModifiers::option, shift = KeyModifiers::shift,
                       cmd = KeyModifiers::command;
PinKey classify(std::int64_t code, std::uint8_t mods, std::optional<std::string> chars) {
    return PinKeyRouter::classify(code, KeyModifiers{mods}, chars);
}
using Outcome = PinEntry::Outcome;
} // namespace

TEST(PinKeyRouter, ClassifiesKeys) {
    EXPECT_EQ(classify(36, 0, "\r"), PinKey::submit());
    EXPECT_EQ(classify(76, cmd, "\x03"), PinKey::submit());
    EXPECT_EQ(classify(51, 0, "\x7f"), PinKey::backspace());
    EXPECT_EQ(classify(117, opt, std::nullopt), PinKey::backspace());
    EXPECT_EQ(classify(53, 0, "\x1b"), PinKey::clear());
    EXPECT_EQ(classify(53, ctrl, "\x1b"), PinKey::clear());
    EXPECT_EQ(classify(53, ctrl | opt | cmd, "\x1b"), PinKey::escapeHatch());
    EXPECT_EQ(classify(53, ctrl | opt | cmd | shift, "\x1b"), PinKey::escapeHatch());
    EXPECT_EQ(classify(18, cmd, "1"), PinKey::ignore());
    EXPECT_EQ(classify(18, ctrl, "1"), PinKey::ignore());
    EXPECT_EQ(classify(18, 0, "1"), PinKey::insert("1"));
    EXPECT_EQ(classify(83, 0, "1"), PinKey::insert("1")); // keypad digit
    EXPECT_EQ(classify(18, shift, "!"), PinKey::insert("!"));
    EXPECT_EQ(classify(0, shift, "A"), PinKey::insert("A"));
    EXPECT_EQ(classify(123, 0, "\xEF\x9C\x82"), PinKey::ignore()); // U+F702, an arrow key
    EXPECT_EQ(classify(48, 0, "\t"), PinKey::ignore());
    EXPECT_EQ(classify(0, 0, ""), PinKey::ignore()); // dead key
    EXPECT_EQ(classify(0, 0, std::nullopt), PinKey::ignore());
    EXPECT_EQ(classify(0, 0, "ab"), PinKey::ignore());                   // two characters
    EXPECT_EQ(classify(0, 0, "e\xCC\x81"), PinKey::insert("e\xCC\x81")); // one cluster, two scalars
    EXPECT_EQ(KeyModifiers::fromEventFlags(0x40000 | 0x20000 | 0x10000 | 0x800000),
              (KeyModifiers{ctrl | shift}));
}

TEST(PinEntry, ApplyTable) {
    PinEntry entry;
    EXPECT_EQ(entry.apply(PinKey::submit(), std::nullopt), Outcome::unchanged());
    EXPECT_EQ(entry.apply(PinKey::backspace(), std::nullopt), Outcome::unchanged());
    EXPECT_EQ(entry.apply(PinKey::clear(), std::nullopt), Outcome::unchanged());
    EXPECT_EQ(entry.apply(PinKey::insert("1"), std::nullopt), Outcome::changed());
    EXPECT_EQ(entry.apply(PinKey::insert("2"), std::nullopt), Outcome::changed());
    EXPECT_EQ(entry.apply(PinKey::escapeHatch(), std::nullopt), Outcome::escapeHatch());
    EXPECT_EQ(entry.apply(PinKey::ignore(), std::nullopt), Outcome::unchanged());
    EXPECT_EQ(entry.text(), "12");
    EXPECT_EQ(entry.apply(PinKey::submit(), std::nullopt), Outcome::submitted("12"));
    EXPECT_TRUE(entry.isEmpty());
    entry.apply(PinKey::insert("9"), std::nullopt);
    EXPECT_EQ(entry.apply(PinKey::clear(), std::nullopt), Outcome::changed());
    EXPECT_TRUE(entry.isEmpty());
}

TEST(PinEntry, AutoSubmitsOnlyAllDigitTextsAtTheStoredLength) {
    PinEntry entry;
    std::vector<Outcome> outcomes;
    for (const char* d : {"4", "8", "2", "9"})
        outcomes.push_back(entry.apply(PinKey::insert(d), 4));
    EXPECT_EQ(outcomes, (std::vector<Outcome>{Outcome::changed(), Outcome::changed(), Outcome::changed(),
                                              Outcome::submitted("4829")}));
    EXPECT_TRUE(entry.isEmpty());

    for (const char* c : {"4", "8", "2", "x"})
        EXPECT_EQ(entry.apply(PinKey::insert(c), 4), Outcome::changed());
    EXPECT_EQ(entry.apply(PinKey::insert("1"), 4), Outcome::changed()) << "non-digit text never auto-submits";
    entry.reset();
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(entry.apply(PinKey::insert("7"), std::nullopt), Outcome::changed());
}

TEST(PinEntry, BoundedAndGraphemeAware) {
    PinEntry entry;
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(entry.apply(PinKey::insert("a"), std::nullopt), Outcome::changed());
    EXPECT_EQ(entry.apply(PinKey::insert("b"), std::nullopt), Outcome::unchanged());
    EXPECT_EQ(entry.count(), 64u);
    entry.reset();

    entry.apply(PinKey::insert("1"), std::nullopt);
    entry.apply(PinKey::insert("👨‍👩‍👧"), std::nullopt);
    EXPECT_EQ(entry.count(), 2u);
    EXPECT_EQ(entry.apply(PinKey::backspace(), std::nullopt), Outcome::changed());
    EXPECT_EQ(entry.text(), "1");
    EXPECT_TRUE(entry.isAllDigits());
    entry.apply(PinKey::insert("\xEF\xBC\x92"), std::nullopt); // full-width 2
    EXPECT_FALSE(entry.isAllDigits());
}

TEST(PinEntry, WipesWhatWasTyped) {
    PinEntry entry;
    entry.apply(PinKey::insert("s"), std::nullopt);
    entry.apply(PinKey::insert("e"), std::nullopt);
    entry.apply(PinKey::insert("c"), std::nullopt);
    const char* bytes = entry.text().data(); // the buffer is reserved once and kept
    entry.apply(PinKey::backspace(), std::nullopt);
    EXPECT_EQ(entry.text(), "se");
    EXPECT_EQ(bytes[2], '\0') << "the removed character is wiped";
    entry.reset();
    EXPECT_EQ(std::string(bytes, 2), std::string(2, '\0')) << "a reset wipes the entry";

    entry.apply(PinKey::insert("a"), std::nullopt);
    auto outcome = entry.apply(PinKey::submit(), std::nullopt);
    ASSERT_EQ(outcome.kind, PinEntry::Outcome::Kind::submitted);
    EXPECT_EQ(outcome.submittedText, "a");
    const char* submitted = outcome.submittedText.data();
    wipe(outcome.submittedText);
    EXPECT_EQ(submitted[0], '\0');
    EXPECT_TRUE(outcome.submittedText.empty());
}
