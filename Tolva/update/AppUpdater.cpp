// The updater's delegate answers, the waiting version and the About tab's model.
#include "update/AppUpdater.h"

#include "TolvaCore/L10n.h"
#include "TolvaCore/RelativeDate.h"
#include "TolvaCore/UpdateFeed.h"
#include "log/Log.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>

#ifndef TOLVA_VERSION
#define TOLVA_VERSION "0.0.0"
#endif
#ifndef TOLVA_UPDATE_FEED_BASE
#define TOLVA_UPDATE_FEED_BASE ""
#endif
#ifndef TOLVA_UPDATE_PUBLIC_KEY
#define TOLVA_UPDATE_PUBLIC_KEY ""
#endif

namespace tolva {

namespace {

void assertMainThread() {
    Q_ASSERT(QCoreApplication::instance() &&
             QThread::currentThread() == QCoreApplication::instance()->thread());
}

} // namespace

std::string AppUpdater::runningVersion() {
    return TOLVA_VERSION;
}

int AppUpdater::runningMajor() {
    return UpdateFeed::majorOf(TOLVA_VERSION);
}

std::string AppUpdater::defaultFeedBase() {
    return TOLVA_UPDATE_FEED_BASE;
}

std::string AppUpdater::defaultPublicKey() {
    return TOLVA_UPDATE_PUBLIC_KEY;
}

AppUpdater::AppUpdater(Configuration configuration, UpdateEngine::Setup setup)
    : configuration_(std::move(configuration)) {
    controller_ = std::make_unique<UpdateEngine>(std::move(setup), *this);
    if (configuration_.starts)
        controller_->start();
    installObservations();
}

AppUpdater::~AppUpdater() = default;

void AppUpdater::installObservations() {
    // Each change is told from a later turn of the main loop, and only while we still exist.
    QPointer<AppUpdater> self(this);
    auto observe = [self] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self] {
                if (self)
                    self->notifyChanged();
            },
            Qt::QueuedConnection);
    };
    controller_->onCanCheckForUpdatesChanged = observe;
    controller_->onLastUpdateCheckDateChanged = observe;
    controller_->onDownloadProgressChanged = observe;
}

void AppUpdater::notifyChanged() {
    if (onChange)
        onChange();
    emit changed();
}

bool AppUpdater::canCheckForUpdates() const {
    return configuration_.starts && controller_ && controller_->canCheckForUpdates();
}

void AppUpdater::checkForUpdates() {
    assertMainThread();
    if (!configuration_.starts || !controller_ || !controller_->canCheckForUpdates())
        return;
    Log::update.info("check requested by user");
    controller_->checkForUpdates();
}

bool AppUpdater::automaticallyChecks() const {
    return controller_ && controller_->automaticallyChecksForUpdates();
}

void AppUpdater::setAutomaticallyChecks(bool on) {
    assertMainThread();
    if (!controller_)
        return;
    controller_->setAutomaticallyChecksForUpdates(on);
    Log::update.info(on ? "automatic checks on" : "automatic checks off");
}

void AppUpdater::setAvailable(std::optional<std::string> version) {
    if (version == availableVersion_)
        return;
    availableVersion_ = std::move(version);
    Log::update.info(availableVersion_ ? "update available" : "update cleared");
    notifyChanged();
}

void AppUpdater::installOnQuit() {
    if (controller_ && configuration_.starts)
        controller_->installPendingOnQuit();
}

std::string AppUpdater::feedURLString() {
    assertMainThread();
    return UpdateFeed::urlString(configuration_.feedBase, configuration_.appMajor);
}

bool AppUpdater::willInstallUpdateOnQuit(const AppcastItem& item) {
    assertMainThread();
    setAvailable(item.displayVersionString().toStdString());
    return false;
}

void AppUpdater::userDidMakeChoice(UpdateChoice choice, const AppcastItem&, const UpdateState&) {
    assertMainThread();
    if (choice == UpdateChoice::skip)
        setAvailable(std::nullopt);
}

void AppUpdater::didAbortWithError(const UpdateError& error) {
    assertMainThread();
    Log::update.error(std::string("aborted domain=") + UpdateError::domain +
                      " code=" + std::to_string(error.numericCode()));
}

bool AppUpdater::shouldHandleShowingScheduledUpdate(const AppcastItem&, bool) {
    assertMainThread();
    // The tray menu's item is the reminder.
    return false;
}

void AppUpdater::willHandleShowingUpdate(bool handleShowing, const AppcastItem& item, const UpdateState&) {
    assertMainThread();
    if (!handleShowing)
        setAvailable(item.displayVersionString().toStdString());
}

UpdateSettings::UpdateSettings(AppUpdater& updater)
    : updater_(updater), automaticallyChecks_(updater.controller() ? updater.automaticallyChecks() : false) {
    QObject::connect(&updater_, &AppUpdater::changed, this, [this] { emit revisionChanged(++revision_); });
}

std::optional<std::chrono::system_clock::time_point> UpdateSettings::lastCheckDate() const {
    if (!updater_.controller())
        return std::nullopt;
    return updater_.controller()->lastUpdateCheckDate();
}

bool UpdateSettings::canCheck() const {
    return updater_.canCheckForUpdates();
}

void UpdateSettings::check() {
    updater_.checkForUpdates();
}

void UpdateSettings::setAutomaticallyChecks(bool on) {
    updater_.setAutomaticallyChecks(on);
    if (automaticallyChecks_ != on) {
        automaticallyChecks_ = on;
        emit automaticallyChecksChanged(on);
    }
}

std::string UpdateSettings::lastCheckedText(std::chrono::system_clock::time_point now) const {
    const auto date = lastCheckDate();
    if (!date)
        return {};
    return L10n::About::Update::lastChecked(relativeDateText(*date, now));
}

std::optional<double> UpdateSettings::downloadProgress() const {
    return updater_.controller() ? updater_.controller()->downloadProgress() : std::nullopt;
}

} // namespace tolva
