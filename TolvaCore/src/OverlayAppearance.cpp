// Titles, clamps and tuning of the overlay appearance types.
#include "TolvaCore/AwayNoteStyle.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/OverlayAnimation.h"
#include "TolvaCore/OverlayContentMode.h"

#include <algorithm>
#include <cmath>

namespace tolva {

std::string OverlayContentMode::title() const {
    return L10n::string("overlayContentMode." + std::string(rawValue()) + ".title");
}

std::string OverlayContentMode::detail() const {
    return L10n::string("overlayContentMode." + std::string(rawValue()) + ".detail");
}

double OverlayContentMode::clampLiveTintAlpha(double alpha) {
    if (!(alpha > liveTintAlphaMin)) // NaN included
        return liveTintAlphaMin;
    return std::round(std::min(alpha, liveTintAlphaMax) * 100.0) / 100.0;
}

std::string AwayNoteStyle::title() const {
    return L10n::string("awayNoteStyle." + std::string(rawValue()) + ".title");
}

std::string OverlayAnimation::title() const {
    return L10n::string("overlayAnimation." + std::string(rawValue()) + ".title");
}

std::string OverlayAnimation::detail() const {
    return L10n::string("overlayAnimation." + std::string(rawValue()) + ".detail");
}

bool OverlayAnimation::applies(OverlayContentMode mode) const {
    if (*this == pixelShift)
        return mode == OverlayContentMode::snapshot || mode == OverlayContentMode::image;
    return true;
}

std::vector<std::string> sortedRawValues(const OverlayAnimationSet& animations) {
    std::vector<std::string> raw;
    for (auto animation : animations)
        raw.emplace_back(OverlayAnimation(animation).rawValue());
    std::sort(raw.begin(), raw.end());
    return raw;
}

std::string quotedList(const OverlayAnimationSet& animations) {
    std::string out = "[";
    bool first = true;
    for (const auto& raw : sortedRawValues(animations)) {
        out += (first ? "\"" : ", \"") + raw + "\"";
        first = false;
    }
    return out + "]";
}

std::string AnimationStrength::title() const {
    return L10n::string("animationStrength." + std::string(rawValue()) + ".title");
}

OverlayAnimationTuning OverlayAnimationTuning::tuning(AnimationStrength strength) {
    switch (strength) {
    case AnimationStrength::subtle:
        return {2, 45, 0.03, 30, 0.05, 80};
    case AnimationStrength::medium:
        return {6, 20, 0.1, 16, 0.15, 40};
    case AnimationStrength::strong:
        return {16, 10, 0.25, 8, 0.35, 20};
    }
    return {2, 45, 0.03, 30, 0.05, 80};
}

} // namespace tolva
