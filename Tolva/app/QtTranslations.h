// Qt's own words (the buttons of its dialogs, "Strg" for Ctrl in a shortcut, its context menus)
// in the interface language, however that was chosen (the settings or the system), from start
// and on every change: Qt's catalogue of the language (qtbase_*.qm, Debian's
// qt6-translations-l10n) and the matching default locale.
#pragma once

#include "TolvaCore/AppLanguage.h"
#include "TolvaCore/NotificationCenter.h"

#include <QString>

#include <memory>
#include <optional>

class QTranslator;

namespace tolva {

class QtTranslations {
public:
    // Follows Localization's current language from now on.
    QtTranslations();
    ~QtTranslations();
    QtTranslations(const QtTranslations&) = delete;
    QtTranslations& operator=(const QtTranslations&) = delete;

    // Installs Qt's catalogue for `language` (none for English), replacing the previous one;
    // false when the catalogue is not installed (Qt then speaks English).
    bool apply(AppLanguage language);

    // The catalogue's locale name for a language ("de", "zh_CN", "zh_TW").
    static QString catalogueLocale(AppLanguage language);

private:
    std::unique_ptr<QTranslator> translator_;
    std::optional<AppLanguage> applied_;
    NotificationCenter::Token observer_;
};

} // namespace tolva
