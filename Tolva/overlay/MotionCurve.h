// The timing of the overlay's slow effects: ease-in-ease-out moves and endlessly repeating,
// auto-reversing ones, and the next moment their value visibly changes, so the overlay is
// repainted only then and never more often.
#pragma once

#include <optional>

namespace tolva {

// The standard ease-in-ease-out timing curve, cubic Bézier (0.42, 0) (0.58, 1); t in 0…1.
double easeInOut(double t);
// Its inverse: the t at which the curve reaches `value` (0…1).
double easeInOutInverse(double value);

// from → to in `oneWay` seconds, back in as long, forever.
struct AutoReversingCurve {
    double oneWay = 1;
    double from = 0;
    double to = 1;

    double value(double elapsed) const;
    // The first moment after `elapsed` at which value / quantum rounds to another whole number.
    double nextChange(double elapsed, double quantum) const;
};

// One eased move from → to over `duration` seconds, starting at 0.
struct EasedMove {
    double duration = 1;
    double from = 0;
    double to = 0;

    double value(double elapsed) const;
    // As for AutoReversingCurve; nothing once the move has ended.
    std::optional<double> nextChange(double elapsed, double quantum) const;
};

} // namespace tolva
