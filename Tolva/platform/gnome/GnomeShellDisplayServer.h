// The GNOME backend: GNOME Shell, through our extension, shows the cover and holds the keys and
// the pointer inside the Shell; the shortcut is the extension's keybinding, idle time comes from
// mutter, snapshots are taken inside the Shell. Nothing here speaks to a display server.
#pragma once

#include "platform/DisplayServer.h"

#include <memory>

namespace tolva {

class GnomeShellCover;

class GnomeShellDisplayServer : public DisplayServer {
public:
    explicit GnomeShellDisplayServer(std::shared_ptr<GnomeShellCover> shell);

    std::shared_ptr<IdleTimeSource> idleTime() override;
    std::unique_ptr<HotKeyBackend> hotKeys() override;
    void provide(LockController::Services& services, const Context& context) override;
    // The extension keeps the cover when the program goes, and has the bus start it again.
    bool coverLeftBehind() override;

private:
    std::shared_ptr<GnomeShellCover> shell_;
};

} // namespace tolva
