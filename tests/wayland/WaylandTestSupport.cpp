// The Wayland tests' helpers: fixture, event loop, commands, pictures and input devices.
#include "WaylandTestSupport.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>

namespace tolva::test {

namespace {
QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "TolvaWaylandTests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    return app ? *app : *QCoreApplication::instance();
}

std::uint32_t now() {
    static QElapsedTimer clock = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return std::uint32_t(clock.elapsed());
}
} // namespace

bool enterWaylandSession() {
    application();
    const char* dir = std::getenv("TOLVA_WAYLAND_SESSION");
    if (dir == nullptr)
        return false;
    std::ifstream env(std::filesystem::path(dir) / "env");
    if (!env)
        throw std::runtime_error(std::string("the Wayland test session did not start: no ") + dir + "/env");
    for (std::string line; std::getline(env, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos)
            ::setenv(line.substr(0, equals).c_str(), line.substr(equals + 1).c_str(), 1);
    }
    return true;
}

std::filesystem::path bindingMarks() {
    const char* marks = std::getenv("TOLVA_WAYLAND_MARKS");
    return marks ? marks : "";
}

QColor sessionBackground() {
    const char* colour = std::getenv("TOLVA_WAYLAND_BACKGROUND");
    return QColor(colour ? colour : "#00c000");
}

bool driveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= timeout.count())
            return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        QCoreApplication::sendPostedEvents();
    }
    return true;
}

CommandResult runCommand(const QString& program, const QStringList& arguments,
                         std::chrono::milliseconds timeout, const std::string& display) {
    QProcess process;
    if (!display.empty()) {
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("WAYLAND_DISPLAY", QString::fromStdString(display));
        process.setProcessEnvironment(environment);
    }
    process.start(program, arguments);
    CommandResult result;
    if (!process.waitForStarted(5000)) {
        result.errors = "cannot start " + program.toUtf8();
        return result;
    }
    driveUntil([&] { return process.state() == QProcess::NotRunning; }, timeout);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        result.errors = program.toUtf8() + " did not finish in time";
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = process.readAllStandardOutput();
    result.errors = process.readAllStandardError();
    return result;
}

bool typeUntil(const QStringList& wtypeArguments, const std::function<bool()>& arrived, int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const auto result = runCommand("wtype", QStringList{"-s", "200"} + wtypeArguments);
        if (result.exitCode != 0)
            return false;
        if (driveUntil(arrived, 5s))
            return true;
    }
    return false;
}

QImage screenshot(const std::string& output, const std::string& display) {
    const auto result =
        runCommand("grim", {"-o", QString::fromStdString(output), "-t", "ppm", "-"}, 20s, display);
    if (result.exitCode != 0)
        return {};
    return QImage::fromData(result.output, "PPM").convertToFormat(QImage::Format_RGB32);
}

std::string gridMismatches(const QImage& image, QColor expected, int tolerance, QRect area) {
    if (image.isNull())
        return "no picture";
    if (area.isNull())
        area = image.rect();
    std::ostringstream mismatches;
    int count = 0;
    for (int row = 0; row <= 8; ++row) {
        for (int column = 0; column <= 8; ++column) {
            const QPoint point(area.left() + (area.width() - 1) * column / 8,
                               area.top() + (area.height() - 1) * row / 8);
            const QColor seen = image.pixelColor(point);
            const bool close = std::abs(seen.red() - expected.red()) <= tolerance &&
                               std::abs(seen.green() - expected.green()) <= tolerance &&
                               std::abs(seen.blue() - expected.blue()) <= tolerance;
            if (!close && count++ < 4)
                mismatches << "(" << point.x() << "," << point.y() << ") is " << seen.name().toStdString()
                           << " not " << expected.name().toStdString() << "; ";
        }
    }
    if (count > 0)
        mismatches << count << " of 81 points differ";
    return mismatches.str();
}

std::string waitForColour(const std::string& output, QColor expected, int tolerance, QRect area,
                          std::chrono::milliseconds timeout, const std::string& display) {
    std::string last;
    driveUntil(
        [&] {
            last = gridMismatches(screenshot(output, display), expected, tolerance, area);
            return last.empty();
        },
        timeout);
    return last;
}

