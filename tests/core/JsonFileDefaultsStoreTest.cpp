#include "TolvaCore/JsonFileDefaultsStore.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tolva;
namespace fs = std::filesystem;

namespace {

fs::path freshFile(const std::string& name) {
    fs::path dir = fs::path(std::getenv("XDG_CONFIG_HOME")) / name;
    fs::remove_all(dir);
    return dir / "preferences.json";
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(JsonFileDefaultsStore, StandardPathFollowsXdgConfigHome) {
    EXPECT_EQ(JsonFileDefaultsStore::standardPath(),
              fs::path(std::getenv("XDG_CONFIG_HOME")) / "tolva-screen" / "preferences.json");
    std::string saved = std::getenv("XDG_CONFIG_HOME");
    ::setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
    EXPECT_EQ(JsonFileDefaultsStore::standardPath(),
              fs::path(std::getenv("HOME")) / ".config" / "tolva-screen" / "preferences.json");
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    EXPECT_TRUE(JsonFileDefaultsStore::standard()->isStandard());
}

TEST(JsonFileDefaultsStore, KeepsEveryTypeApartAcrossInstances) {
    auto file = freshFile("types");
    {
        JsonFileDefaultsStore store(file);
        store.setBoolean("b", true);
        store.setInteger("i", 3600);
        store.setReal("r", 1.0);
        store.setReal("half", 0.5);
        store.setObject("s", std::string("600"));
        store.setObject("list", std::vector<std::string>{"breathing", "pixelShift"});
        store.setObject("empty", std::vector<std::string>{});
        store.setObject("data", Bytes{0, 1, 2, 255});
        store.setObject("gone", std::string("x"));
        store.remove("gone");
    }
    JsonFileDefaultsStore reopened(file);
    EXPECT_EQ(reopened.object("b"), DefaultsValue(true));
    EXPECT_EQ(reopened.object("i"), DefaultsValue(std::int64_t{3600}));
    EXPECT_EQ(reopened.object("r"), DefaultsValue(1.0)) << "a real stays a real even when integral";
    EXPECT_EQ(reopened.object("half"), DefaultsValue(0.5));
    EXPECT_EQ(reopened.object("s"), DefaultsValue(std::string("600")));
    EXPECT_EQ(reopened.stringArray("list"), (std::vector<std::string>{"breathing", "pixelShift"}));
    EXPECT_EQ(reopened.stringArray("empty"), std::vector<std::string>{});
    EXPECT_EQ(reopened.data("data"), (Bytes{0, 1, 2, 255}));
    EXPECT_EQ(reopened.object("gone"), std::nullopt);
    EXPECT_EQ(reopened.data("s"), std::nullopt);

    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary files are left behind.
    for (auto& entry : fs::directory_iterator(file.parent_path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
}

TEST(JsonFileDefaultsStore, ForeignShapesReadAsAbsent) {
    auto decoded = JsonFileDefaultsStore::decode(
        R"({"n": null, "o": {"a": 1}, "mixed": ["a", 1], "d": {"$data": "not base64!"}, "ok": 1})");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size(), 1u);
    EXPECT_EQ(decoded->at("ok"), DefaultsValue(std::int64_t{1}));
    EXPECT_EQ(JsonFileDefaultsStore::decode("[1,2]"), std::nullopt);
    EXPECT_EQ(JsonFileDefaultsStore::decode("{"), std::nullopt);
}

TEST(JsonFileDefaultsStore, ChangesFromAnotherWriterAreSeenAtTheNextRead) {
    auto file = freshFile("shared");
    JsonFileDefaultsStore mine(file), theirs(file);
    mine.setInteger("keepAwakeSeconds", 7200);
    EXPECT_EQ(theirs.object("keepAwakeSeconds"), DefaultsValue(std::int64_t{7200}));
    theirs.setBoolean("lockSystemOnExpiry", true);
    EXPECT_TRUE(mine.boolean("lockSystemOnExpiry"));
    // A write through one instance keeps what the other wrote.
    mine.setInteger("idleTimeoutSeconds", 300);
    EXPECT_TRUE(theirs.boolean("lockSystemOnExpiry"));
    EXPECT_EQ(theirs.object("idleTimeoutSeconds"), DefaultsValue(std::int64_t{300}));
}

TEST(JsonFileDefaultsStore, CorruptFileIsMovedAsideNotOverwritten) {
    auto file = freshFile("corrupt");
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "{\"keepAwakeSeconds\": 7200, oops";
    JsonFileDefaultsStore store(file);
    EXPECT_EQ(store.object("keepAwakeSeconds"), std::nullopt);
    auto aside = store.movedAside();
    ASSERT_TRUE(aside);
    EXPECT_EQ(readFile(*aside), "{\"keepAwakeSeconds\": 7200, oops");
    EXPECT_TRUE(aside->filename().string().starts_with("preferences.json.corrupt-"));
    store.setInteger("idleTimeoutSeconds", 600);
    EXPECT_EQ(readFile(*aside), "{\"keepAwakeSeconds\": 7200, oops");
    EXPECT_EQ(JsonFileDefaultsStore::decode(readFile(file))->size(), 1u);
}

// Hostile files are refused at the door: each reads as empty, is moved aside, and is reported
// once with the reason; the program never hangs on one or loads megabytes for it.
TEST(JsonFileDefaultsStore, HostileFilesAreMovedAsideWithTheReason) {
    using Kind = JsonFileDefaultsStore::Notice::Kind;
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> plant;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"not json", [](const fs::path& f) { std::ofstream(f) << "{\"keepAwakeSeconds\": 7200, oops"; },
         "not valid JSON"},
        {"too large",
         [](const fs::path& f) {
             // Valid JSON, just far too much of it.
             std::ofstream out(f);
             out << "{\"awayNoteText\": \"" << std::string(JsonFileDefaultsStore::maxFileSize, 'x') << "\"}";
         },
         "larger than 1048576 bytes"},
        {"fifo", [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); }, "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = freshFile(std::string("hostile-") + c.name);
        fs::create_directories(file.parent_path());
        c.plant(file);
        JsonFileDefaultsStore store(file);
        EXPECT_EQ(store.object("keepAwakeSeconds"), std::nullopt);
        EXPECT_EQ(store.object("awayNoteText"), std::nullopt);
        auto aside = store.movedAside();
        ASSERT_TRUE(aside);
        EXPECT_TRUE(aside->filename().string().starts_with("preferences.json.corrupt-"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
        const std::vector<JsonFileDefaultsStore::Notice> expected{
            {Kind::movedAside, "preferences file " + file.string() + " could not be read (" + c.reason +
                                   "); moved aside to " + aside->string() +
                                   "; every setting is back to its default"}};
        EXPECT_EQ(store.takeNotices(), expected);
        EXPECT_TRUE(store.takeNotices().empty()) << "told once";
        store.setInteger("idleTimeoutSeconds", 600);
        EXPECT_EQ(store.object("idleTimeoutSeconds"), DefaultsValue(std::int64_t{600}));
        EXPECT_TRUE(store.takeNotices().empty());
    }
}

TEST(JsonFileDefaultsStore, AFileOthersCanWriteIsMadePrivate) {
    auto file = freshFile("world-writable");
    JsonFileDefaultsStore writer(file);
    writer.setInteger("keepAwakeSeconds", 7200);
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    JsonFileDefaultsStore store(file);
    EXPECT_EQ(store.object("keepAwakeSeconds"), DefaultsValue(std::int64_t{7200})) << "still read";
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::vector<JsonFileDefaultsStore::Notice> expected{
        {JsonFileDefaultsStore::Notice::Kind::permissionsFixed,
         "warning: preferences file " + file.string() +
             " was writable by other users (mode 0666); set to 0600"}};
    EXPECT_EQ(store.takeNotices(), expected);
    EXPECT_EQ(store.movedAside(), std::nullopt);

    ::chmod(file.c_str(), 0644); // readable by others is fine for settings
    JsonFileDefaultsStore again(file);
    EXPECT_EQ(again.object("keepAwakeSeconds"), DefaultsValue(std::int64_t{7200}));
    EXPECT_TRUE(again.takeNotices().empty());
}

TEST(JsonFileDefaultsStore, UnwritableFolderKeepsTheValueInMemoryAndSaysWhy) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    auto file = freshFile("readonly");
    fs::create_directories(file.parent_path());
    fs::permissions(file.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    JsonFileDefaultsStore store(file);
    store.setInteger("keepAwakeSeconds", 1800);
    EXPECT_TRUE(store.lastWriteError().has_value());
    EXPECT_EQ(store.object("keepAwakeSeconds"), DefaultsValue(std::int64_t{1800}));
    fs::permissions(file.parent_path(), fs::perms::owner_all);
}

// A writer killed at random moments must always leave a whole file holding one of the
// states it wrote, never a torn or empty one.
TEST(JsonFileDefaultsStore, SurvivesWriterKilledMidWrite) {
    auto file = freshFile("crash");
    std::mt19937 random(20261207);
    int lastSeen = -1;
    for (int round = 0; round < 12; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            JsonFileDefaultsStore store(file);
            for (int i = 0; i < 1000; ++i) {
                store.setInteger("counter", i);
                store.setObject("payload", std::string(static_cast<std::size_t>(i % 97) * 40, 'x'));
            }
            ::_exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        if (!fs::exists(file))
            continue; // killed before the first rename
        auto decoded = JsonFileDefaultsStore::decode(readFile(file));
        ASSERT_TRUE(decoded) << "round " << round << ": torn file";
        auto counter = decoded->find("counter");
        ASSERT_NE(counter, decoded->end());
        auto value = std::get<std::int64_t>(counter->second);
        EXPECT_GE(value, 0);
        EXPECT_LT(value, 1000);
        lastSeen = static_cast<int>(value);
        JsonFileDefaultsStore reader(file);
        EXPECT_EQ(reader.object("counter"), counter->second);
        EXPECT_FALSE(reader.movedAside().has_value());
    }
    EXPECT_GE(lastSeen, 0) << "no writer ever got a file written";
}
