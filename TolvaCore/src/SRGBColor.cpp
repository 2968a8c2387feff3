// SRGBColor parsing and printing.
#include "TolvaCore/SRGBColor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace tolva {

namespace {

double clamp01(double v) {
    if (!(v > 0)) // also catches NaN
        return 0;
    return v > 1 ? 1 : v;
}

// Unicode white space and line ends (tab, no-break space, U+2028, U+3000, ...): a colour pasted
// from a document or a web page often carries some.
void trimWhiteSpace(std::string_view& text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int32_t start = 0;
    const auto length = static_cast<int32_t>(text.size());
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !u_isUWhiteSpace(c))
            break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c))
            break;
        end = previous;
    }
    text = text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

SRGBColor::SRGBColor(double red, double green, double blue)
    : red(clamp01(red)), green(clamp01(green)), blue(clamp01(blue)) {}

std::optional<SRGBColor> SRGBColor::fromHex(std::string_view text) {
    trimWhiteSpace(text);
    if (text.starts_with('#'))
        text.remove_prefix(1);
    if (text.size() != 6)
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        int digit = hexDigit(c);
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return SRGBColor(((value >> 16) & 0xFF) / 255.0, ((value >> 8) & 0xFF) / 255.0, (value & 0xFF) / 255.0);
}

SRGBColor SRGBColor::defaultOverlay() {
    return *fromHex("#101218");
}

std::string SRGBColor::hexString() const {
    auto byte = [](double component) { return static_cast<int>(std::round(clamp01(component) * 255.0)); };
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "#%02X%02X%02X", byte(red), byte(green), byte(blue));
    return buffer;
}

} // namespace tolva
