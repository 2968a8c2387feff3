// One still picture of every display, captured in parallel off the main thread, raced against
// a time limit: the overlay never waits longer than that for a capture.
#pragma once

#include "overlay/Displays.h"
#include "platform/Scheduler.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace tolva {

using Snapshots = std::map<std::uint32_t, QImage>;

// Captures displays; runs on a worker thread. Displays that fail are left out.
class ScreenCaptureBackend {
public:
    virtual ~ScreenCaptureBackend() = default;
    virtual Snapshots capture(const std::vector<DisplayInfo>& displays) = 0;
};

class ScreenSnapshotter {
public:
    using Completion = std::function<void(Snapshots)>;

    ScreenSnapshotter(Scheduler& scheduler, std::shared_ptr<DisplaySource> displays,
                      std::shared_ptr<ScreenCaptureBackend> backend, std::function<bool()> permission);
    // A capture that runs on the main thread's event loop and calls its argument once, with the
    // pictures by display id (a compositor's copy of its outputs).
    using EventLoopCapture = std::function<void(std::function<void(Snapshots)>)>;
    ScreenSnapshotter(Scheduler& scheduler, EventLoopCapture capture, std::function<bool()> permission);

    // Calls `done` on the main thread with what was captured in time (maybe nothing).
    void captureAll(Seconds timeout, Completion done);

    // Whether the screen may be captured at all (logged when not).
    bool permitted() const;

    // There is no permission dialog on X11: logs "screen recording request -> …" and answers.
    bool requestPermission();
    void openSettings();

private:
    Scheduler& scheduler_;
    std::shared_ptr<DisplaySource> displays_;
    std::shared_ptr<ScreenCaptureBackend> backend_;
    std::function<bool()> permission_;
    EventLoopCapture eventLoopCapture_;
};

} // namespace tolva
