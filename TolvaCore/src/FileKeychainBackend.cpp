// The file-backed keychain: one JSON file of items, mode 0600, replaced atomically.
#include "TolvaCore/FileKeychainBackend.h"

#include "TolvaCore/AtomicFile.h"
#include "TolvaCore/XdgPaths.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tolva {

namespace fs = std::filesystem;

FileKeychainBackend::FileKeychainBackend(fs::path file) : file_(std::move(file)) {}

fs::path FileKeychainBackend::standardPath() {
    return xdgDataHome() / "tolva-screen" / "pin.json";
}

std::int32_t FileKeychainBackend::failLocked(std::int32_t status, std::string message) {
    messages_.remember(status, std::move(message));
    return status;
}

std::int32_t FileKeychainBackend::loadLocked(Items& items) {
    items.clear();
    struct stat st {};
    if (::lstat(file_.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return success;
        return failLocked(ioFailure, file_.string() + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode))
        return failLocked(insecureFile, file_.string() + " is not a regular file; refusing to use it");
    if (st.st_uid != ::geteuid())
        return failLocked(insecureFile, file_.string() + " belongs to another user; refusing to use it");
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return failLocked(insecureFile, file_.string() + " can be read or written by other users (mode " +
                                            mode + "); refusing to use it. Fix it with: chmod 600 " +
                                            file_.string());
    }
    // Checked again on the open descriptor: the file may have been swapped since lstat.
    auto read = readRegularFile(file_, maxFileSize);
    if (read.status == BoundedRead::Status::notRegular || read.status == BoundedRead::Status::tooLarge)
        return failLocked(corruptFile,
                          file_.string() + " is " + read.error + "; not a PIN file written by Tolva Screen");
    if (read.status != BoundedRead::Status::ok)
        return failLocked(ioFailure, file_.string() + ": cannot be read: " + read.error);
    auto json = nlohmann::json::parse(read.contents, nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains("items") || !json["items"].is_array())
        return failLocked(corruptFile, file_.string() + " is not a PIN file written by Tolva Screen");
    for (const auto& entry : json["items"]) {
        auto field = [&](const char* name) -> std::optional<std::string> {
            if (!entry.is_object() || !entry.contains(name) || !entry[name].is_string())
                return std::nullopt;
            return entry[name].get<std::string>();
        };
        auto service = field("service"), account = field("account"), label = field("label"),
             data = field("data");
        auto bytes = data ? base64Decode(*data) : std::nullopt;
        if (!service || !account || !label || !bytes)
            return failLocked(corruptFile, file_.string() + " holds an item it cannot read");
        items[{*service, *account}] = Item{*label, std::move(*bytes)};
    }
    return success;
}

std::int32_t FileKeychainBackend::loadForWriteLocked(Items& items) {
    std::int32_t status = loadLocked(items);
    if (status != corruptFile && status != insecureFile)
        return status;
    // Reading it is refused for good reason, but keeping it would stop the user from ever
    // setting a PIN again: keep it aside for inspection and start afresh.
    auto aside = moveFileAside(file_);
    if (!aside)
        return failLocked(
            ioFailure, file_.string() + " cannot be used and cannot be moved aside: " + std::strerror(errno));
    struct stat st {};
    if (::lstat(aside->c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
        ::chmod(aside->c_str(), 0600); // whatever it holds, nobody else reads it from now on
    movedAside_ = *aside;
    items.clear();
    if (onMovedAside)
        onMovedAside(messages_.messageFor(status).value_or("unusable"), *aside);
    return success;
}

std::optional<fs::path> FileKeychainBackend::movedAside() const {
    std::lock_guard lock(mutex_);
    return movedAside_;
}

std::int32_t FileKeychainBackend::storeLocked(const Items& items) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [key, item] : items)
        list.push_back({{"service", key.first},
                        {"account", key.second},
                        {"label", item.label},
                        {"data", base64Encode(item.data)}});
    if (auto error = writeFileAtomically(file_, nlohmann::json{{"items", list}}.dump(2) + "\n", 0600))
        return failLocked(ioFailure, *error);
    return success;
}

KeychainBackend::ReadResult FileKeychainBackend::copyMatching(const Query& query) {
    std::lock_guard lock(mutex_);
    Items items;
    if (auto status = loadLocked(items); status != success)
        return {status, std::nullopt};
    auto it = items.find({query.service, query.account});
    if (it == items.end())
        return {itemNotFound, std::nullopt};
    return {success, it->second.data};
}

std::int32_t FileKeychainBackend::update(const Query& query, const Bytes& data) {
    std::lock_guard lock(mutex_);
    FileLock fileLock(file_.parent_path() / ("." + file_.filename().string() + ".lock"));
    Items items;
    if (auto status = loadForWriteLocked(items); status != success)
        return status;
    auto it = items.find({query.service, query.account});
    if (it == items.end())
        return itemNotFound;
    it->second.data = data; // the label stays what it was at creation
    return storeLocked(items);
}

std::int32_t FileKeychainBackend::add(const Query& query, const Bytes& data, std::string_view label) {
    std::lock_guard lock(mutex_);
    FileLock fileLock(file_.parent_path() / ("." + file_.filename().string() + ".lock"));
    Items items;
    if (auto status = loadForWriteLocked(items); status != success)
        return status;
    items[{query.service, query.account}] = Item{std::string(label), data};
    return storeLocked(items);
}

std::int32_t FileKeychainBackend::remove(const Query& query) {
    std::lock_guard lock(mutex_);
    FileLock fileLock(file_.parent_path() / ("." + file_.filename().string() + ".lock"));
    Items items;
    if (auto status = loadLocked(items); status != success)
        return status;
    if (items.erase({query.service, query.account}) == 0)
        return itemNotFound;
    return storeLocked(items);
}

std::optional<std::string> FileKeychainBackend::errorMessage(std::int32_t status) const {
    return messages_.messageFor(status);
}

} // namespace tolva
