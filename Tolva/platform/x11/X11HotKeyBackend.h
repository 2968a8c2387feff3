// Global shortcuts on X11: a passive key grab on the root window for the key and modifiers,
// repeated for the Caps Lock and Num Lock variants so those locks do not hide a press.
#pragma once

#include "platform/HotKeyManager.h"
#include "platform/x11/XConnection.h"

namespace tolva {

class X11HotKeyBackend : public HotKeyBackend {
public:
    explicit X11HotKeyBackend(std::shared_ptr<XConnection> connection);
    ~X11HotKeyBackend() override;

    std::int32_t registerHotKey(const HotKey& hotKey) override;
    void unregisterHotKey() override;

private:
    void ungrabAll();
    bool handle(const xcb_generic_event_t& event);

    std::shared_ptr<XConnection> connection_;
    std::uint64_t listener_ = 0;
    std::uint8_t keycode_ = 0;
    std::uint16_t modifiers_ = 0;
    bool grabbed_ = false;
};

} // namespace tolva
