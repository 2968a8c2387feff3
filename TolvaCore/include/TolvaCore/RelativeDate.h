// A moment told relative to now in the interface language ("5 minutes ago", "yesterday").
#pragma once

#include <chrono>
#include <string>

namespace tolva {

// Named presentation with wide units, in the current interface locale; a date later than
// `now` reads as now.
std::string relativeDateText(std::chrono::system_clock::time_point date,
                             std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

} // namespace tolva
