// Keychain items in a file only the user can read, for sessions without a Secret Service:
// $XDG_DATA_HOME/tolva-screen/pin.json. The mode (0600) and owner are checked on every read;
// a file that others can read or write is refused, never silently used. Writing a new item over
// a damaged, foreign or insecure file moves that file aside (pin.json.corrupt-<time>) and starts
// a fresh one, so a new PIN can always be set.
#pragma once

#include "TolvaCore/KeychainItem.h"

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>

namespace tolva {

class FileKeychainBackend : public KeychainBackend {
public:
    // Statuses of this backend (errno values of the underlying failure).
    static constexpr std::int32_t insecureFile = 13; // EACCES: readable or writable by others
    static constexpr std::int32_t ioFailure = 5;     // EIO
    static constexpr std::int32_t corruptFile = 74;  // EBADMSG: not a file this backend wrote
    // One PIN record takes a few hundred bytes; a larger file is not ours.
    static constexpr std::size_t maxFileSize = 64 * 1024;

    explicit FileKeychainBackend(std::filesystem::path file);
    // $XDG_DATA_HOME/tolva-screen/pin.json, falling back to ~/.local/share.
    static std::filesystem::path standardPath();

    ReadResult copyMatching(const Query& query) override;
    std::int32_t update(const Query& query, const Bytes& data) override;
    std::int32_t add(const Query& query, const Bytes& data, std::string_view label) override;
    std::int32_t remove(const Query& query) override;
    std::optional<std::string> errorMessage(std::int32_t status) const override;
    std::string name() const override { return "file"; }

    const std::filesystem::path& path() const { return file_; }
    // Where the last unusable file was moved before a write replaced it, if that happened.
    std::optional<std::filesystem::path> movedAside() const;
    // Called (on the writing thread) with the reason and the new name when a write moves an
    // unusable file aside.
    std::function<void(const std::string& why, const std::filesystem::path& aside)> onMovedAside;

private:
    struct Item {
        std::string label;
        Bytes data;
    };
    using Items = std::map<std::pair<std::string, std::string>, Item>;

    // Reads and checks the file; a status other than success means it cannot be used.
    std::int32_t loadLocked(Items& items);
    // As loadLocked, but a file that can never be used is moved aside and reads as empty.
    std::int32_t loadForWriteLocked(Items& items);
    std::int32_t storeLocked(const Items& items);
    std::int32_t failLocked(std::int32_t status, std::string message);

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    KeychainStatusMessages messages_;
    std::optional<std::filesystem::path> movedAside_;
};

} // namespace tolva
