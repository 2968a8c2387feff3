// XDG base folders.
#include "TolvaCore/XdgPaths.h"

#include <cstdlib>

namespace tolva {

namespace {

std::filesystem::path baseFolder(const char* variable, const char* fallbackUnderHome) {
    const char* value = std::getenv(variable);
    if (value && *value && std::filesystem::path(value).is_absolute())
        return value;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/") / fallbackUnderHome;
}

} // namespace

std::filesystem::path xdgConfigHome() {
    return baseFolder("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path xdgDataHome() {
    return baseFolder("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path xdgStateHome() {
    return baseFolder("XDG_STATE_HOME", ".local/state");
}

} // namespace tolva
