// User-perceived characters (extended grapheme clusters, by ICU's character break rules).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolva {

// The clusters of a UTF-8 text, each as its own UTF-8 string.
std::vector<std::string> graphemes(std::string_view utf8);
std::size_t graphemeCount(std::string_view utf8);
// The first `count` clusters of a UTF-8 text (all of it when shorter). Reads only as far as it
// needs, so a huge text costs no more than a short one.
std::string_view graphemePrefix(std::string_view utf8, std::size_t count);

// The first code point of a UTF-8 text (U+FFFD for malformed input, 0 for empty).
char32_t firstCodePoint(std::string_view utf8);

} // namespace tolva
