// Every user-visible text by key, in the current interface language, and the printf-style
// formatting the tables use (%@, %lld, %d, %%, positional %1$lld / %2$@).
#pragma once

#include "TolvaCore/AppLanguage.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unicode/locid.h>
#include <variant>
#include <vector>

namespace tolva::L10n {

// One formatting argument: an integer for %lld / %d, a string for %@.
struct Arg {
    std::variant<std::int64_t, std::string> value;

    Arg(std::int64_t v) : value(v) {}
    Arg(int v) : value(std::int64_t{v}) {}
    Arg(long long v) : value(static_cast<std::int64_t>(v)) {}
    Arg(unsigned v) : value(std::int64_t{v}) {}
    Arg(std::string_view v) : value(std::string(v)) {}
    Arg(const char* v) : value(std::string(v)) {}
    Arg(std::string v) : value(std::move(v)) {}
};

// The text of `key` in the current language, else English, else the key itself.
std::string string(std::string_view key);
// The same lookup for a given language.
std::string string(std::string_view key, AppLanguage language);

std::string format(std::string_view key, std::span<const Arg> args);
inline std::string format(std::string_view key, std::initializer_list<Arg> args) {
    return format(key, std::span<const Arg>(args.begin(), args.size()));
}
template <class... Args>
std::string format(std::string_view key,
                   Args&&... args) requires(sizeof...(Args) > 0 &&
                                            (std::is_constructible_v<Arg, Args&&> && ...)) {
    const Arg list[] = {Arg(std::forward<Args>(args))...};
    return format(key, std::span<const Arg>(list));
}

// Formats a template directly (numbers written for `language`); unknown conversions are kept
// as they stand and missing arguments format as nothing.
std::string formatTemplate(std::string_view templ, std::span<const Arg> args, AppLanguage language);

// The language lookups use right now: the snapshot kept by Localization.
AppLanguage currentLanguage();
icu::Locale currentLocale();

// Table access for checks and tools: the text of `key` in exactly this language, if present.
std::optional<std::string_view> tableText(AppLanguage language, std::string_view key);
std::vector<std::string_view> tableKeys(AppLanguage language);

} // namespace tolva::L10n

#include "TolvaCore/L10nAccessors.h"
