// Key classification and the PIN entry buffer.
#include "TolvaCore/PinEntry.h"

#include "TolvaCore/Graphemes.h"
#include "TolvaCore/PinPolicy.h"
#include "TolvaCore/SecretText.h"

namespace tolva {

PinKey PinKeyRouter::classify(std::int64_t keyCode, KeyModifiers modifiers,
                              const std::optional<std::string>& characters) {
    if (keyCode == returnKeyCode || keyCode == keypadEnterKeyCode)
        return PinKey::submit();
    if (keyCode == deleteKeyCode || keyCode == forwardDeleteKeyCode)
        return PinKey::backspace();
    if (keyCode == escapeKeyCode) {
        constexpr std::uint8_t chord = KeyModifiers::control | KeyModifiers::option | KeyModifiers::command;
        return modifiers.contains(chord) ? PinKey::escapeHatch() : PinKey::clear();
    }
    if ((modifiers.rawValue & ~KeyModifiers::shift) != 0)
        return PinKey::ignore();
    if (!characters || characters->empty())
        return PinKey::ignore();
    auto clusters = graphemes(*characters);
    if (clusters.size() != 1)
        return PinKey::ignore();
    const char32_t first = firstCodePoint(clusters.front());
    // Control characters and the function-key range (arrows, F-keys, Home, End, Page keys).
    if (first < 0x20 || first == 0x7F || (first >= 0xF700 && first <= 0xF8FF))
        return PinKey::ignore();
    return PinKey::insert(std::move(clusters.front()));
}

bool PinEntry::isAllDigits() const {
    if (text_.empty())
        return false;
    for (const auto& character : graphemes(text_))
        if (!PinPolicy::isAsciiDigit(character))
            return false;
    return true;
}

PinEntry::Outcome PinEntry::apply(const PinKey& key, std::optional<std::int64_t> autoSubmitLength) {
    switch (key.kind) {
    case PinKey::Kind::backspace: {
        if (text_.empty())
            return Outcome::unchanged();
        auto clusters = graphemes(text_);
        const std::size_t keep = text_.size() - clusters.back().size();
        OPENSSL_cleanse(text_.data() + keep, text_.size() - keep);
        text_.resize(keep);
        count_ = clusters.size() - 1;
        return Outcome::changed();
    }
    case PinKey::Kind::clear:
        if (text_.empty())
            return Outcome::unchanged();
        reset();
        return Outcome::changed();
    case PinKey::Kind::submit: {
        if (text_.empty())
            return Outcome::unchanged();
        std::string submitted = std::move(text_);
        reset();
        return Outcome::submitted(std::move(submitted));
    }
    case PinKey::Kind::escapeHatch:
        return Outcome::escapeHatch();
    case PinKey::Kind::ignore:
        return Outcome::unchanged();
    case PinKey::Kind::insert: {
        if (count_ >= maxLength)
            return Outcome::unchanged();
        // Room for the whole entry up front: growing would leave copies of it in freed memory.
        if (text_.capacity() < maxLength * 4)
            text_.reserve(maxLength * 4);
        text_ += key.character;
        // A character may join the one before it (a combining mark): count clusters again.
        count_ = graphemeCount(text_);
        if (autoSubmitLength && *autoSubmitLength == static_cast<std::int64_t>(count_) && isAllDigits()) {
            std::string submitted = std::move(text_);
            reset();
            return Outcome::submitted(std::move(submitted));
        }
        return Outcome::changed();
    }
    }
    return Outcome::unchanged();
}

void PinEntry::reset() {
    wipe(text_);
    count_ = 0;
}

} // namespace tolva
