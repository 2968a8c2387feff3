// The PIN sheet, onboarding, the tray menu and the autostart entry, on Qt's offscreen platform.
#include "TolvaCore/L10n.h"
#include "TolvaCore/Localization.h"
#include "TolvaCore/PinHasher.h"
#include "app/LaunchAtLogin.h"
#include "log/Log.h"
#include "support/LockRig.h"
#include "support/QtWidgetsApp.h"
#include "support/SettingsRig.h"
#include "ui/OnboardingView.h"
#include "ui/StatusIcon.h"
#include "ui/StatusMenuController.h"
#include "unlock/PinSetupSheet.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLayout>
#include <QMenu>
#include <QPainter>
#include <QTemporaryDir>
#include <QTextDocumentFragment>

#include <cmath>
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

namespace {
void pressReturn(QWidget* field) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(field, &press);
}
} // namespace

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
    EXPECT_EQ(view.stepIndicator()->text(), "Step 2 of 4 · Keyboard");
    EXPECT_FALSE(view.canAdvance());
    // Without keyboard blocking (Wayland, no display): a plain explanation and no button.
    EXPECT_EQ(view.accessibilityState()->text(), "Not available");
    EXPECT_TRUE(view.accessibilityHint()->isVisibleTo(&view));
    QWidget* keyboardPage = view.accessibilityState()->parentWidget();
    EXPECT_TRUE(keyboardPage->findChildren<QPushButton*>().isEmpty()) << "no button that cannot do anything";
    EXPECT_FALSE(view.coverBlocked()->isVisibleTo(&view));
    // GNOME without the extension: the page says how to turn it on.
    w.shellExtensionOff = true;
    view.refresh();
    EXPECT_TRUE(view.coverBlocked()->isVisibleTo(&view));
    EXPECT_EQ(view.coverBlocked()->text().toStdString(), w.controller->lockBlockedReason());
    EXPECT_NE(view.coverBlocked()->text().indexOf("gnome-extensions enable tolva-screen@tolva.org"), -1);
    w.trusted = true;
    w.controller->refreshCapabilities();
    view.refresh();
    EXPECT_TRUE(view.canAdvance()) << "moves on once keyboard blocking is available";
    EXPECT_EQ(view.accessibilityState()->text(), "✓ Available");
    EXPECT_FALSE(view.accessibilityHint()->isVisibleTo(&view));
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
    // Return: from the first field to the second, and from the second it submits.
    view.pinEditor()->newField()->setText("2468");
    view.pinEditor()->confirmField()->clear();
    pressReturn(view.pinEditor()->newField());
    EXPECT_EQ(view.step(), 2);
    view.pinEditor()->confirmField()->setText("2468");
    pressReturn(view.pinEditor()->confirmField());
    EXPECT_EQ(view.step(), 3);
    EXPECT_TRUE(w.authenticator->isPINConfigured());
    EXPECT_EQ(view.doneLines()[0].toStdString(),
              "The overlay doesn’t turn on automatically by default; pick an idle time in Settings");
    EXPECT_EQ(view.doneLines()[2].toStdString(), "Tray icon › Turn On Overlay: turn on the overlay manually");
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
    EXPECT_EQ(opened, (std::vector<SettingsTab>{SettingsTab::security}));
    // The last page's lines are plain lines alike: no one link among them.
    for (QLabel* label : view.findChildren<QLabel*>()) {
        if (label != view.pinExisting()) {
            EXPECT_FALSE(label->text().contains(QStringLiteral("href="))) << label->text().toStdString();
        }
    }
}

TEST(Onboarding, TheLastPageShowsTheLooksAndWhatEachHides) {
    LockRig w(false);
    OnboardingView view(w.prefs, *w.controller, w.authenticator);
    EXPECT_EQ(view.looks()->count(), 4);
    EXPECT_EQ(view.looks()->currentText(), "Transparent Overlay") << "the default look, preselected";
    EXPECT_EQ(view.looksDetail()->text(),
              "Lays a very faint tint over what’s on screen. Everything stays visible and keeps moving.");
    view.looks()->setCurrentIndex(1);
    emit view.looks()->activated(1);
    EXPECT_EQ(w.prefs->overlayContentMode(), OverlayContentMode::solidColor)
        << "the same preference as Settings";
    EXPECT_EQ(view.looksDetail()->text(), "Fills each display with one color, hiding everything on screen.");
}

