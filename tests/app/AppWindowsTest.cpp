// The PIN sheet, onboarding, the tray menu and the autostart entry, on Qt's offscreen platform.
#include "TolvaCore/L10n.h"
#include "TolvaCore/Localization.h"
#include "TolvaCore/PinHasher.h"
#include "app/LaunchAtLogin.h"
#include "app/Log.h"
#include "support/LockRig.h"
#include "support/QtWidgetsApp.h"
#include "support/SettingsRig.h"
#include "ui/OnboardingView.h"
#include "ui/StatusIcon.h"
#include "ui/StatusMenuController.h"
#include "unlock/PinSetupSheet.h"

#include <QMenu>
#include <QTextDocumentFragment>

#include <gtest/gtest.h>

#include <fstream>

using namespace tolva;
using namespace tolva::test;

namespace {

std::vector<std::pair<std::string, bool>> items(QMenu& menu) {
    std::vector<std::pair<std::string, bool>> out;
    for (QAction* action : menu.actions())
        out.emplace_back(action->isSeparator() ? "---" : action->text().toStdString(), action->isEnabled());
    return out;
}

} // namespace

TEST(PinSetupSheet, FirstPinAndItsChecks) {
    LockRig w(false);
    PinSetupSheet sheet(w.authenticator);
    EXPECT_EQ(sheet.titleLabel()->text(), "Set PIN");
    EXPECT_FALSE(sheet.editor()->requireCurrent()) << "two fields without a PIN";
    EXPECT_EQ(sheet.editor()->newField()->placeholderText(), "New PIN (4–8 digits)");
    EXPECT_EQ(sheet.editor()->confirmField()->placeholderText(), "Enter it again");
    EXPECT_FALSE(sheet.saveButton()->isEnabled());
    sheet.editor()->newField()->setText("1234");
    EXPECT_FALSE(sheet.saveButton()->isEnabled()) << "until both new fields are filled";
    sheet.editor()->confirmField()->setText("1235");
    ASSERT_TRUE(sheet.saveButton()->isEnabled());
    EXPECT_FALSE(sheet.save());
    EXPECT_EQ(sheet.errorLabel()->text(), "The two PINs don’t match");
    EXPECT_FALSE(w.authenticator->isPINConfigured()) << "a mismatch never reaches the authenticator";
    sheet.editor()->newField()->setText("12a4");
    sheet.editor()->confirmField()->setText("12a4");
    EXPECT_FALSE(sheet.save());
    EXPECT_EQ(sheet.errorLabel()->text(), "A PIN can contain only digits");
    sheet.editor()->newField()->setText("123");
    sheet.editor()->confirmField()->setText("123");
    EXPECT_FALSE(sheet.save());
    EXPECT_EQ(sheet.errorLabel()->text(), "A PIN must be at least 4 digits");
    sheet.editor()->newField()->setText("1234");
    sheet.editor()->confirmField()->setText("1234");
    EXPECT_TRUE(sheet.save());
    EXPECT_TRUE(w.authenticator->isPINConfigured());
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
}

TEST(PinSetupSheet, ChangingNeedsTheCurrentPin) {
    LockRig w(false);
    w.authenticator->setPIN("1234", std::nullopt);
    PinSetupSheet sheet(w.authenticator);
    EXPECT_EQ(sheet.titleLabel()->text(), "Change PIN");
    ASSERT_TRUE(sheet.editor()->requireCurrent());
    EXPECT_EQ(sheet.editor()->currentField()->placeholderText(), "Current PIN");
    sheet.editor()->currentField()->setText("9999");
    sheet.editor()->newField()->setText("5678");
    sheet.editor()->confirmField()->setText("5678");
    EXPECT_FALSE(sheet.save());
    EXPECT_EQ(sheet.errorLabel()->text(), "Current PIN is incorrect");
    EXPECT_EQ(sheet.editor()->newPin(), "5678") << "fields are kept after an error";
    sheet.editor()->currentField()->setText("1234");
    EXPECT_TRUE(sheet.save());
    EXPECT_TRUE(PinHasher::verify("5678", *w.authenticator->record()));
}

