// The lock state a restarted program takes the lock back with, in a real folder: written
// privately, read without trusting what is there, and failing closed whenever it cannot be read.
#include "lock/LockStateStore.h"
#include "log/Log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

using namespace tolva;
namespace fs = std::filesystem;

namespace {

// A runtime folder of the test's own, as $XDG_RUNTIME_DIR would be.
struct LockStateFolder : ::testing::Test {
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tolva-lock-state-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        folder = root / "tolva-screen";
        file = folder / "lock-state.json";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static void write(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0600)) {
        std::ofstream(path, std::ios::trunc) << text;
        fs::permissions(path, mode);
    }
    void writeState(const std::string& text) {
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::owner_all);
        write(file, text);
    }

    fs::path root, folder, file;
};

const std::string goodState = R"({"failures":2})";

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

} // namespace

TEST_F(LockStateFolder, AStateIsWrittenPrivatelyAndTakenBackAsWritten) {
    LockStateStore store(file);
    EXPECT_EQ(store.load().status, LockStateStore::Loaded::Status::missing);
    EXPECT_EQ(store.lockToResume(false), std::nullopt) << "no state and no guard: nothing was locked";

    const PersistedLock written{6, Instant(std::chrono::seconds(1234))};
    store.save(written);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    const auto loaded = store.load();
    EXPECT_EQ(loaded.status, LockStateStore::Loaded::Status::ok) << loaded.problem;
    EXPECT_EQ(loaded.state, written);
    EXPECT_EQ(store.lockToResume(false), written);

    store.remove();
    EXPECT_FALSE(fs::exists(file));
}

// Every way the state can be missing or odd while the guard says the program was locked: the
// lock is taken back, with the wrong-PIN count counted as the free attempts used up.
TEST_F(LockStateFolder, AMissingOrOddStateTakesTheLockBack) {
    const fs::path elsewhere = root / "elsewhere.json";
    struct Case {
        std::string name;
        std::function<void()> make;
        std::string problem; // in the log line; empty for a missing state
    };
    const std::vector<Case> cases = {
        {"deleted", [] {}, ""},
        {"folder emptied",
         [&] {
             fs::create_directories(folder);
             fs::permissions(folder, fs::perms::owner_all);
         },
         ""},
        {"a symbolic link to a good state",
         [&] {
             writeState(goodState);
             write(elsewhere, goodState);
             fs::remove(file);
             fs::create_symlink(elsewhere, file);
         },
         "the file is a symbolic link"},
        {"a FIFO",
         [&] {
             writeState(goodState);
             fs::remove(file);
             ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
         },
         "the file is not a regular file"},
        {"a folder",
         [&] {
             writeState(goodState);
             fs::remove(file);
             fs::create_directory(file);
         },
         "the file is not a regular file"},
        {"oversized", [&] { writeState(R"({"failures":2,"padding":")" + std::string(5000, 'x') + "\"}"); },
         "the file is larger than 4096 bytes"},
        {"mode 0666",
         [&] {
             writeState(goodState);
             fs::permissions(file, fs::perms(0666));
         },
         "the file is open to others (mode 666)"},
        {"readable by the group",
         [&] {
             writeState(goodState);
             fs::permissions(file, fs::perms(0640));
         },
         "the file is open to others (mode 640)"},
        {"its folder replaced by a file", [&] { write(folder, goodState); }, "is not a folder"},
        {"its folder a symbolic link",
         [&] {
             fs::create_directories(root / "other");
             fs::permissions(root / "other", fs::perms::owner_all);
             write(root / "other" / "lock-state.json", goodState);
             fs::create_directory_symlink(root / "other", folder);
         },
         "is not a folder"},
        {"its folder open to others",
         [&] {
             writeState(goodState);
             fs::permissions(folder, fs::perms(0755));
         },
         "the folder is open to others (mode 755)"},
        {"not JSON", [&] { writeState("{\"failures\": 2"); }, "the file is not a lock state"},
        {"not an object", [&] { writeState("[2]"); }, "the file is not a lock state"},
        {"no count", [&] { writeState("{}"); }, "the file is not a lock state"},
        {"a count that is no integer", [&] { writeState(R"({"failures":1e300})"); },
         "the file is not a lock state"},
        {"a wait that is no time", [&] { writeState(R"({"failures":1,"lockedUntil":"soon"})"); },
         "the file is not a lock state"},
        {"empty", [&] { writeState(""); }, "the file is not a lock state"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        fs::remove(folder, ignored);
        fs::remove_all(root / "other", ignored);
        fs::remove(elsewhere, ignored);
        c.make();
        ScopedLogCapture log;
        LockStateStore store(file);
        const auto resumed = store.lockToResume(true);
        ASSERT_TRUE(resumed) << "the restart came back unlocked";
        EXPECT_EQ(resumed->failures, 4);
        EXPECT_EQ(resumed->lockedUntil, std::nullopt);
        const auto lines = log.messages("lock");
        ASSERT_EQ(lines.size(), 1u);
        if (c.problem.empty()) {
            EXPECT_EQ(lines[0], "lock state missing while the guard says locked: " + file.string() +
                                    "; the lock is taken back");
        } else {
            EXPECT_TRUE(lines[0].starts_with("lock state damaged (")) << lines[0];
            EXPECT_NE(lines[0].find(c.problem), std::string::npos) << lines[0];
            EXPECT_TRUE(lines[0].ends_with("): " + file.string() + "; the lock is taken back")) << lines[0];
            // A state that is there but odd is a lock to take back even without the guard.
            EXPECT_TRUE(store.lockToResume(false));
        }
    }
}

