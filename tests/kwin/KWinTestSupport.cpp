// The KWin tests' helpers: fixture, fake-input keys, a key-logging window, kscreen-doctor.
#include "kwin/KWinTestSupport.h"

#include "platform/wayland/ShmBuffer.h"
#include "platform/wayland/WaylandKeyboard.h"
#include "wayland/WaylandTestSupport.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QProcessEnvironment>
#include <QTemporaryFile>

#include <wayland-client.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace tolva::test {

bool enterKWinSession() {
    const char* dir = std::getenv("TOLVA_KWIN_SESSION");
    if (dir == nullptr)
        return false;
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "TolvaKWinTests";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv); // for the whole run: the event loop serves every client
    }
    std::ifstream env(std::filesystem::path(dir) / "env");
    if (!env)
        throw std::runtime_error(std::string("the KWin test session did not start: no ") + dir + "/env");
    for (std::string line; std::getline(env, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos)
            ::setenv(line.substr(0, equals).c_str(), line.substr(equals + 1).c_str(), 1);
    }
    return true;
}

KWinInput::KWinInput() : process_(std::make_unique<QProcess>()) {
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    process_->start(QStringLiteral(TOLVA_KWIN_INPUT), {});
    if (!process_->waitForStarted(5000)) {
        error_ = "cannot start " TOLVA_KWIN_INPUT;
        return;
    }
    std::string line;
    if (!waitForLine(line) || line != "ready") {
        error_ = "tolva-kwin-input: " + process_->readAllStandardError().toStdString();
        return;
    }
    ready_ = true;
}

KWinInput::~KWinInput() {
    if (process_->state() == QProcess::NotRunning)
        return;
    process_->closeWriteChannel();
    if (!driveUntil([&] { return process_->state() == QProcess::NotRunning; }, 5s)) {
        process_->kill();
        process_->waitForFinished(2000);
    }
}

bool KWinInput::waitForLine(std::string& line) {
    // The event loop keeps running meanwhile: the clients of this process answer KWin.
    const bool got =
        driveUntil([&] { return process_->canReadLine() || process_->state() == QProcess::NotRunning; }, 10s);
    if (!got || !process_->canReadLine())
        return false;
    line = process_->readLine().trimmed().toStdString();
    return true;
}

bool KWinInput::send(const std::string& command) {
    if (!ready_)
        return false;
    process_->write(QByteArray::fromStdString(command + "\n"));
    std::string line;
    return waitForLine(line) && line == "ok";
}

bool KWinInput::tap(std::uint32_t key, std::initializer_list<std::uint32_t> modifiers) {
    bool ok = true;
    for (auto modifier : modifiers)
        ok = send("press " + std::to_string(modifier)) && ok;
    ok = send("key " + std::to_string(key)) && ok;
    for (auto it = std::rbegin(modifiers); it != std::rend(modifiers); ++it)
        ok = send("release " + std::to_string(*it)) && ok;
    return ok;
}

struct KeyLoggingWindow::State {
    KeyLoggingWindow* window = nullptr;
    QColor colour;
    wl_registry* registry = nullptr;
    xdg_wm_base* wmBase = nullptr;
    wl_surface* surface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    wl_callback* frame = nullptr;
    std::unique_ptr<ShmBuffer> buffer;
    std::unique_ptr<WaylandKeyboard> keyboard;
    bool configured = false;
    bool shown = false;

    ~State() {
        keyboard.reset();
        if (frame)
            wl_callback_destroy(frame);
        if (toplevel)
            xdg_toplevel_destroy(toplevel);
        if (xdgSurface)
            xdg_surface_destroy(xdgSurface);
        if (surface)
            wl_surface_destroy(surface);
        buffer.reset();
        if (wmBase)
            xdg_wm_base_destroy(wmBase);
        if (registry)
            wl_registry_destroy(registry);
    }
};

