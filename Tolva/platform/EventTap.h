// The keyboard filter that keeps every key of the session away from other applications while
// the overlay is up, and hands each key event to one handler on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tolva {

struct KeyEvent {
    enum class Type { keyDown, keyUp, flagsChanged };
    Type type = Type::keyDown;
    std::int64_t keyCode = 0;              // virtual key code
    std::uint64_t flags = 0;               // event flag bits (control 0x40000, option 0x80000, …)
    std::optional<std::string> characters; // with modifiers applied; key down only
};

class EventTap {
public:
    // True = swallow the event.
    using Handler = std::function<bool(const KeyEvent& event)>;

    virtual ~EventTap() = default;
    // Installs the filter; true when one is (now) installed and holding the keyboard. A second
    // start installs nothing new. A filter that could not take the keyboard may keep trying on
    // its own until stop(); it then reports the change through `onStatusChanged`.
    virtual bool start() = 0;
    // Removes the filter; nothing happens without one.
    virtual void stop() = 0;
    // Whether the filter still holds the keyboard (asks the system, and takes it back if lost).
    virtual bool isEnabled() = 0;
    virtual bool isInstalled() const = 0;
    // Whether another program holds the keyboard so that the filter cannot have it.
    virtual bool keyboardHeldElsewhere() const { return false; }
    // A hint that the keyboard may have become free: try to take it back now.
    virtual void retryNow() {}

    // Called on the main thread whenever the filter gains or loses the keyboard after start().
    std::function<void()> onStatusChanged;
};

} // namespace tolva
