// Overlay drawing, motion effects on the scheduler, panel fades and input reporting.
#include "overlay/OverlayView.h"

#include "TolvaCore/OverlayAnimation.h"
#include "platform/KeyTranslation.h"

#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace tolva {

namespace {

constexpr double margin = OverlayAnimationTuning::maxPixelShiftStep;

double seconds(ContinuousClock::duration d) {
    return std::chrono::duration_cast<Seconds>(d).count();
}

// The picture scaled to cover `target`, keeping its aspect ratio; the overflow is cropped.
QRectF aspectFill(const QSizeF& image, const QRectF& target) {
    const double scale = std::max(target.width() / image.width(), target.height() / image.height());
    const QSizeF size = image * scale;
    return QRectF(target.center().x() - size.width() / 2, target.center().y() - size.height() / 2,
                  size.width(), size.height());
}

double luminance(const QColor& c) {
    return 0.2126 * c.redF() + 0.7152 * c.greenF() + 0.0722 * c.blueF();
}

// Offsets of the pixel shift, in y-up terms: up, right, down, left of centre.
constexpr int shiftDirections[4][2] = {{0, 1}, {1, 0}, {0, -1}, {-1, 0}};

} // namespace

QImage OverlayContent::picture(std::optional<std::uint32_t> displayID) const {
    if (displayID) {
        auto it = snapshots.find(*displayID);
        if (it != snapshots.end())
            return it->second;
    }
    return sharedImage;
}

OverlayView::OverlayView(Scheduler& scheduler, QSize size, bool guardsInput, QWidget* parent)
    : QWidget(parent), scheduler_(scheduler), guardsInput_(guardsInput), awayNote_(new AwayNoteView(this)),
      panel_(new UnlockPanel(this)), background_(Qt::black) {
    resize(size);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    awayNote_->setGeometry(rect());
    panel_->move((width() - panel_->width()) / 2, (height() - panel_->height()) / 2);
    auto* opacity = new QGraphicsOpacityEffect(panel_);
    opacity->setOpacity(0);
    panel_->setGraphicsEffect(opacity);
    panel_->hide();
    keepNoteClearOfPanel();
    panel_->onResized = [this] {
        // The card grew or shrank for its texts: centred again, and the hole follows it.
        panel_->move((width() - panel_->width()) / 2, (height() - panel_->height()) / 2);
        keepNoteClearOfPanel();
        if (surface_ && panelVisible_) {
            refreshPanelBackdrop();
            surface_->setHole(inPixels(panelRect()));
        }
        update();
    };
    if (guardsInput_) {
        setMouseTracking(true);
        setFocusPolicy(Qt::StrongFocus);
    } else {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }
}

OverlayView::~OverlayView() = default;

void OverlayView::resizeEvent(QResizeEvent*) {
    awayNote_->setGeometry(rect());
    panel_->move((width() - panel_->width()) / 2, (height() - panel_->height()) / 2);
    keepNoteClearOfPanel();
}

void OverlayView::keepNoteClearOfPanel() {
    // Only where a panel can show: the settings preview never shows one.
    if (!guardsInput_)
        return;
    const std::optional<QRectF> before = awayNote_->keepClear();
    awayNote_->setKeepClear(QRectF(panelRect()));
    // The server's picture of the note is drawn again where the note may have moved.
    if (surface_ && awayNote_->model() && awayNote_->keepClear() != before)
        noteTask_ = scheduler_.schedule(Seconds(0), [this] { drawNote(); });
}

