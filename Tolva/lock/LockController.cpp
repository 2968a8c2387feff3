// Locking, unlocking, input while locked, verification, keep-awake, foreground and system events.
#include "lock/LockController.h"

#include "TolvaCore/Graphemes.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinPolicy.h"
#include "TolvaCore/SecretText.h"
#include "log/Log.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tolva {

namespace {

const char* boolText(bool value) {
    return value ? "true" : "false";
}

bool isPinShaped(std::string_view text) {
    const auto characters = graphemes(text);
    if (characters.size() < static_cast<std::size_t>(PinPolicy::minLength) ||
        characters.size() > static_cast<std::size_t>(PinPolicy::maxLength))
        return false;
    for (const auto& c : characters)
        if (!PinPolicy::isAsciiDigit(c))
            return false;
    return true;
}

} // namespace

LockController::LockController(Services services)
    : services_(std::move(services)), scheduler_(*services_.scheduler), power_(services_.displaySleep) {
    lockedAt_ = now();
    if (!services_.systemScreenLocker)
        services_.systemScreenLocker = [] {};
    std::weak_ptr<bool> alive = alive_;
    services_.idle->onIdle = [this, alive](double idleSeconds) {
        if (alive.lock())
            lock("idle " + std::to_string(static_cast<long long>(idleSeconds)) + "s", std::nullopt, false,
                 std::nullopt, true);
    };
    services_.touchID->onAvailabilityChanged = [this, alive] {
        if (!alive.lock())
            return;
        // A reader that answers while the panel is up is offered at once.
        if (machine_.state == LockState::prompting)
            presentTouchID();
        if (onStatusChanged)
            onStatusChanged();
    };
    refreshCapabilities();
    services_.idle->start();
}

LockController::~LockController() {
    *alive_ = false;
    cancelLockTasks();
    if (tap_)
        tap_->stop();
    power_.release();
    services_.idle->onIdle = nullptr;
    services_.touchID->onAvailabilityChanged = nullptr;
    services_.touchID->dismiss();
}

bool LockController::passwordUnlockAvailable() const {
    return services_.prefs->allowLoginPasswordUnlock() && passwordServiceAvailable_;
}

std::optional<std::string> LockController::lockBlockedReason() const {
    if (canLock())
        return std::nullopt;
    if (auto reason = coverBlockedReason())
        return reason;
    if (!accessibilityGranted_ && needsReauthorization_)
        return L10n::Lock::Blocked::accessibilityRevoked();
    if (!accessibilityGranted_)
        return L10n::Lock::Blocked::accessibilityMissing();
    return L10n::Lock::Blocked::pinMissing();
}

std::optional<std::string> LockController::coverBlockedReason() const {
    if (accessibilityGranted_)
        return std::nullopt;
    if (services_.coverExtensionOff && services_.coverExtensionOff())
        return L10n::Lock::Blocked::shellExtensionOff();
    if (services_.coverUnavailable && services_.coverUnavailable())
        return L10n::Lock::Blocked::noCover();
    return std::nullopt;
}

std::optional<std::string> LockController::snapshotWarning() const {
    if (services_.prefs->overlayContentMode() == OverlayContentMode::snapshot &&
        !services_.screenCaptureAllowed())
        return L10n::Lock::Warning::screenRecording();
    return std::nullopt;
}

void LockController::publishState() {
    assign(state_, machine_.state);
}

void LockController::refreshCapabilities() {
    const bool trusted = services_.accessibilityTrusted();
    if (trusted && needsReauthorization_)
        needsReauthorization_ = false;
    assign(accessibilityGranted_, trusted);
    assign(pinConfigured_, services_.authenticator->isPINConfigured());
    assign(passwordServiceAvailable_, services_.passwordVerifier->isAvailable());
    const auto threshold = static_cast<double>(services_.prefs->idleTimeoutSeconds());
    if (threshold != services_.idle->threshold || canLock() != services_.idle->isArmed) {
        services_.idle->threshold = threshold;
        services_.idle->isArmed = canLock();
        services_.idle->recheck(); // it sleeps until the old threshold could be reached
    }
    if (onStatusChanged)
        onStatusChanged();
}

