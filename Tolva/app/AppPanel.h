// The windows of the program's own (onboarding, settings), and whether any of them is open:
// while one is, the program shows itself like a normal application.
#pragma once

#include <QWidget>

#include <functional>

namespace tolva {

class AppPanel : public QWidget {
public:
    explicit AppPanel(QWidget* parent = nullptr);

    bool showsDockIcon = true;
    bool isOpen = false;

    // Shows, raises and focuses the panel, and marks it open.
    void present();

    // The application menu's keys, which work in every panel: Ctrl+, opens the settings, Ctrl+Q
    // quits (set by start-up); Ctrl+W closes and Ctrl+M minimises the panel itself. Editing keys
    // (Ctrl+Z, Ctrl+C, ...) are the text fields' own.
    static std::function<void()> openSettings;
    static std::function<void()> quit;

protected:
    void closeEvent(QCloseEvent* event) override;
};

// The program's presence as an ordinary application (taskbar entry, menus) while one of its
// panels is open; keeps the state and its log lines.
namespace DockPresence {
bool isOn();
void update();
} // namespace DockPresence

} // namespace tolva
