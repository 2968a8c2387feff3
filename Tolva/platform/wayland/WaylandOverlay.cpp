// Cover surfaces per output, the panel sub-surface, and the seat's keyboard and pointer.
#include "platform/wayland/WaylandOverlay.h"

#include "log/Log.h"
#include "platform/wayland/ShmBuffer.h"
#include "platform/wayland/WaylandKeyboard.h"
#include "platform/wayland/WaylandProtocols.h"

#include <QCoreApplication>
#include <QPainter>

#include <algorithm>
#include <cstring>

namespace tolva {

namespace {
constexpr const char* layerNamespace = "tolva-screen";

std::chrono::microseconds since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
}

// How long after `start` the compositor drew a frame it stamped `frameMilliseconds`. wlroots and
// KWin stamp frames with the monotonic clock in milliseconds (the protocol leaves the base open),
// which tells when the frame was drawn even where this process reads the news later; a stamp
// outside the time since `start` has another base, and the news's arrival stands in for it.
std::chrono::microseconds drawnAfter(std::chrono::steady_clock::time_point start,
                                     std::uint32_t frameMilliseconds) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    const auto waited = duration_cast<microseconds>(now - start);
    // In 32-bit milliseconds, as the stamp is, so that its wrapping does not matter.
    const std::uint32_t nowMilliseconds =
        std::uint32_t(duration_cast<milliseconds>(now.time_since_epoch()).count());
    const auto age = milliseconds(std::uint32_t(nowMilliseconds - frameMilliseconds));
    if (age > duration_cast<milliseconds>(waited) + milliseconds(1))
        return waited;
    return std::max(microseconds(0), waited - duration_cast<microseconds>(age));
}

// Copies `image` (any format) into `buffer` as premultiplied ARGB8888, row by row.
void copyInto(const QImage& image, ShmBuffer& buffer) {
    const QImage source = image.format() == QImage::Format_ARGB32_Premultiplied
                              ? image
                              : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const std::size_t rowBytes = std::size_t(std::min(source.width(), buffer.width())) * 4;
    for (int y = 0; y < std::min(source.height(), buffer.height()); ++y)
        std::memcpy(buffer.data() + std::size_t(y) * std::size_t(buffer.stride()), source.constScanLine(y),
                    rowBytes);
}

QImage filled(QSize size, QColor color) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(color);
    return image;
}

// A colour as a buffer of 3×3 pixels, of which the surface shows the middle one stretched over
// `size` (see stretchMiddle). Stretched whole, a buffer would lose its last row and column on
// sway 1.7's software renderer, which samples there past the buffer's edge: around the middle
// pixel lie more of the same colour.
std::unique_ptr<ShmBuffer> swatch(wl_shm* shm, std::uint32_t premultiplied) {
    auto buffer = ShmBuffer::create(shm, 3, 3, WL_SHM_FORMAT_ARGB8888);
    if (!buffer)
        return nullptr;
    for (int y = 0; y < 3; ++y)
        std::fill_n(
            reinterpret_cast<std::uint32_t*>(buffer->data() + std::size_t(y) * std::size_t(buffer->stride())),
            3, premultiplied);
    return buffer;
}

void stretchMiddle(wp_viewport* viewport, QSize size) {
    wp_viewport_set_source(viewport, wl_fixed_from_int(1), wl_fixed_from_int(1), wl_fixed_from_int(1),
                           wl_fixed_from_int(1));
    wp_viewport_set_destination(viewport, size.width(), size.height());
}
} // namespace

// One output's cover: its surface and role objects, and the panel when it is shown there.
struct WaylandOverlay::Surface {
    WaylandOverlay* overlay = nullptr;
    std::string output;
    wl_output* outputProxy = nullptr;
    int scale = 1;
    wl_surface* surface = nullptr;
    zwlr_layer_surface_v1* layer = nullptr;
    zwp_keyboard_shortcuts_inhibitor_v1* shortcutsInhibitor = nullptr;
    wl_callback* frame = nullptr;
    // Set while the surface shows a colour stretched from a swatch.
    wp_viewport* viewport = nullptr;
    bool stretched = false;
    QSize size;
    bool configured = false;
    bool prepared = false; // made before the cover, unmapped until it is asked for
    bool shown = false;
    bool raised = false;  // made again by raise(): its first frame is no news
    int redrawFrames = 0; // frames left on which to draw the cover again after a resize
    std::chrono::steady_clock::time_point created;

    wl_surface* panelSurface = nullptr;
    wl_subsurface* panelSubsurface = nullptr;
    std::vector<std::unique_ptr<ShmBuffer>> panelBuffers;
    QPoint panelPosition;

    // The breathing dimness: black at some opacity over the cover, beneath the panel.
    wl_surface* dimSurface = nullptr;
    wl_subsurface* dimSubsurface = nullptr;
    wp_viewport* dimViewport = nullptr;
    int dimStep = 0; // shown, in 1/255
    QSize dimSize;

    void dropDim() {
        if (dimViewport)
            wp_viewport_destroy(dimViewport);
        if (dimSubsurface)
            wl_subsurface_destroy(dimSubsurface);
        if (dimSurface)
            wl_surface_destroy(dimSurface);
        dimViewport = nullptr;
        dimSubsurface = nullptr;
        dimSurface = nullptr;
        dimStep = 0;
    }