// MARK: locking

void LockController::lock(const std::string& reason, std::optional<std::int64_t> keepAwake, bool showAwayNote,
                          std::optional<bool> lockSystemOnExpiry, bool) {
    if (machine_.state != LockState::unlocked)
        return;
    refreshCapabilities();
    if (!canLock()) {
        Log::lock.error("lock refused (" + reason + "): " + lockBlockedReason().value_or("unknown"));
        return;
    }
    machine_.handle(LockEvent::lockRequested);
    publishState();
    const std::int64_t generation = ++lockGeneration_;
    entry_.reset();
    submitAfterCheck_ = false;
    promptMessage_.reset();
    isVerifying_ = false;
    lockedAt_ = now();
    keepAwakeSeconds_ = keepAwake.value_or(services_.prefs->keepAwakeSeconds());
    lockSystemAfterKeepAwake_ = lockSystemOnExpiry.value_or(services_.prefs->lockSystemOnExpiry());
    if (onWillLock)
        onWillLock();
    // (The tray and the bus hear of the lock once the overlay is up: nothing before it.)
    // Whether another program holds the keyboard right now: one probe, a round trip, so that the
    // line says what the lock is up against.
    assign(secureInputActive_, services_.secureInputEnabled());
    Log::lock.info("lock begin reason=" + reason +
                   " mode=" + std::string(services_.prefs->overlayContentMode().rawValue()) +
                   " frontmost=" + services_.foreground->frontmostName().value_or("nil") +
                   " secureInput=" + boolText(secureInputActive_) +
                   " screens=" + std::to_string(services_.windows->currentLayout().count()) +
                   " keepAwake=" + std::to_string(keepAwakeSeconds_) +
                   "s lockSystemOnExpiry=" + boolText(lockSystemAfterKeepAwake_));
    std::weak_ptr<bool> alive = alive_;
    services_.contentBuilder->make(*services_.prefs, showAwayNote, keepAwakeSeconds_,
                                   [this, alive, generation](OverlayContentBuilder::Result result) {
                                       if (!alive.lock())
                                           return;
                                       // The lock may have ended or been replaced meanwhile.
                                       if (machine_.state != LockState::locking ||
                                           lockGeneration_ != generation)
                                           return;
                                       performLock(std::move(result));
                                   });
}

void LockController::performLock(OverlayContentBuilder::Result result) {
    assign(snapshotFellBack_, result.snapshotFellBack);
    currentContent_ = std::move(result.content);
    // First what the lock is for: the keyboard and the pointer held (on the root window, so
    // before any window of ours exists), every display covered. Keys typed meanwhile wait in
    // the queue until the overlay is up. (Our windows never take the focus by being shown, so
    // who had it is still known after.)
    startTap();
    if (services_.makePointerGrab) {
        pointerGrab_ = services_.makePointerGrab();
        if (pointerGrab_) {
            std::weak_ptr<bool> alive = alive_;
            pointerGrab_->onStatusChanged = [this, alive] {
                if (!alive.lock() || machine_.state == LockState::unlocked)
                    return;
                watchInput();
                // While the windows are being built the lock reports itself once, when they are
                // up: the tray and the bus are not worth a delay of the cover.
                if (machine_.state != LockState::locking && onStatusChanged)
                    onStatusChanged();
            };
            pointerGrab_->start();
        }
    }
    services_.windows->build(*currentContent_);
    wireWindows();
    watchWindows();
    services_.foreground->rememberFrontmost();
    // The display-sleep assertion is a D-Bus round trip: it follows once the overlay is up.
    std::weak_ptr<bool> alive = alive_;
    powerTask_ = scheduler_.schedule(Seconds(0), [this, alive] {
        if (alive.lock() && machine_.state != LockState::unlocked)
            power_.start();
    });
    frontTaken_ = false;
    machine_.handle(LockEvent::overlayReady);
    publishState();
    // While our grab holds, nobody else can hold the keyboard.
    assign(secureInputActive_,
           tap_ ? !tapActive_ && tap_->keyboardHeldElsewhere() : services_.secureInputEnabled());
    refreshPanel();
    startLockMonitors();
    persist();
    if (onStatusChanged)
        onStatusChanged(); // the overlay is up
    // Readers come and go, fingers get enrolled: ask again now that the overlay is up.
    services_.touchID->refreshAvailability();
    // A wait earned in an earlier lock goes on counting down in this one.
    if (backoff_.isLockedOut(now()))
        startLockoutTicker();
    Log::lock.info(std::string("locked in background tap=") + boolText(tapActive_) +
                   " secureInput=" + boolText(secureInputActive_) +
                   " frontmost=" + services_.foreground->rememberedName().value_or("nil"));
    if (secureInputActive_)
        takeFront("secure input at lock");
    else if (!tapActive_)
        takeFront("tap unavailable at lock");
}

