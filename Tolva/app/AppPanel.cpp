// Panel open marks and the presence they decide.
#include "app/AppPanel.h"

#include "log/Log.h"

#include <QApplication>
#include <QCloseEvent>

namespace tolva {

namespace {
bool presenceOn = false;
}

AppPanel::AppPanel(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Tolva Screen"));
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
