// Display-sleep assertion bookkeeping and log lines.
#include "platform/PowerAssertion.h"

#include "log/Log.h"

namespace tolva {

void PowerAssertion::start() {
    if (held_)
        return;
    std::uint32_t id = 0;
    const std::int32_t status = backend_->create(id);
    if (status != 0) {
        Log::lock.error("display-sleep assertion failed rc=" + std::to_string(status));
        return;
    }
    held_ = true;
    id_ = id;
    Log::lock.info("display-sleep assertion on");
}

void PowerAssertion::release() {
    if (!held_)
        return;
    backend_->release(id_);
    held_ = false;
    id_ = 0;
    Log::lock.info("display-sleep assertion off");
}

} // namespace tolva
