// GNOME Shell's monitors and their pictures.
#include "platform/gnome/GnomeScreenCapture.h"

#include "log/Log.h"

namespace tolva {

std::vector<DisplayInfo> GnomeDisplays::displaysOf(const std::vector<GnomeShellCover::Monitor>& monitors) {
    std::vector<DisplayInfo> displays;
    std::uint32_t id = 0;
    for (const auto& monitor : monitors) {
        DisplayInfo d;
        d.id = ++id;
        d.geometry = monitor.geometry;
        d.primary = monitor.primary;
        displays.push_back(d);
    }
    return displays;
}

Snapshots GnomeScreenCapture::capture(const std::vector<DisplayInfo>& displays) {
    std::string error;
    const auto shots = shell_->snapshot(&error);
    if (shots.empty())
        Log::lock.error("gnome shell: no snapshot: " + error);
    Snapshots snapshots;
    // The Shell's pictures by the monitor they show.
    for (const auto& display : displays)
        for (const auto& [area, image] : shots)
            if (area == display.geometry && !image.isNull())
                snapshots[display.id] = image;
    return snapshots;
}

} // namespace tolva