void LockController::wireWindows() {
    std::weak_ptr<bool> alive = alive_;
    for (const auto& window : services_.windows->windows()) {
        OverlayView* view = window->overlayView();
        view->onPointerInput = [this, alive](const std::string& source) {
            if (alive.lock())
                noteInput(source);
        };
        view->onKey = [this, alive](std::int64_t keyCode, std::uint64_t flags,
                                    const std::optional<std::string>& characters, const std::string& via) {
            if (alive.lock())
                handleWindowKey(keyCode, flags, characters, via);
        };
    }
}

void LockController::watchWindows() {
    std::weak_ptr<bool> alive = alive_;
    auto& windows = *services_.windows;
    windows.onFocusLost = [this, alive] {
        // Keys that arrive while the keyboard is not ours must land on the overlay.
        if (alive.lock() && machine_.state != LockState::unlocked && frontTaken_)
            bringPromptToFront();
    };
    windows.onDisplaysChanged = [this, alive] {
        if (alive.lock())
            screensChanged();
    };
    windows.onGrabReleased = [this, alive] {
        if (alive.lock())
            retryInputNow();
    };
    windows.onWindowLost = [this, alive] {
        if (!alive.lock() || machine_.state == LockState::unlocked || !currentContent_)
            return;
        rebuildWindows();
    };
}

void LockController::inputHoldChanged() {
    if (machine_.state == LockState::unlocked || !tap_)
        return;
    watchInput();
    const bool holding = tap_->isInstalled() && tap_->isEnabled();
    const bool elsewhere = !holding && tap_->keyboardHeldElsewhere();
    if (elsewhere != secureInputActive_) {
        secureInputActive_ = elsewhere;
        Log::input.info(std::string("secure input ") + (elsewhere ? "on" : "off"));
    }
    if (holding != tapActive_) {
        tapActive_ = holding;
        Log::input.error(std::string("tap ") + (holding ? "running" : "stopped"));
    }
    refreshPanel();
    if (!tapActive_)
        takeFront(secureInputActive_ ? "secure input" : "tap lost");
    if (onStatusChanged)
        onStatusChanged();
}

void LockController::persist() {
    if (!services_.lockState || machine_.state == LockState::unlocked)
        return;
    PersistedLock state;
    state.failures = backoff_.consecutiveFailures;
    state.lockedUntil = backoff_.lockedUntil;
    services_.lockState->save(state);
}

void LockController::resume(const PersistedLock& state) {
    backoff_.consecutiveFailures = std::clamp<std::int64_t>(state.failures, 0, LockStateStore::maxFailures);
    // A wait that is over stays over, and none runs longer than the backoff's own longest from
    // now, whatever end was written down.
    backoff_.lockedUntil.reset();
    const Instant current = now();
    if (state.lockedUntil && *state.lockedUntil > current)
        backoff_.lockedUntil =
            std::min(*state.lockedUntil, current + std::chrono::duration_cast<ContinuousClock::duration>(
                                                       Seconds(backoff_.policy.maxDelay)));
    Log::lock.info("lock resumed after restart failures=" + std::to_string(backoff_.consecutiveFailures));
    lock("resumed after restart");
    if (machine_.state == LockState::unlocked && services_.lockState)
        services_.lockState->remove(); // refused (no PIN): nothing left to resume
}

