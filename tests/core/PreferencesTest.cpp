#include "TolvaCore/Preferences.h"

#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/Localization.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace tolva;
using P = Preferences::Property;

namespace {

struct Fixture {
    std::shared_ptr<InMemoryDefaultsStore> store = std::make_shared<InMemoryDefaultsStore>();
    Preferences prefs{store};
};

Bytes bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

} // namespace

TEST(Preferences, EmptyStoreReadsDefaults) {
    Fixture f;
    auto& p = f.prefs;
    EXPECT_EQ(p.idleTimeoutSeconds(), 0);
    EXPECT_EQ(p.overlayContentMode(), OverlayContentMode::liveTint);
    EXPECT_DOUBLE_EQ(p.liveTintOpacity(), 0.06);
    EXPECT_EQ(p.overlayColor().hexString(), "#101218");
    EXPECT_EQ(p.overlayImageFileName(), std::nullopt);
    EXPECT_FALSE(p.hasCompletedOnboarding());
    EXPECT_EQ(p.keepAwakeSeconds(), 3600);
    EXPECT_FALSE(p.lockSystemOnExpiry());
    EXPECT_FALSE(p.awayNoteEnabled());
    EXPECT_EQ(p.awayNoteText(), "");
    EXPECT_EQ(p.awayNoteStyle(), AwayNoteStyle::lockScreen);
    EXPECT_TRUE(p.awayNoteShowsReturnTime());
    EXPECT_TRUE(p.animationsEnabled());
    EXPECT_EQ(p.animations(), OverlayAnimationSet{OverlayAnimation::pixelShift});
    EXPECT_EQ(p.animationStrength(), AnimationStrength::subtle);
    EXPECT_EQ(p.lockHotKey(), std::nullopt);
    EXPECT_TRUE(p.allowLoginPasswordUnlock());
    EXPECT_TRUE(p.touchIDEnabled());
    EXPECT_EQ(p.settingsWindowPlacement(), std::nullopt);
    EXPECT_EQ(p.appLanguage(), std::nullopt);
    EXPECT_TRUE(f.store->snapshot().empty()) << "reading must never write defaults";
}

TEST(Preferences, ReadRulesForStoredValues) {
    Fixture f;
    auto& s = *f.store;
    auto& p = f.prefs;
    const std::pair<DefaultsValue, std::int64_t> idle[] = {{std::int64_t{301}, 300},
                                                           {std::int64_t{3600}, 3600},
                                                           {std::int64_t{-5}, 300},
                                                           {std::int64_t{0}, 0},
                                                           {std::string("600"), 0},
                                                           {true, 0},
                                                           {600.0, 600},
                                                           {600.5, 0}};
    for (auto& [value, expected] : idle) {
        s.setObject("idleTimeoutSeconds", value);
        EXPECT_EQ(p.idleTimeoutSeconds(), expected) << value.index();
    }
    const std::pair<DefaultsValue, std::int64_t> keepAwake[] = {{std::int64_t{600}, 3600},
                                                                {std::int64_t{14400}, 14400},
                                                                {std::string("x"), 3600},
                                                                {std::int64_t{1800}, 1800}};
    for (auto& [value, expected] : keepAwake) {
        s.setObject("keepAwakeSeconds", value);
        EXPECT_EQ(p.keepAwakeSeconds(), expected);
    }
    s.setObject("overlayContentMode", std::string("Snapshot"));
    EXPECT_EQ(p.overlayContentMode(), OverlayContentMode::liveTint);
    s.setObject("overlayContentMode", std::string("image"));
    EXPECT_EQ(p.overlayContentMode(), OverlayContentMode::image);
    s.setObject("liveTintOpacity", std::string("0.3"));
    EXPECT_DOUBLE_EQ(p.liveTintOpacity(), 0.06);
    s.setObject("liveTintOpacity", 0.9);
    EXPECT_DOUBLE_EQ(p.liveTintOpacity(), 0.5);
    s.setObject("liveTintOpacity", std::int64_t{0});
    EXPECT_DOUBLE_EQ(p.liveTintOpacity(), 0.02);
    s.setObject("overlayColorHex", std::string("nonsense"));
    EXPECT_EQ(p.overlayColor(), SRGBColor::defaultOverlay());
    s.setObject("overlayColorHex", std::int64_t{7});
    EXPECT_EQ(p.overlayColor(), SRGBColor::defaultOverlay());
    s.setObject("awayNoteStyle", std::string("StickyNote"));
    EXPECT_EQ(p.awayNoteStyle(), AwayNoteStyle::lockScreen);
    s.setObject("awayNoteShowsReturnTime", std::string("no"));
    EXPECT_TRUE(p.awayNoteShowsReturnTime());
    s.setObject("animationsEnabled", std::int64_t{0});
    EXPECT_TRUE(p.animationsEnabled());
    s.setObject("touchIDEnabled", false);
    EXPECT_FALSE(p.touchIDEnabled());
    s.setObject("hasCompletedOnboarding", std::string("YES"));
    EXPECT_TRUE(p.hasCompletedOnboarding());
    s.setObject("animationStrength", std::string("loud"));
    EXPECT_EQ(p.animationStrength(), AnimationStrength::subtle);
    s.setObject("appLanguage", std::string("pt"));
    EXPECT_EQ(p.appLanguage(), std::nullopt);
    s.setObject("lockHotKey", bytes("{not json"));
    EXPECT_EQ(p.lockHotKey(), std::nullopt);
    s.setObject("lockHotKey", std::string(R"({"keyCode":37,"modifiers":8})")); // a string, not data
    EXPECT_EQ(p.lockHotKey(), std::nullopt);
    s.setObject("lockHotKey", bytes(R"({"keyCode":37,"modifiers":8})"));
    EXPECT_EQ(p.lockHotKey(), (HotKey{37, {8}}));
    s.setObject("settingsWindowPlacement", bytes("[]"));
    EXPECT_EQ(p.settingsWindowPlacement(), std::nullopt);
}

