// The program's side of updates: `AppUpdater` owns the update engine, answers its delegate
// questions and tracks the version waiting to be installed; `UpdateSettings` is the model the
// About tab's "Updates" group binds to.
//
// Binding the About tab (one `UpdateSettings` per run, owned by the application delegate):
//   - switch "Check for Updates Automatically": `automaticallyChecks()` / `setAutomaticallyChecks(bool)`,
//     change signal `automaticallyChecksChanged(bool)`;
//   - button "Check for Updates…": `check()`, enabled by `canCheck()`;
//   - line "Last checked %@": `lastCheckedText()` (empty when never checked), or `lastCheckDate()`;
//   - `availableVersion()` for the waiting update, `downloadProgress()` while one downloads;
//   - re-read all of the above whenever `revisionChanged(int)` is emitted.
#pragma once

#include "update/UpdateEngine.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tolva {

class AppUpdater : public QObject, public UpdateEngine::Delegate {
    Q_OBJECT
public:
    struct Configuration {
        std::string feedBase; // the update server folder, no trailing slash
        int appMajor = 0;
        bool starts = true;
    };

    // The version this program was built as, and the build's deployment settings.
    static std::string runningVersion();
    static int runningMajor();
    static std::string defaultFeedBase();
    static std::string defaultPublicKey();

    // `setup` carries what the engine needs besides this delegate (scheduler, store, key,
    // install location, the dialogs). The engine is started when `configuration.starts`.
    AppUpdater(Configuration configuration, UpdateEngine::Setup setup);
    ~AppUpdater() override;

    // A user-requested check (tray menu, About tab). Ignored silently while no check can run.
    void checkForUpdates();
    bool automaticallyChecks() const;
    void setAutomaticallyChecks(bool on);
    // Whether "Check for Updates…" can do anything now.
    bool canCheckForUpdates() const;

    const std::optional<std::string>& availableVersion() const { return availableVersion_; }
    const Configuration& configuration() const { return configuration_; }
    // The engine; absent only if it could not be made.
    UpdateEngine* controller() const { return controller_.get(); }

    // Records the waiting version, logging and telling `onChange` only when it changes.
    void setAvailable(std::optional<std::string> version);

    // Installs a staged update (the program is quitting).
    void installOnQuit();

    // After the available version or the engine's observable properties change.
    std::function<void()> onChange;

signals:
    void changed();

private:
    std::string feedURLString() override;
    bool willInstallUpdateOnQuit(const AppcastItem& item) override;
    void userDidMakeChoice(UpdateChoice choice, const AppcastItem& item, const UpdateState& state) override;
    void didAbortWithError(const UpdateError& error) override;
    bool supportsGentleScheduledUpdateReminders() override { return true; }
    bool shouldHandleShowingScheduledUpdate(const AppcastItem& item, bool immediateFocus) override;
    void willHandleShowingUpdate(bool handleShowing, const AppcastItem& item,
                                 const UpdateState& state) override;

    void notifyChanged();
    void installObservations();

    std::optional<std::string> availableVersion_;
    Configuration configuration_;
    std::unique_ptr<UpdateEngine> controller_;
};

class UpdateSettings : public QObject {
    Q_OBJECT
public:
    explicit UpdateSettings(AppUpdater& updater);

    bool automaticallyChecks() const { return automaticallyChecks_; }
    int revision() const { return revision_; }

    std::optional<std::chrono::system_clock::time_point> lastCheckDate() const;
    bool canCheck() const;
    void check();
    void setAutomaticallyChecks(bool on);

    // "Last checked %@" with the date told relative to now; empty when never checked.
    std::string
    lastCheckedText(std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) const;
    std::optional<std::string> availableVersion() const { return updater_.availableVersion(); }
    std::optional<double> downloadProgress() const;

signals:
    void automaticallyChecksChanged(bool on);
    void revisionChanged(int revision);

private:
    AppUpdater& updater_;
    bool automaticallyChecks_;
    int revision_ = 0;
};

} // namespace tolva
