// The displays as the program sees them: identifier, frame in X's y-down coordinates, and the
// Qt screen that shows it.
#pragma once

#include "TolvaCore/DisplayLayout.h"

#include <QRect>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class QScreen;

namespace tolva {

struct DisplayInfo {
    std::uint32_t id = 0; // RandR monitor output XID (or the monitor's name atom); 0 when unknown
    QRect geometry;       // logical pixels, origin at the top left of the whole desktop
    QScreen* screen = nullptr;
    bool primary = false;
};

class DisplaySource {
public:
    virtual ~DisplaySource() = default;
    virtual std::vector<DisplayInfo> displays() = 0;
};

// Qt's screen list.
class QtDisplaySource : public DisplaySource {
public:
    std::vector<DisplayInfo> displays() override;
};

// A monitor as the display server lists it.
struct ServerMonitor {
    QString name;
    QRect pixels; // in the server's pixels
    bool primary = false;
    std::uint32_t id = 0;
};

// The display server's own monitors, each with the Qt screen of the same name. The server's
// list comes before Qt's: while monitors change in several steps, Qt's screens may lag behind
// for a while or keep a step that is already over, and a display left out would go uncovered.
std::vector<DisplayInfo> displaysOfMonitors(const std::vector<ServerMonitor>& monitors);

// The layout of displays in the core's y-up coordinates: y = primary height − (y + height).
DisplayLayout layoutOf(const std::vector<DisplayInfo>& displays);

} // namespace tolva
