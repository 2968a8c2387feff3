// PIN loading, setting and changing.
#include "unlock/Authenticator.h"

#include "TolvaCore/Graphemes.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/PinHasher.h"
#include "log/Log.h"

namespace tolva {

namespace {

std::string describe(Authenticator::ChangeError::Kind kind, std::optional<PinPolicy::Violation> violation,
                     const std::string& cause) {
    using Kind = Authenticator::ChangeError::Kind;
    switch (kind) {
    case Kind::invalid:
        return PinPolicy::description(*violation);
    case Kind::storage:
        return L10n::Pin::Error::saveFailed(cause);
    case Kind::currentPinWrong:
        return L10n::Pin::Error::currentWrong();
    case Kind::mismatch:
        return L10n::Pin::Error::mismatch();
    }
    return {};
}

// The user-facing text of a storage failure.
std::string localizedCause(const std::exception& error) {
    if (auto* keychain = dynamic_cast<const KeychainError*>(&error))
        return keychain->localizedDescription();
    return error.what();
}

} // namespace

Authenticator::ChangeError::ChangeError(Kind kind, std::optional<PinPolicy::Violation> violation,
                                        std::string cause)
    : std::runtime_error(describe(kind, violation, cause)), kind_(kind), violation_(violation),
      cause_(std::move(cause)) {}

Authenticator::ChangeError Authenticator::ChangeError::invalid(PinPolicy::Violation violation) {
    return ChangeError(Kind::invalid, violation, {});
}
Authenticator::ChangeError Authenticator::ChangeError::storage(std::string cause) {
    return ChangeError(Kind::storage, std::nullopt, std::move(cause));
}
Authenticator::ChangeError Authenticator::ChangeError::currentPinWrong() {
    return ChangeError(Kind::currentPinWrong, std::nullopt, {});
}
Authenticator::ChangeError Authenticator::ChangeError::mismatch() {
    return ChangeError(Kind::mismatch, std::nullopt, {});
}

std::string Authenticator::ChangeError::localizedDescription() const {
    return describe(kind_, violation_, cause_);
}

Authenticator::Authenticator(std::shared_ptr<PinStore> store) : store_(std::move(store)) {}

std::string Authenticator::errorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const KeychainError& keychain) {
        return keychain.debugDescription();
    } catch (const std::exception& other) {
        return other.what();
    } catch (...) {
        return "unknown error";
    }
}

std::optional<std::string> Authenticator::loadFailureDescription() const {
    if (!loadFailure_)
        return std::nullopt;
    return errorText(loadFailure_);
}

bool Authenticator::isKeychainLocked() const {
    if (!loadFailure_)
        return false;
    try {
        std::rethrow_exception(loadFailure_);
    } catch (const KeychainError& error) {
        return error.status() == KeychainBackend::locked;
    } catch (...) {
        return false;
    }
}

void Authenticator::reload() {
    std::optional<PinRecord> loaded;
    try {
        loaded = store_->load();
        // Refused at the door: such a record would lock its owner out. It reads as no PIN, so
        // the user is asked to set a new one, which replaces it.
        if (loaded)
            if (auto reason = loaded->unusableReason())
                throw PinRecordDecodingError("PIN record refused: " + *reason);
    } catch (...) {
        auto failure = std::current_exception();
        // The same failure again (a keyring still locked, polled until it opens) is said once.
        const bool repeated = loadFailure_ && errorText(loadFailure_) == errorText(failure);
        setRecord(std::nullopt);
        setLoadFailure(failure);
        if (!repeated)
            Log::auth.error("PIN record load failed: " + errorText(failure));
        return;
    }
    setRecord(std::move(loaded));
    setLoadFailure(nullptr);
}

void Authenticator::setPIN(std::string_view newPIN, std::optional<std::string_view> current) {
    if (auto violation = PinPolicy::validate(newPIN))
        throw ChangeError::invalid(*violation);
    if (record_ && (!current || !PinHasher::verify(*current, *record_)))
        throw ChangeError::currentPinWrong();
    PinRecord made;
    try {
        made = PinHasher::makeRecord(newPIN, PinHasher::defaultIterations);
        store_->save(made);
    } catch (const std::exception& error) {
        throw ChangeError::storage(localizedCause(error));
    }
    setRecord(made);
    Log::auth.info("PIN set, length=" + std::to_string(graphemeCount(newPIN)));
}

void Authenticator::setRecord(std::optional<PinRecord> record) {
    if (record == record_)
        return;
    record_ = std::move(record);
    if (onRecordChanged)
        onRecordChanged();
}

void Authenticator::setLoadFailure(std::exception_ptr failure) {
    if (!failure && !loadFailure_)
        return;
    loadFailure_ = std::move(failure);
    if (onLoadFailureChanged)
        onLoadFailureChanged();
}

} // namespace tolva
