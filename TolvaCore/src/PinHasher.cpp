// PBKDF2-HMAC-SHA256 through OpenSSL.
#include "TolvaCore/PinHasher.h"

#include "TolvaCore/Graphemes.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <limits>
#include <string>

namespace tolva::PinHasher {

namespace {

// OpenSSL reports 1 for success; keep a non-zero status that says where it failed.
std::int32_t openSSLStatus() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    return code == 0 ? -1 : static_cast<std::int32_t>(ERR_GET_REASON(code) == 0 ? -1 : ERR_GET_REASON(code));
}

std::string failureText(Failure::Kind kind, std::int32_t status) {
    return std::string(kind == Failure::Kind::randomFailed ? "random source failed"
                                                           : "key derivation failed") +
           " status=" + std::to_string(status);
}

} // namespace

Failure::Failure(Kind kind, std::int32_t status)
    : std::runtime_error(failureText(kind, status)), kind_(kind), status_(status) {}

Bytes derive(std::string_view pin, const Bytes& salt, std::int64_t iterations) {
    // OpenSSL takes the count as int; counts above INT_MAX up to the 32-bit limit are not
    // something this program ever writes, and below 1 is meaningless.
    if (iterations < 1 || iterations > std::numeric_limits<std::uint32_t>::max() ||
        iterations > std::numeric_limits<int>::max())
        throw Failure(Failure::Kind::derivationFailed, -1);
    Bytes out(hashLength, 0);
    int ok = PKCS5_PBKDF2_HMAC(pin.data(), static_cast<int>(pin.size()), salt.data(),
                               static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                               static_cast<int>(out.size()), out.data());
    if (ok != 1)
        throw Failure(Failure::Kind::derivationFailed, openSSLStatus());
    return out;
}

PinRecord makeRecord(std::string_view pin, std::int64_t iterations) {
    Bytes salt(saltLength, 0);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1)
        throw Failure(Failure::Kind::randomFailed, openSSLStatus());
    PinRecord record;
    record.hash = derive(pin, salt, iterations);
    record.salt = std::move(salt);
    record.iterations = iterations;
    record.length = static_cast<std::int64_t>(graphemeCount(pin));
    return record;
}

bool verify(std::string_view pin, const PinRecord& record) {
    try {
        return constantTimeEquals(derive(pin, record.salt, record.iterations), record.hash);
    } catch (const Failure&) {
        return false;
    }
}

bool constantTimeEquals(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size())
        return false;
    volatile std::uint8_t accumulator = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        accumulator = accumulator | static_cast<std::uint8_t>(a[i] ^ b[i]);
    return accumulator == 0;
}

} // namespace tolva::PinHasher
