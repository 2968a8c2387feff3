#include "TolvaCore/PinStore.h"
#include "TolvaCore/FileKeychainBackend.h"
#include "support/KeychainContract.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <fstream>
#include <functional>
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

// Reading such a file is refused, but it must never stop the user from setting a new PIN: the
// save moves it aside (kept, private) and writes a fresh file.
TEST(FileKeychainBackend, ANewPinReplacesADamagedForeignOrInsecureFile) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> plant;
    };
    const std::vector<Case> cases = {
        {"world-readable", [](const fs::path& f) { ::chmod(f.c_str(), 0666); }},
        {"damaged",
         [](const fs::path& f) { std::ofstream(f, std::ios::trunc) << "{\"items\": [{\"service\": 1}]}"; }},
        {"not ours", [](const fs::path& f) { std::ofstream(f, std::ios::trunc) << "[1, 2, 3]"; }},
        {"a symlink",
         [](const fs::path& f) {
             fs::remove(f);
             fs::create_symlink("/etc/hostname", f);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = freshPinFile(std::string("replace-") + c.name);
        auto backend = std::make_shared<FileKeychainBackend>(file);
        std::vector<std::pair<std::string, fs::path>> told;
        backend->onMovedAside = [&](const std::string& why, const fs::path& aside) {
            told.emplace_back(why, aside);
        };
        KeychainPinStore store("svc", "pin", backend);
        store.save(PinHasher::makeRecord("1234", 10));
        c.plant(file);
        EXPECT_THROW(store.load(), KeychainError) << "reading it is still refused";
        EXPECT_EQ(backend->movedAside(), std::nullopt);

        const auto fresh = PinHasher::makeRecord("5678", 10);
        ASSERT_NO_THROW(store.save(fresh));
        EXPECT_EQ(store.load(), fresh);
        struct stat st {};
        ASSERT_EQ(::lstat(file.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        auto aside = backend->movedAside();
        ASSERT_TRUE(aside);
        ASSERT_EQ(told.size(), 1u) << "the owner hears of it once, to log it";
        EXPECT_EQ(told[0].second, *aside);
        EXPECT_TRUE(told[0].first.starts_with(file.string())) << told[0].first;
        EXPECT_EQ(aside->parent_path(), file.parent_path());
        EXPECT_EQ(aside->filename().string().rfind("pin.json.corrupt-", 0), 0u) << *aside;
        ASSERT_EQ(::lstat(aside->c_str(), &st), 0) << "the old file is kept";
        if (S_ISREG(st.st_mode)) {
            EXPECT_EQ(st.st_mode & 0777, 0600u) << "and nobody else reads it any more";
        }
    }
}

TEST(FileKeychainBackend, FoldersArePrivateEvenUnderUmaskZero) {
    const fs::path root = fs::path(std::getenv("XDG_DATA_HOME")) / "umask-zero";
    fs::remove_all(root);
    const fs::path file = root / "deeper" / "tolva-screen" / "pin.json";
    const mode_t previous = ::umask(0);
    KeychainPinStore store("svc", "pin", std::make_shared<FileKeychainBackend>(file));
    store.save(PinHasher::makeRecord("1234", 10));
    ::umask(previous);
    for (const fs::path& dir : {root, root / "deeper", root / "deeper" / "tolva-screen"}) {
        struct stat st {};
        ASSERT_EQ(::stat(dir.c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << dir;
    }
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
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