void LockController::retryInputNow() {
    if (machine_.state == LockState::unlocked)
        return;
    if (tap_ && !tapActive_)
        tap_->retryNow();
    if (pointerGrab_ && !pointerGrab_->isHeld())
        pointerGrab_->retryNow();
}

void LockController::refreshSecureInput() {
    if (machine_.state != LockState::unlocked)
        return; // the tap keeps it current while locked
    assign(secureInputActive_, services_.secureInputEnabled());
}

void LockController::retireTap() {
    if (!tap_)
        return;
    tap_->stop();
    retiredTap_ = std::move(tap_);
    retiredTapRelease_ = scheduler_.schedule(Seconds(2), [this] { retiredTap_.reset(); });
}

void LockController::startTap() {
    retireTap();
    std::weak_ptr<bool> alive = alive_;
    tap_ = services_.makeTap(
        [this, alive](const KeyEvent& event) { return alive.lock() ? handleTapEvent(event) : false; },
        services_.windows->mainWindow());
    if (tap_)
        tap_->onStatusChanged = [this, alive] {
            if (alive.lock())
                inputHoldChanged();
        };
    assign(tapActive_, tap_ && tap_->start());
    if (!tapActive_)
        Log::input.error("tap unavailable; keyboard falls back to window keyDown path");
}

// MARK: unlocking

void LockController::unlock(const std::string& reason) {
    if (machine_.state == LockState::unlocked)
        return;
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now() - lockedAt_).count();
    machine_.handle(LockEvent::unlockGranted);
    publishState();
    // The overlay goes first; the bookkeeping follows.
    services_.windows->tearDown();
    promptWindow_ = nullptr;
    cancelLockTasks();
    powerTask_.cancel();
    retireTap();
    if (pointerGrab_) {
        pointerGrab_->stop();
        pointerGrab_.reset();
    }
    assign(tapActive_, false);
    if (services_.foreground->isKiosk())
        services_.foreground->setKiosk(false);
    // The windows are about to go: the focus goes back where it was before the lock took it.
    if (frontTaken_)
        services_.foreground->handBack();
    frontTaken_ = false;
    services_.foreground->forgetRemembered();
    power_.release();
    services_.touchID->dismiss();
    currentContent_.reset();
    entry_.reset();
    submitAfterCheck_ = false;
    promptMessage_.reset();
    isVerifying_ = false;
    lastModel_.reset();
    Log::lock.info("unlocked reason=" + reason + " after " + std::to_string(elapsed) + "s");
    if (services_.lockState)
        services_.lockState->remove();
    assign(secureInputActive_, false); // what the lock saw; the status menu asks again when opened
    if (!services_.accessibilityTrusted()) {
        needsReauthorization_ = true;
        Log::perms.error("accessibility revoked during lock; auto-lock disabled until re-granted");
    }
    refreshCapabilities();
    if (onDidUnlock)
        onDidUnlock();
}

// MARK: input while locked

bool LockController::handleTapEvent(const KeyEvent& event) {
    if (machine_.state == LockState::unlocked)
        return false;
    if (event.type != KeyEvent::Type::keyDown)
        return true;
    processKey(event.keyCode, event.flags, event.characters, "tap");
    return true;
}

void LockController::handleWindowKey(std::int64_t keyCode, std::uint64_t flags,
                                     const std::optional<std::string>& characters, const std::string& via) {
    if (machine_.state == LockState::unlocked)
        return;
    processKey(keyCode, flags, characters, via);
}

void LockController::processKey(std::int64_t keyCode, std::uint64_t flags,
                                const std::optional<std::string>& characters, const std::string& via) {
    const PinKey key = PinKeyRouter::classify(keyCode, KeyModifiers::fromEventFlags(flags), characters);
    if (key.kind == PinKey::Kind::escapeHatch) {
        Log::input.debug("escape hatch ignored in release build");
        return;
    }
    noteInput("key:" + via);
    if (machine_.state == LockState::prompting)
        applyKey(key, via);
}

void LockController::noteInput(const std::string& source) {
    if (machine_.state == LockState::unlocked)
        return;
    takeFront("input " + source);
    const auto effects = machine_.handle(LockEvent::inputReceived);
    publishState();
    for (auto effect : effects)
        if (effect == LockEffect::showPrompt)
            showPrompt();
}

