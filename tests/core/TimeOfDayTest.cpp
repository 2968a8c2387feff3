#include "TolvaCore/TimeOfDay.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <unicode/timezone.h>

using namespace tolva;
using TimeOfDay::HourCycle;

namespace {

// 1 700 000 000 is 22:13:20 UTC.
const auto evening = std::chrono::system_clock::from_time_t(1'700'000'000);

void systemLocale(const char* all, const char* time, const char* lang) {
    for (auto [name, value] : {std::pair{"LC_ALL", all}, {"LC_TIME", time}, {"LANG", lang}}) {
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
}

} // namespace

TEST(TimeOfDay, EachLanguageWritesItsOwnHourCycle) {
    // In UTC, whatever zone this process's ICU settled on first.
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Etc/UTC"));
    EXPECT_EQ(TimeOfDay::hourCycle(icu::Locale("en")), HourCycle::twelve);
    EXPECT_EQ(TimeOfDay::hourCycle(icu::Locale("en_US")), HourCycle::twelve);
    EXPECT_EQ(TimeOfDay::hourCycle(icu::Locale("ko")), HourCycle::twelve);
    for (const char* name : {"en_GB", "de", "de_AT", "fr", "fr_CA", "ja", "zh_Hans"})
        EXPECT_EQ(TimeOfDay::hourCycle(icu::Locale(name)), HourCycle::twentyFour) << name;

    EXPECT_EQ(TimeOfDay::shortTime(evening, icu::Locale("en"), std::nullopt), "10:13\u202FPM");
    EXPECT_EQ(TimeOfDay::shortTime(evening, icu::Locale("de"), std::nullopt), "22:13");
    EXPECT_EQ(TimeOfDay::shortTime(evening, icu::Locale("fr"), std::nullopt), "22:13");
    EXPECT_EQ(TimeOfDay::shortTime(evening, icu::Locale("ja"), std::nullopt), "22:13");

    // The system's cycle wins over the language's, the words stay the language's.
    EXPECT_EQ(TimeOfDay::shortTime(evening, icu::Locale("en"), HourCycle::twentyFour), "22:13");
    EXPECT_EQ(TimeOfDay::shortTime(evening, icu::Locale("ja"), HourCycle::twelve), "午後10:13");
    EXPECT_EQ(TimeOfDay::shortTime(evening, icu::Locale("ko"), HourCycle::twentyFour), "22:13");

    // Midnight: 00 on a 24-hour clock, 12 on a 12-hour one.
    const auto midnight = evening + std::chrono::minutes(107);
    EXPECT_EQ(TimeOfDay::shortTime(midnight, icu::Locale("en"), HourCycle::twentyFour), "00:00");
    EXPECT_EQ(TimeOfDay::shortTime(midnight, icu::Locale("en"), HourCycle::twelve), "12:00\u202FAM");
    icu::TimeZone::adoptDefault(zone.release());
}

TEST(TimeOfDay, SystemCycleComesFromTheTimeLocaleOfTheEnvironment) {
    systemLocale(nullptr, nullptr, "de_DE.UTF-8");
    EXPECT_EQ(TimeOfDay::systemHourCycle(), HourCycle::twentyFour);
    systemLocale(nullptr, nullptr, "en_US.UTF-8");
    EXPECT_EQ(TimeOfDay::systemHourCycle(), HourCycle::twelve);
    // LC_TIME over LANG: an English desktop with a British or German clock.
    systemLocale(nullptr, "en_GB.UTF-8", "en_US.UTF-8");
    EXPECT_EQ(TimeOfDay::systemHourCycle(), HourCycle::twentyFour);
    systemLocale("", "de_DE.UTF-8@euro", "en_US.UTF-8"); // an empty LC_ALL counts as unset
    EXPECT_EQ(TimeOfDay::systemHourCycle(), HourCycle::twentyFour);
    systemLocale(nullptr, "ja_JP.UTF-8", "en_US.UTF-8");
    EXPECT_EQ(TimeOfDay::systemHourCycle(), HourCycle::twentyFour);
    // LC_ALL over both.
    systemLocale("en_US.UTF-8", "de_DE.UTF-8", "de_DE.UTF-8");
    EXPECT_EQ(TimeOfDay::systemHourCycle(), HourCycle::twelve);
    // The C locale names no language: the interface language decides.
    systemLocale(nullptr, "C.UTF-8", "en_US.UTF-8");
    EXPECT_EQ(TimeOfDay::systemHourCycle(), std::nullopt);
    systemLocale(nullptr, nullptr, "POSIX");
    EXPECT_EQ(TimeOfDay::systemHourCycle(), std::nullopt);
    systemLocale(nullptr, nullptr, nullptr);
    EXPECT_EQ(TimeOfDay::systemHourCycle(), std::nullopt);
}

TEST(TimeOfDay, TheDesktopsClockSettingComesBeforeTheLocale) {
    systemLocale(nullptr, "en_US.UTF-8", nullptr);
    EXPECT_EQ(TimeOfDay::preferredHourCycle(), HourCycle::twelve);
    TimeOfDay::setDesktopHourCycle(HourCycle::twentyFour);
    EXPECT_EQ(TimeOfDay::preferredHourCycle(), HourCycle::twentyFour);
    systemLocale(nullptr, "de_DE.UTF-8", nullptr);
    TimeOfDay::setDesktopHourCycle(HourCycle::twelve);
    EXPECT_EQ(TimeOfDay::preferredHourCycle(), HourCycle::twelve);
    TimeOfDay::setDesktopHourCycle(std::nullopt);
    EXPECT_EQ(TimeOfDay::preferredHourCycle(), HourCycle::twentyFour) << "the locale's again";
}
