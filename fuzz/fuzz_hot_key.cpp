// The stored shortcut (JSON under "lockHotKey"): any bytes decode or give nothing; a decoded
// shortcut encodes and decodes to itself and can be shown.
#include "TolvaCore/HotKey.h"

#include <cstdlib>
#include <string_view>

using namespace tolva;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto hotKey = HotKey::fromJSON(text);
    if (!hotKey)
        return 0;
    if (HotKey::fromJSON(hotKey->toJSON()) != hotKey)
        std::abort();
    (void)hotKey->displayString();
    (void)hotKey->isValid();
    return 0;
}
