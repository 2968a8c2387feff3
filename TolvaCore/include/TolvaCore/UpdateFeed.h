// Where the update feed of this major version lives, how two version strings compare, and
// the Ed25519 check of a downloaded update.
#pragma once

#include "TolvaCore/Base64.h"

#include <string>
#include <string_view>

namespace tolva {

namespace UpdateFeed {

// The feed's major version: the program's own, but never below 1 (0.x builds read the v1 feed).
int major(int appMajor);
// `base` + "/appcast-v" + major + ".xml".
std::string urlString(std::string_view base, int appMajor);
// The number before the first dot of a version text ("1.4.2" → 1); 0 when there is none.
int majorOf(std::string_view version);

} // namespace UpdateFeed

namespace UpdateVersion {

// Compares two version texts the way people read them: runs of digits as numbers
// ("1.10" > "1.9"), a release above its own pre-releases ("2.0" > "2.0-beta2", "2.0b1" < "2.0"),
// missing trailing zeros equal ("1.0" == "1"). Negative, zero or positive like strcmp.
int compare(std::string_view a, std::string_view b);

} // namespace UpdateVersion

namespace UpdateSignature {

inline constexpr std::size_t publicKeyLength = 32;
inline constexpr std::size_t signatureLength = 64;

// True only when `signatureBase64` is a valid Ed25519 signature of `data` by the key
// `publicKeyBase64` (32 raw bytes in Base64). Anything malformed is false.
bool verify(std::string_view publicKeyBase64, const Bytes& data, std::string_view signatureBase64);

} // namespace UpdateSignature

} // namespace tolva
