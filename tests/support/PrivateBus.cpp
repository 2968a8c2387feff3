// Private D-Bus daemons for tests.
#include "support/PrivateBus.h"

#include <QDBusMessage>

#include <atomic>
#include <cstdlib>
#include <fstream>

namespace tolva::test {

PrivateBus::PrivateBus() : controlBus_(QStringLiteral("unconnected")) {
    char pattern[] = "/tmp/tolva-bus-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    const std::string socket = (dir_ / "bus").string();
    // A session bus that activates nothing: only what the test starts runs on it. The desktop's
    // services, started on demand, would outlive the daemon and keep the test's output open.
    const std::filesystem::path config = dir_ / "bus.conf";
    std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" + socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "dbus-daemon", "--config-file=" + config.string(), "--nofork", "--nopidfile", "--print-address=1"});
    auto line = daemon_->readLine(std::chrono::seconds(10), false);
    address_ = line ? QString::fromStdString(*line) : QString();
    controlBus_ = connect(QStringLiteral("control"));
}

PrivateBus::~PrivateBus() {
    // Every connection to this daemon is closed with it: a later bus must never be handed a
    // connection of this one (Qt keeps connections by name), whose daemon is gone, where a
    // blocking call aborts inside libdbus.
    for (const QString& name : names_)
        QDBusConnection::disconnectFromBus(name);
    daemon_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

QDBusConnection PrivateBus::connect(const QString& name) {
    // Unique for the life of the process: two buses may live at the same address one after the other.
    static std::atomic<unsigned> next{0};
    const QString unique = name + QStringLiteral("-") + QString::number(++next);
    names_.push_back(unique);
    return QDBusConnection::connectToBus(address_, unique);
}

std::unique_ptr<ChildProcess> PrivateBus::startFakeServices(bool login1, bool screenSaver) {
    std::vector<std::string> argv{TOLVA_FAKE_SERVICES, "--bus", address_.toStdString()};
    if (login1)
        argv.push_back("--login1");
    if (screenSaver)
        argv.push_back("--screensaver");
    auto child = std::make_unique<ChildProcess>(argv);
    child->waitFor("ready", std::chrono::seconds(10));
    return child;
}

QVariant PrivateBus::control(const QString& method, const QVariantList& arguments) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(QStringLiteral("org.tolva.TestServices"), QStringLiteral("/control"),
                                       QStringLiteral("org.tolva.Test.Control"), method);
    message.setArguments(arguments);
    QDBusMessage reply = controlBus_.call(message, QDBus::Block, 3000);
    return reply.arguments().isEmpty() ? QVariant() : reply.arguments().first();
}

} // namespace tolva::test