TEST(Preferences, AnimationsStoredAsSortedRawValues) {
    Fixture f;
    f.store->setObject("animations", std::vector<std::string>{"breathing", "unknown", "breathing"});
    EXPECT_EQ(f.prefs.animations(), OverlayAnimationSet{OverlayAnimation::breathing});
    f.store->setObject("animations", std::vector<std::string>{});
    EXPECT_TRUE(f.prefs.animations().empty()) << "a stored empty array is not the default";
    f.store->setObject("animations", std::string("breathing"));
    EXPECT_EQ(f.prefs.animations(), OverlayAnimationSet{OverlayAnimation::pixelShift});

    f.prefs.setAnimations({OverlayAnimation::gradientDrift, OverlayAnimation::breathing});
    EXPECT_EQ(f.store->stringArray("animations"), (std::vector<std::string>{"breathing", "gradientDrift"}));
    f.prefs.modify(&Preferences::animations, &Preferences::setAnimations,
                   [](OverlayAnimationSet& set) { set.insert(OverlayAnimation::pixelShift); });
    EXPECT_EQ(f.store->stringArray("animations"),
              (std::vector<std::string>{"breathing", "gradientDrift", "pixelShift"}));
    EXPECT_EQ(f.prefs.effectiveAnimations(true), OverlayAnimationSet{});
    f.prefs.setAnimationsEnabled(false);
    EXPECT_EQ(f.prefs.effectiveAnimations(false), OverlayAnimationSet{});
    f.prefs.setAnimationsEnabled(true);
    EXPECT_EQ(f.prefs.effectiveAnimations(false).size(), 3u);
}

