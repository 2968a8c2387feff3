// Tray icon state and the menu's items, titles and actions.
#include "ui/StatusMenuController.h"

#include "TolvaCore/L10n.h"
#include "TolvaCore/Localization.h"
#include "TolvaCore/TimeOfDay.h"
#include "ui/HotKeyRecorderView.h"
#include "ui/StatusIcon.h"

#include <QApplication>
#include <QPalette>

namespace tolva {

StatusMenuController::StatusMenuController(LockController& controller, std::shared_ptr<Preferences> prefs,
                                           std::shared_ptr<IdleMonitor> idle,
                                           std::function<bool()> secureInputEnabled)
    : controller_(controller), prefs_(std::move(prefs)), idle_(std::move(idle)),
      secureInputEnabled_(std::move(secureInputEnabled)), tray_(std::make_unique<QSystemTrayIcon>()) {
    menu_.setToolTipsVisible(false);
    QObject::connect(&menu_, &QMenu::aboutToShow, [this] {
        // Asked now, before the menu takes the keyboard: whether another program holds it.
        controller_.refreshSecureInput();
        controller_.refreshCapabilities();
        rebuild();
    });
    // One menu for both clicks, drawn by us: a panel that draws an exported menu itself would
    // show a second, different one.
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
                             menu_.popup(QCursor::pos());
                     });
    localizationObserver_ = NotificationCenter::defaultCenter().addObserver(
        std::string(Localization::didChange), [this](const void*) { refresh(); });
    rebuild();
    refresh();
    tray_->show();
}

bool StatusMenuController::isTrayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void StatusMenuController::refresh() {
    const bool masked = controller_.state() != LockState::unlocked;
    // The keyboard held by another program, as last seen (the menu asks again when it opens).
    const bool warning = !controller_.canLock() || controller_.secureInputActive() ||
                         controller_.snapshotWarning().has_value() ||
                         (keychainWarning && keychainWarning()) || hotKeyWarning().has_value();
    const bool update = updater_ && updater_->availableVersion().has_value();
    // Drawn again only when it would look different.
    const IconState state{masked, warning, update, QApplication::palette().cacheKey()};
    if (state != iconState_) {
        iconState_ = state;
        tray_->setIcon(StatusIcon::trayIcon(masked, warning, update, QApplication::palette()));
    }
    auto tip = keychainWarning ? keychainWarning() : std::nullopt;
    const QString toolTip =
        tip ? QString::fromStdString(*tip) : StatusIcon::toolTip(masked, controller_.lockBlockedReason());
    if (toolTip != tray_->toolTip())
        tray_->setToolTip(toolTip);
    menu_.setAccessibleDescription(StatusIcon::accessibilityDescription(masked));
}

std::optional<std::string> StatusMenuController::hotKeyWarning() const {
    const auto refused = hotKeyRefusal ? hotKeyRefusal() : std::nullopt;
    const auto wanted = prefs_->lockHotKey();
    if (!refused || !wanted || refused->hotKey != *wanted)
        return std::nullopt;
    const std::string shortcut = HotKeyRecorderView::displayText(refused->hotKey).toStdString();
    return refused->isTaken() ? L10n::Menu::Warning::hotKeyTaken(shortcut)
                              : L10n::Menu::Warning::hotKeyFailed(shortcut);
}

QAction* StatusMenuController::addItem(QMenu& menu, const std::string& title, bool enabled,
                                       std::function<void()> action) {
    QAction* item = menu.addAction(QString::fromStdString(title));
    item->setEnabled(enabled);
    if (action)
        QObject::connect(item, &QAction::triggered, [action] { action(); });
    return item;
}

QKeySequence StatusMenuController::keySequence(const HotKey& hotKey) {
    auto name = HotKey::keyName(hotKey.keyCode);
    if (!name)
        return {};
    static const std::map<std::string_view, Qt::Key> special = {
        {"←", Qt::Key_Left},   {"→", Qt::Key_Right},     {"↑", Qt::Key_Up},        {"↓", Qt::Key_Down},
        {"↖", Qt::Key_Home},   {"↘", Qt::Key_End},       {"⇞", Qt::Key_PageUp},    {"⇟", Qt::Key_PageDown},
        {"⌦", Qt::Key_Delete}, {"Help", Qt::Key_Help},   {"Space", Qt::Key_Space}, {"↩", Qt::Key_Return},
        {"⇥", Qt::Key_Tab},    {"⌫", Qt::Key_Backspace}, {"⎋", Qt::Key_Escape}};
    int key = 0;
    if (auto it = special.find(*name); it != special.end()) {
        key = it->second;
    } else if (name->size() >= 2 && (*name)[0] == 'F' &&
               std::isdigit(static_cast<unsigned char>((*name)[1]))) {
        const int n = std::stoi(std::string(name->substr(1)));
        if (n >= 1 && n <= 15)
            key = Qt::Key_F1 + (n - 1);
    } else if (name->size() == 1 && static_cast<unsigned char>((*name)[0]) < 0x80) {
        key = QKeySequence::fromString(QString(QChar((*name)[0])))[0].key();
    }
    if (key == 0)
        return {};
    int modifiers = 0;
    // The stored modifiers follow the X modifier map: control is Ctrl, command is Super (Qt's Meta).
    if (hotKey.modifiers.contains(HotKeyModifiers::command))
        modifiers |= Qt::MetaModifier;
    if (hotKey.modifiers.contains(HotKeyModifiers::option))
        modifiers |= Qt::AltModifier;
    if (hotKey.modifiers.contains(HotKeyModifiers::control))
        modifiers |= Qt::ControlModifier;
    if (hotKey.modifiers.contains(HotKeyModifiers::shift))
        modifiers |= Qt::ShiftModifier;
    return QKeySequence(QKeyCombination(Qt::KeyboardModifiers(modifiers), Qt::Key(key)));
}

