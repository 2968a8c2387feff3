// The displays as GNOME Shell has them, and the snapshot look's pictures of them, taken inside
// the Shell by the extension (GNOME lets no program read the screen itself).
#pragma once

#include "overlay/Displays.h"
#include "overlay/ScreenSnapshotter.h"
#include "platform/gnome/GnomeShellCover.h"

#include <memory>
#include <vector>

namespace tolva {

// The Shell's monitors as displays, numbered 1, 2, … in the Shell's order: the same numbers the
// GNOME overlay windows give them.
class GnomeDisplays : public DisplaySource {
public:
    explicit GnomeDisplays(std::shared_ptr<GnomeShellCover> shell) : shell_(std::move(shell)) {}
    std::vector<DisplayInfo> displays() override { return displaysOf(shell_->monitors()); }
    static std::vector<DisplayInfo> displaysOf(const std::vector<GnomeShellCover::Monitor>& monitors);

private:
    std::shared_ptr<GnomeShellCover> shell_;
};

// Runs on the snapshotter's worker thread: one blocking call to the extension.
class GnomeScreenCapture : public ScreenCaptureBackend {
public:
    explicit GnomeScreenCapture(std::shared_ptr<GnomeShellCover> shell) : shell_(std::move(shell)) {}
    Snapshots capture(const std::vector<DisplayInfo>& displays) override;

private:
    std::shared_ptr<GnomeShellCover> shell_;
};

} // namespace tolva
