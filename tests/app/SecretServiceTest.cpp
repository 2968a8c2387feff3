// Runs against a real gnome-keyring daemon on the private session bus of the test fixture.
// libsecret (GLib) comes first: Qt's "signals" keyword would break its headers.
#include <libsecret/secret.h>

#include "TolvaCore/PinHasher.h"
#include "log/Log.h"
#include "platform/KeychainBackendChooser.h"
#include "platform/dbus/SecretServiceKeychainBackend.h"
#include "support/KeychainContract.h"
#include "support/PrivateBus.h"
#include "support/QtApp.h"
#include "unlock/Authenticator.h"

#include <QDBusConnection>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace tolva;

namespace {

std::shared_ptr<SecretServiceKeychainBackend> connectOrFail() {
    std::string why;
    auto backend = SecretServiceKeychainBackend::connect(&why);
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_TRUE(backend) << "no Secret Service on " << (bus ? bus : "(no bus)") << ": " << why;
    return backend;
}

// A gnome-keyring of the test's own, on a bus of its own that becomes this process's session
// bus: fresh (no keyring at all, hence no default collection) or with an unlocked login keyring.
struct PrivateKeyring {
    explicit PrivateKeyring(bool loginKeyring) {
        const std::string home = std::string(std::getenv("HOME")) + "/keyring-" + std::to_string(::getpid());
        std::filesystem::create_directories(home + "/data");
        std::filesystem::create_directories(home + "/run");
        std::filesystem::permissions(home + "/run", std::filesystem::perms::owner_all);
        const std::string address = bus.address().toStdString();
        const std::string command = std::string(loginKeyring ? "printf tolva-test-keyring | " : "") +
                                    "exec gnome-keyring-daemon --foreground --components=secrets" +
                                    (loginKeyring ? " --unlock" : "");
        daemon = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"env", "DBUS_SESSION_BUS_ADDRESS=" + address, "HOME=" + home,
                                     "XDG_DATA_HOME=" + home + "/data", "XDG_RUNTIME_DIR=" + home + "/run",
                                     "sh", "-c", command},
            true);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        // Up once it owns its name on the bus.
        for (int i = 0; i < 100; ++i) {
            if (test::run({"dbus-send", "--bus=" + address, "--dest=org.freedesktop.DBus", "--print-reply",
                           "/org/freedesktop/DBus", "org.freedesktop.DBus.GetNameOwner",
                           "string:org.freedesktop.secrets"}) == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    test::PrivateBus bus;
    std::unique_ptr<test::ChildProcess> daemon;
};

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

// Without a session bus nothing may start one: no autolaunch by libsecret (GDBus) or by QtDBus
// (libdbus); the private file holds the PIN and the log says why.
TEST(KeychainBackendChooser, NoSessionBusMeansTheFileAndNoBusOfOurOwn) {
    const std::string runtime = std::string(std::getenv("HOME")) + "/no-bus-runtime";
    std::filesystem::create_directories(runtime);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ScopedLogCapture log;
    auto backend = chooseKeychainBackend();
    EXPECT_EQ(backend->name(), "file");
    EXPECT_EQ(
        log.messages("auth"),
        std::vector<std::string>{"keychain backend: file path=" + std::string(std::getenv("XDG_DATA_HOME")) +
                                 "/tolva-screen/pin.json reason=no session bus (DBUS_SESSION_BUS_ADDRESS "
                                 "unset and no $XDG_RUNTIME_DIR/bus)"});
    EXPECT_STREQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), "disabled:");

    // A PIN file others can read is refused, and replaced (and said so) when a PIN is set.
    KeychainPinStore store("org.tolva.Screen.pin", "pin", backend);
    store.save(PinHasher::makeRecord("1234", 10));
    const std::string pinFile = std::string(std::getenv("XDG_DATA_HOME")) + "/tolva-screen/pin.json";
    ::chmod(pinFile.c_str(), 0644);
    EXPECT_THROW(store.load(), KeychainError);
    log.sink().clear();
    store.save(PinHasher::makeRecord("5678", 10));
    auto lines = log.messages("auth");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("PIN file replaced: " + pinFile +
                                     " can be read or written by other users (mode "
                                     "0644)"))
        << lines[0];
    EXPECT_NE(lines[0].find("; the old file was moved aside to " + pinFile + ".corrupt-"), std::string::npos)
        << lines[0];
    // Both D-Bus libraries now fail at once instead of launching a bus through the X server.
    test::qtApp();
    EXPECT_FALSE(QDBusConnection::sessionBus().isConnected());
    GError* error = nullptr;
    GDBusConnection* gdbus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    EXPECT_EQ(gdbus, nullptr);
    if (error)
        g_error_free(error);
    if (gdbus)
        g_object_unref(gdbus);
    EXPECT_EQ(pinSessionBusAddress(), std::nullopt) << "stays without a bus";

    // The standard socket of the session is found and pinned.
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string socketPath = runtime + "/bus";
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(pinSessionBusAddress(), "unix:path=" + socketPath);
    EXPECT_EQ(std::string(std::getenv("DBUS_SESSION_BUS_ADDRESS")), "unix:path=" + socketPath);
    ::close(fd);
}

