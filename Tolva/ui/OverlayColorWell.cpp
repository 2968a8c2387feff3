// The swatch, the shared dialog and its placement.
#include "ui/OverlayColorWell.h"

#include "TolvaCore/L10n.h"
#include "TolvaCore/SettingsWindowGeometry.h"
#include "ui/ScreenCoordinates.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPointer>
#include <QScreen>

namespace tolva {

namespace {
QPointer<QColorDialog> panel;
constexpr double panelGap = 12;
} // namespace

std::optional<SRGBColor> srgbColor(const QColor& color) {
    if (!color.isValid())
        return std::nullopt;
    const QColor rgb = color.toRgb();
    if (!rgb.isValid())
        return std::nullopt;
    // The dialog speaks 8 bits per channel; so does the stored form.
    return SRGBColor(rgb.red() / 255.0, rgb.green() / 255.0, rgb.blue() / 255.0);
}

OverlayColorWell::OverlayColorWell(QWidget* parent) : QPushButton(parent) {
    setFixedSize(52, 26);
    setAccessibleName(QString::fromStdString(L10n::Settings::Display::colorPickerLabel()));
    setToolTip(accessibleName());
    connect(this, &QPushButton::clicked, this, [this] { activate(); });
}

OverlayColorWell::~OverlayColorWell() {
    QObject::disconnect(connection_);
    QObject::disconnect(finished_);
}

QColorDialog* OverlayColorWell::sharedPanel() {
    if (!panel) {
        panel = new QColorDialog();
        // Qt's own dialog, so that it can be placed beside the settings window; with OK and
        // Cancel: every colour shows at once, Cancel goes back to the one from before.
        panel->setOptions(QColorDialog::DontUseNativeDialog);
        panel->setModal(false);
        panel->setAttribute(Qt::WA_DeleteOnClose, false);
    }
    return panel;
}

bool OverlayColorWell::isPanelVisible() {
    return panel && panel->isVisible();
}

void OverlayColorWell::hidePanel() {
    if (isPanelVisible())
        panel->hide();
}

void OverlayColorWell::present(QWidget* window) {
    QColorDialog* dialog = sharedPanel();
    if (window) {
        QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            const double h = ScreenCoordinates::primaryHeight();
            dialog->adjustSize();
            // Before it is first shown the dialog has no frame yet: the window's frame stands in.
            const QMargins frameMargins(window->geometry().left() - window->frameGeometry().left(),
                                        window->geometry().top() - window->frameGeometry().top(),
                                        window->frameGeometry().right() - window->geometry().right(),
                                        window->frameGeometry().bottom() - window->geometry().bottom());
            const QSize size =
                dialog->isVisible() ? dialog->frameGeometry().size() : dialog->size().grownBy(frameMargins);
            const QRect available = screen->availableGeometry();
            QRect owner = window->frameGeometry();
            // No room on either side: the window moves over so that both fit side by side, the
            // dialog never covering it.
            const int gap = int(panelGap);
            if (owner.right() + gap + size.width() > available.right() &&
                owner.left() - gap - size.width() < available.left() &&
                owner.width() + gap + size.width() <= available.width()) {
                owner.moveLeft(available.left() +
                               (available.width() - owner.width() - gap - size.width()) / 2);
                window->move(owner.topLeft());
            }
            const Rect frame = SettingsWindowGeometry::sidePanelFrame(
                Size{double(size.width()), double(size.height())}, ScreenCoordinates::toCore(owner, h),
                ScreenCoordinates::toCore(available, h), panelGap);
            dialog->move(ScreenCoordinates::toQt(frame, h).topLeft());
        }
    }
    dialog->show();
    dialog->raise();
}

void OverlayColorWell::refresh() {
    if (!get)
        return;
    const SRGBColor bound = get();
    if (auto shown = srgbColor(color_); shown && *shown == bound)
        return;
    color_ = QColor::fromRgbF(float(bound.red), float(bound.green), float(bound.blue));
    update();
}

void OverlayColorWell::activate() {
    QColorDialog* dialog = sharedPanel();
    QObject::disconnect(connection_);
    dialog->setWindowTitle(accessibleName());
    dialog->setCurrentColor(color_);
    // Connected after the colour is set, so opening the dialog writes nothing.
    connection_ = connect(dialog, &QColorDialog::currentColorChanged, this,
                          [this](const QColor& c) { colorChanged(c); });
    QObject::disconnect(finished_);
    const QColor before = color_;
    finished_ = connect(dialog, &QDialog::finished, this, [this, before](int result) {
        QObject::disconnect(connection_);
        QObject::disconnect(finished_);
        if (result == QDialog::Rejected)
            colorChanged(before); // Cancel: the colour from before the dialog opened
    });
    present(window());
}

void OverlayColorWell::colorChanged(const QColor& color) {
    const auto picked = srgbColor(color);
    if (!picked || !get || !set)
        return;
    if (*picked == get())
        return;
    set(*picked);
    refresh();
}

void OverlayColorWell::paintEvent(QPaintEvent* event) {
    QPushButton::paintEvent(event);
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF swatch = QRectF(rect()).adjusted(6, 5, -6, -5);
    p.setPen(QPen(palette().color(QPalette::Mid), 1));
    p.setBrush(color_);
    p.drawRoundedRect(swatch, 3, 3);
}

} // namespace tolva
