// Content from preferences, with the snapshot, image and colour fallbacks.
#include "overlay/OverlayContentBuilder.h"

#include "log/Log.h"
#include "overlay/ImageStore.h"

namespace tolva {

OverlayContentBuilder::OverlayContentBuilder(std::shared_ptr<ScreenSnapshotter> snapshotter,
                                             std::function<bool()> reduceMotion,
                                             std::function<std::chrono::system_clock::time_point()> wallClock)
    : snapshotter_(std::move(snapshotter)), reduceMotion_(std::move(reduceMotion)),
      wallClock_(std::move(wallClock)) {}

void OverlayContentBuilder::make(const Preferences& preferences, bool showAwayNote,
                                 std::optional<std::int64_t> keepAwake, Completion done) {
    OverlayContent content;
    const SRGBColor color = preferences.overlayColor();
    content.background = QColor::fromRgbF(color.red, color.green, color.blue, 1.0);

    QImage image;
    if (auto name = preferences.overlayImageFileName())
        image = QImage(QString::fromStdString((ImageStore::directory() / *name).string()));

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

    switch (preferences.overlayContentMode()) {
    case OverlayContentMode::liveTint:
        content.isTranslucent = true;
        break;
    case OverlayContentMode::solidColor:
        break;
    case OverlayContentMode::image:
        content.sharedImage = image;
        if (image.isNull())
            Log::ui.error("overlay image missing, falling back to solid color");
        break;
    case OverlayContentMode::snapshot:
        content.sharedImage = image;
        snapshotter_->captureAll(Seconds(snapshotTimeout), [content, done](Snapshots snapshots) mutable {
            const bool fellBack = snapshots.empty();
            content.snapshots = std::move(snapshots);
            done(Result{std::move(content), fellBack});
        });
        return;
    }
    done(Result{std::move(content), false});
}

} // namespace tolva
