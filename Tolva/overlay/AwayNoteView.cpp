// Away-note geometry and drawing.
#include "overlay/AwayNoteView.h"

#include <QTransform>
#include <QtMath>

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>

namespace tolva {

namespace {

QFont systemFont(double pixelSize, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(static_cast<int>(pixelSize));
    font.setWeight(weight);
    return font;
}

// Width and height of a centred, word-wrapped text within `limit`, at most `lines` lines.
QSizeF measure(const QFont& font, const QString& text, double limit, int lines) {
    if (text.isEmpty())
        return {0, 0};
    QFontMetricsF metrics(font);
    const QString wrapped = AwayNoteView::wrap(font, text, limit, lines).join('\n');
    QRectF bounds = metrics.boundingRect(QRectF(0, 0, limit, 1e6), Qt::AlignHCenter, wrapped);
    const double height = std::min(std::ceil(bounds.height()), std::ceil(lines * metrics.lineSpacing()));
    return {std::min(limit, std::ceil(bounds.width()) + 2), height};
}

double round(double v) {
    return std::round(v);
}

void drawText(QPainter& p, const QRectF& frame, const QString& text, const QFont& font, const QColor& color,
              int lines, std::optional<std::pair<QColor, double>> shadow) {
    p.setFont(font);
    const QString wrapped = AwayNoteView::wrap(font, text, frame.width(), lines).join('\n');
    if (shadow) {
        // A soft shadow: the text drawn a few times around its offset, faintly.
        QColor c = shadow->first;
        const double offset = shadow->second;
        c.setAlphaF(c.alphaF() / 4);
        p.setPen(c);
        for (double dx : {-1.0, 1.0})
            for (double dy : {-1.0, 1.0})
                p.drawText(frame.translated(dx, offset + dy), Qt::AlignHCenter | Qt::AlignTop, wrapped);
    }
    p.setPen(color);
    p.drawText(frame, Qt::AlignHCenter | Qt::AlignTop, wrapped);
}

} // namespace

QStringList AwayNoteView::wrap(const QFont& font, const QString& text, double width, int lines) {
    const QFontMetricsF metrics(font);
    const qsizetype n = text.size();
    auto isBreak = [&](qsizetype k) { return text[k].isSpace(); };
    QStringList shown;
    qsizetype i = 0;
    while (i < n && isBreak(i))
        ++i;
    while (i < n && shown.size() < lines) {
        // Whole words while they fit; the spaces before a word are measured with it.
        qsizetype end = i;
        double used = 0;
        while (end < n) {
            qsizetype wordStart = end;
            while (wordStart < n && isBreak(wordStart))
                ++wordStart;
            qsizetype wordEnd = wordStart;
            while (wordEnd < n && !isBreak(wordEnd))
                ++wordEnd;
            if (wordStart == wordEnd)
                break; // only spaces left
            const double add = metrics.horizontalAdvance(text.mid(end, wordEnd - end));
            if (used + add > width)
                break;
            used += add;
            end = wordEnd;
        }
        if (end == i) {
            // A word wider than the line: as many of its characters as fit, at least one.
            used = 0;
            while (end < n && !isBreak(end)) {
                const double add = metrics.horizontalAdvance(text[end]);
                if (end > i && used + add > width)
                    break;
                used += add;
                ++end;
            }
        }
        shown << text.mid(i, end - i);
        i = end;
        while (i < n && isBreak(i))
            ++i;
    }
    if (i < n && !shown.isEmpty()) {
        // Text left over: the last line runs on into it and is cut with an ellipsis. A bounded
        // piece of the rest is enough to overflow any line.
        constexpr qsizetype lookAhead = 512;
        const QString runOn = shown.last() + QLatin1Char(' ') + text.mid(i, lookAhead);
        QString cut = metrics.elidedText(runOn, Qt::ElideRight, width);
        if (cut == runOn)
            cut = metrics.elidedText(runOn + QChar(0x2026), Qt::ElideRight, width);
        shown.last() = cut;
    }
    return shown;
}

QFont AwayNoteView::handwritingFont(double pixelSize) {
    for (const QString& family : {QStringLiteral("LXGW WenKai GB Lite"), QStringLiteral("LXGW WenKai")}) {
        if (QFontDatabase::families().contains(family)) {
            QFont font(family);
            font.setPixelSize(static_cast<int>(pixelSize));
            font.setWeight(QFont::Medium);
            // Characters the face lacks come from the bold system font.
            font.setFamilies({family, QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()});
            return font;
        }
    }
    return systemFont(pixelSize, QFont::Bold);
}

AwayNoteView::Layout AwayNoteView::layout(const Model& model, double W, double H,
                                          const std::optional<QRectF>& keepClear) {
    Layout l;
    const QString text = QString::fromStdString(model.text);
    const QString sub = QString::fromStdString(model.returnLine.value_or(""));
    const bool hasSub = model.returnLine.has_value();
    if (model.style == AwayNoteStyle::lockScreen) {
        const double s = std::max(11.0, round(0.1 * H));
        l.mainFont = systemFont(s, QFont::Medium);
        l.subFont = systemFont(std::max(8.0, round(0.034 * H)), QFont::Normal);
        const double limit = std::max(80.0, round(0.8 * W));
        const QSizeF main = measure(l.mainFont, text, limit, 2);
        const QSizeF second = hasSub ? measure(l.subFont, sub, limit, 1) : QSizeF(0, 0);
        const double g = hasSub ? round(0.18 * s) : 0;
        const double c = 0.74 * H; // measured up from the bottom edge
        const double y = c + (second.height() + main.height() + g) * 0.5 - main.height();
        // y-up bottoms converted to y-down tops: top = H − (bottom + height).
        l.mainFrame = QRectF(round((W - main.width()) / 2), H - (round(y) + main.height()), main.width(),
                             main.height());
        const double subBottom = round(y - g - second.height());
        l.subFrame = QRectF(round((W - second.width()) / 2), H - (subBottom + second.height()),
                            second.width(), second.height());
        l.vignetteFrame = QRectF(0.05 * W, H - (c - 0.22 * H + 0.44 * H), 0.9 * W, 0.44 * H);
        l.blockCentreY = H - c;
        return l;
    }
    // The sticky note, at its own sizes first; a card that would leave the display or reach
    // the panel's area is made smaller until it fits, then moved as little as it must.
    const double margin = std::max(4.0, round(0.02 * std::min(W, H)));
    const double top = margin;
    const double bottom = keepClear && keepClear->top() > H * 0.25 ? keepClear->top() - margin : H - margin;
    const double theta = qDegreesToRadians(2.5);
    double cw = 0, ch = 0, k = 0;
    QSizeF main, second;
    for (double scale = 1.0;; scale *= 0.9) {
        l.mainFont = handwritingFont(std::max(11.0, round(0.08 * H * scale)));
        l.subFont = systemFont(std::max(8.0, round(0.03 * H * scale)), QFont::Medium);
        const double limit = std::max(80.0, round(0.6 * W));
        main = measure(l.mainFont, text, limit, 2);
        second = hasSub ? measure(l.subFont, sub, limit, 1) : QSizeF(0, 0);
        l.gap = hasSub ? round(0.02 * H * scale) : 0;
        l.padding = round(0.05 * H * scale);
        k = round(0.055 * H * scale);
        const double p = l.padding;
        cw = std::max(round(0.34 * W), 2 * p + std::max(main.width(), second.width()));
        ch = k + p + main.height() + l.gap + second.height() + p;
        // The tilted card's bounding box.
        const double boxWidth = cw * std::cos(theta) + ch * std::sin(theta);
        const double boxHeight = cw * std::sin(theta) + ch * std::cos(theta);
        const bool atSmallest = l.mainFont.pixelSize() <= 11 && l.subFont.pixelSize() <= 8;
        if ((boxHeight <= bottom - top && boxWidth <= W - 2 * margin) || atSmallest || scale < 0.05) {
            l.cardBox = QSizeF(boxWidth, boxHeight);
            break;
        }
    }
    const double p = l.padding, g = l.gap;
    // Centred on 0.77 H measured up from the bottom edge (y-down: 0.23 H), kept inside.
    double centreY = H - 0.77 * H;
    centreY = std::min(centreY, bottom - l.cardBox.height() / 2);
    centreY = std::max(centreY, top + l.cardBox.height() / 2);
    const double cardTop = round(centreY - ch / 2);
    l.cardFrame = QRectF(round((W - cw) / 2), cardTop, cw, ch);
    // Inside the card (y-down): the strip on top, then the message, then the return line.
    l.stripFrame = QRectF(0, 0, cw, k);
    const double mainBottom = round(ch - k - p - main.height());
    l.mainFrame = QRectF(round((cw - main.width()) / 2), ch - (mainBottom + main.height()), main.width(),
                         main.height());
    const double subBottom = round(ch - k - p - main.height() - g - second.height());
    l.subFrame = QRectF(round((cw - second.width()) / 2), ch - (subBottom + second.height()), second.width(),
                        second.height());
    l.cardRotation = 2.5; // clockwise on screen
    l.blockCentreY = l.cardFrame.center().y();
    return l;
}

AwayNoteView::AwayNoteView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_TranslucentBackground);
    hide();
}

