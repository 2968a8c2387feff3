// PinRecord JSON encoding and decoding.
#include "TolvaCore/PinRecord.h"

#include <nlohmann/json.hpp>

namespace tolva {

std::string PinRecord::toJSON() const {
    nlohmann::json json = {{"salt", base64Encode(salt)},
                           {"hash", base64Encode(hash)},
                           {"iterations", iterations},
                           {"length", length}};
    return json.dump();
}

std::optional<std::string> PinRecord::unusableReason() const {
    auto outside = [](const char* name, auto value, auto low, auto high) {
        return std::string(name) + "=" + std::to_string(value) + " is outside " + std::to_string(low) +
               "..." + std::to_string(high);
    };
    if (iterations < minIterations || iterations > maxIterations)
        return outside("iterations", iterations, minIterations, maxIterations);
    if (length < minLength || length > maxLength)
        return outside("length", length, minLength, maxLength);
    if (hash.size() != hashLength)
        return "hash is " + std::to_string(hash.size()) + " bytes, not " + std::to_string(hashLength);
    if (salt.empty() || salt.size() > maxSaltLength)
        return outside("salt bytes", salt.size(), std::size_t{1}, maxSaltLength);
    return std::nullopt;
}

PinRecord PinRecord::fromJSON(std::string_view text) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded())
        throw PinRecordDecodingError("PIN record is not valid JSON");
    if (!json.is_object())
        throw PinRecordDecodingError("PIN record is not a JSON object");
    auto bytes = [&](const char* name) {
        auto it = json.find(name);
        if (it == json.end())
            throw PinRecordDecodingError(std::string("PIN record has no \"") + name + "\"");
        if (!it->is_string())
            throw PinRecordDecodingError(std::string("PIN record \"") + name + "\" is not a string");
        auto decoded = base64Decode(it->get<std::string>());
        if (!decoded)
            throw PinRecordDecodingError(std::string("PIN record \"") + name + "\" is not Base64");
        return *decoded;
    };
    auto integer = [&](const char* name) {
        auto it = json.find(name);
        if (it == json.end())
            throw PinRecordDecodingError(std::string("PIN record has no \"") + name + "\"");
        if (!it->is_number_integer() ||
            (it->is_number_unsigned() && it->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)))
            throw PinRecordDecodingError(std::string("PIN record \"") + name + "\" is not an integer");
        return it->get<std::int64_t>();
    };
    PinRecord record;
    record.salt = bytes("salt");
    record.hash = bytes("hash");
    record.iterations = integer("iterations");
    record.length = integer("length");
    return record;
}

} // namespace tolva
