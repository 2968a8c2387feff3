// The program's own windows: the application menu's keys in every panel, and the note a window
// carries when the desktop shows no tray.
#include "app/AppPanel.h"

#include "TolvaCore/L10n.h"
#include "support/SettingsRig.h"

#include <QAction>

#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;

namespace {

// The panel's action for `keys`, if it has one.
QAction* actionFor(QWidget& panel, const QKeySequence& keys) {
    for (QAction* action : panel.actions())
        if (action->shortcuts().contains(keys) && action->shortcutContext() == Qt::WindowShortcut)
            return action;
    return nullptr;
}

} // namespace

TEST(AppPanel, TheApplicationMenusKeysWorkInEveryPanel) {
    test::widgetsApp();
    int settings = 0, quits = 0;
    AppPanel::openSettings = [&] { ++settings; };
    AppPanel::quit = [&] { ++quits; };
    AppPanel panel;
    panel.present();
    ASSERT_TRUE(panel.isOpen);

    QAction* settingsKey = actionFor(panel, QKeySequence(Qt::ControlModifier | Qt::Key_Comma));
    QAction* quitKey = actionFor(panel, QKeySequence(Qt::ControlModifier | Qt::Key_Q));
    QAction* minimizeKey = actionFor(panel, QKeySequence(Qt::ControlModifier | Qt::Key_M));
    QAction* closeKey = actionFor(panel, QKeySequence(Qt::ControlModifier | Qt::Key_W));
    ASSERT_TRUE(settingsKey && quitKey && minimizeKey && closeKey);
    EXPECT_EQ(closeKey->text(), "Close");
    EXPECT_EQ(actionFor(panel, QKeySequence(Qt::ControlModifier | Qt::Key_C)), nullptr)
        << "editing keys stay with the text fields";

    settingsKey->trigger();
    quitKey->trigger();
    EXPECT_EQ(settings, 1);
    EXPECT_EQ(quits, 1);
    minimizeKey->trigger();
    EXPECT_TRUE(panel.isMinimized());
    closeKey->trigger();
    EXPECT_FALSE(panel.isVisible());
    EXPECT_FALSE(panel.isOpen) << "closed like the window's own close button";

    // Without a program behind them (a panel in a test, or after the program let go), nothing.
    AppPanel::openSettings = nullptr;
    AppPanel::quit = nullptr;
    settingsKey->trigger();
    quitKey->trigger();
    EXPECT_EQ(settings, 1);
}

TEST(SettingsWindowController, ANoteAboveTheSettingsFollowsItsTextAndTheLanguage) {
    SettingsRig w;
    SettingsWindowController settings(w.environment(), w.displays);
    bool trayShown = false;
    settings.setNote([&]() -> std::string {
        return trayShown ? std::string() : L10n::Onboarding::NoTray::withoutShortcut();
    });
    settings.show();
    ASSERT_NE(settings.note(), nullptr);
    EXPECT_TRUE(settings.note()->isVisibleTo(settings.window()));
    EXPECT_EQ(
        settings.note()->text().toStdString(),
        "This desktop shows no system tray. Turn the overlay on by running “tolva-screen --lock” (bind it "
        "to a key in your window manager); running “tolva-screen” again opens this window.");
    Localization::shared().setOverride(AppLanguage::de);
    EXPECT_EQ(settings.note()->text().toStdString(),
              L10n::string("onboarding.noTray.withoutShortcut", AppLanguage::de));
    Localization::shared().setOverride(AppLanguage::en);
    // A tray that came up later: the note goes at the next opening.
    trayShown = true;
    settings.close();
    settings.show();
    EXPECT_FALSE(settings.note()->isVisibleTo(settings.window()));
    settings.close();
}
