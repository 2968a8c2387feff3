// The user's imported overlay image, kept in $XDG_DATA_HOME/Tolva as overlay-<UUID>.<ext>.
#pragma once

#include <filesystem>
#include <string>

namespace tolva {

namespace ImageStore {

std::filesystem::path directory();
// Copies the picked file in and answers the stored name; throws std::filesystem::filesystem_error.
std::string importImage(const std::filesystem::path& source);
// Deletes a stored file; never reports failure.
void remove(const std::string& name);

} // namespace ImageStore

} // namespace tolva
