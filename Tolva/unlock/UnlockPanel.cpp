// Unlock panel layout, colours and model application.
#include "unlock/UnlockPanel.h"

#include "TolvaCore/L10n.h"
#include "log/Log.h"
#include "unlock/FingerprintControl.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

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
    icon_->setAccessibleName(QString::fromStdString(L10n::Unlock::Accessibility::lockIcon()));
    for (QLabel* label : {status_, note_}) {
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setWordWrap(true);
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::NoTextInteraction);
    }
    // Sizes that read at a glance from a step away; the card grows to fit them.
    QFont statusFont = font();
    statusFont.setPixelSize(13);
    status_->setFont(statusFont);
    QFont noteFont = font();
    noteFont.setPixelSize(12);
    note_->setFont(noteFont);
    applyColors();
    resize(panelWidth, panelHeight);
    layoutContent();
}

bool UnlockPanel::update(const UnlockPanelModel& model) {
    if (lastModel_ == model)
        return false;
    lastModel_ = model;
    const QString status = QString::fromStdString(model.message.value_or(model.title));
    const QString note = QString::fromStdString(model.note.value_or(""));
    const bool newTexts = status != status_->text() || note != note_->text();
    status_->setText(status);
    applyColors();
    dots_->setState(model.filled, model.total, model.inputEnabled);
    note_->setText(note);
    if (newTexts) // a key typed changes only the dots: the card keeps its size and lines
        fitToTexts();
    return true;
}

namespace {

int lineCount(const QLabel& label, int width) {
    if (label.text().isEmpty())
        return 0;
    // One line of this very text: a fallback font (a Japanese one, say) has taller lines than
    // the label's own font.
    const int line = std::max(1, label.heightForWidth(QWIDGETSIZE_MAX / 2));
    return (label.heightForWidth(width) + line / 2) / line;
}

} // namespace

int UnlockPanel::balancedWidth(const QLabel& label, int width) {
    const int height = label.heightForWidth(width);
    if (lineCount(label, width) <= 1)
        return width;
    // Narrowing never takes fewer lines; find the narrowest width that takes no more. Balanced
    // lines are at least half the full width, so the search starts there.
    int low = width / 2;
    int high = width;
    while (low < high) {
        const int mid = (low + high) / 2;
        if (label.heightForWidth(mid) <= height)
            high = mid;
        else
            low = mid + 1;
    }
    return high;
}

void UnlockPanel::fitToTexts() {
    // The narrowest card, in steps, on which the status line takes at most two lines and the note
    // at most four; the widest when even that is not enough (the card then grows in height).
    int width = panelWidth;
    while (width < maxPanelWidth &&
           (lineCount(*status_, width - 16) > statusLines || lineCount(*note_, width - 24) > noteLines))
        width += 20;
    const int statusHeight = std::max(QFontMetrics(status_->font()).lineSpacing() * statusLines,
                                      status_->heightForWidth(width - 16));
    const int noteHeight = note_->text().isEmpty() ? 0 : note_->heightForWidth(width - 24);
    const int height = std::max(panelHeight, 74 + statusHeight + (noteHeight > 0 ? 7 + noteHeight : 0) + 14);
    if (QSize(width, height) == size()) {
        layoutContent(); // new texts on the same card
        return;
    }
    const QPoint centre = geometry().center();
    resize(width, height);
    // A hidden card gets its resize event only when shown: laid out here, not waiting for it.
    layoutContent();
    if (parentWidget())
        move(centre - QPoint((width - 1) / 2, (height - 1) / 2));
    if (onResized)
        onResized();
}

void UnlockPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutContent();
}

void UnlockPanel::layoutContent() {
    // Measured from the top: the icon (or the fingerprint control in its place), the dots, the
    // status line and under it the note, every text centred on lines of even length.
    const int w = width();
    icon_->setGeometry((w - 24) / 2, 20, 24, 22);
    for (auto* control : findChildren<FingerprintControl*>(Qt::FindDirectChildrenOnly))
        control->move((w - FingerprintControl::frame.width()) / 2, FingerprintControl::frame.y());
    dots_->setGeometry(16, 54, w - 32, 12);
    const int statusWidth = balancedWidth(*status_, w - 16);
    const int statusHeight = std::max(QFontMetrics(status_->font()).lineSpacing() * statusLines,
                                      status_->heightForWidth(statusWidth));
    status_->setGeometry((w - statusWidth) / 2, 74, statusWidth, statusHeight);
    const int noteWidth = balancedWidth(*note_, w - 24);
    const int noteTop = 74 + statusHeight + 7;
    note_->setGeometry((w - noteWidth) / 2, noteTop, noteWidth,
                       std::max(note_->heightForWidth(noteWidth), height() - noteTop - 14));
}

void UnlockPanel::setDarkAppearance(bool dark) {
    if (dark == dark_)
        return;
    dark_ = dark;
    applyColors();
    QWidget::update();
}

QColor UnlockPanel::cardColor() const {
    return dark_ ? QColor(28, 28, 32, 215) : QColor(246, 246, 248, 225);
}

void UnlockPanel::applyColors() {
    // Every text keeps at least 4.5:1 against the card over whatever lies behind it (white behind
    // the dark card, black behind the light one).
    const QColor label = dark_ ? QColor(255, 255, 255) : QColor(0, 0, 0);
    auto withAlpha = [](QColor c, double a) {
        c.setAlphaF(a);
        return c;
    };
    auto setText = [](QWidget* widget, const QColor& colour) {
        QPalette palette = widget->palette();
        palette.setColor(QPalette::WindowText, colour);
        widget->setPalette(palette);
    };
    setText(dots_, withAlpha(label, 0.9));
    const bool error = lastModel_ && lastModel_->message;
    const QColor red = dark_ ? QColor(255, 140, 130) : QColor(180, 20, 20);
    setText(status_, error ? red : withAlpha(label, 0.78));
    setText(note_, withAlpha(label, 0.68));
    icon_->setPixmap(lockIcon(withAlpha(label, 0.6)));
}

void UnlockPanel::paintEvent(QPaintEvent*) {
    // The card: rounded, translucent, with a hairline edge.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    card.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 22, 22);
    p.fillPath(card, cardColor());
    p.setPen(QPen(dark_ ? QColor(255, 255, 255, 40) : QColor(0, 0, 0, 30), 1));
    p.drawPath(card);
}

void PanelTextLog::shown(const UnlockPanel& panel) {
    const QString text = panel.statusLabel()->text();
    if (text == last_)
        return;
    last_ = text;
    Log::ui.debug("unlock panel: " + text.toStdString());
}

} // namespace tolva