    ~Surface() {
        if (frame)
            wl_callback_destroy(frame);
        dropDim();
        if (viewport)
            wp_viewport_destroy(viewport);
        if (panelSubsurface)
            wl_subsurface_destroy(panelSubsurface);
        if (panelSurface)
            wl_surface_destroy(panelSurface);
        panelBuffers.clear();
        if (shortcutsInhibitor)
            zwp_keyboard_shortcuts_inhibitor_v1_destroy(shortcutsInhibitor);
        if (layer)
            zwlr_layer_surface_v1_destroy(layer);
        if (surface)
            wl_surface_destroy(surface);
    }
};

// The buffers of the cover's content, made once and attached to every surface that shows them.
struct WaylandOverlay::Buffers {
    struct Kept {
        QSize size;
        std::unique_ptr<ShmBuffer> buffer;
    };
    // A picture by output name; a colour by its pixel size, shared by the outputs of that size.
    std::map<std::string, Kept> byOutput;
    // The swatch of a colour (by its premultiplied pixel), stretched over every output that shows
    // it: the cover's colour, and black at each opacity (in 1/255) the dimness has shown. Never
    // written again, so any surface may show it.
    std::map<std::uint32_t, std::unique_ptr<ShmBuffer>> swatches;
    // Buffers replaced since the last commit, which the surface still shows until then.
    std::vector<std::unique_ptr<ShmBuffer>> retired;
};

// The seat's devices, made again whenever its capabilities change.
struct WaylandOverlay::Input {
    std::unique_ptr<WaylandKeyboard> keyboard;
    wl_pointer* pointer = nullptr;
    wl_surface* pointerSurface = nullptr;
    QPointF pointerPosition;
    bool takeBackQueued = false;
    std::chrono::steady_clock::time_point takeBackWindow;
    int takeBacks = 0;
    // When the cover last lost the keyboard, while it is away; for the log of how long it was.
    std::optional<std::chrono::steady_clock::time_point> lostAt;
    bool tookBack = false;                                  // asked for it since it was lost
    std::optional<std::pair<std::string, QPoint>> reported; // the last pointer position told

    ~Input() { releasePointer(); }
    void releasePointer() {
        if (pointer)
            wl_pointer_get_version(pointer) >= 3 ? wl_pointer_release(pointer) : wl_pointer_destroy(pointer);
        pointer = nullptr;
        pointerSurface = nullptr;
    }
};

struct WaylandOverlayListeners {
    using Surface = WaylandOverlay::Surface;
    static Surface& of(void* data) { return *static_cast<Surface*>(data); }

    static void configure(void* data, zwlr_layer_surface_v1*, uint32_t serial, uint32_t width,
                          uint32_t height) {
        of(data).overlay->configured(of(data), serial, int(width), int(height));
    }
    static void closed(void* data, zwlr_layer_surface_v1*) { of(data).overlay->closed(of(data)); }
    static constexpr zwlr_layer_surface_v1_listener layer = {.configure = configure, .closed = closed};

    // A user may have told the compositor to refuse the inhibitor (sway: `seat * shortcuts_inhibitor
    // disable`); then its shortcuts work over the cover, which the log should say.
    static void shortcutsActive(void* data, zwp_keyboard_shortcuts_inhibitor_v1*) {
        Log::input.debug("Wayland: compositor shortcuts are inhibited on " + of(data).output);
    }
    static void shortcutsInactive(void* data, zwp_keyboard_shortcuts_inhibitor_v1*) {
        Log::input.error("Wayland: the compositor does not inhibit its shortcuts on " + of(data).output);
    }
    static constexpr zwp_keyboard_shortcuts_inhibitor_v1_listener shortcutsInhibitor = {
        .active = shortcutsActive,
        .inactive = shortcutsInactive,
    };

    static void frameDone(void* data, wl_callback*, uint32_t milliseconds) {
        of(data).overlay->framePresented(of(data), milliseconds);
    }
    static constexpr wl_callback_listener frame = {.done = frameDone};

