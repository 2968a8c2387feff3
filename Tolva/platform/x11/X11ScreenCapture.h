// Snapshots of the displays read from the X server.
#pragma once

#include "overlay/ScreenSnapshotter.h"

namespace tolva {

// The X server's root window, one display region each, at the display's pixel size, without
// the cursor (the core protocol never includes it). MIT-SHM when available, else GetImage.
class X11ScreenCapture : public ScreenCaptureBackend {
public:
    Snapshots capture(const std::vector<DisplayInfo>& displays) override;
    // One region of the root window (its own connection, so captures run in parallel).
    static QImage captureRegion(const QRect& region);
};

} // namespace tolva
