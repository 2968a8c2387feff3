// An sRGB colour without alpha, stored as "#RRGGBB".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolva {

struct SRGBColor {
    double red = 0;
    double green = 0;
    double blue = 0;

    SRGBColor() = default;
    // Clamps each component into 0…1.
    SRGBColor(double red, double green, double blue);
    // "#101218", "101218", surrounding white space allowed; nothing for anything else.
    static std::optional<SRGBColor> fromHex(std::string_view text);
    // The colour parsed from "#101218".
    static SRGBColor defaultOverlay();

    // "#" and two upper-case hex digits per component, rounded half away from zero.
    std::string hexString() const;

    friend bool operator==(const SRGBColor&, const SRGBColor&) = default;
};

} // namespace tolva
