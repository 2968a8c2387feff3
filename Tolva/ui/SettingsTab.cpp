// Tab names and titles.
#include "ui/SettingsTab.h"

#include "TolvaCore/L10n.h"

namespace tolva {

std::string_view rawValue(SettingsTab tab) {
    static constexpr std::array<std::string_view, 5> raw = {"general", "display", "security", "permissions",
                                                            "about"};
    return raw[static_cast<std::size_t>(tab)];
}

std::optional<SettingsTab> settingsTabFromRawValue(std::string_view raw) {
    for (SettingsTab tab : allSettingsTabs)
        if (rawValue(tab) == raw)
            return tab;
    return std::nullopt;
}

std::string title(SettingsTab tab) {
    switch (tab) {
    case SettingsTab::general:
        return L10n::Settings::Tab::general();
    case SettingsTab::display:
        return L10n::Settings::Tab::display();
    case SettingsTab::security:
        return L10n::Settings::Tab::security();
    case SettingsTab::permissions:
        return L10n::Settings::Tab::permissions();
    case SettingsTab::about:
        return L10n::Settings::Tab::about();
    }
    return {};
}

} // namespace tolva
