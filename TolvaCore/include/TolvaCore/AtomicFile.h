// Durable whole-file replacement: write a temporary file beside the target, fsync it, rename it
// over the target and fsync the folder, so readers see either the old or the new file whole.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace tolva {

// Creates missing folders (mode 0700). Returns why it failed, or nothing on success.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& file, std::string_view contents,
                                               mode_t mode = 0600);

// Creates every missing folder of `dir` with mode 0700, whatever the umask. Returns why it
// failed, or nothing on success (also when all of it already existed).
std::optional<std::string> createPrivateDirectories(const std::filesystem::path& dir);

// Renames a file that cannot be used to "<name>.corrupt-<UTC time>" beside it (with "-2", "-3"…
// when that exists), so it is kept for the user and never overwritten. The new path, or nothing
// when the rename failed.
std::optional<std::filesystem::path> moveFileAside(const std::filesystem::path& file);

// A file read for a decoder, with the checks that keep hostile files out: opened without
// blocking (O_NONBLOCK, so a FIFO or a device cannot hang the caller), only a regular file
// (checked on the open descriptor), at most `maxBytes`.
struct BoundedRead {
    enum class Status { ok, missing, notRegular, tooLarge, unreadable };
    Status status = Status::ok;
    std::string contents; // when ok
    std::string error;    // otherwise: what went wrong, for a log line
};
BoundedRead readRegularFile(const std::filesystem::path& file, std::size_t maxBytes);

// The whole contents, or nothing when the file cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& file);

// An exclusive advisory lock (flock) on a lock file, held for the object's lifetime, so
// read-modify-write cycles of several processes do not lose each other's changes.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& lockFile);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool isHeld() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

} // namespace tolva
