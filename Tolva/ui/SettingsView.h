// The content of the settings window: a sidebar of five tabs and, beside it, the grouped rows of
// the tab shown. Every control writes its preference at once and the view then re-reads what
// depends on it (which rows show, the preview); a language change rebuilds the texts.
#pragma once

#include "TolvaCore/NotificationCenter.h"
#include "TolvaCore/Preferences.h"
#include "lock/LockController.h"
#include "platform/Scheduler.h"
#include "ui/HotKeyRecorderView.h"
#include "ui/OverlayColorWell.h"
#include "ui/OverlayPreview.h"
#include "ui/SettingsTab.h"
#include "ui/ToggleSwitch.h"
#include "unlock/Authenticator.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QWidget>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tolva {

class PinSetupSheet;

// What the About tab's Updates group shows and does. The updater fills it in; without it the
// group says that updates are not available and its controls are off.
struct UpdateControls {
    std::function<bool()> automaticallyChecks;
    std::function<void(bool)> setAutomaticallyChecks;
    std::function<bool()> canCheckForUpdates;
    std::function<void()> checkForUpdates;
    // "Last checked …" in the interface language, or nothing before the first check.
    std::function<std::optional<std::string>()> lastCheckedLine;
};

// The shared objects and system answers the settings read and act on.
struct SettingsEnvironment {
    std::shared_ptr<Preferences> prefs;
    LockController* controller = nullptr;
    std::shared_ptr<Authenticator> authenticator;
    std::shared_ptr<UpdateControls> updates; // none: not available
    Scheduler* scheduler = nullptr;
    std::function<bool()> reduceMotion;
    std::function<bool()> touchIDAvailable;
    std::function<bool()> screenCaptureAllowed;
    // Nothing when a recorded shortcut can be used, else why not.
    std::function<std::optional<std::string>(const HotKey&)> hotKeyCheck;
    std::function<void(bool recording)> onHotKeyRecording;
    // The shortcut the system refused, if any (shown beside the recorder).
    std::function<std::optional<HotKeyRefusal>()> hotKeyRefusal;
    // Where the compositor binds the shortcut itself: its configuration line for a shortcut.
    std::function<std::string(const std::optional<HotKey>&)> compositorBinding;
    // The picked image file, or nothing when the user cancelled.
    std::function<std::optional<std::filesystem::path>(QWidget* parent)> chooseImageFile;
    // The command the autostart entry runs.
    std::string executable;
    std::function<std::chrono::system_clock::time_point()> now = [] {
        return std::chrono::system_clock::now();
    };
};

class SettingsView : public QWidget {
public:
    static constexpr int sidebarWidth = 236;

    SettingsView(SettingsEnvironment environment, SettingsTab initialTab, QWidget* parent = nullptr);
    ~SettingsView() override;

    SettingsTab tab() const { return tab_; }
    void setTab(SettingsTab tab);
    // Called on every tab change with the new tab.
    std::function<void(SettingsTab)> onTabChanged;

    // Re-reads the preferences and the system state into every row.
    void sync();
    // The updater's controls, once it runs; none shows updates as not available.
    void setUpdateControls(std::shared_ptr<UpdateControls> updates);

