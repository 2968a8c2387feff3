// The stored form of a PIN: salt, PBKDF2-HMAC-SHA256 hash, iteration count and length.
// JSON {"salt": base64, "hash": base64, "iterations": n, "length": n}; members in any order,
// all four required, extra members ignored.
#pragma once

#include "TolvaCore/Base64.h"

#include <cstdint>
#include <optional>
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

    // What this program can write and verify in reasonable time. A stored record outside these
    // bounds was not written by it (or was damaged) and would lock its owner out: a length that
    // submits early, a hash that never matches, or a check that runs for minutes.
    static constexpr std::int64_t minIterations = 1;
    static constexpr std::int64_t maxIterations = 1'000'000;
    static constexpr std::int64_t minLength = 4;
    static constexpr std::int64_t maxLength = 8;
    static constexpr std::size_t hashLength = 32;
    static constexpr std::size_t maxSaltLength = 64;

    // Why the record cannot be used ("iterations=0 is outside 1...1000000"), or nothing.
    std::optional<std::string> unusableReason() const;

    friend bool operator==(const PinRecord&, const PinRecord&) = default;
};

class PinRecordDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace tolva
