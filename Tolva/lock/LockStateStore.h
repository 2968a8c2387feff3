// What a restarted program needs to take a lock back: that the overlay was on, and the wrong-PIN
// count with the end of its wait (on the boot-time clock, so a restart does not shorten it).
// Kept in $XDG_RUNTIME_DIR/tolva-screen/lock-state.json, mode 0600, only while locked.
#pragma once

#include "TolvaCore/ContinuousClock.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace tolva {

struct PersistedLock {
    std::int64_t failures = 0;
    std::optional<Instant> lockedUntil;
    // Starts that found this state and have not yet brought the overlay back up: after a few,
    // the lock is not resumed again, so a program that keeps crashing cannot shut the user out.
    std::int64_t resumeAttempts = 0;
    friend bool operator==(const PersistedLock&, const PersistedLock&) = default;
};

class LockStateStore {
public:
    static constexpr std::int64_t maxResumeAttempts = 3;

    explicit LockStateStore(std::filesystem::path file);
    // In $XDG_RUNTIME_DIR (or nothing when there is none: then nothing is kept).
    static std::optional<std::filesystem::path> standardFile();

    std::optional<PersistedLock> load() const;
    void save(const PersistedLock& state);
    void remove();
    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
};

} // namespace tolva