void AwayNoteView::setKeepClear(const std::optional<QRectF>& area) {
    if (area == keepClear_)
        return;
    keepClear_ = area;
    update();
}

bool AwayNoteView::apply(const std::optional<Model>& model) {
    if (model == model_)
        return false;
    model_ = model;
    setVisible(model_.has_value());
    update();
    return true;
}

QRect AwayNoteView::paintedBounds() const {
    if (!model_)
        return QRect();
    const Layout l = layout(*model_, width(), height(), keepClear_);
    if (model_->style == AwayNoteStyle::lockScreen) {
        // The halo and both lines, with room for the text's shadow.
        const QRectF text = l.mainFrame.united(l.subFrame).adjusted(-8, -8, 8, 8);
        return (model_->light ? text : text.united(l.vignetteFrame)).toAlignedRect();
    }
    // The tilted card and its shadow (offset 14 down, spread 18).
    QTransform tilt;
    tilt.translate(l.cardFrame.center().x(), l.cardFrame.center().y());
    tilt.rotate(l.cardRotation);
    const QRectF card(-l.cardFrame.width() / 2, -l.cardFrame.height() / 2, l.cardFrame.width(),
                      l.cardFrame.height());
    return tilt.mapRect(card.adjusted(-20, -20, 20, 34)).toAlignedRect();
}

