// The durable preferences file, $XDG_CONFIG_HOME/tolva-screen/preferences.json (mode 0600).
// Every write replaces the file atomically and durably; a change made by another process is
// seen at the next read; a file that does not parse reads as empty and is moved aside.
#pragma once

#include "TolvaCore/DefaultsStore.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tolva {

class JsonFileDefaultsStore : public DefaultsStore {
public:
    // Settings take a few kilobytes; anything far larger is not a file this program wrote and
    // would cost memory and time at every read.
    static constexpr std::size_t maxFileSize = 1 << 20;

    // Something found about the file that the user should hear of (logged by the application).
    struct Notice {
        enum class Kind { movedAside, permissionsFixed };
        Kind kind;
        std::string message; // the log line
        friend bool operator==(const Notice&, const Notice&) = default;
    };

    explicit JsonFileDefaultsStore(std::filesystem::path file, bool standard = false);

    // $XDG_CONFIG_HOME/tolva-screen/preferences.json, falling back to ~/.config.
    static std::filesystem::path standardPath();
    // The process's standard store over standardPath(), created on first use.
    static std::shared_ptr<JsonFileDefaultsStore> standard();

    std::optional<DefaultsValue> object(std::string_view key) const override;
    void setObject(std::string_view key, std::optional<DefaultsValue> value) override;
    bool isStandard() const override { return standard_; }

    const std::filesystem::path& path() const { return file_; }
    // Where the last unreadable file was moved, if one was found.
    std::optional<std::filesystem::path> movedAside() const;
    // The notices found since the last call, each handed out once.
    std::vector<Notice> takeNotices();
    // Why the last write did not reach the disk (the value is still kept in memory).
    std::optional<std::string> lastWriteError() const;

    // The file's JSON text for the given values, and back (for tools and fuzzing).
    static std::string encode(const std::map<std::string, DefaultsValue, std::less<>>& values);
    static std::optional<std::map<std::string, DefaultsValue, std::less<>>> decode(std::string_view text);

private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        long long modifiedNs = 0;
        bool exists = false;
        friend bool operator==(const Stamp&, const Stamp&) = default;
    };

    void refreshLocked() const;
    void fixPermissionsLocked() const;
    void writeLocked();
    Stamp stampOfFile() const;

    std::filesystem::path file_;
    bool standard_;
    mutable std::mutex mutex_;
    mutable std::map<std::string, DefaultsValue, std::less<>> values_;
    mutable std::optional<Stamp> loaded_;
    mutable std::optional<std::filesystem::path> movedAside_;
    mutable std::vector<Notice> notices_;
    std::optional<std::string> lastWriteError_;
};

} // namespace tolva
