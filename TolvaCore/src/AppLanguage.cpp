// AppLanguage raw values, endonyms and the preference matcher (ICU LocaleMatcher).
#include "TolvaCore/AppLanguage.h"

#include <mutex>
#include <unicode/localematcher.h>
#include <unicode/locid.h>

namespace tolva {

namespace {

constexpr std::array<std::string_view, 7> rawValues = {"en", "zh-Hans", "zh-Hant", "de", "fr", "ja", "ko"};
constexpr std::array<std::string_view, 7> endonyms = {"English",  "简体中文", "繁體中文", "Deutsch",
                                                      "Français", "日本語",   "한국어"};

// Turns "fr_CA.UTF-8", "de_DE@euro" or "zh-TW" into a BCP 47 tag ICU can read.
std::string bcp47(std::string_view identifier) {
    std::string id(identifier.substr(0, identifier.find_first_of(".@")));
    for (char& c : id)
        if (c == '_')
            c = '-';
    return id;
}

} // namespace

const std::array<AppLanguage, 7>& AppLanguage::allCases() {
    static const std::array<AppLanguage, 7> all = {en, zhHans, zhHant, de, fr, ja, ko};
    return all;
}

std::optional<AppLanguage> AppLanguage::fromRawValue(std::string_view raw) {
    for (std::size_t i = 0; i < rawValues.size(); ++i)
        if (rawValues[i] == raw)
            return AppLanguage(static_cast<Value>(i));
    return std::nullopt;
}

std::string_view AppLanguage::rawValue() const {
    return rawValues[value_];
}

std::string_view AppLanguage::endonym() const {
    return endonyms[value_];
}

std::string AppLanguage::localeIdentifier() const {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale = icu::Locale::forLanguageTag(std::string(rawValue()), status);
    return U_SUCCESS(status) ? locale.getName() : std::string("en");
}

AppLanguage AppLanguage::resolve(const std::vector<std::string>& preferred) {
    static std::once_flag once;
    static std::optional<icu::LocaleMatcher> matcher;
    static std::vector<icu::Locale> supported;
    std::call_once(once, [] {
        UErrorCode status = U_ZERO_ERROR;
        for (auto raw : rawValues)
            supported.push_back(icu::Locale::forLanguageTag(std::string(raw), status));
        icu::LocaleMatcher::Builder builder;
        builder.setSupportedLocales(supported.begin(), supported.end());
        // No default: a list with no acceptable match must come back empty, not as English
        // by accident of the matcher's fallback.
        builder.setNoDefaultLocale();
        icu::LocaleMatcher built = builder.build(status);
        if (U_SUCCESS(status))
            matcher.emplace(std::move(built));
    });
    if (!matcher)
        return en;

    std::vector<icu::Locale> desired;
    for (const auto& identifier : preferred) {
        std::string tag = bcp47(identifier);
        if (tag.empty() || tag == "C" || tag == "POSIX")
            continue;
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale locale = icu::Locale::forLanguageTag(tag, status);
        if (U_SUCCESS(status) && !locale.isBogus() && *locale.getLanguage() != '\0')
            desired.push_back(locale);
    }
    if (desired.empty())
        return en;

    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::RangeIterator<std::vector<icu::Locale>::const_iterator> range(desired.begin(),
                                                                               desired.end());
    const icu::Locale* best = matcher->getBestMatch(range, status);
    if (U_FAILURE(status) || best == nullptr)
        return en;
    for (std::size_t i = 0; i < supported.size(); ++i)
        if (supported[i] == *best)
            return AppLanguage(static_cast<Value>(i));
    return en;
}

} // namespace tolva
