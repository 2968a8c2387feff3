// fprintd calls, the fingerprint control's life in the panel, and the token rule.
#include "platform/dbus/FprintdTouchID.h"

#include "log/Log.h"
#include "unlock/FingerprintControl.h"
#include "unlock/UnlockPanel.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>

namespace tolva {

namespace {

const QString service = QStringLiteral("net.reactivated.Fprint");
const QString managerPath = QStringLiteral("/net/reactivated/Fprint/Manager");
const QString managerInterface = QStringLiteral("net.reactivated.Fprint.Manager");
const QString deviceInterface = QStringLiteral("net.reactivated.Fprint.Device");

QDBusMessage methodCall(const QString& path, const QString& interface, const QString& method,
                        const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return message;
}

void callAsync(QDBusConnection& bus, QObject* context, const QDBusMessage& message,
               std::function<void(const QDBusMessage&)> done) {
    auto* watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(message, FprintdTouchID::callTimeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, done = std::move(done)](QDBusPendingCallWatcher*) {
                         watcher->deleteLater();
                         done(watcher->reply());
                     });
}

bool isError(const QDBusMessage& reply) {
    return reply.type() != QDBusMessage::ReplyMessage;
}

// The error's own words: fprintd's messages are short English sentences.
std::string errorText(const QDBusMessage& reply) {
    const QString text = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return text.isEmpty() ? std::string("unknown") : text.toStdString();
}

bool isServiceMissing(const QDBusMessage& reply) {
    switch (QDBusError(reply).type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return true;
    default:
        return reply.errorName().startsWith(QStringLiteral("org.freedesktop.DBus.Error.Spawn"));
    }
}

// Results that keep the verification going: the user just tries again.
bool isRetry(const QString& result) {
    return result == QLatin1String("verify-retry-scan") ||
           result == QLatin1String("verify-swipe-too-short") ||
           result == QLatin1String("verify-finger-not-centered") ||
           result == QLatin1String("verify-remove-and-retry");
}

std::string endedText(const QString& result) {
    if (result == QLatin1String("verify-disconnected"))
        return "the fingerprint reader was disconnected";
    if (result == QLatin1String("verify-unknown-error"))
        return "the fingerprint reader reported an unknown error";
    return "unexpected result " + result.toStdString();
}

} // namespace

struct FprintdTouchID::Session {
    std::uint64_t token = 0;
    QString device;
    std::function<void()> onSuccess;
    bool pending = false;   // a Claim, VerifyStart or restart is on its way
    bool claimed = false;   // the reader is ours
    bool verifying = false; // VerifyStart succeeded and no VerifyStop was sent since
    bool closed = false;    // dismissed or ended: replies only give the reader back
};

FprintdTouchID::FprintdTouchID(QDBusConnection systemBus) : bus_(std::move(systemBus)) {
    refreshAvailability();
}

FprintdTouchID::~FprintdTouchID() {
    if (session_ && session_->claimed) {
        // No replies can be awaited any more: both in order, without waiting. fprintd also gives
        // a reader back by itself when its claimer leaves the bus.
        if (session_->verifying)
            bus_.send(methodCall(session_->device, deviceInterface, QStringLiteral("VerifyStop")));
        bus_.send(methodCall(session_->device, deviceInterface, QStringLiteral("Release")));
    }
    if (session_)
        watchSignals(session_->device, false);
    session_.reset();
    removeControl();
}

bool FprintdTouchID::isVerifying() const {
    return session_ && session_->verifying && !session_->closed;
}

void FprintdTouchID::setAvailability(Availability next) {
    if (next == availability_)
        return;
    availability_ = std::move(next);
    Log::auth.info("fingerprint availability: " + availability_.logText());
    if (onAvailabilityChanged)
        onAvailabilityChanged();
}