    static WaylandOverlay& overlay(void* data) { return *static_cast<WaylandOverlay*>(data); }
    static void pointerEnter(void* data, wl_pointer*, uint32_t, wl_surface* surface, wl_fixed_t x,
                             wl_fixed_t y) {
        overlay(data).pointerAt(surface, wl_fixed_to_double(x), wl_fixed_to_double(y));
    }
    static void pointerLeave(void* data, wl_pointer*, uint32_t, wl_surface*) {
        overlay(data).input_->pointerSurface = nullptr;
    }
    static void pointerMotion(void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
        overlay(data).pointerAt(overlay(data).input_->pointerSurface, wl_fixed_to_double(x),
                                wl_fixed_to_double(y));
    }
    static void pointerButton(void* data, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
        auto& self = overlay(data);
        Surface* surface = self.surfaceOf(self.input_->pointerSurface);
        if (surface == nullptr || !self.onPointerButton)
            return;
        QPoint position = self.input_->pointerPosition.toPoint();
        if (self.input_->pointerSurface == surface->panelSurface)
            position += surface->panelPosition;
        const bool pressed = state == WL_POINTER_BUTTON_STATE_PRESSED;
        self.post([&self, output = surface->output, position, button, pressed] {
            if (self.onPointerButton)
                self.onPointerButton(output, position, button, pressed);
        });
    }
    static void pointerAxis(void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {}
    static void pointerFrame(void*, wl_pointer*) {}
    static void pointerAxisSource(void*, wl_pointer*, uint32_t) {}
    static void pointerAxisStop(void*, wl_pointer*, uint32_t, uint32_t) {}
    static void pointerAxisDiscrete(void*, wl_pointer*, uint32_t, int32_t) {}
    static constexpr wl_pointer_listener pointer = {
        .enter = pointerEnter,
        .leave = pointerLeave,
        .motion = pointerMotion,
        .button = pointerButton,
        .axis = pointerAxis,
        .frame = pointerFrame,
        .axis_source = pointerAxisSource,
        .axis_stop = pointerAxisStop,
        .axis_discrete = pointerAxisDiscrete,
        .axis_value120 = nullptr, // version 8; the seat is bound at 7
    };
};

WaylandOverlay::WaylandOverlay(std::shared_ptr<WaylandConnection> connection, Scheduler& scheduler)
    : connection_(std::move(connection)), scheduler_(scheduler), context_(std::make_unique<QObject>()),
      input_(std::make_unique<Input>()), buffers_(std::make_unique<Buffers>()) {
    connection_->addObserver(this);
    seatCapabilitiesChanged(connection_->seatCapabilities());
    connection_->flush();
}

WaylandOverlay::~WaylandOverlay() {
    redrawLater_.clear();
    takeBackLater_.cancel();
    keyboardWatch_.cancel();
    keyboardCheck_.cancel();
    raiseTimer_.cancel();
    context_.reset();
    prepares_ = false;
    uncover();
    surfaces_.clear();
    input_.reset();
    buffers_.reset();
    connection_->removeObserver(this);
    connection_->flush();
}

std::string WaylandOverlay::unavailableReason(const WaylandConnection& connection) {
    if (!connection.isConnected())
        return "the connection to the compositor ended (" + connection.lostReason() + ")";
    if (connection.layerShell() == nullptr)
        return "the compositor offers no layer-shell (zwlr_layer_shell_v1)";
    if (connection.compositor() == nullptr || connection.shm() == nullptr)
        return "the compositor offers no wl_compositor or wl_shm";
    return {};
}

bool WaylandOverlay::isAvailable(const WaylandConnection& connection) {
    return unavailableReason(connection).empty();
}

bool WaylandOverlay::isAvailable() const {
    return isAvailable(*connection_);
}

std::vector<WaylandOutputInfo> WaylandOverlay::outputs() const {
    return connection_->outputInfos();
}

bool WaylandOverlay::cover(const CoverContent& content) {
    if (const auto reason = unavailableReason(*connection_); !reason.empty()) {
        Log::lock.error(logPrefix_ + "Wayland: cannot cover the screen: " + reason);
        return false;
    }
    if (covered_) {
        if (!(content == content_)) {
            // New content: draw it, attach it where configured, and only then let the old
            // buffers go, so no surface is left showing a destroyed one.
            content_ = content;
            const auto old = std::move(buffers_->byOutput);
            buffers_->byOutput.clear();
            for (auto& surface : surfaces_)
                if (surface->configured) {
                    attachContent(*surface);
                    wl_surface_commit(surface->surface);
                }
            connection_->flush();
        }
        return true;
    }
    content_ = content;
    covered_ = true;
    coverStart_ = std::chrono::steady_clock::now();
    // Surfaces made beforehand only wait for their content: they show on the compositor's next
    // frame, where a new one would first be configured, and wait for the frame after.
    // (KWin, which puts the newest surface on top, takes the newest mapped: these show above
    // another client's surface made since.)
    for (auto& surface : surfaces_)
        mapPrepared(*surface);
    for (const auto& output : connection_->outputs())
        if (output->done)
            createSurface(*output, coverStart_);
    // With the input inhibitor, --locked bindings and other clients get no input; only one client
    // may hold it, and the compositor ends the connection of a second one. It goes in the same
    // batch as the surfaces: the focus it moves and the cover are then drawn in one frame.
    if (inhibitsInput_)
        setInhibitsInput(true);
    connection_->flush();
    Log::lock.info(logPrefix_ + "Wayland: covering " + std::to_string(surfaces_.size()) + " outputs");
    // The compositor gives an exclusive surface the keyboard as it maps, but KWin may not (a
    // window it activates meanwhile, keys of the shortcut that locked still held): look again
    // now and then, and take it when it is elsewhere.
    keyboardWatch_ = scheduler_.every(Seconds(1), [this] { checkKeyboard(); });
    // Where the compositor puts the newest overlay-layer surface on top, another client's
    // (a notification, say) would cover ours without taking the keyboard, and nothing tells us:
    // ours are made again, above it, every second.
    if (connection_->stacksNewestLayerSurfaceOnTop())
        raiseTimer_ = scheduler_.every(Seconds(1), [this] { raise(); });
    return true;
}

void WaylandOverlay::setInhibitsInput(bool inhibit) {
    inhibitsInput_ = inhibit;
    if (inhibit && covered_ && !inputInhibitor_) {
        if (auto* manager = connection_->inputInhibitManager())
            inputInhibitor_ = zwlr_input_inhibit_manager_v1_get_inhibitor(manager);
    } else if (!inhibit && inputInhibitor_) {
        zwlr_input_inhibitor_v1_destroy(inputInhibitor_);
        inputInhibitor_ = nullptr;
    }
    connection_->flush();
}

void WaylandOverlay::setKeepsKeyboard(bool keep) {
    keepsKeyboard_ = keep;
    if (keep && covered_)
        takeKeyboardBack();
}

void WaylandOverlay::uncover() {
    if (!covered_)
        return;
    covered_ = false;
    redrawLater_.clear();
    takeBackLater_.cancel();
    keyboardWatch_.cancel();
    keyboardCheck_.cancel();
    raiseTimer_.cancel();
    surfaces_.clear();
    replaced_.clear();
    prepareSurfaces();
    input_->lostAt.reset();
    input_->reported.reset();
    if (inputInhibitor_)
        zwlr_input_inhibitor_v1_destroy(inputInhibitor_);
    inputInhibitor_ = nullptr;
    buffers_->byOutput.clear();
    buffers_->retired.clear();
    drawnOften_ = false; // and with a colour stretched
    panel_.reset();      // the next cover starts without one
    dim_ = 0;            // and undimmed
    connection_->flush();
}

bool WaylandOverlay::hasKeyboardFocus() const {
    return input_->keyboard && surfaceOf(input_->keyboard->focus()) != nullptr;
}

void WaylandOverlay::setPrepares(bool prepares) {
    prepares_ = prepares;
    if (covered_)
        return;
    if (prepares)
        prepareSurfaces();
    else
        surfaces_.clear();
    connection_->flush();
}

void WaylandOverlay::prepareSurfaces() {
    if (!prepares_ || covered_ || !isAvailable())
        return;
    for (const auto& output : connection_->outputs())
        if (output->done)
            createSurface(*output, std::chrono::steady_clock::now());
}

void WaylandOverlay::mapPrepared(Surface& surface) {
    if (!surface.prepared)
        return;
    surface.prepared = false;
    surface.created = coverStart_;
    takeKeyboardAndShortcuts(surface);
    if (!surface.configured) {
        wl_surface_commit(surface.surface); // the configure to come draws it
        return;
    }
    surface.scale = outputScale(surface);
    showContent(surface);
}

void WaylandOverlay::takeKeyboardAndShortcuts(Surface& surface) {
    zwlr_layer_surface_v1_set_keyboard_interactivity(surface.layer,
                                                     ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_EXCLUSIVE);
    // Without it sway still runs bindings marked --inhibited while we have the keyboard.
    if (connection_->shortcutsInhibitManager() && connection_->seat() && !surface.shortcutsInhibitor) {
        surface.shortcutsInhibitor = zwp_keyboard_shortcuts_inhibit_manager_v1_inhibit_shortcuts(
            connection_->shortcutsInhibitManager(), surface.surface, connection_->seat());
        zwp_keyboard_shortcuts_inhibitor_v1_add_listener(
            surface.shortcutsInhibitor, &WaylandOverlayListeners::shortcutsInhibitor, &surface);
    }
}

void WaylandOverlay::createSurface(WaylandConnection::Output& output,
                                   std::chrono::steady_clock::time_point asked) {
    if (std::any_of(surfaces_.begin(), surfaces_.end(),
                    [&](const auto& s) { return s->output == output.info.name; }))
        return;
    auto surface = std::make_unique<Surface>();
    surface->overlay = this;
    surface->output = output.info.name;
    surface->outputProxy = output.output;
    surface->scale = std::max(1, output.info.scale);
    surface->created = asked;
    surface->surface = wl_compositor_create_surface(connection_->compositor());
    surface->layer =
        zwlr_layer_shell_v1_get_layer_surface(connection_->layerShell(), surface->surface, output.output,
                                              ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, layerNamespace);
    zwlr_layer_surface_v1_add_listener(surface->layer, &WaylandOverlayListeners::layer, surface.get());
    zwlr_layer_surface_v1_set_anchor(
        surface->layer, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                            ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
    zwlr_layer_surface_v1_set_exclusive_zone(surface->layer, -1); // over panels and bars too
    // A surface made beforehand asks for nothing until it shows: no keyboard, no shortcuts.
    surface->prepared = !covered_;
    if (!surface->prepared)
        takeKeyboardAndShortcuts(*surface);
    wl_surface_commit(surface->surface); // the first commit, without a buffer, asks for a configure
    surfaces_.push_back(std::move(surface));
}

void WaylandOverlay::destroySurface(const std::string& outputName) {
    surfaces_.erase(std::remove_if(surfaces_.begin(), surfaces_.end(),
                                   [&](const auto& surface) { return surface->output == outputName; }),
                    surfaces_.end());
    dropReplaced(outputName);
    buffers_->byOutput.erase(outputName);
}

void WaylandOverlay::configured(Surface& surface, std::uint32_t serial, int width, int height) {
    zwlr_layer_surface_v1_ack_configure(surface.layer, serial);
    if (width <= 0 || height <= 0) {
        const auto* output = connection_->findOutput(surface.outputProxy);
        width = output ? output->info.geometry.width() : 1;
        height = output ? output->info.geometry.height() : 1;
    }
    const QSize size(width, height);
    if (surface.prepared) {
        // Acknowledged now, taken up by the commit that shows it.
        surface.configured = true;
        surface.size = size;
        return;
    }
    const bool first = !surface.configured;
    surface.configured = true;
    const int scale = outputScale(surface);
    // A configure that changes nothing is only acknowledged: sway answers every commit of a
    // layer surface with a configure of all of them, and committing on each would keep the two
    // outputs' covers trading configures, and the compositor drawing, for many rounds.
    if (!first && size == surface.size && scale == surface.scale)
        return;
    surface.size = size;
    surface.scale = scale;
    if (first) {
        showContent(surface);
        return;
    }
    // sway 1.7 can draw the frame of an output that just grew before our buffer of the new size,
    // and then leave the part it added undrawn, whatever we damage while it still takes the output
    // for its old size: after a resize the cover is drawn again on the next frames and once more
    // a little later.
    surface.redrawFrames = 3;
    redrawLater_[surface.output] =
        scheduler_.schedule(Seconds(0.5), [this, output = surface.output] { redraw(output); });
    attachContent(surface);
    askForFrame(surface);
    wl_surface_commit(surface.surface);
    showDim(surface);
}

void WaylandOverlay::showContent(Surface& surface) {
    attachContent(surface);
    askForFrame(surface);
    wl_surface_commit(surface.surface);
    if (panel_ && panel_->output == surface.output)
        showPanel(surface);
    showDim(surface);
}

void WaylandOverlay::askForFrame(Surface& surface) {
    if (surface.frame != nullptr)
        return;
    surface.frame = wl_surface_frame(surface.surface);
    wl_callback_add_listener(surface.frame, &WaylandOverlayListeners::frame, &surface);
}

void WaylandOverlay::setDrawnOften(bool often) {
    if (often == drawnOften_)
        return;
    drawnOften_ = often;
    for (auto& surface : surfaces_)
        if (surface->configured && !surface->prepared) {
            attachContent(*surface);
            wl_surface_commit(surface->surface);
        }
    connection_->flush();
}

void WaylandOverlay::setDim(double opacity) {
    dim_ = std::clamp(opacity, 0.0, 1.0);
    for (auto& surface : surfaces_)
        if (surface->configured)
            showDim(*surface);
    connection_->flush();
}

void WaylandOverlay::showDim(Surface& surface) {
    const int step = int(std::lround(dim_ * 255));
    if (step == surface.dimStep && surface.dimSize == surface.size)
        return;
    if (step == 0) {
        if (surface.dimSurface != nullptr) {
            surface.dropDim();
            wl_surface_commit(surface.surface);
        }
        return;
    }
    if (connection_->viewporter() == nullptr || connection_->subcompositor() == nullptr)
        return;
    ShmBuffer* buffer = swatchOf(std::uint32_t(step) << 24); // premultiplied black
    if (buffer == nullptr)
        return;
    bool commitParent = false;
    if (surface.dimSurface == nullptr) {
        surface.dimSurface = wl_compositor_create_surface(connection_->compositor());
        surface.dimSubsurface = wl_subcompositor_get_subsurface(connection_->subcompositor(),
                                                                surface.dimSurface, surface.surface);
        wl_subsurface_set_desync(surface.dimSubsurface);
        if (surface.panelSurface)
            wl_subsurface_place_below(surface.dimSubsurface, surface.panelSurface);
        // Clicks and motion go through it to the cover.
        wl_region* none = wl_compositor_create_region(connection_->compositor());
        wl_surface_set_input_region(surface.dimSurface, none);
        wl_region_destroy(none);
        surface.dimViewport = wp_viewporter_get_viewport(connection_->viewporter(), surface.dimSurface);
        commitParent = true;
    }
    if (surface.dimSize != surface.size) {
        surface.dimSize = surface.size;
        stretchMiddle(surface.dimViewport, surface.size);
    }
    wl_surface_attach(surface.dimSurface, buffer->buffer(), 0, 0);
    wl_surface_damage(surface.dimSurface, 0, 0, surface.size.width(), surface.size.height());
    wl_surface_commit(surface.dimSurface);
    surface.dimStep = step;
    if (commitParent)
        wl_surface_commit(surface.surface);
}

ShmBuffer* WaylandOverlay::swatchOf(std::uint32_t premultiplied) {
    auto& kept = buffers_->swatches[premultiplied];
    if (!kept)
        kept = swatch(connection_->shm(), premultiplied);
    return kept.get();
}

void WaylandOverlay::attachContent(Surface& surface) {
    const bool image = content_.kind == CoverContent::Kind::images && content_.images.count(surface.output) &&
                       !content_.images.at(surface.output).isNull();
    QColor color = content_.color;
    if (content_.kind == CoverContent::Kind::solidColor)
        color.setAlpha(255);
    buffers_->retired.clear(); // the commits since they were replaced have shown their successors
    ShmBuffer* buffer = nullptr;
    if (!image && !drawnOften_ && connection_->viewporter() != nullptr) {
        // A colour is a few pixels stretched by the compositor, however large the output.
        buffer = swatchOf(qPremultiply(color.rgba()));
        if (buffer != nullptr) {
            if (surface.viewport == nullptr)
                surface.viewport = wp_viewporter_get_viewport(connection_->viewporter(), surface.surface);
            stretchMiddle(surface.viewport, surface.size);
            surface.stretched = true;
            wl_surface_attach(surface.surface, buffer->buffer(), 0, 0);
            wl_surface_set_buffer_scale(surface.surface, 1);
        }
    }
    if (buffer == nullptr) {
        buffer = pixelBuffer(surface, image, color);
        if (buffer == nullptr) {
            Log::lock.error(logPrefix_ + "Wayland: no shared memory for the cover of " + surface.output);
            return;
        }
        if (surface.stretched) {
            // Back to one buffer pixel per output pixel.
            wp_viewport_set_source(surface.viewport, wl_fixed_from_int(-1), wl_fixed_from_int(-1),
                                   wl_fixed_from_int(-1), wl_fixed_from_int(-1));
            wp_viewport_set_destination(surface.viewport, -1, -1);
            surface.stretched = false;
        }
        wl_surface_attach(surface.surface, buffer->buffer(), 0, 0);
        wl_surface_set_buffer_scale(surface.surface, surface.scale);
    }
    buffer->markBusy();
    wl_surface_damage(surface.surface, 0, 0, surface.size.width(), surface.size.height());
    // An opaque cover lets the compositor skip drawing what lies beneath it.
    if (color.alpha() == 255 || (image && !content_.images.at(surface.output).hasAlphaChannel())) {
        wl_region* region = wl_compositor_create_region(connection_->compositor());
        wl_region_add(region, 0, 0, surface.size.width(), surface.size.height());
        wl_surface_set_opaque_region(surface.surface, region);
        wl_region_destroy(region);
    } else {
        wl_surface_set_opaque_region(surface.surface, nullptr);
    }
}

ShmBuffer* WaylandOverlay::pixelBuffer(const Surface& surface, bool image, QColor color) {
    // A picture, or a colour where the compositor cannot stretch one, at the output's full pixel
    // size; kept for as long as the size holds: a picture is scaled once, a colour filled once.
    const QSize pixels = surface.size * surface.scale;
    const std::string key =
        image ? surface.output
              : "colour " + std::to_string(pixels.width()) + "x" + std::to_string(pixels.height());
    auto& kept = buffers_->byOutput[key];
    if (kept.buffer && kept.size == pixels)
        return kept.buffer.get();
    if (kept.buffer)
        buffers_->retired.push_back(std::move(kept.buffer));
    kept.size = pixels;
    kept.buffer =
        ShmBuffer::create(connection_->shm(), pixels.width(), pixels.height(), WL_SHM_FORMAT_ARGB8888);
    if (kept.buffer && image) {
        // A translucent fallback (the live tint) is already in a translucent picture: under it
        // lies the live screen, not the fallback a second time.
        QImage picture = filled(pixels, color.alpha() == 255 ? color : QColor(Qt::transparent));
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(QPoint(), pixels), content_.images.at(surface.output));
        painter.end();
        copyInto(picture, *kept.buffer);
    } else if (kept.buffer) {
        const std::uint32_t pixel = qPremultiply(color.rgba());
        for (int y = 0; y < pixels.height(); ++y)
            std::fill_n(reinterpret_cast<std::uint32_t*>(kept.buffer->data() +
                                                         std::size_t(y) * std::size_t(kept.buffer->stride())),
                        pixels.width(), pixel);
    }
    return kept.buffer.get();
}

void WaylandOverlay::framePresented(Surface& surface, std::uint32_t frameMilliseconds) {
    wl_callback_destroy(surface.frame);
    surface.frame = nullptr;
    if (surface.redrawFrames > 0) {
        if (--surface.redrawFrames > 0)
            askForFrame(surface);
        attachContent(surface);
        wl_surface_commit(surface.surface);
        connection_->flush();
    }
    if (surface.shown)
        return;
    surface.shown = true;
    dropReplaced(surface.output);
    connection_->flush();
    keyboardCheck_ = scheduler_.schedule(Seconds(0.05), [this] { checkKeyboard(); });
    if (surface.raised)
        return;
    const auto elapsed = drawnAfter(surface.created, frameMilliseconds);
    Log::lock.info(logPrefix_ + "Wayland: " + surface.output + " covered after " +
                   std::to_string(elapsed.count() / 1000.0) + " ms");
    post([this, output = surface.output, elapsed] {
        if (onCoverShown)
            onCoverShown(output, elapsed);
    });
}

void WaylandOverlay::redraw(const std::string& output) {
    for (auto& surface : surfaces_) {
        if (surface->output == output && surface->configured) {
            attachContent(*surface);
            wl_surface_commit(surface->surface);
            connection_->flush();
        }
    }
}

void WaylandOverlay::closed(Surface& surface) {
    // The compositor took the surface away (its output is going, or it was told to close it):
    // make it again once the events of this batch have said whether the output is still there.
    const auto old =
        std::find_if(replaced_.begin(), replaced_.end(), [&](const auto& r) { return r.get() == &surface; });
    if (old != replaced_.end()) {
        replaced_.erase(old); // its successor is already there
        return;
    }
    const std::string output = surface.output;
    Log::lock.info(logPrefix_ + "Wayland: the compositor closed the cover of " + output);
    destroySurface(output);
    QMetaObject::invokeMethod(
        context_.get(),
        [this, output] {
            if (!covered_ && !prepares_)
                return;
            if (auto* described = connection_->findOutput(output)) {
                createSurface(*described, std::chrono::steady_clock::now());
                connection_->flush();
            }
        },
        Qt::QueuedConnection);
}

void WaylandOverlay::outputAdded(WaylandConnection::Output& output) {
    if (covered_ || prepares_)
        createSurface(output, std::chrono::steady_clock::now());
}

void WaylandOverlay::outputRemoved(WaylandConnection::Output& output) {
    destroySurface(output.info.name);
}

int WaylandOverlay::outputScale(const Surface& surface) const {
    const auto* output = connection_->findOutput(surface.outputProxy);
    return output ? std::max(1, output->info.scale) : surface.scale;
}

void WaylandOverlay::outputsChanged() {
    // A new scale may come without a new logical size, so without a configure: draw again at it.
    for (auto& surface : surfaces_) {
        if (surface->configured && outputScale(*surface) != surface->scale) {
            surface->scale = outputScale(*surface);
            attachContent(*surface);
            wl_surface_commit(surface->surface);
        }
    }
    post([this] {
        if (onOutputsChanged)
            onOutputsChanged();
    });
}

void WaylandOverlay::connectionLost() {
    post([this] {
        if (onConnectionLost)
            onConnectionLost();
    });
}

void WaylandOverlay::seatCapabilitiesChanged(std::uint32_t capabilities) {
    // A keyboard coming or going (a virtual one too) announces the capabilities again; the old
    // wl_keyboard may then stay silent, so a new one is taken every time.
    input_->keyboard.reset();
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && connection_->seat()) {
        input_->keyboard = std::make_unique<WaylandKeyboard>(connection_->seat());
        input_->keyboard->onKey = [this](const KeyEvent& event) {
            post([this, event] {
                if (onKey)
                    onKey(event);
            });
        };
        input_->keyboard->onLeave = [this](wl_surface* surface) { keyboardLeft(surface); };
        input_->keyboard->onEnter = [this](wl_surface* surface) { keyboardEntered(surface); };
    }
    const bool pointer = (capabilities & WL_SEAT_CAPABILITY_POINTER) && connection_->seat();
    if (pointer && input_->pointer == nullptr) {
        input_->pointer = wl_seat_get_pointer(connection_->seat());
        wl_pointer_add_listener(input_->pointer, &WaylandOverlayListeners::pointer, this);
    } else if (!pointer) {
        input_->releasePointer();
    }
}