TEST(Onboarding, StepsAndTheirRules) {
    LockRig w(false);
    w.trusted = false;
    w.controller->refreshCapabilities();
    OnboardingView view(w.prefs, *w.controller, w.authenticator);
    bool finished = false;
    view.onFinish = [&] { finished = true; };
    EXPECT_EQ(view.stepIndicator()->text(), "Step 1 of 4 · Welcome");
    EXPECT_FALSE(view.backButton()->isVisibleTo(&view));
    view.next();
    EXPECT_EQ(view.stepIndicator()->text(), "Step 2 of 4 · Accessibility");
    EXPECT_FALSE(view.canAdvance());
    EXPECT_EQ(view.accessibilityState()->text(), "Not allowed");
    w.trusted = true;
    w.controller->refreshCapabilities();
    view.refresh();
    EXPECT_TRUE(view.canAdvance()) << "moves on once access is allowed";
    view.next();
    EXPECT_EQ(view.step(), 2);
    EXPECT_FALSE(view.canAdvance());
    view.pinEditor()->newField()->setText("1234");
    view.pinEditor()->confirmField()->setText("4321");
    view.next();
    EXPECT_EQ(view.step(), 2);
    EXPECT_EQ(view.pinFailureLabel()->text(), "The two PINs don’t match");
    view.pinEditor()->newField()->setText("123");
    view.pinEditor()->confirmField()->setText("123");
    view.next();
    EXPECT_EQ(view.pinFailureLabel()->text(), "A PIN must be at least 4 digits");
    view.pinEditor()->newField()->setText("2468");
    view.pinEditor()->confirmField()->setText("2468");
    view.next();
    EXPECT_EQ(view.step(), 3);
    EXPECT_TRUE(w.authenticator->isPINConfigured());
    EXPECT_EQ(view.doneLines()[0].toStdString(),
              "The overlay doesn’t turn on automatically by default; pick an idle time in Settings");
    EXPECT_EQ(view.doneLines()[2].toStdString(),
              "Menu bar icon › Turn On Overlay: turn on the overlay manually");
    EXPECT_EQ(view.nextButton()->text(), "Done");
    view.next();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(w.prefs->hasCompletedOnboarding());

    view.back();
    EXPECT_EQ(view.step(), 2);
    view.refresh();
    EXPECT_TRUE(view.canAdvance()) << "with a PIN configured, nothing needs saving";
    EXPECT_EQ(QTextDocumentFragment::fromHtml(view.pinExisting()->text()).toPlainText(),
              "A PIN is already set (4 digits). To change it, go to Settings › Security.");
    // The pointers to the settings lead there, on the right tab.
    std::vector<SettingsTab> opened;
    view.onOpenSettings = [&](SettingsTab tab) { opened.push_back(tab); };
    emit view.pinExisting()->linkActivated(QStringLiteral("security"));
    EXPECT_NE(view.pinExisting()->text().indexOf(QStringLiteral("href=\"security\"")), -1);
    for (QLabel* label : view.findChildren<QLabel*>())
        if (label->text().contains(QStringLiteral("href=\"general\"")))
            emit label->linkActivated(QStringLiteral("general"));
    EXPECT_EQ(opened, (std::vector<SettingsTab>{SettingsTab::security, SettingsTab::general}));
}

