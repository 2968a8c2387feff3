#include "platform/CoverKeys.h"

namespace tolva {

class CoverKeys::Tap : public EventTap {
public:
    Tap(CoverKeys& keys, Handler handler) : keys_(&keys), handler_(std::move(handler)) {}
    ~Tap() override { stop(); }
    bool start() override {
        if (!keys_)
            return false;
        installed_ = true;
        keys_->handler_ = handler_;
        keys_->tap_ = this;
        return isEnabled();
    }
    void stop() override {
        if (!installed_ || !keys_)
            return;
        installed_ = false;
        keys_->handler_ = nullptr;
        keys_->tap_ = nullptr;
    }
    bool isEnabled() override { return installed_ && keys_ && keys_->held_(); }
    bool isInstalled() const override { return installed_; }
    void keysGone() { keys_ = nullptr; }

private:
    CoverKeys* keys_;
    Handler handler_;
    bool installed_ = false;
};

CoverKeys::~CoverKeys() {
    if (tap_)
        tap_->keysGone();
}

std::unique_ptr<EventTap> CoverKeys::makeTap(EventTap::Handler handler) {
    return std::make_unique<Tap>(*this, std::move(handler));
}

void CoverKeys::statusChanged() const {
    if (tap_ && tap_->onStatusChanged)
        tap_->onStatusChanged();
}

} // namespace tolva
