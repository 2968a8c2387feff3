// Atomic, durable file replacement.
#include "TolvaCore/AtomicFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tolva {

namespace fs = std::filesystem;

namespace {

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::optional<std::string> writeFileAtomically(const fs::path& file, std::string_view contents, mode_t mode) {
    const fs::path dir = file.parent_path();
    std::error_code error;
    if (!fs::exists(dir, error)) {
        fs::create_directories(dir, error);
        if (error)
            return "cannot create " + dir.string() + ": " + error.message();
        fs::permissions(dir, fs::perms::owner_all, error);
    }
    static std::atomic<unsigned> counter{0};
    const fs::path temporary = dir / ("." + file.filename().string() + ".tmp-" + std::to_string(::getpid()) +
                                      "-" + std::to_string(counter++));
    {
        Descriptor out{::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode)};
        if (out.fd < 0)
            return systemError("cannot create " + temporary.string());
        // The umask may have narrowed the mode; set exactly what was asked for.
        if (::fchmod(out.fd, mode) != 0 || !writeAll(out.fd, contents) || ::fsync(out.fd) != 0) {
            auto why = systemError("cannot write " + temporary.string());
            ::unlink(temporary.c_str());
            return why;
        }
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        auto why = systemError("cannot replace " + file.string());
        ::unlink(temporary.c_str());
        return why;
    }
    // The rename is durable only once the folder is synced.
    Descriptor folder{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd >= 0)
        ::fsync(folder.fd);
    return std::nullopt;
}

std::optional<std::string> readWholeFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return buffer.str();
}

FileLock::FileLock(const fs::path& lockFile) {
    std::error_code error;
    fs::create_directories(lockFile.parent_path(), error);
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return;
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0)
        ::close(fd_); // closing releases the lock
}

} // namespace tolva
