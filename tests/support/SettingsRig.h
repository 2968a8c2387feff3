// A settings window over the lock-controller rig, with the system's answers in the test's hands
// and the interface in English for the length of the test.
#pragma once

#include "TolvaCore/Localization.h"
#include "support/LockRig.h"
#include "ui/SettingsWindowController.h"

#include <QCoreApplication>

namespace tolva::test {

// The interface in one language while it lives; it follows the system again afterwards.
struct InterfaceLanguage {
    explicit InterfaceLanguage(std::shared_ptr<Preferences> prefs, AppLanguage language = AppLanguage::en) {
        Localization::configure(std::move(prefs));
        Localization::shared().setOverride(language);
    }
    ~InterfaceLanguage() { Localization::shared().setOverride(std::nullopt); }
    InterfaceLanguage(const InterfaceLanguage&) = delete;
    InterfaceLanguage& operator=(const InterfaceLanguage&) = delete;
};

struct SettingsRig : LockRig {
    InterfaceLanguage english{prefs};
    bool reduceMotion = false;
    bool fingerprint = false;
    bool captureAllowed = true;
    std::optional<std::filesystem::path> pickedFile;
    std::optional<std::string> refusal;
    std::vector<HotKey> checked;
    std::vector<bool> recording;
    std::chrono::system_clock::time_point now = std::chrono::system_clock::from_time_t(1'800'000'000);

    SettingsEnvironment environment() {
        SettingsEnvironment env;
        env.prefs = prefs;
        env.controller = controller.get();
        env.authenticator = authenticator;
        env.scheduler = &scheduler;
        env.reduceMotion = [this] { return reduceMotion; };
        env.touchIDAvailable = [this] { return fingerprint; };
        env.screenCaptureAllowed = [this] { return captureAllowed; };
        env.hotKeyCheck = [this](const HotKey& hotKey) {
            checked.push_back(hotKey);
            return refusal;
        };
        env.onHotKeyRecording = [this](bool on) { recording.push_back(on); };
        env.chooseImageFile = [this](QWidget*) { return pickedFile; };
        env.executable = "/usr/bin/tolva-screen";
        env.now = [this] { return now; };
        return env;
    }
};

inline void processEvents() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace tolva::test