TEST(Preferences, WriteRules) {
    Fixture f;
    auto& p = f.prefs;
    const std::pair<double, double> opacity[] = {{0.01, 0.02}, {0.6, 0.5}, {0.125, 0.13}, {0.3449, 0.34}};
    for (auto [in, stored] : opacity) {
        p.setLiveTintOpacity(in);
        EXPECT_EQ(f.store->object("liveTintOpacity"), DefaultsValue(stored)) << in;
    }
    p.setIdleTimeoutSeconds(301); // written unchecked, read validated
    EXPECT_EQ(f.store->object("idleTimeoutSeconds"), DefaultsValue(std::int64_t{301}));
    EXPECT_EQ(p.idleTimeoutSeconds(), 300);
    p.setOverlayColor(SRGBColor(1, 0.5, 0));
    EXPECT_EQ(f.store->string("overlayColorHex"), "#FF8000");
    p.setOverlayImageFileName("overlay-1.png");
    EXPECT_EQ(p.overlayImageFileName(), "overlay-1.png");
    p.setOverlayImageFileName(std::nullopt);
    EXPECT_EQ(f.store->object("overlayImageFileName"), std::nullopt);
    p.setLockHotKey(HotKey{37, {11}});
    EXPECT_EQ(f.store->data("lockHotKey"), bytes(R"({"keyCode":37,"modifiers":11})"));
    p.setLockHotKey(std::nullopt);
    EXPECT_EQ(f.store->object("lockHotKey"), std::nullopt);
    SettingsWindowGeometry::Memory memory{{1, 2, 3, 4}, {0, 0, 10, 10}, 9};
    p.setSettingsWindowPlacement(memory);
    EXPECT_EQ(p.settingsWindowPlacement(), memory);
    memory.frame.x = std::numeric_limits<double>::infinity();
    p.setSettingsWindowPlacement(memory);
    EXPECT_EQ(f.store->object("settingsWindowPlacement"), std::nullopt)
        << "unencodable value removes the key";
    p.setAwayNoteStyle(AwayNoteStyle::stickyNote);
    EXPECT_EQ(f.store->string("awayNoteStyle"), "stickyNote");
    p.setAnimationStrength(AnimationStrength::strong);
    EXPECT_EQ(p.animationStrength(), AnimationStrength::strong);
}

TEST(Preferences, AwayNoteNormalisationAndFallbacks) {
    EXPECT_EQ(Preferences::normalizeAwayNote("  At lunch  \n\n\n  back at two \r\n"),
              "At lunch     back at two");
    EXPECT_EQ(Preferences::normalizeAwayNote("one\r\ntwo\u2028three\u0085four"), "one two three four");
    EXPECT_EQ(Preferences::normalizeAwayNote(std::string(100, 'x')), std::string(80, 'x'));
    // 80 user-perceived characters, not bytes: family emoji and accented letters count once.
    std::string family = "👨‍👩‍👧";
    std::string longNote;
    for (int i = 0; i < 90; ++i)
        longNote += family;
    std::string expected;
    for (int i = 0; i < 80; ++i)
        expected += family;
    EXPECT_EQ(Preferences::normalizeAwayNote(longNote), expected);
    // A cut can leave a trailing space.
    EXPECT_EQ(Preferences::normalizeAwayNote(std::string(79, 'a') + " b"), std::string(79, 'a') + " ");
    EXPECT_EQ(Preferences::normalizeAwayNote("\n\n \t"), "");

    Fixture f;
    f.prefs.setAwayNoteText("  line one\n\nline two  ");
    EXPECT_EQ(f.store->string("awayNoteText"), "line one line two");
    EXPECT_EQ(f.prefs.effectiveAwayNote(), std::nullopt);
    EXPECT_EQ(f.prefs.awayNote(true), "line one line two");
    f.prefs.setAwayNoteText("");
    EXPECT_EQ(f.prefs.awayNote(true), "Back soon");
    f.prefs.setAwayNoteEnabled(true);
    EXPECT_EQ(f.prefs.effectiveAwayNote(), "Back soon");
}

TEST(Preferences, LanguageWriteTouchesAppleLanguagesOnlyOnTheStandardStore) {
    auto standard = std::make_shared<InMemoryDefaultsStore>(true);
    Preferences onStandard(standard);
    onStandard.setAppLanguage(AppLanguage::de);
    EXPECT_EQ(standard->string("appLanguage"), "de");
    EXPECT_EQ(standard->stringArray("AppleLanguages"), std::vector<std::string>{"de"});
    onStandard.setAppLanguage(std::nullopt);
    EXPECT_EQ(standard->object("appLanguage"), std::nullopt);
    EXPECT_EQ(standard->object("AppleLanguages"), std::nullopt);

    Fixture other;
    other.store->setObject("AppleLanguages", std::vector<std::string>{"fr"});
    other.prefs.setAppLanguage(AppLanguage::zhHant);
    EXPECT_EQ(other.store->string("appLanguage"), "zh-Hant");
    EXPECT_EQ(other.store->stringArray("AppleLanguages"), std::vector<std::string>{"fr"});
    other.prefs.setAppLanguage(std::nullopt);
    EXPECT_EQ(other.store->stringArray("AppleLanguages"), std::vector<std::string>{"fr"});
}