PrivateCompositor::PrivateCompositor(Kind kind) {
    char pattern[] = "/tmp/tolva-private-compositor-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error_ = "no temporary folder";
        return;
    }
    dir_ = std::string(pattern) + "/session";
    QStringList arguments = {kind == Kind::nested ? "nest" : "start", QString::fromStdString(dir_)};
    if (kind == Kind::nested)
        arguments << QString::fromLocal8Bit(std::getenv("TOLVA_WAYLAND_SESSION"));
    const auto result = runCommand(TOLVA_WAYLAND_SESSION_SCRIPT, arguments);
    if (result.exitCode != 0) {
        error_ = "the compositor did not start: " + result.errors.toStdString();
        return;
    }
    std::ifstream env(dir_ + "/env");
    for (std::string line; std::getline(env, line);)
        if (line.rfind("WAYLAND_DISPLAY=", 0) == 0)
            display_ = line.substr(std::strlen("WAYLAND_DISPLAY="));
        else if (line.rfind("SWAYSOCK=", 0) == 0)
            swaySocket_ = line.substr(std::strlen("SWAYSOCK="));
    std::ifstream(dir_ + "/pid") >> pid_;
}

CommandResult PrivateCompositor::swaymsg(const QStringList& arguments) const {
    return runCommand("swaymsg", QStringList{"-s", QString::fromStdString(swaySocket_)} + arguments);
}

PrivateCompositor::~PrivateCompositor() {
    if (dir_.empty())
        return;
    runCommand(TOLVA_WAYLAND_SESSION_SCRIPT, {"stop", QString::fromStdString(dir_)});
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir_).parent_path(), ignored);
}

void PrivateCompositor::kill() const {
    if (pid_ > 0)
        ::kill(pid_t(pid_), SIGKILL);
}

// A client connection of its own, with the seat and one manager global bound.
template <typename Manager> struct DeviceConnection {
    wl_display* display = nullptr;
    wl_seat* seat = nullptr;
    Manager* manager = nullptr;
    const wl_interface* interface;
    std::uint32_t version;

    DeviceConnection(const wl_interface* managerInterface, std::uint32_t managerVersion)
        : interface(managerInterface), version(managerVersion) {
        display = wl_display_connect(nullptr);
        if (!display)
            return;
        wl_registry* registry = wl_display_get_registry(display);
        static const wl_registry_listener listener = {
            .global =
                [](void* data, wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version) {
                    auto* self = static_cast<DeviceConnection*>(data);
                    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat)
                        self->seat =
                            static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
                    else if (std::strcmp(interface, self->interface->name) == 0)
                        self->manager = static_cast<Manager*>(wl_registry_bind(
                            registry, name, self->interface, std::min(version, self->version)));
                },
            .global_remove = [](void*, wl_registry*, uint32_t) {},
        };
        wl_registry_add_listener(registry, &listener, this);
        wl_display_roundtrip(display);
        wl_registry_destroy(registry);
    }
    ~DeviceConnection() {
        if (seat)
            wl_seat_destroy(seat);
        if (display) {
            wl_display_roundtrip(display);
            wl_display_disconnect(display);
        }
    }
};

struct VirtualKeyboard::State : DeviceConnection<zwp_virtual_keyboard_manager_v1> {
    State() : DeviceConnection(&zwp_virtual_keyboard_manager_v1_interface, 1) {}
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    xkb_context* context = nullptr;
    xkb_keymap* keymap = nullptr;
    xkb_state* xkbState = nullptr;

