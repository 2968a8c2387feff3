// The backend of compositors with layer-shell (sway and the other wlroots compositors, KWin):
// one overlay surface per output on the compositor's own connection, the keys from its keyboard,
// the shortcut through KWin's shortcut service or the user's compositor binding, idle time from
// the compositor's idle notices, snapshots from its copy of each output.
#pragma once

#include "platform/DisplayServer.h"

#include <memory>

namespace tolva {

class WaylandConnection;
class WaylandOverlayWindows;

class LayerShellDisplayServer : public DisplayServer {
public:
    explicit LayerShellDisplayServer(std::shared_ptr<WaylandConnection> wayland);

    std::shared_ptr<IdleTimeSource> idleTime() override;
    std::unique_ptr<HotKeyBackend> hotKeys() override;
    bool compositorBindsShortcut() const override;
    std::string compositorBindingLine(const std::optional<HotKey>& hotKey) const override;
    void provide(LockController::Services& services, const Context& context) override;
    QString guardProgram() const override;
    void guardStarted(LockGuard& guard) override;
    void beforeGuardHearsLocked(LockGuard& guard) override;

private:
    std::shared_ptr<WaylandConnection> wayland_;
    std::shared_ptr<WaylandOverlayWindows> cover_;
};

} // namespace tolva