struct KeyLoggingWindowListeners {
    using State = KeyLoggingWindow::State;
    static State& of(void* data) { return *static_cast<State*>(data); }

    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
        if (std::strcmp(interface, xdg_wm_base_interface.name) == 0 && !of(data).wmBase)
            of(data).wmBase =
                static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
    }
    static void globalRemove(void*, wl_registry*, uint32_t) {}
    static constexpr wl_registry_listener registry = {.global = global, .global_remove = globalRemove};

    static void ping(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
    static constexpr xdg_wm_base_listener wmBase = {.ping = ping};

    static void configure(void* data, xdg_surface* surface, uint32_t serial) {
        auto& state = of(data);
        xdg_surface_ack_configure(surface, serial);
        if (!state.configured) {
            state.configured = true;
            state.buffer =
                ShmBuffer::create(state.window->connection_->shm(), 400, 300, WL_SHM_FORMAT_ARGB8888);
            const std::uint32_t pixel = state.colour.rgba();
            auto* pixels = reinterpret_cast<std::uint32_t*>(state.buffer->data());
            std::fill_n(pixels, std::size_t(state.buffer->stride() / 4) * 300, pixel);
            wl_surface_attach(state.surface, state.buffer->buffer(), 0, 0);
            wl_surface_damage(state.surface, 0, 0, 400, 300);
            state.frame = wl_surface_frame(state.surface);
            wl_callback_add_listener(state.frame, &frame, &state);
        }
        wl_surface_commit(state.surface);
    }
    static constexpr xdg_surface_listener xdgSurface = {.configure = configure};

    static void toplevelConfigure(void*, xdg_toplevel*, int32_t, int32_t, wl_array*) {}
    static void toplevelClose(void*, xdg_toplevel*) {}
    static void toplevelBounds(void*, xdg_toplevel*, int32_t, int32_t) {}
    static void toplevelCapabilities(void*, xdg_toplevel*, wl_array*) {}
    static constexpr xdg_toplevel_listener toplevel = {.configure = toplevelConfigure,
                                                       .close = toplevelClose,
                                                       .configure_bounds = toplevelBounds,
                                                       .wm_capabilities = toplevelCapabilities};

    static void frameDone(void* data, wl_callback* callback, uint32_t) {
        wl_callback_destroy(callback);
        of(data).frame = nullptr;
        of(data).shown = true;
    }
    static constexpr wl_callback_listener frame = {.done = frameDone};
};

KeyLoggingWindow::KeyLoggingWindow(QColor colour)
    : connection_(WaylandConnection::connect()), state_(std::make_unique<State>()) {
    if (!connection_)
        return;
    auto& s = *state_;
    s.window = this;
    s.colour = colour;
    s.registry = wl_display_get_registry(connection_->display());
    wl_registry_add_listener(s.registry, &KeyLoggingWindowListeners::registry, &s);
    connection_->roundtrip();
    if (!s.wmBase) {
        connection_.reset();
        return;
    }
    xdg_wm_base_add_listener(s.wmBase, &KeyLoggingWindowListeners::wmBase, &s);
    connection_->addObserver(this);
    seatCapabilitiesChanged(connection_->seatCapabilities());
    s.surface = wl_compositor_create_surface(connection_->compositor());
    s.xdgSurface = xdg_wm_base_get_xdg_surface(s.wmBase, s.surface);
    xdg_surface_add_listener(s.xdgSurface, &KeyLoggingWindowListeners::xdgSurface, &s);
    s.toplevel = xdg_surface_get_toplevel(s.xdgSurface);
    xdg_toplevel_add_listener(s.toplevel, &KeyLoggingWindowListeners::toplevel, &s);
    xdg_toplevel_set_title(s.toplevel, "key logger");
    xdg_toplevel_set_app_id(s.toplevel, "org.tolva.test.keylogger");
    wl_surface_commit(s.surface);
    connection_->flush();
}

KeyLoggingWindow::~KeyLoggingWindow() {
    if (!connection_)
        return;
    connection_->removeObserver(this);
    state_.reset();
    connection_->flush();
}

bool KeyLoggingWindow::isMapped() const {
    return state_->shown;
}

bool KeyLoggingWindow::hasKeyboardFocus() const {
    return state_->keyboard && state_->surface && state_->keyboard->focus() == state_->surface;
}

void KeyLoggingWindow::seatCapabilitiesChanged(std::uint32_t capabilities) {
    state_->keyboard.reset();
    if (!(capabilities & WL_SEAT_CAPABILITY_KEYBOARD) || !connection_->seat())
        return;
    state_->keyboard = std::make_unique<WaylandKeyboard>(connection_->seat());
    state_->keyboard->onKey = [this](const KeyEvent& event) {
        if (event.type == KeyEvent::Type::keyDown)
            ++keyPresses_;
    };
    state_->keyboard->onEnter = [this](wl_surface*) { lastEnter_ = std::chrono::steady_clock::now(); };
    state_->keyboard->onLeave = [this](wl_surface*) { lastLeave_ = std::chrono::steady_clock::now(); };
}

struct ForeignLayerSurface::State {
    std::shared_ptr<WaylandConnection> connection;
    wl_surface* surface = nullptr;
    zwlr_layer_surface_v1* layer = nullptr;
    wl_callback* frame = nullptr;
    std::unique_ptr<ShmBuffer> buffer;
    QColor colour;
    bool shown = false;

    ~State() {
        if (frame)
            wl_callback_destroy(frame);
        if (layer)
            zwlr_layer_surface_v1_destroy(layer);
        if (surface)
            wl_surface_destroy(surface);
        buffer.reset();
    }

