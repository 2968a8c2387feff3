// The five tabs of the settings window, in sidebar order, with their stored names and titles.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tolva {

enum class SettingsTab { general, display, security, permissions, about };

inline constexpr std::array<SettingsTab, 5> allSettingsTabs = {SettingsTab::general, SettingsTab::display,
                                                               SettingsTab::security,
                                                               SettingsTab::permissions, SettingsTab::about};

// "general", "display", "security", "permissions", "about".
std::string_view rawValue(SettingsTab tab);
std::optional<SettingsTab> settingsTabFromRawValue(std::string_view raw);
// The tab's title in the interface language ("Overlay" for display).
std::string title(SettingsTab tab);

} // namespace tolva
