// The live picture of the overlay in the settings window: the real overlay view at reduced
// size over a drawn sample desktop (never a capture of the real screen), with the motion
// effects running eight times faster.
#pragma once

#include "TolvaCore/AwayNoteStyle.h"
#include "TolvaCore/OverlayAnimation.h"
#include "TolvaCore/OverlayContentMode.h"
#include "TolvaCore/Preferences.h"
#include "overlay/OverlayContent.h"
#include "overlay/OverlayView.h"
#include "platform/Scheduler.h"

#include <QColor>
#include <QImage>
#include <QLabel>
#include <QWidget>

#include <chrono>
#include <optional>
#include <string>

namespace tolva {

// What the preview shows, taken from the preferences at each redraw.
struct OverlayPreview {
    static constexpr double timeScale = 8;

    OverlayContentMode mode = OverlayContentMode::liveTint;
    QColor color;
    std::optional<std::string> imageName;
    double tintAlpha = OverlayContentMode::defaultLiveTintAlpha;
    OverlayAnimationSet animations;
    AnimationStrength strength = AnimationStrength::subtle;
    // Always the message (the saved text or "Back soon"), whether or not the note is switched on.
    std::optional<std::string> awayNote;
    AwayNoteStyle awayNoteStyle = AwayNoteStyle::lockScreen;
    std::optional<std::string> awayNoteReturnLine;

    static OverlayPreview fromPreferences(const Preferences& prefs, bool reduceMotion,
                                          std::chrono::system_clock::time_point now);
    OverlayContent content() const;

    // The drawn sample desktop, 640 × 360, made once; null if it could not be made.
    static const QImage& sampleImage();
    // An imported image by its stored name, loaded once; null when it cannot be read.
    static QImage userImage(const std::string& name);
};

// The card: the overlay view (330 × 196, no input guarding) with the sample desktop behind the
// transparent tint. Effects restart only when what they depend on changes.
class OverlayPreviewCanvas : public QWidget {
public:
    static constexpr QSize canvasSize{330, 196};

    struct Signature {
        OverlayContentMode mode = OverlayContentMode::liveTint;
        std::optional<std::string> imageName;
        OverlayAnimationSet animations;
        AnimationStrength strength = AnimationStrength::subtle;
        friend bool operator==(const Signature&, const Signature&) = default;
    };

    OverlayPreviewCanvas(Scheduler& scheduler, QWidget* parent = nullptr);

    void apply(const OverlayPreview& preview);
    OverlayView* view() const { return view_; }
    // How many times the effects were (re)started.
    int animationStarts() const { return starts_; }

protected:
    // The effects run only while the card is on screen.
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    OverlayView* view_;
    std::optional<OverlayPreview> last_;
    std::optional<Signature> applied_;
    int starts_ = 0;
};

} // namespace tolva
