// Panel open marks and the presence they decide.
#include "app/AppPanel.h"

#include "TolvaCore/L10n.h"
#include "log/Log.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>

namespace tolva {

namespace {
bool presenceOn = false;
}

std::function<void()> AppPanel::openSettings;
std::function<void()> AppPanel::quit;

AppPanel::AppPanel(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Tolva Screen"));
    // The main menu's key equivalents as window actions (this desktop has no application menu bar
    // to hold them); they have no menu to show in, so their titles are for assistive tools only.
    auto add = [this](const std::string& title, QList<QKeySequence> keys, std::function<void()> action) {
        auto* item = new QAction(QString::fromStdString(title), this);
        item->setShortcuts(keys);
        item->setShortcutContext(Qt::WindowShortcut);
        connect(item, &QAction::triggered, this, [action = std::move(action)] { action(); });
        addAction(item);
    };
    add(L10n::MainMenu::close(), {QKeySequence(Qt::ControlModifier | Qt::Key_W)}, [this] { close(); });
    add(L10n::MainMenu::minimize(), {QKeySequence(Qt::ControlModifier | Qt::Key_M)},
        [this] { showMinimized(); });
    add(L10n::Menu::settings(), {QKeySequence(Qt::ControlModifier | Qt::Key_Comma)}, [] {
        if (openSettings)
            openSettings();
    });
    add(L10n::Menu::quit(), {QKeySequence(Qt::ControlModifier | Qt::Key_Q)}, [] {
        if (quit)
            quit();
    });
}

void AppPanel::present() {
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
    isOpen = true;
    DockPresence::update();
}

void AppPanel::closeEvent(QCloseEvent* event) {
    isOpen = false;
    QWidget::closeEvent(event);
    DockPresence::update();
}

bool DockPresence::isOn() {
    return presenceOn;
}

void DockPresence::update() {
    bool anyOpen = false;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* panel = dynamic_cast<AppPanel*>(widget); panel && panel->showsDockIcon && panel->isOpen)
            anyOpen = true;
    if (anyOpen == presenceOn)
        return;
    presenceOn = anyOpen;
    Log::ui.info(std::string("dock icon ") + (anyOpen ? "shown" : "hidden"));
}

} // namespace tolva
