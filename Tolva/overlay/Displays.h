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

class XConnection;

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

// The X server's RandR monitors, each with the Qt screen of the same name; Qt's screen list
// where the server has no RandR.
class QtDisplaySource : public DisplaySource {
public:
    explicit QtDisplaySource(std::shared_ptr<XConnection> x11 = nullptr) : x11_(std::move(x11)) {}
    std::vector<DisplayInfo> displays() override;

private:
    std::shared_ptr<XConnection> x11_;
    std::map<std::uint32_t, QString> atomNames_;
};

// The layout of displays in the core's y-up coordinates: y = primary height − (y + height).
DisplayLayout layoutOf(const std::vector<DisplayInfo>& displays);

} // namespace tolva
