// The launch sequence and the program's lifecycle.
#include "app/AppDelegate.h"

#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/Localization.h"
#include "TolvaCore/PinStore.h"
#include "TolvaCore/TimeOfDay.h"
#include "app/AppPanel.h"
#include "app/ControlService.h"
#include "app/LaunchAtLogin.h"
#include "app/LaunchChecks.h"
#include "lock/LockGuard.h"
#include "lock/QtBackgroundRunner.h"
#include "log/Log.h"
#include "overlay/ImageStore.h"
#include "platform/DisplayServer.h"
#include "platform/KeychainBackendChooser.h"
#include "platform/Permissions.h"
#include "platform/dbus/DesktopClockFormat.h"
#include "platform/dbus/FprintdTouchID.h"
#include "platform/dbus/LoginSession.h"
#include "platform/dbus/ReduceMotionSetting.h"
#include "platform/pam/PamLoginPasswordVerifier.h"
#include "ui/OnboardingView.h"
#include "ui/SettingsWindowController.h"
#include "ui/StatusMenuController.h"
#include "update/AppUpdater.h"
#include "update/UpdateDialogs.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <malloc.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#ifndef TOLVA_VERSION
#define TOLVA_VERSION "dev"
#endif

namespace tolva {

namespace {

int signalPipe[2] = {-1, -1};

void forwardSignal(int) {
    const char byte = 1;
    [[maybe_unused]] auto ignored = ::write(signalPipe[1], &byte, 1);
}

// A hot key backend for sessions where no program can have a shortcut: nothing is registered.
struct NoHotKeys : HotKeyBackend {
    std::int32_t registerHotKey(const HotKey&) override { return 1; }
    void unregisterHotKey() override {}
};

struct NoIdleTime : IdleTimeSource {
    double secondsSinceLastInput() override { return 0; }
};

// What the preferences file showed (moved aside, permissions fixed) goes to the log, and a file
// moved aside is told to the user once in the tray, since every setting went back to its default.
void reportPreferenceNotices(StatusMenuController* statusMenu) {
    for (const auto& notice : JsonFileDefaultsStore::standard()->takeNotices()) {
        Log::ui.error(notice.message);
        if (notice.kind != JsonFileDefaultsStore::Notice::Kind::movedAside || !statusMenu)
            continue;
        const auto aside = JsonFileDefaultsStore::standard()->movedAside();
        QSystemTrayIcon* tray = statusMenu->trayIcon();
        if (tray && tray->isVisible() && QSystemTrayIcon::supportsMessages())
            tray->showMessage(QString::fromStdString(L10n::Notice::PreferencesReset::title()),
                              QString::fromStdString(L10n::Notice::PreferencesReset::message(
                                  aside ? aside->filename().string() : std::string())),
                              QSystemTrayIcon::Warning);
    }
}

// A second start speaks to the terminal in one line of its own: its log lines go to the journal,
// or nowhere when none runs (unless TOLVA_LOG_STDERR=1 asks for them on standard error).
void quietTerminal() {
    const char* forced = std::getenv("TOLVA_LOG_STDERR");
    if ((forced && std::string_view(forced) == "1") || JournalLogSink::isReachable())
        return;
    struct Discard : LogSink {
        void write(const LogEntry&) override {}
    };
    Log::setSink(std::make_shared<Discard>());
}

QString instanceLockPath() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QString dir = runtime.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(runtime);
    return dir + QStringLiteral("/org.tolva.Screen-%1.lock").arg(::getuid());
}

} // namespace

