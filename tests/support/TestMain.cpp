// Test entry point: every test process gets its own throwaway HOME and XDG folders, so no
// test reads or writes the settings, keyring or data of the person running it.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
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

private:
    std::filesystem::path root_;
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    loadTestSession(); // before the throwaway folders, which replace the session's own
    testing::AddGlobalTestEnvironment(new ThrowawayHome);
    return RUN_ALL_TESTS();
}
