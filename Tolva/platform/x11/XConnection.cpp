// X connection ownership and event dispatch.
#include "platform/x11/XConnection.h"
#include "platform/x11/X11ServerProbe.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <vector>

namespace tolva {

bool x11ServerAnswers() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    return !failed;
}

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
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, notifier_.get(),
                         [this] { dispatchPending(); });
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

void XConnection::selectEvents(xcb_window_t window, std::uint32_t mask) {
    std::uint32_t& selected = selected_[window];
    if ((selected & mask) == mask)
        return;
    selected |= mask;
    const std::uint32_t values[] = {selected};
    xcb_change_window_attributes(connection_, window, XCB_CW_EVENT_MASK, values);
    xcb_flush(connection_);
}

void XConnection::dispatchPending() {
    // A listener may make a round trip that queues more events: they are read by this same
    // loop, never left waiting for the next wake-up. A listener that dispatches again is
    // already inside this loop.
    if (dispatching_)
        return;
    dispatching_ = true;
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
    dispatching_ = false;
}

} // namespace tolva
