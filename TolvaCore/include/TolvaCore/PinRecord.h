// The stored form of a PIN: salt, PBKDF2-HMAC-SHA256 hash, iteration count and length.
// JSON {"salt": base64, "hash": base64, "iterations": n, "length": n}; members in any order,
// all four required, extra members ignored.
#pragma once

#include "TolvaCore/Base64.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tolva {

struct PinRecord {
    Bytes salt;
    Bytes hash;
    std::int64_t iterations = 0;
    std::int64_t length = 0; // characters of the PIN: dots shown and auto-submit length

    std::string toJSON() const;
    // Throws PinRecordDecodingError for anything that is not such an object.
    static PinRecord fromJSON(std::string_view json);

    friend bool operator==(const PinRecord&, const PinRecord&) = default;
};

class PinRecordDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace tolva