TEST(Preferences, EveryWriteNotifiesItsObserversOnly) {
    Fixture f;
    int keepAwake = 0, idle = 0;
    auto a = f.prefs.observe(P::keepAwakeSeconds, [&] { ++keepAwake; });
    auto b = f.prefs.observe(P::idleTimeoutSeconds, [&] { ++idle; });
    f.prefs.setKeepAwakeSeconds(7200);
    f.prefs.setKeepAwakeSeconds(7200); // same value: still a notification
    EXPECT_EQ(keepAwake, 2);
    EXPECT_EQ(idle, 0);
    f.prefs.modify(&Preferences::idleTimeoutSeconds, &Preferences::setIdleTimeoutSeconds,
                   [](std::int64_t& v) { v = 600; });
    EXPECT_EQ(idle, 1);
    b.reset();
    f.prefs.setIdleTimeoutSeconds(0);
    EXPECT_EQ(idle, 1);
    {
        auto c = f.prefs.observe(P::keepAwakeSeconds, [&] { keepAwake += 10; });
        f.prefs.setKeepAwakeSeconds(1800);
    }
    f.prefs.setKeepAwakeSeconds(1800);
    EXPECT_EQ(keepAwake, 2 + 11 + 1);

    // Removals notify too (the hot key is re-registered on every change, including none).
    int hotKey = 0, placement = 0, image = 0;
    auto h = f.prefs.observe(P::lockHotKey, [&] { ++hotKey; });
    auto w = f.prefs.observe(P::settingsWindowPlacement, [&] { ++placement; });
    auto i = f.prefs.observe(P::overlayImageFileName, [&] { ++image; });
    f.prefs.setLockHotKey(HotKey{37, {8}});
    f.prefs.setLockHotKey(std::nullopt);
    f.prefs.setSettingsWindowPlacement(std::nullopt);
    f.prefs.setOverlayImageFileName(std::nullopt);
    EXPECT_EQ(hotKey, 2);
    EXPECT_EQ(placement, 1);
    EXPECT_EQ(image, 1);
}

TEST(Preferences, DurationTitlesInTheInterfaceLanguage) {
    Localization localization(std::make_shared<Preferences>(std::make_shared<InMemoryDefaultsStore>()),
                              [] { return std::vector<std::string>{"en-US"}; });
    EXPECT_EQ(Preferences::durationTitle(0), "Off");
    EXPECT_EQ(Preferences::durationTitle(3600), "1 hour");
    EXPECT_EQ(Preferences::durationTitle(5400), "1 hour, 30 minutes");
    EXPECT_EQ(Preferences::durationTitle(300), "5 minutes");
    EXPECT_EQ(Preferences::durationTitle(3661), "1 hour, 1 minute, 1 second");
    EXPECT_EQ(Preferences::durationTitle(14400), "4 hours");

    localization.setOverride(AppLanguage::de);
    EXPECT_EQ(Preferences::durationTitle(0), "Aus");
    EXPECT_EQ(Preferences::durationTitle(3600), "1 Stunde");
    EXPECT_EQ(Preferences::durationTitle(5400), "1 Stunde, 30 Minuten");
    localization.setOverride(AppLanguage::ja);
    EXPECT_EQ(Preferences::durationTitle(5400), "1 時間 30 分");
}