AppDelegate::AppDelegate(Instance instance)
    : instanceLock_(std::move(instance.lock)), control_(std::move(instance.control)) {
    // The order of the services matters: preferences, the PIN, idle time, the hot key.
    prefs_ = std::make_shared<Preferences>(JsonFileDefaultsStore::standard());
    auto pins = std::make_shared<KeychainPinStore>(std::string(KeychainPinStore::applicationService),
                                                   std::string(KeychainPinStore::applicationAccount),
                                                   chooseKeychainBackend());
    authenticator_ = std::make_shared<Authenticator>(pins);
    authenticator_->reload();
    display_ = DisplayServer::forSession();
    session_ = std::make_shared<LoginSession>(QDBusConnection::systemBus(), QDBusConnection::sessionBus());
    std::shared_ptr<IdleTimeSource> idleTime = display_->idleTime();
    if (!idleTime)
        idleTime = std::make_shared<NoIdleTime>();
    idle_ = std::make_shared<IdleMonitor>(scheduler_, idleTime, session_);
    std::unique_ptr<HotKeyBackend> hotKeyBackend = display_->hotKeys();
    if (!hotKeyBackend)
        hotKeyBackend = std::make_unique<NoHotKeys>();
    hotKeys_ = std::make_unique<HotKeyManager>(std::move(hotKeyBackend));
}

AppDelegate::~AppDelegate() {
    AppPanel::openSettings = nullptr;
    AppPanel::quit = nullptr;
    settings_.reset();
    control_.reset();
    statusMenu_.reset();
    updateSettings_.reset();
    updater_.reset();
    controller_.reset();
}

std::optional<double> AppDelegate::lockInSeconds(const QStringList& arguments) {
    std::vector<std::string> list;
    for (const QString& argument : arguments)
        list.push_back(argument.toStdString());
    return LaunchChecks::parseLockIn(list).seconds; // a malformed value was refused before launch
}

AppDelegate::Instance AppDelegate::claimInstance(const QStringList& arguments) {
    Instance instance;
    const LaunchCommand command = LaunchCommand::parse(arguments);
    instance.control = std::make_unique<ControlService>(QDBusConnection::sessionBus());
    switch (instance.control->claim()) {
    case ControlService::Claim::owned:
        break;
    case ControlService::Claim::taken: {
        quietTerminal();
        const auto pid = instance.control->ownerPid();
        Log::ui.info("another instance running pid=" + (pid ? std::to_string(*pid) : std::string("nil")) +
                     "; exiting");
        instance.exitStatus =
            forwardToRunningInstance(QDBusConnection::sessionBus(), command, stdout, stderr);
        break;
    }
    case ControlService::Claim::noBus:
        // Without a session bus, a lock file of the user's runtime folder stands in.
        instance.lock = std::make_unique<QLockFile>(instanceLockPath());
        instance.lock->setStaleLockTime(0);
        if (!instance.lock->tryLock(0)) {
            quietTerminal();
            qint64 pid = 0;
            QString host, app;
            instance.lock->getLockInfo(&pid, &host, &app);
            Log::ui.info("another instance running pid=" + std::to_string(pid) + "; exiting");
            std::fprintf(stderr,
                         "tolva-screen: another instance runs (pid %lld) and without a session bus "
                         "it cannot be reached\n",
                         static_cast<long long>(pid));
            instance.exitStatus = command.kind == LaunchCommand::Kind::none ? 0 : 1;
        }
        break;
    }
    return instance;
}

