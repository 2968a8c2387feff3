// One connection to the X server, read on the Qt event loop: events are handed to the
// registered listeners on the main thread.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

class QSocketNotifier;

namespace tolva {

class XConnection {
public:
    // Returns true when the event was consumed and later listeners need not see it.
    using Listener = std::function<bool(const xcb_generic_event_t& event)>;

    // Connects to $DISPLAY (or `display`); nothing when no X server answers.
    static std::shared_ptr<XConnection> open(const std::string& display = {});
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }

    std::uint64_t addListener(Listener listener);
    void removeListener(std::uint64_t id);

    void flush() { xcb_flush(connection_); }
    // Reads and dispatches whatever events are queued. The socket notifier calls this, and so
    // does the event loop each time before it sleeps: a reply we waited for may have brought
    // events into xcb's queue that the socket will never announce again.
    void dispatchPending();

    // Adds `mask` to the events this connection selects on `window` (X keeps one mask per
    // client and window, so every part of the program that listens on the same window must
    // add to it rather than replace it).
    void selectEvents(xcb_window_t window, std::uint32_t mask);
    // Forgets the masks kept for a window that is gone.
    void forgetWindow(xcb_window_t window) { selected_.erase(window); }

private:
    XConnection(xcb_connection_t* connection, xcb_screen_t* screen);

    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<std::uint64_t, Listener> listeners_;
    std::uint64_t nextId_ = 1;
    std::map<xcb_window_t, std::uint32_t> selected_;
    bool dispatching_ = false;
};

// Frees an xcb reply or error when it goes out of scope.
template <class T> using XReply = std::unique_ptr<T, decltype(&std::free)>;
template <class T> XReply<T> xreply(T* reply) {
    return XReply<T>(reply, &std::free);
}

} // namespace tolva
