// Helpers of the GNOME tests: the headless GNOME Shell of the ctest fixture `gnome`
// (scripts/gnome-session), keys through mutter's remote desktop, a plain GTK window that tells
// which keys it got, and pictures of what the Shell shows.
#pragma once

#include "platform/gnome/GnomeShellCover.h"
#include "support/ChildProcess.h"

#include <QColor>
#include <QDBusConnection>
#include <QImage>
#include <QRect>
#include <QString>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tolva::test::gnome {

using namespace std::chrono_literals;

// Reads the fixture's variables (the Shell's session bus, its system bus, its Wayland socket)
// into the environment; false when the fixture's folder is not named (outside ctest).
bool enterGnomeSession();
// The Shell's session bus, on a connection of its own named `name`.
QDBusConnection connect(const QString& name);
// Takes org.tolva.Screen on `bus`, as the program does; false if someone else has it.
bool claimProgramName(QDBusConnection& bus);

// The extension as the program drives it, from `program` once it holds org.tolva.Screen:
// switched on if an earlier test left it off, and bare of any cover an earlier test left; null,
// with the reason in `why`, when it cannot be had.
std::shared_ptr<GnomeShellCover> extensionForProgram(QDBusConnection& program, std::string* why);

// A test of the extension as the program drives it, from a bus connection named "program":
// skipped outside the fixture, and the cover taken away afterwards.
struct ExtensionTest : ::testing::Test {
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<QDBusConnection> program;
    std::shared_ptr<GnomeShellCover> shell;
};

// Switches Tolva Screen's extension off or on as `gnome-extensions disable|enable` does; false
// when the Shell says no.
bool switchExtension(bool on);

// Leaves the Shell's overview, which it shows when it starts and whenever it has no window: a
// new window takes the keyboard focus only on the desktop.
void leaveOverview();

// Share of pixels of `image` (every 5th in both directions) within 8 of `colour` in each channel.
double shareOf(const QImage& image, const QColor& colour);

// Keys (and pointer moves and clicks) as mutter's remote desktop sends them (virtual devices of
// its own), on one session that lives as long as this object.
class RemoteKeyboard {
public:
    RemoteKeyboard();
    ~RemoteKeyboard();
    bool isReady() const { return !session_.isEmpty(); }
    // Presses and releases the evdev key `code`, with `held` (modifiers) pressed around it.
    void tap(std::uint32_t code, const std::vector<std::uint32_t>& held = {});
    // Moves the pointer by (dx, dy), and presses and releases its left button.
    void move(double dx, double dy);
    void click();

private:
    QDBusConnection bus_;
    QString session_;
};

// A GTK window of another client: "key NAME" lines for the keys it gets.
class KeyWindow {
public:
    KeyWindow();
    // Waits until the window has the keyboard focus, tapping Shift on `keyboard` now and then: a
    // headless Shell has no keyboard, and gives the focus only once a virtual one typed.
    bool waitUntilActive(RemoteKeyboard& keyboard, std::chrono::milliseconds timeout = 15s);
    // The names of the keys it got so far (xkb names: "a", "7", "Escape").
    const std::vector<std::string>& keys();
    // The clicks it got so far, and whether it has the keyboard focus now.
    int clicks();
    bool isActive();

private:
    void read(const std::string& line);
    std::unique_ptr<ChildProcess> process_;
    std::vector<std::string> keys_;
    int clicks_ = 0;
    bool active_ = false;
};

// A PNG the Shell itself takes of `area` (org.gnome.Shell.Screenshot, asked under the name of the
// desktop's screenshot tool, which the Shell lets take pictures); a null image on failure, with
// the reason in `error`.
QImage shellScreenshot(QRect area, std::string* error = nullptr);

// Taps `code` (with `held` pressed around it) on `keyboard` until `arrived()`: a new virtual keyboard's first
// keys can be lost while the Shell sets it up.
bool tapUntil(RemoteKeyboard& keyboard, std::uint32_t code, const std::function<bool()>& arrived,
              std::chrono::milliseconds timeout = 15s, const std::vector<std::uint32_t>& held = {});

} // namespace tolva::test::gnome
