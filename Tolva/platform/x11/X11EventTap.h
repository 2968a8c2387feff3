// The event tap on X11: an active keyboard grab on a window of ours. While the grab is held the
// X server sends every key press, release and modifier change to us and to nobody else.
#pragma once

#include "platform/EventTap.h"
#include "platform/Scheduler.h"
#include "platform/x11/KeyTranslation.h"
#include "platform/x11/XConnection.h"

#include <memory>
#include <optional>
#include <set>

namespace tolva {

class X11EventTap : public EventTap {
public:
    // `grabWindow` is an overlay window; without one the tap makes a small input-only window
    // of its own. `accessibilityTrusted` only feeds the failure log line.
    X11EventTap(
        std::shared_ptr<XConnection> connection, Scheduler& scheduler, Handler handler,
        std::optional<xcb_window_t> grabWindow = std::nullopt,
        std::function<bool()> accessibilityTrusted = [] { return true; });
    ~X11EventTap() override;

    bool start() override;
    void stop() override;
    bool isEnabled() override;
    bool isInstalled() const override { return installed_; }

    // Whether the last grab attempt found the keyboard held by another client (the X stand-in
    // for another program's secure keyboard entry).
    bool keyboardHeldElsewhere() const { return heldElsewhere_; }

    // Asks the server whether another client holds the keyboard, without keeping a grab.
    static bool isKeyboardGrabbedByAnotherClient(XConnection& connection);

private:
    enum class GrabResult { grabbed, heldElsewhere, failed };
    GrabResult grab();
    void ungrab();
    bool handle(const xcb_generic_event_t& event);
    void finishDraining();

    std::shared_ptr<XConnection> connection_;
    Scheduler& scheduler_;
    Handler handler_;
    std::function<bool()> accessibilityTrusted_;
    std::shared_ptr<KeyboardMap> keyboardMap_;
    xcb_window_t window_ = XCB_NONE;
    bool ownWindow_ = false;
    std::uint64_t listener_ = 0;
    bool installed_ = false;
    bool grabbed_ = false;
    bool heldElsewhere_ = false;
    // Keys pressed while grabbed: after stop(), the grab stays until their releases came too,
    // so not even the release of the last digit reaches another client.
    std::set<std::uint8_t> pressed_;
    bool draining_ = false;
    Scheduler::Handle drainDeadline_;
};

} // namespace tolva
