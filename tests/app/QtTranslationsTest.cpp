// Qt's own words in the interface language, whether the settings or the system chose it.
#include "app/QtTranslations.h"

#include "TolvaCore/DefaultsStore.h"
#include "TolvaCore/Localization.h"
#include "TolvaCore/Preferences.h"
#include "support/QtWidgetsApp.h"

#include <QDialogButtonBox>
#include <QKeySequence>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace tolva;

namespace {

QString ctrlW() {
    return QKeySequence(Qt::ControlModifier | Qt::Key_W).toString(QKeySequence::NativeText);
}

QString cancelButton() {
    QDialogButtonBox box(QDialogButtonBox::Cancel);
    return box.button(QDialogButtonBox::Cancel)->text();
}

} // namespace

TEST(QtTranslations, FollowTheInterfaceLanguageFromStartAndOnEveryChange) {
    test::widgetsApp();
    auto prefs = std::make_shared<Preferences>(std::make_shared<InMemoryDefaultsStore>());
    // The system's language, nothing chosen in the settings: German from the start.
    ::setenv("LANGUAGE", "de_AT", 1);
    Localization::configure(prefs);
    {
        QtTranslations translations;
        EXPECT_EQ(ctrlW(), "Strg+W");
        EXPECT_EQ(cancelButton(), "Abbrechen");
        EXPECT_EQ(QLocale().language(), QLocale::German);

        // Chosen in the settings: followed at once.
        Localization::shared().setOverride(AppLanguage::fr);
        EXPECT_EQ(cancelButton(), "Annuler");
        Localization::shared().setOverride(AppLanguage::ja);
        EXPECT_EQ(cancelButton(), "キャンセル");
        Localization::shared().setOverride(AppLanguage::zhHant);
        EXPECT_EQ(cancelButton(), "取消");
        Localization::shared().setOverride(AppLanguage::en);
        EXPECT_EQ(ctrlW(), "Ctrl+W");
        EXPECT_EQ(cancelButton(), "Cancel");
        Localization::shared().setOverride(std::nullopt); // back to the system's
        EXPECT_EQ(ctrlW(), "Strg+W");
    }
    EXPECT_EQ(ctrlW(), "Ctrl+W") << "gone with the object";

    // Every language of the interface has its catalogue where the package puts it.
    QtTranslations translations;
    for (AppLanguage language : AppLanguage::allCases())
        EXPECT_TRUE(translations.apply(language)) << language.rawValue();
    EXPECT_EQ(QtTranslations::catalogueLocale(AppLanguage::zhHans), "zh_CN");
    EXPECT_EQ(QtTranslations::catalogueLocale(AppLanguage::zhHant), "zh_TW");
    EXPECT_EQ(QtTranslations::catalogueLocale(AppLanguage::ko), "ko");
    Localization::shared().setOverride(std::nullopt);
}
