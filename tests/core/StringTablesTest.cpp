#include "TolvaCore/L10n.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>

using namespace tolva;

namespace {

// Placeholders as "position:kind" in argument order, "%%" excluded.
std::multiset<std::string> placeholderShape(std::string_view text) {
    static const std::regex spec(R"(%(?:(\d+)\$)?(@|lld|ld|d|%))");
    std::multiset<std::string> shape;
    std::string s(text);
    int sequential = 0;
    for (auto it = std::sregex_iterator(s.begin(), s.end(), spec); it != std::sregex_iterator(); ++it) {
        if ((*it)[2] == "%")
            continue;
        int position = (*it)[1].matched ? std::stoi((*it)[1]) : ++sequential;
        shape.insert(std::to_string(position) + ((*it)[2] == "@" ? ":string" : ":integer"));
    }
    return shape;
}

} // namespace

TEST(StringTables, EveryLanguageHasTheEnglishKeysAndPlaceholders) {
    auto english = L10n::tableKeys(AppLanguage::en);
    EXPECT_EQ(english.size(), 218u);
    for (AppLanguage language : AppLanguage::allCases()) {
        SCOPED_TRACE(language.rawValue());
        std::size_t sameAsEnglish = 0;
        EXPECT_EQ(L10n::tableKeys(language), english);
        for (auto key : english) {
            auto text = L10n::tableText(language, key);
            ASSERT_TRUE(text.has_value()) << key;
            EXPECT_FALSE(text->empty()) << key;
            EXPECT_EQ(placeholderShape(*text), placeholderShape(*L10n::tableText(AppLanguage::en, key)))
                << key;
            // The product name is never translated.
            if (L10n::tableText(AppLanguage::en, key)->find("Tolva Screen") != std::string_view::npos) {
                EXPECT_NE(text->find("Tolva Screen"), std::string_view::npos) << key;
            }
            if (*text == *L10n::tableText(AppLanguage::en, key)) {
                ++sameAsEnglish;
            }
        }
        // A few texts are the same in several languages ("Touch ID", symbols); a table that
        // matches English much more often was left untranslated.
        if (language != AppLanguage::en) {
            EXPECT_LT(sameAsEnglish, english.size() / 20);
        }
    }
}

TEST(StringTables, EnglishTextsStandAsWritten) {
    const std::pair<const char*, const char*> samples[] = {
        {"about.tagline", "Privacy overlay · Runs entirely on this computer"},
        {"onboarding.stepIndicator", "Step %1$lld of %2$lld · %3$@"},
        {"pin.error.saveFailed", "Couldn’t save: %@"},
        {"menu.warningLine", "⚠︎ %@"},
        {"unlock.note.debugEscape", "Debug build: Ctrl+Alt+Meta+Esc dismisses the overlay"},
        {"onboarding.welcome.body2",
         "Tolva Screen is a privacy overlay. It guards against coworkers walking past "
         "and the person at the next table. When you need real security, lock your "
         "session."},
        {"settings.security.touchIDRow", "Fingerprint"},
        {"onboarding.done.body", "Tolva Screen stays in the system tray."},
        {"animationStrength.strong.title", "Noticeable"},
        {"unlock.prompt.pinTitle", "Enter PIN"},
    };
    for (auto [key, text] : samples)
        EXPECT_EQ(L10n::string(key, AppLanguage::en), text);
}

// The program runs on a Linux desktop: no text may speak of another system's places, hardware
// or shortcut symbols, in any language.
TEST(StringTables, NoTextSpeaksOfAnotherSystem) {
    const char* everywhere[] = {
        "Mac", "menu bar", "System Settings", "Touch ID", "Screen Recording", "Accessibility", "⌘", "⌃",
        "⌥",   "⇧"};
    const std::pair<AppLanguage, std::vector<const char*>> translated[] = {
        {AppLanguage::de, {"Menüleiste", "Systemeinstellungen", "Bedienungshilfen"}},
        {AppLanguage::fr, {"barre des menus", "Réglages Système", "accessibilité"}},
        {AppLanguage::ja, {"メニューバー", "システム設定", "アクセシビリティ"}},
        {AppLanguage::ko, {"메뉴 막대", "시스템 설정", "손쉬운 사용"}},
        {AppLanguage::zhHans, {"菜单栏", "系统设置", "辅助功能"}},
        {AppLanguage::zhHant, {"選單列", "系統設定", "輔助使用"}},
    };
    for (AppLanguage language : AppLanguage::allCases()) {
        SCOPED_TRACE(language.rawValue());
        std::vector<const char*> forbidden(std::begin(everywhere), std::end(everywhere));
        for (const auto& [which, words] : translated)
            if (which == language)
                forbidden.insert(forbidden.end(), words.begin(), words.end());
        for (auto key : L10n::tableKeys(language)) {
            const std::string text(*L10n::tableText(language, key));
            for (const char* word : forbidden)
                EXPECT_EQ(text.find(word), std::string::npos) << key << " contains " << word << ": " << text;
        }
    }
}

// The build-time generator refuses tables that drift apart from English.
TEST(StringTables, GeneratorRejectsDriftingTables) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tolva-strings-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    auto writeAll = [&](const std::string& english, const std::string& german) {
        for (const char* raw : {"en", "zh-Hans", "zh-Hant", "fr", "ja", "ko"})
            std::ofstream(dir / (std::string(raw) + ".json")) << english;
        std::ofstream(dir / "de.json") << german;
    };
    auto run = [&] {
        std::string command = std::string(TOLVA_STRINGS_GEN) + " " + dir.string() + " " +
                              (dir / "t.cpp").string() + " " + (dir / "a.h").string() + " " +
                              (dir / "a.cpp").string() + " 2>/dev/null";
        return std::system(command.c_str());
    };
    writeAll(R"({"a.b": "Try %@", "a.c": "x"})", R"({"a.b": "Versuch %@", "a.c": "y"})");
    EXPECT_EQ(run(), 0);
    writeAll(R"({"a.b": "Try %@", "a.c": "x"})", R"({"a.b": "Versuch %lld", "a.c": "y"})");
    EXPECT_NE(run(), 0) << "placeholder kind changed";
    writeAll(R"({"a.b": "Try %@", "a.c": "x"})", R"({"a.b": "Versuch %@"})");
    EXPECT_NE(run(), 0) << "key missing";
    writeAll(R"({"a.b": "Try %@"})", R"({"a.b": "Versuch %@", "a.z": "y"})");
    EXPECT_NE(run(), 0) << "extra key";
    writeAll(R"({"a.b": "Try %@"})", R"({"a.b": "Versuch %@ %@"})");
    EXPECT_NE(run(), 0) << "extra placeholder";
    fs::remove_all(dir);
}
