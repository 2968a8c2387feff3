// Hot key registration rules.
#include "platform/HotKeyManager.h"

#include "log/Log.h"

namespace tolva {

HotKeyManager::HotKeyManager(std::unique_ptr<HotKeyBackend> backend) : backend_(std::move(backend)) {
    backend_->pressed = [this] {
        Log::input.info("hotkey pressed");
        if (onPressed)
            onPressed();
    };
}

bool HotKeyManager::registerHotKey(const std::optional<HotKey>& hotKey) {
    if ((!hotKey && !current_) || (hotKey && hotKey == current_ && registered_))
        return true;
    if (registered_) {
        backend_->unregisterHotKey();
        Log::input.info("hotkey unregistered");
    }
    registered_ = false;
    current_.reset();
    if (!hotKey || !hotKey->isValid())
        return true;
    const std::int32_t status = backend_->registerHotKey(*hotKey);
    if (status == 0) {
        registered_ = true;
        current_ = hotKey;
        Log::input.info("hotkey registered " + hotKey->displayString());
        return true;
    }
    Log::input.error("hotkey register failed status=" + std::to_string(status) +
                     " key=" + hotKey->displayString());
    return false;
}

} // namespace tolva
