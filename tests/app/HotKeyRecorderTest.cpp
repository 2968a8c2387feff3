// The shortcut recorder: what it shows, which chords it takes, and that it listens only to the
// settings window.
#include "support/QtWidgetsApp.h"
#include "support/SettingsRig.h"
#include "platform/wayland/CompositorBinding.h"
#include "ui/HotKeyRecorderView.h"

#include <QKeyEvent>
#include <QLineEdit>

#include <gtest/gtest.h>

using namespace tolva;
using namespace tolva::test;

namespace {

constexpr std::uint64_t control = 0x40000, option = 0x80000, shift = 0x20000, command = 0x100000;
constexpr std::uint32_t keyL = 37, keyK = 40, escape = 53, backspace = 51;

struct Recorder {
    SettingsRig rig;
    HotKeyRecorderView view;
    Recorder() {
        view.get = [this] { return rig.prefs->lockHotKey(); };
        view.set = [this](const std::optional<HotKey>& hotKey) { rig.prefs->setLockHotKey(hotKey); };
        view.onRecordingChanged = [this](bool on) { rig.recording.push_back(on); };
        view.refresh();
    }
};

// A key press as the X11 platform delivers it: X keycode and X modifier state.
QKeyEvent xKeyPress(int qtKey, quint32 xKeycode, quint32 xState) {
    return QKeyEvent(QEvent::KeyPress, qtKey, Qt::NoModifier, xKeycode, 0, xState);
}

} // namespace

TEST(HotKeyRecorder, ShowsTheShortcutTheLinuxWay) {
    widgetsApp();
    InterfaceLanguage english(std::make_shared<Preferences>(std::make_shared<InMemoryDefaultsStore>()));
    EXPECT_EQ(
        HotKeyRecorderView::displayText(HotKey{keyL, {HotKeyModifiers::control | HotKeyModifiers::option}}),
        "Ctrl+Alt+L");
    EXPECT_EQ(HotKeyRecorderView::displayText(
                  HotKey{96, {HotKeyModifiers::control | HotKeyModifiers::shift | HotKeyModifiers::command}}),
              "Ctrl+Shift+Super+F5");
    EXPECT_EQ(HotKeyRecorderView::displayText(HotKey{49, {HotKeyModifiers::option}}), "Alt+Space");

    Recorder r;
    EXPECT_EQ(r.view.button()->text(), "Click to Record");
    EXPECT_TRUE(r.view.clearButton()->isHidden()) << "nothing to clear";
    r.rig.prefs->setLockHotKey(HotKey{keyL, {HotKeyModifiers::control | HotKeyModifiers::option}});
    r.view.refresh();
    EXPECT_EQ(r.view.button()->text(), "Ctrl+Alt+L");
    EXPECT_FALSE(r.view.clearButton()->isHidden());
    EXPECT_EQ(r.view.clearButton()->text(), "Clear");
    r.view.button()->click();
    EXPECT_EQ(r.view.button()->text(), "Press keys… (Esc to cancel)");
    EXPECT_TRUE(r.view.clearButton()->isHidden()) << "no Clear while recording";
    r.view.button()->click();
    EXPECT_FALSE(r.view.isRecording()) << "a second click stops recording";
    r.view.clearButton()->click();
    EXPECT_EQ(r.rig.prefs->lockHotKey(), std::nullopt);
    EXPECT_EQ(r.view.button()->text(), "Click to Record");
}

TEST(HotKeyRecorder, AcceptsRejectsCancelsAndClears) {
    Recorder r;
    const HotKey old{keyL, {HotKeyModifiers::control | HotKeyModifiers::option}};
    r.rig.prefs->setLockHotKey(old);

    r.view.startRecording();
    ASSERT_TRUE(r.view.hasMonitor());
    r.view.handle(keyK, 0);
    r.view.handle(keyK, shift);
    EXPECT_TRUE(r.view.isRecording()) << "a chord without Ctrl, Alt or Super is not a shortcut";
    EXPECT_EQ(r.rig.prefs->lockHotKey(), old);
    r.view.handle(escape, 0);
    EXPECT_FALSE(r.view.isRecording());
    EXPECT_FALSE(r.view.hasMonitor()) << "the key filter exists only while recording";
    EXPECT_EQ(r.rig.prefs->lockHotKey(), old) << "Escape keeps the old shortcut";

    r.view.startRecording();
    r.view.handle(keyK, control | shift | 0x10000 /* caps lock is not part of it */);
    EXPECT_FALSE(r.view.isRecording());
    EXPECT_EQ(r.rig.prefs->lockHotKey(), (HotKey{keyK, {HotKeyModifiers::control | HotKeyModifiers::shift}}));

    r.view.startRecording();
    r.view.handle(backspace, 0);
    EXPECT_FALSE(r.view.isRecording());
    EXPECT_EQ(r.rig.prefs->lockHotKey(), std::nullopt) << "Backspace clears";
    EXPECT_EQ(r.rig.recording, (std::vector<bool>{true, false, true, false, true, false}));

    // A chord another program holds is said at once and not stored; recording goes on.
    r.view.check = [](const HotKey& hotKey) -> std::optional<std::string> {
        if (hotKey.keyCode == keyL)
            return "Ctrl+Alt+L is taken by another program. Press another shortcut.";
        return std::nullopt;
    };
    r.view.startRecording();
    r.view.handle(keyL, control | option);
    EXPECT_TRUE(r.view.isRecording());
    EXPECT_EQ(r.rig.prefs->lockHotKey(), std::nullopt);
    EXPECT_FALSE(r.view.messageLabel()->isHidden());
    EXPECT_EQ(r.view.messageLabel()->text(),
              "Ctrl+Alt+L is taken by another program. Press another shortcut.");
    r.view.handle(keyK, command);
    EXPECT_FALSE(r.view.isRecording());
    EXPECT_TRUE(r.view.messageLabel()->isHidden());
    EXPECT_EQ(r.rig.prefs->lockHotKey(), (HotKey{keyK, {HotKeyModifiers::command}}));
}

