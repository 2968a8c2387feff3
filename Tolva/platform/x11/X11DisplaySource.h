// The displays of an X server: its RandR monitors, each with the Qt screen of the same name;
// Qt's screen list where the server has no RandR.
#pragma once

#include "overlay/Displays.h"

#include <map>
#include <memory>

namespace tolva {

class XConnection;

class X11DisplaySource : public QtDisplaySource {
public:
    explicit X11DisplaySource(std::shared_ptr<XConnection> x11) : x11_(std::move(x11)) {}
    std::vector<DisplayInfo> displays() override;

private:
    std::shared_ptr<XConnection> x11_;
    std::map<std::uint32_t, QString> atomNames_;
};

} // namespace tolva
