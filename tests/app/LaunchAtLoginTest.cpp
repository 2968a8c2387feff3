#include "app/LaunchAtLogin.h"
#include "log/Log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace tolva;

namespace {

std::string entryOnDisk() {
    std::ifstream in(LaunchAtLogin::entryPath());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

TEST(LaunchAtLogin, TheEntryNamesTheProgramForTryExecSoARemovedOneIsNotStarted) {
    EXPECT_EQ(LaunchAtLogin::entryText("/usr/bin/tolva-screen"), "[Desktop Entry]\n"
                                                                 "Type=Application\n"
                                                                 "Name=Tolva Screen\n"
                                                                 "Comment=Privacy overlay\n"
                                                                 "TryExec=/usr/bin/tolva-screen\n"
                                                                 "Exec=/usr/bin/tolva-screen\n"
                                                                 "Icon=org.tolva.Screen\n"
                                                                 "Terminal=false\n"
                                                                 "X-GNOME-Autostart-enabled=true\n");
    // A path the launcher would split or expand is quoted in Exec (desktop entry rules: a quoted
    // argument escapes " ` $ \ with a backslash, a % is doubled, and the value escapes each
    // backslash once more); TryExec is the plain path.
    const std::string odd = LaunchAtLogin::entryText("/home/a b/$bin/100%/tolva-screen");
    EXPECT_NE(odd.find("\nTryExec=/home/a b/$bin/100%/tolva-screen\n"), std::string::npos) << odd;
    EXPECT_NE(odd.find("\nExec=\"/home/a b/\\\\$bin/100%%/tolva-screen\"\n"), std::string::npos) << odd;
}

TEST(LaunchAtLogin, AnOldEntryIsWrittenAgainAtStartAndAnAbsentOneStaysAbsent) {
    ScopedLogCapture log;
    LaunchAtLogin::refresh("/usr/bin/tolva-screen");
    EXPECT_FALSE(LaunchAtLogin::isEnabled()) << "off stays off";

    // What an earlier version wrote: no TryExec.
    std::filesystem::create_directories(LaunchAtLogin::entryPath().parent_path());
    std::ofstream(LaunchAtLogin::entryPath()) << "[Desktop Entry]\nType=Application\nName=Tolva Screen\n"
                                                 "Exec=/usr/bin/tolva-screen\n";
    LaunchAtLogin::refresh("/usr/bin/tolva-screen");
    EXPECT_EQ(entryOnDisk(), LaunchAtLogin::entryText("/usr/bin/tolva-screen"));
    LaunchAtLogin::refresh("/usr/bin/tolva-screen");
    EXPECT_EQ(log.messages("ui"), std::vector<std::string>{"launch at login entry updated"})
        << "written once, left alone when right";

    // The program moved (a new prefix): the entry follows it.
    LaunchAtLogin::refresh("/opt/tolva/bin/tolva-screen");
    EXPECT_NE(entryOnDisk().find("\nTryExec=/opt/tolva/bin/tolva-screen\n"), std::string::npos);
    LaunchAtLogin::setEnabled(false, "");
    EXPECT_FALSE(LaunchAtLogin::isEnabled());
}
