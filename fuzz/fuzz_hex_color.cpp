// The stored overlay colour ("#RRGGBB"): any text parses or gives nothing; a parsed colour has
// components in 0…1 and writes back to a text that parses to the same colour.
#include "TolvaCore/SRGBColor.h"

#include <cstdlib>
#include <string_view>

using namespace tolva;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto color = SRGBColor::fromHex(text);
    if (!color)
        return 0;
    for (double component : {color->red, color->green, color->blue})
        if (!(component >= 0.0 && component <= 1.0))
            std::abort();
    const std::string hex = color->hexString();
    auto again = SRGBColor::fromHex(hex);
    if (!again || again->hexString() != hex)
        std::abort();
    return 0;
}
