// Everything the unlock panel shows, as one comparable value that the lock controller rebuilds
// after every change and pushes to the panel of every overlay window.
#pragma once

#include "TolvaCore/PinRecord.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolva {

struct UnlockPanelModel {
    std::int64_t filled = 0;
    std::int64_t total = 4;
    std::string title;
    std::optional<std::string> message; // replaces the title, shown in red
    bool inputEnabled = true;
    std::optional<std::string> note;

    // What the model is made from.
    struct Inputs {
        std::string_view typed;                   // the entry's text (a view: it is a secret)
        std::optional<PinRecord> record;          // the configured PIN, if any
        std::optional<double> remainingWait;      // seconds of a running backoff wait
        std::optional<std::string> promptMessage; // the last rejection, if any
        bool verifying = false;
        bool accessibilityGranted = true;
        bool secureInputActive = false;
        bool tapActive = true;
        bool allowLoginPassword = true;
    };
    static UnlockPanelModel derive(const Inputs& inputs);

    friend bool operator==(const UnlockPanelModel&, const UnlockPanelModel&) = default;
};

} // namespace tolva
