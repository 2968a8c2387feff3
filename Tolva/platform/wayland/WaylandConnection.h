// The program's own connection to the Wayland compositor, next to Qt's: the globals it offers,
// its outputs and seat as they come and go, and the socket served from the Qt event loop.
#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
struct wl_compositor;
struct wl_display;
struct wl_output;
struct wl_registry;
struct wl_seat;
struct wl_shm;
struct wl_subcompositor;
struct wp_viewporter;
struct zwlr_layer_shell_v1;
struct zwlr_input_inhibit_manager_v1;
struct zwlr_screencopy_manager_v1;
struct zwp_keyboard_shortcuts_inhibit_manager_v1;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct org_kde_kwin_idle;
struct ext_idle_notifier_v1;

namespace tolva {

// One display as the compositor describes it; geometry is in logical (layout) pixels.
struct WaylandOutputInfo {
    std::string name;
    QRect geometry;
    int scale = 1;
    friend bool operator==(const WaylandOutputInfo&, const WaylandOutputInfo&) = default;
};

class WaylandConnection {
public:
    struct Output {
        WaylandConnection* connection = nullptr;
        std::uint32_t globalName = 0;
        wl_output* output = nullptr;
        zxdg_output_v1* xdgOutput = nullptr;
        WaylandOutputInfo info;
        QRect modeGeometry; // from wl_output, used when there is no xdg-output
        bool done = false;  // described completely at least once
    };

    // What users of the connection hear about; they register for their own lifetime.
    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void outputAdded(Output&) {}
        // Before the wl_output is released.
        virtual void outputRemoved(Output&) {}
        virtual void outputsChanged() {}
        virtual void seatCapabilitiesChanged(std::uint32_t) {}
        virtual void connectionLost() {}
    };

    // Connects to `display` (a socket name or absolute path) or, when empty, to WAYLAND_DISPLAY,
    // and waits (at most twice roundtrip()'s timeout) for the globals and outputs to be
    // described; nothing when no compositor answers. Needs a QCoreApplication: events are read
    // when the Qt event loop sees the socket readable.
    static std::shared_ptr<WaylandConnection> connect(const std::string& display = {});
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    wl_display* display() const { return display_; }
    wl_compositor* compositor() const { return compositor_; }
    wl_subcompositor* subcompositor() const { return subcompositor_; }
    wl_shm* shm() const { return shm_; }
    wl_seat* seat() const { return seat_; }
    std::uint32_t seatCapabilities() const { return seatCapabilities_; }
    wp_viewporter* viewporter() const { return viewporter_; }
    zwlr_layer_shell_v1* layerShell() const { return layerShell_; }
    zwlr_input_inhibit_manager_v1* inputInhibitManager() const { return inputInhibitManager_; }
    zwp_keyboard_shortcuts_inhibit_manager_v1* shortcutsInhibitManager() const {
        return shortcutsInhibitManager_;
    }
    zwlr_screencopy_manager_v1* screencopyManager() const { return screencopyManager_; }
    org_kde_kwin_idle* kdeIdle() const { return kdeIdle_; }
    ext_idle_notifier_v1* idleNotifier() const { return idleNotifier_; }
    // Whether the compositor stacks the overlay-layer surface made last above older ones: KWin
    // (known by its org_kde_plasma_shell) does; wlroots keeps the first on top.
    bool stacksNewestLayerSurfaceOnTop() const { return plasmaShell_; }

    const std::vector<std::unique_ptr<Output>>& outputs() const { return outputs_; }
    Output* findOutput(const std::string& name) const;
    Output* findOutput(wl_output* output) const;
    // The described outputs, in the order the compositor announced them.
    std::vector<WaylandOutputInfo> outputInfos() const;

    // False once the compositor went away or ended the connection with a protocol error.
    bool isConnected() const { return !lost_; }
    // Why the connection ended ("" while connected).
    const std::string& lostReason() const { return lostReason_; }

    void addObserver(Observer* observer);
    void removeObserver(Observer* observer);

    // Sends what was queued; every change made outside event dispatch ends with it.
    void flush();
    // Sends everything and waits for the compositor to have answered all of it, at most
    // `timeout` (blocking the calling thread); false if it did not or the connection is gone.
    bool roundtrip(std::chrono::milliseconds timeout = std::chrono::seconds(2));

    // Called through the event loop once when the connection is lost.
    std::function<void()> onLost;

private:
    WaylandConnection() = default;
    void readEvents();
    void dispatchPending();
    void checkError();
    void bindGlobal(std::uint32_t name, const char* interface, std::uint32_t version);
    void removeGlobal(std::uint32_t name);
    void outputDescribed(Output& output);
    void notifyOutputsChanged();

    static void registryGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                               std::uint32_t version);
    static void registryGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_compositor* compositor_ = nullptr;
    wl_subcompositor* subcompositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    wl_seat* seat_ = nullptr;
    std::uint32_t seatName_ = 0;
    std::uint32_t seatCapabilities_ = 0;
    wp_viewporter* viewporter_ = nullptr;
    zwlr_layer_shell_v1* layerShell_ = nullptr;
    zwlr_input_inhibit_manager_v1* inputInhibitManager_ = nullptr;
    zwp_keyboard_shortcuts_inhibit_manager_v1* shortcutsInhibitManager_ = nullptr;
    zwlr_screencopy_manager_v1* screencopyManager_ = nullptr;
    zxdg_output_manager_v1* xdgOutputManager_ = nullptr;
    org_kde_kwin_idle* kdeIdle_ = nullptr;
    ext_idle_notifier_v1* idleNotifier_ = nullptr;
    bool plasmaShell_ = false;
    std::vector<std::unique_ptr<Output>> outputs_;
    std::vector<Observer*> observers_;
    std::unique_ptr<QObject> context_; // owns the socket notifier and queued calls
    QPointer<QSocketNotifier> notifier_;
    bool lost_ = false;
    std::string lostReason_;
    friend struct WaylandConnectionListeners;
};

} // namespace tolva
