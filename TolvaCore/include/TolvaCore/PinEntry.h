// Key routing for the unlock panel and the bounded text buffer behind its dots.
#pragma once

#include "TolvaCore/HotKey.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tolva {

// The modifiers of a key event: the same four bits as a shortcut's (control 1, option 2,
// shift 4, command 8), built from the event's flags with fromEventFlags.
using KeyModifiers = HotKeyModifiers;

struct PinKey {
    enum class Kind { insert, backspace, clear, submit, escapeHatch, ignore };
    Kind kind = Kind::ignore;
    std::string character; // the one user-perceived character, for insert

    static PinKey insert(std::string character) { return {Kind::insert, std::move(character)}; }
    static PinKey backspace() { return {Kind::backspace, {}}; }
    static PinKey clear() { return {Kind::clear, {}}; }
    static PinKey submit() { return {Kind::submit, {}}; }
    static PinKey escapeHatch() { return {Kind::escapeHatch, {}}; }
    static PinKey ignore() { return {Kind::ignore, {}}; }

    friend bool operator==(const PinKey&, const PinKey&) = default;
};

namespace PinKeyRouter {

inline constexpr std::int64_t escapeKeyCode = 53;
inline constexpr std::int64_t deleteKeyCode = 51;
inline constexpr std::int64_t forwardDeleteKeyCode = 117;
inline constexpr std::int64_t returnKeyCode = 36;
inline constexpr std::int64_t keypadEnterKeyCode = 76;

// `characters` are those the key produced with its modifiers applied.
PinKey classify(std::int64_t keyCode, KeyModifiers modifiers, const std::optional<std::string>& characters);

} // namespace PinKeyRouter

class PinEntry {
public:
    static constexpr std::size_t maxLength = 64;
    // The typed text lives in one buffer of this many bytes that never moves, and is wiped
    // whenever it is emptied; what does not fit is refused.
    static constexpr std::size_t maxBytes = 1024;

    PinEntry();
    ~PinEntry();
    PinEntry(const PinEntry&) = delete;
    PinEntry& operator=(const PinEntry&) = delete;

    struct Outcome {
        enum class Kind { submitted, unchanged, changed, escapeHatch };
        Kind kind = Kind::unchanged;
        std::string submittedText;

        static Outcome submitted(std::string text) { return {Kind::submitted, std::move(text)}; }
        static Outcome unchanged() { return {Kind::unchanged, {}}; }
        static Outcome changed() { return {Kind::changed, {}}; }
        static Outcome escapeHatch() { return {Kind::escapeHatch, {}}; }

        friend bool operator==(const Outcome&, const Outcome&) = default;
    };

    std::string_view text() const { return text_; }
    std::size_t count() const { return count_; }
    bool isEmpty() const { return text_.empty(); }
    bool isAllDigits() const;

    // `autoSubmitLength` is the stored PIN's length when a PIN is configured.
    Outcome apply(const PinKey& key, std::optional<std::int64_t> autoSubmitLength);
    void reset();

private:
    std::string text_;
    std::size_t count_ = 0; // user-perceived characters in text_
};

} // namespace tolva
