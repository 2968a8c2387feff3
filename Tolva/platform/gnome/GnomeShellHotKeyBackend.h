// The global shortcut on GNOME, where no program can grab keys: the extension keeps it as its
// own keybinding (in its settings, so it also works while the program is not running), and the
// Shell asks the program to lock when it is pressed.
#pragma once

#include "platform/HotKeyManager.h"

#include <memory>

namespace tolva {

class GnomeShellCover;

class GnomeShellHotKeyBackend : public HotKeyBackend {
public:
    explicit GnomeShellHotKeyBackend(std::shared_ptr<GnomeShellCover> shell) : shell_(std::move(shell)) {}

    // 0 on success; 2 for a key GNOME cannot name; 1 when the extension refused it.
    std::int32_t registerHotKey(const HotKey& hotKey) override;
    void unregisterHotKey() override;

private:
    std::shared_ptr<GnomeShellCover> shell_;
};

} // namespace tolva
