// The lock's key tap over a cover that another process shows and holds the keys for (a
// compositor's surfaces, the Shell's actor): the keys the cover receives go to the tap for as
// long as it is installed.
#pragma once

#include "platform/EventTap.h"

#include <functional>
#include <memory>

namespace tolva {

class CoverKeys {
public:
    // `held`: whether the cover holds the keys now.
    explicit CoverKeys(std::function<bool()> held) : held_(std::move(held)) {}
    // A tap that outlives these keys receives nothing more and reports itself off.
    ~CoverKeys();
    CoverKeys(const CoverKeys&) = delete;
    CoverKeys& operator=(const CoverKeys&) = delete;

    std::unique_ptr<EventTap> makeTap(EventTap::Handler handler);
    // Hands a key the cover received to the installed tap; false when none took it.
    bool deliver(const KeyEvent& event) const { return handler_ && handler_(event); }
    // Tells the installed tap that the cover gained or lost the keys.
    void statusChanged() const;

private:
    class Tap;
    std::function<bool()> held_;
    EventTap::Handler handler_;
    Tap* tap_ = nullptr;
};

} // namespace tolva
