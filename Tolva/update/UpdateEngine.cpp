// Update checks, downloads, verification and the install at quit.
#include "update/UpdateEngine.h"

#include "TolvaCore/UpdateFeed.h"
#include "log/Log.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkProxyFactory>
#include <QProcess>

#include <cmath>
#include <unistd.h>

namespace tolva {

namespace {

using WallClock = std::chrono::system_clock;

std::optional<WallClock::time_point> storedTime(const DefaultsStore& defaults, std::string_view key) {
    auto value = defaults.object(key);
    if (!value)
        return std::nullopt;
    double seconds = 0;
    if (auto* real = std::get_if<double>(&*value))
        seconds = *real;
    else if (auto* integer = std::get_if<std::int64_t>(&*value))
        seconds = static_cast<double>(*integer);
    else
        return std::nullopt;
    if (!std::isfinite(seconds) || seconds <= 0)
        return std::nullopt;
    return WallClock::time_point(
        std::chrono::duration_cast<WallClock::duration>(std::chrono::duration<double>(seconds)));
}

// The system's proxy settings, except for loopback addresses, which never go through one
// (and need no proxy discovery, which can take seconds).
class UpdateProxyFactory : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
        const QHostAddress address(query.peerHostName());
        if (!address.isNull() && address.isLoopback())
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return systemProxyForQuery(query);
    }
};

double secondsSinceEpoch(WallClock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

} // namespace

UpdateEngine::UpdateEngine(Setup setup, Delegate& delegate)
    : setup_(std::move(setup)), delegate_(delegate), installer_(setup_.location, setup_.probeTimeLimit) {
    network_.setAutoDeleteReplies(false);
    network_.setProxyFactory(new UpdateProxyFactory); // the manager owns it
}

UpdateEngine::~UpdateEngine() = default;

void UpdateEngine::start() {
    if (started_)
        return;
    started_ = true;
    installer_.confirmLaunch(setup_.currentVersion);
    if (!storedTime(*setup_.defaults, firstStartTimeKey))
        setup_.defaults->setReal(firstStartTimeKey, secondsSinceEpoch(setup_.wallClock()));
    // An update staged by an earlier run is still waiting for a quit.
    stagedItem_ = stagedItem();
    if (stagedItem_)
        delegate_.willInstallUpdateOnQuit(*stagedItem_);
    else
        installer_.discardStaged();
    scheduleNextCheck();
}

std::optional<AppcastItem> UpdateEngine::stagedItem() const {
    const auto staged = installer_.staged();
    if (!staged ||
        UpdateVersion::compare(staged->version.toStdString(), setup_.currentVersion.toStdString()) <= 0)
        return std::nullopt;
    AppcastItem item;
    item.version = staged->version;
    item.displayVersion = staged->displayVersion;
    return item;
}

std::optional<std::chrono::system_clock::time_point> UpdateEngine::lastUpdateCheckDate() const {
    return storedTime(*setup_.defaults, lastCheckTimeKey);
}

bool UpdateEngine::automaticallyChecksForUpdates() const {
    // On unless the user turned it off.
    return !setup_.defaults->object(automaticallyChecksKey) ||
           setup_.defaults->boolean(automaticallyChecksKey);
}

void UpdateEngine::setAutomaticallyChecksForUpdates(bool on) {
    setup_.defaults->setBoolean(automaticallyChecksKey, on);
    scheduleNextCheck();
}

void UpdateEngine::scheduleNextCheck() {
    nextCheck_.cancel();
    if (!started_ || !automaticallyChecksForUpdates())
        return;
    // A day after the last check; the first one a day after the first start.
    auto from = storedTime(*setup_.defaults, lastAttemptTimeKey);
    if (!from)
        from = lastUpdateCheckDate();
    if (!from)
        from = storedTime(*setup_.defaults, firstStartTimeKey);
    Seconds delay = setup_.checkInterval;
    if (from) {
        const Seconds since = std::chrono::duration<double>(setup_.wallClock() - *from);
        // A clock set back makes `since` negative: wait one interval from now.
        if (since >= Seconds(0))
            delay = std::max(Seconds(0), setup_.checkInterval - since);
    }
    nextCheck_ = setup_.scheduler->schedule(delay, [this] { checkForUpdatesInBackground(); });
}

void UpdateEngine::checkForUpdates() {
    beginCheck(true);
}

