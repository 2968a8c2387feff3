// What covers each display while the overlay is on.
#pragma once

#include "TolvaCore/StringEnum.h"

#include <string>

namespace tolva {

class OverlayContentMode : public StringEnum<OverlayContentMode, 4> {
public:
    enum Value : std::uint8_t { liveTint, solidColor, snapshot, image };
    static constexpr std::array<std::string_view, 4> rawValues = {"liveTint", "solidColor", "snapshot",
                                                                  "image"};

    static constexpr double defaultLiveTintAlpha = 0.06;
    static constexpr double liveTintAlphaMin = 0.02;
    static constexpr double liveTintAlphaMax = 0.5;

    constexpr OverlayContentMode(Value value) : StringEnum(value) {}
    constexpr operator Value() const { return static_cast<Value>(index()); }

    std::string title() const;
    std::string detail() const;
    bool needsScreenRecording() const { return *this == snapshot; }

    // At most two decimals within 0.02…0.5 (0.125 → 0.13, 0.01 → 0.02, 0.9 → 0.5).
    static double clampLiveTintAlpha(double alpha);
};

} // namespace tolva
