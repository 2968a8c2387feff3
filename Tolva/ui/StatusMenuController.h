// The tray icon and its menu, rebuilt every time it opens from the lock controller, the
// preferences and the idle monitor.
#pragma once

#include "TolvaCore/NotificationCenter.h"
#include "TolvaCore/Preferences.h"
#include "lock/LockController.h"
#include "platform/HotKeyManager.h"
#include "platform/IdleMonitor.h"
#include "ui/SettingsTab.h"
#include "update/AppUpdater.h"

#include <QKeySequence>
#include <QMenu>
#include <QSystemTrayIcon>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace tolva {

class StatusMenuController {
public:
    StatusMenuController(LockController& controller, std::shared_ptr<Preferences> prefs,
                         std::shared_ptr<IdleMonitor> idle, std::function<bool()> secureInputEnabled);

    // Redraws the icon and the tooltip.
    void refresh();
    // Empties the menu and builds it again from the current state.
    void rebuild();

    QMenu* menu() { return &menu_; }
    QSystemTrayIcon* trayIcon() { return tray_.get(); }
    bool isTrayAvailable() const;

    // The key sequence the "Turn On Overlay" item shows for a hot key.
    static QKeySequence keySequence(const HotKey& hotKey);

    // The updater whose waiting version shows as the icon's dot and the "Restart to Install" item.
    void setUpdater(std::shared_ptr<AppUpdater> updater) { updater_ = std::move(updater); }

    std::function<void(std::optional<SettingsTab>)> onOpenSettings;
    // A warning about where the PIN lives (a locked keyring), shown with the others.
    std::function<std::optional<std::string>()> keychainWarning;
    // The shortcut the system refused, if any: not shown on "Turn On Overlay", and said why.
    std::function<std::optional<HotKeyRefusal>()> hotKeyRefusal;
    std::function<void()> onQuit;
    // A timed lock on its way ("--lock-in", D-Bus): when it comes, and how to call it off.
    std::function<std::optional<std::chrono::system_clock::time_point>()> pendingLock;
    std::function<void()> onCancelPendingLock;

private:
    std::optional<std::string> hotKeyWarning() const;
    QAction* addItem(QMenu& menu, const std::string& title, bool enabled, std::function<void()> action);

    LockController& controller_;
    std::shared_ptr<Preferences> prefs_;
    std::shared_ptr<IdleMonitor> idle_;
    std::function<bool()> secureInputEnabled_;
    QMenu menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    NotificationCenter::Token localizationObserver_;
    std::shared_ptr<AppUpdater> updater_;
    struct IconState {
        bool masked = false, warning = false, update = false;
        qint64 palette = -1;
        friend bool operator==(const IconState&, const IconState&) = default;
    };
    std::optional<IconState> iconState_;
};

} // namespace tolva