void UpdateEngine::checkForUpdatesInBackground() {
    beginCheck(false);
    if (!checking_)
        scheduleNextCheck();
}

void UpdateEngine::setChecking(bool checking) {
    if (checking_ == checking)
        return;
    checking_ = checking;
    if (onCanCheckForUpdatesChanged)
        onCanCheckForUpdatesChanged();
}

void UpdateEngine::setProgress(std::optional<double> progress) {
    if (progress_ == progress)
        return;
    progress_ = progress;
    if (onDownloadProgressChanged)
        onDownloadProgressChanged();
}

void UpdateEngine::recordCheckDate() {
    setup_.defaults->setReal(lastCheckTimeKey, secondsSinceEpoch(setup_.wallClock()));
    if (onLastUpdateCheckDateChanged)
        onLastUpdateCheckDateChanged();
}

void UpdateEngine::beginCheck(bool userInitiated) {
    if (!canCheckForUpdates())
        return;
    if (userInitiated && stagedItem_) {
        present(*stagedItem_, {UpdateState::Stage::installing, true, false});
        return;
    }
    const QUrl url(QString::fromStdString(delegate_.feedURLString()), QUrl::StrictMode);
    setChecking(true);
    if (!UpdateDownload::isAllowedAddress(url)) {
        abort({UpdateError::Code::feedAddressRefused, QStringLiteral("the feed address is not HTTPS")},
              userInitiated);
        return;
    }
    UpdateDownload::Limits limits{setup_.timeLimit, setup_.maxFeedBytes, setup_.maxRedirects};
    transfer_ = std::make_unique<UpdateDownload>(
        network_, url, limits,
        UpdateDownload::Codes{UpdateError::Code::feedFailed, UpdateError::Code::feedTooLarge,
                              UpdateError::Code::feedTimedOut},
        nullptr, [this, userInitiated](UpdateDownload::Result result) {
            feedArrived(userInitiated, std::move(result));
        });
}

void UpdateEngine::abort(const UpdateError& error, bool userInitiated) {
    transfer_.reset();
    setProgress(std::nullopt);
    setChecking(false);
    delegate_.didAbortWithError(error);
    if (userInitiated && setup_.driver)
        setup_.driver->showError(error);
    scheduleNextCheck();
}

void UpdateEngine::feedArrived(bool userInitiated, UpdateDownload::Result result) {
    transfer_.reset();
    setup_.defaults->setReal(lastAttemptTimeKey, secondsSinceEpoch(setup_.wallClock()));
    if (result.error) {
        abort(*result.error, userInitiated);
        return;
    }
    auto parsed = Appcast::parse(result.data);
    if (!parsed.appcast) {
        Log::update.error("appcast rejected reason=" + parsed.error.toStdString());
        abort({UpdateError::Code::feedMalformed, parsed.error}, userInitiated);
        return;
    }
    // Only a check that got an answer counts as "Last checked".
    recordCheckDate();
    const auto item = parsed.appcast->newestAfter(setup_.currentVersion);
    const bool skipped =
        item && !userInitiated && setup_.defaults->string(skippedVersionKey) == item->version.toStdString();
    if (!item || skipped) {
        setChecking(false);
        if (userInitiated && setup_.driver)
            setup_.driver->showUpToDate();
        scheduleNextCheck();
        return;
    }
    if (!installer_.ownsFiles()) {
        setChecking(false);
        scheduleNextCheck();
        present(*item, {UpdateState::Stage::notDownloaded, userInitiated, true});
        return;
    }
    if (stagedItem_ && stagedItem_->version == item->version) {
        setChecking(false);
        scheduleNextCheck();
        present(*stagedItem_, {UpdateState::Stage::installing, userInitiated, false});
        return;
    }
    // Nothing unsigned is ever downloaded; a wrong signature is found after the download.
    if (item->edSignature.isEmpty()) {
        abort({UpdateError::Code::signatureMissing, QStringLiteral("the update is not signed")},
              userInitiated);
        return;
    }
    if (!UpdateDownload::isAllowedAddress(item->enclosureUrl)) {
        abort({UpdateError::Code::downloadAddressRefused, QStringLiteral("the archive address is not HTTPS")},
              userInitiated);
        return;
    }
    if (item->length > setup_.maxArchiveBytes) {
        abort({UpdateError::Code::downloadTooLarge, QStringLiteral("the archive is larger than the cap")},
              userInitiated);
        return;
    }
    // The announced length is the cap: anything longer is not the signed file.
    UpdateDownload::Limits limits{setup_.timeLimit, item->length, setup_.maxRedirects};
    setProgress(0.0);
    const AppcastItem found = *item;
    transfer_ = std::make_unique<UpdateDownload>(
        network_, item->enclosureUrl, limits,
        UpdateDownload::Codes{UpdateError::Code::downloadFailed, UpdateError::Code::downloadTooLarge,
                              UpdateError::Code::downloadTimedOut},
        [this, userInitiated, total = item->length](qint64 received, qint64) {
            setProgress(double(received) / double(total));
            if (userInitiated && setup_.driver)
                setup_.driver->showDownloadProgress(received, total);
        },
        [this, found, userInitiated](UpdateDownload::Result result) {
            archiveArrived(found, userInitiated, std::move(result));
        });
}