void WaylandOverlay::keyboardLeft(wl_surface* surface) {
    if (!covered_ || !keepsKeyboard_ || surfaceOf(surface) == nullptr || input_->takeBackQueued)
        return;
    if (!input_->lostAt)
        input_->lostAt = std::chrono::steady_clock::now();
    // Focus moving between our own surfaces (an output came) leaves and enters in one batch:
    // decide after the batch.
    input_->takeBackQueued = true;
    QMetaObject::invokeMethod(
        context_.get(), [this] { takeKeyboardBack(); }, Qt::QueuedConnection);
}

void WaylandOverlay::keyboardEntered(wl_surface* surface) {
    if (surfaceOf(surface) == nullptr)
        return;
    if (input_->lostAt && input_->tookBack && covered_)
        Log::input.info("Wayland: the keyboard is back after " +
                        std::to_string(since(*input_->lostAt).count() / 1000.0) + " ms");
    input_->lostAt.reset();
    input_->tookBack = false;
}

void WaylandOverlay::checkKeyboard() {
    if (!covered_ || !input_->keyboard || hasKeyboardFocus() || input_->takeBackQueued || surfaces_.empty() ||
        !std::all_of(surfaces_.begin(), surfaces_.end(), [](const auto& surface) { return surface->shown; }))
        return;
    if (!input_->lostAt)
        input_->lostAt = std::chrono::steady_clock::now();
    takeKeyboardBack();
}

