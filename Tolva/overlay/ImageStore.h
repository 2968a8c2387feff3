// The user's imported overlay image, kept in $XDG_DATA_HOME/Tolva as overlay-<UUID>.<ext>.
#pragma once

#include <QImage>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

namespace tolva {

namespace ImageStore {

// What the overlay accepts: far more than any display needs, far less than what would exhaust
// memory or time while the lock waits for its content.
inline constexpr std::size_t maxFileSize = 64u << 20;
inline constexpr int maxSide = 16384;
inline constexpr long long maxPixels = 8192LL * 8192;

std::filesystem::path directory();
// Copies the picked file in and answers the stored name; throws std::filesystem::filesystem_error.
std::string importImage(const std::filesystem::path& source);
// Deletes a stored file; never reports failure.
void remove(const std::string& name);

struct Loaded {
    QImage image;      // null when the file was refused or could not be decoded
    std::string error; // why, when null
};
// The stored image of that name (a plain file name inside directory(), nothing else), read
// without blocking from a regular file only, within the size and pixel limits. Blocking work:
// call it off the main thread, or through loadInBackground.
Loaded load(const std::string& name);
// What tells one stored file from another version of it: its name, size and modification time
// ("" for a name that is not a regular file of the folder). Cheap: one stat.
std::string identity(const std::string& name);
// load() on a worker thread; `done` runs on the main thread.
void loadInBackground(const std::string& name, std::function<void(Loaded)> done);

} // namespace ImageStore

} // namespace tolva
