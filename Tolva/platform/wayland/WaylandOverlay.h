// The cover of every display on wlroots compositors: one overlay-layer surface per output that
// takes the keyboard exclusively, with the compositor's shortcuts inhibited, the unlock panel
// as a sub-surface above it, and the keys and pointer events that reach it.
#pragma once

#include "platform/EventTap.h"
#include "platform/Scheduler.h"
#include "platform/wayland/WaylandConnection.h"

#include <QColor>
#include <QImage>
#include <QPoint>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct wl_surface;
struct zwlr_input_inhibitor_v1;

namespace tolva {

class ShmBuffer;

// What the cover shows.
struct CoverContent {
    enum class Kind {
        solidColor, // `color`, opaque
        images,     // `images[output name]`, scaled to the output; `color` where an output has none
        liveTint,   // `color` with its alpha, blended by the compositor over the live screen
    };
    Kind kind = Kind::solidColor;
    QColor color = Qt::black;
    std::map<std::string, QImage> images;

    static CoverContent solid(QColor color) { return {Kind::solidColor, color, {}}; }
    static CoverContent tint(QColor color) { return {Kind::liveTint, color, {}}; }
    static CoverContent pictures(std::map<std::string, QImage> images, QColor fallback = Qt::black) {
        return {Kind::images, fallback, std::move(images)};
    }
    friend bool operator==(const CoverContent&, const CoverContent&) = default;
};

// Use: connect, check isAvailable() (else refuse with unavailableReason()), set the callbacks,
// cover(), and uncover() or destroy it. One overlay per connection; the connection may be shared
// with a WaylandScreenCapture and a WaylandIdleWatch.
class WaylandOverlay : private WaylandConnection::Observer {
public:
    // `scheduler` runs the overlay's few timers (drawing again after a resize, taking the keyboard
    // back later when another client keeps taking it); it must outlive the overlay.
    WaylandOverlay(std::shared_ptr<WaylandConnection> connection, Scheduler& scheduler);
    ~WaylandOverlay() override;
    WaylandOverlay(const WaylandOverlay&) = delete;
    WaylandOverlay& operator=(const WaylandOverlay&) = delete;

    // Whether the compositor can cover the screen for us at all (it offers layer-shell), and if
    // not, why, in words for the log and the user ("" when it can).
    static std::string unavailableReason(const WaylandConnection& connection);
    static bool isAvailable(const WaylandConnection& connection);
    bool isAvailable() const;
    std::vector<WaylandOutputInfo> outputs() const;

    // Covers every output, present and future, with `content` until uncover(); a second call
    // changes the content. False when the compositor offers no layer-shell or the connection is gone.
    // The compositor allows one input inhibitor: if another client holds it, it ends this
    // connection, which onConnectionLost reports.
    bool cover(const CoverContent& content);
    // Removes every surface and the panel, and lets go of the keyboard and the shortcuts.
    void uncover();
    bool isCovered() const { return covered_; }

    // Whether the cover holds the compositor's input inhibitor (by default it does). Only one
    // client may hold it, and the compositor ends the connection of a second one that asks, so a
    // cover kept beneath another client's lock takes it only once that client is gone. Takes
    // effect at once while covered.
    void setInhibitsInput(bool inhibit);
    // Whether the cover takes the keyboard back when another surface takes it, and (where the
    // compositor puts the newest surface on top) stays on top (by default it does). A cover
    // beneath another client's lock must fight that lock neither for the keyboard nor for the
    // top; switched on while covered, it takes the keyboard now.
    void setKeepsKeyboard(bool keep);
    // Dims every output's cover with black at `opacity` (0…1), beneath the panel: the breathing
    // effect. 0 takes the dimness away.
    void setDim(double opacity);
    // Whether the cover is drawn again and again (beneath the breathing): then a colour lies in
    // buffers of the outputs' full size, which a software renderer draws faster than a few
    // pixels stretched. Until then, and again after uncover(), a colour costs no memory and
    // shows at once.
    void setDrawnOften(bool often);
    // Makes every surface again, above whatever another client put over them, where the
    // compositor puts the newest surface on top; the old ones go once their successors show.
    void raise();
    // Whether a surface per output is made and configured while uncovered, unmapped and asking
    // for neither keyboard nor shortcuts, so that cover() shows on the compositor's next frame
    // (by default none is).
    void setPrepares(bool prepares);
    // Put before the overlay's log lines, to tell the covers of two processes apart ("guard: ").
    void setLogPrefix(std::string prefix) { logPrefix_ = std::move(prefix); }
    // Whether one of the cover's surfaces has the keyboard focus now.
    bool hasKeyboardFocus() const;