std::optional<int> AppDelegate::launch(const QStringList& arguments) {
    // 1. One instance per desktop session: claimed before construction (claimInstance).
    const LaunchCommand command = LaunchCommand::parse(arguments);

    // 2. The interface language.
    Localization::configure(prefs_);
    qtTranslations_ = std::make_unique<QtTranslations>();
    // Times of day follow the desktop's 12- or 24-hour clock where it has such a setting.
    clockFormat_ = std::make_unique<DesktopClockFormat>(QDBusConnection::sessionBus());
    clockFormat_->onChanged = [](std::optional<TimeOfDay::HourCycle> cycle) {
        TimeOfDay::setDesktopHourCycle(cycle);
    };
    clockFormat_->follow();

    // 3. The lock controller over the display server's and the D-Bus services.
    displays_ = display_->displays();
    reduceMotion_ = std::make_unique<ReduceMotionSetting>(QDBusConnection::sessionBus());
    ReduceMotionSetting* reduce = reduceMotion_.get();
    LockController::Services services;
    services.scheduler = &scheduler_;
    services.prefs = prefs_;
    services.authenticator = authenticator_;
    services.idle = idle_;
    services.displaySleep = display_->displaySleep();
    std::shared_ptr<TouchIDUnlock> touchID = std::make_shared<FprintdTouchID>(QDBusConnection::systemBus());
    services.touchID = touchID;
    services.passwordVerifier =
        std::make_shared<PamLoginPasswordVerifier>(PamLoginPasswordVerifier::programOptions());
    services.background = std::make_shared<QtBackgroundRunner>();
    services.reduceMotion = [reduce] { return reduce->reduceMotion(); };
    DisplayServer::Context context;
    context.scheduler = &scheduler_;
    context.reduceMotion = services.reduceMotion;
    context.keyboardHolder = [this] { return std::weak_ptr<KeyboardHolder>(guard_); };
    context.capturing = [this] { return controller_ && controller_->tapActive(); };
    display_->provide(services, context);
    // The guard that covers for this program if it dies while locked, and the state it needs
    // to take the lock back when started again.
    auto lockState = std::make_shared<LockStateStore>(LockStateStore::standardFile());
    // A guard that starts this program again does so only after a death while locked, and says so.
    const char* guardLocked = std::getenv("TOLVA_GUARD_LOCKED");
    const bool guardSaysLocked = guardLocked && std::string_view(guardLocked) == "1";
    // An overlay whose program and guard were both ended still covers the screen, and asks for
    // the PIN of the program that takes it over.
    const bool coverLeftBehind = display_->coverLeftBehind();
    if (coverLeftBehind)
        Log::lock.error("an overlay left behind still covers the screen; the lock is taken back");
    ::unsetenv("TOLVA_GUARD_LOCKED"); // not for the helper processes this program starts
    const QString binaries = QCoreApplication::applicationDirPath();
    // On GNOME the extension keeps the cover and has the bus start this program again: no guard.
    if (const QString guard = display_->guardProgram(); !guard.isEmpty())
        guard_ =
            LockGuard::start(binaries + QLatin1Char('/') + guard, QCoreApplication::applicationFilePath());
    auto session = session_;
    services.systemScreenLocker = [session, scheduler = &scheduler_] { session->lockAndConfirm(*scheduler); };
    services.lockState = lockState;
    controller_ = std::make_unique<LockController>(std::move(services));
    controller_->refreshCapabilities();
    controller_->onStatusChanged = [this] { statusChanged(); };

    // System events.
    LockController* controller = controller_.get();
    session_->onScreenLocked = [controller] { controller->systemScreenLocked(); };
    session_->onWake = [controller] { controller->systemDidWake("didWake"); };
    session_->watch();
    reduce->onChanged = [controller](bool on) { controller->reduceMotionChanged(on); };
    reduce->follow();
    auto screensChanged = [this, controller] {
        controller->screensChanged();
        prepareOverlay(); // sized for the displays as they are now
    };
    // A display added or removed, and a display whose resolution or position changed.
    auto watchScreen = [screensChanged](QScreen* screen) {
        QObject::connect(screen, &QScreen::geometryChanged, screensChanged);
    };
    for (QScreen* screen : QGuiApplication::screens())
        watchScreen(screen);
    QObject::connect(qApp, &QGuiApplication::screenAdded, [screensChanged, watchScreen](QScreen* screen) {
        watchScreen(screen);
        screensChanged();
    });
    QObject::connect(qApp, &QGuiApplication::screenRemoved, screensChanged);
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged,
                     [controller](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive)
                             controller->becameActive();
                         else
                             controller->appDidResignActive();
                     });

    // A lock that a program before this one held when it ended is taken back before anything else.
    if (guard_) {
        guard_->onReleased = [controller] { controller->retryInputNow(); };
        display_->guardStarted(*guard_);
    }
    // A damaged or missing state while the guard says locked takes the lock back too: a crash
    // never turns into an unlock. (A program that keeps ending meanwhile is the guard's to
    // restart more slowly; the lock stays.)
    if (auto state =
            lockState->lockToResume(guardSaysLocked || coverLeftBehind || (guard_ && guard_->adopted()))) {
        resuming_ = true;
        controller_->resume(*state);
        if (controller_->state() == LockState::unlocked)
            resuming_ = false; // refused: the guard may let go
    }
    statusChanged();

    // 4. The controller's callbacks and 5. the tray menu.
    SettingsEnvironment settings;
    settings.prefs = prefs_;
    settings.controller = controller;
    settings.authenticator = authenticator_;
    settings.scheduler = &scheduler_;
    settings.reduceMotion = [reduce] { return reduce->reduceMotion(); };
    settings.touchIDAvailable = [touchID] { return touchID->isAvailable(); };
    settings.screenCaptureAllowed = Permissions::isScreenCaptureAllowed;
    settings.executable = QCoreApplication::applicationFilePath().toStdString();
    settings.onHotKeyRecording = [this](bool recording) {
        // The registered shortcut would take the chord before the window sees it.
        recordingHotKey_ = recording;
        hotKeys_->registerHotKey(recording ? std::nullopt : prefs_->lockHotKey());
    };
    settings.hotKeyCheck = [this](const HotKey& hotKey) -> std::optional<std::string> {
        if (hotKeys_->registerHotKey(hotKey) || !hotKeys_->refusal())
            return std::nullopt;
        return HotKeyRecorderView::refusalText(*hotKeys_->refusal(), true);
    };
    settings.hotKeyRefusal = [this] { return hotKeys_->refusal(); };
    if (display_->compositorBindsShortcut()) {
        // Any chord will do: the user binds it in the compositor, and nothing refuses it here.
        settings.hotKeyCheck = [](const HotKey&) { return std::optional<std::string>(); };
        settings.hotKeyRefusal = [] { return std::optional<HotKeyRefusal>(); };
        DisplayServer* display = display_.get();
        settings.compositorBinding = [display](const std::optional<HotKey>& hotKey) {
            return display->compositorBindingLine(hotKey);
        };
    }
    settings_ = std::make_unique<SettingsWindowController>(std::move(settings), displays_);
    onboarding_ = std::make_unique<OnboardingWindowController>(scheduler_);
    onboarding_->onOpenSettings = [this](SettingsTab tab) { settings_->show(std::nullopt, tab); };
    controller_->onWillLock = [this] {
        if (settings_)
            settings_->close();
        if (onboarding_)
            onboarding_->close();
        // An open menu of ours holds the keyboard and the pointer: close it so the lock gets them.
        while (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    };
    // While locked the keyboard grab tells whether another program holds the keyboard; unlocked,
    // the menu asks when it opens (a probe every few seconds would disturb the focused program).
    statusMenu_ = std::make_unique<StatusMenuController>(
        *controller_, prefs_, idle_, [controller] { return controller->secureInputActive(); });
    controller_->onDidUnlock = [this] {
        statusMenu_->refresh();
        control_->stateChanged();
        // The next lock's windows, once this one's are gone.
        prepareTask_ = scheduler_.schedule(Seconds(0.1), [this] {
            prepareOverlay();
            ::malloc_trim(0); // what the lock used goes back to the system
        });
    };
    statusMenu_->onQuit = [this] { requestQuit(); };
    // The application menu's keys in the program's windows.
    AppPanel::openSettings = [this] { openSettings(std::nullopt); };
    AppPanel::quit = [this] { requestQuit(); };
    statusMenu_->keychainWarning = [this]() -> std::optional<std::string> {
        if (!authenticator_->isKeychainLocked())
            return std::nullopt;
        return L10n::Menu::Warning::keyringLocked();
    };
    statusMenu_->onOpenSettings = [this](std::optional<SettingsTab> tab) { openSettings(tab); };
    statusMenu_->hotKeyRefusal = [this] {
        return display_->compositorBindsShortcut() ? std::nullopt : hotKeys_->refusal();
    };
    hotKeys_->onRefusalChanged = [this] {
        if (statusMenu_)
            statusMenu_->refresh();
    };
    control_->onShowSettings = [this] {
        if (controller_->state() == LockState::unlocked)
            openSettings(std::nullopt);
    };
    control_->isLocked = [controller] { return controller->state() != LockState::unlocked; };
    control_->onLock = [controller]() -> std::optional<std::string> {
        controller->lock("dbus");
        if (controller->state() == LockState::unlocked)
            return controller->lockBlockedReason().value_or("refused");
        return std::nullopt;
    };
    timedLock_ = std::make_unique<TimedLock>(
        scheduler_, [controller](const std::string& reason) { controller->lock(reason); });
    control_->onLockIn = [this, controller](double seconds) -> std::optional<std::string> {
        controller->refreshCapabilities();
        if (!controller->canLock())
            return controller->lockBlockedReason().value_or("refused");
        timedLock_->schedule(seconds, "dbus");
        return std::nullopt;
    };
    // A pending timed lock shows in the tray menu, which can call it off.
    statusMenu_->pendingLock = [this] { return timedLock_->pendingAt(); };
    statusMenu_->onCancelPendingLock = [this] { timedLock_->cancel(); };
    reportPreferenceNotices(statusMenu_.get());
    // 6. Updates.
    startUpdater();
    const bool trayAvailable = statusMenu_->isTrayAvailable();
    if (!trayAvailable)
        Log::ui.error("no system tray available; the window stays reachable with tolva-screen, the overlay "
                      "with the hot key, idle time or tolva-screen --lock");

    // 7. The global shortcut, following the preference.
    hotKeys_->onPressed = [this, controller] {
        reloadPinIfKeyringWasLocked();
        controller->lock("hotkey");
    };
    hotKeys_->registerHotKey(prefs_->lockHotKey());
    hotKeyObservation_ = prefs_->observe(Preferences::Property::lockHotKey, [this] {
        if (!recordingHotKey_)
            hotKeys_->registerHotKey(prefs_->lockHotKey());
    });
    // The picture a lock shows is on the server before any lock needs it.
    for (auto property :
         {Preferences::Property::overlayImageFileName, Preferences::Property::overlayContentMode})
        imageObservations_.push_back(prefs_->observe(property, [this] { prepareOverlay(); }));
    prepareOverlay();
    // A new idle time is armed at once, not at the next periodic refresh.
    idleObservation_ = prefs_->observe(Preferences::Property::idleTimeoutSeconds,
                                       [controller] { controller->refreshCapabilities(); });

    // 8. The launch line. Whether another program holds the keyboard is looked at once here
    // (unlocked, nothing else asks until the menu opens).
    controller_->refreshSecureInput();
    Log::ui.info("launched pid=" + std::to_string(::getpid()) + " version=" + TOLVA_VERSION +
                 " ax=" + (Permissions::isAccessibilityTrusted() ? "true" : "false") +
                 " pin=" + (authenticator_->isPINConfigured() ? "true" : "false") +
                 " screens=" + std::to_string(QGuiApplication::screens().size()) +
                 " secureInput=" + (controller_->secureInputActive() ? "true" : "false"));

    // 9. The set-up window when something is missing: set-up never finished, no PIN, or no
    // keyboard blocking on this desktop session.
    const bool setUpNeeded = !(prefs_->hasCompletedOnboarding() && controller_->accessibilityGranted() &&
                               controller_->pinConfigured());
    if (setUpNeeded)
        onboarding_->show(prefs_, *controller_, authenticator_);
    // Without a tray the window is the way in, and says how to turn the overlay on. A panel
    // started at the same login may come up a moment later, so the window waits for it a few
    // seconds; a start that only turns the overlay on leaves the screen alone.
    if (!trayAvailable && command.kind == LaunchCommand::Kind::none)
        noTrayTask_ = scheduler_.schedule(Seconds(5), [this, setUpNeeded] {
            if (statusMenu_->isTrayAvailable() || controller_->state() != LockState::unlocked)
                return;
            Log::ui.info("no system tray after 5s; showing the window");
            settings_->setNote([this]() -> std::string {
                if (statusMenu_->isTrayAvailable())
                    return {};
                const QString shortcut = hotKeyText(prefs_->lockHotKey());
                return shortcut.isEmpty() ? L10n::Onboarding::NoTray::withoutShortcut()
                                          : L10n::Onboarding::NoTray::withShortcut(shortcut.toStdString());
            });
            if (setUpNeeded) {
                onboarding_->show(prefs_, *controller_, authenticator_);
                onboarding_->showWithoutTray(hotKeyText(prefs_->lockHotKey()));
            } else {
                openSettings(std::nullopt);
            }
        });

    // 10. Capabilities looked at again for the life of the process. What the user changes here
    // (the PIN, the idle time, the settings) refreshes them at once; this catches the rest, every
    // 3 seconds while a locked keyring may be unlocked any moment, else every 30.
    scheduleRefresh();

    // 11. "--lock-in SECONDS".
    if (auto seconds = lockInSeconds(arguments)) {
        Log::ui.info("will lock in " + LaunchChecks::secondsText(*seconds) + "s (launch argument)");
        timedLock_->schedule(*seconds, "launch argument");
    } else if (command.kind == LaunchCommand::Kind::lock) {
        // "--lock": on at once; a refusal is said where the command was typed.
        controller_->lock("launch argument");
        if (controller_->state() == LockState::unlocked)
            std::fprintf(stderr, "tolva-screen: the overlay was not turned on: %s\n",
                         controller_->lockBlockedReason().value_or("refused").c_str());
    }
    // An autostart entry of an earlier version (without TryExec) is brought up to date.
    LaunchAtLogin::refresh(QCoreApplication::applicationFilePath().toStdString());
    watchSignals();
    return std::nullopt;
}