void AwayNoteView::paintEvent(QPaintEvent*) {
    if (!model_)
        return;
    const Layout l = layout(*model_, width(), height(), keepClear_);
    const QString text = QString::fromStdString(model_->text);
    const QString sub = QString::fromStdString(model_->returnLine.value_or(""));
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    if (model_->style == AwayNoteStyle::lockScreen) {
        if (!model_->light) {
            // An elliptical halo that fades out exactly at the frame's edges.
            p.save();
            p.translate(l.vignetteFrame.center());
            p.scale(l.vignetteFrame.width() / 2, l.vignetteFrame.height() / 2);
            QRadialGradient halo(QPointF(0, 0), 1.0);
            halo.setColorAt(0, QColor(0, 0, 0, 128));
            halo.setColorAt(0.45, QColor(0, 0, 0, 64));
            halo.setColorAt(1, QColor(0, 0, 0, 0));
            p.fillRect(QRectF(-1, -1, 2, 2), halo);
            p.restore();
        }
        const bool light = model_->light;
        drawText(p, l.mainFrame, text, l.mainFont, light ? QColor(0, 0, 0, 217) : QColor(255, 255, 255, 250),
                 2, light ? std::nullopt : std::optional(std::pair(QColor(0, 0, 0, 140), 3.0)));
        if (model_->returnLine)
            drawText(p, l.subFrame, sub, l.subFont, light ? QColor(0, 0, 0, 179) : QColor(255, 255, 255, 224),
                     1, light ? std::nullopt : std::optional(std::pair(QColor(0, 0, 0, 128), 2.0)));
        return;
    }
    // The sticky note: a yellow card with a paler strip, tilted about its centre.
    p.translate(l.cardFrame.center());
    p.rotate(l.cardRotation);
    p.translate(-l.cardFrame.width() / 2, -l.cardFrame.height() / 2);
    const QRectF card(0, 0, l.cardFrame.width(), l.cardFrame.height());
    for (int i = 6; i > 0; --i) { // the shadow, offset downwards and blurred by layering
        QPainterPath shadow;
        shadow.addRoundedRect(card.translated(0, 14).adjusted(-i * 3, -i * 3, i * 3, i * 3), 4 + i * 3,
                              4 + i * 3);
        p.fillPath(shadow, QColor(0, 0, 0, 12));
    }
    QPainterPath paper;
    paper.addRoundedRect(card, 4, 4);
    p.fillPath(paper, QColor::fromRgbF(1.0, 0.9, 0.5));
    p.setClipPath(paper);
    p.fillRect(l.stripFrame, QColor::fromRgbF(1.0, 0.95, 0.7));
    p.setClipping(false);
    const QColor ink = QColor::fromRgbF(0.28, 0.22, 0.08);
    QColor faded = ink;
    faded.setAlphaF(0.7);
    drawText(p, l.mainFrame, text, l.mainFont, ink, 2, std::nullopt);
    if (model_->returnLine)
        drawText(p, l.subFrame, sub, l.subFont, faded, 1, std::nullopt);
}

} // namespace tolva
