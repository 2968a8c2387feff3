// The current interface language: chosen by the user ("appLanguage") or matched from the
// system's preferred languages, mirrored into a process-wide snapshot for other threads.
#pragma once

#include "TolvaCore/AppLanguage.h"
#include "TolvaCore/NotificationCenter.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolva {

// Where the user's explicit language choice is kept ("appLanguage").
class LanguagePreference {
public:
    virtual ~LanguagePreference() = default;
    virtual std::optional<AppLanguage> appLanguage() const = 0;
    virtual void setAppLanguage(std::optional<AppLanguage> language) = 0;
};

// Main-thread object: construction, refresh and override writes happen there. Other threads
// read the language through `snapshot()` (or L10n, which does so).
class Localization {
public:
    using SystemPreferred = std::function<std::vector<std::string>()>;

    static constexpr std::string_view didChange = "org.tolva.Screen.LocalizationDidChange";

    explicit Localization(std::shared_ptr<LanguagePreference> preferences = nullptr,
                          SystemPreferred systemPreferred = systemPreferredLanguages);
    Localization(const Localization&) = delete;
    Localization& operator=(const Localization&) = delete;

    static Localization& shared();
    // Injects the application's preferences into the shared instance and refreshes.
    static void configure(std::shared_ptr<LanguagePreference> preferences);
    // The language last resolved on the main thread; English until then.
    static AppLanguage snapshot();

    // LANGUAGE (a colon list), then LC_ALL, LC_MESSAGES, LANG.
    static std::vector<std::string> systemPreferredLanguages();

    AppLanguage language() const { return language_; }

    // The explicit choice; none means follow the system.
    std::optional<AppLanguage> override() const;
    void setOverride(std::optional<AppLanguage> language);

    // Re-reads the preference and the system list; posts `didChange` when the language changed.
    void refresh();

private:
    AppLanguage resolveCurrent();
    void publish(AppLanguage language, bool notify);
    LanguagePreference& preferences() const;

    mutable std::shared_ptr<LanguagePreference> injectedPreferences_; // made on first use when none was given
    SystemPreferred systemPreferred_;
    AppLanguage language_ = AppLanguage::en;
};

} // namespace tolva
