// Content from preferences, with the snapshot, image and colour fallbacks.
#include "overlay/OverlayContentBuilder.h"

#include "log/Log.h"
#include "overlay/ImageStore.h"

namespace tolva {

OverlayContentBuilder::OverlayContentBuilder(std::shared_ptr<ScreenSnapshotter> snapshotter,
                                             std::function<bool()> reduceMotion,
                                             std::function<std::chrono::system_clock::time_point()> wallClock,
                                             std::function<bool()> copiesInServer,
                                             std::function<bool(const std::string&)> holdsImage)
    : snapshotter_(std::move(snapshotter)), reduceMotion_(std::move(reduceMotion)),
      wallClock_(std::move(wallClock)), copiesInServer_(std::move(copiesInServer)),
      holdsImage_(std::move(holdsImage)) {}

void OverlayContentBuilder::make(const Preferences& preferences, bool showAwayNote,
                                 std::optional<std::int64_t> keepAwake, Completion done) {
    OverlayContent content;
    const SRGBColor color = preferences.overlayColor();
    content.background = QColor::fromRgbF(color.red, color.green, color.blue, 1.0);

    content.animations = preferences.effectiveAnimations(reduceMotion_ && reduceMotion_());
    content.tuning = OverlayAnimationTuning::tuning(preferences.animationStrength());
    content.tintAlpha = preferences.liveTintOpacity();
    content.awayNote = preferences.awayNote(showAwayNote);
    content.awayNoteStyle = preferences.awayNoteStyle();
    if (content.awayNote && preferences.awayNoteShowsReturnTime()) {
        const std::int64_t seconds = keepAwake.value_or(preferences.keepAwakeSeconds());
        content.awayNoteReturnLine =
            Preferences::awayNoteReturnLine(wallClock_() + std::chrono::seconds(seconds));
    }

    const OverlayContentMode mode = preferences.overlayContentMode();
    switch (mode) {
    case OverlayContentMode::liveTint:
        content.isTranslucent = true;
        done(Result{std::move(content), false});
        return;
    case OverlayContentMode::solidColor:
        // The image is not even looked at: whatever the file name points to cannot delay the lock.
        done(Result{std::move(content), false});
        return;
    case OverlayContentMode::snapshot:
        if (copiesInServer_ && copiesInServer_() && snapshotter_->permitted()) {
            // Nothing to wait for: the windows copy the screen as they go up.
            content.captureInServer = true;
            done(Result{std::move(content), false});
            return;
        }
        break;
    case OverlayContentMode::image:
        if (auto name = preferences.overlayImageFileName()) {
            content.imageIdentity = ImageStore::identity(*name);
            if (!content.imageIdentity.empty() && holdsImage_ && holdsImage_(content.imageIdentity)) {
                // Already on the server, scaled for every display: nothing to read or decode.
                done(Result{std::move(content), false});
                return;
            }
        }
        break;
    }

    // The image (the picture itself, or the snapshot's fallback) is read and decoded off the main
    // thread, from a regular file of bounded size only.
    auto snapshotter = snapshotter_;
    auto finish = [content, mode, snapshotter, done](QImage image) mutable {
        content.sharedImage = std::move(image);
        if (content.sharedImage.isNull())
            content.imageIdentity.clear();
        if (mode == OverlayContentMode::image) {
            if (content.sharedImage.isNull())
                Log::ui.error("overlay image missing, falling back to solid color");
            done(Result{std::move(content), false});
            return;
        }
        snapshotter->captureAll(Seconds(snapshotTimeout), [content, done](Snapshots snapshots) mutable {
            const bool fellBack = snapshots.empty();
            content.snapshots = std::move(snapshots);
            done(Result{std::move(content), fellBack});
        });
    };
    auto name = preferences.overlayImageFileName();
    if (!name) {
        finish(QImage());
        return;
    }
    ImageStore::loadInBackground(*name, [finish, name = *name](ImageStore::Loaded loaded) mutable {
        if (loaded.image.isNull())
            Log::ui.error("overlay image " + name + " not loaded: " + loaded.error);
        finish(std::move(loaded.image));
    });
}

} // namespace tolva
