// The connection, its registry and outputs, and the read/dispatch cycle on the Qt event loop.
#include "platform/wayland/WaylandConnection.h"

#include "log/Log.h"
#include "platform/wayland/WaylandProtocols.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace tolva {

namespace {
template <typename T>
T* bind(wl_registry* registry, std::uint32_t name, const wl_interface* interface, std::uint32_t offered,
        std::uint32_t supported) {
    return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, supported)));
}
} // namespace

struct WaylandConnectionListeners {
    static WaylandConnection::Output& output(void* data) {
        return *static_cast<WaylandConnection::Output*>(data);
    }

    static constexpr wl_registry_listener registry = {
        .global = &WaylandConnection::registryGlobal,
        .global_remove = &WaylandConnection::registryGlobalRemove,
    };

    static void outputGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                               const char*, const char*, int32_t) {
        output(data).modeGeometry.moveTo(x, y);
    }
    static void outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
        if (flags & WL_OUTPUT_MODE_CURRENT)
            output(data).modeGeometry.setSize(QSize(width, height));
    }
    static void outputDone(void* data, wl_output*);
    static void outputScale(void* data, wl_output*, int32_t factor) { output(data).info.scale = factor; }
    static void outputName(void* data, wl_output*, const char* name) { output(data).info.name = name; }
    static void outputDescription(void*, wl_output*, const char*) {}
    static constexpr wl_output_listener outputListener = {
        .geometry = outputGeometry,
        .mode = outputMode,
        .done = outputDone,
        .scale = outputScale,
        .name = outputName,
        .description = outputDescription,
    };

    static void xdgPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
        output(data).info.geometry.moveTo(x, y);
    }
    static void xdgSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
        output(data).info.geometry.setSize(QSize(width, height));
    }
    static void xdgDone(void*, zxdg_output_v1*) {} // wl_output.done ends each description (v3)
    static void xdgName(void* data, zxdg_output_v1*, const char* name) {
        if (output(data).info.name.empty())
            output(data).info.name = name;
    }
    static void xdgDescription(void*, zxdg_output_v1*, const char*) {}
    static constexpr zxdg_output_v1_listener xdgOutputListener = {
        .logical_position = xdgPosition,
        .logical_size = xdgSize,
        .done = xdgDone,
        .name = xdgName,
        .description = xdgDescription,
    };

    static void seatCapabilities(void* data, wl_seat*, uint32_t capabilities) {
        auto* connection = static_cast<WaylandConnection*>(data);
        connection->seatCapabilities_ = capabilities;
        for (auto* observer : std::vector(connection->observers_))
            observer->seatCapabilitiesChanged(capabilities);
    }
    static void seatName(void*, wl_seat*, const char*) {}
    static constexpr wl_seat_listener seatListener = {
        .capabilities = seatCapabilities,
        .name = seatName,
    };
};

std::shared_ptr<WaylandConnection> WaylandConnection::connect(const std::string& display) {
    const char* fromEnvironment = std::getenv("WAYLAND_DISPLAY");
    if (display.empty() && (fromEnvironment == nullptr || *fromEnvironment == '\0'))
        return nullptr; // not a Wayland session: do not guess a socket
    std::shared_ptr<WaylandConnection> connection(new WaylandConnection);
    connection->display_ = wl_display_connect(display.empty() ? nullptr : display.c_str());
    if (connection->display_ == nullptr) {
        Log::lock.error("Wayland: cannot connect to the compositor: " + std::string(std::strerror(errno)));
        return nullptr;
    }
    connection->registry_ = wl_display_get_registry(connection->display_);
    wl_registry_add_listener(connection->registry_, &WaylandConnectionListeners::registry, connection.get());
    // First the globals, then what the bound ones describe (outputs, seat capabilities).
    if (!connection->roundtrip() || !connection->roundtrip())
        return nullptr;

    connection->context_ = std::make_unique<QObject>();
    auto* notifier = new QSocketNotifier(wl_display_get_fd(connection->display_), QSocketNotifier::Read,
                                         connection->context_.get());
    connection->notifier_ = notifier;
    WaylandConnection* self = connection.get(); // the context (and with it these slots) dies first
    QObject::connect(notifier, &QSocketNotifier::activated, connection->context_.get(),
                     [self] { self->readEvents(); });
    // Requests made anywhere in the program go out before the loop sleeps.
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, connection->context_.get(),
                         [self] {
                             self->dispatchPending();
                             self->flush();
                         });
    return connection;
}