void AppDelegate::statusChanged() {
    if (statusMenu_)
        statusMenu_->refresh();
    if (control_)
        control_->stateChanged();
    // The guard hears "locked" once the overlay is up, and "unlocked" once it is gone; while
    // the overlay is being built it keeps what it knew (a guard covering for a program that
    // ended must not let go before this one's windows are up).
    const LockState state = controller_->state();
    if (resuming_ && (state == LockState::unlocked || state == LockState::locking))
        return; // still taking the lock back
    resuming_ = false;
    if (guard_ && state != LockState::locking) {
        if (state != LockState::unlocked)
            display_->beforeGuardHearsLocked(*guard_);
        guard_->setLocked(state != LockState::unlocked);
    }
}

void AppDelegate::prepareOverlay() {
    if (controller_ && controller_->state() == LockState::unlocked)
        display_->prepareWindows(prefs_->overlayContentMode() == OverlayContentMode::liveTint);
    if (const auto name = prefs_->overlayImageFileName();
        name && prefs_->overlayContentMode() == OverlayContentMode::image)
        display_->prepareImage(*name);
}

void AppDelegate::scheduleRefresh() {
    const double every = authenticator_->isKeychainLocked() ? 3 : 30;
    refreshTask_ = scheduler_.schedule(Seconds(every), [this] {
        reloadPinIfKeyringWasLocked();
        controller_->refreshCapabilities();
        reportPreferenceNotices(statusMenu_.get());
        scheduleRefresh();
    });
}

