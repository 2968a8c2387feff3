#include "unlock/Authenticator.h"
#include "TolvaCore/PinHasher.h"
#include "log/Log.h"

#include <gtest/gtest.h>

using namespace tolva;

namespace {

// A store whose load or save can be made to fail.
class ScriptedStore : public PinStore {
public:
    std::optional<PinRecord> record;
    std::optional<std::int32_t> loadFails;
    std::optional<std::int32_t> saveFails;
    bool loadCorrupt = false;
    int saves = 0;

    std::optional<PinRecord> load() override {
        if (loadFails)
            throw KeychainError(*loadFails, std::string("Keychain is locked."));
        if (loadCorrupt)
            throw PinRecordDecodingError("PIN record has no \"salt\"");
        return record;
    }
    void save(const PinRecord& r) override {
        if (saveFails)
            throw KeychainError(*saveFails, std::nullopt);
        record = r;
        ++saves;
    }
    void remove() override { record.reset(); }
};

using Kind = Authenticator::ChangeError::Kind;

Kind changeErrorKind(Authenticator& auth, std::string_view pin, std::optional<std::string_view> current) {
    try {
        auth.setPIN(pin, current);
    } catch (const Authenticator::ChangeError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "setPIN did not throw";
    return Kind::mismatch;
}

} // namespace

TEST(Authenticator, FirstPinThenChange) {
    ScopedLogCapture log;
    auto store = std::make_shared<ScriptedStore>();
    Authenticator auth(store);
    int changes = 0;
    auth.onRecordChanged = [&] { ++changes; };
    auth.reload();
    EXPECT_FALSE(auth.isPINConfigured());
    EXPECT_EQ(changes, 0);

    auth.setPIN("482916", std::string_view("anything")); // current is ignored without a record
    EXPECT_TRUE(auth.isPINConfigured());
    EXPECT_EQ(auth.record()->length, 6);
    EXPECT_EQ(auth.record()->iterations, PinHasher::defaultIterations);
    EXPECT_EQ(store->record, auth.record());
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(log.messages("auth"), std::vector<std::string>{"PIN set, length=6"});

    EXPECT_EQ(changeErrorKind(auth, "1111", std::nullopt), Kind::currentPinWrong);
    EXPECT_EQ(changeErrorKind(auth, "1111", "000000"), Kind::currentPinWrong);
    // The new PIN is checked before the current one.
    EXPECT_EQ(changeErrorKind(auth, "111", "000000"), Kind::invalid);
    EXPECT_EQ(store->saves, 1);

    auth.setPIN("1111", std::string_view("482916"));
    EXPECT_FALSE(PinHasher::verify("482916", *auth.record()));
    EXPECT_TRUE(PinHasher::verify("1111", *auth.record()));
    EXPECT_EQ(changes, 2);

    auth.reload(); // the same record again: no notification
    EXPECT_EQ(changes, 2);
}

TEST(Authenticator, ChangeErrorDescriptions) {
    auto store = std::make_shared<ScriptedStore>();
    store->saveFails = -25299;
    Authenticator auth(store);
    try {
        auth.setPIN("123456", std::nullopt);
        ADD_FAILURE();
    } catch (const Authenticator::ChangeError& error) {
        EXPECT_EQ(error.kind(), Kind::storage);
        EXPECT_EQ(error.localizedDescription(), "Couldn’t save: Keychain error -25299");
    }
    EXPECT_FALSE(auth.isPINConfigured()) << "a failed save leaves the record alone";
    try {
        auth.setPIN("12a", std::nullopt);
        ADD_FAILURE();
    } catch (const Authenticator::ChangeError& error) {
        EXPECT_EQ(error.violation(), PinPolicy::Violation::notDigits);
        EXPECT_EQ(error.localizedDescription(), "A PIN can contain only digits");
    }
    EXPECT_EQ(Authenticator::ChangeError::mismatch().localizedDescription(), "The two PINs don’t match");
    EXPECT_EQ(Authenticator::ChangeError::currentPinWrong().localizedDescription(),
              "Current PIN is incorrect");
}

TEST(Authenticator, LoadFailureLooksLikeNoPinUntilAPinIsSet) {
    ScopedLogCapture log;
    auto store = std::make_shared<ScriptedStore>();
    store->loadFails = -25308;
    Authenticator auth(store);
    int failures = 0;
    auth.onLoadFailureChanged = [&] { ++failures; };
    auth.reload();
    EXPECT_FALSE(auth.isPINConfigured());
    EXPECT_TRUE(auth.loadFailure());
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(log.messages("auth"),
              std::vector<std::string>{"PIN record load failed: KeychainError(-25308): Keychain is locked."});
    EXPECT_EQ(log.sink().entries().back().level, LogLevel::error);

    store->loadFails.reset();
    auth.setPIN("2468", std::nullopt);
    EXPECT_TRUE(auth.isPINConfigured());
    EXPECT_TRUE(auth.loadFailure()) << "stays until the next successful reload";
    auth.reload();
    EXPECT_FALSE(auth.loadFailure());
    EXPECT_EQ(failures, 2);

    store->loadCorrupt = true;
    auth.reload();
    EXPECT_FALSE(auth.isPINConfigured());
    EXPECT_EQ(auth.loadFailureDescription(), "PIN record has no \"salt\"");
}

TEST(Authenticator, RefusesHostileRecordsAsNoPinWithTheReason) {
    const PinRecord good = PinHasher::makeRecord("1234", 10);
    struct Case {
        std::function<void(PinRecord&)> spoil;
        std::string line;
    };
    const std::vector<Case> cases = {
        {[](PinRecord& r) { r.iterations = 4000000000; },
         "PIN record load failed: PIN record refused: iterations=4000000000 is outside 1...1000000"},
        {[](PinRecord& r) { r.iterations = 2147483647; },
         "PIN record load failed: PIN record refused: iterations=2147483647 is outside 1...1000000"},
        {[](PinRecord& r) { r.iterations = 0; },
         "PIN record load failed: PIN record refused: iterations=0 is outside 1...1000000"},
        {[](PinRecord& r) { r.iterations = -1; },
         "PIN record load failed: PIN record refused: iterations=-1 is outside 1...1000000"},
        {[](PinRecord& r) { r.length = 3; },
         "PIN record load failed: PIN record refused: length=3 is outside 4...8"},
        {[](PinRecord& r) { r.hash.clear(); },
         "PIN record load failed: PIN record refused: hash is 0 bytes, not 32"},
        {[](PinRecord& r) { r.salt.clear(); },
         "PIN record load failed: PIN record refused: salt bytes=0 is outside 1...64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ScopedLogCapture log;
        auto store = std::make_shared<ScriptedStore>();
        store->record = good;
        c.spoil(*store->record);
        Authenticator auth(store);
        auth.reload();
        EXPECT_FALSE(auth.isPINConfigured()) << "treated as no PIN, so the set-up path appears";
        EXPECT_EQ(auth.record(), std::nullopt);
        EXPECT_TRUE(auth.loadFailure());
        EXPECT_EQ(log.messages("auth"), std::vector<std::string>{c.line});
        EXPECT_EQ(log.sink().entries().back().level, LogLevel::error);

        // No current PIN is asked for: a new one replaces the refused record.
        auth.setPIN("5678", std::nullopt);
        EXPECT_TRUE(auth.isPINConfigured());
        EXPECT_EQ(store->record->unusableReason(), std::nullopt);
        auth.reload();
        EXPECT_TRUE(auth.isPINConfigured());
    }
}

TEST(Authenticator, ALockedKeyringIsSaidOnceAndThePinComesWhenItOpens) {
    ScopedLogCapture log;
    auto store = std::make_shared<ScriptedStore>();
    store->record = PinHasher::makeRecord("1234", 10);
    store->loadFails = KeychainBackend::locked;
    Authenticator auth(store);
    auth.reload();
    EXPECT_TRUE(auth.isKeychainLocked());
    EXPECT_FALSE(auth.isPINConfigured());
    auth.reload();
    auth.reload();
    EXPECT_EQ(log.messages("auth"),
              std::vector<std::string>{"PIN record load failed: KeychainError(-25308): Keychain is locked."})
        << "polling a locked keyring is said once";
    store->loadFails.reset(); // the user unlocked the keyring
    auth.reload();
    EXPECT_FALSE(auth.isKeychainLocked());
    EXPECT_TRUE(auth.isPINConfigured());
    store->loadFails = -25293;
    auth.reload();
    EXPECT_FALSE(auth.isKeychainLocked()) << "other failures are not a locked keyring";
}
