// Checks made before the toolkit starts, so that "--help", "--version", an unknown option, a
// malformed "--lock-in" or a missing X server end the program with clear words and an exit
// status, never silently, with an abort, or after reaching for a display or a bus.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolva::LaunchChecks {

// The longest delay of a timed lock, for "--lock-in" and D-Bus LockIn alike: a day. A lock
// planned further ahead is a typing error (and the tray shows a pending lock until it comes).
inline constexpr double maxLockInSeconds = 24 * 3600;

// "Usage: tolva-screen [--lock | --lock-in SECONDS] [--help] [--version]"
std::string usageLine();
// What "--help" prints.
std::string helpText();

// Seconds as the log lines and messages write them: a real number in plain decimals, exactly as
// given and never rounded, with at least one decimal ("5.0", "0.25", "0.001").
std::string secondsText(double seconds);

struct LockIn {
    std::optional<double> seconds;    // present for a valid "--lock-in SECONDS"
    std::optional<std::string> error; // present for a malformed one
};

// The first "--lock-in" among the arguments (the program's name first): a finite number of
// seconds from 0 to maxLockInSeconds, written in plain decimal or exponent form.
LockIn parseLockIn(const std::vector<std::string>& arguments);

// What the command line asks for before anything starts.
struct CommandLine {
    enum class Action { run, help, version, usageError };
    Action action = Action::run;
    std::string error; // for usageError: what is wrong, without the program's name

    bool operator==(const CommandLine&) const = default;
};

// Reads the arguments (the program's name first) from left to right: "--help" (or "-h") and
// "--version" answer at once; an option the program does not know, an argument it does not
// expect, a value given to "--lock", or a malformed "--lock-in" is a usage error. The toolkit's
// own options ("-platform NAME", "-style=NAME", ...) pass.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// Whether the X server the toolkit is about to use answers; the line to print when not. Nothing
// to say when the toolkit will not use X (QT_QPA_PLATFORM names another platform).
std::optional<std::string> missingDisplay();

// Runs the checks: help and the version go to `out` (exit status 0), a usage error and its usage
// line to `err` (2), a missing X server to `err` (1). When the program may go on, the session bus
// address is pinned first (pinSessionBusAddress), so that no library starts a bus of its own.
std::optional<int> checkBeforeStart(int argc, char** argv, std::FILE* out, std::FILE* err,
                                    std::string_view version);

} // namespace tolva::LaunchChecks
