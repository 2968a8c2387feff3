// Drawing the tray icon.
#include "ui/StatusIcon.h"

#include "TolvaCore/L10n.h"

#include <algorithm>

#include <QDir>
#include <QDirIterator>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

#include <optional>

namespace tolva::StatusIcon {

namespace {

QImage drawing(bool masked, bool warning, bool update, QColor ink, int scale) {
    QImage image(18 * scale, 18 * scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale * 1.125, scale * 1.125); // a 16-unit drawing space
    QPen pen(ink, 1.25);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    QPainterPath front;
    front.addRoundedRect(QRectF(5.2, 5.2, 9, 9), 2.6, 2.6);
    QPainterPath frontInner;
    frontInner.addRoundedRect(QRectF(5.83, 5.83, 7.74, 7.74), 1.97, 1.97);
    // The back square is hidden where the front one covers it.
    QPainterPath everything;
    everything.addRect(QRectF(0, 0, 16, 16));
    p.save();
    p.setClipPath(everything.subtracted(frontInner));
    QPainterPath back;
    back.addRoundedRect(QRectF(1.8, 1.8, 9, 9), 2.6, 2.6);
    p.drawPath(back);
    p.restore();
    p.drawPath(front);
    if (masked) {
        p.save();
        QPainterPath triangle;
        triangle.moveTo(0, 0);
        triangle.lineTo(20, 0);
        triangle.lineTo(0, 20);
        triangle.closeSubpath();
        p.setClipPath(frontInner.intersected(triangle));
        p.setPen(QPen(ink, 1));
        p.drawLine(QPointF(-1.6, 16), QPointF(16, -1.6));
        p.drawLine(QPointF(2, 16), QPointF(16, 2));
        p.restore();
    }
    if (warning) {
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawEllipse(QRectF(11.2 - 0.9, 11.2 - 0.9, 4.2 + 1.8, 4.2 + 1.8));
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.setBrush(ink);
        p.drawEllipse(QRectF(11.2, 11.2, 4.2, 4.2));
    }
    if (update) {
        p.setPen(Qt::NoPen);
        p.setBrush(ink);
        p.drawEllipse(QRectF(12, 0.4, 3.6, 3.6));
    }
    return image;
}

bool isDark(const QColor& color) {
    return color.lightnessF() < 0.5;
}

} // namespace

QImage image(bool masked, bool warning, bool update, QColor ink, int scale) {
    const QImage strokes = drawing(masked, warning, update, ink, scale);
    // The outline: the strokes' shape, widened by one pixel per scale step in every direction.
    const QColor outlineColor = isDark(ink) ? QColor(255, 255, 255, 235) : QColor(0, 0, 0, 235);
    QImage outline(strokes.size(), QImage::Format_ARGB32_Premultiplied);
    outline.fill(Qt::transparent);
    {
        QPainter p(&outline);
        const int r = std::max(1, scale / 2 + 1);
        for (int dx = -r; dx <= r; ++dx)
            for (int dy = -r; dy <= r; ++dy)
                if (dx * dx + dy * dy <= r * r + 1)
                    p.drawImage(dx, dy, strokes);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(outline.rect(), outlineColor);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.drawImage(0, 0, strokes);
    }
    return outline;
}

QColor inkFor(const QPalette& palette) {
    return palette.color(QPalette::WindowText);
}

QString symbolicName(bool masked, bool warning) {
    if (masked)
        return QStringLiteral("org.tolva.Screen-on-symbolic");
    if (warning)
        return QStringLiteral("org.tolva.Screen-warning-symbolic");
    return QStringLiteral("org.tolva.Screen-symbolic");
}

bool themeHasIcon(const QString& name) {
    // QIcon::hasThemeIcon also answers yes for a shorter name it falls back to ("…-on-symbolic"
    // to the application icon), which would show every state alike; and an SVG icon counts only
    // where Qt can draw SVG.
    const bool svg = QImageReader::supportedImageFormats().contains("svg");
    QStringList themes{QIcon::themeName(), QIcon::fallbackThemeName(), QStringLiteral("hicolor")};
    themes.removeAll(QString());
    for (const QString& base : QIcon::themeSearchPaths()) {
        for (const QString& theme : themes) {
            QDirIterator files(base + '/' + theme,
                               {name + QStringLiteral(".png"), name + QStringLiteral(".svg")}, QDir::Files,
                               QDirIterator::Subdirectories);
            while (files.hasNext())
                if (!files.next().endsWith(QStringLiteral(".svg")) || svg)
                    return true;
        }
    }
    return false;
}

QIcon trayIcon(bool masked, bool warning, bool update, const QPalette& palette) {
    // The update dot has no symbolic form: the drawn icon shows it.
    if (!update && themeHasIcon(symbolicName(masked, warning)))
        return QIcon::fromTheme(symbolicName(masked, warning));
    QIcon icon;
    for (int scale : {1, 2, 3})
        icon.addPixmap(QPixmap::fromImage(image(masked, warning, update, inkFor(palette), scale)));
    return icon;
}

QString toolTip(bool masked, const std::optional<std::string>& blockedReason) {
    QString text = QStringLiteral("Tolva Screen");
    if (masked)
        text += QStringLiteral(" — ") + QString::fromStdString(L10n::Unlock::Accessibility::lockIcon());
    else if (blockedReason)
        text += QStringLiteral(" — ") + QString::fromStdString(*blockedReason);
    return text;
}

QIcon applicationIcon() {
    if (QIcon::hasThemeIcon(QStringLiteral("org.tolva.Screen")))
        return QIcon::fromTheme(QStringLiteral("org.tolva.Screen"));
    // The drawing of the packaged scalable icon: a dark tile with the two squares.
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 128.0, size / 128.0);
        const QColor tile(0x10, 0x12, 0x18), ink(0xe8, 0xea, 0xf0);
        p.setPen(Qt::NoPen);
        p.setBrush(tile);
        p.drawRoundedRect(QRectF(0, 0, 128, 128), 28, 28);
        p.setPen(QPen(ink, 9));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(24, 24, 56, 56), 16, 16);
        p.setBrush(tile);
        p.drawRoundedRect(QRectF(48, 48, 56, 56), 16, 16);
        p.setPen(QPen(ink, 5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(58, 94), QPointF(94, 58));
        p.drawLine(QPointF(72, 96), QPointF(96, 72));
        p.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

QString accessibilityDescription(bool masked) {
    return masked ? QString::fromStdString(L10n::Menu::Accessibility::iconMasked()) : QStringLiteral("Tolva");
}

} // namespace tolva::StatusIcon
