// Test entry point: every test process gets its own throwaway HOME and XDG folders, so no
// test reads or writes the settings, keyring or data of the person running it. Between tests
// the folders are emptied, the language variables restored and the interface language
// resolved again, so tests pass in any order.
#include "TolvaCore/Localization.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>

namespace {

// Tests of desktop services run inside the shared test session (scripts/test-session); its
// folder's env file names the display and the session bus.
void loadTestSession() {
    const char* dir = std::getenv("TOLVA_TEST_SESSION");
    if (!dir)
        return;
    std::ifstream env(std::filesystem::path(dir) / "env");
    for (std::string line; std::getline(env, line);) {
        auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        ::setenv(line.substr(0, equals).c_str(), line.substr(equals + 1).c_str(), 1);
    }
}

class ThrowawayHome : public testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/tolva-test-XXXXXX";
        const char* dir = ::mkdtemp(pattern);
        if (dir == nullptr)
            std::abort();
        root_ = dir;
        for (const char* sub : {"home", "config", "data", "runtime", "cache"})
            std::filesystem::create_directories(root_ / sub);
        std::filesystem::permissions(root_ / "runtime", std::filesystem::perms::owner_all);
        ::setenv("HOME", (root_ / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (root_ / "cache").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // Empties the folders, keeping the folders themselves.
    void empty() const {
        std::error_code ignored;
        for (const char* sub : {"home", "config", "data", "runtime", "cache"})
            for (const auto& entry : std::filesystem::directory_iterator(root_ / sub, ignored))
                std::filesystem::remove_all(entry.path(), ignored);
    }

private:
    std::filesystem::path root_;
};

// What one test changes of the process, undone before the next one starts.
class IsolateTests : public testing::EmptyTestEventListener {
public:
    explicit IsolateTests(const ThrowawayHome& home) : home_(home) {}

    void OnTestStart(const testing::TestInfo&) override {
        for (const char* name : variables) {
            const char* value = std::getenv(name);
            saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
    }

    void OnTestEnd(const testing::TestInfo&) override {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        home_.empty();
        // The shared language follows the restored environment and empty preferences again.
        tolva::Localization::configure(nullptr);
    }

private:
    static constexpr const char* variables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_TIME", "LANG", "TZ"};
    const ThrowawayHome& home_;
    std::map<std::string, std::optional<std::string>> saved_;
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    loadTestSession(); // before the throwaway folders, which replace the session's own
    auto* home = new ThrowawayHome;
    testing::AddGlobalTestEnvironment(home);
    testing::UnitTest::GetInstance()->listeners().Append(new IsolateTests(*home));
    return RUN_ALL_TESTS();
}
