// Starting the program at login: an XDG autostart entry,
// ~/.config/autostart/org.tolva.Screen.desktop, written atomically and removed on disable.
#pragma once

#include <filesystem>
#include <string>

namespace tolva::LaunchAtLogin {

std::filesystem::path entryPath();
bool isEnabled();
// Throws std::runtime_error with the reason when the entry cannot be written or removed.
void setEnabled(bool enabled, const std::string& executable);

} // namespace tolva::LaunchAtLogin
