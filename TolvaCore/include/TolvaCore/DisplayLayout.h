// A comparable description of the displays: identifier and frame of each, kept sorted so
// two layouts of the same displays compare equal however the system listed them.
#pragma once

#include "TolvaCore/Geometry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tolva {

class DisplayLayout {
public:
    struct Entry {
        std::uint32_t id = 0; // 0 when the display has no identifier
        Rect frame;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    DisplayLayout() = default;
    // Sorts by id, then by the frame's minimum x, then minimum y (stable).
    explicit DisplayLayout(std::vector<Entry> entries);

    const std::vector<Entry>& entries() const { return entries_; }
    bool isEmpty() const { return entries_.empty(); }
    std::size_t count() const { return entries_.size(); }

    // ["1@0,0 1512x982", "2@1512,0 1920x1080"]: numbers truncated toward zero.
    std::string logDescription() const;

    friend bool operator==(const DisplayLayout&, const DisplayLayout&) = default;

private:
    std::vector<Entry> entries_;
};

} // namespace tolva
