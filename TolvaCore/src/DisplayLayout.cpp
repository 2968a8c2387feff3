// DisplayLayout ordering and its log form.
#include "TolvaCore/DisplayLayout.h"

#include <algorithm>
#include <cmath>

namespace tolva {

DisplayLayout::DisplayLayout(std::vector<Entry> entries) : entries_(std::move(entries)) {
    std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
        if (a.id != b.id)
            return a.id < b.id;
        if (a.frame.minX() != b.frame.minX())
            return a.frame.minX() < b.frame.minX();
        return a.frame.minY() < b.frame.minY();
    });
}

std::string DisplayLayout::logDescription() const {
    auto integer = [](double v) { return std::to_string(static_cast<long long>(std::trunc(v))); };
    std::string out = "[";
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        if (i > 0)
            out += ", ";
        out += "\"" + std::to_string(e.id) + "@" + integer(e.frame.x) + "," + integer(e.frame.y) + " " +
               integer(e.frame.width) + "x" + integer(e.frame.height) + "\"";
    }
    return out + "]";
}

} // namespace tolva
