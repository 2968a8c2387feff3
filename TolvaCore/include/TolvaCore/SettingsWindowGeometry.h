// Where the settings window opens and where a side panel goes next to it: pure rectangle
// arithmetic in y-up global coordinates.
#pragma once

#include "TolvaCore/Geometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolva {

namespace SettingsWindowGeometry {

// The remembered placement; JSON {"frame": [[x, y], [w, h]], "visibleFrame": …, "screenID": n}.
struct Memory {
    Rect frame;
    Rect visibleFrame;
    std::uint32_t screenID = 0;

    std::string toJSON() const;
    // All three members required; anything else gives nothing.
    static std::optional<Memory> fromJSON(std::string_view json);

    friend bool operator==(const Memory&, const Memory&) = default;
};

Rect frame(const std::optional<Memory>& memory, Rect target, Size minSize);
Rect centered(Size size, Rect in);
Rect clamp(Rect rect, Rect into);
Rect sidePanelFrame(Size size, Rect beside, Rect in, double gap);

} // namespace SettingsWindowGeometry

} // namespace tolva
