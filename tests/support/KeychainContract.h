// The behaviour every keychain backend must show through KeychainPinStore, run against each
// real backend (the private file, the Secret Service).
#pragma once

#include "TolvaCore/PinHasher.h"
#include "TolvaCore/PinStore.h"

#include <gtest/gtest.h>

namespace tolva::test {

inline void expectKeychainContract(const std::shared_ptr<KeychainBackend>& backend,
                                   const std::string& service) {
    KeychainPinStore store(service, "pin", backend);
    store.remove(); // start from nothing, whatever an earlier run left

    EXPECT_EQ(store.load(), std::nullopt) << "load on an empty store";
    EXPECT_NO_THROW(store.remove()) << "removing an absent item succeeds";

    auto first = PinHasher::makeRecord("1234", 10);
    auto second = PinHasher::makeRecord("56789", 10);
    store.save(first);
    EXPECT_EQ(store.load(), first);
    store.save(second);
    EXPECT_EQ(store.load(), second) << "the latest save wins";

    // One item: after one delete nothing is left.
    store.remove();
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_NO_THROW(store.remove());

    // Items of another account are separate.
    KeychainPinStore other(service, "other", backend);
    other.save(first);
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_EQ(other.load(), first);
    other.remove();

    // Bytes that are not a record make load fail (the item itself is readable).
    KeychainItem raw{service, "pin", "Tolva PIN", backend};
    const std::string junk = "{\"salt\": \"AA==\"}";
    raw.write(Bytes(junk.begin(), junk.end()));
    EXPECT_THROW(store.load(), PinRecordDecodingError);
    raw.write(Bytes{'n', 'o', 't', ' ', 'j', 's', 'o', 'n'});
    EXPECT_THROW(store.load(), PinRecordDecodingError);
    store.save(first); // a save overwrites the unreadable item
    EXPECT_EQ(store.load(), first);
    store.remove();
}

} // namespace tolva::test
