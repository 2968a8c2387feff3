// Overlay windows over the GNOME Shell extension's cover.
#include "platform/gnome/GnomeOverlayWindows.h"

#include "log/Log.h"
#include "overlay/Displays.h"
#include "platform/gnome/GnomeScreenCapture.h"
#include "unlock/UnlockPanel.h"

#include <QPainter>

namespace tolva {

namespace {

// The drift's gradient goes to the Shell this many times smaller than the monitor each way: a
// linear gradient stretched back is the same gradient, and its picture 64 times lighter.
constexpr int gradientReduction = 8;

} // namespace

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
    frames_.cancel();
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
    frames_.cancel();
    windows_.clear();
    panelShown_.reset();
    picture_ = QImage();
    built_ = shell_->monitors();
    const auto displays = GnomeDisplays::displaysOf(built_);
    layout_ = layoutOf(displays);
    translucent_ = content.isTranslucent;
    // For the live tint, the views draw the tint and the note over transparency, which the
    // Shell blends over the live screen.
    under_ = content.isTranslucent ? QColor(Qt::transparent) : content.background;

    // The breathing is a dimness over the picture that the Shell eases by itself. The pixel
    // shift and the drift run in the views when the extension can move what it shows; for an
    // older one the picture stands still (they would need a new picture of the stage for every
    // frame). The content's effects are already those the desktop's reduce-motion wish leaves.
    const bool moving = shell_->version().value_or(0) >= GnomeShellCover::movingVersion;
    OverlayAnimationSet running;
    if (moving) {
        running = content.animations;
        running.erase(OverlayAnimation::breathing);
    }
    motion_ = {};
    if (content.animations.count(OverlayAnimation::breathing))
        motion_ = {content.tuning.breathingDepth, content.tuning.breathingPeriod};
    for (std::size_t i = 0; i < built_.size(); ++i) {
        auto window = std::make_unique<OverlayWindow>(scheduler_, built_[i].geometry, content.isTranslucent,
                                                      displays[i].id);
        OverlayView* view = window->overlayView();
        view->apply(content, displays[i].id);
        if (running.empty()) {
            view->stopAnimations();
        } else {
            view->startAnimations(running, content.tuning, 1.0);
            view->onFrame = [this] { frames_.ask(); };
        }
        windows_.push_back(std::move(window));
    }
    std::string error;
    covered_ = coverNow(&error);
    if (!covered_) {
        Log::lock.error("gnome shell: the extension refused the cover: " + error);
        retry_ = scheduler_.every(Seconds(1), [this] { coverAgain(); });
    }
    keys_.statusChanged();
    Log::lock.info("overlay windows: " + std::to_string(windows_.size()) + " gnome-shell translucent=" +
                   (content.isTranslucent ? "true" : "false") + " " + layout_.logDescription());
    // The panel is rendered again whenever it may have changed: a look every 50 ms while it is
    // up (its dots, countdown and fade), besides once after every key. While a frame of the
    // effects is due, the panel waits for it: the picture around the card moves with it.
    panelWatch_ = scheduler_.every(Seconds(0.05), [this] {
        if (!frames_.isPending())
            showPanel();
    });
}

bool GnomeOverlayWindows::coverNow(std::string* error) {
    // The picture suits the extension that answers now (it may have been updated while the
    // Shell was gone).
    const bool moving = shell_->version().value_or(0) >= GnomeShellCover::movingVersion;
    if (picture_.isNull() || moving != isSheet_) {
        if (moving)
            composeSheet();
        else
            composeStage();
    }
    if (!isSheet_)
        return shell_->cover(picture_, 1.0, motion_, error);
    if (!shell_->cover(picture_, sheet_, 1.0, motion_, error))
        return false;
    // A new cover shows its pictures at rest and no gradient: the motion as it stands now.
    offsetsShown_.assign(sheet_.tiles.size(), QPoint());
    gradientsShown_ = QImage();
    covered_ = true;
    redraw();
    return true;
}

