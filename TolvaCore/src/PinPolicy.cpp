// PIN validation and its messages.
#include "TolvaCore/PinPolicy.h"

#include "TolvaCore/Graphemes.h"
#include "TolvaCore/L10n.h"

namespace tolva::PinPolicy {

bool isAsciiDigit(std::string_view character) {
    return character.size() == 1 && character[0] >= '0' && character[0] <= '9';
}

std::optional<Violation> validate(std::string_view pin) {
    auto characters = graphemes(pin);
    for (const auto& character : characters)
        if (!isAsciiDigit(character))
            return Violation::notDigits;
    if (characters.size() < static_cast<std::size_t>(minLength))
        return Violation::tooShort;
    if (characters.size() > static_cast<std::size_t>(maxLength))
        return Violation::tooLong;
    return std::nullopt;
}

std::string description(Violation violation) {
    switch (violation) {
    case Violation::tooShort:
        return L10n::Pin::Error::tooShort(minLength);
    case Violation::tooLong:
        return L10n::Pin::Error::tooLong(maxLength);
    case Violation::notDigits:
        return L10n::Pin::Error::notDigits();
    }
    return {};
}

} // namespace tolva::PinPolicy
