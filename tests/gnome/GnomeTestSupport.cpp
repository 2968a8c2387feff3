// Helpers of the GNOME tests.
#include "gnome/GnomeTestSupport.h"
#include "support/QtWidgetsApp.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QTemporaryDir>

#include <linux/input-event-codes.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace tolva::test::gnome {

bool enterGnomeSession() {
    const char* dir = std::getenv("TOLVA_GNOME_SESSION");
    if (dir == nullptr)
        return false;
    std::ifstream env(std::filesystem::path(dir) / "env");
    if (!env)
        throw std::runtime_error(std::string("the GNOME test session did not start: no ") + dir + "/env");
    // Only what reaches the Shell: the test keeps its own throwaway folders.
    for (std::string line; std::getline(env, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string name = line.substr(0, equals);
        if (name == "DBUS_SESSION_BUS_ADDRESS" || name == "DBUS_SYSTEM_BUS_ADDRESS" ||
            name == "WAYLAND_DISPLAY" || name == "XDG_SESSION_TYPE" || name == "TOLVA_GNOME_SHELL_LOG" ||
            name == "TOLVA_GNOME_SERVICES")
            ::setenv(name.c_str(), line.substr(equals + 1).c_str(), 1);
    }
    return true;
}

QDBusConnection connect(const QString& name) {
    return QDBusConnection::connectToBus(QString::fromLocal8Bit(std::getenv("DBUS_SESSION_BUS_ADDRESS")),
                                         name);
}

bool claimProgramName(QDBusConnection& bus) {
    const auto reply = bus.interface()->registerService(QStringLiteral("org.tolva.Screen"),
                                                        QDBusConnectionInterface::DontQueueService,
                                                        QDBusConnectionInterface::DontAllowReplacement);
    return reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
}

std::shared_ptr<GnomeShellCover> extensionForProgram(QDBusConnection& program, std::string* why) {
    if (!claimProgramName(program)) {
        *why = "another program holds org.tolva.Screen";
        return nullptr;
    }
    auto shell = std::make_shared<GnomeShellCover>(program);
    if (!shell->isAvailable() && switchExtension(true))
        waitUntil([&] { return shell->isAvailable(); }, 5s);
    if (!shell->isAvailable()) {
        *why = "the extension does not answer";
        return nullptr;
    }
    shell->uncover();
    return shell;
}

bool switchExtension(bool on) {
    QDBusConnection bus = connect(QStringLiteral("extensions"));
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
        QStringLiteral("org.gnome.Shell.Extensions"),
        on ? QStringLiteral("EnableExtension") : QStringLiteral("DisableExtension"));
    message.setArguments({QStringLiteral("tolva-screen@tolva.org")});
    const QDBusMessage reply = bus.call(message, QDBus::Block, 10000);
    QDBusConnection::disconnectFromBus(QStringLiteral("extensions"));
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
}

double shareOf(const QImage& image, const QColor& colour) {
    int total = 0, same = 0;
    for (int y = 0; y < image.height(); y += 5)
        for (int x = 0; x < image.width(); x += 5, ++total) {
            const QColor pixel = image.pixelColor(x, y);
            same += std::abs(pixel.red() - colour.red()) <= 8 &&
                    std::abs(pixel.green() - colour.green()) <= 8 &&
                    std::abs(pixel.blue() - colour.blue()) <= 8;
        }
    return total ? double(same) / total : 0;
}

namespace {
const QString remoteDesktop = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
}

RemoteKeyboard::RemoteKeyboard() : bus_(connect(QStringLiteral("remote-keyboard"))) {
    const QDBusMessage created = bus_.call(
        QDBusMessage::createMethodCall(remoteDesktop, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"),
                                       remoteDesktop, QStringLiteral("CreateSession")));
    if (created.type() != QDBusMessage::ReplyMessage || created.arguments().isEmpty())
        return;
    const QString path = created.arguments().first().value<QDBusObjectPath>().path();
    const QDBusMessage started = bus_.call(QDBusMessage::createMethodCall(
        remoteDesktop, path, remoteDesktop + QStringLiteral(".Session"), QStringLiteral("Start")));
    if (started.type() == QDBusMessage::ReplyMessage)
        session_ = path;
}

RemoteKeyboard::~RemoteKeyboard() {
    if (!session_.isEmpty())
        bus_.call(QDBusMessage::createMethodCall(
            remoteDesktop, session_, remoteDesktop + QStringLiteral(".Session"), QStringLiteral("Stop")));
    QDBusConnection::disconnectFromBus(QStringLiteral("remote-keyboard"));
}

void RemoteKeyboard::tap(std::uint32_t code, const std::vector<std::uint32_t>& held) {
    auto send = [&](std::uint32_t key, bool pressed) {
        QDBusMessage message = QDBusMessage::createMethodCall(remoteDesktop, session_,
                                                              remoteDesktop + QStringLiteral(".Session"),
                                                              QStringLiteral("NotifyKeyboardKeycode"));
        message.setArguments({QVariant::fromValue(uint(key)), pressed});
        bus_.call(message);
    };
    for (std::uint32_t modifier : held)
        send(modifier, true);
    send(code, true);
    send(code, false);
    for (auto modifier = held.rbegin(); modifier != held.rend(); ++modifier)
        send(*modifier, false);
}