void LockController::showPrompt() {
    OverlayWindow* target = services_.windows->window(services_.pointerLocation());
    if (!target)
        target = services_.windows->mainWindow();
    if (target && target == promptWindow_) {
        target->overlayView()->showPanel();
    } else if (target || promptWindow_) {
        services_.touchID->dismiss();
        if (promptWindow_)
            promptWindow_->overlayView()->hidePanel(true);
        promptWindow_ = target;
        if (target)
            target->overlayView()->showPanel();
    }
    OverlayWindow* shown = promptWindow_ ? promptWindow_ : services_.windows->mainWindow();
    if (shown && frontTaken_)
        services_.foreground->bringToFront(shown);
    refreshPanel();
    restartPromptTimer();
    if (target)
        presentTouchID();
}

void LockController::presentTouchID() {
    // The fingerprint is checked alongside the typed entry: the PIN keeps working meanwhile.
    if (!promptWindow_ || !services_.prefs->touchIDEnabled() || services_.touchID->isPresented() ||
        !services_.touchID->isAvailable())
        return;
    std::weak_ptr<bool> alive = alive_;
    services_.touchID->present(promptWindow_->overlayView()->panel(), [this, alive] {
        if (!alive.lock() || machine_.state == LockState::unlocked)
            return;
        backoff_.recordSuccess();
        unlock("Touch ID");
    });
}

void LockController::restartPromptTimer() {
    std::weak_ptr<bool> alive = alive_;
    promptHideTask_ = scheduler_.schedule(Seconds(Preferences::promptTimeout), [this, alive] {
        if (alive.lock())
            promptTimedOut();
    });
}

void LockController::promptTimedOut() {
    const auto effects = machine_.handle(LockEvent::promptTimedOut);
    publishState();
    for (auto effect : effects) {
        if (effect != LockEffect::hidePrompt)
            continue;
        entry_.reset();
        submitAfterCheck_ = false;
        promptMessage_.reset();
        services_.touchID->dismiss();
        if (promptWindow_)
            promptWindow_->overlayView()->hidePanel(true);
        promptWindow_ = nullptr;
        Log::input.debug("prompt hidden after 5s idle");
        releaseFront("prompt timed out");
    }
}

void LockController::applyKey(const PinKey& key, const std::string& via) {
    if (isVerifying_) {
        keepForNextTry(key);
        return;
    }
    if (backoff_.isLockedOut(now())) {
        entry_.reset();
        refreshPanel();
        return;
    }
    if (key.kind != PinKey::Kind::ignore)
        promptMessage_.reset();
    const auto& record = services_.authenticator->record();
    auto outcome = entry_.apply(key, record ? std::optional<std::int64_t>(record->length) : std::nullopt);
    if (outcome.kind == PinEntry::Outcome::Kind::submitted) {
        // One copy for the check, wiped when the check is done; none left here.
        auto secret = std::make_shared<const SecretText>(outcome.submittedText);
        wipe(outcome.submittedText);
        verify(std::move(secret), via);
    } else {
        refreshPanel();
    }
}

void LockController::keepForNextTry(const PinKey& key) {
    // A check may take its time (a PAM module that waits on the network): what is typed
    // meanwhile fills the entry as the next try, and an Enter waits for the answer. Nothing
    // is submitted on its own until then.
    if (key.kind == PinKey::Kind::submit) {
        submitAfterCheck_ = !entry_.isEmpty();
        return;
    }
    if (entry_.apply(key, std::nullopt).kind == PinEntry::Outcome::Kind::changed) {
        submitAfterCheck_ = false;
        refreshPanel();
    }
}

void LockController::tryKeptEntry(const std::string& via) {
    const bool submit = std::exchange(submitAfterCheck_, false);
    if (backoff_.isLockedOut(now())) {
        // The wait the failure started swallows what was kept, as it swallows keys typed during it.
        if (!entry_.isEmpty()) {
            entry_.reset();
            refreshPanel();
        }
        return;
    }
    const auto& record = services_.authenticator->record();
    const bool pinComplete =
        record && entry_.isAllDigits() && static_cast<std::int64_t>(entry_.count()) == record->length;
    if (submit || pinComplete)
        applyKey(PinKey::submit(), via);
}