    void key(std::uint32_t key, bool pressed) {
        zwp_virtual_keyboard_v1_key(keyboard, now(), key,
                                    pressed ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
        // A virtual keyboard reports its own modifiers: as a real one would after this key.
        xkb_state_update_key(xkbState, key + 8, pressed ? XKB_KEY_DOWN : XKB_KEY_UP);
        zwp_virtual_keyboard_v1_modifiers(keyboard,
                                          xkb_state_serialize_mods(xkbState, XKB_STATE_MODS_DEPRESSED),
                                          xkb_state_serialize_mods(xkbState, XKB_STATE_MODS_LATCHED),
                                          xkb_state_serialize_mods(xkbState, XKB_STATE_MODS_LOCKED),
                                          xkb_state_serialize_layout(xkbState, XKB_STATE_LAYOUT_EFFECTIVE));
        wl_display_flush(display);
    }
};

VirtualKeyboard::VirtualKeyboard() : state_(std::make_unique<State>()) {
    auto& s = *state_;
    if (!s.display || !s.seat || !s.manager)
        return;
    s.context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    const xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
    s.keymap = xkb_keymap_new_from_names(s.context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!s.keymap)
        return;
    s.xkbState = xkb_state_new(s.keymap);
    char* text = xkb_keymap_get_as_string(s.keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    const std::size_t size = std::strlen(text) + 1;
    const int fd = ::memfd_create("tolva-test-keymap", MFD_CLOEXEC);
    if (fd >= 0 && ::write(fd, text, size) == ssize_t(size)) {
        s.keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(s.manager, s.seat);
        zwp_virtual_keyboard_v1_keymap(s.keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, std::uint32_t(size));
        wl_display_roundtrip(s.display);
    }
    if (fd >= 0)
        ::close(fd);
    std::free(text);
}

VirtualKeyboard::~VirtualKeyboard() {
    auto& s = *state_;
    if (s.keyboard)
        zwp_virtual_keyboard_v1_destroy(s.keyboard);
    if (s.manager)
        wl_proxy_destroy(reinterpret_cast<wl_proxy*>(s.manager));
    xkb_state_unref(s.xkbState);
    xkb_keymap_unref(s.keymap);
    xkb_context_unref(s.context);
}

bool VirtualKeyboard::isReady() const {
    return state_->keyboard != nullptr;
}

void VirtualKeyboard::press(std::uint32_t key) {
    state_->key(key, true);
}
void VirtualKeyboard::release(std::uint32_t key) {
    state_->key(key, false);
}

void VirtualKeyboard::tap(std::uint32_t key, std::initializer_list<std::uint32_t> modifiers) {
    for (auto modifier : modifiers)
        press(modifier);
    press(key);
    release(key);
    for (auto it = std::rbegin(modifiers); it != std::rend(modifiers); ++it)
        release(*it);
}

struct VirtualPointer::State : DeviceConnection<zwlr_virtual_pointer_manager_v1> {
    State() : DeviceConnection(&zwlr_virtual_pointer_manager_v1_interface, 2) {}
    zwlr_virtual_pointer_v1* pointer = nullptr;
};

VirtualPointer::VirtualPointer() : state_(std::make_unique<State>()) {
    auto& s = *state_;
    if (!s.display || !s.seat || !s.manager)
        return;
    s.pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(s.manager, s.seat);
    wl_display_roundtrip(s.display);
}

VirtualPointer::~VirtualPointer() {
    auto& s = *state_;
    if (s.pointer)
        zwlr_virtual_pointer_v1_destroy(s.pointer);
    if (s.manager)
        zwlr_virtual_pointer_manager_v1_destroy(s.manager);
}

bool VirtualPointer::isReady() const {
    return state_->pointer != nullptr;
}

void VirtualPointer::moveTo(QPoint position, QSize extent) {
    auto& s = *state_;
    zwlr_virtual_pointer_v1_motion_absolute(s.pointer, now(), std::uint32_t(position.x()),
                                            std::uint32_t(position.y()), std::uint32_t(extent.width()),
                                            std::uint32_t(extent.height()));
    zwlr_virtual_pointer_v1_frame(s.pointer);
    wl_display_flush(s.display);
}

void VirtualPointer::click(std::uint32_t button) {
    auto& s = *state_;
    zwlr_virtual_pointer_v1_button(s.pointer, now(), button, WL_POINTER_BUTTON_STATE_PRESSED);
    zwlr_virtual_pointer_v1_frame(s.pointer);
    zwlr_virtual_pointer_v1_button(s.pointer, now(), button, WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(s.pointer);
    wl_display_flush(s.display);
}

} // namespace tolva::test