TEST(HotKeyRecorder, DeleteAloneIsNoShortcutAndARefusedOneSaysWhy) {
    Recorder r;
    const HotKey old{keyL, {HotKeyModifiers::control | HotKeyModifiers::option}};
    r.rig.prefs->setLockHotKey(old);
    constexpr std::uint32_t forwardDelete = 117;
    r.view.startRecording();
    r.view.handle(forwardDelete, 0);
    EXPECT_TRUE(r.view.isRecording()) << "Delete alone is a chord without modifiers: ignored";
    EXPECT_EQ(r.rig.prefs->lockHotKey(), old) << "and it does not clear the shortcut";
    r.view.handle(forwardDelete, control | option);
    EXPECT_FALSE(r.view.isRecording()) << "with modifiers it is a shortcut like any other";
    EXPECT_EQ(r.rig.prefs->lockHotKey(),
              (HotKey{forwardDelete, {HotKeyModifiers::control | HotKeyModifiers::option}}));

    // The texts for a chord the system refused, by reason.
    const HotKey showDesktop{2, {HotKeyModifiers::control | HotKeyModifiers::option}};
    EXPECT_EQ(HotKeyRecorderView::refusalText({showDesktop, HotKeyRefusal::takenStatus}, true),
              "Ctrl+Alt+D is taken by another program. Press another shortcut.");
    EXPECT_EQ(HotKeyRecorderView::refusalText({showDesktop, 2}, true),
              "Ctrl+Alt+D can’t be used on this desktop. Press another shortcut.");

    // The shortcut set is the one the system refused: said under the control, with the reason.
    std::optional<HotKeyRefusal> refused;
    r.view.refusal = [&] { return refused; };
    r.rig.prefs->setLockHotKey(showDesktop);
    r.view.refresh();
    EXPECT_TRUE(r.view.messageLabel()->isHidden());
    refused = HotKeyRefusal{showDesktop, HotKeyRefusal::takenStatus};
    r.view.refresh();
    EXPECT_FALSE(r.view.messageLabel()->isHidden());
    EXPECT_EQ(r.view.messageLabel()->text(), "Ctrl+Alt+D is taken by another program, so it doesn’t turn the "
                                             "overlay on. Record another shortcut.");
    refused = HotKeyRefusal{showDesktop, 2};
    r.view.refresh();
    EXPECT_EQ(r.view.messageLabel()->text(),
              "Ctrl+Alt+D couldn’t be set up on this desktop, so it doesn’t turn "
              "the overlay on. Record another shortcut.");
    r.view.startRecording();
    EXPECT_TRUE(r.view.messageLabel()->isHidden()) << "while recording the line is for the chords pressed";
    refused.reset();
    r.view.handle(keyK, control | option);
    EXPECT_TRUE(r.view.messageLabel()->isHidden()) << "a shortcut that works needs no note";
}