void OverlayView::apply(const OverlayContent& content, std::optional<std::uint32_t> displayID) {
    translucent_ = content.isTranslucent;
    bool light = false;
    brightest_ = 255; // a picture, or the screen behind a tint, may hold any value
    if (translucent_) {
        background_ = content.tintColour();
        picture_ = QImage();
        scaledPicture_ = QImage();
        panel_->setDarkAppearance(true);
    } else {
        background_ = content.background;
        background_.setAlphaF(1.0);
        picture_ = content.picture(displayID);
        scaledPicture_ = QImage();
        const bool plainColour =
            picture_.isNull() && !content.captureInServer && content.imageIdentity.empty();
        light = plainColour && luminance(content.background) > 0.5;
        if (plainColour)
            brightest_ = 255 * std::max({content.background.redF(), content.background.greenF(),
                                         content.background.blueF()});
        panel_->setDarkAppearance(!light);
    }
    composedKey_.reset();
    screenPicture_.reset();
    serverImage_.reset();
    serverImageAtRest_.reset();
    if (content.awayNote)
        awayNote_->apply(
            AwayNoteView::Model{*content.awayNote, content.awayNoteReturnLine, content.awayNoteStyle, light});
    else
        awayNote_->apply(std::nullopt);
    if (surface_) {
        // The note is drawn once into a picture of its own, after the overlay is up.
        noteTask_ = scheduler_.schedule(Seconds(0), [this] { drawNote(); });
        return;
    }
    update();
}

void OverlayView::attachSurface(std::unique_ptr<OverlaySurface> surface) {
    surface_ = std::move(surface);
    // The server draws the note; this widget would only draw it a second time behind the panel.
    awayNote_->setVisible(!surface_);
}

std::unique_ptr<OverlaySurface> OverlayView::detachSurface() {
    noteTask_.cancel();
    growTask_.cancel();
    awayNote_->setVisible(true);
    return std::move(surface_);
}

void OverlayView::setScreenPicture(std::shared_ptr<SurfacePicture> picture, bool isBackdrop, bool tinted) {
    screenPicture_ = std::move(picture);
    screenPictureIsBackdrop_ = isBackdrop;
    screenPictureTinted_ = isBackdrop && tinted;
    sceneGrown_ = false;
}

void OverlayView::setServerImage(std::shared_ptr<SurfacePicture> picture,
                                 std::shared_ptr<SurfacePicture> atRest) {
    serverImage_ = std::move(picture);
    serverImageAtRest_ = std::move(atRest);
}

QPoint OverlayView::centred(QSize picture, QSize view) {
    return QPoint(int(std::lround((view.width() - picture.width()) / 2.0)),
                  int(std::lround((view.height() - picture.height()) / 2.0)));
}

QRect OverlayView::inPixels(const QRect& logical) const {
    const qreal ratio = devicePixelRatioF();
    return QRect(QPoint(qRound(logical.x() * ratio), qRound(logical.y() * ratio)),
                 QSize(qRound(logical.width() * ratio), qRound(logical.height() * ratio)));
}

QRect OverlayView::pictureRectFor(QSize size, QSize view, bool withMargin) {
    const double m = withMargin ? margin : 0;
    const QRectF filled =
        aspectFill(QSizeF(size), QRectF(0, 0, view.width(), view.height()).adjusted(-m, -m, m, m));
    return QRect(QPoint(int(std::lround(filled.x())), int(std::lround(filled.y()))), filled.size().toSize());
}

void OverlayView::applyScene() {
    if (!surface_)
        return;
    const QSize pixels = surface_->size();
    OverlaySurface::Scene scene;
    scene.fill = background_;
    scene.gradientOpacity = drift_ ? gradientOpacity_ : 0;
    std::shared_ptr<SurfacePicture> picture;
    if (translucent_) {
        if (screenPicture_ && screenPictureIsBackdrop_) {
            picture = screenPicture_;
            if (screenPictureTinted_)
                scene.fill = Qt::transparent; // laid over it already
        }
    } else if (screenPicture_ && !screenPictureIsBackdrop_) {
        // A snapshot is shown pixel for pixel, exactly as the screen was, unless the pixel
        // shift needs a margin to move it in: then the server scales it (see startAnimations).
        picture = screenPicture_;
    } else if (serverImage_) {
        picture = serverImage_;
        scene.pictureAtRest = serverImageAtRest_;
    }
    if (picture) {
        scene.picture = picture;
        scene.pictureRect = QRect(centred(picture->size(), pixels), picture->size());
    }
    surface_->setScene(scene);
}

OverlaySurface::State OverlayView::surfaceState() const {
    OverlaySurface::State state;
    const QPointF offset = pictureOffset() * devicePixelRatioF();
    state.offset = QPoint(int(std::lround(offset.x())), int(std::lround(offset.y())));
    if (drift_ && gradientOpacity_ > 0)
        state.driftProgress = shownGradientProgress();
    state.dimStep = int(std::lround(dimOpacity() * 255));
    return state;
}

