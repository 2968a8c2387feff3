// The two privacy questions of the program, answered for this session: may a global keyboard
// grab reach every client (a real X11 session), and may the screen be captured (on X11, yes).
#pragma once

#include <string>

namespace tolva {

namespace Permissions {

inline constexpr const char* accessibilitySettingsPage =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
inline constexpr const char* screenCaptureSettingsPage =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";

// A real X11 display answers and the session is not Wayland (where an X grab would not reach
// native Wayland clients).
bool isAccessibilityTrusted();
// There is no dialog to show on X11: logs "accessibility prompt -> …" and answers.
bool promptAccessibility();
// Opens a settings page address; nothing happens when no handler takes it.
void openSettingsPage(const char* address);
void openAccessibilitySettings();
bool isScreenCaptureAllowed();

} // namespace Permissions

} // namespace tolva
