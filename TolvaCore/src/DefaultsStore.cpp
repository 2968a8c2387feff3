// Typed reads over any DefaultsStore, and the in-memory store.
#include "TolvaCore/DefaultsStore.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace tolva {

std::optional<std::string> DefaultsStore::string(std::string_view key) const {
    auto value = object(key);
    if (!value)
        return std::nullopt;
    if (auto* s = std::get_if<std::string>(&*value))
        return *s;
    if (auto* i = std::get_if<std::int64_t>(&*value))
        return std::to_string(*i);
    if (auto* d = std::get_if<double>(&*value)) {
        std::ostringstream out;
        out << *d;
        return out.str();
    }
    return std::nullopt;
}

bool DefaultsStore::boolean(std::string_view key) const {
    auto value = object(key);
    if (!value)
        return false;
    if (auto* b = std::get_if<bool>(&*value))
        return *b;
    if (auto* i = std::get_if<std::int64_t>(&*value))
        return *i != 0;
    if (auto* d = std::get_if<double>(&*value))
        return *d != 0 && !std::isnan(*d);
    if (auto* s = std::get_if<std::string>(&*value)) {
        std::string lower(*s);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (lower == "true" || lower == "yes")
            return true;
        return !lower.empty() && lower[0] >= '1' && lower[0] <= '9';
    }
    return false;
}

std::optional<Bytes> DefaultsStore::data(std::string_view key) const {
    auto value = object(key);
    if (auto* bytes = value ? std::get_if<Bytes>(&*value) : nullptr)
        return *bytes;
    return std::nullopt;
}

std::optional<std::vector<std::string>> DefaultsStore::stringArray(std::string_view key) const {
    auto value = object(key);
    if (auto* list = value ? std::get_if<std::vector<std::string>>(&*value) : nullptr)
        return *list;
    return std::nullopt;
}

std::optional<DefaultsValue> InMemoryDefaultsStore::object(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

void InMemoryDefaultsStore::setObject(std::string_view key, std::optional<DefaultsValue> value) {
    std::lock_guard lock(mutex_);
    if (value)
        values_.insert_or_assign(std::string(key), std::move(*value));
    else if (auto it = values_.find(key); it != values_.end())
        values_.erase(it);
}

std::map<std::string, DefaultsValue, std::less<>> InMemoryDefaultsStore::snapshot() const {
    std::lock_guard lock(mutex_);
    return values_;
}

} // namespace tolva
