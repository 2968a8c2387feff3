// Salted PBKDF2-HMAC-SHA256 for PINs: making records and verifying typed PINs against them.
#pragma once

#include "TolvaCore/PinRecord.h"

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace tolva {

namespace PinHasher {

inline constexpr std::int64_t defaultIterations = 150000;
inline constexpr std::size_t saltLength = 16;
inline constexpr std::size_t hashLength = 32;

class Failure : public std::runtime_error {
public:
    enum class Kind { randomFailed, derivationFailed };
    Failure(Kind kind, std::int32_t status);
    Kind kind() const { return kind_; }
    std::int32_t status() const { return status_; }
    friend bool operator==(const Failure& a, const Failure& b) {
        return a.kind_ == b.kind_ && a.status_ == b.status_;
    }

private:
    Kind kind_;
    std::int32_t status_;
};

// A new record with a fresh random salt; does not validate the PIN. Throws Failure.
PinRecord makeRecord(std::string_view pin, std::int64_t iterations = defaultIterations);

// True only when the PIN derives to exactly the record's hash. A record whose iteration count
// cannot be used (below 1 or above 4294967295) never verifies. Never throws.
bool verify(std::string_view pin, const PinRecord& record);

// The raw derivation (32 bytes); throws Failure(derivationFailed) for unusable parameters.
Bytes derive(std::string_view pin, const Bytes& salt, std::int64_t iterations);

// Compares every byte, with no early exit, once the lengths match.
bool constantTimeEquals(const Bytes& a, const Bytes& b);

} // namespace PinHasher

} // namespace tolva
