// Pictures of every output on KWin, which has no wlr-screencopy: its screenshot service on the
// session bus (org.kde.KWin.ScreenShot2) writes each output's pixels into a pipe we hand it.
// KWin answers only a program whose installed .desktop entry has the program's absolute path in
// Exec and lists the interface in X-KDE-DBUS-Restricted-Interfaces; anyone else is told
// NoAuthorized.
#pragma once

#include "platform/wayland/WaylandConnection.h"

#include <QDBusConnection>
#include <QImage>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tolva {

class KWinScreenCapture {
public:
    // Output name → its picture at the output's pixel size; an output whose capture failed is absent.
    using Pictures = std::map<std::string, QImage>;

    // The outputs are the connection's; the service is looked for on `bus`.
    explicit KWinScreenCapture(std::shared_ptr<WaylandConnection> connection,
                               QDBusConnection bus = QDBusConnection::sessionBus());
    ~KWinScreenCapture();
    KWinScreenCapture(const KWinScreenCapture&) = delete;
    KWinScreenCapture& operator=(const KWinScreenCapture&) = delete;

    // Whether KWin's screenshot service is on the bus (it may still refuse us).
    bool isAvailable() const;
    // Captures every output; `done` is called once, through the event loop, when each capture has
    // finished or failed (at once with nothing when there are no outputs). A capture started
    // while another runs replaces it: the earlier one's `done` is not called.
    void captureOutputs(std::function<void(Pictures)> done);
    // Why the outputs missing from the last pictures failed (the D-Bus error's name and text, or
    // what went wrong with the pipe), by output name.
    const std::map<std::string, std::string>& failures() const { return failures_; }

private:
    struct Capture;
    void finished(Capture& capture);

    std::shared_ptr<WaylandConnection> connection_;
    QDBusConnection bus_;
    std::unique_ptr<QObject> context_; // the pending calls and pipe readers die with it
    std::vector<std::unique_ptr<Capture>> captures_;
    Pictures pictures_;
    std::map<std::string, std::string> failures_;
    std::function<void(Pictures)> done_;
    std::chrono::steady_clock::time_point started_;
};

} // namespace tolva