void LockController::verify(std::shared_ptr<const SecretText> secret, const std::string& via) {
    const bool pinShaped = isPinShaped(secret->view());
    const bool passwordAllowed = passwordUnlockAvailable();
    std::optional<PinRecord> record = services_.authenticator->record(); // a copy for the worker
    if (!pinShaped && !passwordAllowed) {
        recordFailure(via, L10n::Unlock::Error::pinDigitsOnly());
        return;
    }
    // A PIN-shaped text is a PIN whenever one is configured: a wrong one never goes on to the
    // login password. Otherwise anyone tapping digits would feed the account's own failure
    // counter (pam_faillock and the like lock the account, sudo and the login screen included).
    const bool tryPassword = passwordAllowed && !(pinShaped && record);
    const std::int64_t generation = lockGeneration_;
    isVerifying_ = true;
    auto method = std::make_shared<std::string>();
    auto verifier = services_.passwordVerifier;
    std::weak_ptr<bool> alive = alive_;
    services_.background->run(
        [secret, record, pinShaped, tryPassword, verifier, method] {
            if (pinShaped && record && PinHasher::verify(secret->view(), *record)) {
                *method = "PIN";
                return true;
            }
            if (tryPassword) {
                std::string password(secret->view()); // wiped by the verifier, and again here
                const bool accepted = verifier->verify(password);
                wipe(password);
                if (accepted) {
                    *method = "login password";
                    return true;
                }
            }
            return false;
        },
        [this, alive, generation, via, pinShaped, tryPassword, method](bool accepted) {
            if (!alive.lock())
                return;
            isVerifying_ = false;
            if (machine_.state == LockState::unlocked || lockGeneration_ != generation)
                return; // stale: the lock ended or was replaced meanwhile
            if (!accepted) {
                std::string message = !pinShaped    ? L10n::Unlock::Error::passwordWrong()
                                      : tryPassword ? L10n::Unlock::Error::pinOrPasswordWrong()
                                                    : L10n::Unlock::Error::pinWrong();
                recordFailure(via, message);
                tryKeptEntry(via);
                return;
            }
            backoff_.recordSuccess();
            Log::auth.info(*method + " accepted via " + via);
            unlock(*method + " via " + via);
        });
    // The key derivation is under way; the panel shows it meanwhile (unless it has already
    // answered).
    if (isVerifying_ && machine_.state != LockState::unlocked)
        refreshPanel();
}

void LockController::recordFailure(const std::string& via, const std::string& message) {
    const auto wait = backoff_.recordFailure(now());
    persist();
    Log::auth.info("auth rejected via " + via + " failures=" + std::to_string(backoff_.consecutiveFailures) +
                   " lockout=" + std::to_string(static_cast<long long>(wait.value_or(0))) + "s");
    if (!wait) {
        promptMessage_ = message;
        refreshPanel();
        return;
    }
    promptMessage_.reset();
    refreshPanel();
    startLockoutTicker();
}

void LockController::startLockoutTicker() {
    std::weak_ptr<bool> alive = alive_;
    lockoutTickTask_ = scheduler_.every(Seconds(1), [this, alive] {
        if (!alive.lock() || machine_.state == LockState::unlocked) {
            lockoutTickTask_.cancel();
            return;
        }
        refreshPanel();
        if (!backoff_.isLockedOut(now()))
            lockoutTickTask_.cancel();
    });
}

void LockController::refreshPanel() {
    UnlockPanelModel::Inputs in;
    in.typed = entry_.text();
    in.record = services_.authenticator->record();
    in.remainingWait = backoff_.remainingLockout(now());
    in.promptMessage = promptMessage_;
    in.verifying = isVerifying_;
    in.accessibilityGranted = accessibilityGranted_;
    in.secureInputActive = secureInputActive_;
    in.tapActive = tapActive_;
    in.allowLoginPassword = passwordUnlockAvailable();
    const UnlockPanelModel model = UnlockPanelModel::derive(in);
    lastModel_ = model;
    for (const auto& window : services_.windows->windows())
        window->overlayView()->panel()->update(model);
}

