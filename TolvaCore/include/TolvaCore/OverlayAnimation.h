// The slow motion effects of the overlay, their strength, and the numbers behind each strength.
#pragma once

#include "TolvaCore/OverlayContentMode.h"
#include "TolvaCore/StringEnum.h"

#include <set>
#include <string>
#include <vector>

namespace tolva {

class OverlayAnimation : public StringEnum<OverlayAnimation, 3> {
public:
    enum Value : std::uint8_t { pixelShift, breathing, gradientDrift };
    static constexpr std::array<std::string_view, 3> rawValues = {"pixelShift", "breathing", "gradientDrift"};

    constexpr OverlayAnimation(Value value) : StringEnum(value) {}
    constexpr operator Value() const { return static_cast<Value>(index()); }

    std::string title() const;
    std::string detail() const;
    // Pixel shift needs a picture to move (snapshot, image); the other effects apply everywhere.
    bool applies(OverlayContentMode mode) const;
};

using OverlayAnimationSet = std::set<OverlayAnimation::Value>;

// Raw values sorted ascending in plain string order: the stored form of a set.
std::vector<std::string> sortedRawValues(const OverlayAnimationSet& animations);
// The same as a log value: ["breathing", "pixelShift"], [] when empty.
std::string quotedList(const OverlayAnimationSet& animations);

class AnimationStrength : public StringEnum<AnimationStrength, 3> {
public:
    enum Value : std::uint8_t { subtle, medium, strong };
    static constexpr std::array<std::string_view, 3> rawValues = {"subtle", "medium", "strong"};

    constexpr AnimationStrength(Value value) : StringEnum(value) {}
    constexpr operator Value() const { return static_cast<Value>(index()); }

    std::string title() const;
};

struct OverlayAnimationTuning {
    double pixelShiftStep;     // points moved at each shift
    double pixelShiftInterval; // seconds between shifts
    double breathingDepth;     // deepest opacity of the dimming layer
    double breathingPeriod;    // seconds of one full breath
    double gradientOpacity;    // opacity of the drifting gradient
    double gradientPeriod;     // seconds of one full drift, there and back

    // The picture is drawn this much larger than the view on every side.
    static constexpr double maxPixelShiftStep = 16;

    static OverlayAnimationTuning tuning(AnimationStrength strength);

    friend bool operator==(const OverlayAnimationTuning&, const OverlayAnimationTuning&) = default;
};

} // namespace tolva