TEST(Preferences, ReturnLineUsesShortTimeInTheLocalZone) {
    ::setenv("TZ", "UTC", 1);
    ::setenv("LC_ALL", "C.UTF-8", 1); // no hour cycle of the system's: the language's own
    Localization localization(std::make_shared<Preferences>(std::make_shared<InMemoryDefaultsStore>()),
                              [] { return std::vector<std::string>{"en-US"}; });
    auto at = std::chrono::system_clock::from_time_t(1'700'000'000 + 0); // 22:13:20 UTC
    std::string line = Preferences::awayNoteReturnLine(at);
    EXPECT_TRUE(line.starts_with("Back around 10:13")) << line;
    EXPECT_NE(line.find("PM"), std::string::npos) << line;
    localization.setOverride(AppLanguage::de);
    EXPECT_EQ(Preferences::awayNoteReturnLine(at), "Zurück gegen 22:13");

    // A desktop whose clock counts 24 hours, with the English interface: the English words,
    // the desktop's hours.
    localization.setOverride(AppLanguage::en);
    ::setenv("LC_ALL", "", 1);
    ::setenv("LC_TIME", "en_GB.UTF-8", 1);
    EXPECT_EQ(Preferences::awayNoteReturnLine(at), "Back around 22:13");
    ::setenv("LC_TIME", "de_DE.UTF-8", 1);
    EXPECT_EQ(Preferences::awayNoteReturnLine(at), "Back around 22:13");
    // And a 12-hour desktop keeps the German words.
    ::setenv("LC_TIME", "en_US.UTF-8", 1);
    localization.setOverride(AppLanguage::de);
    EXPECT_EQ(Preferences::awayNoteReturnLine(at), "Zurück gegen 10:13\u202FPM");
}

TEST(Preferences, LocalizationReadsTheStandardStoreWhenNothingIsInjected) {
    // The test process has its own XDG_CONFIG_HOME.
    auto store = JsonFileDefaultsStore::standard();
    Localization localization(nullptr, [] { return std::vector<std::string>{"ko"}; });
    EXPECT_EQ(localization.language(), AppLanguage::ko);
    localization.setOverride(AppLanguage::fr);
    EXPECT_EQ(store->string("appLanguage"), "fr");
    EXPECT_EQ(store->stringArray("AppleLanguages"), std::vector<std::string>{"fr"});
    Localization again(nullptr, [] { return std::vector<std::string>{"ko"}; });
    EXPECT_EQ(again.language(), AppLanguage::fr);
}

// A text planted in the file (never written through the setter) is capped when read: the
// overlay never sees more than 80 characters, however long the stored text is.
TEST(Preferences, PlantedAwayNoteIsCappedWhenRead) {
    Fixture f;
    f.store->setObject("awayNoteText", DefaultsValue(std::string(std::string(100000, 'w'))));
    EXPECT_EQ(f.prefs.awayNoteText(), std::string(80, 'w'));
    EXPECT_EQ(f.prefs.awayNote(true), std::string(80, 'w'));
    // Characters, not bytes: accented letters made of two code points count once.
    std::string accented;
    for (int i = 0; i < 5000; ++i)
        accented += "e\u0301";
    f.store->setObject("awayNoteText", DefaultsValue(std::string(accented)));
    EXPECT_EQ(f.prefs.awayNoteText(), accented.substr(0, 80 * std::string("e\u0301").size()));
    f.store->setObject("awayNoteText", DefaultsValue(std::string("Short one")));
    EXPECT_EQ(f.prefs.awayNoteText(), "Short one") << "a short text reads as stored";
}

// Numbers far outside every range, and values of the wrong type, as a hostile file holds them:
// each reads as its default or is clamped into range, as the table of preferences says.
TEST(Preferences, HostileNumbersReadInRange) {
    auto decoded = JsonFileDefaultsStore::decode(R"({"idleTimeoutSeconds": -9223372036854775808,
        "keepAwakeSeconds": 18446744073709551615, "liveTintOpacity": 1e308, "overlayColorHex": "#FFFFFFFFF",
        "animations": ["breathing", "breathing", "unknown"], "awayNoteShowsReturnTime": 0,
        "animationStrength": 3})");
    ASSERT_TRUE(decoded);
    auto store = std::make_shared<InMemoryDefaultsStore>();
    for (const auto& [key, value] : *decoded)
        store->setObject(key, value);
    Preferences prefs(store);
    EXPECT_EQ(prefs.idleTimeoutSeconds(), 300);
    EXPECT_EQ(prefs.keepAwakeSeconds(), 3600) << "beyond 64 bits reads as a real, not an integer";
    EXPECT_DOUBLE_EQ(prefs.liveTintOpacity(), 0.5);
    EXPECT_EQ(prefs.overlayColor(), SRGBColor::defaultOverlay());
    EXPECT_EQ(prefs.animations(), OverlayAnimationSet{OverlayAnimation::breathing});
    EXPECT_TRUE(prefs.awayNoteShowsReturnTime());
    EXPECT_EQ(prefs.animationStrength(), AnimationStrength::subtle);
    store->setObject("liveTintOpacity", DefaultsValue(-1e308));
    EXPECT_DOUBLE_EQ(prefs.liveTintOpacity(), 0.02);
}
