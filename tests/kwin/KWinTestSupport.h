// What the KWin tests share: the headless KWin of the `kwin` fixture (scripts/kwin-session), keys
// through its fake input (the tolva-kwin-input program, which the session lets type), an ordinary
// application window that logs the keys it gets, and pictures of the outputs through KWin's
// screenshot service.
#pragma once

#include "platform/wayland/WaylandConnection.h"

#include <QColor>
#include <QImage>
#include <QProcess>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tolva::test {

using namespace std::chrono_literals;

// Loads the fixture's variables into the environment. False when the test binary runs outside
// ctest (no fixture variable): the caller skips. A fixture that is named but broken throws.
bool enterKWinSession();

// One fake-input device of KWin for as long as it lives: tolva-kwin-input reading commands.
class KWinInput {
public:
    KWinInput();
    ~KWinInput();
    KWinInput(const KWinInput&) = delete;
    KWinInput& operator=(const KWinInput&) = delete;

    // Started, and KWin lets it type; else error() says why.
    bool isReady() const { return ready_; }
    const std::string& error() const { return error_; }
    // Runs one command ("key 30", "press 56" …) and waits until KWin handled it.
    bool send(const std::string& command);
    // Presses and releases evdev key `key`, holding `modifiers` (evdev keys) around it.
    bool tap(std::uint32_t key, std::initializer_list<std::uint32_t> modifiers = {});

private:
    bool waitForLine(std::string& line);
    std::unique_ptr<QProcess> process_;
    bool ready_ = false;
    std::string error_;
};

// An ordinary application window (xdg-shell toplevel, one solid colour) on a connection of its own,
// counting the keys it receives and when it had the keyboard.
class KeyLoggingWindow : private WaylandConnection::Observer {
public:
    explicit KeyLoggingWindow(QColor colour = QColor(0, 0, 255));
    ~KeyLoggingWindow() override;
    KeyLoggingWindow(const KeyLoggingWindow&) = delete;
    KeyLoggingWindow& operator=(const KeyLoggingWindow&) = delete;

    bool isConnected() const { return connection_ != nullptr; }
    // Configured and its first buffer shown.
    bool isMapped() const;
    bool hasKeyboardFocus() const;
    // Key presses received so far.
    int keyPresses() const { return keyPresses_; }
    // When the keyboard last came to the window and left it.
    std::optional<std::chrono::steady_clock::time_point> lastEnter() const { return lastEnter_; }
    std::optional<std::chrono::steady_clock::time_point> lastLeave() const { return lastLeave_; }

private:
    struct State;
    void seatCapabilitiesChanged(std::uint32_t capabilities) override;

    std::shared_ptr<WaylandConnection> connection_;
    std::unique_ptr<State> state_;
    int keyPresses_ = 0;
    std::optional<std::chrono::steady_clock::time_point> lastEnter_, lastLeave_;
    friend struct KeyLoggingWindowListeners;
};

// Another client's overlay-layer surface over one output (the kind a notification or a second
// program covering the screen would map), opaque, taking the keyboard exclusively if asked to.
class ForeignLayerSurface {
public:
    ForeignLayerSurface(const std::string& output, QColor colour, bool exclusiveKeyboard);
    ~ForeignLayerSurface();
    ForeignLayerSurface(const ForeignLayerSurface&) = delete;
    ForeignLayerSurface& operator=(const ForeignLayerSurface&) = delete;
    // Configured and its first frame shown.
    bool isShown() const;

private:
    struct State;
    std::shared_ptr<WaylandConnection> connection_;
    std::unique_ptr<State> state_;
};

// Runs a KWin script (JavaScript) once, through KWin's scripting service; true when KWin ran it.
bool runKWinScript(const std::string& code);

// Runs kscreen-doctor against the fixture's KWin ("output.Virtual-1.disable" …); true on success.
bool kscreenDoctor(const QStringList& arguments);

} // namespace tolva::test
