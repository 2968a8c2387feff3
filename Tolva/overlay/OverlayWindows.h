// What the lock needs of the overlay, whatever draws it: one window (and view) per display,
// built from one content record and torn down at unlock. The X server's windows and the Wayland
// compositor's surfaces each implement it.
#pragma once

#include "TolvaCore/DisplayLayout.h"
#include "overlay/OverlayContent.h"
#include "overlay/OverlayWindow.h"

#include <functional>
#include <memory>
#include <vector>

namespace tolva {

class OverlayWindows {
public:
    virtual ~OverlayWindows() = default;

    virtual void build(const OverlayContent& content) = 0;
    virtual void tearDown() = 0;
    virtual const std::vector<std::unique_ptr<OverlayWindow>>& windows() const = 0;
    // The displays the windows were built for, and the displays as they are now.
    virtual const DisplayLayout& layout() const = 0;
    virtual DisplayLayout currentLayout() const = 0;
    // The window whose display contains the point (core coordinates, y up), if any.
    virtual OverlayWindow* window(Point under) const = 0;
    // The window on the primary display, else the first; none without windows.
    virtual OverlayWindow* mainWindow() const = 0;

    // While windows are up: the input focus left them (another client moved it away).
    std::function<void()> onFocusLost;
    // While windows are up: another client's keyboard or pointer grab just ended, so the
    // input may be free to take back.
    std::function<void()> onGrabReleased;
    // While windows are up: an overlay window was destroyed by another client; the windows
    // must be built again.
    std::function<void()> onWindowLost;
    // While the overlay is up: the displays are no longer those the windows were built for.
    std::function<void()> onDisplaysChanged;
};

} // namespace tolva
