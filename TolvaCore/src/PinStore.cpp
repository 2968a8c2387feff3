// Keychain items, their errors, and the two PIN stores.
#include "TolvaCore/PinStore.h"

#include "TolvaCore/L10n.h"

namespace tolva {

namespace {

std::string debugText(std::int32_t status, const std::optional<std::string>& message) {
    std::string text = "KeychainError(" + std::to_string(status) + ")";
    if (message)
        text += ": " + *message;
    return text;
}

[[noreturn]] void fail(const KeychainBackend& backend, std::int32_t status) {
    throw KeychainError(status, backend.errorMessage(status));
}

} // namespace

void KeychainStatusMessages::remember(std::int32_t status, std::string message) {
    std::lock_guard lock(mutex_);
    messages_[status] = std::move(message);
}

std::optional<std::string> KeychainStatusMessages::messageFor(std::int32_t status) const {
    std::lock_guard lock(mutex_);
    if (auto it = messages_.find(status); it != messages_.end())
        return it->second;
    if (status == KeychainBackend::itemNotFound)
        return "The item could not be found.";
    return std::nullopt;
}

KeychainError::KeychainError(std::int32_t status, std::optional<std::string> systemMessage)
    : std::runtime_error(debugText(status, systemMessage)), status_(status),
      systemMessage_(std::move(systemMessage)) {}

std::string KeychainError::localizedDescription() const {
    return L10n::Keychain::Error::message(status_);
}

std::string KeychainError::debugDescription() const {
    return debugText(status_, systemMessage_);
}

std::optional<Bytes> KeychainItem::read() const {
    auto result = backend->copyMatching({service, account});
    if (result.status == KeychainBackend::success && result.data)
        return std::move(result.data);
    if (result.status == KeychainBackend::itemNotFound)
        return std::nullopt;
    fail(*backend, result.status); // includes success without data
}

void KeychainItem::write(const Bytes& data) const {
    std::int32_t status = backend->update({service, account}, data);
    if (status == KeychainBackend::itemNotFound)
        status = backend->add({service, account}, data, label);
    if (status != KeychainBackend::success)
        fail(*backend, status);
}

void KeychainItem::remove() const {
    std::int32_t status = backend->remove({service, account});
    if (status != KeychainBackend::success && status != KeychainBackend::itemNotFound)
        fail(*backend, status);
}

std::optional<PinRecord> InMemoryPinStore::load() {
    std::lock_guard lock(mutex_);
    return record_;
}

void InMemoryPinStore::save(const PinRecord& record) {
    std::lock_guard lock(mutex_);
    record_ = record;
}

void InMemoryPinStore::remove() {
    std::lock_guard lock(mutex_);
    record_.reset();
}

KeychainPinStore::KeychainPinStore(std::string service, std::string account,
                                   std::shared_ptr<KeychainBackend> backend)
    : item_{std::move(service), std::move(account), std::string(label), std::move(backend)} {}

std::optional<PinRecord> KeychainPinStore::load() {
    auto bytes = item_.read();
    if (!bytes)
        return std::nullopt;
    return PinRecord::fromJSON(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

void KeychainPinStore::save(const PinRecord& record) {
    const std::string json = record.toJSON();
    item_.write(Bytes(json.begin(), json.end()));
}

void KeychainPinStore::remove() {
    item_.remove();
}

} // namespace tolva