WaylandConnection::~WaylandConnection() {
    context_.reset(); // no more reads or queued calls
    for (auto it = outputs_.rbegin(); it != outputs_.rend(); ++it) {
        if ((*it)->xdgOutput)
            zxdg_output_v1_destroy((*it)->xdgOutput);
        if ((*it)->output)
            wl_output_get_version((*it)->output) >= 3 ? wl_output_release((*it)->output)
                                                      : wl_output_destroy((*it)->output);
    }
    outputs_.clear();
    if (idleNotifier_)
        ext_idle_notifier_v1_destroy(idleNotifier_);
    if (kdeIdle_)
        org_kde_kwin_idle_destroy(kdeIdle_);
    if (xdgOutputManager_)
        zxdg_output_manager_v1_destroy(xdgOutputManager_);
    if (screencopyManager_)
        zwlr_screencopy_manager_v1_destroy(screencopyManager_);
    if (shortcutsInhibitManager_)
        zwp_keyboard_shortcuts_inhibit_manager_v1_destroy(shortcutsInhibitManager_);
    if (inputInhibitManager_)
        zwlr_input_inhibit_manager_v1_destroy(inputInhibitManager_);
    if (layerShell_)
        zwlr_layer_shell_v1_get_version(layerShell_) >= 3
            ? zwlr_layer_shell_v1_destroy(layerShell_)
            : wl_proxy_destroy(reinterpret_cast<wl_proxy*>(layerShell_));
    if (viewporter_)
        wp_viewporter_destroy(viewporter_);
    if (seat_)
        wl_seat_get_version(seat_) >= 5 ? wl_seat_release(seat_) : wl_seat_destroy(seat_);
    if (shm_)
        wl_shm_destroy(shm_);
    if (subcompositor_)
        wl_subcompositor_destroy(subcompositor_);
    if (compositor_)
        wl_compositor_destroy(compositor_);
    if (registry_)
        wl_registry_destroy(registry_);
    if (display_) {
        wl_display_flush(display_);
        wl_display_disconnect(display_);
    }
}

void WaylandConnection::registryGlobal(void* data, wl_registry*, std::uint32_t name, const char* interface,
                                       std::uint32_t version) {
    static_cast<WaylandConnection*>(data)->bindGlobal(name, interface, version);
}

void WaylandConnection::registryGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    static_cast<WaylandConnection*>(data)->removeGlobal(name);
}

