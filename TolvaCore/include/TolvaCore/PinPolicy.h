// What a valid PIN is: 4 to 8 ASCII digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolva {

namespace PinPolicy {

inline constexpr int minLength = 4;
inline constexpr int maxLength = 8;

enum class Violation { tooShort, tooLong, notDigits };

// The first violation: the character rule before the length rule.
std::optional<Violation> validate(std::string_view pin);

// "A PIN must be at least 4 digits" and so on, in the interface language.
std::string description(Violation violation);

// True for exactly the ten ASCII digits as one user-perceived character.
bool isAsciiDigit(std::string_view character);

} // namespace PinPolicy

} // namespace tolva
