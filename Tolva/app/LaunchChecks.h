// Checks made before the toolkit starts, so that a malformed "--lock-in" or a missing X server
// ends the program with one clear line and an exit status, never silently or with an abort.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolva::LaunchChecks {

// A week: anything longer is a typo, and far beyond what the timer arithmetic must survive.
inline constexpr double maxLockInSeconds = 7 * 24 * 3600;

struct LockIn {
    std::optional<double> seconds;    // present for a valid "--lock-in SECONDS"
    std::optional<std::string> error; // present for a malformed one
};

// The first "--lock-in" among the arguments (the program's name first): a finite number of
// seconds from 0 to maxLockInSeconds, written in plain decimal or exponent form.
LockIn parseLockIn(const std::vector<std::string>& arguments);

// Whether the X server the toolkit is about to use answers; the line to print when not. Nothing
// to say when the toolkit will not use X (QT_QPA_PLATFORM names another platform).
std::optional<std::string> missingDisplay();

// Runs both checks; the exit status when the program must stop (the reason printed to `err`).
// When it may go on, the session bus address is pinned first (pinSessionBusAddress), so that no
// library starts a bus of its own.
std::optional<int> checkBeforeStart(int argc, char** argv, std::FILE* err);

} // namespace tolva::LaunchChecks
