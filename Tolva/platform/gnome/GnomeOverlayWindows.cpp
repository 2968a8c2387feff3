// Overlay windows over the GNOME Shell extension's cover.
#include "platform/gnome/GnomeOverlayWindows.h"

#include "log/Log.h"
#include "overlay/Displays.h"
#include "platform/gnome/GnomeScreenCapture.h"
#include "unlock/UnlockPanel.h"

#include <QPainter>

namespace tolva {

GnomeOverlayWindows::GnomeOverlayWindows(Scheduler& scheduler, std::shared_ptr<GnomeShellCover> shell)
    : scheduler_(scheduler), shell_(std::move(shell)), available_(shell_->isAvailable()) {
    shell_->onKey = [this](const KeyEvent& event) {
        keys_.deliver(event);
        // The panel follows what the key did at once, not at the next look.
        if (!windows_.empty())
            showPanel();
    };
    shell_->onPointer = [this](const std::string& kind, QPointF at, std::uint32_t) {
        if (kind == "motion")
            pointerMoved(at, "mouseMoved");
        else if (kind == "press")
            pointerMoved(at, "mouseDown");
    };
    shell_->onMonitorsChanged = [this] {
        if (!windows_.empty() && onDisplaysChanged && currentLayout() != layout_)
            onDisplaysChanged();
    };
    shell_->onAvailabilityChanged = [this](bool available) {
        available_ = available;
        if (windows_.empty())
            return;
        if (available) {
            coverAgain();
            return;
        }
        // The Shell went (restarted, or the extension was switched off): the lock goes on, and
        // covers again as soon as it is back.
        Log::lock.error("gnome shell: the extension left the bus while covered");
        covered_ = false;
        keys_.statusChanged();
        if (!retry_.isActive())
            retry_ = scheduler_.every(Seconds(1), [this] { coverAgain(); });
    };
}

GnomeOverlayWindows::~GnomeOverlayWindows() {
    panelWatch_.cancel();
    retry_.cancel();
    shell_->onKey = nullptr;
    shell_->onPointer = nullptr;
    shell_->onMonitorsChanged = nullptr;
    shell_->onAvailabilityChanged = nullptr;
}

DisplayLayout GnomeOverlayWindows::currentLayout() const {
    return layoutOf(GnomeDisplays::displaysOf(shell_->monitors()));
}

void GnomeOverlayWindows::build(const OverlayContent& content) {
    panelWatch_.cancel();
    retry_.cancel();
    windows_.clear();
    panelShown_.reset();
    built_ = shell_->monitors();
    const auto displays = GnomeDisplays::displaysOf(built_);
    layout_ = layoutOf(displays);

    // The picture stands still (the pixel shift and the drifting gradient would need a new one
    // for every frame); the breathing is a dimness over it that the Shell eases by itself. The
    // content's effects are already those the desktop's reduce-motion wish leaves.
    OverlayContent still = content;
    still.animations.clear();
    motion_ = {};
    if (content.animations.count(OverlayAnimation::breathing))
        motion_ = {content.tuning.breathingDepth, content.tuning.breathingPeriod};
    QRect stage;
    for (const auto& monitor : built_)
        stage = stage.united(monitor.geometry);
    QImage picture(stage.size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    // For the live tint, the view draws the tint and the note over transparency, which the
    // Shell blends over the live screen.
    picture.fill(content.isTranslucent ? QColor(Qt::transparent) : content.background);
    for (std::size_t i = 0; i < built_.size(); ++i) {
        const QRect geometry = built_[i].geometry;
        auto window =
            std::make_unique<OverlayWindow>(scheduler_, geometry, content.isTranslucent, displays[i].id);
        OverlayView* view = window->overlayView();
        view->apply(still, displays[i].id);
        view->stopAnimations();
        // The view as the lock begins, drawn by Qt at the monitor's place in the stage: the
        // colour or picture and the away note.
        QImage part(geometry.size(), QImage::Format_ARGB32_Premultiplied);
        part.fill(content.isTranslucent ? QColor(Qt::transparent) : content.background);
        view->render(&part);
        QPainter painter(&picture);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(geometry.topLeft() - stage.topLeft(), part);
        windows_.push_back(std::move(window));
    }
    picture_ = picture;
    std::string error;
    covered_ = shell_->cover(picture_, 1.0, motion_, &error);
    if (!covered_) {
        Log::lock.error("gnome shell: the extension refused the cover: " + error);
        retry_ = scheduler_.every(Seconds(1), [this] { coverAgain(); });
    }
    keys_.statusChanged();
    Log::lock.info("overlay windows: " + std::to_string(windows_.size()) + " gnome-shell translucent=" +
                   (content.isTranslucent ? "true" : "false") + " " + layout_.logDescription());
    // The panel is rendered again whenever it may have changed: a look every 50 ms while it is
    // up (its dots, countdown and fade), besides once after every key.
    panelWatch_ = scheduler_.every(Seconds(0.05), [this] { showPanel(); });
}

void GnomeOverlayWindows::coverAgain() {
    if (windows_.empty()) {
        retry_.cancel();
        return;
    }
    if (!shell_->cover(picture_, 1.0, motion_))
        return;
    retry_.cancel();
    covered_ = true;
    panelShown_.reset();
    Log::lock.info("gnome shell: covered again");
    showPanel();
    keys_.statusChanged();
}

void GnomeOverlayWindows::showPanel() {
    if (!covered_)
        return;
    for (std::size_t i = 0; i < windows_.size() && i < built_.size(); ++i) {
        OverlayView* view = windows_[i]->overlayView();
        if (!view->isPanelVisible())
            continue;
        const QRect area = view->panel()->geometry();
        if (area.isEmpty())
            continue;
        const QImage image = view->panelPicture();
        panelText_.shown(*view->panel());
        const QPoint at = built_[i].geometry.topLeft() + area.topLeft();
        if (panelShown_ && panelShown_->second == at && panelShown_->first == image)
            return;
        shell_->showPanel(image, at);
        panelShown_ = std::make_pair(image, at);
        return;
    }
    if (panelShown_) {
        shell_->hidePanel();
        panelShown_.reset();
        panelText_.hidden();
    }
}

void GnomeOverlayWindows::pointerMoved(QPointF at, const char* source) {
    for (std::size_t i = 0; i < windows_.size() && i < built_.size(); ++i) {
        if (!QRectF(built_[i].geometry).contains(at))
            continue;
        const double primaryHeight = built_.front().geometry.height();
        pointer_ = Point{at.x(), primaryHeight - at.y()};
        if (auto& callback = windows_[i]->overlayView()->onPointerInput)
            callback(source);
        showPanel();
        return;
    }
}

void GnomeOverlayWindows::tearDown() {
    panelWatch_.cancel();
    retry_.cancel();
    std::string error;
    if ((covered_ || !windows_.empty()) && !shell_->uncover(&error))
        Log::lock.error("gnome shell: the extension did not uncover: " + error);
    covered_ = false;
    panelShown_.reset();
    picture_ = QImage();
    motion_ = {};
    windows_.clear();
    built_.clear();
    layout_ = DisplayLayout();
}

OverlayWindow* GnomeOverlayWindows::window(Point under) const {
    for (std::size_t i = 0; i < windows_.size(); ++i)
        for (const auto& entry : layout_.entries())
            if (entry.id == windows_[i]->displayID() && entry.frame.contains(under))
                return windows_[i].get();
    return nullptr;
}

OverlayWindow* GnomeOverlayWindows::mainWindow() const {
    for (std::size_t i = 0; i < windows_.size() && i < built_.size(); ++i)
        if (built_[i].primary)
            return windows_[i].get();
    return windows_.empty() ? nullptr : windows_.front().get();
}

bool GnomeOverlayWindows::holdsKeys() const {
    return available_ && (covered_ || windows_.empty());
}

} // namespace tolva
