// Picks, once at start-up, where keychain items live: the Secret Service when one answers on
// the session bus, else a file only the user can read.
#pragma once

#include "TolvaCore/KeychainItem.h"

#include <memory>
#include <optional>
#include <string>

namespace tolva {

std::shared_ptr<KeychainBackend> chooseKeychainBackend();

// The session bus the program may use, pinned in DBUS_SESSION_BUS_ADDRESS so that no library
// looks further: the variable when set, else $XDG_RUNTIME_DIR/bus when that socket exists. With
// neither there is no session bus, and the variable is set to "disabled:", so that neither
// libsecret (GDBus) nor QtDBus (libdbus) starts one of its own through X11 autolaunch; nothing
// is then returned. Call it before anything touches the session bus.
std::optional<std::string> pinSessionBusAddress();

} // namespace tolva