void FprintdTouchID::refreshAvailability() {
    const std::uint64_t generation = ++refreshGeneration_;
    if (!bus_.isConnected()) {
        device_.clear();
        setAvailability({Availability::Reason::noService, "no system bus"});
        return;
    }
    callAsync(bus_, this, methodCall(managerPath, managerInterface, QStringLiteral("GetDefaultDevice")),
              [this, generation](const QDBusMessage& reply) {
                  if (generation != refreshGeneration_)
                      return; // a newer question is on its way
                  if (isError(reply)) {
                      device_.clear();
                      if (reply.errorName() == QLatin1String("net.reactivated.Fprint.Error.NoSuchDevice"))
                          setAvailability({Availability::Reason::noDevice, {}});
                      else if (isServiceMissing(reply))
                          setAvailability({Availability::Reason::noService, errorText(reply)});
                      else
                          setAvailability({Availability::Reason::failed, errorText(reply)});
                      return;
                  }
                  const QString device = reply.arguments().value(0).value<QDBusObjectPath>().path();
                  // An empty user name means the caller's own user.
                  callAsync(
                      bus_, this,
                      methodCall(device, deviceInterface, QStringLiteral("ListEnrolledFingers"), {QString()}),
                      [this, generation, device](const QDBusMessage& fingers) {
                          if (generation != refreshGeneration_)
                              return;
                          const bool none =
                              (isError(fingers) &&
                               fingers.errorName() ==
                                   QLatin1String("net.reactivated.Fprint.Error.NoEnrolledPrints")) ||
                              (!isError(fingers) && fingers.arguments().value(0).toStringList().isEmpty());
                          if (none) {
                              device_.clear();
                              setAvailability({Availability::Reason::noEnrolledFinger, {}});
                          } else if (isError(fingers)) {
                              device_.clear();
                              setAvailability({Availability::Reason::failed, errorText(fingers)});
                          } else {
                              device_ = device;
                              setAvailability({Availability::Reason::available, {}});
                          }
                      });
              });
}

void FprintdTouchID::present(UnlockPanel* panel, std::function<void()> onSuccess) {
    dismiss();
    if (!availability_.isAvailable() || device_.isEmpty()) {
        Log::auth.info("Touch ID unavailable: " + availability_.logText());
        return;
    }
    control_ = new FingerprintControl(panel);
    panel->setLockIconVisible(false);
    host_ = panel;
    auto session = std::make_shared<Session>();
    session->token = ++token_;
    session->device = device_;
    session->onSuccess = std::move(onSuccess);
    session->pending = true;
    session_ = session;
    Log::auth.info("Touch ID prompt shown");
    // A reader an older presentation still holds, claims or gives back is claimed once it is free.
    if (holders_ > 0)
        waitingClaim_ = session;
    else
        claim(session);
}

void FprintdTouchID::readerFreed() {
    --holders_;
    if (holders_ > 0 || !waitingClaim_)
        return;
    auto next = std::move(waitingClaim_);
    waitingClaim_.reset();
    if (!next->closed && next->token == token_)
        claim(next);
}

void FprintdTouchID::claim(const std::shared_ptr<Session>& session) {
    // An empty user name claims the reader for the caller's own user.
    ++holders_;
    callAsync(bus_, this, methodCall(session->device, deviceInterface, QStringLiteral("Claim"), {QString()}),
              [this, session](const QDBusMessage& reply) {
                  session->pending = false;
                  session->claimed = !isError(reply);
                  if (!session->claimed)
                      readerFreed();
                  if (session->closed || session->token != token_) {
                      close(session); // late: only give the reader back
                      return;
                  }
                  if (!session->claimed) {
                      end(errorText(reply));
                      return;
                  }
                  claimed(session);
              });
}

void FprintdTouchID::claimed(const std::shared_ptr<Session>& session) {
    watchSignals(session->device, true);
    startVerify(session);
}