TEST_F(LockStateFolder, AStateOfAnotherUserTakesTheLockBack) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    writeState(goodState);
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    LockStateStore store(file);
    ScopedLogCapture log;
    EXPECT_EQ(store.lockToResume(true), (PersistedLock{4, std::nullopt}));
    ASSERT_EQ(log.messages("lock").size(), 1u);
    EXPECT_NE(log.messages("lock")[0].find("the file belongs to another user"), std::string::npos);

    ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(store.lockToResume(false));
    EXPECT_NE(log.messages("lock").back().find("the folder belongs to another user"), std::string::npos);
}

// A count left by an older version that gave up taking the lock back after a few crashes means
// nothing now: the lock is taken back whatever it says.
TEST_F(LockStateFolder, NoCountOfRestartsGivesUpTheLock) {
    writeState(R"({"failures":1,"resumeAttempts":3})");
    EXPECT_EQ(LockStateStore(file).lockToResume(true), (PersistedLock{1, std::nullopt}));
    writeState(R"({"failures":1,"resumeAttempts":9223372036854775807})");
    EXPECT_EQ(LockStateStore(file).lockToResume(false), (PersistedLock{1, std::nullopt}));
}

TEST_F(LockStateFolder, CountsAreClamped) {
    LockStateStore store(file);
    writeState(R"({"failures":-7})");
    EXPECT_EQ(store.load().state.failures, 0);
    writeState(R"({"failures":18446744073709551615})");
    EXPECT_EQ(store.load().state.failures, LockStateStore::maxFailures);
    writeState(R"({"failures":9223372036854775807,"lockedUntil":9223372036854775807})");
    const auto loaded = store.load();
    EXPECT_EQ(loaded.state.failures, LockStateStore::maxFailures);
    EXPECT_EQ(loaded.state.lockedUntil, Instant(std::chrono::nanoseconds(INT64_MAX)))
        << "the controller cuts the wait down to the backoff's longest";
}

// Saving puts back what the reads refuse: the state is a private file in a private folder again.
TEST_F(LockStateFolder, SavingRepairsTheFolderAndTheFile) {
    LockStateStore store(file);
    write(folder, "planted");
    store.save({3, std::nullopt});
    EXPECT_EQ(store.load().status, LockStateStore::Loaded::Status::ok);
    EXPECT_EQ(modeOf(folder), 0700u);
    int asides = 0;
    for (const auto& entry : fs::directory_iterator(root))
        asides += entry.path().filename().string().starts_with("tolva-screen.corrupt-");
    EXPECT_EQ(asides, 1) << "the file where the folder belongs is kept aside, not deleted";

    fs::permissions(folder, fs::perms(0755));
    fs::remove(file);
    write(root / "elsewhere.json", goodState);
    fs::create_symlink(root / "elsewhere.json", file);
    store.save({5, std::nullopt});
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(store.load().state.failures, 5);
    std::ifstream untouched(root / "elsewhere.json");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(untouched), {}), goodState)
        << "the link's target is not written through";
}

// Without $XDG_RUNTIME_DIR the state is still kept, in a private folder under $XDG_STATE_HOME.
TEST_F(LockStateFolder, WithoutARuntimeFolderTheStateIsKeptInTheStateFolder) {
    struct Restore {
        std::optional<std::string> runtime, state;
        Restore() {
            if (const char* v = std::getenv("XDG_RUNTIME_DIR"))
                runtime = v;
            if (const char* v = std::getenv("XDG_STATE_HOME"))
                state = v;
        }
        ~Restore() {
            runtime ? ::setenv("XDG_RUNTIME_DIR", runtime->c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
            state ? ::setenv("XDG_STATE_HOME", state->c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
        }
    } restore;
    ::setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
    EXPECT_EQ(LockStateStore::standardFile(), root / "runtime" / "tolva-screen" / "lock-state.json");

    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
    const fs::path expected = root / "state" / "tolva-screen" / "lock-state.json";
    EXPECT_EQ(LockStateStore::standardFile(), expected);
    ::setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_EQ(LockStateStore::standardFile(), expected) << "an empty runtime folder is none";

    LockStateStore store(LockStateStore::standardFile());
    store.save({2, std::nullopt});
    EXPECT_EQ(modeOf(expected.parent_path()), 0700u);
    EXPECT_EQ(modeOf(expected), 0600u);
    EXPECT_EQ(LockStateStore(LockStateStore::standardFile()).lockToResume(false),
              (PersistedLock{2, std::nullopt}));
}
