// The look of the away note: large text or a sticky note.
#pragma once

#include "TolvaCore/StringEnum.h"

#include <string>

namespace tolva {

class AwayNoteStyle : public StringEnum<AwayNoteStyle, 2> {
public:
    enum Value : std::uint8_t { lockScreen, stickyNote };
    static constexpr std::array<std::string_view, 2> rawValues = {"lockScreen", "stickyNote"};

    constexpr AwayNoteStyle(Value value) : StringEnum(value) {}
    constexpr operator Value() const { return static_cast<Value>(index()); }

    std::string title() const;
};

} // namespace tolva