TEST(PinEditor, DigitsOnlyAtMostEightAndErrorsGoOnEdit) {
    LockRig w(false);
    auto type = [](QLineEdit* field, const QString& text) {
        for (QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QCoreApplication::sendEvent(field, &press);
        }
    };
    PinSetupSheet sheet(w.authenticator);
    QLineEdit* field = sheet.editor()->newField();
    type(field, "12ab3 4٥");
    EXPECT_EQ(field->text(), "1234") << "letters, spaces and other digits are not typed";
    type(field, "567890");
    EXPECT_EQ(field->text(), "12345678") << "no more than the longest PIN";
    sheet.editor()->confirmField()->setText("12345670");
    EXPECT_FALSE(sheet.save());
    ASSERT_FALSE(sheet.errorLabel()->isHidden());
    type(sheet.editor()->confirmField(), "");
    QKeyEvent backspace(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
    QCoreApplication::sendEvent(sheet.editor()->confirmField(), &backspace);
    EXPECT_TRUE(sheet.errorLabel()->isHidden()) << "the error about the old text goes as it is edited";

    // The same in set-up.
    OnboardingView view(w.prefs, *w.controller, w.authenticator);
    view.next();
    view.next();
    type(view.pinEditor()->newField(), "9x87654321");
    EXPECT_EQ(view.pinEditor()->newField()->text(), "98765432");
    type(view.pinEditor()->confirmField(), "1111");
    view.next();
    ASSERT_FALSE(view.pinFailureLabel()->isHidden());
    type(view.pinEditor()->newField(), "");
    QCoreApplication::sendEvent(view.pinEditor()->confirmField(), &backspace);
    EXPECT_TRUE(view.pinFailureLabel()->isHidden());
}

TEST(Onboarding, WindowIsCalmAndFixed) {
    LockRig w(false);
    OnboardingWindowController onboarding(w.scheduler);
    onboarding.show(w.prefs, *w.controller, w.authenticator);
    AppPanel* window = onboarding.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Tolva Screen");
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "a fixed size cannot be maximised";
    EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    OnboardingView* view = onboarding.view();
    // Calm: as tall as the longest page, so no page leaves half the window empty.
    int tallestPage = 0;
    const auto measurePage = [&] {
        QApplication::processEvents();
        const QMargins margins = window->layout()->contentsMargins();
        tallestPage =
            std::max(tallestPage, margins.top() + view->heightForWidth(view->width()) + margins.bottom());
    };
    measurePage();
    view->next();
    measurePage();
    view->next();
    ASSERT_EQ(view->step(), 2);
    const QPoint fieldBefore = view->pinEditor()->mapTo(window, QPoint());
    const QPoint nextBefore = view->nextButton()->mapTo(window, QPoint());
    view->pinEditor()->newField()->setText("12");
    view->pinEditor()->confirmField()->setText("12");
    view->next();
    ASSERT_TRUE(view->pinFailureLabel()->isVisibleTo(window));
    QApplication::processEvents();
    EXPECT_EQ(view->pinEditor()->mapTo(window, QPoint()), fieldBefore) << "the error line moves nothing";
    EXPECT_EQ(view->nextButton()->mapTo(window, QPoint()), nextBefore);
    measurePage();
    // The last page shows every look's explanation whole.
    view->pinEditor()->newField()->setText("2468");
    view->pinEditor()->confirmField()->setText("2468");
    view->next();
    ASSERT_EQ(view->step(), 3);
    for (int look = 0; look < view->looks()->count(); ++look) {
        view->looks()->setCurrentIndex(look);
        emit view->looks()->activated(look);
        measurePage();
        QLabel* detail = view->looksDetail();
        EXPECT_GE(detail->height(), detail->heightForWidth(detail->width())) << detail->text().toStdString();
        EXPECT_LE(detail->mapTo(window, QPoint(0, detail->height())).y(),
                  view->nextButton()->mapTo(window, QPoint()).y());
    }
    EXPECT_LE(window->height(), std::max(OnboardingWindowController::minimumWindowHeight, tallestPage));
    EXPECT_LT(window->height(), 460);
    onboarding.close();
}

TEST(Onboarding, WithoutATraySaysHowToTurnTheOverlayOn) {
    LockRig w(false);
    OnboardingView view(w.prefs, *w.controller, w.authenticator);
    EXPECT_FALSE(view.noTrayNote()->isVisibleTo(&view));
    view.showNoTrayNote(QStringLiteral("Ctrl+Alt+L"));
    EXPECT_TRUE(view.noTrayNote()->isVisibleTo(&view));
    EXPECT_EQ(
        view.noTrayNote()->text(),
        "This desktop shows no system tray. Turn the overlay on with Ctrl+Alt+L or by running “tolva-screen "
        "--lock”; running “tolva-screen” again opens this window.");
    view.showNoTrayNote(QString());
    EXPECT_EQ(view.noTrayNote()->text(),
              "This desktop shows no system tray. Turn the overlay on by running “tolva-screen --lock” (bind "
              "it to a "
              "key in your window manager); running “tolva-screen” again opens this window.");
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
    EXPECT_EQ(menu.trayIcon()->toolTip(), "Tolva Screen — No PIN set");

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

    // A hot key shows as the item's shortcut.
    // Control and Alt (as the X modifier map stores them) read the Linux way.
    w.prefs->setLockHotKey(HotKey{37, {HotKeyModifiers::control | HotKeyModifiers::option}});
    menu.rebuild();
    EXPECT_EQ(menu.menu()->actions()[0]->shortcut().toString(QKeySequence::NativeText), "Ctrl+Alt+L");
    EXPECT_EQ(
        StatusMenuController::keySequence(HotKey{37, {HotKeyModifiers::command | HotKeyModifiers::shift}}),
        QKeySequence(Qt::MetaModifier | Qt::ShiftModifier | Qt::Key_L));
    EXPECT_EQ(StatusMenuController::keySequence(HotKey{96, {HotKeyModifiers::option}}),
              QKeySequence(Qt::AltModifier | Qt::Key_F5));
}

TEST(StatusMenu, AShortcutTheSystemRefusedIsNotAdvertisedAndSaysWhy) {
    LockRig w(false);
    w.authenticator->setPIN("1234", std::nullopt);
    w.controller->refreshCapabilities();
    StatusMenuController menu(*w.controller, w.prefs, w.idle, [] { return false; });
    const HotKey showDesktop{2, {HotKeyModifiers::control | HotKeyModifiers::option}}; // Ctrl+Alt+D
    w.prefs->setLockHotKey(showDesktop);
    std::optional<HotKeyRefusal> refusal;
    menu.hotKeyRefusal = [&] { return refusal; };
    menu.rebuild();
    EXPECT_EQ(menu.menu()->actions()[0]->shortcut().toString(QKeySequence::NativeText), "Ctrl+Alt+D");
    const QImage fine = menu.trayIcon()->icon().pixmap(36, 36).toImage();

    refusal = HotKeyRefusal{showDesktop, HotKeyRefusal::takenStatus};
    menu.refresh();
    menu.rebuild();
    auto list = items(*menu.menu());
    EXPECT_EQ(list[0], std::make_pair(std::string("Turn On Overlay"), true));
    EXPECT_TRUE(menu.menu()->actions()[0]->shortcut().isEmpty())
        << "a shortcut that does nothing is not shown";
    EXPECT_EQ(list[5],
              std::make_pair(std::string("⚠︎ Ctrl+Alt+D is taken by another program — choose another "
                                         "shortcut in Settings"),
                             false));
    EXPECT_NE(menu.trayIcon()->icon().pixmap(36, 36).toImage(), fine) << "the icon shows the warning";

    refusal = HotKeyRefusal{showDesktop, 2};
    menu.rebuild();
    EXPECT_EQ(items(*menu.menu())[5].first,
              "⚠︎ Ctrl+Alt+D couldn’t be set up — choose another shortcut in Settings");

    // Another shortcut chosen since: the refusal of the old one says nothing about it.
    w.prefs->setLockHotKey(HotKey{37, {HotKeyModifiers::control | HotKeyModifiers::option}});
    menu.rebuild();
    EXPECT_EQ(menu.menu()->actions()[0]->shortcut().toString(QKeySequence::NativeText), "Ctrl+Alt+L");
    for (const auto& [title, enabled] : items(*menu.menu()))
        EXPECT_FALSE(title.starts_with("⚠︎")) << title;
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
    EXPECT_EQ(StatusIcon::toolTip(false, std::nullopt), "Tolva Screen");
    EXPECT_EQ(StatusIcon::toolTip(true, std::nullopt), "Tolva Screen — Overlay On");
    EXPECT_EQ(StatusIcon::toolTip(false, std::string("No PIN set")), "Tolva Screen — No PIN set");
}

namespace {

double luminance(QColor c) {
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(QColor a, QColor b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The icon laid on a panel of the colour, as the panel shows it: how many of its pixels stand
// out from the panel by at least 3:1.
int pixelsStandingOut(const QImage& icon, QColor panel) {
    QImage shown(icon.size(), QImage::Format_RGB32);
    shown.fill(panel);
    QPainter(&shown).drawImage(0, 0, icon);
    int count = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            if (contrast(shown.pixelColor(x, y), panel) >= 3.0)
                ++count;
    return count;
}

} // namespace

TEST(StatusIcon, ReadableOnDarkAndLightPanelsWhateverTheTheme) {
    test::widgetsApp();
    // Dark panels (Xfce, GNOME, Breeze Dark) and light ones, under a light and a dark theme.
    const QColor panels[] = {QColor("#2b2b2b"), QColor("#000000"), QColor("#31363b"),
                             QColor("#f6f5f4"), QColor("#ffffff"), QColor("#dcdcdc")};
    const QColor inks[] = {QColor("#1e1e1e"), QColor("#eeeeee")};
    for (QColor ink : inks)
        for (QColor panel : panels)
            for (auto [masked, warning] : {std::pair{false, false}, {true, false}, {false, true}}) {
                SCOPED_TRACE(ink.name().toStdString() + " on " + panel.name().toStdString() +
                             (masked ? " on" : "") + (warning ? " warning" : ""));
                const QImage icon = StatusIcon::image(masked, warning, false, ink, 2);
                // The two squares' outlines alone are well over a hundred pixels at this size.
                EXPECT_GT(pixelsStandingOut(icon, panel), 150);
            }
}

TEST(StatusIcon, ATrayIconFromTheThemeOnlyWhereTheThemeHasThatVeryIcon) {
    test::widgetsApp();
    QTemporaryDir themes;
    const QStringList searchPaths = QIcon::themeSearchPaths();
    QIcon::setThemeSearchPaths({themes.path()});
    auto put = [&](const QString& relative) {
        const QString file = themes.path() + "/hicolor/" + relative;
        QDir().mkpath(QFileInfo(file).path());
        QImage image(16, 16, QImage::Format_ARGB32);
        image.fill(Qt::gray);
        ASSERT_TRUE(image.save(file));
    };
    // Only the application icon: the states are drawn, each its own (no fallback to the app icon).
    put("48x48/apps/org.tolva.Screen.png");
    EXPECT_FALSE(StatusIcon::themeHasIcon("org.tolva.Screen-on-symbolic"));
    const QImage plain = StatusIcon::trayIcon(false, false, false, QPalette()).pixmap(36, 36).toImage();
    const QImage masked = StatusIcon::trayIcon(true, false, false, QPalette()).pixmap(36, 36).toImage();
    EXPECT_NE(plain, masked) << "the hatching shows";
    EXPECT_EQ(masked, StatusIcon::image(true, false, false, StatusIcon::inkFor(QPalette()), 2))
        << "the drawn icon";
    // The theme's own symbolic icon, where it has it.
    put("symbolic/apps/org.tolva.Screen-on-symbolic.png");
    EXPECT_TRUE(StatusIcon::themeHasIcon("org.tolva.Screen-on-symbolic"));
    EXPECT_FALSE(StatusIcon::themeHasIcon("org.tolva.Screen-warning-symbolic"));
    QIcon::setThemeSearchPaths(searchPaths);
}

TEST(StatusIcon, ApplicationIconOnEveryWindow) {
    test::widgetsApp();
    const QIcon icon = StatusIcon::applicationIcon();
    ASSERT_FALSE(icon.isNull());
    EXPECT_FALSE(icon.pixmap(48, 48).isNull());
    // Not installed, the program draws its icon itself: the same picture as the package's.
    for (int size : {48, 128}) {
        const QImage packaged(
            QStringLiteral(TOLVA_SOURCE_DIR "/packaging/icons/hicolor/%1x%1/apps/org.tolva.Screen.png")
                .arg(size));
        ASSERT_FALSE(packaged.isNull());
        const QImage drawn = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        const QImage expected = packaged.convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(drawn.size(), expected.size());
        double difference = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const QColor a = drawn.pixelColor(x, y), b = expected.pixelColor(x, y);
                difference += std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                              std::abs(a.blue() - b.blue()) + std::abs(a.alpha() - b.alpha());
            }
        EXPECT_LT(difference / (size * size * 4), 6.0)
            << size << " px: the drawing differs from the package's";
    }
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
