// Atomic, durable file replacement.
#include "TolvaCore/AtomicFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
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

std::optional<std::string> createPrivateDirectories(const fs::path& dir) {
    if (dir.empty())
        return std::nullopt;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? std::nullopt : std::optional(dir.string() + " is not a folder");
    if (auto parent = dir.parent_path(); parent != dir)
        if (auto why = createPrivateDirectories(parent))
            return why;
    // 0700 can only be narrowed by the umask, never widened (not even by a umask of 0).
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return systemError("cannot create " + dir.string());
    return std::nullopt;
}

std::optional<fs::path> moveFileAside(const fs::path& file) {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    fs::path aside = file;
    aside += std::string(".corrupt-") + stamp;
    std::error_code error;
    for (int n = 2; fs::exists(fs::symlink_status(aside, error)); ++n) {
        aside = file;
        aside += std::string(".corrupt-") + stamp + "-" + std::to_string(n);
    }
    if (::rename(file.c_str(), aside.c_str()) != 0)
        return std::nullopt;
    return aside;
}

std::optional<std::string> writeFileAtomically(const fs::path& file, std::string_view contents, mode_t mode) {
    const fs::path dir = file.parent_path();
    if (auto why = createPrivateDirectories(dir))
        return why;
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

BoundedRead readRegularFile(const fs::path& file, std::size_t maxBytes) {
    using Status = BoundedRead::Status;
    Descriptor in{::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (in.fd < 0)
        return {errno == ENOENT ? Status::missing : Status::unreadable, {}, std::strerror(errno)};
    struct stat st {};
    if (::fstat(in.fd, &st) != 0)
        return {Status::unreadable, {}, std::strerror(errno)};
    if (!S_ISREG(st.st_mode))
        return {Status::notRegular, {}, "not a regular file"};
    const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes)
        return {Status::tooLarge, {}, tooLarge};
    BoundedRead result;
    // One byte more than fstat said, so a file that grew since is noticed.
    result.contents.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == result.contents.size()) {
            if (used > maxBytes)
                return {Status::tooLarge, {}, tooLarge};
            result.contents.resize(std::min(maxBytes + 1, used * 2));
        }
        ssize_t n = ::read(in.fd, result.contents.data() + used, result.contents.size() - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {Status::unreadable, {}, std::strerror(errno)};
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    if (used > maxBytes)
        return {Status::tooLarge, {}, tooLarge};
    result.contents.resize(used);
    return result;
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
    createPrivateDirectories(lockFile.parent_path());
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
