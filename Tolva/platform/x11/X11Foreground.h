// The foreground on X11: the overlay window raised and given the input focus; the window that
// had the focus remembered and given it back; "kiosk" adds a pointer grab.
#pragma once

#include "lock/LockCollaborators.h"
#include "platform/x11/XConnection.h"

#include <functional>
#include <memory>

namespace tolva {

class X11OverlayWindows;

class X11Foreground : public Foreground {
public:
    X11Foreground(std::shared_ptr<XConnection> x11, std::function<bool(xcb_window_t)> isOurs);

    std::optional<std::string> frontmostName() override;
    void rememberFrontmost() override;
    std::optional<std::string> rememberedName() override { return rememberedName_; }
    void forgetRemembered() override;
    void bringToFront(OverlayWindow* window) override;
    bool isActive() override;
    bool handBack() override;
    void setKiosk(bool on) override;
    bool isKiosk() override { return kiosk_; }

private:
    xcb_window_t focusedTopLevel();
    bool isViewable(xcb_window_t window);
    std::optional<std::string> nameOf(xcb_window_t window);

    std::shared_ptr<XConnection> x11_;
    std::function<bool(xcb_window_t)> isOurs_;
    xcb_window_t remembered_ = XCB_NONE;
    std::optional<std::string> rememberedName_;
    bool kiosk_ = false;
};

} // namespace tolva
