// Overlay windows over a Wayland compositor's layer-shell cover.
#include "platform/wayland/WaylandOverlayWindows.h"

#include "log/Log.h"
#include "overlay/Displays.h"
#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandOverlay.h"
#include "unlock/UnlockPanel.h"

#include <QPainter>

namespace tolva {

WaylandOverlayWindows::WaylandOverlayWindows(Scheduler& scheduler,
                                             std::shared_ptr<WaylandConnection> connection)
    : scheduler_(scheduler), connection_(std::move(connection)) {
    makeOverlay();
}

void WaylandOverlayWindows::makeOverlay() {
    overlay_ = std::make_unique<WaylandOverlay>(connection_, scheduler_);
    overlay_->onKey = [this](const KeyEvent& event) {
        keys_.deliver(event);
        // The panel follows what the key did at once, not at the next look.
        if (!windows_.empty())
            showPanel();
    };
    overlay_->onPointerMotion = [this](const std::string& output, QPoint at) {
        pointerMoved(output, at, "mouseMoved");
    };
    overlay_->onPointerButton = [this](const std::string& output, QPoint at, std::uint32_t, bool pressed) {
        if (pressed)
            pointerMoved(output, at, "mouseDown");
    };
    overlay_->onOutputsChanged = [this] {
        if (!windows_.empty() && onDisplaysChanged && currentLayout() != layout_)
            onDisplaysChanged();
    };
    overlay_->onConnectionLost = [this] { connectionLost(); };
    // The lock shows on the compositor's next frame, with no configure to wait for first.
    overlay_->setPrepares(true);
}

void WaylandOverlayWindows::connectionLost() {
    Log::lock.error("wayland: the compositor ended the overlay's connection: " +
                    (connection_ ? connection_->lostReason() : std::string("unknown")));
    keys_.statusChanged(); // the keys are no longer ours
    if (windows_.empty())
        return;
    // The lock goes on: a new connection covers again as soon as the compositor lets it (it
    // ends the connection of a second client that asks to hold the input, for one).
    reconnect_ = scheduler_.every(Seconds(1), [this] { coverAgain(); });
}

void WaylandOverlayWindows::coverAgain() {
    if (windows_.empty()) {
        reconnect_.cancel();
        return;
    }
    auto fresh = WaylandConnection::connect();
    if (!fresh || !WaylandOverlay::isAvailable(*fresh))
        return;
    reconnect_.cancel();
    connection_ = std::move(fresh);
    panelShown_.reset();
    makeOverlay();
    if (!overlay_->cover(cover_))
        return; // refused: its loss starts the next try
    Log::lock.info("wayland: covered again on a new connection");
    showPanel();
    keys_.statusChanged();
}

void WaylandOverlayWindows::raise() {
    if (overlay_ && !windows_.empty())
        overlay_->raise();
}

WaylandOverlayWindows::~WaylandOverlayWindows() {
    panelWatch_.cancel();
    reconnect_.cancel();
    breathTask_.cancel();
}

std::vector<WaylandOverlayWindows::Output> WaylandOverlayWindows::outputsNow() const {
    std::vector<Output> outputs;
    for (const auto& info : overlay_->outputs())
        outputs.push_back({info.name, info.geometry});
    return outputs;
}

static std::vector<DisplayInfo> displaysOf(const std::vector<std::pair<std::string, QRect>>& outputs) {
    std::vector<DisplayInfo> displays;
    std::uint32_t id = 0;
    for (const auto& [name, geometry] : outputs) {
        DisplayInfo d;
        d.id = ++id;
        d.geometry = geometry;
        d.primary = id == 1;
        displays.push_back(d);
    }
    return displays;
}

std::map<std::uint32_t, QImage>
WaylandOverlayWindows::picturesByDisplay(const std::map<std::string, QImage>& pictures,
                                         const std::vector<WaylandOutputInfo>& outputs) {
    std::map<std::uint32_t, QImage> byDisplay;
    std::uint32_t id = 0;
    for (const auto& output : outputs) {
        ++id; // as displaysOf() numbers them
        if (auto it = pictures.find(output.name); it != pictures.end() && !it->second.isNull())
            byDisplay[id] = it->second;
    }
    return byDisplay;
}

DisplayLayout WaylandOverlayWindows::currentLayout() const {
    std::vector<std::pair<std::string, QRect>> list;
    for (const auto& output : outputsNow())
        list.emplace_back(output.name, output.geometry);
    return layoutOf(displaysOf(list));
}

void WaylandOverlayWindows::build(const OverlayContent& content) {
    panelWatch_.cancel();
    windows_.clear();
    built_ = outputsNow();
    std::vector<std::pair<std::string, QRect>> list;
    for (const auto& output : built_)
        list.emplace_back(output.name, output.geometry);
    const auto displays = displaysOf(list);
    layout_ = layoutOf(displays);

    // The breathing is a dimness over the cover that the compositor blends; the pixel shift and
    // the drifting gradient move in the views, and each of their frames is rendered again.
    OverlayAnimationSet moving = content.animations;
    moving.erase(OverlayAnimation::breathing);
    breathTask_.cancel();
    frames_.cancel();
    breathing_.reset();
    if (content.animations.count(OverlayAnimation::breathing)) {
        breathing_ =
            AutoReversingCurve{content.tuning.breathingPeriod * 0.5, 0.0, content.tuning.breathingDepth};
        breathingSince_ = scheduler_.now();
    }
    // One colour, or a tint, with nothing drawn over it: the cover fills its buffers with the
    // colour itself, instead of a picture of every output drawn here first and copied over.
    const bool plain = !content.awayNote && content.sharedImage.isNull() && content.snapshots.empty() &&
                       !moving.count(OverlayAnimation::gradientDrift);
    // Beneath what the views draw: the colour, or for the live tint transparency.
    underPicture_ = content.isTranslucent ? QColor(Qt::transparent) : content.background;
    const QColor fallback = content.isTranslucent ? content.tintColour() : content.background;
    tint_ = content.isTranslucent ? std::optional<QColor>(fallback) : std::nullopt;
    if (plain) {
        // Nothing of the views is drawn in it: the cover goes up before they are made, which
        // takes longer than asking for it.
        cover_ = content.isTranslucent ? CoverContent::tint(fallback) : CoverContent::solid(fallback);
        showCover();
    }
    std::map<std::string, QImage> pictures;
    for (std::size_t i = 0; i < built_.size(); ++i) {
        const Output& output = built_[i];
        auto window = std::make_unique<OverlayWindow>(scheduler_, output.geometry, content.isTranslucent,
                                                      displays[i].id);
        OverlayView* view = window->overlayView();
        view->apply(content, displays[i].id);
        view->startAnimations(moving, content.tuning, 1.0);
        windows_.push_back(std::move(window));
        if (plain)
            continue;
        view->onFrame = [this] { frames_.ask(); };
        pictures[output.name] = rendered(*view, output.geometry.size(), underPicture_);
    }
    if (!plain) {
        cover_ = CoverContent::pictures(std::move(pictures), fallback);
        showCover();
    }
    Log::lock.info("overlay windows: " + std::to_string(windows_.size()) + " wayland translucent=" +
                   (content.isTranslucent ? "true" : "false") + " " + layout_.logDescription());
    // The panel is rendered again whenever it may have changed: a look every 50 ms while it is
    // up (its dots, countdown and fade), besides once after every key.
    panelWatch_ = scheduler_.every(Seconds(0.05), [this] { showPanel(); });
    if (breathing_)
        breathe();
}

void WaylandOverlayWindows::showCover() {
    if (overlay_->cover(cover_))
        return;
    Log::lock.error("wayland: the compositor refused the cover");
    if (!connection_->isConnected() && !reconnect_.isActive())
        reconnect_ = scheduler_.every(Seconds(1), [this] { coverAgain(); });
}

QImage WaylandOverlayWindows::rendered(OverlayView& view, QSize size, const QColor& under) {
    // The view drawn by Qt: the colour or picture, the effects and the away note; for the live
    // tint, the tint and the note over transparency, which the compositor blends over the live
    // screen. Not the unlock panel: it has a surface of its own, and a copy of it in the cover
    // would show through as it fades.
    QImage picture(size, QImage::Format_ARGB32_Premultiplied);
    picture.fill(under);
    QPainter painter(&picture);
    view.render(&painter, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    if (AwayNoteView* note = view.awayNote(); note && !note->isHidden())
        note->render(&painter, note->pos(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    return picture;
}

void WaylandOverlayWindows::redraw() {
    frames_.markDrawn();
    if (cover_.kind != CoverContent::Kind::images || windows_.size() != built_.size())
        return;
    std::map<std::string, QImage> pictures;
    for (std::size_t i = 0; i < windows_.size(); ++i)
        pictures[built_[i].name] =
            rendered(*windows_[i]->overlayView(), built_[i].geometry.size(), underPicture_);
    cover_ = CoverContent::pictures(std::move(pictures), cover_.color);
    if (overlay_->isCovered())
        overlay_->cover(cover_);
}

void WaylandOverlayWindows::breathe() {
    if (!breathing_ || windows_.empty())
        return;
    const double t = std::chrono::duration<double>(scheduler_.now() - breathingSince_).count();
    const double dim = breathing_->value(t);
    // From the first breath on, the compositor draws the cover again at every step.
    if (dim > 0)
        overlay_->setDrawnOften(true);
    overlay_->setDim(dim);
    // The next frame when the dimness changes by one step of 255, at most 20 a second.
    const double next = std::max(0.05, breathing_->nextChange(t, 1.0 / 255) - t);
    breathTask_ = scheduler_.schedule(Seconds(next), [this] { breathe(); });
}

void WaylandOverlayWindows::showPanel() {
    for (std::size_t i = 0; i < windows_.size() && i < built_.size(); ++i) {
        OverlayView* view = windows_[i]->overlayView();
        if (!view->isPanelVisible())
            continue;
        const QRect area = view->panel()->geometry();
        if (area.isEmpty())
            continue;
        const QImage image = view->panelPicture();
        panelText_.shown(*view->panel());
        if (panelShown_ && panelShown_->first == built_[i].name && panelAt_ == area.topLeft() &&
            panelShown_->second == image)
            return;
        overlay_->setPanel(built_[i].name, image, area.topLeft());
        panelShown_ = std::make_pair(built_[i].name, image);
        panelAt_ = area.topLeft();
        return;
    }
    if (panelShown_) {
        overlay_->clearPanel();
        panelShown_.reset();
        panelText_.hidden();
    }
}

void WaylandOverlayWindows::pointerMoved(const std::string& output, QPoint at, const char* source) {
    for (std::size_t i = 0; i < windows_.size() && i < built_.size(); ++i) {
        if (built_[i].name != output)
            continue;
        const QPoint global = built_[i].geometry.topLeft() + at;
        const double primaryHeight = built_.front().geometry.height();
        pointer_ = Point{double(global.x()), primaryHeight - global.y()};
        if (auto& callback = windows_[i]->overlayView()->onPointerInput)
            callback(source);
        showPanel();
        return;
    }
}

void WaylandOverlayWindows::tearDown() {
    panelWatch_.cancel();
    breathTask_.cancel();
    frames_.cancel();
    breathing_.reset();
    reconnect_.cancel();
    overlay_->uncover();
    panelShown_.reset();
    windows_.clear();
    built_.clear();
    layout_ = DisplayLayout();
}

OverlayWindow* WaylandOverlayWindows::window(Point under) const {
    for (std::size_t i = 0; i < windows_.size(); ++i)
        for (const auto& entry : layout_.entries())
            if (entry.id == windows_[i]->displayID() && entry.frame.contains(under))
                return windows_[i].get();
    return nullptr;
}

OverlayWindow* WaylandOverlayWindows::mainWindow() const {
    return windows_.empty() ? nullptr : windows_.front().get();
}

bool WaylandOverlayWindows::holdsKeyboard() const {
    return overlay_->hasKeyboardFocus();
}

bool WaylandOverlayWindows::isCovered() const {
    return overlay_->isCovered();
}

bool WaylandOverlayWindows::isConnected() const {
    return connection_ && connection_->isConnected();
}

} // namespace tolva
