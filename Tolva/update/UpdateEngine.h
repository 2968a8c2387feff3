// The program's own small update framework: it fetches the signed feed, decides whether a
// newer version exists, downloads and verifies it where the program owns its files, asks its
// delegate the questions below and installs a verified update when the program quits.
// Automatic checks run once a day while enabled; the choice and the last check date persist
// in the defaults store.
#pragma once

#include "TolvaCore/DefaultsStore.h"
#include "platform/Scheduler.h"
#include "update/Appcast.h"
#include "update/UpdateDownload.h"
#include "update/UpdateError.h"
#include "update/UpdateInstaller.h"

#include <QNetworkAccessManager>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace tolva {

// Where an update stands when the user or the delegate is asked about it.
struct UpdateState {
    enum class Stage { notDownloaded, installing }; // installing: verified and staged for quit
    Stage stage = Stage::notDownloaded;
    bool userInitiated = false;
    bool packageManaged = false; // the package manager brings it; nothing is downloaded
};

enum class UpdateChoice { install, skip, dismiss };

class UpdateEngine {
public:
    static constexpr std::string_view automaticallyChecksKey = "updateAutomaticallyChecks";
    static constexpr std::string_view lastCheckTimeKey = "updateLastCheckTime"; // a check that completed
    // Any check, failed ones too: the next automatic one is a day after it, never at once.
    static constexpr std::string_view lastAttemptTimeKey = "updateLastAttemptTime";
    static constexpr std::string_view firstStartTimeKey = "updateFirstStartTime";
    static constexpr std::string_view skippedVersionKey = "updateSkippedVersion";

    class Delegate {
    public:
        virtual ~Delegate() = default;
        virtual std::string feedURLString() = 0;
        // A verified update is staged; true would ask for an immediate install, which this
        // engine does not do: it always installs at quit.
        virtual bool willInstallUpdateOnQuit(const AppcastItem& item) = 0;
        virtual void userDidMakeChoice(UpdateChoice choice, const AppcastItem& item,
                                       const UpdateState& state) = 0;
        virtual void didAbortWithError(const UpdateError& error) = 0;
        virtual bool supportsGentleScheduledUpdateReminders() = 0;
        // For a scheduled check: false when the program shows its own reminder.
        virtual bool shouldHandleShowingScheduledUpdate(const AppcastItem& item, bool immediateFocus) = 0;
        // Told before an update is presented; `handleShowing` false when the engine shows nothing.
        virtual void willHandleShowingUpdate(bool handleShowing, const AppcastItem& item,
                                             const UpdateState& state) = 0;
    };

    // What the user sees of the engine's own presentation (dialogs in the program, a recorder
    // in tests).
    class UserDriver {
    public:
        virtual ~UserDriver() = default;
        virtual void showUpdateFound(const AppcastItem& item, const UpdateState& state,
                                     std::function<void(UpdateChoice)> reply) = 0;
        virtual void showUpToDate() = 0;
        virtual void showError(const UpdateError& error) = 0;
        // A user-requested download in progress; total is -1 when unknown.
        virtual void showDownloadProgress(qint64 received, qint64 total) = 0;
    };

    struct Setup {
        Scheduler* scheduler = nullptr;
        DefaultsStore* defaults = nullptr; // outlives the engine (the preferences' store)
        QString publicKey;                 // Base64 Ed25519 public key updates must be signed with
        QString currentVersion;
        UpdateInstaller::Location location;
        std::shared_ptr<UserDriver> driver;
        std::function<std::chrono::system_clock::time_point()> wallClock = std::chrono::system_clock::now;
        Seconds checkInterval{86400};
        std::chrono::milliseconds timeLimit{30000};
        std::chrono::milliseconds probeTimeLimit{10000};
        qint64 maxFeedBytes = 1 << 20;
        qint64 maxArchiveBytes = qint64(256) << 20;
        int maxRedirects = 5;
    };

    UpdateEngine(Setup setup, Delegate& delegate);
    ~UpdateEngine();

    // Starts the schedule of automatic checks and confirms a just-installed version.
    void start();
    bool isStarted() const { return started_; }

    bool canCheckForUpdates() const { return started_ && !checking_; }
    std::optional<std::chrono::system_clock::time_point> lastUpdateCheckDate() const;
    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool on);

    // A check the user asked for: its outcome is shown (up to date, failure, the update).
    // An update already staged is presented again without fetching.
    void checkForUpdates();
    // A scheduled check: quiet unless an update is found.
    void checkForUpdatesInBackground();

    // 0…1 while a download runs.
    std::optional<double> downloadProgress() const { return progress_; }

    // Installs the staged update, if any (at quit); restarts the program when the user chose
    // "install". True when something was installed.
    bool installPendingOnQuit();

    UpdateInstaller& installer() { return installer_; }

    // The two observable properties; each runs after the value changed.
    std::function<void()> onCanCheckForUpdatesChanged;
    std::function<void()> onLastUpdateCheckDateChanged;
    std::function<void()> onDownloadProgressChanged;
    // The user chose to install now: the program should quit (the update installs at quit).
    std::function<void()> onQuitToInstallRequested;

private:
    void beginCheck(bool userInitiated);
    void feedArrived(bool userInitiated, UpdateDownload::Result result);
    void archiveArrived(const AppcastItem& item, bool userInitiated, UpdateDownload::Result result);
    void present(const AppcastItem& item, UpdateState state);
    void choiceMade(UpdateChoice choice, const AppcastItem& item, const UpdateState& state);
    void abort(const UpdateError& error, bool userInitiated);
    void setChecking(bool checking);
    void setProgress(std::optional<double> progress);
    void recordCheckDate();
    void scheduleNextCheck();
    std::optional<AppcastItem> stagedItem() const;

    Setup setup_;
    Delegate& delegate_;
    UpdateInstaller installer_;
    QNetworkAccessManager network_;
    std::unique_ptr<UpdateDownload> transfer_;
    Scheduler::Handle nextCheck_;
    std::optional<double> progress_;
    std::optional<AppcastItem> stagedItem_;
    bool started_ = false;
    bool checking_ = false;
    bool restartAfterInstall_ = false;
};

} // namespace tolva
