#include "TolvaCore/PinStore.h"
#include "TolvaCore/FileKeychainBackend.h"
#include "support/KeychainContract.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <fstream>
#include <thread>

using namespace tolva;
namespace fs = std::filesystem;

namespace {

// A backend that fails every call with one status, to see errors carried unchanged.
class FailingBackend : public KeychainBackend {
public:
    explicit FailingBackend(std::int32_t status) : status_(status) {}
    ReadResult copyMatching(const Query&) override { return {status_, std::nullopt}; }
    std::int32_t update(const Query&, const Bytes&) override { return status_; }
    std::int32_t add(const Query&, const Bytes&, std::string_view) override { return status_; }
    std::int32_t remove(const Query&) override { return status_; }
    std::optional<std::string> errorMessage(std::int32_t status) const override {
        return status == -61 ? std::optional<std::string>("Write permissions error.") : std::nullopt;
    }
    std::string name() const override { return "failing"; }

private:
    std::int32_t status_;
};

fs::path freshPinFile(const std::string& name) {
    fs::path dir = fs::path(std::getenv("XDG_DATA_HOME")) / name;
    fs::remove_all(dir);
    return dir / "pin.json";
}

} // namespace

TEST(InMemoryPinStore, HoldsOneRecordAcrossThreads) {
    PinRecord record{{1}, {2}, 3, 4};
    InMemoryPinStore store(record);
    EXPECT_EQ(store.load(), record);
    store.remove();
    EXPECT_EQ(store.load(), std::nullopt);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&store, t] {
            for (int i = 0; i < 500; ++i) {
                store.save(PinRecord{{static_cast<std::uint8_t>(t)}, {}, i, 4});
                (void)store.load();
            }
        });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(store.load());
    EXPECT_EQ(store.load()->iterations, 499);
}

TEST(FileKeychainBackend, MeetsTheKeychainContract) {
    auto file = freshPinFile("contract");
    test::expectKeychainContract(std::make_shared<FileKeychainBackend>(file), "org.tolva.Screen.pin");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(FileKeychainBackend::standardPath(),
              fs::path(std::getenv("XDG_DATA_HOME")) / "tolva-screen" / "pin.json");
}

TEST(FileKeychainBackend, LabelIsWrittenOnCreationOnly) {
    auto file = freshPinFile("label");
    auto backend = std::make_shared<FileKeychainBackend>(file);
    KeychainItem item{"svc", "pin", "Tolva PIN", backend};
    item.write(Bytes{1});
    KeychainItem renamed{"svc", "pin", "Another label", backend};
    renamed.write(Bytes{2});
    auto json = nlohmann::json::parse(std::ifstream(file));
    ASSERT_EQ(json["items"].size(), 1u);
    EXPECT_EQ(json["items"][0]["label"], "Tolva PIN");
    EXPECT_EQ(item.read(), Bytes{2});
}

TEST(FileKeychainBackend, RefusesAFileOthersCanRead) {
    auto file = freshPinFile("perms");
    auto backend = std::make_shared<FileKeychainBackend>(file);
    KeychainPinStore store("svc", "pin", backend);
    store.save(PinHasher::makeRecord("1234", 10));
    ::chmod(file.c_str(), 0644);
    try {
        store.load();
        ADD_FAILURE() << "a world-readable PIN file was used";
    } catch (const KeychainError& error) {
        EXPECT_EQ(error.status(), FileKeychainBackend::insecureFile);
        ASSERT_TRUE(error.systemMessage());
        EXPECT_NE(error.systemMessage()->find("mode 0644"), std::string::npos) << *error.systemMessage();
        EXPECT_NE(error.systemMessage()->find("chmod 600"), std::string::npos);
        EXPECT_EQ(error.debugDescription(), "KeychainError(13): " + *error.systemMessage());
    }
    EXPECT_THROW(store.save(PinHasher::makeRecord("1234", 10)), KeychainError) << "nor is it overwritten";
    ::chmod(file.c_str(), 0600);
    EXPECT_TRUE(store.load().has_value());

    std::ofstream(file, std::ios::trunc) << "garbage";
    ::chmod(file.c_str(), 0600);
    try {
        store.load();
        ADD_FAILURE();
    } catch (const KeychainError& error) {
        EXPECT_EQ(error.status(), FileKeychainBackend::corruptFile);
    }
}

TEST(KeychainPinStore, CarriesBackendStatusesUnchanged) {
    KeychainPinStore store("svc", "pin", std::make_shared<FailingBackend>(-61));
    try {
        store.load();
        ADD_FAILURE();
    } catch (const KeychainError& error) {
        EXPECT_EQ(error.status(), -61);
        EXPECT_EQ(error.localizedDescription(), "Keychain error -61");
        EXPECT_EQ(error.debugDescription(), "KeychainError(-61): Write permissions error.");
        EXPECT_EQ(error.systemMessage(), "Write permissions error.");
    }
    EXPECT_THROW(store.save(PinRecord{}), KeychainError);
    EXPECT_THROW(store.remove(), KeychainError);

    KeychainError plain(-34018, std::nullopt);
    EXPECT_EQ(plain.debugDescription(), "KeychainError(-34018)");
    EXPECT_EQ(plain.systemMessage(), std::nullopt);

    // "Not found" is no error for load and delete.
    KeychainPinStore absent("svc", "pin", std::make_shared<FailingBackend>(KeychainBackend::itemNotFound));
    EXPECT_EQ(absent.load(), std::nullopt);
    EXPECT_NO_THROW(absent.remove());
}
