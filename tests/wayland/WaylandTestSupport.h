// What the Wayland tests share: the headless sway of the `wayland` fixture (scripts/wayland-session),
// a Qt event loop driven until something happens, pictures of outputs through grim, commands such
// as wtype and swaymsg, and a virtual keyboard and pointer of the test's own.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tolva::test {

using namespace std::chrono_literals;

// Loads the fixture's variables into the environment. False when the test binary runs outside
// ctest (no fixture variable): the caller skips. A fixture that is named but broken fails.
bool enterWaylandSession();
// The folder the compositor's bindings leave files in.
std::filesystem::path bindingMarks();
QColor sessionBackground();

// Runs the Qt event loop until `done` or `timeout`; true when `done`.
bool driveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);

struct CommandResult {
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
};
// Runs a command to its end while the event loop keeps serving our own Wayland connection.
CommandResult runCommand(const QString& program, const QStringList& arguments,
                         std::chrono::milliseconds timeout = 20s, const std::string& display = {});

// Types with wtype (a new virtual keyboard each run) until `arrived`, at most `attempts` runs: a
// keyboard's very first key can be lost while the compositor is still setting it up.
bool typeUntil(const QStringList& wtypeArguments, const std::function<bool()>& arrived, int attempts = 3);

// The output's picture as the compositor shows it now, through grim; null on failure. `display`
// names another compositor than the fixture's.
QImage screenshot(const std::string& output, const std::string& display = {});
// Points of a grid over `image` (margins included) where the colour is not `expected` within
// `tolerance` per channel, described for a failure message; empty when all match.
std::string gridMismatches(const QImage& image, QColor expected, int tolerance = 0, QRect area = {});
// Takes screenshots until the grid of `output` shows `expected` or the timeout passes; the
// description of the last mismatch, or empty on success.
std::string waitForColour(const std::string& output, QColor expected, int tolerance = 0, QRect area = {},
                          std::chrono::milliseconds timeout = 10s, const std::string& display = {});

// A compositor of a test's own (scripts/wayland-session), for tests that kill it or take its
// outputs away: headless, or nested in the fixture's compositor with outputs WL-1 and WL-2 that
// are windows there.
class PrivateCompositor {
public:
    enum class Kind { headless, nested };
    explicit PrivateCompositor(Kind kind);
    ~PrivateCompositor();
    PrivateCompositor(const PrivateCompositor&) = delete;
    PrivateCompositor& operator=(const PrivateCompositor&) = delete;

    // The absolute socket path; empty when it did not start (see error()).
    const std::string& display() const { return display_; }
    const std::string& error() const { return error_; }
    // Runs swaymsg against this compositor.
    CommandResult swaymsg(const QStringList& arguments) const;
    void kill() const;

private:
    std::string dir_, display_, swaySocket_, error_;
    long pid_ = 0;
};

// A keyboard of our own (zwp_virtual_keyboard_v1) with the ordinary US layout, so keys arrive
// at their physical positions, on a connection of its own.
class VirtualKeyboard {
public:
    VirtualKeyboard();
    ~VirtualKeyboard();
    bool isReady() const;
    // Presses and releases evdev key `key` (KEY_A = 30 …), holding `modifiers` (evdev keys) around it.
    void tap(std::uint32_t key, std::initializer_list<std::uint32_t> modifiers = {});
    void press(std::uint32_t key);
    void release(std::uint32_t key);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A pointer of our own (zwlr_virtual_pointer_v1) that moves in layout coordinates.
class VirtualPointer {
public:
    VirtualPointer();
    ~VirtualPointer();
    bool isReady() const;
    // Moves to `position` of a layout `extent` wide and high.
    void moveTo(QPoint position, QSize extent);
    void click(std::uint32_t button);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tolva::test
