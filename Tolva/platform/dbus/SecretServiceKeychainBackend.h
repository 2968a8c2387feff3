// Keychain items in the freedesktop Secret Service (through libsecret): one item per
// (service, account) attribute pair, labelled on creation, updated in place.
#pragma once

#include "TolvaCore/KeychainItem.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tolva {

class SecretServiceKeychainBackend : public KeychainBackend {
public:
    // How long a Secret Service (started on demand if need be) has to answer at start-up.
    static constexpr int answerWithinMs = 1500;

    // Connects to the Secret Service on the session bus; nothing (and the reason) when none
    // answers, or none within answerWithinMs.
    static std::shared_ptr<SecretServiceKeychainBackend> connect(std::string* whyNot = nullptr);
    ~SecretServiceKeychainBackend() override;

    ReadResult copyMatching(const Query& query) override;
    std::int32_t update(const Query& query, const Bytes& data) override;
    std::int32_t add(const Query& query, const Bytes& data, std::string_view label) override;
    std::int32_t remove(const Query& query) override;
    std::optional<std::string> errorMessage(std::int32_t status) const override;
    std::string name() const override { return "secret service"; }

    // The status a GLib error is reported with: its code, or -1 when the code is 0.
    static std::int32_t statusOf(int code) { return code != 0 ? code : -1; }

private:
    struct Service;
    explicit SecretServiceKeychainBackend(std::unique_ptr<Service> service);
    std::int32_t failed(void* error); // takes a GError*

    std::unique_ptr<Service> service_;
    KeychainStatusMessages messages_;
};

} // namespace tolva
