// What a restarted program needs to take a lock back: that the overlay was on, and the wrong-PIN
// count with the end of its wait (on the boot-time clock, so a restart does not shorten it).
// Kept only while locked, mode 0600, in a folder of its own (mode 0700):
// $XDG_RUNTIME_DIR/tolva-screen/lock-state.json, or $XDG_STATE_HOME/tolva-screen/lock-state.json
// (default ~/.local/state/…) where the session has no runtime folder.
//
// The state fails closed: a state that is there but cannot be trusted (not a private regular
// file of this user in a private folder, too large, not what this program writes) takes the
// lock back as surely as a good one, and so does a missing state while the guard process says
// that the program it restarted was locked.
#pragma once

#include "TolvaCore/ContinuousClock.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tolva {

struct PersistedLock {
    std::int64_t failures = 0;
    std::optional<Instant> lockedUntil;
    friend bool operator==(const PersistedLock&, const PersistedLock&) = default;
};

class LockStateStore {
public:
    // The largest state file read; the program writes well under 100 bytes.
    static constexpr std::size_t maxFileBytes = 4096;
    // The highest wrong-PIN count taken from a file; more says nothing the backoff needs.
    static constexpr std::int64_t maxFailures = 1000;

    explicit LockStateStore(std::filesystem::path file);
    // In $XDG_RUNTIME_DIR, or without one in $XDG_STATE_HOME (see above).
    static std::filesystem::path standardFile();

    struct Loaded {
        enum class Status { missing, ok, damaged };
        Status status = Status::missing;
        PersistedLock state; // ok: as read, counts clamped
        std::string problem; // damaged: what is wrong, for the log
    };
    // Reads the file without following a link and without blocking on a pipe, and checks the
    // folder and the file on their open descriptors.
    Loaded load() const;

    // The state a starting program takes the lock back with, or nothing when there is no lock
    // to take back. `guardSaysLocked`: started again by the guard after a death while locked.
    // A damaged or (with the guard saying locked) missing state gives a lock whose wrong-PIN
    // count is unknown: counted as the free attempts used up, so the next wrong PIN waits.
    std::optional<PersistedLock> lockToResume(bool guardSaysLocked) const;

    // Writes the state atomically; a folder that is not a private folder of this user (a file,
    // a link, someone else's) is moved aside first, a folder others may enter is closed to them.
    void save(const PersistedLock& state);
    void remove();
    const std::filesystem::path& file() const { return file_; }

private:
    std::optional<std::string> preparePrivateFolder() const;

    std::filesystem::path file_;
};

} // namespace tolva
