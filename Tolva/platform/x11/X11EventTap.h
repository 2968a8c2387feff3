// The event tap on X11: an active keyboard grab on the root window. While the grab is held the
// X server sends every key press, release and modifier change to us and to nobody else. A grab
// that is refused (another program holds the keyboard) or lost is taken back as soon as the
// keyboard is free, and tried again ten times a second for as long as the tap is installed.
// Where a keyboard holder (the guard process) is given, it holds the grab instead and hands
// every key over; should it go, the tap takes the keyboard itself at once.
#pragma once

#include "platform/EventTap.h"
#include "platform/KeyTranslation.h"
#include "platform/KeyboardHolder.h"
#include "platform/Scheduler.h"
#include "platform/x11/XConnection.h"

#include <memory>
#include <set>

namespace tolva {

class X11EventTap : public EventTap {
public:
    static constexpr double retryInterval = 0.1; // seconds between tries while not holding
    // Keys still down after stop() keep the keyboard until released, checked this often and
    // for at most `drainLimit` in all.
    static constexpr double drainCheckInterval = 1.0;
    static constexpr double drainLimit = 10.0;

    // `accessibilityTrusted` only feeds the failure log line.
    X11EventTap(
        std::shared_ptr<XConnection> connection, Scheduler& scheduler, Handler handler,
        std::function<bool()> accessibilityTrusted = [] { return true; },
        std::weak_ptr<KeyboardHolder> holder = {});
    // Compiles the keyboard map of `connection` now, so that the first lock does not wait for it.
    static void prepare(const std::shared_ptr<XConnection>& connection);
    ~X11EventTap() override;

    bool start() override;
    void stop() override;
    bool isEnabled() override;
    bool isInstalled() const override { return installed_; }
    bool keyboardHeldElsewhere() const override { return heldElsewhere_; }
    void retryNow() override;

    bool isHolding() const { return grabbed_; }
    // Whether the keyboard holder holds the keyboard for this tap now.
    bool isHeldByHolder() const { return grabbed_ && heldByHolder_; }
    // Keys released after stop() are still being swallowed.
    bool isDraining() const { return draining_; }

    // Asks the server whether another client holds the keyboard, without keeping a grab.
    static bool isKeyboardGrabbedByAnotherClient(XConnection& connection);

private:
    enum class GrabResult { grabbed, heldElsewhere, failed };
    GrabResult grab();
    void ungrab();
    void tryToHold();
    void lost();
    void setHolding(bool holding);
    bool handle(const xcb_generic_event_t& event);
    bool handleKey(std::uint8_t type, std::uint8_t keycode, std::uint16_t state);
    std::shared_ptr<KeyboardHolder> activeHolder() const;
    void holderChanged(KeyboardHolder::Status status);
    void checkDrain();
    void finishDraining();

    std::shared_ptr<XConnection> connection_;
    Scheduler& scheduler_;
    Handler handler_;
    std::function<bool()> accessibilityTrusted_;
    std::shared_ptr<KeyboardMap> keyboardMap_;
    std::weak_ptr<KeyboardHolder> holder_;
    bool holderLost_ = false; // it did not answer or went away: the tap grabs itself
    bool heldByHolder_ = false;
    std::uint64_t listener_ = 0;
    bool installed_ = false;
    bool grabbed_ = false;
    bool heldElsewhere_ = false;
    Scheduler::Handle retry_;
    // Keys pressed while grabbed: after stop(), the grab stays until their releases came too,
    // so not even the release (or the autorepeat) of the last digit reaches another client.
    std::set<std::uint8_t> pressed_;
    bool draining_ = false;
    double drained_ = 0;
    Scheduler::Handle drainCheck_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace tolva