// MARK: keep-awake and lock monitors

void LockController::cancelLockTasks() {
    promptHideTask_.cancel();
    lockoutTickTask_.cancel();
    monitorTask_.cancel();
    keepAwakeTask_.cancel();
    releaseCheck_.cancel();
    screensSettled_.cancel();
}

void LockController::startLockMonitors() {
    cancelLockTasks();
    std::weak_ptr<bool> alive = alive_;
    monitorTickCount_ = 0;
    watchInput();
    keepAwakeTask_ = scheduler_.schedule(Seconds(static_cast<double>(keepAwakeSeconds_)), [this, alive] {
        if (alive.lock() && machine_.state != LockState::unlocked)
            keepAwakeExpired();
    });
}

void LockController::watchInput() {
    // A look every 2 seconds while the input is not all ours; once it is, the tap's and the
    // pointer grab's own reports say when that changes, and the lock sleeps.
    if (monitorTask_.isActive() || machine_.state == LockState::unlocked)
        return;
    std::weak_ptr<bool> alive = alive_;
    monitorTask_ = scheduler_.every(Seconds(2.0), [this, alive] {
        if (!alive.lock() || machine_.state == LockState::unlocked)
            return;
        monitorTick(monitorTickCount_++);
        const bool allOurs = tapActive_ && !secureInputActive_ && !frontTaken_ && accessibilityGranted_ &&
                             (!pointerGrab_ || pointerGrab_->isHeld());
        if (allOurs)
            monitorTask_.cancel();
    });
}

void LockController::keepAwakeExpired() {
    power_.release();
    if (lockSystemAfterKeepAwake_) {
        Log::lock.info("keep-awake expired after " + std::to_string(keepAwakeSeconds_) +
                       "s, locking system screen");
        services_.systemScreenLocker();
    } else {
        Log::lock.info("keep-awake expired after " + std::to_string(keepAwakeSeconds_) + "s, overlay stays");
    }
}

bool LockController::tapRunning() const {
    return tap_ && tap_->isInstalled() && tap_->isEnabled();
}

void LockController::monitorTick(int tick) {
    bool changed = false;
    if (pointerGrab_)
        pointerGrab_->retryNow(); // another part of the program may have let go of it
    const bool running = tapRunning();
    const bool secure = tap_ ? !running && tap_->keyboardHeldElsewhere() : services_.secureInputEnabled();
    if (secure != secureInputActive_) {
        secureInputActive_ = secure;
        Log::input.info(std::string("secure input ") + (secure ? "on" : "off"));
        changed = true;
    }
    const bool trusted = services_.accessibilityTrusted();
    if (trusted != accessibilityGranted_) {
        accessibilityGranted_ = trusted;
        Log::perms.error(std::string("accessibility ") + (trusted ? "granted" : "revoked") + " while locked");
        changed = true;
    }
    if (running != tapActive_) {
        tapActive_ = running;
        Log::input.error(std::string("tap ") + (running ? "running" : "stopped"));
        refreshPanel();
        changed = true;
    } else if (changed) {
        refreshPanel();
    }
    if (secureInputActive_)
        takeFront("secure input");
    else if (!tapActive_ || !accessibilityGranted_)
        takeFront("tap lost");
    else if (changed)
        releaseFront("tap usable again");
    if (frontTaken_) {
        if (services_.foreground->isActive()) {
            if (!services_.foreground->isKiosk())
                services_.foreground->setKiosk(true);
        } else if (tick % 3 == 0) {
            Log::lock.info("not active, re-activating");
            bringPromptToFront();
        }
    }
}

// MARK: foreground

void LockController::bringPromptToFront() {
    OverlayWindow* window = promptWindow_ ? promptWindow_ : services_.windows->mainWindow();
    if (window)
        services_.foreground->bringToFront(window);
}

void LockController::takeFront(const std::string& reason) {
    if (machine_.state == LockState::unlocked || frontTaken_)
        return;
    frontTaken_ = true;
    services_.foreground->rememberFrontmost();
    Log::lock.info("taking foreground: " + reason);
    bringPromptToFront();
    if (services_.foreground->isActive() && !services_.foreground->isKiosk())
        services_.foreground->setKiosk(true);
}

