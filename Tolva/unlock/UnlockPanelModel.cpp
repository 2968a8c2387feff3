// Deriving the unlock panel's model.
#include "unlock/UnlockPanelModel.h"

#include "TolvaCore/Graphemes.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/PinPolicy.h"
#include "TolvaCore/Preferences.h"

#include <cmath>

namespace tolva {

UnlockPanelModel UnlockPanelModel::derive(const Inputs& in) {
    UnlockPanelModel model;
    const bool waiting = in.remainingWait && *in.remainingWait > 0;

    model.total = in.record ? in.record->length : 4;

    const auto characters = graphemes(in.typed);
    bool allDigits = !characters.empty();
    for (const auto& c : characters)
        allDigits = allDigits && PinPolicy::isAsciiDigit(c);
    const bool passwordMode = in.allowLoginPassword && !characters.empty() &&
                              (!allDigits || static_cast<std::int64_t>(characters.size()) > model.total);

    if (!in.accessibilityGranted)
        model.note = L10n::Unlock::Note::accessibilityRevoked();
    else if (in.secureInputActive)
        model.note = L10n::Unlock::Note::secureInput();
    else if (!in.tapActive)
        model.note = L10n::Unlock::Note::tapInactive();
    // The hint to use the login password goes while the title already asks for it, and during a
    // wait, which holds the password back as well.
    if (!model.note && in.allowLoginPassword && !passwordMode && !waiting)
        model.note = L10n::Unlock::Note::passwordHint();

    if (waiting)
        model.message = L10n::Unlock::Error::retryAfter(
            Preferences::durationTitle(static_cast<std::int64_t>(std::ceil(*in.remainingWait))));
    else
        model.message = in.promptMessage;
    model.filled = static_cast<std::int64_t>(characters.size());
    // A password has no length to show: only what was typed is drawn, no hollow PIN places.
    if (passwordMode)
        model.total = model.filled;
    // While another program holds the keyboard, typing goes to it: nothing here invites the user
    // to type until the keyboard is back. While an entry is checked, the panel says so.
    model.title = in.secureInputActive ? L10n::Unlock::Prompt::keyboardBusy()
                  : in.verifying       ? L10n::Unlock::Prompt::checking()
                  : passwordMode       ? L10n::Unlock::Prompt::passwordTitle()
                                       : L10n::Unlock::Prompt::pinTitle();
    model.inputEnabled = !waiting && !in.verifying;
    return model;
}

} // namespace tolva
