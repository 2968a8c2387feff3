// Starting, adopting and talking to the guard process.
#include "lock/LockGuard.h"

#include "log/Log.h"

#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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
            return std::unique_ptr<LockGuard>(
                new LockGuard(fd, ::getppid(), true, guardBinary, programBinary));
        }
    }
    auto spawned = spawn(guardBinary, programBinary);
    if (!spawned)
        return nullptr;
    return std::unique_ptr<LockGuard>(
        new LockGuard(spawned->socket, spawned->pid, false, guardBinary, programBinary));
}

std::optional<LockGuard::Spawned> LockGuard::spawn(const QString& guardBinary, const QString& programBinary) {
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
    return Spawned{pair[0], pid};
}

LockGuard::LockGuard(int socket, pid_t pid, bool adopted, QString guardBinary, QString programBinary)
    : socket_(socket), pid_(pid), adopted_(adopted), guardBinary_(std::move(guardBinary)),
      programBinary_(std::move(programBinary)) {
    respawnTimer_.setSingleShot(true);
    QObject::connect(&respawnTimer_, &QTimer::timeout, [this] { respawn(); });
    wake_.setInterval(500);
    QObject::connect(&wake_, &QTimer::timeout, [this] {
        if (pid_ > 1)
            ::kill(pid_, SIGCONT);
    });
    watch();
}

LockGuard::~LockGuard() {
    notifier_.reset();
    if (socket_ >= 0)
        ::close(socket_);
}

void LockGuard::watch() {
    notifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readable(); });
}

void LockGuard::send(const char* line) {
    if (socket_ >= 0) [[maybe_unused]]
        auto ignored = ::send(socket_, line, std::strlen(line), MSG_NOSIGNAL);
}

void LockGuard::setCoverTint(std::optional<std::uint32_t> argb) {
    if (tintTold_ && tint_ == argb)
        return;
    tint_ = argb;
    tintTold_ = true;
    char line[32];
    if (argb)
        std::snprintf(line, sizeof line, "tint %08x\n", *argb);
    else
        std::snprintf(line, sizeof line, "tint none\n");
    send(line);
}

void LockGuard::setLocked(bool locked) {
    if (told_ == locked)
        return;
    told_ = locked;
    send(locked ? "locked\n" : "unlocked\n");
    if (locked)
        wake_.start();
    else
        wake_.stop();
}

void LockGuard::quit() {
    send("quit\n");
}

KeyboardHolder::Status LockGuard::hold() {
    if (socket_ < 0)
        return Status::unavailable;
    holdAsked_ = true;
    answer_.reset();
    send("hold\n");
    // The guard answers at once; one that does not (stopped by another process) is woken once,
    // and the program holds the keyboard itself if it still says nothing.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    bool woken = false;
    while (!answer_) {
        const int elapsed =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        if (elapsed >= holdAnswerMilliseconds)
            break;
        if (!woken && elapsed >= holdAnswerMilliseconds / 3 && pid_ > 1) {
            ::kill(pid_, SIGCONT);
            woken = true;
        }
        pollfd fd = {socket_, POLLIN, 0};
        if (::poll(&fd, 1, holdAnswerMilliseconds - elapsed) > 0 && !receive()) {
            ended();
            return Status::unavailable;
        }
    }
    if (!answer_) {
        Log::lock.error("guard did not answer; the program holds the keyboard itself");
        return Status::unavailable;
    }
    return *answer_;
}

void LockGuard::letGo() {
    if (!holdAsked_)
        return;
    holdAsked_ = false;
    send("let go\n");
}

void LockGuard::readable() {
    if (!receive())
        ended();
}

bool LockGuard::receive() {
    char chunk[512];
    const ssize_t n = ::recv(socket_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    if (n < 0)
        return true;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
        const std::string text = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        line(text);
    }
    if (buffer_.size() > 4096)
        buffer_.clear();
    return true;
}

void LockGuard::line(const std::string& text) {
    if (text == "released") {
        if (onReleased)
            onReleased();
    } else if (text == "covering") {
        if (onCovering)
            onCovering();
    } else if (text == "held" || text == "elsewhere") {
        const Status status = text == "held" ? Status::held : Status::heldElsewhere;
        if (!answer_) {
            answer_ = status; // the answer hold() waits for
        } else if (holdAsked_ && onStatusChanged) {
            answer_ = status;
            onStatusChanged(status);
        }
    } else if (text.rfind("key ", 0) == 0) {
        unsigned type = 0, keycode = 0, state = 0;
        if (std::sscanf(text.c_str() + 4, "%u %u %u", &type, &keycode, &state) == 3 &&
            (type == 2 || type == 3) && keycode < 256 && onKey && holdAsked_)
            onKey(std::uint8_t(type), std::uint8_t(keycode), std::uint16_t(state));
    }
}

void LockGuard::ended() {
    // The guard is gone: whatever it held for us went with it. Another is started (again and
    // again, more slowly while they keep ending) and told where we are.
    notifier_.reset();
    ::close(socket_);
    socket_ = -1;
    pid_ = -1;
    buffer_.clear();
    Log::lock.error("guard ended");
    const bool held = holdAsked_;
    holdAsked_ = false;
    answer_.reset();
    if (held && onStatusChanged)
        onStatusChanged(Status::unavailable);
    const int delay = respawns_ == 0 ? 0 : std::min(5000, 250 << std::min(respawns_, 5));
    ++respawns_;
    respawnTimer_.start(delay);
}

void LockGuard::respawn() {
    if (socket_ >= 0)
        return;
    auto spawned = spawn(guardBinary_, programBinary_);
    if (!spawned) {
        respawnTimer_.start(std::min(5000, 250 << std::min(respawns_++, 5)));
        return;
    }
    socket_ = spawned->socket;
    pid_ = spawned->pid;
    watch();
    tintTold_ = false;
    setCoverTint(tint_);
    if (told_) {
        const bool locked = *told_;
        told_.reset();
        setLocked(locked);
    }
}

} // namespace tolva
