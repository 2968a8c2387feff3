// Where the one PIN record lives between launches.
#pragma once

#include "TolvaCore/KeychainItem.h"
#include "TolvaCore/PinRecord.h"

#include <mutex>
#include <optional>

namespace tolva {

class PinStore {
public:
    virtual ~PinStore() = default;
    virtual std::optional<PinRecord> load() = 0;
    // Replaces any stored record.
    virtual void save(const PinRecord& record) = 0;
    // Removing an absent record is not an error.
    virtual void remove() = 0;
};

// No persistence; safe to share between threads.
class InMemoryPinStore : public PinStore {
public:
    explicit InMemoryPinStore(std::optional<PinRecord> record = std::nullopt) : record_(std::move(record)) {}
    std::optional<PinRecord> load() override;
    void save(const PinRecord& record) override;
    void remove() override;

private:
    std::mutex mutex_;
    std::optional<PinRecord> record_;
};

// The record as JSON in one keychain item labelled "Tolva PIN".
class KeychainPinStore : public PinStore {
public:
    static constexpr std::string_view label = "Tolva PIN";
    static constexpr std::string_view applicationService = "org.tolva.Screen.pin";
    static constexpr std::string_view applicationAccount = "pin";

    KeychainPinStore(std::string service, std::string account, std::shared_ptr<KeychainBackend> backend);

    // Throws KeychainError, or PinRecordDecodingError for bytes that are not a record.
    std::optional<PinRecord> load() override;
    void save(const PinRecord& record) override;
    void remove() override;

    const KeychainItem& item() const { return item_; }

private:
    KeychainItem item_;
};

} // namespace tolva