void LockController::releaseFront(const std::string& reason) {
    if ((machine_.state != LockState::locking && machine_.state != LockState::locked) || !frontTaken_)
        return;
    if (secureInputActive_ || !tapActive_ || !accessibilityGranted_) {
        Log::lock.info(std::string("staying in foreground: secureInput=") + boolText(secureInputActive_) +
                       " tap=" + boolText(tapActive_) + " ax=" + boolText(accessibilityGranted_));
        return;
    }
    frontTaken_ = false;
    if (services_.foreground->isKiosk())
        services_.foreground->setKiosk(false);
    const bool handed = services_.foreground->handBack();
    Log::lock.info("released foreground: " + reason + " to=" +
                   services_.foreground->rememberedName().value_or("nil") + " handed=" + boolText(handed));
    std::weak_ptr<bool> alive = alive_;
    releaseCheck_ = scheduler_.schedule(Seconds(0.5), [this, alive] {
        if (!alive.lock() || machine_.state == LockState::unlocked || frontTaken_ ||
            !services_.foreground->isActive())
            return;
        Log::lock.error("still active after release, taking foreground back");
        takeFront("release failed");
    });
}

// MARK: system events

void LockController::screensChanged() {
    if (machine_.state == LockState::unlocked)
        return;
    // Displays often change in several steps (one removed, another resized, one added): look
    // again once they have settled, whatever this step showed.
    std::weak_ptr<bool> alive = alive_;
    screensSettled_ = scheduler_.schedule(Seconds(0.5), [this, alive] {
        if (alive.lock())
            screensChangedNow();
    });
    screensChangedNow();
}

void LockController::screensChangedNow() {
    if (machine_.state == LockState::unlocked)
        return;
    if (services_.windows->currentLayout() == services_.windows->layout())
        return;
    Log::lock.info("displays changed while locked, rebuilding overlays");
    if (!currentContent_)
        return;
    rebuildWindows();
}

void LockController::rebuildWindows() {
    const bool wasPrompting = machine_.state == LockState::prompting;
    services_.touchID->dismiss();
    services_.windows->build(*currentContent_);
    wireWindows();
    watchWindows();
    promptWindow_ = nullptr;
    if (frontTaken_)
        bringPromptToFront();
    refreshPanel();
    if (wasPrompting)
        showPrompt();
}

void LockController::becameActive() {
    if (machine_.state == LockState::unlocked)
        return;
    takeFront("became active");
    if (services_.foreground->isActive() && !services_.foreground->isKiosk())
        services_.foreground->setKiosk(true);
    bringPromptToFront();
}

void LockController::appDidResignActive() {
    if (machine_.state == LockState::unlocked || !frontTaken_)
        return;
    Log::lock.error("app resigned active while locked, frontmost=" +
                    services_.foreground->frontmostName().value_or("nil"));
}

void LockController::systemDidWake(const std::string& source) {
    const bool locked = machine_.state != LockState::unlocked;
    Log::lock.info(source + " locked=" + boolText(locked));
    if (!locked)
        return;
    screensChanged();
    if (frontTaken_) {
        bringPromptToFront();
        if (services_.foreground->isActive() && !services_.foreground->isKiosk())
            services_.foreground->setKiosk(true);
    }
}

void LockController::reduceMotionChanged(bool reduceMotion) {
    if (machine_.state == LockState::unlocked)
        return;
    const auto animations = services_.prefs->effectiveAnimations(reduceMotion);
    Log::ui.info(std::string("reduce motion changed -> ") + boolText(reduceMotion) +
                 ", animations=" + quotedList(animations));
    const auto tuning = OverlayAnimationTuning::tuning(services_.prefs->animationStrength());
    for (const auto& window : services_.windows->windows())
        window->overlayView()->startAnimations(animations, tuning, 1.0);
}

void LockController::systemScreenLocked() {
    if (machine_.state != LockState::unlocked)
        unlock("system screen locked");
}

} // namespace tolva
