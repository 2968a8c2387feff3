// The preferences file: typed JSON, atomic and durable replacement, corrupt files kept aside.
#include "TolvaCore/JsonFileDefaultsStore.h"

#include "TolvaCore/AtomicFile.h"
#include "TolvaCore/XdgPaths.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace tolva {

namespace fs = std::filesystem;

namespace {

// Data is written as {"$data": "<base64>"} so it can never be mistaken for a string.
constexpr const char* dataMember = "$data";

} // namespace

JsonFileDefaultsStore::JsonFileDefaultsStore(fs::path file, bool standard)
    : file_(std::move(file)), standard_(standard) {}

fs::path JsonFileDefaultsStore::standardPath() {
    return xdgConfigHome() / "tolva-screen" / "preferences.json";
}

std::shared_ptr<JsonFileDefaultsStore> JsonFileDefaultsStore::standard() {
    static std::shared_ptr<JsonFileDefaultsStore> store =
        std::make_shared<JsonFileDefaultsStore>(standardPath(), true);
    return store;
}

std::string JsonFileDefaultsStore::encode(const std::map<std::string, DefaultsValue, std::less<>>& values) {
    nlohmann::json json = nlohmann::json::object();
    for (const auto& entry : values) {
        // A plain reference: structured bindings cannot be captured by every compiler we build with.
        const std::string& key = entry.first;
        const DefaultsValue& value = entry.second;
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, Bytes>)
                    json[key] = {{dataMember, base64Encode(v)}};
                else if constexpr (std::is_same_v<T, double>)
                    json[key] = std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr);
                else
                    json[key] = v;
            },
            value);
    }
    return json.dump(2) + "\n";
}

std::optional<std::map<std::string, DefaultsValue, std::less<>>>
JsonFileDefaultsStore::decode(std::string_view text) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return std::nullopt;
    std::map<std::string, DefaultsValue, std::less<>> values;
    for (auto& [key, v] : json.items()) {
        if (v.is_boolean()) {
            values.emplace(key, v.get<bool>());
        } else if (v.is_number_integer()) {
            if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
                values.emplace(key, static_cast<double>(v.get<std::uint64_t>()));
            else
                values.emplace(key, v.get<std::int64_t>());
        } else if (v.is_number_float()) {
            values.emplace(key, v.get<double>());
        } else if (v.is_string()) {
            values.emplace(key, v.get<std::string>());
        } else if (v.is_array() && std::all_of(v.begin(), v.end(), [](auto& e) { return e.is_string(); })) {
            values.emplace(key, v.get<std::vector<std::string>>());
        } else if (v.is_object() && v.size() == 1 && v.contains(dataMember) && v[dataMember].is_string()) {
            if (auto bytes = base64Decode(v[dataMember].get<std::string>()))
                values.emplace(key, std::move(*bytes));
        }
        // Any other shape (null, nested objects, mixed arrays) reads as absent.
    }
    return values;
}

JsonFileDefaultsStore::Stamp JsonFileDefaultsStore::stampOfFile() const {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0)
        return {};
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec, true};
}

void JsonFileDefaultsStore::refreshLocked() const {
    Stamp stamp = stampOfFile();
    if (loaded_ && *loaded_ == stamp)
        return;
    loaded_ = stamp;
    if (!stamp.exists) {
        values_.clear();
        return;
    }
    auto read = readRegularFile(file_, maxFileSize);
    using Status = BoundedRead::Status;
    if (read.status == Status::missing) {
        values_.clear();
        loaded_ = stampOfFile();
        return;
    }
    if (read.status == Status::unreadable) {
        // Unreadable for now (permissions, a race with a replacement): keep what we had.
        loaded_.reset();
        return;
    }
    std::string why = read.error;
    if (read.status == Status::ok) {
        fixPermissionsLocked();
        if (auto decoded = decode(read.contents)) {
            values_ = std::move(*decoded);
            return;
        }
        why = "not valid JSON";
    }
    // Not a file we understand: keep it for the user under a new name and start empty, so the
    // next write can never silently destroy it.
    auto aside = moveFileAside(file_);
    if (aside)
        movedAside_ = aside;
    notices_.push_back({Notice::Kind::movedAside,
                        "preferences file " + file_.string() + " could not be read (" + why + "); " +
                            (aside ? "moved aside to " + aside->string() : std::string("left in place")) +
                            "; every setting is back to its default"});
    values_.clear();
    loaded_ = stampOfFile();
}

void JsonFileDefaultsStore::fixPermissionsLocked() const {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0 || (st.st_mode & 022) == 0 || st.st_uid != ::geteuid())
        return;
    // Anyone who can write this file can change how the overlay locks: only its owner may.
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (::chmod(file_.c_str(), 0600) == 0)
        notices_.push_back({Notice::Kind::permissionsFixed, "warning: preferences file " + file_.string() +
                                                                " was writable by other users (mode " + mode +
                                                                "); set to 0600"});
}

std::vector<JsonFileDefaultsStore::Notice> JsonFileDefaultsStore::takeNotices() {
    std::lock_guard lock(mutex_);
    refreshLocked();
    return std::exchange(notices_, {});
}

void JsonFileDefaultsStore::writeLocked() {
    lastWriteError_ = writeFileAtomically(file_, encode(values_), 0600);
    if (!lastWriteError_)
        loaded_ = stampOfFile();
}

std::optional<DefaultsValue> JsonFileDefaultsStore::object(std::string_view key) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    auto it = values_.find(key);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

void JsonFileDefaultsStore::setObject(std::string_view key, std::optional<DefaultsValue> value) {
    std::lock_guard lock(mutex_);
    // Writers in other processes take the same lock, so no read-modify-write loses theirs.
    FileLock fileLock(file_.parent_path() / ("." + file_.filename().string() + ".lock"));
    refreshLocked();
    if (value)
        values_.insert_or_assign(std::string(key), std::move(*value));
    else if (auto it = values_.find(key); it != values_.end())
        values_.erase(it);
    writeLocked();
}

std::optional<fs::path> JsonFileDefaultsStore::movedAside() const {
    std::lock_guard lock(mutex_);
    return movedAside_;
}

std::optional<std::string> JsonFileDefaultsStore::lastWriteError() const {
    std::lock_guard lock(mutex_);
    return lastWriteError_;
}

} // namespace tolva