// A Secret Service that has no default collection would refuse every save: the file is used.
TEST(KeychainBackendChooser, NoDefaultCollectionMeansTheFile) {
    PrivateKeyring keyring(false);
    ScopedLogCapture log;
    auto backend = chooseKeychainBackend();
    EXPECT_EQ(backend->name(), "file");
    auto lines = log.messages("auth");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "keychain backend: file path=" + std::string(std::getenv("XDG_DATA_HOME")) +
                            "/tolva-screen/pin.json reason=the Secret Service has no default collection");
    KeychainPinStore store("org.tolva.Screen.pin", "pin", backend);
    const auto record = PinHasher::makeRecord("1234", 10);
    EXPECT_NO_THROW(store.save(record)) << "a PIN can be set";
    EXPECT_EQ(store.load(), record);
}

// A Secret Service that the bus starts on demand but that never answers (a keyring daemon stuck
// as it starts): the private file is used after a short wait, not after the bus's 25 seconds.
TEST(KeychainBackendChooser, AKeyringThatNeverAnswersMeansTheFileAfterAShortWait) {
    const std::string dir = std::string(std::getenv("HOME")) + "/hanging-keyring";
    std::filesystem::create_directories(dir + "/services");
    // Started by the bus, it never takes its name, and leaves with the bus.
    std::ofstream(dir + "/services/org.freedesktop.secrets.service")
        << "[D-BUS Service]\nName=org.freedesktop.secrets\n"
           "Exec=/bin/sh -c 'while kill -0 $PPID 2>/dev/null; do sleep 0.2; done'\n";
    std::ofstream(dir + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << dir << "/bus</listen><servicedir>" << dir
        << "/services</servicedir><policy context=\"default\"><allow send_destination=\"*\" "
           "eavesdrop=\"true\"/>"
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    test::ChildProcess bus({"dbus-daemon", "--config-file=" + dir + "/bus.conf", "--nofork", "--nopidfile",
                            "--print-address=1"});
    const auto address = bus.readLine(std::chrono::seconds(10), false);
    ASSERT_TRUE(address);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address->c_str(), 1);
    ScopedLogCapture log;
    auto backend = chooseKeychainBackend();
    EXPECT_EQ(backend->name(), "file");
    EXPECT_EQ(log.messages("auth"),
              std::vector<std::string>{
                  "keychain backend: file path=" + std::string(std::getenv("XDG_DATA_HOME")) +
                  "/tolva-screen/pin.json reason=the Secret Service did not answer within 1.5s"});
}

// A keyring that is locked at start is not unlocked (no prompt): the item reads as "locked",
// the Authenticator says so once, and the PIN is there once the keyring is open again.
TEST(SecretServiceKeychainBackend, ALockedKeyringIsReportedNeverPrompted) {
    PrivateKeyring keyring(true);
    auto backend = connectOrFail();
    ASSERT_TRUE(backend);
    auto store = std::make_shared<KeychainPinStore>("org.tolva.Screen.pin", "pin", backend);
    const auto record = PinHasher::makeRecord("1234", 10);
    store->save(record);

    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    ASSERT_TRUE(service) << (error ? error->message : "");
    SecretCollection* login = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                               SECRET_COLLECTION_NONE, nullptr, &error);
    ASSERT_TRUE(login);
    GList* objects = g_list_append(nullptr, login);
    ASSERT_GE(secret_service_lock_sync(service, objects, nullptr, nullptr, &error), 1);
    g_list_free(objects);

    ScopedLogCapture log;
    Authenticator auth(store);
    const auto start = std::chrono::steady_clock::now();
    auth.reload();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "no prompt waited for";
    EXPECT_FALSE(auth.isPINConfigured());
    EXPECT_TRUE(auth.isKeychainLocked());
    auth.reload(); // polled again while still locked: said once
    EXPECT_EQ(
        log.messages("auth"),
        std::vector<std::string>{
            "PIN record load failed: KeychainError(-25308): the keyring that holds the item is locked"});

    g_object_unref(login);
    g_object_unref(service);
}
