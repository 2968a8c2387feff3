// The PIN record held in the keychain: any bytes either decode or throw the decoding error; a
// record the loader accepts encodes and decodes to itself.
#include "TolvaCore/PinRecord.h"

#include <cstdlib>
#include <string_view>

using namespace tolva;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    PinRecord record;
    try {
        record = PinRecord::fromJSON(text);
    } catch (const PinRecordDecodingError&) {
        return 0;
    }
    if (record.unusableReason())
        return 0;
    if (record.iterations < PinRecord::minIterations || record.iterations > PinRecord::maxIterations ||
        record.length < PinRecord::minLength || record.length > PinRecord::maxLength ||
        record.hash.size() != PinRecord::hashLength || record.salt.empty())
        std::abort(); // accepted although out of bounds
    if (PinRecord::fromJSON(record.toJSON()) != record)
        std::abort();
    return 0;
}
