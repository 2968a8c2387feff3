// Reading and writing the lock state file.
#include "lock/LockStateStore.h"

#include "TolvaCore/AtomicFile.h"
#include "log/Log.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sys/stat.h>

namespace tolva {

LockStateStore::LockStateStore(std::filesystem::path file) : file_(std::move(file)) {}

std::optional<std::filesystem::path> LockStateStore::standardFile() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime)
        return std::nullopt;
    return std::filesystem::path(runtime) / "tolva-screen" / "lock-state.json";
}

std::optional<PersistedLock> LockStateStore::load() const {
    struct stat info {};
    if (::lstat(file_.c_str(), &info) != 0)
        return std::nullopt;
    // Only a small regular file of ours that nobody else can write counts.
    if (!S_ISREG(info.st_mode) || info.st_uid != ::getuid() || (info.st_mode & 0022) || info.st_size > 4096) {
        Log::lock.error("lock state ignored: " + file_.string() + " is not a private file of this user");
        return std::nullopt;
    }
    auto text = readWholeFile(file_);
    if (!text)
        return std::nullopt;
    try {
        const auto json = nlohmann::json::parse(*text);
        PersistedLock state;
        state.failures = std::clamp<std::int64_t>(json.at("failures").get<std::int64_t>(), 0, 1000);
        if (json.contains("lockedUntil") && json.at("lockedUntil").is_number_integer())
            state.lockedUntil = Instant(std::chrono::nanoseconds(json.at("lockedUntil").get<std::int64_t>()));
        state.resumeAttempts = std::clamp<std::int64_t>(json.value("resumeAttempts", 0), 0, 1000);
        return state;
    } catch (const std::exception&) {
        Log::lock.error("lock state unreadable: " + file_.string());
        return PersistedLock{}; // the overlay was on: that much the file's presence tells
    }
}

void LockStateStore::save(const PersistedLock& state) {
    nlohmann::json json{{"failures", state.failures}, {"resumeAttempts", state.resumeAttempts}};
    if (state.lockedUntil)
        json["lockedUntil"] = std::int64_t(state.lockedUntil->time_since_epoch().count());
    if (auto why = writeFileAtomically(file_, json.dump(), 0600))
        Log::lock.error("lock state not saved: " + *why);
}

void LockStateStore::remove() {
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
}

} // namespace tolva