void AppDelegate::reloadPinIfKeyringWasLocked() {
    // The PIN was found in a locked keyring at start-up (nobody was asked to unlock it): look
    // again, without a prompt, until the user has unlocked it.
    if (!authenticator_->isKeychainLocked())
        return;
    authenticator_->reload();
    if (authenticator_->isPINConfigured()) {
        Log::auth.info("keyring unlocked; PIN record loaded");
        if (controller_)
            controller_->refreshCapabilities();
        if (statusMenu_)
            statusMenu_->refresh();
    }
}

void AppDelegate::openSettings(std::optional<SettingsTab> tab) {
    // "Settings…", a second start and D-Bus open the settings, set-up finished or not (the set-up
    // window comes at launch), on the display under the pointer; never over the overlay.
    if (!controller_ || controller_->state() != LockState::unlocked || !settings_)
        return;
    std::optional<std::uint32_t> displayID;
    const QPoint pointer = QCursor::pos();
    for (const auto& display : displays_->displays())
        if (display.geometry.contains(pointer))
            displayID = display.id;
    settings_->show(displayID, tab);
}

QString AppDelegate::hotKeyText(const std::optional<HotKey>& hotKey) {
    return hotKey ? StatusMenuController::keySequence(*hotKey).toString(QKeySequence::NativeText) : QString();
}

