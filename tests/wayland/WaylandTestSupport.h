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
                         std::chrono::milliseconds timeout = 20s);

// The output's picture as the compositor shows it now, through grim; null on failure.
QImage screenshot(const std::string& output);
// Points of a grid over `image` (margins included) where the colour is not `expected` within
// `tolerance` per channel, described for a failure message; empty when all match.
std::string gridMismatches(const QImage& image, QColor expected, int tolerance = 0, QRect area = {});
// Takes screenshots until the grid of `output` shows `expected` or the timeout passes; the
// description of the last mismatch, or empty on success.
std::string waitForColour(const std::string& output, QColor expected, int tolerance = 0, QRect area = {},
                          std::chrono::milliseconds timeout = 10s);

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
