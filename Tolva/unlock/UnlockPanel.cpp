// Unlock panel layout, colours and model application.
#include "unlock/UnlockPanel.h"

#include "TolvaCore/L10n.h"

#include <QPainter>
#include <QPainterPath>

namespace tolva {

namespace {

QPixmap lockIcon(const QColor& color) {
    // A small padlock drawn in the label colour (no icon theme is needed).
    QPixmap pixmap(QSize(24, 22) * 2);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(color, 2.2));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(7, 2, 10, 12), 0, 180 * 16);
    p.drawLine(QPointF(7, 8), QPointF(7, 10));
    p.drawLine(QPointF(17, 8), QPointF(17, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(QRectF(4.5, 9.5, 15, 11), 2.5, 2.5);
    return pixmap;
}

} // namespace

UnlockPanel::UnlockPanel(QWidget* parent)
    : QWidget(parent), icon_(new QLabel(this)), dots_(new PinDotsView(this)), status_(new QLabel(this)),
      note_(new QLabel(this)) {
    setAttribute(Qt::WA_TranslucentBackground);
    resize(panelWidth, panelHeight);
    icon_->setGeometry(108, 20, 24, 22);
    icon_->setAccessibleName(QString::fromStdString(L10n::Unlock::Accessibility::lockIcon()));
    dots_->setGeometry(16, 54, 208, 12);
    status_->setGeometry(8, 74, 224, 28);
    note_->setGeometry(12, 109, 216, 40);
    for (QLabel* label : {status_, note_}) {
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::NoTextInteraction);
    }
    QFont statusFont = font();
    statusFont.setPixelSize(11);
    status_->setFont(statusFont);
    QFont noteFont = font();
    noteFont.setPixelSize(10);
    note_->setFont(noteFont);
    applyColors();
}

bool UnlockPanel::update(const UnlockPanelModel& model) {
    if (lastModel_ == model)
        return false;
    lastModel_ = model;
    status_->setText(QString::fromStdString(model.message.value_or(model.title)));
    applyColors();
    dots_->setState(model.filled, model.total, model.inputEnabled);
    note_->setText(QString::fromStdString(model.note.value_or("")));
    return true;
}

void UnlockPanel::setDarkAppearance(bool dark) {
    if (dark == dark_)
        return;
    dark_ = dark;
    applyColors();
    QWidget::update();
}

void UnlockPanel::applyColors() {
    const QColor label = dark_ ? QColor(255, 255, 255) : QColor(0, 0, 0);
    auto withAlpha = [](QColor c, double a) {
        c.setAlphaF(a);
        return c;
    };
    QPalette dotsPalette = dots_->palette();
    dotsPalette.setColor(QPalette::WindowText, withAlpha(label, 0.9));
    dots_->setPalette(dotsPalette);
    const bool error = lastModel_ && lastModel_->message;
    const QColor red = dark_ ? QColor(255, 69, 58) : QColor(255, 59, 48);
    status_->setStyleSheet(
        QStringLiteral("color: %1;").arg((error ? red : withAlpha(label, 0.55)).name(QColor::HexArgb)));
    note_->setStyleSheet(QStringLiteral("color: %1;").arg(withAlpha(label, 0.3).name(QColor::HexArgb)));
    icon_->setPixmap(lockIcon(withAlpha(label, 0.55)));
}

void UnlockPanel::paintEvent(QPaintEvent*) {
    // The card: rounded, translucent, with a hairline edge.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    card.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 22, 22);
    p.fillPath(card, dark_ ? QColor(28, 28, 32, 215) : QColor(246, 246, 248, 225));
    p.setPen(QPen(dark_ ? QColor(255, 255, 255, 40) : QColor(0, 0, 0, 30), 1));
    p.drawPath(card);
}

} // namespace tolva
