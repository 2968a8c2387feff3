// The autostart entry.
#include "app/LaunchAtLogin.h"

#include "TolvaCore/AtomicFile.h"
#include "TolvaCore/XdgPaths.h"
#include "log/Log.h"

#include <stdexcept>

namespace tolva::LaunchAtLogin {

std::filesystem::path entryPath() {
    return xdgConfigHome() / "autostart" / "org.tolva.Screen.desktop";
}

bool isEnabled() {
    return std::filesystem::exists(entryPath());
}

void setEnabled(bool enabled, const std::string& executable) {
    if (enabled) {
        const std::string entry = "[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=Tolva Screen\n"
                                  "Comment=Privacy overlay\n"
                                  "Exec=" +
                                  executable +
                                  "\n"
                                  "Icon=org.tolva.Screen\n"
                                  "Terminal=false\n"
                                  "X-GNOME-Autostart-enabled=true\n";
        if (auto error = writeFileAtomically(entryPath(), entry, 0644))
            throw std::runtime_error(*error);
    } else {
        std::error_code error;
        std::filesystem::remove(entryPath(), error);
        if (error)
            throw std::runtime_error(entryPath().string() + ": " + error.message());
    }
    Log::ui.info(std::string("launch at login -> ") + (enabled ? "true" : "false"));
}

} // namespace tolva::LaunchAtLogin
