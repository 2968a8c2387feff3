#include "app/LaunchChecks.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tolva;

TEST(LaunchChecks, LockInAcceptsOnlyFiniteSecondsUpToAWeek) {
    auto parse = [](std::vector<std::string> rest) {
        rest.insert(rest.begin(), "tolva-screen");
        return LaunchChecks::parseLockIn(rest);
    };
    EXPECT_EQ(parse({}).seconds, std::nullopt);
    EXPECT_EQ(parse({}).error, std::nullopt) << "no --lock-in is no error";
    EXPECT_EQ(parse({"--lock-in", "5"}).seconds, 5.0);
    EXPECT_EQ(parse({"--lock-in", "0.5"}).seconds, 0.5);
    EXPECT_EQ(parse({"--lock-in", "0"}).seconds, 0.0);
    EXPECT_EQ(parse({"--lock-in", "-0"}).seconds, 0.0);
    EXPECT_EQ(parse({"--lock-in", "604800"}).seconds, 604800.0);
    EXPECT_EQ(parse({"--lock-in", "1e2"}).seconds, 100.0);
    EXPECT_EQ(parse({"--lock-in", "3", "--lock-in", "abc"}).seconds, 3.0) << "only the first counts";

    const std::string usage = "--lock-in needs a number of seconds from 0 to 604800";
    EXPECT_EQ(parse({"--lock-in"}).error, usage);
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"abc", "\"abc\""},   {"nan", "\"nan\""},
        {"inf", "\"inf\""},   {"-inf", "\"-inf\""},
        {"", "\"\""},         {"1e10", "\"1e10\""},
        {"-1", "\"-1\""},     {"604801", "\"604801\""},
        {"5s", "\"5s\""},     {" 5", "\" 5\""},
        {"0x10", "\"0x10\""}, {"1e999", "\"1e999\""},
        {"\n", "\"?\""},      {std::string(60, '9'), "\"" + std::string(40, '9') + "...\""},
    };
    for (const auto& [text, shown] : bad) {
        SCOPED_TRACE(text);
        auto result = parse({"--lock-in", text});
        EXPECT_EQ(result.seconds, std::nullopt);
        EXPECT_EQ(result.error, usage + ", not " + shown);
    }
}

TEST(LaunchChecks, SaysClearlyWhenNoXServerAnswers) {
    const char* oldDisplay = std::getenv("DISPLAY");
    const std::string saved = oldDisplay ? oldDisplay : "";
    const char* oldPlatform = std::getenv("QT_QPA_PLATFORM");
    const std::string savedPlatform = oldPlatform ? oldPlatform : "";
    const char* oldWayland = std::getenv("WAYLAND_DISPLAY");
    const std::string savedWayland = oldWayland ? oldWayland : "";
    ::unsetenv("WAYLAND_DISPLAY");

    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("DISPLAY", ":987", 1);
    EXPECT_EQ(LaunchChecks::missingDisplay(),
              "no X server answers on DISPLAY=\":987\" (Tolva Screen needs an X11 desktop session)");
    ::unsetenv("DISPLAY");
    EXPECT_EQ(LaunchChecks::missingDisplay(),
              "no X server: DISPLAY is not set (Tolva Screen needs an X11 desktop session)");
    ::unsetenv("QT_QPA_PLATFORM");
    EXPECT_TRUE(LaunchChecks::missingDisplay()) << "X is the default platform";
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    EXPECT_EQ(LaunchChecks::missingDisplay(), std::nullopt) << "no X needed";

    // The whole check: the line on the error stream and the exit status.
    char name[] = "tolva-screen", flag[] = "--lock-in", value[] = "nan";
    char* withBadLockIn[] = {name, flag, value};
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(LaunchChecks::checkBeforeStart(3, withBadLockIn, err), 2);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("DISPLAY", ":987", 1);
    char* plain[] = {name};
    EXPECT_EQ(LaunchChecks::checkBeforeStart(1, plain, err), 1);
    std::rewind(err);
    char buffer[512] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, err);
    std::fclose(err);
    EXPECT_EQ(std::string(buffer, n),
              "tolva-screen: --lock-in needs a number of seconds from 0 to 604800, not \"nan\"\n"
              "tolva-screen: no X server answers on DISPLAY=\":987\" (Tolva Screen needs an X11 desktop "
              "session)\n");

    auto restore = [](const char* key, const char* had, const std::string& value) {
        if (had)
            ::setenv(key, value.c_str(), 1);
        else
            ::unsetenv(key);
    };
    restore("DISPLAY", oldDisplay, saved);
    restore("QT_QPA_PLATFORM", oldPlatform, savedPlatform);
    restore("WAYLAND_DISPLAY", oldWayland, savedWayland);
}
