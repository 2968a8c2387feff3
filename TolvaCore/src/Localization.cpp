// Resolution of the interface language and its thread-safe snapshot.
#include "TolvaCore/Localization.h"

#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/Preferences.h"

#include <cstdlib>
#include <mutex>
#include <sstream>

namespace tolva {

namespace {

std::mutex snapshotMutex;
AppLanguage snapshotLanguage = AppLanguage::en;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

} // namespace

Localization::Localization(std::shared_ptr<LanguagePreference> preferences, SystemPreferred systemPreferred)
    : injectedPreferences_(std::move(preferences)), systemPreferred_(std::move(systemPreferred)) {
    publish(resolveCurrent(), false);
}

Localization& Localization::shared() {
    static Localization instance;
    return instance;
}

void Localization::configure(std::shared_ptr<LanguagePreference> preferences) {
    Localization& localization = shared();
    localization.injectedPreferences_ = std::move(preferences);
    localization.refresh();
}

AppLanguage Localization::snapshot() {
    std::lock_guard lock(snapshotMutex);
    return snapshotLanguage;
}

std::vector<std::string> Localization::systemPreferredLanguages() {
    std::vector<std::string> list;
    std::string language = environment("LANGUAGE");
    std::stringstream parts(language);
    for (std::string part; std::getline(parts, part, ':');)
        if (!part.empty())
            list.push_back(part);
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string value = environment(name);
        if (!value.empty()) {
            list.push_back(value);
            break;
        }
    }
    return list;
}

LanguagePreference& Localization::preferences() const {
    // Without injected preferences, reads go through preferences over the standard store.
    if (!injectedPreferences_)
        injectedPreferences_ = std::make_shared<Preferences>(JsonFileDefaultsStore::standard());
    return *injectedPreferences_;
}

std::optional<AppLanguage> Localization::override() const {
    return preferences().appLanguage();
}

void Localization::setOverride(std::optional<AppLanguage> language) {
    preferences().setAppLanguage(language);
    refresh();
}

void Localization::refresh() {
    publish(resolveCurrent(), true);
}

AppLanguage Localization::resolveCurrent() {
    if (auto chosen = preferences().appLanguage())
        return *chosen;
    return AppLanguage::resolve(systemPreferred_ ? systemPreferred_() : std::vector<std::string>{});
}

void Localization::publish(AppLanguage language, bool notify) {
    {
        std::lock_guard lock(snapshotMutex);
        snapshotLanguage = language;
    }
    if (language == language_)
        return;
    language_ = language;
    if (notify)
        NotificationCenter::defaultCenter().post(didChange, this);
}

} // namespace tolva
