// Builds the overlay content for one lock from the preferences at that moment; in the snapshot
// mode it first captures every display (within 2 seconds) and falls back to the imported image,
// then the plain colour.
#pragma once

#include "TolvaCore/Preferences.h"
#include "overlay/OverlayContent.h"
#include "overlay/ScreenSnapshotter.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace tolva {

class OverlayContentBuilder {
public:
    struct Result {
        OverlayContent content;
        bool snapshotFellBack = false;
    };
    using Completion = std::function<void(Result)>;

    // `copiesInServer` answers whether the overlay copies the screen itself inside the X server
    // as its windows go up; then a snapshot needs no capture here at all. `holdsImage` answers
    // whether the overlay already holds the stored image of that identity, ready to show.
    OverlayContentBuilder(
        std::shared_ptr<ScreenSnapshotter> snapshotter, std::function<bool()> reduceMotion,
        std::function<std::chrono::system_clock::time_point()> wallClock = std::chrono::system_clock::now,
        std::function<bool()> copiesInServer = nullptr,
        std::function<bool(const std::string& identity)> holdsImage = nullptr);

    // Calls `done` on the main thread: at once, or after the capture in the snapshot mode.
    void make(const Preferences& preferences, bool showAwayNote, std::optional<std::int64_t> keepAwake,
              Completion done);

    static constexpr double snapshotTimeout = 2.0;

private:
    std::shared_ptr<ScreenSnapshotter> snapshotter_;
    std::function<bool()> reduceMotion_;
    std::function<std::chrono::system_clock::time_point()> wallClock_;
    std::function<bool()> copiesInServer_;
    std::function<bool(const std::string&)> holdsImage_;
};

} // namespace tolva