    static void configure(void* data, zwlr_layer_surface_v1* layer, uint32_t serial, uint32_t width,
                          uint32_t height) {
        auto& s = *static_cast<State*>(data);
        zwlr_layer_surface_v1_ack_configure(layer, serial);
        if (!s.buffer) {
            s.buffer =
                ShmBuffer::create(s.connection->shm(), int(width), int(height), WL_SHM_FORMAT_ARGB8888);
            auto* pixels = reinterpret_cast<std::uint32_t*>(s.buffer->data());
            std::fill_n(pixels, std::size_t(s.buffer->stride() / 4) * height, s.colour.rgba());
            wl_surface_attach(s.surface, s.buffer->buffer(), 0, 0);
            wl_surface_damage(s.surface, 0, 0, int(width), int(height));
            s.frame = wl_surface_frame(s.surface);
            static constexpr wl_callback_listener frameListener = {
                .done = [](void* data, wl_callback* callback, uint32_t) {
                    wl_callback_destroy(callback);
                    static_cast<State*>(data)->frame = nullptr;
                    static_cast<State*>(data)->shown = true;
                }};
            wl_callback_add_listener(s.frame, &frameListener, &s);
        }
        wl_surface_commit(s.surface);
    }
    static void closed(void*, zwlr_layer_surface_v1*) {}
};

ForeignLayerSurface::ForeignLayerSurface(const std::string& output, QColor colour, bool exclusiveKeyboard)
    : connection_(WaylandConnection::connect()), state_(std::make_unique<State>()) {
    if (!connection_ || !connection_->layerShell())
        return;
    auto* target = connection_->findOutput(output);
    if (!target)
        return;
    auto& s = *state_;
    s.connection = connection_;
    s.colour = colour;
    s.surface = wl_compositor_create_surface(connection_->compositor());
    s.layer = zwlr_layer_shell_v1_get_layer_surface(connection_->layerShell(), s.surface, target->output,
                                                    ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, "test-foreign");
    static constexpr zwlr_layer_surface_v1_listener listener = {.configure = State::configure,
                                                                .closed = State::closed};
    zwlr_layer_surface_v1_add_listener(s.layer, &listener, &s);
    zwlr_layer_surface_v1_set_anchor(
        s.layer, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                     ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
    zwlr_layer_surface_v1_set_exclusive_zone(s.layer, -1);
    if (exclusiveKeyboard)
        zwlr_layer_surface_v1_set_keyboard_interactivity(
            s.layer, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_EXCLUSIVE);
    wl_surface_commit(s.surface);
    connection_->flush();
}

ForeignLayerSurface::~ForeignLayerSurface() {
    state_.reset();
    if (connection_)
        connection_->flush();
}

bool ForeignLayerSurface::isShown() const {
    return state_->shown;
}

bool runKWinScript(const std::string& code) {
    QTemporaryFile file(QDir::tempPath() + "/tolva-kwin-script-XXXXXX.js");
    if (!file.open())
        return false;
    file.write(QByteArray::fromStdString(code));
    file.flush();
    auto bus = QDBusConnection::sessionBus();
    // A name of its own each time: a script that ran stays loaded, and a name is loaded once.
    static int scripts = 0;
    const QString plugin = "tolva-test-" + QString::number(QCoreApplication::applicationPid()) + "-" +
                           QString::number(++scripts);
    auto call = [&](const QString& method, const QVariantList& arguments) {
        auto message =
            QDBusMessage::createMethodCall("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", method);
        message.setArguments(arguments);
        return bus.call(message, QDBus::Block, 5000);
    };
    const auto loaded = call("loadScript", {file.fileName(), plugin});
    if (loaded.type() == QDBusMessage::ErrorMessage || loaded.arguments().isEmpty() ||
        loaded.arguments().first().toInt() < 0)
        return false;
    // KWin reads the file when it starts the script; the caller waits for what the script does.
    const bool ran = call("start", {}).type() != QDBusMessage::ErrorMessage;
    file.setAutoRemove(false);
    return ran;
}

bool kscreenDoctor(const QStringList& arguments) {
    // kscreen-doctor is a Qt Wayland client: it finds the socket by name in the runtime folder.
    QProcess process;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "wayland");
    environment.insert("WAYLAND_DISPLAY",
                       QString::fromLocal8Bit(std::getenv("WAYLAND_DISPLAY")).section('/', -1));
    process.setProcessEnvironment(environment);
    process.start("kscreen-doctor", arguments);
    if (!process.waitForStarted(5000))
        return false;
    driveUntil([&] { return process.state() == QProcess::NotRunning; }, 20s);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace tolva::test
