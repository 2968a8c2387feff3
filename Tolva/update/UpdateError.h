// Why an update cycle stopped: a domain and a numeric code (logged as they are) and a short
// English description for the log and the error dialog.
#pragma once

#include <QString>

#include <cstdint>

namespace tolva {

struct UpdateError {
    static constexpr const char* domain = "org.tolva.Screen.update";

    enum class Code : std::int32_t {
        feedAddressRefused = 1001, // not HTTPS and not a loopback address
        feedFailed = 1002,
        feedTooLarge = 1003,
        feedTimedOut = 1004,
        feedMalformed = 1005,
        downloadFailed = 2001,
        downloadTooLarge = 2002,
        downloadTimedOut = 2003,
        downloadTruncated = 2004,
        downloadAddressRefused = 2005,
        signatureMissing = 3001,
        signatureInvalid = 3002,
        unpackFailed = 4001,
        installFailed = 4002,
        newVersionDidNotStart = 4003,
        notTheAnnouncedVersion = 4004, // the downloaded program says it is another version
    };

    Code code;
    QString description;

    std::int32_t numericCode() const { return static_cast<std::int32_t>(code); }
    friend bool operator==(const UpdateError&, const UpdateError&) = default;
};

} // namespace tolva