void FprintdTouchID::startVerify(const std::shared_ptr<Session>& session) {
    session->pending = true;
    callAsync(
        bus_, this,
        methodCall(session->device, deviceInterface, QStringLiteral("VerifyStart"), {QStringLiteral("any")}),
        [this, session](const QDBusMessage& reply) {
            session->pending = false;
            session->verifying = !isError(reply);
            if (session->closed || session->token != token_) {
                close(session);
                return;
            }
            if (!session->verifying)
                end(errorText(reply));
        });
}

void FprintdTouchID::restartVerify(const std::shared_ptr<Session>& session) {
    // A finished verification must be stopped before the next one starts.
    session->pending = true;
    session->verifying = false;
    callAsync(bus_, this, methodCall(session->device, deviceInterface, QStringLiteral("VerifyStop")),
              [this, session](const QDBusMessage&) {
                  session->pending = false;
                  if (session->closed || session->token != token_) {
                      close(session);
                      return;
                  }
                  startVerify(session);
              });
}

void FprintdTouchID::verifyStatus(const QString& result, bool done) {
    const auto session = session_;
    if (!session || session->closed || !session->verifying)
        return; // not ours, or a status of a verification we already left
    if (control_)
        control_->setRejected(false);
    if (result == QLatin1String("verify-match")) {
        Log::auth.info("Touch ID accepted");
        auto onSuccess = session->onSuccess;
        dismiss();
        if (onSuccess)
            onSuccess();
        return;
    }
    if (result == QLatin1String("verify-no-match")) {
        Log::auth.info("Touch ID no match; waiting for another finger");
        if (control_)
            control_->setRejected(true);
        restartVerify(session);
        return;
    }
    if (isRetry(result)) {
        Log::auth.info("Touch ID retry: " + result.toStdString());
        if (done)
            restartVerify(session);
        return;
    }
    end(endedText(result));
}

void FprintdTouchID::end(const std::string& why) {
    Log::auth.info("Touch ID ended: " + why);
    if (session_) {
        session_->closed = true;
        close(session_);
    }
    // The presentation stays (isPresented) until dismissed, so the next key does not start
    // another check at once; the control stays in its place too, so the card does not change
    // under the user's eyes: the PIN goes on working beside it.
    // A reader that failed may be gone, or its fingers deleted: ask before the next prompt.
    refreshAvailability();
}

void FprintdTouchID::close(const std::shared_ptr<Session>& session) {
    session->closed = true;
    if (session.get() == waitingClaim_.get()) {
        waitingClaim_.reset(); // never claimed: nothing to give back
        session->pending = false;
        return;
    }
    if (session->pending || !session->claimed)
        return; // the pending reply closes what it opened
    watchSignals(session->device, false);
    session->claimed = false;
    const QString device = session->device;
    const bool stop = session->verifying;
    session->verifying = false;
    auto release = [this, device] {
        callAsync(bus_, this, methodCall(device, deviceInterface, QStringLiteral("Release")),
                  [this](const QDBusMessage&) { readerFreed(); });
    };
    if (!stop) {
        release();
        return;
    }
    // fprintd wants a verification stopped before the reader is released.
    callAsync(bus_, this, methodCall(device, deviceInterface, QStringLiteral("VerifyStop")),
              [release](const QDBusMessage&) { release(); });
}

void FprintdTouchID::dismiss() {
    ++token_; // any reply still on its way belongs to an older presentation now
    if (session_) {
        close(session_);
        session_.reset();
    }
    removeControl();
}

void FprintdTouchID::removeControl() {
    if (control_)
        delete control_.data();
    if (host_)
        host_->setLockIconVisible(true);
    host_.clear();
}

void FprintdTouchID::watchSignals(const QString& device, bool on) {
    if (on)
        bus_.connect(service, device, deviceInterface, QStringLiteral("VerifyStatus"), this,
                     SLOT(verifyStatus(QString, bool)));
    else
        bus_.disconnect(service, device, deviceInterface, QStringLiteral("VerifyStatus"), this,
                        SLOT(verifyStatus(QString, bool)));
}

} // namespace tolva
