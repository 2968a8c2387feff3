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
}

QColorDialog* OverlayColorWell::sharedPanel() {
    if (!panel) {
        panel = new QColorDialog();
        panel->setOptions(QColorDialog::NoButtons | QColorDialog::DontUseNativeDialog);
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
            const Rect frame = SettingsWindowGeometry::sidePanelFrame(
                Size{double(dialog->frameGeometry().width()), double(dialog->frameGeometry().height())},
                ScreenCoordinates::toCore(window->frameGeometry(), h),
                ScreenCoordinates::toCore(screen->availableGeometry(), h), panelGap);
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
