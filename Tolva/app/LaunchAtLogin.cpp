// The autostart entry.
#include "app/LaunchAtLogin.h"

#include "TolvaCore/AtomicFile.h"
#include "TolvaCore/XdgPaths.h"
#include "log/Log.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tolva::LaunchAtLogin {

std::filesystem::path entryPath() {
    return xdgConfigHome() / "autostart" / "org.tolva.Screen.desktop";
}

bool isEnabled() {
    return std::filesystem::exists(entryPath());
}

namespace {

// A value of a desktop entry: backslash, line ends and tabs escaped.
std::string entryValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// The program as one argument of Exec: quoted when it holds a character the launcher would
// otherwise split at or interpret.
std::string execArgument(const std::string& path) {
    if (path.find_first_of(" \t\n\"'\\><~|&;$*?#()`=%") == std::string::npos)
        return path;
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c == '%' ? std::string("%%") : std::string(1, c);
    }
    return quoted + "\"";
}

} // namespace

std::string entryText(const std::string& executable) {
    // TryExec: once the program is removed, the session no longer starts it at login.
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tolva Screen\n"
           "Comment=Privacy overlay\n"
           "TryExec=" +
           entryValue(executable) +
           "\n"
           "Exec=" +
           entryValue(execArgument(executable)) +
           "\n"
           "Icon=org.tolva.Screen\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void setEnabled(bool enabled, const std::string& executable) {
    if (enabled) {
        if (auto error = writeFileAtomically(entryPath(), entryText(executable), 0644))
            throw std::runtime_error(*error);
    } else {
        std::error_code error;
        std::filesystem::remove(entryPath(), error);
        if (error)
            throw std::runtime_error(entryPath().string() + ": " + error.message());
    }
    Log::ui.info(std::string("launch at login -> ") + (enabled ? "true" : "false"));
}

void refresh(const std::string& executable) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(entryPath(), error))
        return;
    std::ifstream in(entryPath(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        return;
    const std::string wanted = entryText(executable);
    if (text == wanted)
        return;
    if (auto failed = writeFileAtomically(entryPath(), wanted, 0644)) {
        Log::ui.error("launch at login entry not updated: " + *failed);
        return;
    }
    Log::ui.info("launch at login entry updated");
}

} // namespace tolva::LaunchAtLogin
