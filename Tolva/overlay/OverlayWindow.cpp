// Overlay window flags and its single content view.
#include "overlay/OverlayWindow.h"

namespace tolva {

OverlayWindow::OverlayWindow(Scheduler& scheduler, const QRect& geometry, bool translucent,
                             std::optional<std::uint32_t> displayID)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::X11BypassWindowManagerHint | Qt::NoDropShadowWindowHint),
      view_(new OverlayView(scheduler, geometry.size(), true, this)), displayID_(displayID),
      translucent_(translucent) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_ShowWithoutActivating);
    if (translucent)
        setAttribute(Qt::WA_TranslucentBackground);
    else
        setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    setWindowTitle(QStringLiteral("Tolva Screen overlay"));
    setGeometry(geometry);
    view_->setGeometry(rect());
    setFocusProxy(view_);
}

void OverlayWindow::resizeEvent(QResizeEvent*) {
    view_->setGeometry(rect());
}

} // namespace tolva