void OverlayView::frameChanged() {
    ++framesDrawn_;
    if (!surface_) {
        update();
        if (onFrame)
            onFrame();
        return;
    }
    surface_->show(surfaceState());
    if (panelVisible_ || fade_) {
        refreshPanelBackdrop();
        update(panelRect());
    }
}

QRect OverlayView::panelRect() const {
    return panel_->geometry();
}

QImage OverlayView::panelPicture() {
    const QRect area = panelRect();
    QImage picture(area.size(), QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    // The card's fade is a graphics effect, which draws from a cached picture of the card; in a
    // view that is never shown nothing renews that cache when a dot or a line changes. Switched
    // off and on, the effect draws the card afresh.
    if (QGraphicsEffect* fade = panel_->graphicsEffect()) {
        fade->setEnabled(false);
        fade->setEnabled(true);
    }
    render(&picture, QPoint(), QRegion(area));
    return picture;
}

void OverlayView::refreshPanelBackdrop() {
    panelBackdrop_ = surface_->grab(inPixels(panelRect()));
    panelBackdrop_.setDevicePixelRatio(devicePixelRatioF());
}

void OverlayView::drawNote() {
    if (!surface_)
        return;
    if (!awayNote_->model()) {
        surface_->setNote(QImage(), QPoint());
    } else {
        const qreal ratio = devicePixelRatioF();
        const QRect bounds = awayNote_->paintedBounds().intersected(rect());
        QImage note(bounds.size() * ratio, QImage::Format_ARGB32_Premultiplied);
        note.setDevicePixelRatio(ratio);
        note.fill(Qt::transparent);
        awayNote_->render(&note, QPoint(), QRegion(bounds), QWidget::DrawChildren);
        surface_->setNote(note, QPoint(qRound(bounds.x() * ratio), qRound(bounds.y() * ratio)));
    }
    surface_->redraw();
    if (panelVisible_) {
        refreshPanelBackdrop();
        update(panelRect());
    }
}

void OverlayView::setBackdrop(const QImage& backdrop) {
    backdrop_ = backdrop;
    update();
}

bool OverlayView::clearPictures() {
    const bool had = !picture_.isNull() || !backdrop_.isNull() || screenPicture_ || serverImage_ ||
                     !panelBackdrop_.isNull();
    screenPicture_.reset();
    serverImage_.reset();
    serverImageAtRest_.reset();
    panelBackdrop_ = QImage();
    noteTask_.cancel();
    growTask_.cancel();
    if (surface_)
        surface_->clear();
    picture_ = QImage();
    scaledPicture_ = QImage();
    composed_ = QImage();
    composedKey_.reset();
    backdrop_ = QImage();
    return had;
}

double OverlayView::elapsed() const {
    return seconds(scheduler_.now() - startedAt_);
}

void OverlayView::startAnimations(const OverlayAnimationSet& animations, const OverlayAnimationTuning& tuning,
                                  double timeScale) {
    stopAnimations();
    active_ = animations;
    activeTuning_ = tuning;
    startedAt_ = scheduler_.now();
    const double scale = timeScale > 0 ? timeScale : 1;
    if (animations.count(OverlayAnimation::pixelShift) && !translucent_ && hasPicture()) {
        const double interval = std::max(2.0, tuning.pixelShiftInterval / scale);
        timings_.pixelShiftInterval = interval;
        timings_.pixelShiftMove = std::min(interval * 0.5, 2.0);
        shiftStep_ = tuning.pixelShiftStep;
        shiftTask_ = scheduler_.every(Seconds(interval), [this] { shiftPicture(); });
    }
    if (animations.count(OverlayAnimation::breathing)) {
        breathing_ = AutoReversingCurve{tuning.breathingPeriod * 0.5 / scale, 0.0, tuning.breathingDepth};
        timings_.breathingOneWay = breathing_->oneWay;
    }
    if (animations.count(OverlayAnimation::gradientDrift)) {
        gradientOpacity_ = tuning.gradientOpacity;
        drift_ = AutoReversingCurve{tuning.gradientPeriod * 0.5 / scale, 0.0, 1.0};
        timings_.driftOneWay = drift_->oneWay;
    }
    scheduleFrame();
    if (surface_) {
        applyScene();
        if (timings_.pixelShiftInterval && screenPicture_ && !screenPictureIsBackdrop_ && !sceneGrown_) {
            // The snapshot goes up pixel for pixel at once; the margin the shift moves it in is
            // made by the server right after.
            growTask_ = scheduler_.schedule(Seconds(0), [this] {
                if (!surface_ || !screenPicture_)
                    return;
                const QRect grown = pictureRectFor(screenPicture_->size(), surface_->size(), true);
                screenPicture_ = screenPicture_->scaled(grown.size());
                sceneGrown_ = true;
                applyScene();
                frameChanged();
            });
        }
    }
    frameChanged();
}

void OverlayView::stopAnimations() {
    shiftTask_.cancel();
    frame_.cancel();
    breathing_.reset();
    drift_.reset();
    gradientOpacity_ = 0;
    shiftCount_ = 0;
    shiftFrom_ = shiftTo_ = QPointF();
    shiftMoveSeconds_.reset();
    timings_ = {};
    active_.clear();
    composedKey_.reset();
    if (!surface_)
        update();
}

void OverlayView::shiftPicture() {
    // From wherever the picture is now to the next of the four positions around the centre.
    shiftFrom_ = pictureOffset();
    ++shiftCount_;
    const auto& d = shiftDirections[shiftCount_ % 4];
    shiftTo_ = QPointF(shiftStep_ * d[0], -shiftStep_ * d[1]); // y-up to y-down
    shiftStartedAt_ = scheduler_.now();
    shiftMoveSeconds_ = timings_.pixelShiftMove;
    scheduleFrame();
    frameChanged();
}

QPointF OverlayView::pictureOffset() const {
    if (!shiftMoveSeconds_)
        return shiftTo_;
    const double t = seconds(scheduler_.now() - shiftStartedAt_);
    const double x = EasedMove{*shiftMoveSeconds_, shiftFrom_.x(), shiftTo_.x()}.value(t);
    const double y = EasedMove{*shiftMoveSeconds_, shiftFrom_.y(), shiftTo_.y()}.value(t);
    return {x, y};
}

double OverlayView::dimOpacity() const {
    return breathing_ ? breathing_->value(elapsed()) : 0.0;
}

double OverlayView::gradientProgress() const {
    return drift_ ? drift_->value(elapsed()) : 0.0;
}

void OverlayView::scheduleFrame() {
    // Wake up only when something will look different: the dimming by one 8-bit step, the
    // gradient by enough to change a pixel, the picture by a whole pixel.
    std::optional<double> next; // seconds from now
    const double t = elapsed();
    if (breathing_) {
        // Dimming by d turns a channel of value v into v × (1 − d): the brightest value shown
        // changes at every 1/v of d, no sooner (a dark colour breathes in few steps).
        const double brightest = std::min(255.0, brightest_ + (drift_ ? 255 * gradientOpacity_ : 0.0));
        if (brightest >= 1)
            next = breathing_->nextChange(t, 1.0 / brightest) - t;
    }
    if (drift_ && gradientOpacity_ > 0) {
        const double diagonal = std::hypot(width(), height());
        const double travel = std::max(1.0, 0.4 * std::max(width(), height()));
        driftQuantum_ = std::clamp(diagonal / (gradientOpacity_ * 255) / travel, 1.0 / 512, 0.25);
        const double at = drift_->nextChange(t, driftQuantum_) - t;
        next = next ? std::min(*next, at) : at;
    }
    if (shiftMoveSeconds_) {
        const double moveT = seconds(scheduler_.now() - shiftStartedAt_);
        const double distance =
            std::max(std::abs(shiftTo_.x() - shiftFrom_.x()), std::abs(shiftTo_.y() - shiftFrom_.y()));
        if (distance > 0) {
            if (auto at = EasedMove{*shiftMoveSeconds_, 0, distance}.nextChange(moveT, 1.0)) {
                const double in = *at - moveT;
                next = next ? std::min(*next, in) : in;
            } else {
                shiftMoveSeconds_.reset(); // arrived
            }
        }
    }
    if (!next) {
        frame_.cancel();
        return;
    }
    frame_ = scheduler_.schedule(Seconds(std::max(*next, 0.001)), [this] {
        frameChanged();
        scheduleFrame();
    });
}

void OverlayView::showPanel() {
    if (panelVisible_)
        return;
    panelVisible_ = true;
    panel_->show();
    panel_->raise();
    if (surface_) {
        // The panel shows through a hole in the server's drawing, over the same frame.
        refreshPanelBackdrop();
        surface_->setHole(inPixels(panelRect()));
        update(panelRect());
    }
    fadePanel(1.0, 0.2, false);
}

void OverlayView::panelGone() {
    panel_->hide();
    if (surface_) {
        surface_->setHole(std::nullopt);
        panelBackdrop_ = QImage();
    }
}

void OverlayView::hidePanel(bool animated) {
    if (!panelVisible_)
        return;
    panelVisible_ = false;
    if (!animated) {
        fadeTask_.cancel();
        fade_.reset();
        panelAlpha_ = 0;
        static_cast<QGraphicsOpacityEffect*>(panel_->graphicsEffect())->setOpacity(0);
        panelGone();
        return;
    }
    fadePanel(0.0, 0.35, true);
}

void OverlayView::fadePanel(double target, double duration, bool hideAtEnd) {
    fade_ = Fade{panelAlpha_, target, duration, hideAtEnd, scheduler_.now()};
    fadeTask_ = scheduler_.schedule(Seconds(0), [this] { fadeStep(); });
}

void OverlayView::fadeStep() {
    if (!fade_)
        return;
    const Fade f = *fade_;
    const double t = std::min(1.0, seconds(scheduler_.now() - f.start) / f.duration);
    panelAlpha_ = f.from + (f.target - f.from) * easeInOut(t);
    static_cast<QGraphicsOpacityEffect*>(panel_->graphicsEffect())->setOpacity(panelAlpha_);
    if (t < 1.0) {
        fadeTask_ = scheduler_.schedule(Seconds(1.0 / 60), [this] { fadeStep(); });
        return;
    }
    fade_.reset();
    if (f.hideAtEnd && !panelVisible_)
        panelGone(); // a showPanel during the fade wins
}

void OverlayView::compose(std::tuple<int, int, long long> key, QPointF offset) {
    if (composed_.size() != size())
        composed_ = QImage(size(), QImage::Format_RGB32);
    QPainter p(&composed_);
    p.fillRect(composed_.rect(), background_);
    if (!picture_.isNull()) {
        const QRectF filled = scalePicture();
        p.drawImage(QPointF(std::round(filled.x() + offset.x()), std::round(filled.y() + offset.y())),
                    scaledPicture_);
    }
    if (drift_ && gradientOpacity_ > 0)
        drawGradient(p, std::get<2>(key) * driftQuantum_);
    composedKey_ = key;
}

QRectF OverlayView::scalePicture() {
    // Scaled once per size, so every later composition is a plain copy of pixels.
    const QRectF grown = QRectF(rect()).adjusted(-margin, -margin, margin, margin);
    const QRectF filled = aspectFill(picture_.size(), grown);
    if (scaledPicture_.size() != filled.size().toSize())
        scaledPicture_ =
            picture_.scaled(filled.size().toSize(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .convertToFormat(QImage::Format_RGB32);
    return filled;
}

QImage OverlayView::restingPicture(int grow) {
    const QRect grown = rect().adjusted(-grow, -grow, grow, grow);
    QImage picture(grown.size(), QImage::Format_ARGB32_Premultiplied);
    picture.fill(translucent_ ? QColor(Qt::transparent) : background_);
    QPainter p(&picture);
    if (translucent_) {
        // The tint, which the cover blends over the live screen.
        p.fillRect(picture.rect(), background_);
    } else if (!picture_.isNull()) {
        const QRectF filled = scalePicture();
        p.drawImage(QPointF(std::round(filled.x()) + grow, std::round(filled.y()) + grow), scaledPicture_);
    }
    return picture;
}

QPoint OverlayView::shownPictureOffset() const {
    const QPointF offset = pictureOffset();
    return QPoint(int(std::round(offset.x())), int(std::round(offset.y())));
}

double OverlayView::shownGradientProgress() const {
    return double(std::llround(gradientProgress() / driftQuantum_)) * driftQuantum_;
}

bool OverlayView::paintGradient(QPainter& p) const {
    if (!drift_ || gradientOpacity_ <= 0)
        return false;
    drawGradient(p, shownGradientProgress());
    return true;
}

void OverlayView::drawGradient(QPainter& p, double progress) const {
    // Unit points with y up: start (0,0)→(0.4,0.2), end (1,1)→(0.6,0.8).
    const QPointF start(0.4 * progress * width(), (1 - 0.2 * progress) * height());
    const QPointF end((1 - 0.4 * progress) * width(), 0.2 * progress * height());
    QLinearGradient gradient(start, end);
    gradient.setColorAt(0, QColor(255, 255, 255, 255));
    gradient.setColorAt(0.5, QColor(128, 128, 128, 0));
    gradient.setColorAt(1, QColor(0, 0, 0, 255));
    p.save();
    p.setOpacity(gradientOpacity_);
    p.fillRect(rect(), gradient);
    p.restore();
}

void OverlayView::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.setClipRegion(event->region());
    if (surface_) {
        // Everything else is the server's: only the frame behind the panel is drawn here.
        if (!panelBackdrop_.isNull() && (panelVisible_ || fade_)) {
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.drawImage(panelRect().topLeft(), panelBackdrop_);
        }
        return;
    }
    const double dim = dimOpacity();
    if (translucent_) {
        if (!backdrop_.isNull()) {
            p.drawImage(rect(), backdrop_);
        } else {
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.fillRect(rect(), Qt::transparent);
            p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }
        p.fillRect(rect(), background_);
        // The drift's gradient lies over the tint too, at the step the repaint was scheduled for.
        paintGradient(p);
        if (dim > 0)
            p.fillRect(rect(), QColor(0, 0, 0, static_cast<int>(std::round(dim * 255))));
        return;
    }
    const QPointF offset = pictureOffset();
    const long long drift = drift_ ? std::llround(gradientProgress() / driftQuantum_) : 0;
    const auto key = std::make_tuple(int(std::round(offset.x())), int(std::round(offset.y())), drift);
    if (composedKey_ != key || composed_.size() != size())
        compose(key, offset);
    // The dimming of a breath is the composed picture blended with black: one pass.
    if (dim > 0) {
        p.fillRect(rect(), Qt::black);
        p.setOpacity(1.0 - std::round(dim * 255) / 255.0);
    }
    p.drawImage(QPointF(0, 0), composed_);
}

void OverlayView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (!onPointerInput)
        return;
    switch (event->button()) {
    case Qt::LeftButton:
        onPointerInput("mouseDown");
        break;
    case Qt::RightButton:
        onPointerInput("rightMouseDown");
        break;
    default:
        onPointerInput("otherMouseDown");
        break;
    }
}

void OverlayView::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if (onPointerInput)
        onPointerInput("mouseMoved");
}

void OverlayView::wheelEvent(QWheelEvent* event) {
    event->accept();
    if (onPointerInput)
        onPointerInput("scrollWheel");
}

void OverlayView::keyPressEvent(QKeyEvent* event) {
    event->accept();
    const auto xKeycode = static_cast<std::uint8_t>(event->nativeScanCode());
    const std::int64_t keyCode = KeyTranslation::virtualKeyCode(xKeycode).value_or(0xFFFF);
    const std::uint64_t flags =
        KeyTranslation::eventFlags(static_cast<std::uint16_t>(event->nativeModifiers()));
    if (KeyTranslation::isModifierKey(xKeycode))
        return; // a modifier change: swallowed
    std::optional<std::string> characters;
    if (!event->text().isEmpty())
        characters = event->text().toStdString();
    const bool keyEquivalent = guardsInput_ && (flags & KeyTranslation::commandFlag);
    if (onKey)
        onKey(keyCode, flags, characters, keyEquivalent ? "window-keyEquivalent" : "window");
}

void OverlayView::keyReleaseEvent(QKeyEvent* event) {
    event->accept();
}

} // namespace tolva
