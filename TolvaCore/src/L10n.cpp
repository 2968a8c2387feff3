// Table lookup with its English and key fallbacks, and locale-aware printf-style formatting.
#include "TolvaCore/L10n.h"

#include "StringTables.h"
#include "TolvaCore/Localization.h"

#include <algorithm>
#include <charconv>
#include <unicode/numberformatter.h>
#include <unicode/unistr.h>
#include <unistd.h>

namespace tolva::L10n {

namespace {

std::string integerText(std::int64_t value, AppLanguage language) {
    // Locale digits and minus sign, no grouping: "%lld" never groups thousands.
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale(language.localeIdentifier().c_str());
    icu::number::FormattedNumber formatted =
        icu::number::NumberFormatter::withLocale(locale).grouping(UNUM_GROUPING_OFF).formatInt(value, status);
    std::string out;
    if (U_SUCCESS(status)) {
        icu::UnicodeString text = formatted.toString(status);
        if (U_SUCCESS(status))
            text.toUTF8String(out);
    }
    return U_SUCCESS(status) ? out : std::to_string(value);
}

std::string argumentText(const Arg* arg, bool asString, AppLanguage language) {
    if (!arg)
        return {};
    if (auto* number = std::get_if<std::int64_t>(&arg->value))
        return asString ? std::to_string(*number) : integerText(*number, language);
    const std::string& text = std::get<std::string>(arg->value);
    if (asString)
        return text;
    // A string handed to a numeric conversion: format it if it is a number, else show it.
    std::int64_t parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    return error == std::errc() && end == text.data() + text.size() ? integerText(parsed, language) : text;
}

} // namespace

std::optional<std::string_view> tableText(AppLanguage language, std::string_view key) {
    auto table = strings::tables[static_cast<std::size_t>(AppLanguage::Value(language))];
    auto it = std::lower_bound(table.begin(), table.end(), key,
                               [](const strings::Entry& entry, std::string_view k) { return entry.key < k; });
    if (it != table.end() && it->key == key)
        return it->text;
    return std::nullopt;
}

std::vector<std::string_view> tableKeys(AppLanguage language) {
    std::vector<std::string_view> keys;
    for (auto& entry : strings::tables[static_cast<std::size_t>(AppLanguage::Value(language))])
        keys.push_back(entry.key);
    return keys;
}

AppLanguage currentLanguage() {
    // On the main thread the shared localisation is made on first use, so a text looked up
    // before start-up configures it already comes out in the user's language. Other threads
    // only read the snapshot: English until the main thread has resolved the language.
    static thread_local bool making = false; // a lookup while it is being made reads the snapshot
    if (!making && ::gettid() == ::getpid()) {
        making = true;
        Localization::shared();
        making = false;
    }
    return Localization::snapshot();
}

icu::Locale currentLocale() {
    return icu::Locale(currentLanguage().localeIdentifier().c_str());
}

std::string string(std::string_view key, AppLanguage language) {
    if (auto text = tableText(language, key))
        return std::string(*text);
    if (auto text = tableText(AppLanguage::en, key))
        return std::string(*text);
    return std::string(key);
}

std::string string(std::string_view key) {
    return string(key, currentLanguage());
}

std::string format(std::string_view key, std::span<const Arg> args) {
    AppLanguage language = currentLanguage();
    return formatTemplate(string(key, language), args, language);
}

std::string formatTemplate(std::string_view templ, std::span<const Arg> args, AppLanguage language) {
    std::string out;
    out.reserve(templ.size() + 16);
    std::size_t sequential = 0;
    std::size_t i = 0;
    while (i < templ.size()) {
        char c = templ[i];
        if (c != '%' || i + 1 >= templ.size()) {
            out += c;
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        if (templ[j] == '%') {
            out += '%';
            i = j + 1;
            continue;
        }
        // Optional "n$" position.
        std::size_t position = 0;
        std::size_t digitsEnd = j;
        while (digitsEnd < templ.size() && templ[digitsEnd] >= '0' && templ[digitsEnd] <= '9')
            ++digitsEnd;
        if (digitsEnd > j && digitsEnd < templ.size() && templ[digitsEnd] == '$') {
            std::from_chars(templ.data() + j, templ.data() + digitsEnd, position);
            j = digitsEnd + 1;
        }
        std::string_view rest = templ.substr(j);
        std::size_t length = 0;
        bool asString = false;
        if (rest.starts_with("@")) {
            length = 1;
            asString = true;
        } else if (rest.starts_with("lld")) {
            length = 3;
        } else if (rest.starts_with("ld")) {
            length = 2;
        } else if (rest.starts_with("d")) {
            length = 1;
        }
        if (length == 0) {
            out += c; // not a conversion we know: keep it as text
            ++i;
            continue;
        }
        std::size_t index = position > 0 ? position - 1 : sequential++;
        out += argumentText(index < args.size() ? &args[index] : nullptr, asString, language);
        i = j + length;
    }
    return out;
}

} // namespace tolva::L10n
