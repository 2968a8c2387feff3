// MIT-SCREEN-SAVER first, XSync IDLETIME as the fallback.
#include "platform/x11/X11IdleTimeSource.h"

#include "log/Log.h"

#include <xcb/screensaver.h>
#include <xcb/sync.h>

#include <cstring>

namespace tolva {

X11IdleTimeSource::X11IdleTimeSource(std::shared_ptr<XConnection> connection)
    : connection_(std::move(connection)) {
    xcb_connection_t* c = connection_->get();
    if (const auto* ext = xcb_get_extension_data(c, &xcb_screensaver_id); ext && ext->present) {
        mechanism_ = "screensaver";
    } else if (const auto* sync = xcb_get_extension_data(c, &xcb_sync_id); sync && sync->present) {
        auto version = xreply(xcb_sync_initialize_reply(c, xcb_sync_initialize(c, 3, 1), nullptr));
        auto list = xreply(xcb_sync_list_system_counters_reply(c, xcb_sync_list_system_counters(c), nullptr));
        if (version && list) {
            for (auto it = xcb_sync_list_system_counters_counters_iterator(list.get()); it.rem > 0;
                 xcb_sync_systemcounter_next(&it)) {
                const char* name = xcb_sync_systemcounter_name(it.data);
                const int length = xcb_sync_systemcounter_name_length(it.data);
                if (length == 8 && std::memcmp(name, "IDLETIME", 8) == 0) {
                    idleCounter_ = it.data->counter;
                    mechanism_ = "sync";
                }
            }
        }
    }
    Log::idle.info(std::string("idle time source: ") + mechanism_);
}

double X11IdleTimeSource::secondsSinceLastInput() {
    xcb_connection_t* c = connection_->get();
    if (std::strcmp(mechanism_, "screensaver") == 0) {
        auto info = xreply(
            xcb_screensaver_query_info_reply(c, xcb_screensaver_query_info(c, connection_->root()), nullptr));
        return info ? info->ms_since_user_input / 1000.0 : 0.0;
    }
    if (idleCounter_ != 0) {
        auto value =
            xreply(xcb_sync_query_counter_reply(c, xcb_sync_query_counter(c, idleCounter_), nullptr));
        if (value)
            return (static_cast<double>(value->counter_value.hi) * 4294967296.0 + value->counter_value.lo) /
                   1000.0;
    }
    return 0.0; // nothing can tell: never idle, so nothing locks by mistake
}

} // namespace tolva
