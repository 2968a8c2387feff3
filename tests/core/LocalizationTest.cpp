#include "TolvaCore/Localization.h"

#include "TolvaCore/L10n.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

using namespace tolva;

namespace {

class MemoryLanguagePreference : public LanguagePreference {
public:
    std::optional<AppLanguage> appLanguage() const override { return value; }
    void setAppLanguage(std::optional<AppLanguage> language) override {
        value = language;
        ++writes;
    }
    std::optional<AppLanguage> value;
    int writes = 0;
};

struct ChangeCounter {
    int count = 0;
    NotificationCenter::Token token = NotificationCenter::defaultCenter().addObserver(
        std::string(Localization::didChange), [this](const void*) { ++count; });
};

Localization::SystemPreferred systemList(std::vector<std::string> list) {
    return [list] { return list; };
}

} // namespace

TEST(AppLanguage, RawValuesEndonymsAndOrder) {
    std::vector<std::string> raw;
    for (AppLanguage language : AppLanguage::allCases())
        raw.emplace_back(language.rawValue());
    EXPECT_EQ(raw, (std::vector<std::string>{"en", "zh-Hans", "zh-Hant", "de", "fr", "ja", "ko"}));
    EXPECT_EQ(AppLanguage(AppLanguage::zhHant).endonym(), "繁體中文");
    EXPECT_EQ(AppLanguage(AppLanguage::ko).endonym(), "한국어");
    EXPECT_EQ(AppLanguage::fromRawValue("zh-Hans"), AppLanguage(AppLanguage::zhHans));
    EXPECT_EQ(AppLanguage::fromRawValue("zh-hans"), std::nullopt); // exact match only
    EXPECT_EQ(AppLanguage::fromRawValue("pt"), std::nullopt);
}

TEST(AppLanguage, ResolveMatchesLanguageScriptAndRegion) {
    struct Case {
        std::vector<std::string> preferred;
        AppLanguage expected;
    };
    const std::vector<Case> cases = {
        {{"fr-CA"}, AppLanguage::fr},
        {{"pt-BR"}, AppLanguage::en},
        {{"zh-TW"}, AppLanguage::zhHant},
        {{"zh-HK"}, AppLanguage::zhHant},
        {{"zh-CN"}, AppLanguage::zhHans},
        {{"zh-Hans-SG"}, AppLanguage::zhHans},
        {{"ko-KR"}, AppLanguage::ko},
        {{"ja"}, AppLanguage::ja},
        {{"de_AT.UTF-8"}, AppLanguage::de},
        {{"fr_CA.UTF-8@euro"}, AppLanguage::fr},
        {{"pt-BR", "de-CH"}, AppLanguage::de},
        {{"C", "POSIX"}, AppLanguage::en},
        {{}, AppLanguage::en},
    };
    for (auto& c : cases) {
        std::string list;
        for (auto& p : c.preferred)
            list += p + " ";
        EXPECT_EQ(AppLanguage::resolve(c.preferred), c.expected) << list;
    }
}

TEST(Localization, FollowsSystemUnlessOverridden) {
    auto prefs = std::make_shared<MemoryLanguagePreference>();
    Localization canadian(prefs, systemList({"fr-CA", "en-CA"}));
    EXPECT_EQ(canadian.language(), AppLanguage::fr);
    EXPECT_EQ(canadian.override(), std::nullopt);

    Localization brazilian(prefs, systemList({"pt-BR"}));
    EXPECT_EQ(brazilian.language(), AppLanguage::en);

    prefs->value = AppLanguage::ko;
    Localization chosen(prefs, systemList({"fr-CA"}));
    EXPECT_EQ(chosen.language(), AppLanguage::ko);
    EXPECT_EQ(Localization::snapshot(), AppLanguage::ko);
}

TEST(Localization, OverridePostsDidChangeOnlyOnRealChanges) {
    auto store = std::make_shared<MemoryLanguagePreference>();
    Localization localization(store, systemList({"ja-JP"}));
    ASSERT_EQ(localization.language(), AppLanguage::ja);
    ChangeCounter changes;

    localization.setOverride(AppLanguage::de);
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(localization.language(), AppLanguage::de);
    EXPECT_EQ(store->value, AppLanguage::de);
    EXPECT_EQ(Localization::snapshot(), AppLanguage::de);

    localization.setOverride(AppLanguage::de);
    EXPECT_EQ(changes.count, 1);

    localization.setOverride(AppLanguage::ja);
    EXPECT_EQ(changes.count, 2);
    localization.setOverride(std::nullopt); // the system prefers Japanese too
    EXPECT_EQ(changes.count, 2);
    EXPECT_EQ(localization.override(), std::nullopt);
    EXPECT_EQ(store->writes, 4);
}