void RemoteKeyboard::move(double dx, double dy) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(remoteDesktop, session_, remoteDesktop + QStringLiteral(".Session"),
                                       QStringLiteral("NotifyPointerMotionRelative"));
    message.setArguments({dx, dy});
    bus_.call(message);
}

void RemoteKeyboard::click() {
    constexpr int leftButton = BTN_LEFT;
    for (bool pressed : {true, false}) {
        QDBusMessage message = QDBusMessage::createMethodCall(remoteDesktop, session_,
                                                              remoteDesktop + QStringLiteral(".Session"),
                                                              QStringLiteral("NotifyPointerButton"));
        message.setArguments({leftButton, pressed});
        bus_.call(message);
    }
}

void leaveOverview() {
    QDBusConnection bus = connect(QStringLiteral("overview"));
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
    message.setArguments({QStringLiteral("org.gnome.Shell"), QStringLiteral("OverviewActive"),
                          QVariant::fromValue(QDBusVariant(false))});
    bus.call(message);
    QDBusConnection::disconnectFromBus(QStringLiteral("overview"));
}

KeyWindow::KeyWindow() {
    leaveOverview();
    ::setenv("GTK_A11Y", "none", 1);
    // (It writes to its standard error, which is not buffered.)
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{"gjs", TOLVA_GNOME_KEY_WINDOW}, true);
}

bool KeyWindow::waitUntilActive(RemoteKeyboard& keyboard, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto nextNudge = std::chrono::steady_clock::now() + 500ms;
    while (!active_ && std::chrono::steady_clock::now() < deadline) {
        if (std::chrono::steady_clock::now() >= nextNudge) {
            keyboard.tap(KEY_LEFTSHIFT);
            nextNudge += 500ms;
        }
        keys();
        if (!active_)
            if (auto line = process_->readLine(50ms))
                read(*line);
    }
    return active_;
}

void KeyWindow::read(const std::string& line) {
    if (line == "active" || line == "inactive")
        active_ = line == "active";
    else if (line == "click")
        ++clicks_;
    else if (line.rfind("key ", 0) == 0)
        keys_.push_back(line.substr(4));
}

const std::vector<std::string>& KeyWindow::keys() {
    for (const auto& line : process_->drainLines())
        read(line);
    return keys_;
}

int KeyWindow::clicks() {
    keys();
    return clicks_;
}

bool KeyWindow::isActive() {
    keys();
    return active_;
}

QImage shellScreenshot(QRect area, std::string* error) {
    // The Shell writes the file as the user it runs as: a folder everyone may write to.
    QTemporaryDir dir(QStringLiteral("/tmp/tolva-gnome-shot-XXXXXX"));
    ::chmod(dir.path().toLocal8Bit().constData(), 0777);
    const QString file = dir.filePath(QStringLiteral("shot.png"));
    const QString name = QStringLiteral("screenshot-tool");
    QDBusConnection bus = connect(name);
    QImage image;
    if (bus.interface()->registerService(QStringLiteral("org.gnome.Screenshot")).value() ==
        QDBusConnectionInterface::ServiceRegistered) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.gnome.Shell.Screenshot"), QStringLiteral("/org/gnome/Shell/Screenshot"),
            QStringLiteral("org.gnome.Shell.Screenshot"), QStringLiteral("ScreenshotArea"));
        message.setArguments({area.x(), area.y(), area.width(), area.height(), false, file});
        const QDBusMessage reply = bus.call(message, QDBus::Block, 10000);
        if (reply.type() != QDBusMessage::ReplyMessage && error)
            *error = reply.errorMessage().toStdString();
        image.load(file);
        if (image.isNull() && error && error->empty())
            *error = "the Shell wrote no picture";
    } else if (error) {
        *error = "cannot take the screenshot tool's name";
    }
    QDBusConnection::disconnectFromBus(name);
    return image;
}

bool tapUntil(RemoteKeyboard& keyboard, std::uint32_t code, const std::function<bool()>& arrived,
              std::chrono::milliseconds timeout, const std::vector<std::uint32_t>& held) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        keyboard.tap(code, held);
        if (waitUntil(arrived, 300ms))
            return true;
    }
    return false;
}

void ExtensionTest::SetUp() {
    widgetsApp();
    if (!enterGnomeSession())
        GTEST_SKIP() << "needs the headless GNOME Shell of the ctest fixture `gnome`";
    program = std::make_unique<QDBusConnection>(connect(QStringLiteral("program")));
    std::string why;
    shell = extensionForProgram(*program, &why);
    ASSERT_TRUE(shell) << why;
}

void ExtensionTest::TearDown() {
    if (shell)
        shell->uncover();
    shell.reset();
    program.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("program"));
}

} // namespace tolva::test::gnome
