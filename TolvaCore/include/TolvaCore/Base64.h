// Standard Base64 (RFC 4648) with padding and no line breaks; decoding is strict.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolva {

using Bytes = std::vector<std::uint8_t>;

std::string base64Encode(const Bytes& bytes);
// Nothing for text that is not canonical padded Base64 (wrong length, stray characters,
// white space, non-zero padding bits).
std::optional<Bytes> base64Decode(std::string_view text);

} // namespace tolva
