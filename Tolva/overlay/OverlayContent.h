// Everything the overlay windows need to draw one lock, resolved from the preferences when the
// lock begins. Snapshots live only here, in memory, for the length of the lock.
#pragma once

#include "TolvaCore/AwayNoteStyle.h"
#include "TolvaCore/OverlayAnimation.h"

#include <QColor>
#include <QImage>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace tolva {

struct OverlayContent {
    QColor background = QColor(16, 18, 24);
    QImage sharedImage;                        // null when there is none
    std::map<std::uint32_t, QImage> snapshots; // per display
    // The snapshot is copied by the X server from the screen itself when the windows go up.
    bool captureInServer = false;
    // The user's picture as stored (ImageStore::identity): what the server may already hold
    // scaled, so that it need not even be decoded.
    std::string imageIdentity;
    OverlayAnimationSet animations;
    OverlayAnimationTuning tuning = OverlayAnimationTuning::tuning(AnimationStrength::subtle);
    bool isTranslucent = false;
    double tintAlpha = 0.06;
    std::optional<std::string> awayNote;
    AwayNoteStyle awayNoteStyle = AwayNoteStyle::lockScreen;
    std::optional<std::string> awayNoteReturnLine;

    // The picture for one display: its own snapshot, else the shared image (maybe null).
    QImage picture(std::optional<std::uint32_t> displayID) const;
    // The live tint: the colour at the tint's opacity.
    QColor tintColour() const {
        QColor colour = background;
        colour.setAlphaF(tintAlpha);
        return colour;
    }
};

} // namespace tolva
