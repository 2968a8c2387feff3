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

    if (!in.accessibilityGranted)
        model.note = L10n::Unlock::Note::accessibilityRevoked();
    else if (in.secureInputActive)
        model.note = L10n::Unlock::Note::secureInput();
    else if (!in.tapActive)
        model.note = L10n::Unlock::Note::tapInactive();
    if (!model.note && in.allowLoginPassword)
        model.note = L10n::Unlock::Note::passwordHint();

    model.total = in.record ? in.record->length : 4;

    const auto characters = graphemes(in.typed);
    bool allDigits = !characters.empty();
    for (const auto& c : characters)
        allDigits = allDigits && PinPolicy::isAsciiDigit(c);
    const bool passwordMode = in.allowLoginPassword && !characters.empty() &&
                              (!allDigits || static_cast<std::int64_t>(characters.size()) > model.total);

    if (waiting)
        model.message = L10n::Unlock::Error::retryAfter(
            Preferences::durationTitle(static_cast<std::int64_t>(std::ceil(*in.remainingWait))));
    else
        model.message = in.promptMessage;
    model.filled = static_cast<std::int64_t>(characters.size());
    // While another program holds the keyboard, typing goes to it: nothing here invites the user
    // to type until the keyboard is back.
    model.title = in.secureInputActive ? L10n::Unlock::Prompt::keyboardBusy()
                  : passwordMode       ? L10n::Unlock::Prompt::passwordTitle()
                                       : L10n::Unlock::Prompt::pinTitle();
    model.inputEnabled = !waiting && !in.verifying;
    return model;
}

} // namespace tolva
