// Starting the program at login: an XDG autostart entry,
// ~/.config/autostart/org.tolva.Screen.desktop, written atomically and removed on disable.
#pragma once

#include <filesystem>
#include <string>

namespace tolva::LaunchAtLogin {

std::filesystem::path entryPath();
bool isEnabled();
// The entry for `executable` (an absolute path): TryExec names it, so that a session whose
// program was removed does not try to start it; Exec quotes it where the path needs it.
std::string entryText(const std::string& executable);
// Throws std::runtime_error with the reason when the entry cannot be written or removed.
void setEnabled(bool enabled, const std::string& executable);
// An entry written by an earlier version, or for a program that moved, is written again for
// `executable`; nothing happens when the entry is off or already right.
void refresh(const std::string& executable);

} // namespace tolva::LaunchAtLogin
