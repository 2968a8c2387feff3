// User-perceived characters (extended grapheme clusters, by ICU's character break rules).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolva {

// The clusters of a UTF-8 text, each as its own UTF-8 string.
std::vector<std::string> graphemes(std::string_view utf8);
std::size_t graphemeCount(std::string_view utf8);

// The first code point of a UTF-8 text (U+FFFD for malformed input, 0 for empty).
char32_t firstCodePoint(std::string_view utf8);

} // namespace tolva
