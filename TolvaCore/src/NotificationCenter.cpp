// Name-keyed in-process notifications.
#include "TolvaCore/NotificationCenter.h"

#include <algorithm>

namespace tolva {

namespace {
struct Registration {
    std::function<void()> remove;
    ~Registration() {
        if (remove)
            remove();
    }
};
} // namespace

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::Token::reset() {
    entry_.reset();
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Handler handler) {
    auto observer = std::make_shared<Observer>(Observer{std::move(name), std::move(handler)});
    {
        std::lock_guard lock(mutex_);
        observers_.push_back(observer);
    }
    auto registration = std::make_shared<Registration>();
    registration->remove = [this, weak = std::weak_ptr<Observer>(observer)] {
        std::lock_guard lock(mutex_);
        if (auto strong = weak.lock()) {
            strong->removed = true;
            observers_.erase(std::remove(observers_.begin(), observers_.end(), strong), observers_.end());
        }
    };
    Token token;
    token.entry_ = registration;
    return token;
}

void NotificationCenter::post(std::string_view name, const void* object) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(mutex_);
        for (auto& observer : observers_)
            if (observer->name == name)
                matching.push_back(observer);
    }
    // Handlers run outside the lock so they may add or remove observers themselves.
    for (auto& observer : matching) {
        bool removed;
        {
            std::lock_guard lock(mutex_);
            removed = observer->removed;
        }
        if (!removed)
            observer->handler(object);
    }
}

} // namespace tolva
