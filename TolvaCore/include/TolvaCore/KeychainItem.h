// One generic-password item (service, account, label) in a per-user secret store, and the
// error that carries the store's numeric status.
#pragma once

#include "TolvaCore/Base64.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tolva {

// The item store underneath: the four outcomes are found bytes, not found (-25300),
// written (0) and any other failure with its numeric status.
class KeychainBackend {
public:
    static constexpr std::int32_t success = 0;
    static constexpr std::int32_t itemNotFound = -25300;
    // The item is there but its store is locked, and unlocking it would mean asking the user
    // (which is never done unasked, least of all at start-up).
    static constexpr std::int32_t locked = -25308;

    struct Query {
        std::string service;
        std::string account;
    };
    struct ReadResult {
        std::int32_t status = success;
        std::optional<Bytes> data; // present exactly when the item was found with data
    };

    virtual ~KeychainBackend() = default;
    virtual ReadResult copyMatching(const Query& query) = 0;
    // Replaces the data of an existing item; itemNotFound when there is none.
    virtual std::int32_t update(const Query& query, const Bytes& data) = 0;
    // Creates the item with its label.
    virtual std::int32_t add(const Query& query, const Bytes& data, std::string_view label) = 0;
    virtual std::int32_t remove(const Query& query) = 0;
    // The backend's own text for a status, if it has one.
    virtual std::optional<std::string> errorMessage(std::int32_t status) const = 0;
    // A short name for log lines ("secret service", "file").
    virtual std::string name() const = 0;
};

// The last detailed text a backend had for each status it reported, so an error shown later
// can say what went wrong. Thread-safe.
class KeychainStatusMessages {
public:
    void remember(std::int32_t status, std::string message);
    // The remembered text, or the standard one for "not found", or nothing.
    std::optional<std::string> messageFor(std::int32_t status) const;

private:
    mutable std::mutex mutex_;
    std::map<std::int32_t, std::string> messages_;
};

class KeychainError : public std::runtime_error {
public:
    KeychainError(std::int32_t status, std::optional<std::string> systemMessage);

    std::int32_t status() const { return status_; }
    // "Keychain error -25300" in the interface language.
    std::string localizedDescription() const;
    // "KeychainError(<status>): <message>", or "KeychainError(<status>)" without a message.
    std::string debugDescription() const;
    const std::optional<std::string>& systemMessage() const { return systemMessage_; }

    friend bool operator==(const KeychainError& a, const KeychainError& b) { return a.status_ == b.status_; }

private:
    std::int32_t status_;
    std::optional<std::string> systemMessage_;
};

struct KeychainItem {
    std::string service;
    std::string account;
    std::string label;
    std::shared_ptr<KeychainBackend> backend;

    // The item's bytes, or nothing when it does not exist. Throws KeychainError.
    std::optional<Bytes> read() const;
    // Updates the item in place, or creates it (with the label) when absent. Throws KeychainError.
    void write(const Bytes& data) const;
    // Removing an absent item succeeds. Throws KeychainError.
    void remove() const;
};

} // namespace tolva
