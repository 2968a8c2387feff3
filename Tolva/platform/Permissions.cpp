// Accessibility and screen-capture answers for X11 sessions.
#include "platform/Permissions.h"

#include "log/Log.h"

#include <QDesktopServices>
#include <QUrl>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

#include <map>
#include <mutex>
#include <string>

namespace tolva::Permissions {

namespace {

bool isWaylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (type && std::strcmp(type, "wayland") == 0) || (wayland && *wayland);
}

bool displayAnswers() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    // A display that answered once answers for as long as this program runs (Qt ends the
    // program when its own connection goes): asked once per display name, not at every check.
    static std::mutex mutex;
    static std::map<std::string, bool> answered;
    std::lock_guard lock(mutex);
    if (auto it = answered.find(display); it != answered.end() && it->second)
        return true;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const bool ok = c && !xcb_connection_has_error(c);
    if (c)
        xcb_disconnect(c);
    answered[display] = ok;
    return ok;
}

} // namespace

bool isAccessibilityTrusted() {
    return !isWaylandSession() && displayAnswers();
}

bool promptAccessibility() {
    const bool trusted = isAccessibilityTrusted();
    Log::perms.info(std::string("accessibility prompt -> ") + (trusted ? "true" : "false"));
    return trusted;
}

void openSettingsPage(const char* address) {
    QUrl url(QString::fromUtf8(address));
    if (url.isValid())
        QDesktopServices::openUrl(url);
}

void openAccessibilitySettings() {
    openSettingsPage(accessibilitySettingsPage);
}

bool isScreenCaptureAllowed() {
    return !isWaylandSession() && std::getenv("DISPLAY") != nullptr;
}

} // namespace tolva::Permissions