    // The rows, for the window controller and for tests.
    struct General {
        QComboBox* idle = nullptr;
        HotKeyRecorderView* hotKey = nullptr;
        QComboBox* keepAwake = nullptr;
        ToggleSwitch* lockSystemOnExpiry = nullptr;
        ToggleSwitch* launchAtLogin = nullptr;
        QLabel* launchFailure = nullptr;
        QComboBox* language = nullptr;
    };
    struct Display {
        QComboBox* mode = nullptr;
        QLabel* modeDetail = nullptr;
        QWidget* screenRecordingRow = nullptr;
        QWidget* colorRow = nullptr;
        QLabel* colorTitle = nullptr;
        OverlayColorWell* color = nullptr;
        QWidget* opacityRow = nullptr;
        QSlider* opacity = nullptr;
        QLabel* opacityValue = nullptr;
        QWidget* imageRow = nullptr;
        QLabel* imageTitle = nullptr;
        QLabel* imageHint = nullptr;
        QLabel* imageThumbnail = nullptr;
        QPushButton* chooseImage = nullptr;
        QPushButton* removeImage = nullptr;
        QLabel* importFailure = nullptr;
        ToggleSwitch* motion = nullptr;
        std::array<ToggleSwitch*, 3> effects{}; // pixel shift, breathing, gradient drift
        QLabel* pixelShiftNote = nullptr;
        QButtonGroup* strength = nullptr;
        QWidget* reduceMotionWarning = nullptr;
        ToggleSwitch* awayNote = nullptr;
        QLineEdit* awayNoteText = nullptr;
        QButtonGroup* awayNoteStyle = nullptr;
        ToggleSwitch* returnTime = nullptr;
        OverlayPreviewCanvas* preview = nullptr;
        QLabel* previewHint = nullptr;
        QLabel* motionPreviewHint = nullptr;
    };
    struct Security {
        QLabel* pinState = nullptr;
        QPushButton* pinButton = nullptr;
        QLabel* pinNotice = nullptr; // "Your PIN was changed." after a save
        ToggleSwitch* loginPassword = nullptr;
        ToggleSwitch* touchID = nullptr;
        QLabel* touchIDUnavailable = nullptr;
    };
    struct Permissions {
        QLabel* keyboardState = nullptr;
        QLabel* coverBlocked = nullptr; // what to do where nothing can cover the screen
        QLabel* screenCaptureState = nullptr;
    };
    struct About {
        QLabel* name = nullptr;
        QLabel* version = nullptr;
        QLabel* tagline = nullptr;
        ToggleSwitch* autoCheck = nullptr;
        QPushButton* check = nullptr;
        QLabel* updateStatus = nullptr;
    };
    const General& general() const { return general_; }
    const Display& display() const { return display_; }
    const Security& security() const { return security_; }
    const Permissions& permissions() const { return permissions_; }
    const About& about() const { return about_; }
    QListWidget* sidebar() const { return sidebar_; }
    QWidget* page(SettingsTab tab) const { return pages_->widget(static_cast<int>(tab)); }
    // The PIN sheet while it is open.
    PinSetupSheet* pinSheet() const;
    // The polling of the tab shown (Overlay, Permissions), while it runs.
    bool isPolling() const { return polling_.isActive(); }

    // The image picker's filter: every format this Qt can read, and nothing else.
    static QString imageFilter();
    // Where the image picker opens: the Pictures folder (the home folder when there is none).
    static QString imageFolder();

    // "0.1.0 (0)": the version and, in parentheses, the build number.
    static std::string versionText();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void build();
    void rebuild();
    QWidget* buildGeneral();
    QWidget* buildDisplay();
    QWidget* buildSecurity();
    QWidget* buildPermissions();
    QWidget* buildAbout();
    void syncGeneral();
    void syncDisplay();
    void syncSecurity();
    void syncPermissions();
    void syncAbout();
    void syncShownTab();
    void updatePolling();
    void chooseImage();
    void openPinSheet();
    void setLaunchAtLogin(bool enabled);

    SettingsEnvironment env_;
    SettingsTab tab_;
    QListWidget* sidebar_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    General general_;
    Display display_;
    Security security_;
    Permissions permissions_;
    About about_;
    std::optional<std::string> launchFailure_;
    std::optional<std::string> importFailure_;
    std::optional<std::string> pinNotice_;
    std::optional<std::optional<std::string>> thumbnailOf_; // the image the thumbnail shows
    bool syncing_ = false;
    Scheduler::Handle polling_;
    NotificationCenter::Token localizationObserver_;
    std::vector<Preferences::Observation> observations_;
};

} // namespace tolva
