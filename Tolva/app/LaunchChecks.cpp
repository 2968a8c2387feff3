// Launch-argument and display checks before QApplication exists.
#include "app/LaunchChecks.h"

#include "platform/KeychainBackendChooser.h"

#include <xcb/xcb.h>

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tolva::LaunchChecks {

namespace {

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text.substr(0, 40))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    if (text.size() > 40)
        out += "...";
    return out + "\"";
}

} // namespace

LockIn parseLockIn(const std::vector<std::string>& arguments) {
    const std::string usage = "--lock-in needs a number of seconds from 0 to 604800";
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] != "--lock-in")
            continue;
        if (i + 1 >= arguments.size())
            return {std::nullopt, usage};
        const std::string& text = arguments[i + 1];
        double seconds = 0;
        // from_chars: no locale, no leading blanks or '+'; "inf" and "nan" parse but are refused.
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
            !std::isfinite(seconds) || seconds < 0 || seconds > maxLockInSeconds)
            return {std::nullopt, usage + ", not " + quoted(text)};
        return {seconds == 0 ? 0.0 : seconds, std::nullopt}; // "-0" is 0
    }
    return {};
}

std::optional<std::string> missingDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const std::string_view name = platform ? platform : "";
    if (!name.empty() && name.substr(0, 3) != "xcb")
        return std::nullopt;
    if (name.empty() && std::getenv("WAYLAND_DISPLAY") && *std::getenv("WAYLAND_DISPLAY"))
        return std::nullopt; // the toolkit may choose Wayland; it reports its own failures there
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return std::string("no X server: DISPLAY is not set (Tolva Screen needs an X11 desktop session)");
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    if (failed)
        return "no X server answers on DISPLAY=" + quoted(display) +
               " (Tolva Screen needs an X11 desktop session)";
    return std::nullopt;
}

std::optional<int> checkBeforeStart(int argc, char** argv, std::FILE* err) {
    const std::vector<std::string> arguments(argv, argv + argc);
    if (auto lockIn = parseLockIn(arguments); lockIn.error) {
        std::fprintf(err, "tolva-screen: %s\n", lockIn.error->c_str());
        return 2;
    }
    if (auto why = missingDisplay()) {
        std::fprintf(err, "tolva-screen: %s\n", why->c_str());
        return 1;
    }
    // Before the toolkit exists: it may reach for the session bus as it starts.
    pinSessionBusAddress();
    return std::nullopt;
}

} // namespace tolva::LaunchChecks