void UpdateEngine::archiveArrived(const AppcastItem& item, bool userInitiated,
                                  UpdateDownload::Result result) {
    transfer_.reset();
    setProgress(std::nullopt);
    if (result.error) {
        abort(*result.error, userInitiated);
        return;
    }
    if (result.data.size() != item.length) {
        abort({UpdateError::Code::downloadTruncated,
               QStringLiteral("received %1 of %2 bytes").arg(result.data.size()).arg(item.length)},
              userInitiated);
        return;
    }
    // Verified in memory: not one byte of an unverified archive reaches the disk.
    const Bytes bytes(result.data.begin(), result.data.end());
    if (!UpdateSignature::verify(setup_.publicKey.toStdString(), bytes, item.edSignature.toStdString())) {
        abort({UpdateError::Code::signatureInvalid, QStringLiteral("the signature does not match")},
              userInitiated);
        return;
    }
    if (auto error = installer_.stage(result.data, item.version, item.displayVersionString())) {
        abort(*error, userInitiated);
        return;
    }
    stagedItem_ = item;
    setChecking(false);
    scheduleNextCheck();
    delegate_.willInstallUpdateOnQuit(item);
    present(item, {UpdateState::Stage::installing, userInitiated, false});
}

void UpdateEngine::present(const AppcastItem& item, UpdateState state) {
    if (!state.userInitiated && delegate_.supportsGentleScheduledUpdateReminders() &&
        !delegate_.shouldHandleShowingScheduledUpdate(item, false)) {
        delegate_.willHandleShowingUpdate(false, item, state);
        return;
    }
    delegate_.willHandleShowingUpdate(true, item, state);
    if (!setup_.driver)
        return;
    setup_.driver->showUpdateFound(
        item, state, [this, item, state](UpdateChoice choice) { choiceMade(choice, item, state); });
}

void UpdateEngine::choiceMade(UpdateChoice choice, const AppcastItem& item, const UpdateState& state) {
    switch (choice) {
    case UpdateChoice::skip:
        setup_.defaults->setObject(skippedVersionKey, DefaultsValue(item.version.toStdString()));
        if (stagedItem_ && stagedItem_->version == item.version) {
            installer_.discardStaged();
            stagedItem_.reset();
        }
        break;
    case UpdateChoice::install:
        if (stagedItem_ && stagedItem_->version == item.version) {
            restartAfterInstall_ = true;
            if (onQuitToInstallRequested)
                onQuitToInstallRequested();
        }
        break;
    case UpdateChoice::dismiss:
        break;
    }
    delegate_.userDidMakeChoice(choice, item, state);
}

bool UpdateEngine::installPendingOnQuit() {
    transfer_.reset();
    if (!stagedItem_)
        return false;
    stagedItem_.reset();
    if (auto error = installer_.installStaged()) {
        delegate_.didAbortWithError(*error);
        return false;
    }
    if (restartAfterInstall_) {
        // The new program starts once this one has ended (one instance per user).
        const QString program =
            installer_.location().prefix + QLatin1Char('/') + installer_.location().executable;
        QProcess::startDetached(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"),
             QStringLiteral("while kill -0 \"$1\" 2>/dev/null; do sleep 0.2; done; exec \"$2\""),
             QStringLiteral("sh"), QString::number(::getpid()), program});
    }
    return true;
}

} // namespace tolva