void WaylandOverlay::takeKeyboardBack() {
    input_->takeBackQueued = false;
    if (!covered_ || !keepsKeyboard_ || hasKeyboardFocus() || !input_->keyboard) {
        input_->lostAt.reset(); // between our own surfaces, or no longer needed
        return;
    }
    // Another client that takes the keyboard back each time it loses it (a second overlay) would
    // make this a loop that floods both: at most ten times a second.
    const auto now = std::chrono::steady_clock::now();
    if (now - input_->takeBackWindow > std::chrono::seconds(1)) {
        input_->takeBackWindow = now;
        input_->takeBacks = 0;
    }
    if (++input_->takeBacks > 10) {
        if (input_->takeBacks == 11)
            Log::input.error("Wayland: another client keeps taking the keyboard; trying again in a second");
        takeBackLater_ = scheduler_.schedule(Seconds(1), [this] { takeKeyboardBack(); });
        return;
    }
    Log::input.info("Wayland: the keyboard is with another surface; taking it back");
    input_->tookBack = true;
    for (auto& surface : surfaces_) {
        zwlr_layer_surface_v1_set_keyboard_interactivity(surface->layer,
                                                         ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
        wl_surface_commit(surface->surface);
        zwlr_layer_surface_v1_set_keyboard_interactivity(
            surface->layer, ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_EXCLUSIVE);
        wl_surface_commit(surface->surface);
    }
    connection_->flush();
}

void WaylandOverlay::raise() {
    // A surface still waiting for its first frame stays: it is already the newest.
    if (!covered_ || !keepsKeyboard_ || !connection_->stacksNewestLayerSurfaceOnTop() || !replaced_.empty() ||
        std::any_of(surfaces_.begin(), surfaces_.end(), [](const auto& surface) { return !surface->shown; }))
        return;
    for (auto& surface : surfaces_)
        replaced_.push_back(std::move(surface));
    surfaces_.clear();
    const auto now = std::chrono::steady_clock::now();
    for (const auto& output : connection_->outputs())
        if (output->done)
            createSurface(*output, now);
    for (auto& surface : surfaces_)
        surface->raised = true;
    connection_->flush();
}

void WaylandOverlay::dropReplaced(const std::string& output) {
    for (const auto& surface : replaced_)
        if (surface->output == output && input_->pointerSurface &&
            (input_->pointerSurface == surface->surface || input_->pointerSurface == surface->panelSurface))
            input_->pointerSurface = nullptr;
    replaced_.erase(std::remove_if(replaced_.begin(), replaced_.end(),
                                   [&](const auto& surface) { return surface->output == output; }),
                    replaced_.end());
}

void WaylandOverlay::pointerAt(wl_surface* surface, double x, double y) {
    input_->pointerSurface = surface;
    input_->pointerPosition = QPointF(x, y);
    Surface* cover = surfaceOf(surface);
    if (cover == nullptr)
        return;
    QPoint position = QPointF(x, y).toPoint();
    if (surface == cover->panelSurface)
        position += cover->panelPosition;
    // A surface made again under a pointer that stood still is entered where the pointer was:
    // no motion to report.
    if (input_->reported && input_->reported->first == cover->output && input_->reported->second == position)
        return;
    input_->reported = std::make_pair(cover->output, position);
    post([this, output = cover->output, position] {
        if (onPointerMotion)
            onPointerMotion(output, position);
    });
}

WaylandOverlay::Surface* WaylandOverlay::surfaceOf(wl_surface* surface) const {
    if (surface == nullptr)
        return nullptr;
    for (const auto& cover : surfaces_)
        if (cover->surface == surface || cover->panelSurface == surface)
            return cover.get();
    return nullptr;
}

void WaylandOverlay::setPanel(const std::string& outputName, const QImage& panel, QPoint topLeft) {
    if (panel_ && panel_->output != outputName)
        for (auto& surface : surfaces_)
            if (surface->output == panel_->output)
                hidePanel(*surface);
    panel_ = Panel{outputName, panel, topLeft};
    for (auto& surface : surfaces_)
        if (surface->output == outputName && surface->configured)
            showPanel(*surface);
    connection_->flush();
}

void WaylandOverlay::clearPanel() {
    if (!panel_)
        return;
    for (auto& surface : surfaces_)
        if (surface->output == panel_->output)
            hidePanel(*surface);
    panel_.reset();
    connection_->flush();
}

void WaylandOverlay::showPanel(Surface& surface) {
    if (panel_->image.isNull() || connection_->subcompositor() == nullptr)
        return;
    bool commitParent = false;
    if (surface.panelSurface == nullptr) {
        surface.panelSurface = wl_compositor_create_surface(connection_->compositor());
        surface.panelSubsurface = wl_subcompositor_get_subsurface(connection_->subcompositor(),
                                                                  surface.panelSurface, surface.surface);
        // Its own commits show at once; the cover beneath is never drawn again for it.
        wl_subsurface_set_desync(surface.panelSubsurface);
        surface.panelPosition = QPoint(INT32_MIN, INT32_MIN);
        commitParent = true;
    }
    if (surface.panelPosition != panel_->topLeft) {
        surface.panelPosition = panel_->topLeft;
        wl_subsurface_set_position(surface.panelSubsurface, panel_->topLeft.x(), panel_->topLeft.y());
        commitParent = true; // the position is the parent's state
    }
    // A buffer the compositor is done with, or a new one; at most three in flight.
    const QSize size = panel_->image.size();
    ShmBuffer* buffer = nullptr;
    for (auto& candidate : surface.panelBuffers)
        if (!candidate->busy() && candidate->width() == size.width() && candidate->height() == size.height())
            buffer = candidate.get();
    if (buffer == nullptr) {
        auto& buffers = surface.panelBuffers;
        buffers.erase(std::remove_if(buffers.begin(), buffers.end(),
                                     [&](const auto& b) {
                                         return !b->busy() &&
                                                (b->width() != size.width() || b->height() != size.height());
                                     }),
                      buffers.end());
        if (buffers.size() >= 3)
            buffers.erase(buffers.begin()); // the compositor kept the oldest too long: let it go
        buffers.push_back(
            ShmBuffer::create(connection_->shm(), size.width(), size.height(), WL_SHM_FORMAT_ARGB8888));
        buffer = buffers.back().get();
        if (buffer == nullptr) {
            buffers.pop_back();
            Log::ui.error("Wayland: no shared memory for the panel");
            return;
        }
    }
    copyInto(panel_->image, *buffer);
    // A panel rendered for a high-density output says so with its device pixel ratio.
    wl_surface_set_buffer_scale(surface.panelSurface, std::max(1, qRound(panel_->image.devicePixelRatio())));
    wl_surface_attach(surface.panelSurface, buffer->buffer(), 0, 0);
    buffer->markBusy();
    if (wl_surface_get_version(surface.panelSurface) >= 4)
        wl_surface_damage_buffer(surface.panelSurface, 0, 0, buffer->width(), buffer->height());
    else
        wl_surface_damage(surface.panelSurface, 0, 0, buffer->width(), buffer->height());
    wl_surface_commit(surface.panelSurface);
    if (commitParent)
        wl_surface_commit(surface.surface);
}

void WaylandOverlay::hidePanel(Surface& surface) {
    if (input_->pointerSurface && input_->pointerSurface == surface.panelSurface)
        input_->pointerSurface = nullptr;
    if (surface.panelSubsurface)
        wl_subsurface_destroy(surface.panelSubsurface);
    if (surface.panelSurface)
        wl_surface_destroy(surface.panelSurface);
    surface.panelSubsurface = nullptr;
    surface.panelSurface = nullptr;
    surface.panelBuffers.clear();
    wl_surface_commit(surface.surface);
}

void WaylandOverlay::post(std::function<void()> call) {
    if (!context_)
        return; // being destroyed
    QMetaObject::invokeMethod(context_.get(), std::move(call), Qt::QueuedConnection);
}

} // namespace tolva
