// Starting the private system bus, the polkit stand-in and fprintd, and talking to the reader.
#include "support/FprintdService.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>

namespace tolva::test {

namespace {

const QString fprint = QStringLiteral("net.reactivated.Fprint");
const QString deviceInterface = QStringLiteral("net.reactivated.Fprint.Device");

// A system bus where everyone may own and call everything: the services are ours.
const char* busConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

// `argv` with its output into `log`, and `environment` set.
std::vector<std::string> logged(const std::filesystem::path& log, std::vector<std::string> environment,
                                std::vector<std::string> argv) {
    std::vector<std::string> command{"env"};
    command.insert(command.end(), environment.begin(), environment.end());
    command.insert(command.end(), {"sh", "-c", "exec \"$0\" \"$@\" >>'" + log.string() + "' 2>&1"});
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

QDBusMessage call(QDBusConnection& bus, const QString& path, const QString& method,
                  const QVariantList& args = {}, const QString& interface = deviceInterface) {
    QDBusMessage m = QDBusMessage::createMethodCall(fprint, path, interface, method);
    m.setArguments(args);
    return bus.call(m, QDBus::Block, 10000);
}

} // namespace

FprintdService::FprintdService(Options options) : control_(QStringLiteral("unconnected")) {
    char pattern[] = "/tmp/tolva-fprint-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    std::filesystem::create_directories(dir_ / "state");
    const std::string socket = (dir_ / "bus").string();
    std::string config = busConfig;
    config.replace(config.find("@SOCKET@"), 8, socket);
    std::ofstream(dir_ / "bus.conf") << config;
    // The bus goes when the test goes, even one that crashed; fprintd and the polkit stand-in
    // leave with their bus.
    bus_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "sh", "-c",
        "dbus-daemon --config-file='" + (dir_ / "bus.conf").string() +
            "' --nofork --nopidfile --print-address=1 & bus=$!; trap 'kill $bus' EXIT TERM; "
            "while kill -0 $PPID 2>/dev/null && kill -0 $bus 2>/dev/null; do sleep 0.2; done"});
    auto line = bus_->readLine(std::chrono::seconds(10), false);
    if (!line)
        return;
    address_ = QString::fromStdString(*line);
    control_ = connect(QStringLiteral("control"));
    const std::string busVariable = "DBUS_SYSTEM_BUS_ADDRESS=" + address_.toStdString();

    polkit_ = std::make_unique<ChildProcess>(
        logged(dir_ / "polkit.log", {busVariable},
               {"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "polkitd"}));
    if (!waitForName(QStringLiteral("org.freedesktop.PolicyKit1")))
        return;
    QDBusMessage allow = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.PolicyKit1"), QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
        QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("SetAllowed"));
    allow << QStringList{QStringLiteral("net.reactivated.fprint.device.verify"),
                         QStringLiteral("net.reactivated.fprint.device.enroll")};
    if (control_.call(allow, QDBus::Block, 5000).type() != QDBusMessage::ReplyMessage)
        return;
    if (!options.fprintd) {
        ready_ = true;
        return;
    }
    std::vector<std::string> environment{busVariable, "STATE_DIRECTORY=" + (dir_ / "state").string(),
                                         "FP_DRIVERS_WHITELIST=virtual_device"};
    if (options.reader)
        environment.push_back("FP_VIRTUAL_DEVICE=" + (dir_ / "reader").string());
    fprintd_ =
        std::make_unique<ChildProcess>(logged(dir_ / "fprintd.log", environment, {TOLVA_FPRINTD, "-t"}));
    ready_ = waitForName(fprint);
}

FprintdService::~FprintdService() {
    // Every connection made to this bus is closed with it.
    for (const QString& name : names_)
        QDBusConnection::disconnectFromBus(name);
    fprintd_.reset();
    polkit_.reset();
    bus_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string FprintdService::diagnostics() const {
    std::string all;
    for (const char* name : {"polkit.log", "fprintd.log"}) {
        std::ifstream file(dir_ / name);
        std::stringstream text;
        text << file.rdbuf();
        all += std::string("--- ") + name + "\n" + text.str();
    }
    return all;
}

bool FprintdService::waitForName(const QString& name) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (control_.interface()->isServiceRegistered(name))
            return true;
        ::usleep(20000);
    }
    return false;
}

QDBusConnection FprintdService::connect(const QString& name) {
    // Unique for the life of the process: a later service may sit at this one's address (the
    // object's own address repeats as well), and Qt hands out connections by name, so a repeated
    // name would be a connection to a bus that is gone, where a blocking call aborts in libdbus.
    static std::atomic<unsigned> next{0};
    const QString unique = QStringLiteral("fprintd-") + name + QStringLiteral("-") + QString::number(++next);
    names_.push_back(unique);
    return QDBusConnection::connectToBus(address_, unique);
}

QString FprintdService::device() {
    QDBusMessage reply =
        call(control_, QStringLiteral("/net/reactivated/Fprint/Manager"), QStringLiteral("GetDefaultDevice"),
             {}, QStringLiteral("net.reactivated.Fprint.Manager"));
    return reply.arguments().value(0).value<QDBusObjectPath>().path();
}

bool FprintdService::send(const std::string& command) {
    const auto path = (dir_ / "reader").string();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const bool sent = ::send(fd, command.data(), command.size(), MSG_NOSIGNAL) ==
                              static_cast<ssize_t>(command.size());
            // The reader takes one connection at a time and drops the one before: wait until it
            // has read this command and hung up.
            pollfd p{fd, POLLIN, 0};
            char ignored[16];
            while (sent && ::poll(&p, 1, 5000) > 0 && ::recv(fd, ignored, sizeof ignored, 0) > 0) {
            }
            ::close(fd);
            return sent;
        }
        ::close(fd);
        ::usleep(20000);
    }
    return false;
}

bool FprintdService::enroll(const std::string& print) {
    const QString path = device();
    if (path.isEmpty())
        return false;
    if (call(control_, path, QStringLiteral("Claim"), {QString()}).type() != QDBusMessage::ReplyMessage)
        return false;
    bool done = false;
    if (call(control_, path, QStringLiteral("EnrollStart"), {QStringLiteral("right-index-finger")}).type() ==
        QDBusMessage::ReplyMessage) {
        const int stages = 5; // the virtual reader's default
        for (int i = 0; i < stages; ++i)
            send("SCAN " + print);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done && std::chrono::steady_clock::now() < deadline) {
            QDBusMessage list = call(control_, path, QStringLiteral("ListEnrolledFingers"), {QString()});
            done = list.type() == QDBusMessage::ReplyMessage &&
                   !list.arguments().value(0).toStringList().isEmpty();
            if (!done)
                ::usleep(50000);
        }
        QDBusMessage stop = call(control_, path, QStringLiteral("EnrollStop"));
        if (stop.type() != QDBusMessage::ReplyMessage)
            std::fprintf(stderr, "EnrollStop: %s\n", qPrintable(stop.errorMessage()));
    }
    QDBusMessage release = call(control_, path, QStringLiteral("Release"));
    if (release.type() != QDBusMessage::ReplyMessage)
        std::fprintf(stderr, "Release: %s\n", qPrintable(release.errorMessage()));
    return done;
}

} // namespace tolva::test
