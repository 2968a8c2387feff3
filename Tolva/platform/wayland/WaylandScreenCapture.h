// Pictures of every output through wlr-screencopy, taken before the cover maps so the overlay
// can show the desktop as it was (blurred or dimmed by the program).
#pragma once

#include "platform/wayland/WaylandConnection.h"

#include <QImage>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tolva {

class WaylandScreenCapture {
public:
    // Output name → its picture at the output's pixel size; an output whose copy failed is absent.
    using Pictures = std::map<std::string, QImage>;

    explicit WaylandScreenCapture(std::shared_ptr<WaylandConnection> connection);
    ~WaylandScreenCapture();
    WaylandScreenCapture(const WaylandScreenCapture&) = delete;
    WaylandScreenCapture& operator=(const WaylandScreenCapture&) = delete;

    // Whether the compositor lets clients copy its outputs.
    bool isAvailable() const;
    // Copies every output; `done` is called once, through the event loop, when each copy has
    // finished or failed (at once with nothing when copying is unavailable). A capture started
    // while another runs replaces it: the earlier one's `done` is not called.
    void captureOutputs(std::function<void(Pictures)> done);

private:
    struct Frame;
    void finished(Frame* frame);
    friend struct WaylandScreenCaptureListeners;

    std::shared_ptr<WaylandConnection> connection_;
    std::unique_ptr<QObject> context_;
    std::vector<std::unique_ptr<Frame>> frames_;
    Pictures pictures_;
    std::function<void(Pictures)> done_;
    std::uint64_t generation_ = 0;
};

} // namespace tolva