void StatusMenuController::rebuild() {
    menu_.clear();
    const bool canLock = controller_.canLock();

    QAction* lockNow = addItem(menu_, L10n::Menu::lockNow(), canLock, [this] { controller_.lock("menu"); });
    // A shortcut the system refused turns nothing on: it is not advertised, and a warning says why.
    const auto hotKeyProblem = hotKeyWarning();
    if (auto hotKey = prefs_->lockHotKey(); hotKey && !hotKeyProblem)
        lockNow->setShortcut(keySequence(*hotKey));
    menu_.addSeparator();

    QMenu* awayNote = menu_.addMenu(QString::fromStdString(L10n::Menu::awayNoteSubmenu()));
    awayNote->menuAction()->setEnabled(canLock);
    for (auto seconds : Preferences::keepAwakeChoices)
        addItem(*awayNote, Preferences::durationTitle(seconds), canLock,
                [this, seconds] { controller_.lock("menu away note", seconds, true); });
    awayNote->addSeparator();
    addItem(*awayNote, L10n::Menu::editAwayNote(), true, [this] {
        if (onOpenSettings)
            onOpenSettings(SettingsTab::display);
    });

    QMenu* keepAwake = menu_.addMenu(QString::fromStdString(L10n::Menu::keepAwakeHeader()));
    keepAwake->menuAction()->setEnabled(canLock);
    for (auto seconds : Preferences::keepAwakeChoices)
        addItem(*keepAwake, Preferences::durationTitle(seconds), canLock,
                [this, seconds] { controller_.lock("menu timed", seconds); });
    menu_.addSeparator();

    bool sectionShown = false;
    if (prefs_->idleTimeoutSeconds() >= 1) {
        const std::string title = idle_->isPaused()
                                      ? L10n::Menu::resumeAutoLock()
                                      : L10n::Menu::suspendAutoLock(Preferences::durationTitle(3600));
        addItem(menu_, title, true, [this] {
            idle_->togglePause();
            refresh();
        });
        sectionShown = true;
    }
    if (auto at = pendingLock ? pendingLock() : std::nullopt) {
        addItem(menu_, L10n::Menu::PendingLock::title(TimeOfDay::shortTime(*at)), false, nullptr);
        addItem(menu_, L10n::Menu::PendingLock::cancel(), true, [this] {
            if (onCancelPendingLock)
                onCancelPendingLock();
        });
        sectionShown = true;
    }
    std::vector<std::string> warnings;
    if (auto reason = controller_.lockBlockedReason())
        warnings.push_back(*reason);
    if (secureInputEnabled_())
        warnings.push_back(L10n::Menu::Warning::secureInput());
    if (auto snapshot = controller_.snapshotWarning())
        warnings.push_back(*snapshot);
    if (auto keychain = keychainWarning ? keychainWarning() : std::nullopt)
        warnings.push_back(*keychain);
    if (hotKeyProblem)
        warnings.push_back(*hotKeyProblem);
    for (const auto& line : warnings)
        addItem(menu_, L10n::Menu::warningLine(line), false, nullptr);
    if (sectionShown || !warnings.empty())
        menu_.addSeparator();

    if (updater_ && updater_->availableVersion()) {
        addItem(menu_, L10n::Menu::Update::restart(*updater_->availableVersion()),
                updater_->canCheckForUpdates(), [this] { updater_->checkForUpdates(); });
    } else if (auto progress = updater_ && updater_->controller() ? updater_->controller()->downloadProgress()
                                                                  : std::nullopt) {
        addItem(menu_, L10n::Menu::Update::downloading(static_cast<std::int64_t>(*progress * 100)), false,
                nullptr);
    }
    QAction* settings = addItem(menu_, L10n::Menu::settings(), true, [this] {
        if (onOpenSettings)
            onOpenSettings(std::nullopt);
    });
    settings->setShortcut(QKeySequence(Qt::ControlModifier | Qt::Key_Comma));
    addItem(menu_, L10n::Menu::quit(), true, [this] {
        if (onQuit)
            onQuit();
    });
}

} // namespace tolva
