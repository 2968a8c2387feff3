// The application's single owner of the PIN: holds the current record loaded from the PIN
// store, says whether a PIN is configured, and is the only place a PIN is set or changed.
// Plain C++ (no Qt); observers hear about changes through the callbacks.
#pragma once

#include "TolvaCore/PinPolicy.h"
#include "TolvaCore/PinRecord.h"
#include "TolvaCore/PinStore.h"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tolva {

class Authenticator {
public:
    class ChangeError : public std::runtime_error {
    public:
        enum class Kind { invalid, storage, currentPinWrong, mismatch };

        static ChangeError invalid(PinPolicy::Violation violation);
        // `cause` is the localised description of the store or hashing failure.
        static ChangeError storage(std::string cause);
        static ChangeError currentPinWrong();
        static ChangeError mismatch();

        Kind kind() const { return kind_; }
        std::optional<PinPolicy::Violation> violation() const { return violation_; }
        // The text the PIN sheet shows, in the interface language.
        std::string localizedDescription() const;

    private:
        ChangeError(Kind kind, std::optional<PinPolicy::Violation> violation, std::string cause);
        Kind kind_;
        std::optional<PinPolicy::Violation> violation_;
        std::string cause_;
    };

    explicit Authenticator(std::shared_ptr<PinStore> store);

    // Loads the record from the store; a failure is kept in loadFailure and logged, never thrown.
    void reload();
    // Validates, checks the current PIN when one is set, hashes and stores. Throws ChangeError.
    void setPIN(std::string_view newPIN, std::optional<std::string_view> current);

    bool isPINConfigured() const { return record_.has_value(); }
    const std::optional<PinRecord>& record() const { return record_; }
    // The error of the last failed load; cleared only by a later successful load.
    std::exception_ptr loadFailure() const { return loadFailure_; }
    std::optional<std::string> loadFailureDescription() const;
    // The last load found the record in a locked keyring: there may well be a PIN, and it is
    // loaded again (reload) once the keyring has been unlocked.
    bool isKeychainLocked() const;

    // Called after `record` changed to a different value, and after `loadFailure` was set or cleared.
    std::function<void()> onRecordChanged;
    std::function<void()> onLoadFailureChanged;

    // The text a store error is logged with: a keychain error's debug description, else what().
    static std::string errorText(const std::exception_ptr& error);

private:
    void setRecord(std::optional<PinRecord> record);
    void setLoadFailure(std::exception_ptr failure);

    std::shared_ptr<PinStore> store_;
    std::optional<PinRecord> record_;
    std::exception_ptr loadFailure_;
};

} // namespace tolva
