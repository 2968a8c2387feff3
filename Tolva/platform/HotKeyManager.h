// The one global shortcut that turns the overlay on from any application.
#pragma once

#include "TolvaCore/HotKey.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace tolva {

// Where shortcuts are registered with the system.
class HotKeyBackend {
public:
    virtual ~HotKeyBackend() = default;
    // 0 on success, else the system's status (X11: the error code, 10 for BadAccess).
    virtual std::int32_t registerHotKey(const HotKey& hotKey) = 0;
    virtual void unregisterHotKey() = 0;
    // Called by the backend on every press of the registered shortcut, on the main thread.
    std::function<void()> pressed;
};

// A shortcut the system would not register, with its status.
struct HotKeyRefusal {
    static constexpr std::int32_t takenStatus = 10; // X11 BadAccess: another program grabs it

    HotKey hotKey;
    std::int32_t status = 0;

    bool isTaken() const { return status == takenStatus; }
    friend bool operator==(const HotKeyRefusal&, const HotKeyRefusal&) = default;
};

class HotKeyManager {
public:
    explicit HotKeyManager(std::unique_ptr<HotKeyBackend> backend);

    // Makes `hotKey` the one registered shortcut; none means no shortcut. False only when the
    // system refused the registration.
    bool registerHotKey(const std::optional<HotKey>& hotKey);
    const std::optional<HotKey>& current() const { return current_; }
    // The last shortcut asked for, when the system refused it; none once one is registered or
    // none is wanted.
    const std::optional<HotKeyRefusal>& refusal() const { return refusal_; }

    std::function<void()> onPressed;
    // Told when the refusal changes (the tray and the settings show it).
    std::function<void()> onRefusalChanged;

private:
    std::unique_ptr<HotKeyBackend> backend_;
    std::optional<HotKey> current_;
    bool registered_ = false;
    std::optional<HotKeyRefusal> refusal_;

    void setRefusal(std::optional<HotKeyRefusal> refusal);
};

} // namespace tolva
