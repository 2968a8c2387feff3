// Picks, once at start-up, where keychain items live: the Secret Service when one answers on
// the session bus, else a file only the user can read.
#pragma once

#include "TolvaCore/KeychainItem.h"

#include <memory>

namespace tolva {

std::shared_ptr<KeychainBackend> chooseKeychainBackend();

} // namespace tolva
