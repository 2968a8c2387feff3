// Runs against a real gnome-keyring daemon on the private session bus of the test fixture.
#include "log/Log.h"
#include "platform/KeychainBackendChooser.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"
#include "support/KeychainContract.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tolva;

namespace {

std::shared_ptr<SecretServiceKeychainBackend> connectOrFail() {
    std::string why;
    auto backend = SecretServiceKeychainBackend::connect(&why);
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_TRUE(backend) << "no Secret Service on " << (bus ? bus : "(no bus)") << ": " << why;
    return backend;
}

} // namespace

TEST(SecretServiceKeychainBackend, MeetsTheKeychainContract) {
    auto backend = connectOrFail();
    ASSERT_TRUE(backend);
    test::expectKeychainContract(backend, "org.tolva.Screen.pin.test");
}

TEST(SecretServiceKeychainBackend, LabelOnCreationAndUpdateInPlace) {
    auto backend = connectOrFail();
    ASSERT_TRUE(backend);
    KeychainItem item{"org.tolva.Screen.pin.label", "pin", "Tolva PIN", backend};
    item.remove();
    EXPECT_EQ(backend->update({item.service, item.account}, Bytes{1}), KeychainBackend::itemNotFound);
    item.write(Bytes{1, 2, 3});
    KeychainItem relabelled{item.service, item.account, "Another label", backend};
    relabelled.write(Bytes{4, 5});
    EXPECT_EQ(item.read(), (Bytes{4, 5}));
    EXPECT_EQ(backend->remove({item.service, item.account}), KeychainBackend::success);
    EXPECT_EQ(backend->remove({item.service, item.account}), KeychainBackend::itemNotFound);
}

TEST(KeychainBackendChooser, PrefersTheSecretServiceAndSaysSo) {
    ScopedLogCapture log;
    auto backend = chooseKeychainBackend();
    EXPECT_EQ(backend->name(), "secret service");
    EXPECT_EQ(log.messages("auth"), std::vector<std::string>{"keychain backend: secret service"});
}

TEST(KeychainBackendChooser, FallsBackToThePrivateFileWithoutABus) {
    ScopedLogCapture log;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tolva-test-bus", 1);
    auto backend = chooseKeychainBackend();
    EXPECT_EQ(backend->name(), "file");
    auto lines = log.messages("auth");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(
        lines[0].starts_with("keychain backend: file path=" + std::string(std::getenv("XDG_DATA_HOME")) +
                             "/tolva-screen/pin.json reason="))
        << lines[0];
}