void WaylandConnection::bindGlobal(std::uint32_t name, const char* interface, std::uint32_t version) {
    const std::string_view id(interface);
    if (id == "org_kde_plasma_shell")
        plasmaShell_ = true; // only noted: nothing of it is used
    if (id == wl_compositor_interface.name) {
        compositor_ = bind<wl_compositor>(registry_, name, &wl_compositor_interface, version, 4);
    } else if (id == wl_subcompositor_interface.name) {
        subcompositor_ = bind<wl_subcompositor>(registry_, name, &wl_subcompositor_interface, version, 1);
    } else if (id == wl_shm_interface.name) {
        shm_ = bind<wl_shm>(registry_, name, &wl_shm_interface, version, 1);
    } else if (id == wl_seat_interface.name && seat_ == nullptr) {
        seat_ = bind<wl_seat>(registry_, name, &wl_seat_interface, version, 7);
        seatName_ = name;
        wl_seat_add_listener(seat_, &WaylandConnectionListeners::seatListener, this);
    } else if (id == wl_output_interface.name) {
        auto output = std::make_unique<Output>();
        output->globalName = name;
        output->connection = this;
        output->output = bind<wl_output>(registry_, name, &wl_output_interface, version, 4);
        wl_output_add_listener(output->output, &WaylandConnectionListeners::outputListener, output.get());
        if (xdgOutputManager_) {
            output->xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager_, output->output);
            zxdg_output_v1_add_listener(output->xdgOutput, &WaylandConnectionListeners::xdgOutputListener,
                                        output.get());
        }
        outputs_.push_back(std::move(output));
    } else if (id == zxdg_output_manager_v1_interface.name) {
        xdgOutputManager_ =
            bind<zxdg_output_manager_v1>(registry_, name, &zxdg_output_manager_v1_interface, version, 3);
        for (auto& output : outputs_) { // outputs announced before the manager
            if (output->xdgOutput == nullptr) {
                output->xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager_, output->output);
                zxdg_output_v1_add_listener(output->xdgOutput, &WaylandConnectionListeners::xdgOutputListener,
                                            output.get());
            }
        }
    } else if (id == wp_viewporter_interface.name) {
        viewporter_ = bind<wp_viewporter>(registry_, name, &wp_viewporter_interface, version, 1);
    } else if (id == zwlr_layer_shell_v1_interface.name) {
        layerShell_ = bind<zwlr_layer_shell_v1>(registry_, name, &zwlr_layer_shell_v1_interface, version, 4);
    } else if (id == zwlr_input_inhibit_manager_v1_interface.name) {
        inputInhibitManager_ = bind<zwlr_input_inhibit_manager_v1>(
            registry_, name, &zwlr_input_inhibit_manager_v1_interface, version, 1);
    } else if (id == zwp_keyboard_shortcuts_inhibit_manager_v1_interface.name) {
        shortcutsInhibitManager_ = bind<zwp_keyboard_shortcuts_inhibit_manager_v1>(
            registry_, name, &zwp_keyboard_shortcuts_inhibit_manager_v1_interface, version, 1);
    } else if (id == zwlr_screencopy_manager_v1_interface.name) {
        screencopyManager_ = bind<zwlr_screencopy_manager_v1>(
            registry_, name, &zwlr_screencopy_manager_v1_interface, version, 3);
    } else if (id == org_kde_kwin_idle_interface.name) {
        kdeIdle_ = bind<org_kde_kwin_idle>(registry_, name, &org_kde_kwin_idle_interface, version, 1);
    } else if (id == ext_idle_notifier_v1_interface.name) {
        idleNotifier_ =
            bind<ext_idle_notifier_v1>(registry_, name, &ext_idle_notifier_v1_interface, version, 1);
    }
}

void WaylandConnection::removeGlobal(std::uint32_t name) {
    auto it = std::find_if(outputs_.begin(), outputs_.end(),
                           [name](const auto& o) { return o->globalName == name; });
    if (it != outputs_.end()) {
        std::unique_ptr<Output> output = std::move(*it);
        outputs_.erase(it);
        if (output->done)
            for (auto* observer : std::vector(observers_))
                observer->outputRemoved(*output);
        if (output->xdgOutput)
            zxdg_output_v1_destroy(output->xdgOutput);
        wl_output_get_version(output->output) >= 3 ? wl_output_release(output->output)
                                                   : wl_output_destroy(output->output);
        if (output->done)
            notifyOutputsChanged();
        return;
    }
    if (name == seatName_ && seat_) {
        seatCapabilities_ = 0;
        for (auto* observer : std::vector(observers_))
            observer->seatCapabilitiesChanged(0);
        wl_seat_get_version(seat_) >= 5 ? wl_seat_release(seat_) : wl_seat_destroy(seat_);
        seat_ = nullptr;
        seatName_ = 0;
    }
}

void WaylandConnectionListeners::outputDone(void* data, wl_output*) {
    auto& described = output(data);
    described.connection->outputDescribed(described);
}

WaylandConnection::Output* WaylandConnection::findOutput(const std::string& name) const {
    for (const auto& output : outputs_)
        if (output->done && output->info.name == name)
            return output.get();
    return nullptr;
}

WaylandConnection::Output* WaylandConnection::findOutput(wl_output* proxy) const {
    for (const auto& output : outputs_)
        if (output->output == proxy)
            return output.get();
    return nullptr;
}

std::vector<WaylandOutputInfo> WaylandConnection::outputInfos() const {
    std::vector<WaylandOutputInfo> infos;
    for (const auto& output : outputs_)
        if (output->done)
            infos.push_back(output->info);
    return infos;
}

