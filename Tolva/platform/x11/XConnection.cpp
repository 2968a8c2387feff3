// X connection ownership and event dispatch.
#include "platform/x11/XConnection.h"

#include <QSocketNotifier>

#include <vector>

namespace tolva {

std::shared_ptr<XConnection> XConnection::open(const std::string& display) {
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
    if (!connection || xcb_connection_has_error(connection)) {
        if (connection)
            xcb_disconnect(connection);
        return nullptr;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i)
        xcb_screen_next(&it);
    if (it.rem == 0) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::shared_ptr<XConnection>(new XConnection(connection, it.data));
}

XConnection::XConnection(xcb_connection_t* connection, xcb_screen_t* screen)
    : connection_(connection), screen_(screen),
      notifier_(
          std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection), QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { dispatchPending(); });
}

XConnection::~XConnection() {
    notifier_.reset();
    xcb_disconnect(connection_);
}

std::uint64_t XConnection::addListener(Listener listener) {
    const std::uint64_t id = nextId_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void XConnection::removeListener(std::uint64_t id) {
    listeners_.erase(id);
}

void XConnection::dispatchPending() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        // A listener may add or remove listeners; walk a copy of the ids.
        std::vector<std::uint64_t> ids;
        for (auto& [id, listener] : listeners_)
            ids.push_back(id);
        for (auto id : ids) {
            auto it = listeners_.find(id);
            if (it != listeners_.end() && it->second(*event))
                break;
        }
        std::free(event);
    }
}

} // namespace tolva
