// The overlay on a Wayland compositor with layer-shell: the compositor shows one cover surface
// per output (WaylandOverlay), and each output has an overlay window whose view is never shown
// itself but rendered: once into the cover's picture when the lock begins (the colour or
// picture and the away note), and its unlock panel into the panel surface whenever it changes.
// Keys reach the lock through the tap this class hands out, pointer input through each view.
#pragma once

#include "overlay/MotionCurve.h"
#include "overlay/OverlayWindows.h"
#include "platform/CoverKeys.h"
#include "platform/EventTap.h"
#include "platform/FrameLimiter.h"
#include "platform/Scheduler.h"
#include "platform/wayland/WaylandOverlay.h"
#include "unlock/UnlockPanel.h"

#include <QImage>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tolva {

class WaylandConnection;

class WaylandOverlayWindows : public OverlayWindows {
public:
    WaylandOverlayWindows(Scheduler& scheduler, std::shared_ptr<WaylandConnection> connection);
    ~WaylandOverlayWindows() override;

    void build(const OverlayContent& content) override;
    void tearDown() override;
    const std::vector<std::unique_ptr<OverlayWindow>>& windows() const override { return windows_; }
    const DisplayLayout& layout() const override { return layout_; }
    DisplayLayout currentLayout() const override;
    OverlayWindow* window(Point under) const override;
    OverlayWindow* mainWindow() const override;

    // A tap that receives every key the cover gets while it is up.
    std::unique_ptr<EventTap> makeTap(EventTap::Handler handler) { return keys_.makeTap(std::move(handler)); }
    // Where the pointer was last seen over the cover, in the core's y-up coordinates.
    std::optional<Point> pointer() const { return pointer_; }
    // Whether the cover has the keyboard now.
    bool holdsKeyboard() const;
    bool isCovered() const;
    bool isConnected() const;
    // Puts the cover above a surface another client just made (the guard's cover beneath it),
    // where the compositor puts the newest surface on top; elsewhere nothing changes.
    void raise();
    // The colour and opacity of the live tint the windows show, if they show one.
    std::optional<QColor> tint() const { return tint_; }

    // Pictures of outputs by name, as the displays of these windows number them (1 for the first
    // output the compositor announced, and so on): what the snapshot look draws.
    static std::map<std::uint32_t, QImage> picturesByDisplay(const std::map<std::string, QImage>& pictures,
                                                             const std::vector<WaylandOutputInfo>& outputs);

private:
    std::optional<QColor> tint_;
    struct Output {
        std::string name;
        QRect geometry;
    };
    std::vector<Output> outputsNow() const;
    void makeOverlay();
    void connectionLost();
    void coverAgain();
    // Puts cover_ up; where the compositor refuses it for a lost connection, a new one tries.
    void showCover();
    void showPanel();
    void pointerMoved(const std::string& output, QPoint at, const char* source);

    // The cover takes the keyboard as it maps and holds it (layer-shell's exclusive keyboard),
    // a few milliseconds after the lock begins.
    CoverKeys keys_{[this] { return isConnected(); }};
    Scheduler& scheduler_;
    std::shared_ptr<WaylandConnection> connection_;
    std::unique_ptr<WaylandOverlay> overlay_;
    std::vector<std::unique_ptr<OverlayWindow>> windows_;
    std::vector<Output> built_;
    DisplayLayout layout_;
    std::optional<Point> pointer_;
    // The panel as last sent: sent again only when it looks different.
    PanelTextLog panelText_;
    std::optional<std::pair<std::string, QImage>> panelShown_;
    QPoint panelAt_;
    Scheduler::Handle panelWatch_;
    // The cover of the lock, kept to show it again on a new connection.
    CoverContent cover_;
    Scheduler::Handle reconnect_;
    // The breathing effect, the one motion the cover shows here: a dimness the compositor blends.
    std::optional<AutoReversingCurve> breathing_;
    Instant breathingSince_{};
    Scheduler::Handle breathTask_;
    // The pixel shift and the drifting gradient: the views' frames drawn again, a few a second.
    static QImage rendered(OverlayView& view, QSize size, const QColor& under);
    void redraw();
    // Every frame is a picture of each output drawn here and copied to the compositor: at most
    // two a second, which the slow moves of the effects never need more of.
    FrameLimiter frames_{scheduler_, Seconds(0.5), [this] { redraw(); }};
    QColor underPicture_;
    void breathe();
};

} // namespace tolva
