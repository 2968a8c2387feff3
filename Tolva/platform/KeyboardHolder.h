// Another process of ours that holds the keyboard on the program's behalf and hands it every key:
// a grab that outlives the program and that no other client can end.
#pragma once

#include <cstdint>
#include <functional>

namespace tolva {

class KeyboardHolder {
public:
    enum class Status { held, heldElsewhere, unavailable };

    virtual ~KeyboardHolder() = default;
    // Asks it to take the keyboard now and waits briefly for its answer; `unavailable` when it
    // cannot answer (gone, stopped), after which the caller holds the keyboard itself.
    virtual Status hold() = 0;
    // The lock is over: the keyboard goes back once every key is up.
    virtual void letGo() = 0;

    // A key press (2) or release (3) with its X keycode and modifier state.
    std::function<void(std::uint8_t type, std::uint8_t keycode, std::uint16_t state)> onKey;
    // Its hold changed after hold(): held, taken by another client, or the holder is gone.
    std::function<void(Status)> onStatusChanged;
};

} // namespace tolva
