// On compositors that let no program take a key (sway and other wlroots compositors), the lock
// shortcut is the user's own binding in the compositor's configuration: the line to add.
#pragma once

#include "TolvaCore/HotKey.h"

#include <optional>
#include <string>

namespace tolva {

// "bindsym Mod4+Ctrl+l exec tolva-screen --lock" for Super+Ctrl+L; without a shortcut, the line
// for Super+Ctrl+L. Keys are named by their symbol on the US layout; sway reads the names
// whatever their case.
std::string swayBindingLine(const std::optional<HotKey>& hotKey);

// The shortcut as GNOME's settings write it: "<Control><Super>l" for Super+Ctrl+L; none for a
// key the US layout does not name.
std::optional<std::string> gnomeAccelerator(const HotKey& hotKey);

} // namespace tolva
