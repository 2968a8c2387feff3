#include "app/LaunchChecks.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tolva;

TEST(LaunchChecks, LockInAcceptsOnlyFiniteSecondsUpToADay) {
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
    EXPECT_EQ(parse({"--lock-in", "86400"}).seconds, 86400.0);
    EXPECT_EQ(parse({"--lock-in", "0.25"}).seconds, 0.25);
    EXPECT_EQ(parse({"--lock-in", "1e2"}).seconds, 100.0);
    EXPECT_EQ(parse({"--lock-in", "3", "--lock-in", "abc"}).seconds, 3.0) << "only the first counts";

    const std::string usage = "--lock-in needs a number of seconds from 0 to 86400";
    EXPECT_EQ(parse({"--lock-in"}).error, usage);
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"abc", "\"abc\""},
        {"nan", "\"nan\""},
        {"inf", "\"inf\""},
        {"-inf", "\"-inf\""},
        {"", "\"\""},
        {"1e10", "\"1e10\""},
        {"-1", "\"-1\""},
        {"86400.5", "\"86400.5\""},
        {"604800", "\"604800\""},
        {"5s", "\"5s\""},
        {" 5", "\" 5\""},
        {"0x10", "\"0x10\""},
        {"1e999", "\"1e999\""},
        {"\n", "\"?\""},
        {std::string(60, '9'), "\"" + std::string(40, '9') + "...\""},
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

    // The whole check: the lines on the error stream and the exit status.
    char name[] = "tolva-screen", flag[] = "--lock-in", value[] = "nan";
    char* withBadLockIn[] = {name, flag, value};
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(LaunchChecks::checkBeforeStart(3, withBadLockIn, out, err, "1.2.3"), 2);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("DISPLAY", ":987", 1);
    char* plain[] = {name};
    EXPECT_EQ(LaunchChecks::checkBeforeStart(1, plain, out, err, "1.2.3"), 1);
    // Help and the version need no display: they answer before it is looked for.
    char help[] = "--help", version[] = "--version";
    char* withHelp[] = {name, help};
    EXPECT_EQ(LaunchChecks::checkBeforeStart(2, withHelp, out, err, "1.2.3"), 0);
    char* withVersion[] = {name, version};
    EXPECT_EQ(LaunchChecks::checkBeforeStart(2, withVersion, out, err, "1.2.3"), 0);
    auto text = [](std::FILE* file) {
        std::rewind(file);
        char buffer[4096] = {};
        const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
        std::fclose(file);
        return std::string(buffer, n);
    };
    EXPECT_EQ(text(err),
              "tolva-screen: --lock-in needs a number of seconds from 0 to 86400, not \"nan\"\n"
              "Usage: tolva-screen [--lock | --lock-in SECONDS] [--help] [--version]\n"
              "tolva-screen: no X server answers on DISPLAY=\":987\" (Tolva Screen needs an X11 desktop "
              "session)\n");
    EXPECT_EQ(text(out), LaunchChecks::helpText() + "tolva-screen 1.2.3\n");

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

TEST(LaunchChecks, CommandLineKnowsItsOptionsAndRefusesTheRest) {
    using Action = LaunchChecks::CommandLine::Action;
    auto parse = [](std::vector<std::string> rest) {
        rest.insert(rest.begin(), "tolva-screen");
        return LaunchChecks::parseCommandLine(rest);
    };
    auto refused = [](std::string why) {
        return LaunchChecks::CommandLine{Action::usageError, std::move(why)};
    };
    const LaunchChecks::CommandLine run{Action::run, {}};
    EXPECT_EQ(parse({}), run);
    EXPECT_EQ(parse({"--lock"}), run);
    EXPECT_EQ(parse({"--lock-in", "5"}), run);
    EXPECT_EQ(parse({"--lock-in=0.25"}), run);
    EXPECT_EQ(parse({"--lock-in", "3", "--lock"}), run);
    // The toolkit's own options pass, with their values.
    EXPECT_EQ(parse({"-platform", "offscreen", "--lock"}), run);
    EXPECT_EQ(parse({"--platform", "xcb", "-style=Fusion", "-reverse"}), run);
    EXPECT_EQ(parse({"-display", ":1"}), run);

    EXPECT_EQ(parse({"--help"}).action, Action::help);
    EXPECT_EQ(parse({"-h"}).action, Action::help);
    EXPECT_EQ(parse({"--lock", "--help", "--bogus"}).action, Action::help) << "read from the left";
    EXPECT_EQ(parse({"--version"}).action, Action::version);
    EXPECT_EQ(parse({"--lock-in", "5", "--version"}).action, Action::version);

    EXPECT_EQ(parse({"--bogus"}), refused("unknown option \"--bogus\""));
    EXPECT_EQ(parse({"-x"}), refused("unknown option \"-x\""));
    EXPECT_EQ(parse({"--bogus", "--help"}), refused("unknown option \"--bogus\""));
    EXPECT_EQ(parse({"--lockin", "5"}), refused("unknown option \"--lockin\""));
    EXPECT_EQ(parse({"lock"}), refused("unexpected argument \"lock\""));
    EXPECT_EQ(parse({"--lock", "now"}), refused("unexpected argument \"now\""));
    EXPECT_EQ(parse({"--lock=yes"}), refused("option \"--lock\" takes no value"));
    EXPECT_EQ(parse({"--version=2"}), refused("option \"--version\" takes no value"));
    EXPECT_EQ(parse({"-platform"}), refused("option \"-platform\" needs a value"));
    EXPECT_EQ(parse({"--lock-in"}), refused("--lock-in needs a number of seconds from 0 to 86400"));
    EXPECT_EQ(parse({"--lock-in", "soon"}),
              refused("--lock-in needs a number of seconds from 0 to 86400, not \"soon\""));
    EXPECT_EQ(parse({"--lock-in=90000"}),
              refused("--lock-in needs a number of seconds from 0 to 86400, not \"90000\""));
    EXPECT_EQ(parse({"--lock-in", "1", "--lock-in"}),
              refused("--lock-in needs a number of seconds from 0 to 86400"));

    EXPECT_EQ(LaunchChecks::usageLine(),
              "Usage: tolva-screen [--lock | --lock-in SECONDS] [--help] [--version]");
    EXPECT_TRUE(LaunchChecks::helpText().starts_with(LaunchChecks::usageLine() + "\n"));
    for (const char* option : {"--lock ", "--lock-in SECONDS", "--help", "--version", "0 to 86400"})
        EXPECT_NE(LaunchChecks::helpText().find(option), std::string::npos) << option;
}

TEST(LaunchChecks, SecondsAreWrittenExactlyWithAtLeastOneDecimal) {
    EXPECT_EQ(LaunchChecks::secondsText(5), "5.0");
    EXPECT_EQ(LaunchChecks::secondsText(0), "0.0");
    EXPECT_EQ(LaunchChecks::secondsText(0.25), "0.25");
    EXPECT_EQ(LaunchChecks::secondsText(0.5), "0.5");
    EXPECT_EQ(LaunchChecks::secondsText(1.125), "1.125");
    EXPECT_EQ(LaunchChecks::secondsText(0.1), "0.1");
    EXPECT_EQ(LaunchChecks::secondsText(0.001), "0.001");
    EXPECT_EQ(LaunchChecks::secondsText(100), "100.0");
    EXPECT_EQ(LaunchChecks::secondsText(86400), "86400.0");
    EXPECT_EQ(LaunchChecks::secondsText(1e-7), "0.0000001");
}
