#include "platform/gnome/GnomeShellHotKeyBackend.h"

#include "log/Log.h"
#include "platform/gnome/GnomeShellCover.h"
#include "platform/wayland/CompositorBinding.h"

namespace tolva {

std::int32_t GnomeShellHotKeyBackend::registerHotKey(const HotKey& hotKey) {
    const auto accelerator = gnomeAccelerator(hotKey);
    if (!accelerator)
        return 2; // as X11's BadValue: no such key
    std::string error;
    if (!shell_->setLockShortcut(*accelerator, &error)) {
        Log::input.error("gnome shell: cannot set the shortcut " + *accelerator + ": " + error);
        return 1;
    }
    Log::input.info("gnome shell: the shortcut is " + *accelerator);
    return 0;
}

void GnomeShellHotKeyBackend::unregisterHotKey() {
    std::string error;
    if (!shell_->setLockShortcut("", &error))
        Log::input.error("gnome shell: cannot clear the shortcut: " + error);
}

} // namespace tolva
