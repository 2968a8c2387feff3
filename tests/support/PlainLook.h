// The preferences the whole-program tests and the lock benchmark lock with: set-up done, one
// solid colour, no motion and no away note, so a picture of the screen shows the cover alone.
#pragma once

#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/Preferences.h"

namespace tolva::test {

inline void usePlainLook(SRGBColor colour = SRGBColor(1, 0, 1)) {
    Preferences prefs(JsonFileDefaultsStore::standard());
    prefs.setHasCompletedOnboarding(true);
    prefs.setOverlayContentMode(OverlayContentMode::solidColor);
    prefs.setOverlayColor(colour);
    prefs.setAnimations({});
    prefs.setAwayNoteEnabled(false);
}

} // namespace tolva::test
