// Starting the PAM helper, feeding it the password and keeping its time.
#include "platform/pam/PamLoginPasswordVerifier.h"

#include "TolvaCore/SecretText.h"
#include "log/Log.h"
#include "platform/pam/LoginPasswordCheck.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tolva {

namespace {

std::string secondsText(std::chrono::steady_clock::duration elapsed) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3fs", std::chrono::duration<double>(elapsed).count());
    return buffer;
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// A descriptor that becomes readable when the process ends, or -1 where the kernel has none.
int openProcessDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

enum class ReadStep { more, nothingYet, done };

// One read of the helper's output into `answer` (which no honest answer makes longer than a
// few bytes): done at end of file, on an error, or when there is too much.
ReadStep readAnswer(int fd, std::string& answer) {
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
        return ReadStep::more;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return ReadStep::nothingYet;
    if (n <= 0)
        return ReadStep::done;
    answer.append(buffer, static_cast<std::size_t>(n));
    return answer.size() > 64 ? ReadStep::done : ReadStep::more;
}

} // namespace

std::vector<std::filesystem::path> PamLoginPasswordVerifier::serviceDirsFromEnvironment() {
    const char* wrapped = std::getenv("PAM_WRAPPER");
    const char* dir = std::getenv("PAM_WRAPPER_SERVICE_DIR");
    if (wrapped != nullptr && std::string(wrapped) == "1" && dir != nullptr && *dir != '\0')
        return {dir};
    return {"/etc/pam.d", "/usr/lib/pam.d"};
}

PamLoginPasswordVerifier::Options PamLoginPasswordVerifier::programOptions() {
    Options options;
    options.helper = {"/proc/self/exe", std::string(LoginPasswordCheck::helperArgument)};
    options.serviceDirs = serviceDirsFromEnvironment();
    return options;
}

PamLoginPasswordVerifier::PamLoginPasswordVerifier(Options options) : options_(std::move(options)) {}

std::optional<std::string> PamLoginPasswordVerifier::service() {
    std::optional<std::string> found;
    for (const char* name : {primaryService, fallbackService}) {
        for (const auto& dir : options_.serviceDirs) {
            std::error_code error;
            if (std::filesystem::is_regular_file(dir / name, error)) {
                found = name;
                break;
            }
        }
        if (found)
            break;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (!loggedOnce_ || loggedService_ != found) {
        loggedOnce_ = true;
        loggedService_ = found;
        if (!found)
            Log::auth.error(std::string("login password unavailable: no PAM service ") + primaryService +
                            " or " + fallbackService);
        else if (*found == primaryService)
            Log::auth.info("login password service=" + *found);
        else
            Log::auth.info("login password service=" + *found + " (" + primaryService + " missing)");
    }
    return found;
}

std::optional<int> PamLoginPasswordVerifier::runHelper(const std::string& service, std::string& password) {
    int input[2];
    int output[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0)
        return std::nullopt;
    Fd inputOurs(input[0]), inputTheirs(input[1]);
    if (::pipe2(output, O_CLOEXEC) != 0)
        return std::nullopt;
    Fd outputOurs(output[0]), outputTheirs(output[1]);

    std::vector<std::string> arguments = options_.helper;
    arguments.push_back(service);
    std::vector<char*> argv;
    for (auto& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, inputTheirs.get(), STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, outputTheirs.get(), STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        Log::auth.error("login password helper did not start: " + std::string(::strerror(spawned)));
        return std::nullopt;
    }
    runningHelper_ = pid;
    inputTheirs.reset();
    outputTheirs.reset();

    // The whole password at once (it is far smaller than the socket's buffer), then end of file.
    std::size_t sent = 0;
    while (sent < password.size()) {
        const ssize_t n =
            ::send(inputOurs.get(), password.data() + sent, password.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    wipe(password);
    inputOurs.reset();

    // The answer counts once the helper has ended, not at the end of its output: a module may
    // leave a process behind (a daemon it started) that holds the output open for ever.
    const auto deadline = std::chrono::steady_clock::now() + options_.timeLimit;
    const Fd exited(openProcessDescriptor(pid));
    std::string answer;
    int status = 0;
    bool ended = false;
    bool outputOpen = true;
    while (!ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        // Without a process descriptor (an old kernel) the helper is looked at every 10 ms.
        pollfd watched[2] = {{outputOpen ? outputOurs.get() : -1, POLLIN, 0}, {exited.get(), POLLIN, 0}};
        const int wait = exited.get() >= 0 ? static_cast<int>(left.count())
                                           : static_cast<int>(std::min<long long>(left.count(), 10));
        if (::poll(watched, 2, wait) < 0 && errno != EINTR)
            break;
        if (outputOpen && watched[0].revents != 0)
            outputOpen = readAnswer(outputOurs.get(), answer) != ReadStep::done;
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        ended = reaped == pid || (reaped < 0 && errno == ECHILD);
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        Log::auth.error("login password check gave no answer within " +
                        std::to_string(options_.timeLimit.count()) + "ms; helper stopped");
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        runningHelper_ = 0;
        return std::nullopt;
    }
    // What the helper wrote before it ended is all in the pipe by now.
    ::fcntl(outputOurs.get(), F_SETFL, O_NONBLOCK);
    while (outputOpen && readAnswer(outputOurs.get(), answer) == ReadStep::more) {
    }
    runningHelper_ = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    char* end = nullptr;
    const long code = std::strtol(answer.c_str(), &end, 10);
    if (end == answer.c_str() || (*end != '\n' && *end != '\0'))
        return std::nullopt;
    return static_cast<int>(code);
}

bool PamLoginPasswordVerifier::verify(std::string& password) {
    const auto start = std::chrono::steady_clock::now();
    const auto chosen = service();
    std::optional<int> code;
    if (chosen)
        code = runHelper(*chosen, password);
    wipe(password);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (code && *code == 0) {
        Log::auth.info("login password accepted in " + secondsText(elapsed));
        return true;
    }
    Log::auth.info("login password rejected code=" + std::to_string(code.value_or(-1)) + " in " +
                   secondsText(elapsed));
    return false;
}

} // namespace tolva
