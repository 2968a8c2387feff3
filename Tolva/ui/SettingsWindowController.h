// Creates the settings window once, opens it on a given display and tab, places it with the
// settings-window geometry, and remembers the placement only after the user moved or resized it.
#pragma once

#include "TolvaCore/SettingsWindowGeometry.h"
#include "app/AppPanel.h"
#include "overlay/Displays.h"
#include "ui/ScreenCoordinates.h"
#include "ui/SettingsTab.h"
#include "ui/SettingsView.h"

#include <QLabel>
#include <QObject>
#include <QRect>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace tolva {

class SettingsWindowController : public QObject {
public:
    static constexpr const char* identifier = "tolva.settings";
    static constexpr int contentWidth = 900;
    static constexpr int contentHeight = 648;

    SettingsWindowController(SettingsEnvironment environment, std::shared_ptr<DisplaySource> displays);
    ~SettingsWindowController() override;

    // Opens or brings forward the window; `displayID` picks the display, `tab` the tab.
    void show(std::optional<std::uint32_t> displayID = std::nullopt,
              std::optional<SettingsTab> tab = std::nullopt);
    // Hides the colour dialog and the window.
    void close();
    // Saves the placement when the window stands somewhere the controller did not put it.
    void rememberIfUserMoved();
    // Wires the About tab's Updates group to the updater (before or after the window exists).
    void setUpdateControls(std::shared_ptr<UpdateControls> updates);
    // A line above the settings for what the window must say besides them (how to turn the
    // overlay on when the desktop shows no tray); asked again when the window opens and when the
    // language changes, hidden while it is empty.
    void setNote(std::function<std::string()> text);
    QLabel* note() const { return note_; }

    AppPanel* window() const { return window_.get(); }
    SettingsView* view() const { return view_; }
    SettingsTab currentTab() const { return currentTab_; }
    const std::optional<QRect>& placedFrame() const { return placedFrame_; }

    // The tab a newly built window opens on.
    static SettingsTab initialTab;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void build();
    void setTitle();
    void refreshNote();
    std::optional<DisplayInfo> targetDisplay(std::optional<std::uint32_t> displayID,
                                             const std::vector<DisplayInfo>& displays) const;
    static QRect visibleFrame(const DisplayInfo& display);
    double primaryHeight(const std::vector<DisplayInfo>& displays) const;

    SettingsEnvironment env_;
    std::shared_ptr<DisplaySource> displays_;
    std::unique_ptr<AppPanel> window_;
    SettingsView* view_ = nullptr;
    QLabel* note_ = nullptr;
    std::function<std::string()> noteText_;
    std::optional<QRect> placedFrame_;
    SettingsTab currentTab_ = SettingsTab::general;
    NotificationCenter::Token localizationObserver_;
};

} // namespace tolva