void GnomeOverlayWindows::composeStage() {
    QRect stage;
    for (const auto& monitor : built_)
        stage = stage.united(monitor.geometry);
    QImage picture(stage.size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    picture.fill(under_);
    QPainter painter(&picture);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (std::size_t i = 0; i < built_.size() && i < windows_.size(); ++i) {
        // The view drawn by Qt at the monitor's place in the stage: the colour or picture and
        // the away note.
        const QRect geometry = built_[i].geometry;
        QImage part(geometry.size(), QImage::Format_ARGB32_Premultiplied);
        part.fill(under_);
        windows_[i]->overlayView()->render(&part);
        painter.drawImage(geometry.topLeft() - stage.topLeft(), part);
    }
    picture_ = picture;
    isSheet_ = false;
    sheet_ = {};
}

void GnomeOverlayWindows::composeSheet() {
    // Each monitor's picture at rest, with the shift's margin on every side when it shifts, and
    // each away note on its own: the note stays where it is as the picture moves beneath it.
    std::vector<QImage> parts;
    std::vector<QPoint> places;
    std::size_t tiles = 0;
    for (std::size_t i = 0; i < built_.size() && i < windows_.size(); ++i, ++tiles) {
        OverlayView* view = windows_[i]->overlayView();
        const int grow = view->timings().pixelShiftInterval ? OverlayView::pictureMargin : 0;
        parts.push_back(view->restingPicture(grow));
        places.push_back(built_[i].geometry.topLeft() - QPoint(grow, grow));
    }
    for (std::size_t i = 0; i < tiles; ++i) {
        AwayNoteView* note = windows_[i]->overlayView()->awayNote();
        if (!note->model() || note->isHidden())
            continue;
        const QRect bounds = note->paintedBounds().intersected(note->rect());
        if (bounds.isEmpty())
            continue;
        QImage picture(bounds.size(), QImage::Format_ARGB32_Premultiplied);
        picture.fill(Qt::transparent);
        note->render(&picture, QPoint(), QRegion(bounds), QWidget::DrawChildren);
        parts.push_back(picture);
        places.push_back(built_[i].geometry.topLeft() + note->pos() + bounds.topLeft());
    }
    std::vector<QSize> sizes;
    for (const auto& part : parts)
        sizes.push_back(part.size());
    QSize size;
    const auto sources = stacked(sizes, &size);
    QImage sheet(size.expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Qt::transparent);
    QPainter painter(&sheet);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    sheet_ = {};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        painter.drawImage(sources[i].topLeft(), parts[i]);
        if (i < tiles)
            sheet_.tiles.push_back({built_[i].geometry, {sources[i], places[i]}});
        else
            sheet_.notes.push_back({sources[i], places[i]});
    }
    picture_ = sheet;
    isSheet_ = true;
}

std::vector<QRect> GnomeOverlayWindows::stacked(const std::vector<QSize>& sizes, QSize* sheet) {
    std::vector<QRect> places;
    QSize total(0, 0);
    for (const auto& size : sizes) {
        places.emplace_back(QPoint(0, total.height()), size);
        total = QSize(std::max(total.width(), size.width()), total.height() + size.height());
    }
    if (sheet)
        *sheet = total;
    return places;
}

void GnomeOverlayWindows::redraw() {
    frames_.markDrawn();
    if (!covered_ || !isSheet_ || windows_.size() != sheet_.tiles.size())
        return;
    std::vector<QPoint> offsets;
    for (const auto& window : windows_)
        offsets.push_back(window->overlayView()->shownPictureOffset());
    if (offsets != offsetsShown_) {
        shell_->shiftPictures(offsets);
        offsetsShown_ = offsets;
    }
    // The gradient drawn small, stretched back by the Shell: a linear gradient stays the same.
    std::vector<QImage> gradients;
    std::vector<QSize> sizes;
    for (const auto& window : windows_) {
        const QSize full = window->overlayView()->size();
        const QSize small((full.width() + gradientReduction - 1) / gradientReduction,
                          (full.height() + gradientReduction - 1) / gradientReduction);
        QImage gradient(small.expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
        gradient.fill(Qt::transparent);
        QPainter painter(&gradient);
        painter.scale(double(gradient.width()) / full.width(), double(gradient.height()) / full.height());
        if (!window->overlayView()->paintGradient(painter))
            break;
        gradients.push_back(gradient);
        sizes.push_back(gradient.size());
    }
    if (gradients.size() == windows_.size()) {
        QSize size;
        const auto parts = stacked(sizes, &size);
        QImage sheet(size, QImage::Format_ARGB32_Premultiplied);
        sheet.fill(Qt::transparent);
        QPainter painter(&sheet);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        for (std::size_t i = 0; i < gradients.size(); ++i)
            painter.drawImage(parts[i].topLeft(), gradients[i]);
        painter.end();
        if (sheet != gradientsShown_) {
            shell_->showGradients(sheet, parts);
            gradientsShown_ = sheet;
        }
    }
    showPanel();
}

void GnomeOverlayWindows::coverAgain() {
    if (windows_.empty()) {
        retry_.cancel();
        return;
    }
    if (!coverNow(nullptr))
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
    frames_.cancel();
    retry_.cancel();
    std::string error;
    if ((covered_ || !windows_.empty()) && !shell_->uncover(&error))
        Log::lock.error("gnome shell: the extension did not uncover: " + error);
    covered_ = false;
    panelShown_.reset();
    picture_ = QImage();
    isSheet_ = false;
    sheet_ = {};
    offsetsShown_.clear();
    gradientsShown_ = QImage();
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