void AppDelegate::requestQuit() {
    if (controller_ && controller_->state() != LockState::unlocked) {
        Log::lock.error("terminate request blocked while locked");
        return;
    }
    if (guard_)
        guard_->quit();
    QCoreApplication::quit();
}

void AppDelegate::startUpdater() {
    AppUpdater::Configuration configuration{AppUpdater::defaultFeedBase(), AppUpdater::runningMajor(), true};
    UpdateEngine::Setup setup;
    setup.scheduler = &scheduler_;
    setup.defaults = &prefs_->defaults();
    setup.publicKey = QString::fromStdString(AppUpdater::defaultPublicKey());
    setup.currentVersion = QString::fromStdString(AppUpdater::runningVersion());
    setup.location = UpdateInstaller::ofRunningProgram();
    setup.driver = std::make_shared<UpdateDialogs>();
    updater_ = std::make_shared<AppUpdater>(configuration, std::move(setup));
    updater_->onChange = [this] {
        if (statusMenu_)
            statusMenu_->refresh();
    };
    // "Install and Restart": quit (refused while the overlay is up); the update installs at quit.
    updater_->controller()->onQuitToInstallRequested = [this] { requestQuit(); };
    AppUpdater* updater = updater_.get();
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, updater, [updater] { updater->installOnQuit(); });
    statusMenu_->setUpdater(updater_);
    statusMenu_->refresh();
    updateSettings_ = std::make_unique<UpdateSettings>(*updater_);
    // The About tab's Updates group.
    UpdateSettings* updates = updateSettings_.get();
    auto controls = std::make_shared<UpdateControls>();
    controls->automaticallyChecks = [updates] { return updates->automaticallyChecks(); };
    controls->setAutomaticallyChecks = [updates](bool on) { updates->setAutomaticallyChecks(on); };
    controls->canCheckForUpdates = [updates] { return updates->canCheck(); };
    controls->checkForUpdates = [updates] { updates->check(); };
    controls->lastCheckedLine = [updates]() -> std::optional<std::string> {
        const std::string line = updates->lastCheckedText();
        return line.empty() ? std::nullopt : std::optional<std::string>(line);
    };
    if (settings_) {
        settings_->setUpdateControls(controls);
        auto refresh = [this, controls] {
            if (settings_)
                settings_->setUpdateControls(controls);
        };
        QObject::connect(updates, &UpdateSettings::revisionChanged, updates, refresh);
        QObject::connect(updates, &UpdateSettings::automaticallyChecksChanged, updates, refresh);
    }
    Log::update.info("updater started");
}

void AppDelegate::watchSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    signalNotifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, [this] {
        char byte;
        [[maybe_unused]] auto ignored = ::read(signalPipe[0], &byte, 1);
        requestQuit();
    });
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Every signal whose default is to end the process is a quit request instead, refused while
    // locked. (SIGKILL and a crash cannot be refused: the guard process covers those.)
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                       SIGXCPU, SIGXFSZ, SIGIO, SIGSTKFLT, SIGPWR})
        ::sigaction(number, &action, nullptr);
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number)
        ::sigaction(number, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN); // a peer gone away is an error to handle, not the end
}

} // namespace tolva