    // Shows `panel` (ARGB32 premultiplied, other formats are converted) with its top-left corner at
    // `topLeft` (logical pixels) of output `outputName`, above the cover; each call replaces the
    // previous panel. A panel rendered at a device pixel ratio of 2 fills half its pixel size.
    // Set before cover(), it shows with the cover.
    void setPanel(const std::string& outputName, const QImage& panel, QPoint topLeft);
    void clearPanel();

    // Called through the event loop, never from inside event dispatch.
    std::function<void(const KeyEvent&)> onKey;
    std::function<void(const std::string& output, QPoint position)> onPointerMotion;
    // `button` is the Linux input code (BTN_LEFT = 0x110).
    std::function<void(const std::string& output, QPoint position, std::uint32_t button, bool pressed)>
        onPointerButton;
    std::function<void()> onOutputsChanged;
    std::function<void()> onConnectionLost;
    // The first frame of an output's cover was shown, `elapsed` after cover() (or after the
    // surface was made, for an output that came later): when the compositor drew it, where its
    // frame's time stamp tells, else when the news came.
    std::function<void(const std::string& output, std::chrono::microseconds elapsed)> onCoverShown;

private:
    struct Surface;
    struct Panel {
        std::string output;
        QImage image;
        QPoint topLeft;
    };

    void outputAdded(WaylandConnection::Output& output) override;
    void outputRemoved(WaylandConnection::Output& output) override;
    void outputsChanged() override;
    void seatCapabilitiesChanged(std::uint32_t capabilities) override;
    void connectionLost() override;

    // `asked` is when the cover of this output was asked for, for the time to its first frame.
    void createSurface(WaylandConnection::Output& output, std::chrono::steady_clock::time_point asked);
    void destroySurface(const std::string& outputName);
    void prepareSurfaces();
    void mapPrepared(Surface& surface);
    // The content, the panel and the dimness on a surface's first frame.
    void showContent(Surface& surface);
    void askForFrame(Surface& surface);
    void takeKeyboardAndShortcuts(Surface& surface);
    void configured(Surface& surface, std::uint32_t serial, int width, int height);
    void closed(Surface& surface);
    void framePresented(Surface& surface, std::uint32_t frameMilliseconds);
    void attachContent(Surface& surface);
    ShmBuffer* pixelBuffer(const Surface& surface, bool image, QColor color);
    ShmBuffer* swatchOf(std::uint32_t premultiplied);
    void redraw(const std::string& output);
    void showPanel(Surface& surface);
    void hidePanel(Surface& surface);
    void showDim(Surface& surface);
    void keyboardLeft(wl_surface* surface);
    void keyboardEntered(wl_surface* surface);
    // Takes the keyboard when every surface is shown and none has it.
    void checkKeyboard();
    void dropReplaced(const std::string& output);
    void takeKeyboardBack();
    void pointerAt(wl_surface* surface, double x, double y);
    Surface* surfaceOf(wl_surface* surface) const;
    int outputScale(const Surface& surface) const;
    void post(std::function<void()> call);

    std::shared_ptr<WaylandConnection> connection_;
    Scheduler& scheduler_;
    std::unique_ptr<QObject> context_; // queued callbacks die with it
    struct Input;
    std::unique_ptr<Input> input_;
    struct Buffers;
    double dim_ = 0;
    std::unique_ptr<Buffers> buffers_;
    std::vector<std::unique_ptr<Surface>> surfaces_;
    std::vector<std::unique_ptr<Surface>> replaced_; // by raise(), until their successors show
    std::optional<Panel> panel_;
    CoverContent content_;
    bool covered_ = false;
    std::string logPrefix_;
    bool prepares_ = false;
    bool drawnOften_ = false;
    bool inhibitsInput_ = true;
    bool keepsKeyboard_ = true;
    zwlr_input_inhibitor_v1* inputInhibitor_ = nullptr;
    std::chrono::steady_clock::time_point coverStart_;
    std::map<std::string, Scheduler::Handle> redrawLater_; // by output
    Scheduler::Handle takeBackLater_;
    Scheduler::Handle keyboardWatch_; // while covered
    Scheduler::Handle keyboardCheck_; // just after a surface first showed
    Scheduler::Handle raiseTimer_;    // while covered, where the newest surface is on top
    friend struct WaylandOverlayListeners;
};

} // namespace tolva
