#include "guard/GuardProgram.h"

#include "log/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tolva::guard {

std::optional<Started> startProgram(std::vector<std::string> program) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        Log::lock.error("guard: cannot make a socket for the program");
        return std::nullopt;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pair[0]);
        const int fd = ::fcntl(pair[1], F_DUPFD, 10); // without close-on-exec
        ::setenv("TOLVA_GUARD_FD", std::to_string(fd).c_str(), 1);
        ::setenv("TOLVA_GUARD_LOCKED", "1", 1);
        std::vector<char*> argv;
        for (auto& argument : program)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    ::close(pair[1]);
    if (pid < 0) {
        ::close(pair[0]);
        Log::lock.error("guard: cannot start the program again");
        return std::nullopt;
    }
    Log::lock.info("guard: program started again pid=" + std::to_string(pid));
    return Started{pair[0], pid};
}

std::chrono::milliseconds restartDelay(int restarts) {
    return std::chrono::milliseconds(restarts == 0 ? 0 : std::min(30000, 500 << std::min(restarts, 6)));
}

bool readLines(int socket, std::string& buffer, const std::function<void(const std::string&)>& line) {
    char chunk[256];
    const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
    if (n <= 0)
        return n < 0 && errno == EINTR;
    buffer.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
        const std::string text = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        line(text);
    }
    if (buffer.size() > 4096)
        buffer.clear();
    return true;
}

} // namespace tolva::guard
