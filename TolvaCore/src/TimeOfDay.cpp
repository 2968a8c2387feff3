// Short times with the system's hour cycle, through ICU's pattern generator.
#include "TolvaCore/TimeOfDay.h"

#include "TolvaCore/L10n.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>
#include <unicode/dtptngen.h>
#include <unicode/smpdtfmt.h>

namespace tolva::TimeOfDay {

namespace {

std::mutex desktopMutex;
std::optional<HourCycle> desktopCycle;

// "de_DE.UTF-8@euro" -> "de_DE"; nothing for an unset variable and for C / POSIX.
std::optional<std::string> localeName(const char* value) {
    std::string_view name = value ? value : "";
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX")
        return std::nullopt;
    return std::string(name);
}

std::unique_ptr<icu::DateTimePatternGenerator> generator(const icu::Locale& locale) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::DateTimePatternGenerator> made(
        icu::DateTimePatternGenerator::createInstance(locale, status));
    if (U_FAILURE(status))
        return nullptr;
    return made;
}

// The pattern for `skeleton` in `locale`, e.g. "jmm" (the locale's preferred cycle), "hmm", "Hmm".
icu::UnicodeString bestPattern(const icu::Locale& locale, const char* skeleton) {
    auto patterns = generator(locale);
    if (!patterns)
        return icu::UnicodeString(skeleton[0] == 'h' ? "h:mm a" : "HH:mm");
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString pattern = patterns->getBestPattern(icu::UnicodeString(skeleton), status);
    if (U_FAILURE(status) || pattern.isEmpty())
        return icu::UnicodeString(skeleton[0] == 'h' ? "h:mm a" : "HH:mm");
    return pattern;
}

// Whether a pattern counts hours from 0 to 23 (H, k) rather than in two halves (h, K); quoted
// literal text does not count.
bool isTwentyFourHour(const icu::UnicodeString& pattern) {
    bool quoted = false;
    for (int32_t i = 0; i < pattern.length(); ++i) {
        const char16_t c = pattern.charAt(i);
        if (c == u'\'')
            quoted = !quoted;
        else if (!quoted && (c == u'H' || c == u'k'))
            return true;
        else if (!quoted && (c == u'h' || c == u'K'))
            return false;
    }
    return true;
}

} // namespace

std::optional<HourCycle> systemHourCycle() {
    for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* value = std::getenv(variable);
        if (!value || !*value)
            continue;
        // The first one set decides, as it does for the C library: a C locale there means no
        // language, and so no convention of its own.
        const auto name = localeName(value);
        if (!name)
            return std::nullopt;
        const icu::Locale locale(name->c_str());
        if (locale.isBogus() || !*locale.getLanguage())
            return std::nullopt;
        return hourCycle(locale);
    }
    return std::nullopt;
}

void setDesktopHourCycle(std::optional<HourCycle> cycle) {
    std::lock_guard lock(desktopMutex);
    desktopCycle = cycle;
}

std::optional<HourCycle> desktopHourCycle() {
    std::lock_guard lock(desktopMutex);
    return desktopCycle;
}

std::optional<HourCycle> preferredHourCycle() {
    if (auto desktop = desktopHourCycle())
        return desktop;
    return systemHourCycle();
}

HourCycle hourCycle(const icu::Locale& locale) {
    return isTwentyFourHour(bestPattern(locale, "jmm")) ? HourCycle::twentyFour : HourCycle::twelve;
}

std::string shortTime(std::chrono::system_clock::time_point time, const icu::Locale& locale,
                      std::optional<HourCycle> cycle) {
    const HourCycle hours = cycle.value_or(hourCycle(locale));
    const icu::UnicodeString pattern = bestPattern(locale, hours == HourCycle::twelve ? "hmm" : "Hmm");
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(pattern, locale, status);
    if (U_FAILURE(status))
        return std::string();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    icu::UnicodeString text;
    format.format(static_cast<UDate>(ms), text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string shortTime(std::chrono::system_clock::time_point time) {
    return shortTime(time, L10n::currentLocale(), preferredHourCycle());
}

} // namespace tolva::TimeOfDay
