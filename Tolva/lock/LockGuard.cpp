// Starting, adopting and talking to the guard process.
#include "lock/LockGuard.h"

#include "log/Log.h"

#include <QFileInfo>
#include <QSocketNotifier>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

extern char** environ;

namespace tolva {

std::unique_ptr<LockGuard> LockGuard::start(const QString& guardBinary, const QString& programBinary) {
    if (const char* inherited = std::getenv("TOLVA_GUARD_FD")) {
        const int fd = std::atoi(inherited);
        ::unsetenv("TOLVA_GUARD_FD");
        if (fd > 2 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0) {
            Log::lock.info("started by the guard");
            return std::unique_ptr<LockGuard>(new LockGuard(fd, true, guardBinary, programBinary));
        }
    }
    auto fd = spawn(guardBinary, programBinary);
    if (!fd)
        return nullptr;
    return std::unique_ptr<LockGuard>(new LockGuard(*fd, false, guardBinary, programBinary));
}

std::optional<int> LockGuard::spawn(const QString& guardBinary, const QString& programBinary) {
    if (!QFileInfo(guardBinary).isExecutable()) {
        Log::lock.error("guard not started: " + guardBinary.toStdString() + " is missing");
        return std::nullopt;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return std::nullopt;
    // The guard's end becomes its descriptor 3 (dup2 clears close-on-exec there).
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
    const std::string guard = guardBinary.toStdString(), program = programBinary.toStdString();
    char fdFlag[] = "--fd", three[] = "3";
    char* argv[] = {const_cast<char*>(guard.c_str()), fdFlag, three, const_cast<char*>(program.c_str()),
                    nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, guard.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    if (rc != 0) {
        ::close(pair[0]);
        Log::lock.error("guard not started: error " + std::to_string(rc));
        return std::nullopt;
    }
    Log::lock.info("guard started pid=" + std::to_string(pid));
    return pair[0];
}

LockGuard::LockGuard(int socket, bool adopted, QString guardBinary, QString programBinary)
    : socket_(socket), adopted_(adopted), guardBinary_(std::move(guardBinary)),
      programBinary_(std::move(programBinary)),
      notifier_(std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readable(); });
}

LockGuard::~LockGuard() {
    notifier_.reset();
    ::close(socket_);
}

void LockGuard::send(const char* line) {
    [[maybe_unused]] auto ignored = ::send(socket_, line, std::strlen(line), MSG_NOSIGNAL);
}

void LockGuard::setLocked(bool locked) {
    if (told_ == locked)
        return;
    told_ = locked;
    send(locked ? "locked\n" : "unlocked\n");
}

void LockGuard::quit() {
    send("quit\n");
}

void LockGuard::readable() {
    char chunk[128];
    const ssize_t n = ::recv(socket_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        // The guard is gone: start another (a few times at most), and tell it where we are.
        notifier_.reset();
        ::close(socket_);
        socket_ = -1;
        Log::lock.error("guard ended");
        if (respawns_++ >= 3)
            return;
        if (auto fd = spawn(guardBinary_, programBinary_)) {
            socket_ = *fd;
            notifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
            QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readable(); });
            if (told_) {
                const bool locked = *told_;
                told_.reset();
                setLocked(locked);
            }
        }
        return;
    }
    if (n < 0)
        return;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
        const std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (line == "released" && onReleased)
            onReleased();
    }
}

} // namespace tolva
