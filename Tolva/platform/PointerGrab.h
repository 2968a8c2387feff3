// Holding the pointer while the overlay is up, so that no click or wheel turn reaches another
// program even when one of them tries to take the pointer for itself.
#pragma once

#include <functional>

namespace tolva {

class PointerGrab {
public:
    virtual ~PointerGrab() = default;
    // Takes the pointer; true when it is held now. When another program holds it, keeps trying
    // on its own until stop(), and reports the change through `onStatusChanged`.
    virtual bool start() = 0;
    virtual void stop() = 0;
    virtual bool isHeld() const = 0;
    // Makes sure the pointer is still held and takes it back now if it is not.
    virtual void retryNow() = 0;

    std::function<void()> onStatusChanged;
};

} // namespace tolva