TEST(StatusMenu, ItemsTitlesAndEnabledStates) {
    LockRig w(false);
    StatusMenuController menu(*w.controller, w.prefs, w.idle, [] { return false; });
    menu.rebuild();
    auto list = items(*menu.menu());
    ASSERT_GE(list.size(), 8u);
    EXPECT_EQ(list[0], std::make_pair(std::string("Turn On Overlay"), false)) << "no PIN: disabled";
    EXPECT_EQ(list[2], std::make_pair(std::string("Turn On with Away Note"), false));
    EXPECT_EQ(list[3], std::make_pair(std::string("Turn On and Keep Awake"), false));
    EXPECT_EQ(list[5], std::make_pair(std::string("⚠︎ No PIN set"), false));
    EXPECT_EQ(list[list.size() - 2].first, "Settings…");
    EXPECT_EQ(list.back().first, "Quit");
    EXPECT_EQ(menu.trayIcon()->toolTip(), "No PIN set");

    w.authenticator->setPIN("1234", std::nullopt);
    w.controller->refreshCapabilities();
    w.prefs->setIdleTimeoutSeconds(600);
    menu.rebuild();
    list = items(*menu.menu());
    EXPECT_TRUE(list[0].second);
    EXPECT_EQ(list[5].first, "Pause Auto Turn-On for 1 hour");
    QMenu* keepAwake = menu.menu()->actions()[3]->menu();
    ASSERT_NE(keepAwake, nullptr);
    auto durations = items(*keepAwake);
    EXPECT_EQ(durations, (std::vector<std::pair<std::string, bool>>{
                             {"30 minutes", true}, {"1 hour", true}, {"2 hours", true}, {"4 hours", true}}));
    keepAwake->actions()[2]->trigger();
    w.scheduler.runDue();
    EXPECT_EQ(w.controller->state(), LockState::locked);
    EXPECT_EQ(w.controller->keepAwakeSeconds(), 7200);
    menu.refresh();
    w.controller->unlock("test");

    menu.menu()->actions()[5]->trigger(); // pause
    menu.rebuild();
    EXPECT_EQ(items(*menu.menu())[5].first, "Resume Auto Turn-On");
    QMenu* awayNote = menu.menu()->actions()[2]->menu();
    EXPECT_EQ(items(*awayNote).back().first, "Edit Message…");

    // A hot key shows as the item's shortcut, in the keys the user presses (Super is Qt's Meta).
    w.prefs->setLockHotKey(HotKey{37, {HotKeyModifiers::command | HotKeyModifiers::shift}});
    menu.rebuild();
    EXPECT_EQ(menu.menu()->actions()[0]->shortcut(),
              QKeySequence(Qt::MetaModifier | Qt::ShiftModifier | Qt::Key_L));
    w.prefs->setLockHotKey(HotKey{37, {HotKeyModifiers::control | HotKeyModifiers::option}});
    menu.rebuild();
    EXPECT_EQ(menu.menu()->actions()[0]->shortcut().toString(QKeySequence::NativeText), "Ctrl+Alt+L");
    EXPECT_EQ(StatusMenuController::keySequence(HotKey{96, {HotKeyModifiers::option}}),
              QKeySequence(Qt::AltModifier | Qt::Key_F5));
}

TEST(StatusMenu, FollowsTheInterfaceLanguage) {
    LockRig w(false);
    InterfaceLanguage german(w.prefs, AppLanguage::de);
    StatusMenuController menu(*w.controller, w.prefs, w.idle, [] { return false; });
    menu.rebuild();
    auto list = items(*menu.menu());
    EXPECT_EQ(list[0].first, "Overlay einschalten");
    EXPECT_EQ(list[5].first, "⚠︎ Keine PIN festgelegt");
    EXPECT_EQ(list.back().first, "Beenden");
    EXPECT_EQ(items(*menu.menu()->actions()[3]->menu())[0].first, "30 Minuten");
}

TEST(StatusIcon, ThreeDistinguishableStates) {
    test::widgetsApp();
    const QImage plain = StatusIcon::image(false, false, false);
    const QImage masked = StatusIcon::image(true, false, false);
    const QImage warning = StatusIcon::image(false, true, false);
    EXPECT_EQ(plain.size(), QSize(36, 36));
    EXPECT_NE(plain, masked);
    EXPECT_NE(plain, warning);
    EXPECT_NE(masked, warning);
    EXPECT_EQ(StatusIcon::accessibilityDescription(true), "Tolva, overlay on");
}

TEST(LaunchAtLogin, AutostartEntryWrittenAndRemoved) {
    ScopedLogCapture log;
    EXPECT_FALSE(LaunchAtLogin::isEnabled());
    LaunchAtLogin::setEnabled(true, "/usr/bin/tolva-screen");
    ASSERT_TRUE(LaunchAtLogin::isEnabled());
    EXPECT_EQ(LaunchAtLogin::entryPath(), std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) /
                                              "autostart" / "org.tolva.Screen.desktop");
    std::ifstream in(LaunchAtLogin::entryPath());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Exec=/usr/bin/tolva-screen\n"), std::string::npos);
    LaunchAtLogin::setEnabled(false, "");
    EXPECT_FALSE(LaunchAtLogin::isEnabled());
    EXPECT_EQ(log.messages("ui"),
              (std::vector<std::string>{"launch at login -> true", "launch at login -> false"}));
}
