// A PAM set-up of a test's own through pam_wrapper: a service folder with the "tolva-screen"
// service (pam_matrix over a password file of the current user, optionally behind the test
// module), and the environment that makes the helper processes started meanwhile use it.
#pragma once

#include "TolvaCore/SecretText.h"
#include "platform/pam/LoginPasswordCheck.h"
#include "platform/pam/PamLoginPasswordVerifier.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace tolva::test {

// Sets variables for the life of the object and puts the old values back afterwards.
class ScopedEnvironment {
public:
    void set(const std::string& name, const std::string& value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        for (auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

class PamTestService {
public:
    static constexpr const char* password = "correct horse 42";

    PamTestService() {
        char pattern[] = "/tmp/tolva-pam-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        std::filesystem::create_directories(services());
        std::ofstream(dir_ / "passdb")
            << LoginPasswordCheck::currentUserName() << ":" << password << ":tolva-screen\n";
        // libpam wants a fallback service; without it pam_wrapper complains on every start.
        std::ofstream(services() / "other") << "auth required pam_deny.so\naccount required pam_deny.so\n";
        environment_.set("LD_PRELOAD", "libpam_wrapper.so");
        environment_.set("PAM_WRAPPER", "1");
        environment_.set("PAM_WRAPPER_SERVICE_DIR", services().string());
        // The sanitizer build: pam_wrapper is preloaded ahead of the sanitizer runtime and must
        // not bind deeply past it.
        environment_.set("PAM_WRAPPER_DISABLE_DEEPBIND", "1");
        environment_.set("UID_WRAPPER_DISABLE_DEEPBIND", "1"); // the name pam_wrapper 1.1.4 reads
        environment_.set("ASAN_OPTIONS",
                         std::string(std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
                             ":verify_asan_link_order=0");
    }
    ~PamTestService() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::filesystem::path services() const { return dir_ / "services"; }
    std::filesystem::path countFile() const { return dir_ / "count"; }
    std::filesystem::path passdb() const { return dir_ / "passdb"; }

    // Writes the service `name`: the test module with `moduleArguments` (when given), then pam_matrix.
    void writeService(const std::string& name = "tolva-screen", const std::string& moduleArguments = "",
                      const std::string& matrixOptions = "") {
        std::ofstream file(services() / name);
        if (!moduleArguments.empty())
            file << "auth required " << TOLVA_PAM_TEST_MODULE << " " << moduleArguments << "\n";
        file << "auth required " << TOLVA_PAM_MATRIX << " passdb=" << passdb().string() << " "
             << matrixOptions << "\naccount required " << TOLVA_PAM_MATRIX << " passdb=" << passdb().string()
             << "\n";
    }
    // A service that counts every authentication that reaches PAM.
    void writeCountingService() { writeService("tolva-screen", "count=" + countFile().string()); }
    int reachedPam() const {
        std::ifstream file(countFile());
        int lines = 0;
        for (std::string line; std::getline(file, line);)
            ++lines;
        return lines;
    }

    std::shared_ptr<PamLoginPasswordVerifier>
    verifier(std::chrono::milliseconds timeLimit = std::chrono::seconds(15)) {
        PamLoginPasswordVerifier::Options options;
        options.helper = {TOLVA_BINARY, std::string(LoginPasswordCheck::helperArgument)};
        options.serviceDirs = PamLoginPasswordVerifier::serviceDirsFromEnvironment();
        options.timeLimit = timeLimit;
        return std::make_shared<PamLoginPasswordVerifier>(options);
    }

private:
    std::filesystem::path dir_;
    ScopedEnvironment environment_;
};

} // namespace tolva::test
