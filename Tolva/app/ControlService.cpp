// The session-bus service of the running program and the client side a second start uses.
#include "app/ControlService.h"

#include "app/LaunchChecks.h"
#include "log/Log.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QVariantMap>

#include <cmath>

namespace tolva {

namespace {

std::string seconds(double value) {
    return LaunchChecks::secondsText(value);
}

} // namespace

ControlService::ControlService(QDBusConnection bus) : bus_(std::move(bus)) {}

ControlService::~ControlService() {
    if (owned_)
        bus_.unregisterService(QString::fromLatin1(serviceName));
    if (published_)
        bus_.unregisterObject(QString::fromLatin1(objectPath));
}

ControlService::Claim ControlService::claim() {
    if (!bus_.isConnected())
        return Claim::noBus;
    published_ =
        bus_.registerObject(QString::fromLatin1(objectPath), this,
                            QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportAllProperties);
    if (!published_)
        return Claim::taken;
    const auto reply = bus_.interface()->registerService(QString::fromLatin1(serviceName),
                                                         QDBusConnectionInterface::DontQueueService,
                                                         QDBusConnectionInterface::DontAllowReplacement);
    owned_ = reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
    if (!owned_) {
        bus_.unregisterObject(QString::fromLatin1(objectPath));
        published_ = false;
        return reply.isValid() ? Claim::taken : Claim::noBus;
    }
    announced_ = locked();
    return Claim::owned;
}

std::optional<std::uint32_t> ControlService::ownerPid() const {
    if (!bus_.isConnected())
        return std::nullopt;
    const auto reply = bus_.interface()->servicePid(QString::fromLatin1(serviceName));
    if (!reply.isValid())
        return std::nullopt;
    return reply.value();
}

void ControlService::stateChanged() {
    const bool now = locked();
    if (!owned_ || now == announced_)
        return;
    announced_ = now;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(objectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(interfaceName) << QVariantMap{{QStringLiteral("Locked"), now}}
           << QStringList{};
    bus_.send(signal);
}

void ControlService::answer(const std::optional<std::string>& refusal) {
    if (refusal && calledFromDBus())
        sendErrorReply(QString::fromLatin1(refusedError), QString::fromStdString(*refusal));
}

void ControlService::Lock() {
    Log::ui.info("lock requested over D-Bus");
    answer(onLock ? onLock() : std::optional<std::string>("not ready"));
}

void ControlService::LockIn(double delay) {
    if (!std::isfinite(delay) || delay < 0 || delay > LaunchChecks::maxLockInSeconds) {
        if (calledFromDBus())
            sendErrorReply(
                QDBusError::InvalidArgs,
                QStringLiteral("seconds must be between 0 and %1").arg(LaunchChecks::maxLockInSeconds));
        return;
    }
    Log::ui.info("will lock in " + seconds(delay) + "s (D-Bus)");
    answer(onLockIn ? onLockIn(delay) : std::optional<std::string>("not ready"));
}

void ControlService::ShowSettings() {
    Log::ui.info("window requested over D-Bus");
    if (onShowSettings)
        onShowSettings();
}

LaunchCommand LaunchCommand::parse(const QStringList& arguments) {
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QStringLiteral("--lock"))
            return {Kind::lock, 0, false};
        QString text;
        if (arguments[i] == QStringLiteral("--lock-in"))
            text = i + 1 < arguments.size() ? arguments[i + 1] : QString();
        else if (arguments[i].startsWith(QStringLiteral("--lock-in=")))
            text = arguments[i].mid(10);
        else
            continue;
        bool ok = false;
        const double value = text.toDouble(&ok);
        if (!ok || !std::isfinite(value))
            return {Kind::lockIn, 0, true};
        return {Kind::lockIn, value, false};
    }
    return {};
}

int forwardToRunningInstance(QDBusConnection bus, const LaunchCommand& command, std::FILE* out,
                             std::FILE* err) {
    if (command.malformed) {
        std::fprintf(err, "tolva-screen: --lock-in needs a number of seconds, for example --lock-in 5\n");
        return 2;
    }
    const QString method = command.kind == LaunchCommand::Kind::lock     ? QStringLiteral("Lock")
                           : command.kind == LaunchCommand::Kind::lockIn ? QStringLiteral("LockIn")
                                                                         : QStringLiteral("ShowSettings");
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(ControlService::serviceName), QString::fromLatin1(ControlService::objectPath),
        QString::fromLatin1(ControlService::interfaceName), method);
    if (command.kind == LaunchCommand::Kind::lockIn)
        call << command.seconds;
    // Events keep turning while it waits, so a caller in the same process (a test) is answered too.
    const QDBusMessage reply = bus.call(call, QDBus::BlockWithGui, 10000);
    const auto pidReply = bus.interface()->servicePid(QString::fromLatin1(ControlService::serviceName));
    const std::string who =
        "the running Tolva Screen" +
        (pidReply.isValid() ? " (pid " + std::to_string(pidReply.value()) + ")" : std::string());
    if (reply.type() == QDBusMessage::ErrorMessage) {
        if (reply.errorName() == QLatin1String(ControlService::refusedError))
            std::fprintf(err, "tolva-screen: %s did not turn the overlay on: %s\n", who.c_str(),
                         reply.errorMessage().toUtf8().constData());
        else
            std::fprintf(err, "tolva-screen: %s did not answer: %s\n", who.c_str(),
                         reply.errorMessage().toUtf8().constData());
        return 1;
    }
    switch (command.kind) {
    case LaunchCommand::Kind::lock:
        std::fprintf(out, "%s turned the overlay on\n", who.c_str());
        break;
    case LaunchCommand::Kind::lockIn:
        std::fprintf(out, "%s turns the overlay on in %ss\n", who.c_str(), seconds(command.seconds).c_str());
        break;
    case LaunchCommand::Kind::none:
        std::fprintf(out, "%s shows its window\n", who.c_str());
        break;
    }
    std::fflush(out);
    return 0;
}

} // namespace tolva
