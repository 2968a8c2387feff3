// The four-step first-run window: welcome, keyboard blocking on this session, the PIN, done.
#pragma once

#include "TolvaCore/Preferences.h"
#include "app/AppPanel.h"
#include "lock/LockController.h"
#include "platform/Scheduler.h"
#include "ui/SettingsTab.h"
#include "unlock/Authenticator.h"
#include "unlock/PinEditor.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

namespace tolva {

class OnboardingView : public QWidget {
public:
    static constexpr int stepCount = 4;

    OnboardingView(std::shared_ptr<Preferences> prefs, LockController& controller,
                   std::shared_ptr<Authenticator> auth, QWidget* parent = nullptr);

    int step() const { return step_; }
    bool canAdvance() const;
    void next();
    void back();
    // Re-reads what the pages show (permission state, PIN state) and the buttons' state.
    void refresh();

    // Without a system tray: a note on top says how to turn the overlay on and reopen the window
    // (`shortcut` is the hot key's text, empty when none is set).
    void showNoTrayNote(const QString& shortcut);
    // Puts the longest of the looks' explanations in place, for the window to measure itself.
    void showLongestLookDetail();

    std::function<void()> onFinish;
    // The pages' pointers to the settings ("change it in Settings") open them on this tab.
    std::function<void(SettingsTab)> onOpenSettings;

    QLabel* stepIndicator() const { return indicator_; }
    QPushButton* nextButton() const { return next_; }
    QPushButton* backButton() const { return back_; }
    PinEditor* pinEditor() const { return pinEditor_; }
    QLabel* pinFailureLabel() const { return pinFailure_; }
    QLabel* accessibilityState() const { return accessibilityState_; }
    QLabel* accessibilityHint() const { return accessibilityHint_; }
    QLabel* coverBlocked() const { return coverBlocked_; }
    QLabel* noTrayNote() const { return noTrayNote_; }
    QLabel* pinExisting() const { return pinExisting_; }
    // The look picker on the last page, and the line saying what the chosen look hides.
    QComboBox* looks() const { return looks_; }
    QLabel* looksDetail() const { return looksDetail_; }
    std::vector<QString> doneLines() const;

private:
    QWidget* page(const std::string& title, const std::vector<std::string>& paragraphs);
    void showStep();

    std::shared_ptr<Preferences> prefs_;
    LockController& controller_;
    std::shared_ptr<Authenticator> auth_;
    int step_ = 0;
    QLabel* noTrayNote_;
    std::optional<QString> noTrayShortcut_;
    QLabel* indicator_;
    QStackedWidget* pages_;
    QPushButton* back_;
    QPushButton* next_;
    QLabel* accessibilityState_ = nullptr;
    QLabel* accessibilityHint_ = nullptr;
    QLabel* coverBlocked_ = nullptr; // what to do where nothing can cover the screen
    PinEditor* pinEditor_ = nullptr;
    QLabel* pinFailure_ = nullptr;
    QLabel* pinExisting_ = nullptr;
    QComboBox* looks_ = nullptr;
    QLabel* looksDetail_ = nullptr;
    std::vector<QLabel*> done_;
};

// Creates the onboarding window once, shows it, and polls the permission every second while
// it is open.
class OnboardingWindowController {
public:
    static constexpr int windowWidth = 600;
    static constexpr int minimumWindowHeight = 320;

    OnboardingWindowController(Scheduler& scheduler) : scheduler_(scheduler) {}
    void show(std::shared_ptr<Preferences> prefs, LockController& controller,
              std::shared_ptr<Authenticator> auth);
    // After `show`: the window is the way in, as no tray icon can be shown.
    void showWithoutTray(const QString& shortcut);
    void close();
    AppPanel* window() const { return window_.get(); }
    OnboardingView* view() const { return view_; }
    std::function<void(SettingsTab)> onOpenSettings;

private:
    Scheduler& scheduler_;
    std::unique_ptr<AppPanel> window_;
    OnboardingView* view_ = nullptr;
    Scheduler::Handle polling_;
};

} // namespace tolva
