// The preview's content, its sample desktop and the card that hosts the overlay view.
#include "ui/OverlayPreview.h"

#include "overlay/ImageStore.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <map>
#include <numbers>

namespace tolva {

namespace {

QColor toQColor(const SRGBColor& c) {
    return QColor::fromRgbF(float(c.red), float(c.green), float(c.blue));
}

// A rounded rectangle given in y-up points of the 360-point-high sample.
void fillRounded(QPainter& p, double x, double y, double w, double h, double radius, QColor color) {
    QPainterPath path;
    path.addRoundedRect(QRectF(x, 360 - y - h, w, h), radius, radius);
    p.fillPath(path, color);
}

QImage drawSampleDesktop() {
    QImage image(640, 360, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return image;
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // A gradient at 30° (counter-clockwise from the x axis, y up) across the whole picture.
    const double angle = 30 * std::numbers::pi / 180;
    const QPointF direction(std::cos(angle), -std::sin(angle)); // y down
    const double half = 320 * std::abs(direction.x()) + 180 * std::abs(direction.y());
    const QPointF centre(320, 180);
    QLinearGradient gradient(centre - direction * half, centre + direction * half);
    gradient.setColorAt(0, QColor::fromRgbF(0.16f, 0.2f, 0.32f));
    gradient.setColorAt(1, QColor::fromRgbF(0.55f, 0.3f, 0.45f));
    p.fillRect(image.rect(), gradient);
    fillRounded(p, 40, 60, 360, 220, 12, QColor::fromRgbF(1, 1, 1, 0.85f));
    fillRounded(p, 430, 120, 170, 160, 12, QColor::fromRgbF(1, 1, 1, 0.5f));
    const std::pair<double, double> bars[] = {{240, 120}, {208, 173}, {176, 226}, {144, 279}, {112, 152}};
    for (auto [y, width] : bars)
        fillRounded(p, 64, y, width, 12, 6, QColor::fromRgbF(0, 0, 0, 0.35f));
    return image;
}

} // namespace

const QImage& OverlayPreview::sampleImage() {
    static const QImage sample = drawSampleDesktop();
    return sample;
}

QImage OverlayPreview::userImage(const std::string& name) {
    // Never emptied: every import is stored under a fresh name.
    static std::map<std::string, QImage> cache;
    if (auto it = cache.find(name); it != cache.end())
        return it->second;
    QImage image(QString::fromStdString((ImageStore::directory() / name).string()));
    if (image.isNull())
        return {};
    cache.emplace(name, image);
    return image;
}

OverlayPreview OverlayPreview::fromPreferences(const Preferences& prefs, bool reduceMotion,
                                               std::chrono::system_clock::time_point now) {
    OverlayPreview preview;
    preview.mode = prefs.overlayContentMode();
    preview.color = toQColor(prefs.overlayColor());
    preview.imageName = prefs.overlayImageFileName();
    preview.tintAlpha = prefs.liveTintOpacity();
    preview.animations = prefs.effectiveAnimations(reduceMotion);
    preview.strength = prefs.animationStrength();
    preview.awayNote = prefs.awayNote(true);
    preview.awayNoteStyle = prefs.awayNoteStyle();
    if (prefs.awayNoteShowsReturnTime())
        preview.awayNoteReturnLine =
            Preferences::awayNoteReturnLine(now + std::chrono::seconds(prefs.keepAwakeSeconds()));
    return preview;
}

OverlayContent OverlayPreview::content() const {
    OverlayContent content;
    content.background = color;
    switch (mode) {
    case OverlayContentMode::snapshot:
        content.sharedImage = sampleImage();
        break;
    case OverlayContentMode::image:
        if (imageName)
            content.sharedImage = userImage(*imageName);
        break;
    default:
        break;
    }
    content.animations = animations;
    content.tuning = OverlayAnimationTuning::tuning(strength);
    content.isTranslucent = mode == OverlayContentMode::liveTint;
    content.tintAlpha = tintAlpha;
    content.awayNote = awayNote;
    content.awayNoteStyle = awayNoteStyle;
    content.awayNoteReturnLine = awayNoteReturnLine;
    return content;
}

OverlayPreviewCanvas::OverlayPreviewCanvas(Scheduler& scheduler, QWidget* parent) : QWidget(parent) {
    setFixedSize(canvasSize);
    view_ = new OverlayView(scheduler, canvasSize, false, this);
    // The sample desktop, scaled to fill the card, is what the transparent tint lies over.
    QImage backdrop = OverlayPreview::sampleImage().isNull()
                          ? QImage()
                          : OverlayPreview::sampleImage().scaled(canvasSize, Qt::KeepAspectRatioByExpanding,
                                                                 Qt::SmoothTransformation);
    if (backdrop.isNull()) {
        backdrop = QImage(canvasSize, QImage::Format_RGB32);
        backdrop.fill(Qt::gray);
    }
    view_->setBackdrop(backdrop.copy(QRect(
        QPoint((backdrop.width() - canvasSize.width()) / 2, (backdrop.height() - canvasSize.height()) / 2),
        canvasSize)));
}

void OverlayPreviewCanvas::apply(const OverlayPreview& preview) {
    last_ = preview;
    const OverlayContent content = preview.content();
    view_->apply(content, std::nullopt);
    if (!isVisible())
        return; // started when shown
    const Signature signature{preview.mode, preview.imageName, content.animations, preview.strength};
    if (applied_ && *applied_ == signature)
        return; // colour, opacity and away note changes keep the motion where it is
    applied_ = signature;
    ++starts_;
    view_->startAnimations(content.animations, content.tuning, OverlayPreview::timeScale);
}

} // namespace tolva

namespace tolva {

void OverlayPreviewCanvas::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (last_)
        apply(*last_);
}

void OverlayPreviewCanvas::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    view_->stopAnimations();
    applied_.reset();
}

} // namespace tolva