void WaylandConnection::outputDescribed(Output& output) {
    if (output.xdgOutput == nullptr || output.info.geometry.isEmpty()) {
        // Without xdg-output the logical size is the mode divided by the scale.
        const int scale = std::max(1, output.info.scale);
        output.info.geometry = QRect(output.modeGeometry.topLeft(), output.modeGeometry.size() / scale);
    }
    if (output.info.name.empty())
        output.info.name = "output-" + std::to_string(output.globalName);
    const bool first = !output.done;
    output.done = true;
    if (first)
        for (auto* observer : std::vector(observers_))
            observer->outputAdded(output);
    notifyOutputsChanged();
}

void WaylandConnection::notifyOutputsChanged() {
    for (auto* observer : std::vector(observers_))
        observer->outputsChanged();
}

void WaylandConnection::addObserver(Observer* observer) {
    observers_.push_back(observer);
}

void WaylandConnection::removeObserver(Observer* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void WaylandConnection::flush() {
    if (lost_ || display_ == nullptr)
        return;
    // EAGAIN (the socket is full) leaves the rest for the next flush; other failures show up as
    // an error or end of file on the next read.
    wl_display_flush(display_);
}

bool WaylandConnection::roundtrip(std::chrono::milliseconds timeout) {
    if (lost_ || display_ == nullptr)
        return false;
    // wl_display_roundtrip() would wait for ever on a compositor that hangs: this waits at most
    // `timeout`, reading only when poll() says there is something to read.
    bool done = false;
    wl_callback* callback = wl_display_sync(display_);
    static const wl_callback_listener listener = {
        .done =
            [](void* data, wl_callback* callback, uint32_t) {
                *static_cast<bool*>(data) = true;
                wl_callback_destroy(callback);
            },
    };
    wl_callback_add_listener(callback, &listener, &done);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done && !lost_) {
        if (wl_display_dispatch_pending(display_) < 0) {
            checkError();
            break;
        }
        if (done || wl_display_prepare_read(display_) != 0)
            continue;
        wl_display_flush(display_);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd descriptor = {wl_display_get_fd(display_), POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&descriptor, 1, int(left.count())) : 0;
        if (ready <= 0) {
            wl_display_cancel_read(display_);
            if (ready < 0 && errno == EINTR)
                continue;
            break;
        }
        if (wl_display_read_events(display_) < 0) {
            checkError();
            break;
        }
    }
    if (!done && !lost_) {
        wl_callback_destroy(callback); // its answer, should it come, is dropped
        Log::lock.error("Wayland: the compositor did not answer within " + std::to_string(timeout.count()) +
                        " ms");
    }
    return done && !lost_;
}

void WaylandConnection::readEvents() {
    if (lost_)
        return;
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0) {
            checkError();
            return;
        }
    }
    wl_display_flush(display_);
    // The notifier said the socket is readable, so this does not block (it reads with MSG_DONTWAIT).
    if (wl_display_read_events(display_) < 0) {
        checkError();
        return;
    }
    dispatchPending();
    flush(); // what the handlers asked for (a copy, an acknowledgement) goes out now
}

void WaylandConnection::dispatchPending() {
    if (lost_)
        return;
    if (wl_display_dispatch_pending(display_) < 0)
        checkError();
}

void WaylandConnection::checkError() {
    const int error = wl_display_get_error(display_);
    if (error == 0 || lost_)
        return;
    lost_ = true;
    if (error == EPROTO) {
        const wl_interface* interface = nullptr;
        std::uint32_t id = 0;
        const std::uint32_t code = wl_display_get_protocol_error(display_, &interface, &id);
        lostReason_ = "protocol error " + std::to_string(code) + " on " +
                      (interface ? interface->name : std::string("an unknown interface"));
    } else {
        lostReason_ = std::strerror(error);
    }
    Log::lock.error("Wayland: the connection to the compositor ended: " + lostReason_);
    if (notifier_)
        notifier_->setEnabled(false);
    for (auto* observer : std::vector(observers_))
        observer->connectionLost();
    if (context_)
        QMetaObject::invokeMethod(
            context_.get(),
            [this] {
                if (onLost)
                    onLost();
            },
            Qt::QueuedConnection);
}

} // namespace tolva