TEST(Localization, SystemListComesFromTheEnvironmentInOrder) {
    ::setenv("LANGUAGE", "de_CH:fr::en", 1);
    ::setenv("LC_ALL", "", 1);
    ::setenv("LC_MESSAGES", "ja_JP.UTF-8", 1);
    ::setenv("LANG", "ko_KR.UTF-8", 1);
    EXPECT_EQ(Localization::systemPreferredLanguages(),
              (std::vector<std::string>{"de_CH", "fr", "en", "ja_JP.UTF-8"}));
    ::unsetenv("LANGUAGE");
    ::unsetenv("LC_MESSAGES");
    EXPECT_EQ(Localization::systemPreferredLanguages(), (std::vector<std::string>{"ko_KR.UTF-8"}));
    EXPECT_EQ(AppLanguage::resolve(Localization::systemPreferredLanguages()), AppLanguage::ko);
}

TEST(L10n, BackgroundLookupBeforeLocalizationExistsUsesEnglish) {
    // Each test runs in its own process, so nothing has created the shared instance yet.
    ::setenv("LANGUAGE", "de", 1);
    std::string fromThread;
    std::thread([&] { fromThread = L10n::string("menu.quit"); }).join();
    EXPECT_EQ(fromThread, "Quit");

    Localization::configure(nullptr);
    EXPECT_EQ(Localization::shared().language(), AppLanguage::de);
    std::thread([&] { fromThread = L10n::string("menu.quit"); }).join();
    EXPECT_EQ(fromThread, L10n::string("menu.quit", AppLanguage::de));
    EXPECT_NE(fromThread, "Quit");
}

TEST(L10n, LookupFallsBackToEnglishThenToTheKey) {
    EXPECT_EQ(L10n::string("unlock.error.pinWrong", AppLanguage::en), "Incorrect PIN");
    for (AppLanguage language : AppLanguage::allCases()) {
        EXPECT_EQ(L10n::string("no.such.key", language), "no.such.key");
        EXPECT_EQ(L10n::tableText(language, "no.such.key"), std::nullopt);
    }
    EXPECT_EQ(L10n::string(""), "");
}

TEST(L10n, FormatsPrintfPlaceholders) {
    using L10n::formatTemplate;
    const AppLanguage en = AppLanguage::en;
    std::vector<L10n::Arg> args = {std::int64_t{2}, std::int64_t{4}, "Set PIN"};
    EXPECT_EQ(formatTemplate("Step %1$lld of %2$lld · %3$@", args, en), "Step 2 of 4 · Set PIN");
    EXPECT_EQ(formatTemplate("%3$@ (%2$lld/%1$lld)", args, en), "Set PIN (4/2)");
    EXPECT_EQ(formatTemplate("%lld%% of %d, %@", args, en), "2% of 4, Set PIN");
    std::vector<L10n::Arg> negative = {std::int64_t{-25300}};
    EXPECT_EQ(formatTemplate("Keychain error %lld", negative, en), "Keychain error -25300");
    std::vector<L10n::Arg> big = {std::int64_t{1234567}};
    EXPECT_EQ(formatTemplate("%lld", big, AppLanguage::de), "1234567");  // never grouped
    EXPECT_EQ(formatTemplate("%@ and %@", negative, en), "-25300 and "); // missing argument
    EXPECT_EQ(formatTemplate("100% sure %q", {}, en), "100% sure %q");   // not a conversion
    EXPECT_EQ(formatTemplate("trailing %", {}, en), "trailing %");
}

TEST(L10n, TypedAccessorsFormatTheirKeys) {
    Localization localization(nullptr, systemList({"en"}));
    EXPECT_EQ(L10n::Unlock::Error::retryAfter("30 seconds"), "Too many attempts. Try again in 30 seconds");
    EXPECT_EQ(L10n::Pin::Error::tooShort(4), "A PIN must be at least 4 digits");
    EXPECT_EQ(L10n::Onboarding::stepIndicator(2, 4, "Welcome"), "Step 2 of 4 · Welcome");
    EXPECT_EQ(L10n::Settings::HotKey::clearButton(), "Clear");
    EXPECT_EQ(L10n::Pin::Field::new_(), "New PIN (4–8 digits)");
    EXPECT_EQ(L10n::Keychain::Error::message(-25300), "Keychain error -25300");

    localization.setOverride(AppLanguage::de);
    EXPECT_EQ(L10n::Settings::HotKey::clearButton(),
              L10n::string("settings.hotKey.clearButton", AppLanguage::de));
    EXPECT_EQ(L10n::currentLocale().getLanguage(), std::string("de"));
    localization.setOverride(AppLanguage::zhHant);
    EXPECT_EQ(L10n::currentLocale().getScript(), std::string("Hant"));
}

TEST(L10n, MainThreadLookupBeforeLocalizationExistsUsesTheSystemLanguage) {
    // In a process of its own, so that nothing has made the shared instance yet: a text looked
    // up before start-up configures the language already comes out in the system's.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::setenv("LANGUAGE", "de", 1);
    EXPECT_EXIT(
        {
            std::string fromThread;
            std::thread([&] { fromThread = L10n::string("menu.quit"); }).join();
            const std::string onMain = L10n::string("menu.quit");
            std::fprintf(stderr, "main=%s thread=%s\n", onMain.c_str(), fromThread.c_str());
            std::exit(onMain == L10n::string("menu.quit", AppLanguage::de) ? 0 : 1);
        },
        testing::ExitedWithCode(0), "main=Beenden thread=Quit");
}
