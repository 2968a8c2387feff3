// Command-line and display checks before QApplication exists.
#include "app/LaunchChecks.h"

#include "platform/KeychainBackendChooser.h"
#include "platform/x11/X11ServerProbe.h"

#include <algorithm>
#include <array>
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

std::string lockInUsage() {
    return "--lock-in needs a number of seconds from 0 to " +
           std::to_string(static_cast<long>(maxLockInSeconds));
}

// A number of seconds as "--lock-in" takes it; the complaint when it is not one.
std::optional<double> lockInValue(const std::string& text, std::string* complaint) {
    double seconds = 0;
    // from_chars: no locale, no leading blanks or '+'; "inf" and "nan" parse but are refused.
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) ||
        seconds < 0 || seconds > maxLockInSeconds) {
        *complaint = lockInUsage() + ", not " + quoted(text);
        return std::nullopt;
    }
    return seconds == 0 ? 0.0 : seconds; // "-0" is 0
}

// The toolkit's own options (QGuiApplication, QApplication, the X11 platform), each with or
// without a value; it takes them out of the arguments as it starts.
constexpr std::array<std::string_view, 12> toolkitOptionsWithValue = {"platform",        "platformpluginpath",
                                                                      "platformtheme",   "plugin",
                                                                      "qwindowgeometry", "qwindowicon",
                                                                      "qwindowtitle",    "session",
                                                                      "display",         "style",
                                                                      "stylesheet",      "name"};
constexpr std::array<std::string_view, 6> toolkitFlags = {"reverse", "nograb",      "dograb",
                                                          "sync",    "widgetcount", "qmljsdebugger"};

} // namespace

std::string usageLine() {
    return "Usage: tolva-screen [--lock | --lock-in SECONDS] [--help] [--version]";
}

std::string helpText() {
    return usageLine() +
           "\n"
           "Privacy overlay: covers every display and blocks the keyboard until your PIN.\n"
           "\n"
           "  --lock              turn the overlay on now\n"
           "  --lock-in SECONDS   turn the overlay on after SECONDS (0 to " +
           std::to_string(static_cast<long>(maxLockInSeconds)) +
           ", for example 5 or 0.5)\n"
           "  -h, --help          print this help and exit\n"
           "  --version           print the version and exit\n"
           "\n"
           "Without an option the program starts in the system tray. When it already runs,\n"
           "the running one carries out the command (or shows its window) and this start ends.\n"
           "\n"
           "Exit status: 0 done, 1 refused or not answered, 2 a malformed command line.\n"
           "See tolva-screen(1).\n";
}

std::string secondsText(double seconds) {
    char text[400];
    // The shortest plain-decimal text that reads back as the same number.
    auto [end, error] = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed);
    std::string out = error == std::errc() ? std::string(text, end) : std::to_string(seconds);
    if (out.find('.') == std::string::npos)
        out += ".0";
    return out;
}

LockIn parseLockIn(const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] != "--lock-in")
            continue;
        if (i + 1 >= arguments.size())
            return {std::nullopt, lockInUsage()};
        std::string complaint;
        if (auto seconds = lockInValue(arguments[i + 1], &complaint))
            return {seconds, std::nullopt};
        return {std::nullopt, complaint};
    }
    return {};
}

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    auto usageError = [](std::string what) {
        return CommandLine{CommandLine::Action::usageError, std::move(what)};
    };
    bool lockInSeen = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h")
            return {CommandLine::Action::help, {}};
        if (argument == "--version")
            return {CommandLine::Action::version, {}};
        if (argument == "--lock")
            continue;
        if (argument == "--lock-in") {
            if (i + 1 >= arguments.size())
                return usageError(lockInUsage());
            std::string complaint;
            // Only the first "--lock-in" counts; a later one still needs its number.
            if (!lockInSeen && !lockInValue(arguments[i + 1], &complaint))
                return usageError(complaint);
            lockInSeen = true;
            ++i;
            continue;
        }
        if (argument.starts_with("--lock=") || argument.starts_with("--help=") ||
            argument.starts_with("--version="))
            return usageError("option " + quoted(argument.substr(0, argument.find('='))) + " takes no value");
        if (argument.starts_with("--lock-in=")) {
            std::string complaint;
            if (!lockInSeen && !lockInValue(argument.substr(10), &complaint))
                return usageError(complaint);
            lockInSeen = true;
            continue;
        }
        if (argument.size() > 1 && argument[0] == '-') {
            // The toolkit's options, in its one- or two-dash forms, with "=VALUE" or the next argument.
            std::string_view name = argument;
            name.remove_prefix(name.starts_with("--") ? 2 : 1);
            const bool inlineValue = name.find('=') != std::string_view::npos;
            name = name.substr(0, name.find('='));
            if (std::find(toolkitFlags.begin(), toolkitFlags.end(), name) != toolkitFlags.end())
                continue;
            if (std::find(toolkitOptionsWithValue.begin(), toolkitOptionsWithValue.end(), name) !=
                toolkitOptionsWithValue.end()) {
                if (!inlineValue && ++i >= arguments.size())
                    return usageError("option " + quoted(argument) + " needs a value");
                continue;
            }
            return usageError("unknown option " + quoted(argument));
        }
        return usageError("unexpected argument " + quoted(argument));
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
    if (!x11ServerAnswers())
        return "no X server answers on DISPLAY=" + quoted(display) +
               " (Tolva Screen needs an X11 desktop session)";
    return std::nullopt;
}

std::optional<int> checkBeforeStart(int argc, char** argv, std::FILE* out, std::FILE* err,
                                    std::string_view version) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const CommandLine command = parseCommandLine(arguments);
    switch (command.action) {
    case CommandLine::Action::help:
        std::fputs(helpText().c_str(), out);
        std::fflush(out);
        return 0;
    case CommandLine::Action::version:
        // "tolva-screen 1.2.0": also how a freshly installed update proves that it starts.
        std::fprintf(out, "tolva-screen %.*s\n", static_cast<int>(version.size()), version.data());
        std::fflush(out);
        return 0;
    case CommandLine::Action::usageError:
        std::fprintf(err, "tolva-screen: %s\n%s\n", command.error.c_str(), usageLine().c_str());
        return 2;
    case CommandLine::Action::run:
        break;
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
