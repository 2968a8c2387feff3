// How a time of day is written for the user: in the interface language, with the hour cycle
// (12 or 24 hours) that the user's system uses for times, so that a time on the overlay reads
// like the desktop's own clock.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unicode/locid.h>

namespace tolva::TimeOfDay {

enum class HourCycle { twelve, twentyFour };

// The hour cycle of the system's time locale (LC_ALL, else LC_TIME, else LANG, the first that is
// set), when that locale names a language; nothing for the C and POSIX locales.
std::optional<HourCycle> systemHourCycle();

// The hour cycle of the desktop's own clock setting, where the desktop has one (GNOME's
// clock-format, read by the program from the settings portal); it comes before the locale's.
// Any thread may read it; nothing until set.
void setDesktopHourCycle(std::optional<HourCycle> cycle);
std::optional<HourCycle> desktopHourCycle();

// The hour cycle the program writes times in: the desktop's setting, else the system's locale,
// else (nothing) the interface language's own.
std::optional<HourCycle> preferredHourCycle();

// The hour cycle a locale writes its times in (en-US twelve, en-GB, de, fr, ja twenty-four).
HourCycle hourCycle(const icu::Locale& locale);

// Hours and minutes of `time` in the local time zone, worded for `locale` in `cycle` (the
// locale's own cycle when none is given): "7:08 PM", "19:08", "午後7:08".
std::string shortTime(std::chrono::system_clock::time_point time, const icu::Locale& locale,
                      std::optional<HourCycle> cycle);

// The same in the interface language (L10n's current locale) with the preferred hour cycle: how
// the program writes every time of day it shows.
std::string shortTime(std::chrono::system_clock::time_point time);

} // namespace tolva::TimeOfDay
