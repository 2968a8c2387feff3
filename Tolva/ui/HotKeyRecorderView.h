// The "Overlay Shortcut" control: shows the shortcut the Linux way (Ctrl+Alt+L) and, once
// clicked, takes the next valid key chord typed in the settings window as the new one. Escape
// cancels, Backspace clears; a chord that is not allowed, or that another program already
// holds, keeps it recording. While it records it holds the whole keyboard, so that a chord
// another program has taken reaches it too (and is refused with that reason). A shortcut the
// system would not register is shown under it, with the reason.
#pragma once

#include "TolvaCore/HotKey.h"
#include "platform/HotKeyManager.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tolva {

class HotKeyRecorderView : public QWidget {
public:
    // Key presses are captured only in the window with this object name.
    static constexpr const char* settingsWindowName = "tolva.settings";

    explicit HotKeyRecorderView(QWidget* parent = nullptr);
    ~HotKeyRecorderView() override;

    // The binding to the preference.
    std::function<std::optional<HotKey>()> get;
    std::function<void(const std::optional<HotKey>&)> set;
    // Asked before a chord is stored: nothing when it can be used, else why not (shown under the
    // control, and recording goes on).
    std::function<std::optional<std::string>(const HotKey&)> check;
    // Told when recording starts and stops (the global shortcut is set aside meanwhile, so the
    // chord reaches this window).
    std::function<void(bool recording)> onRecordingChanged;
    // The shortcut the system refused, if any: shown under the control while it is the one set.
    std::function<std::optional<HotKeyRefusal>()> refusal;
    // Where no program may take a key (sway), the line of the compositor's configuration that
    // binds the recorded shortcut (or a suggested one) to the lock; shown under the control
    // instead of a refusal.
    std::function<std::string(const std::optional<HotKey>&)> compositorBinding;

    bool isRecording() const { return recording_; }
    bool hasMonitor() const { return monitorInstalled_; }
    void startRecording();
    void stopRecording();
    // One key press while recording, in the program's key codes and flag bits.
    void handle(std::uint32_t keyCode, std::uint64_t flags);
    // Re-reads the binding and the language.
    void refresh();

    // "Ctrl+Alt+L", "Ctrl+Shift+Super+F5": Control, Alt, Shift, Super and the key.
    static QString displayText(const HotKey& hotKey);
    // Why a shortcut cannot be used: while recording, asking for another chord; else the note
    // under the control.
    static std::string refusalText(const HotKeyRefusal& refusal, bool recording);

    QPushButton* button() const { return button_; }
    QPushButton* clearButton() const { return clear_; }
    QLabel* messageLabel() const { return message_; }
    QLabel* bindingLabel() const { return binding_; }
    QLineEdit* bindingLine() const { return bindingLine_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QPushButton* button_;
    QPushButton* clear_;
    QLabel* message_;
    QLabel* binding_;
    QLineEdit* bindingLine_;
    bool recording_ = false;
    bool monitorInstalled_ = false;
};

} // namespace tolva
