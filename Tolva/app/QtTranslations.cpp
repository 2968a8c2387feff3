// Qt's catalogue of the interface language.
#include "app/QtTranslations.h"

#include "TolvaCore/Localization.h"
#include "log/Log.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace tolva {

QtTranslations::QtTranslations() {
    apply(Localization::shared().language());
    observer_ = NotificationCenter::defaultCenter().addObserver(
        std::string(Localization::didChange),
        [this](const void*) { apply(Localization::shared().language()); });
}

QtTranslations::~QtTranslations() {
    if (translator_)
        QCoreApplication::removeTranslator(translator_.get());
    QLocale::setDefault(QLocale::system());
}

QString QtTranslations::catalogueLocale(AppLanguage language) {
    // Qt names its Chinese catalogues by region.
    if (language == AppLanguage::zhHans)
        return QStringLiteral("zh_CN");
    if (language == AppLanguage::zhHant)
        return QStringLiteral("zh_TW");
    return QString::fromUtf8(language.rawValue().data(), static_cast<qsizetype>(language.rawValue().size()));
}

bool QtTranslations::apply(AppLanguage language) {
    if (applied_ == language)
        return translator_ || language == AppLanguage::en;
    applied_ = language;
    if (translator_) {
        QCoreApplication::removeTranslator(translator_.get());
        translator_.reset();
    }
    const QString name = catalogueLocale(language);
    // Numbers and dates that Qt's widgets write follow the language too.
    QLocale::setDefault(QLocale(QString::fromStdString(language.localeIdentifier())));
    if (language == AppLanguage::en)
        return true;
    auto translator = std::make_unique<QTranslator>();
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QStringLiteral("qtbase_") + name, folder)) {
        Log::ui.error("Qt translations for " + std::string(language.rawValue()) + " not found in " +
                      folder.toStdString() + " (package qt6-translations-l10n)");
        return false;
    }
    QCoreApplication::installTranslator(translator.get());
    translator_ = std::move(translator);
    return true;
}

} // namespace tolva
