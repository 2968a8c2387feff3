// The overlay on GNOME (Wayland): the Shell extension shows the cover over every monitor
// (GnomeShellCover), and each monitor has an overlay window whose view is never shown itself but
// rendered: once into the cover's picture when the lock begins (the colour or picture and the
// away note), and its unlock panel into a bitmap the Shell shows whenever it changes. The
// breathing is the Shell's own easing over the picture. The pixel shift and the drift run in the
// views, on the program's clock; the Shell holds each monitor's picture with the shift's margin
// and moves it, and shows the gradient drawn small, both sent at most twice a second when they
// look different (never a picture of the stage again). Keys reach the lock through the tap this
// class hands out, pointer input through each view.
#pragma once

#include "overlay/OverlayWindows.h"
#include "platform/CoverKeys.h"
#include "platform/EventTap.h"
#include "platform/FrameLimiter.h"
#include "platform/Scheduler.h"
#include "platform/gnome/GnomeShellCover.h"
#include "unlock/UnlockPanel.h"

#include <QImage>

#include <memory>
#include <optional>

namespace tolva {

class GnomeOverlayWindows : public OverlayWindows {
public:
    GnomeOverlayWindows(Scheduler& scheduler, std::shared_ptr<GnomeShellCover> shell);
    ~GnomeOverlayWindows() override;

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
    bool isCovered() const { return covered_; }
    // Whether the Shell holds the keys for the lock: its cover is up, or comes with the next build.
    bool holdsKeys() const;

    // Where parts of `sizes` lie on a sheet that stacks them from the top, each below the last,
    // at the left edge; `sheet` gets the sheet's size.
    static std::vector<QRect> stacked(const std::vector<QSize>& sizes, QSize* sheet);

private:
    bool coverNow(std::string* error);
    void composeStage();
    void composeSheet();
    void redraw();
    void coverAgain();
    void showPanel();
    void pointerMoved(QPointF at, const char* source);

    // The Shell's modal grab holds every key for as long as its cover is up, from the moment the
    // cover comes (the lock starts the tap just before it builds the windows).
    CoverKeys keys_{[this] { return holdsKeys(); }};
    Scheduler& scheduler_;
    std::shared_ptr<GnomeShellCover> shell_;
    std::vector<std::unique_ptr<OverlayWindow>> windows_;
    std::vector<GnomeShellCover::Monitor> built_;
    DisplayLayout layout_;
    std::optional<Point> pointer_;
    bool covered_ = false;
    bool available_ = false; // the extension answers on the bus
    // The cover's picture, kept to show it again when the Shell comes back: the stage, or for an
    // extension that moves the pictures, the sheet of `sheet_`.
    QImage picture_;
    bool isSheet_ = false;
    GnomeShellCover::Sheet sheet_;
    bool translucent_ = false;
    QColor under_;
    // The motion as last sent, sent again only when it looks different.
    std::vector<QPoint> offsetsShown_;
    QImage gradientsShown_;
    // Each frame makes the Shell draw the whole stage again: at most two a second, which the slow
    // moves of the effects never need more of.
    FrameLimiter frames_{scheduler_, Seconds(0.5), [this] { redraw(); }};
    // The effects the Shell draws over it, sent with it.
    GnomeShellCover::Motion motion_;
    // The panel as last sent: sent again only when it looks different.
    PanelTextLog panelText_;
    std::optional<std::pair<QImage, QPoint>> panelShown_;
    Scheduler::Handle panelWatch_;
    Scheduler::Handle retry_;
};

} // namespace tolva
