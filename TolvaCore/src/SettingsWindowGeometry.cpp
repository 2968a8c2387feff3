// Settings-window placement arithmetic and the JSON form of its memory.
#include "TolvaCore/SettingsWindowGeometry.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace tolva::SettingsWindowGeometry {

namespace {

nlohmann::json encode(const Rect& r) {
    return {{r.x, r.y}, {r.width, r.height}};
}

std::optional<Rect> decodeRect(const nlohmann::json& json) {
    if (!json.is_array() || json.size() != 2)
        return std::nullopt;
    const auto& origin = json[0];
    const auto& size = json[1];
    if (!origin.is_array() || origin.size() != 2 || !size.is_array() || size.size() != 2)
        return std::nullopt;
    for (const auto* pair : {&origin, &size})
        for (const auto& v : *pair)
            if (!v.is_number())
                return std::nullopt;
    return Rect{origin[0].get<double>(), origin[1].get<double>(), size[0].get<double>(),
                size[1].get<double>()};
}

} // namespace

std::string Memory::toJSON() const {
    return nlohmann::json{
        {"frame", encode(frame)}, {"visibleFrame", encode(visibleFrame)}, {"screenID", screenID}}
        .dump();
}

std::optional<Memory> Memory::fromJSON(std::string_view text) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return std::nullopt;
    if (!json.contains("frame") || !json.contains("visibleFrame") || !json.contains("screenID"))
        return std::nullopt;
    auto frame = decodeRect(json["frame"]);
    auto visible = decodeRect(json["visibleFrame"]);
    const auto& id = json["screenID"];
    if (!frame || !visible || !id.is_number_integer())
        return std::nullopt;
    auto value = id.get<std::int64_t>();
    if (value < 0 || value > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return Memory{*frame, *visible, static_cast<std::uint32_t>(value)};
}

Rect clamp(Rect rect, Rect b) {
    const double x = std::min(std::max(b.minX(), b.maxX() - rect.width), std::max(rect.minX(), b.minX()));
    const double y = std::min(b.maxY() - rect.height, std::max(rect.minY(), b.minY()));
    return {x, y, rect.width, rect.height};
}

Rect centered(Size size, Rect r) {
    const double x = std::floor(r.minX() + (r.width - size.width) * 0.5);
    const double y = std::floor(r.minY() + (r.height - size.height) * 0.75);
    return clamp({x, y, size.width, size.height}, r);
}

Rect frame(const std::optional<Memory>& memory, Rect target, Size minSize) {
    if (!memory)
        return centered(minSize, target);
    const double width = std::max(minSize.width, memory->frame.width);
    const double height = std::max(minSize.height, memory->frame.height);
    const bool grew = width != memory->frame.width || height != memory->frame.height;
    if (memory->visibleFrame == target && !grew)
        return memory->frame;
    const double x = memory->frame.minX() - memory->visibleFrame.minX() + target.minX();
    const double y = target.maxY() - (memory->visibleFrame.maxY() - memory->frame.maxY()) - height;
    return clamp({x, y, width, height}, target);
}

Rect sidePanelFrame(Size size, Rect w, Rect v, double gap) {
    const double y = w.maxY() - size.height;
    double x = w.maxX() + gap;
    if (x + size.width > v.maxX()) {
        const double left = w.minX() - gap - size.width;
        if (left >= v.minX())
            x = left;
    }
    return clamp({x, y, size.width, size.height}, v);
}

} // namespace tolva::SettingsWindowGeometry
