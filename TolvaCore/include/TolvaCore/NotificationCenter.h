// In-process notifications by name: a poster does not know its observers, and an observer
// stops receiving as soon as its token is destroyed.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolva {

class NotificationCenter {
public:
    using Handler = std::function<void(const void* object)>;

    // Destroying the token removes the observer.
    class Token {
    public:
        Token() = default;
        Token(Token&&) noexcept = default;
        Token& operator=(Token&&) noexcept = default;
        ~Token() { reset(); }
        void reset();
        explicit operator bool() const { return static_cast<bool>(entry_); }

    private:
        friend class NotificationCenter;
        std::shared_ptr<void> entry_;
    };

    static NotificationCenter& defaultCenter();

    [[nodiscard]] Token addObserver(std::string name, Handler handler);
    // Calls every observer of `name` on the calling thread, in the order they were added.
    void post(std::string_view name, const void* object = nullptr);

private:
    struct Observer {
        std::string name;
        Handler handler;
        bool removed = false;
    };
    std::mutex mutex_;
    std::vector<std::shared_ptr<Observer>> observers_;
};

} // namespace tolva
