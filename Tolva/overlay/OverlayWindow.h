// One shielding window per display: frameless, override-redirect (outside any window manager,
// so on every desktop, without shadow or animation), above everything, able to take the focus.
#pragma once

#include "overlay/OverlayView.h"

#include <QWidget>

#include <cstdint>
#include <optional>

namespace tolva {

class OverlayWindow : public QWidget {
public:
    OverlayWindow(Scheduler& scheduler, const QRect& geometry, bool translucent,
                  std::optional<std::uint32_t> displayID);

    OverlayView* overlayView() const { return view_; }
    std::optional<std::uint32_t> displayID() const { return displayID_; }
    bool isTranslucent() const { return translucent_; }
    // Gives up the native window and its backing store (the last frame drawn); the next show()
    // makes new ones.
    void releaseNativeWindow() { destroy(true, true); }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    OverlayView* view_;
    std::optional<std::uint32_t> displayID_;
    bool translucent_;
};

} // namespace tolva
