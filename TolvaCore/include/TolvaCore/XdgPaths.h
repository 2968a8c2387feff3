// Per-user base folders as the XDG base-directory rules define them.
#pragma once

#include <filesystem>

namespace tolva {

// $XDG_CONFIG_HOME, or ~/.config when unset, empty or relative.
std::filesystem::path xdgConfigHome();
// $XDG_DATA_HOME, or ~/.local/share when unset, empty or relative.
std::filesystem::path xdgDataHome();
// $XDG_STATE_HOME, or ~/.local/state when unset, empty or relative.
std::filesystem::path xdgStateHome();

} // namespace tolva
