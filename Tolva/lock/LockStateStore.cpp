// Reading and writing the lock state file.
#include "lock/LockStateStore.h"

#include "TolvaCore/AtomicFile.h"
#include "TolvaCore/UnlockBackoff.h"
#include "TolvaCore/XdgPaths.h"
#include "log/Log.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolva {

namespace {

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

// Why `info` is not something only this user can reach, or nothing.
std::optional<std::string> notPrivate(const struct stat& info, const char* what) {
    if (info.st_uid != ::geteuid())
        return std::string(what) + " belongs to another user";
    if (info.st_mode & 077) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", unsigned(info.st_mode & 0777));
        return std::string(what) + " is open to others (mode " + mode + ")";
    }
    return std::nullopt;
}

std::int64_t clampedCount(const nlohmann::json& value) {
    if (value.is_number_unsigned())
        return std::min<std::uint64_t>(value.get<std::uint64_t>(), LockStateStore::maxFailures);
    if (value.is_number_integer())
        return std::clamp<std::int64_t>(value.get<std::int64_t>(), 0, LockStateStore::maxFailures);
    throw std::invalid_argument("not a count");
}

LockStateStore::Loaded damaged(std::string problem) {
    return {LockStateStore::Loaded::Status::damaged, {}, std::move(problem)};
}

} // namespace

LockStateStore::LockStateStore(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path LockStateStore::standardFile() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && std::filesystem::path(runtime).is_absolute())
        return std::filesystem::path(runtime) / "tolva-screen" / "lock-state.json";
    return xdgStateHome() / "tolva-screen" / "lock-state.json";
}

LockStateStore::Loaded LockStateStore::load() const {
    using Status = Loaded::Status;
    const std::filesystem::path folder = file_.parent_path();
    Descriptor dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    if (dir.fd < 0) {
        if (errno == ENOENT)
            return {};
        if (errno == ENOTDIR || errno == ELOOP)
            return damaged("the folder " + folder.string() + " is not a folder");
        return damaged("the folder " + folder.string() + " cannot be opened: " + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(dir.fd, &info) != 0)
        return damaged("the folder " + folder.string() + " cannot be examined: " + std::strerror(errno));
    if (auto why = notPrivate(info, "the folder"))
        return damaged(*why);

    Descriptor in{::openat(dir.fd, file_.filename().c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (in.fd < 0) {
        if (errno == ENOENT)
            return {};
        if (errno == ELOOP)
            return damaged("the file is a symbolic link");
        return damaged(std::string("the file cannot be opened: ") + std::strerror(errno));
    }
    if (::fstat(in.fd, &info) != 0)
        return damaged(std::string("the file cannot be examined: ") + std::strerror(errno));
    if (!S_ISREG(info.st_mode))
        return damaged("the file is not a regular file");
    if (auto why = notPrivate(info, "the file"))
        return damaged(*why);
    if (static_cast<std::uintmax_t>(info.st_size) > maxFileBytes)
        return damaged("the file is larger than " + std::to_string(maxFileBytes) + " bytes");
    std::string text(maxFileBytes + 1, '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        const ssize_t n = ::read(in.fd, text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return damaged(std::string("the file cannot be read: ") + std::strerror(errno));
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    if (used > maxFileBytes)
        return damaged("the file is larger than " + std::to_string(maxFileBytes) + " bytes");
    text.resize(used);

    try {
        const auto json = nlohmann::json::parse(text);
        if (!json.is_object())
            return damaged("the file is not a lock state");
        Loaded loaded{Status::ok, {}, {}};
        loaded.state.failures = clampedCount(json.at("failures"));
        if (json.contains("lockedUntil")) {
            const auto& until = json.at("lockedUntil");
            // JSON's non-negative integers come as unsigned ones; past the clock's end is its end.
            if (until.is_number_unsigned())
                loaded.state.lockedUntil = Instant(std::chrono::nanoseconds(static_cast<std::int64_t>(
                    std::min<std::uint64_t>(until.get<std::uint64_t>(), INT64_MAX))));
            else if (until.is_number_integer())
                loaded.state.lockedUntil = Instant(std::chrono::nanoseconds(until.get<std::int64_t>()));
            else if (!until.is_null())
                return damaged("the file is not a lock state");
        }
        return loaded;
    } catch (const std::exception&) {
        return damaged("the file is not a lock state");
    }
}

std::optional<PersistedLock> LockStateStore::lockToResume(bool guardSaysLocked) const {
    const Loaded loaded = load();
    // Not knowing how many wrong PINs went before must not give new free attempts.
    const PersistedLock unknownCount{UnlockBackoff().policy.freeAttempts, std::nullopt};
    switch (loaded.status) {
    case Loaded::Status::ok:
        return loaded.state;
    case Loaded::Status::damaged:
        Log::lock.error("lock state damaged (" + loaded.problem + "): " + file_.string() +
                        "; the lock is taken back");
        return unknownCount;
    case Loaded::Status::missing:
        if (!guardSaysLocked)
            return std::nullopt;
        Log::lock.error("lock state missing while the guard says locked: " + file_.string() +
                        "; the lock is taken back");
        return unknownCount;
    }
    return unknownCount;
}

std::optional<std::string> LockStateStore::preparePrivateFolder() const {
    const std::filesystem::path folder = file_.parent_path();
    struct stat info {};
    if (::lstat(folder.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()) {
            if ((info.st_mode & 077) && ::chmod(folder.c_str(), 0700) != 0)
                return "cannot close " + folder.string() + " to others: " + std::strerror(errno);
            return std::nullopt;
        }
        const auto aside = moveFileAside(folder);
        if (!aside)
            return folder.string() + " is not a private folder and cannot be moved aside";
        Log::lock.error("lock state folder moved aside: " + folder.string() + " -> " + aside->string());
    }
    return createPrivateDirectories(folder);
}

void LockStateStore::save(const PersistedLock& state) {
    nlohmann::json json{{"failures", state.failures}};
    if (state.lockedUntil)
        json["lockedUntil"] = std::int64_t(state.lockedUntil->time_since_epoch().count());
    auto why = preparePrivateFolder();
    if (!why)
        why = writeFileAtomically(file_, json.dump(), 0600);
    if (why)
        Log::lock.error("lock state not saved: " + *why);
}

void LockStateStore::remove() {
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
}

} // namespace tolva