TEST(HotKeyRecorder, TakesKeysOnlyFromTheSettingsWindow) {
    Recorder r;
    QWidget settings;
    settings.setObjectName(HotKeyRecorderView::settingsWindowName);
    auto* field = new QLineEdit(&settings);
    r.view.setParent(&settings);
    QWidget onboarding;
    onboarding.setObjectName(QStringLiteral("onboarding"));
    auto* otherField = new QLineEdit(&onboarding);
    settings.show();
    onboarding.show();

    r.view.startRecording();
    // Ctrl+Alt+L typed in the onboarding window reaches that window and is not recorded.
    QKeyEvent other = xKeyPress(Qt::Key_L, 46, 4 | 8);
    QCoreApplication::sendEvent(otherField, &other);
    EXPECT_TRUE(r.view.isRecording());
    EXPECT_EQ(r.rig.prefs->lockHotKey(), std::nullopt);
    QKeyEvent letter(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0, 0, QStringLiteral("a"));
    QCoreApplication::sendEvent(otherField, &letter);
    EXPECT_EQ(otherField->text(), "a") << "typing in another window goes on while recording";

    // A lone modifier is not a chord yet.
    QKeyEvent ctrl = xKeyPress(Qt::Key_Control, 37, 0);
    QCoreApplication::sendEvent(field, &ctrl);
    EXPECT_TRUE(r.view.isRecording());

    // In the settings window it is taken, and never typed into the field.
    QKeyEvent press = xKeyPress(Qt::Key_L, 46, 4 | 8);
    QCoreApplication::sendEvent(field, &press);
    EXPECT_FALSE(r.view.isRecording());
    EXPECT_EQ(r.rig.prefs->lockHotKey(),
              (HotKey{keyL, {HotKeyModifiers::control | HotKeyModifiers::option}}));
    EXPECT_TRUE(field->text().isEmpty());

    // Not recording: keys go where they always go.
    QKeyEvent typed(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0, 0, QStringLiteral("a"));
    QCoreApplication::sendEvent(field, &typed);
    EXPECT_EQ(field->text(), "a");

    // Leaving the screen stops recording.
    r.view.startRecording();
    settings.hide();
    EXPECT_FALSE(r.view.isRecording());
    EXPECT_FALSE(r.view.hasMonitor());
    r.view.setParent(nullptr);
}

// On GNOME the Shell extension keeps the shortcut as GNOME writes it.
TEST(HotKeyRecorder, OnGnomeTheShortcutIsWrittenAsGnomeNamesIt) {
    EXPECT_EQ(gnomeAccelerator(HotKey{keyL, {HotKeyModifiers::command | HotKeyModifiers::control}}),
              "<Control><Super>l");
    EXPECT_EQ(gnomeAccelerator(HotKey{96, {HotKeyModifiers::shift | HotKeyModifiers::option}}), "<Alt><Shift>F5");
    EXPECT_EQ(gnomeAccelerator(HotKey{49, {HotKeyModifiers::command}}), "<Super>space");
    EXPECT_EQ(gnomeAccelerator(HotKey{0xff, {HotKeyModifiers::control}}), std::nullopt) << "no such key";
}

// Where the compositor binds the shortcut itself (sway), the recorder shows the configuration
// line for the recorded chord instead of a refusal, and the line follows each new recording.
TEST(HotKeyRecorder, OnSwayItShowsTheConfigurationLineForTheRecordedShortcut) {
    EXPECT_EQ(swayBindingLine(std::nullopt), "bindsym Mod4+Ctrl+l exec tolva-screen --lock");
    EXPECT_EQ(swayBindingLine(HotKey{96, {HotKeyModifiers::control | HotKeyModifiers::shift}}),
              "bindsym Ctrl+Shift+F5 exec tolva-screen --lock");
    EXPECT_EQ(swayBindingLine(HotKey{49, {HotKeyModifiers::option | HotKeyModifiers::command}}),
              "bindsym Mod4+Mod1+space exec tolva-screen --lock");
    EXPECT_EQ(swayBindingLine(HotKey{18, {HotKeyModifiers::control}}), "bindsym Ctrl+1 exec tolva-screen --lock");

    Recorder r;
    InterfaceLanguage english(r.rig.prefs);
    const HotKey old{keyL, {HotKeyModifiers::control | HotKeyModifiers::option}};
    r.rig.prefs->setLockHotKey(old);
    r.view.refusal = [&] { return std::optional<HotKeyRefusal>(HotKeyRefusal{old, 2}); };
    r.view.compositorBinding = swayBindingLine;
    r.view.refresh();
    EXPECT_TRUE(r.view.messageLabel()->isHidden()) << "nothing is refused: the compositor binds it";
    ASSERT_FALSE(r.view.bindingLabel()->isHidden());
    EXPECT_EQ(r.view.bindingLabel()->text(),
              "This desktop doesn’t let programs take a shortcut. On sway, add this line to its "
              "configuration file, then reload it:");
    ASSERT_FALSE(r.view.bindingLine()->isHidden());
    EXPECT_TRUE(r.view.bindingLine()->isReadOnly());
    EXPECT_EQ(r.view.bindingLine()->text(), "bindsym Ctrl+Mod1+l exec tolva-screen --lock");
    r.view.startRecording();
    r.view.handle(keyK, command | shift);
    EXPECT_FALSE(r.view.isRecording());
    EXPECT_EQ(r.view.bindingLine()->text(), "bindsym Mod4+Shift+k exec tolva-screen --lock");
    r.view.clearButton()->click();
    EXPECT_EQ(r.view.bindingLine()->text(), "bindsym Mod4+Ctrl+l exec tolva-screen --lock")
        << "without a shortcut, a suggested one";
}
