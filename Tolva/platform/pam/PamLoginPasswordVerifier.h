// The login password of the current user, checked through PAM (service "tolva-screen", else
// "login") in a helper process with a time limit.
//
// Why a helper process and not a thread: a PAM module that hangs (a network directory that never
// answers, a broken device module) cannot be stopped inside our process: a thread blocked in it
// can neither be cancelled safely nor reused, keeps the PAM handle and a copy of the password in
// our memory for as long as it hangs, and a module that crashes would take the overlay down with
// it. A helper is killed at the time limit, and its memory, with the password copy, goes with it.
// The price is one process start per check (a few milliseconds, see bench/).
#pragma once

#include "lock/LockCollaborators.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tolva {

class PamLoginPasswordVerifier : public LoginPasswordVerifier {
public:
    static constexpr const char* primaryService = "tolva-screen";
    static constexpr const char* fallbackService = "login";

    struct Options {
        // The helper command; the service name is added as its last argument.
        std::vector<std::string> helper;
        // The folders libpam reads service files from, in order.
        std::vector<std::filesystem::path> serviceDirs;
        // A check that has not answered by then is killed and counts as a wrong password.
        std::chrono::milliseconds timeLimit{15000};
    };

    // The program itself as the helper, and the service folders of this process: those of
    // pam_wrapper when it is active (PAM_WRAPPER=1 and PAM_WRAPPER_SERVICE_DIR), else /etc/pam.d
    // and /usr/lib/pam.d.
    static Options programOptions();
    static std::vector<std::filesystem::path> serviceDirsFromEnvironment();

    explicit PamLoginPasswordVerifier(Options options);

    // The service a check uses now: "tolva-screen" when its file is present, else "login", else
    // none (then the login password cannot be checked at all). The choice is logged when it changes.
    std::optional<std::string> service();

    // A PAM service is present. Safe from any thread; a few file look-ups.
    bool isAvailable() override { return service().has_value(); }

    // Runs pam_authenticate and pam_acct_mgmt for the current user in the helper. Logs
    // "login password accepted in …" or "login password rejected code=… in …" (the PAM return
    // code; -1 when the helper could not run or gave no answer in time). Blocks the calling thread
    // (never the main thread) and wipes `password` before returning.
    bool verify(std::string& password) override;

    // The helper's process id of the check under way, for tests (0 when none).
    int runningHelper() const { return runningHelper_; }

private:
    // The PAM return code, or nullopt when the helper failed or gave no answer in time.
    std::optional<int> runHelper(const std::string& service, std::string& password);

    Options options_;
    std::mutex mutex_;
    std::optional<std::string> loggedService_;
    bool loggedOnce_ = false;
    std::atomic<int> runningHelper_{0};
};

} // namespace tolva
