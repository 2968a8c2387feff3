// The compiled-in string tables (generated at build time from TolvaCore/strings).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace tolva::strings {

struct Entry {
    std::string_view key;
    std::string_view text;
};

inline constexpr std::size_t languageCount = 7;

// One table per language in AppLanguage declaration order, each sorted by key.
extern const std::array<std::span<const Entry>, languageCount> tables;

} // namespace tolva::strings
