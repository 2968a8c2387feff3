// Spawning, reading and reaping helper processes.
#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace tolva::test {

ChildProcess::ChildProcess(std::vector<std::string> argv, bool mergeStderr) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    if (mergeStderr)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    terminate();
    if (out_ >= 0)
        ::close(out_);
}

void ChildProcess::terminate() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        ::usleep(5000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void ChildProcess::signal(int number) {
    if (pid_ > 0)
        ::kill(pid_, number);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!isRunning())
            return exitStatus_;
        fill(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

bool ChildProcess::isRunning() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

bool ChildProcess::fill(std::chrono::milliseconds wait) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0)
        return false;
    char chunk[4096];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0)
        return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout, bool pump) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return line;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        if (pump)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        fill(std::chrono::milliseconds(5));
    }
}

std::vector<std::string> ChildProcess::drainLines() {
    while (fill(std::chrono::milliseconds(0))) {
    }
    std::vector<std::string> lines;
    while (auto line = readLine(std::chrono::milliseconds(0), false))
        lines.push_back(*line);
    return lines;
}

bool ChildProcess::waitFor(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        auto line = readLine(left);
        if (line && line->rfind(prefix, 0) == 0)
            return true;
    }
    return false;
}

int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    std::vector<std::string> copy = argv;
    for (auto& a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void pumpEvents(std::chrono::milliseconds duration) {
    waitUntil([] { return false; }, duration);
}

} // namespace tolva::test
