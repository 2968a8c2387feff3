// The per-user key–value store behind Preferences: typed values kept apart (booleans,
// integers, reals, strings, string arrays, data), with the typed reads Preferences relies on.
#pragma once

#include "TolvaCore/Base64.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tolva {

using DefaultsValue = std::variant<bool, std::int64_t, double, std::string, std::vector<std::string>, Bytes>;

class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;

    // The stored value of any type; nothing when absent.
    virtual std::optional<DefaultsValue> object(std::string_view key) const = 0;
    // Stores a value, or removes the key for nothing.
    virtual void setObject(std::string_view key, std::optional<DefaultsValue> value) = 0;
    // True only for the process's standard store (the one the platform's panels read too).
    virtual bool isStandard() const { return false; }

    // A string as stored; numbers read as their decimal text; anything else nothing.
    std::optional<std::string> string(std::string_view key) const;
    // Booleans as stored; numbers are true when non-zero; the strings "true"/"yes" (any case)
    // or starting with a non-zero digit are true; everything else, absent included, false.
    bool boolean(std::string_view key) const;
    std::optional<Bytes> data(std::string_view key) const;
    std::optional<std::vector<std::string>> stringArray(std::string_view key) const;

    void setBoolean(std::string_view key, bool value) { setObject(key, DefaultsValue(value)); }
    void setInteger(std::string_view key, std::int64_t value) { setObject(key, DefaultsValue(value)); }
    void setReal(std::string_view key, double value) { setObject(key, DefaultsValue(value)); }
    void remove(std::string_view key) { setObject(key, std::nullopt); }
};

// A store in memory only, for tests and previews.
class InMemoryDefaultsStore : public DefaultsStore {
public:
    InMemoryDefaultsStore() = default;
    explicit InMemoryDefaultsStore(bool standard) : standard_(standard) {}

    std::optional<DefaultsValue> object(std::string_view key) const override;
    void setObject(std::string_view key, std::optional<DefaultsValue> value) override;
    bool isStandard() const override { return standard_; }

    std::map<std::string, DefaultsValue, std::less<>> snapshot() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, DefaultsValue, std::less<>> values_;
    bool standard_ = false;
};

} // namespace tolva
