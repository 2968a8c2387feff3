// Display-sleep assertion bookkeeping and log lines.
#include "platform/PowerAssertion.h"

#include "log/Log.h"

namespace tolva {

void PowerAssertion::start() {
    if (id_ != 0)
        return;
    std::uint32_t id = 0;
    const std::int32_t status = backend_->create(id);
    if (status != 0 || id == 0) {
        Log::lock.error("display-sleep assertion failed rc=" + std::to_string(status != 0 ? status : -1));
        return;
    }
    id_ = id;
    Log::lock.info("display-sleep assertion on");
}

void PowerAssertion::release() {
    if (id_ == 0)
        return;
    backend_->release(id_);
    id_ = 0;
    Log::lock.info("display-sleep assertion off");
}

} // namespace tolva
