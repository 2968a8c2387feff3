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
    if (hotKey && hotKey == current_ && registered_)
        return true;
    if (!hotKey && !current_) {
        setRefusal(std::nullopt);
        return true;
    }
    if (registered_) {
        backend_->unregisterHotKey();
        Log::input.info("hotkey unregistered");
    }
    registered_ = false;
    current_.reset();
    if (!hotKey || !hotKey->isValid()) {
        setRefusal(std::nullopt);
        return true;
    }
    const std::int32_t status = backend_->registerHotKey(*hotKey);
    if (status == 0) {
        registered_ = true;
        current_ = hotKey;
        Log::input.info("hotkey registered " + hotKey->displayString());
        setRefusal(std::nullopt);
        return true;
    }
    Log::input.error("hotkey register failed status=" + std::to_string(status) +
                     " key=" + hotKey->displayString());
    setRefusal(HotKeyRefusal{*hotKey, status});
    return false;
}

void HotKeyManager::setRefusal(std::optional<HotKeyRefusal> refusal) {
    if (refusal == refusal_)
        return;
    refusal_ = std::move(refusal);
    if (onRefusalChanged)
        onRefusalChanged();
}

} // namespace tolva
