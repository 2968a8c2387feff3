// Bézier easing and the search for the next visible change.
#include "overlay/MotionCurve.h"

#include <algorithm>
#include <cmath>

namespace tolva {

namespace {

// One coordinate of the cubic Bézier with end points 0 and 1 and control values a, b.
double bezier(double u, double a, double b) {
    const double v = 1 - u;
    return 3 * v * v * u * a + 3 * v * u * u * b + u * u * u;
}

// The u at which bezier(u, a, b) = x, by bisection (the curve is monotonic for our controls).
double solve(double x, double a, double b) {
    double lo = 0, hi = 1;
    for (int i = 0; i < 60; ++i) {
        const double mid = (lo + hi) / 2;
        (bezier(mid, a, b) < x ? lo : hi) = mid;
    }
    return (lo + hi) / 2;
}

double level(double value, double quantum) {
    return std::round(value / quantum);
}

// Within one monotonic stretch from `a` to `b` over `span` seconds (eased), the time after
// `t` (seconds into the stretch) where the quantised value first leaves its current level.
std::optional<double> nextInStretch(double t, double span, double a, double b, double quantum) {
    if (a == b || t >= span)
        return std::nullopt;
    const double now = a + (b - a) * easeInOut(t / span);
    const double current = level(now, quantum);
    // The boundary between this level and the next one in the direction of travel.
    const double boundary = (b > a ? current + 0.5 : current - 0.5) * quantum;
    if ((b > a && boundary >= b) || (b < a && boundary <= b))
        return std::nullopt;
    const double progress = std::clamp((boundary - a) / (b - a), 0.0, 1.0);
    const double at = easeInOutInverse(progress) * span;
    // Step just past the boundary so the value there is on the new level.
    return std::max(at, t) + 1e-6;
}

} // namespace

double easeInOut(double t) {
    if (t <= 0)
        return 0;
    if (t >= 1)
        return 1;
    return bezier(solve(t, 0.42, 0.58), 0.0, 1.0);
}

double easeInOutInverse(double value) {
    value = std::clamp(value, 0.0, 1.0);
    return bezier(solve(value, 0.0, 1.0), 0.42, 0.58);
}

double AutoReversingCurve::value(double elapsed) const {
    const double cycle = 2 * oneWay;
    const double phase = std::fmod(std::max(0.0, elapsed), cycle);
    const double progress = phase < oneWay ? phase / oneWay : (cycle - phase) / oneWay;
    return from + (to - from) * easeInOut(progress);
}

double AutoReversingCurve::nextChange(double elapsed, double quantum) const {
    const double cycle = 2 * oneWay;
    const double base = std::floor(std::max(0.0, elapsed) / cycle) * cycle;
    double phase = std::max(0.0, elapsed) - base;
    // Try the rest of the current half, then the following halves (there is always a change
    // within two halves unless the whole travel is below one quantum).
    for (int half = 0; half < 4; ++half) {
        const double halfStart = std::floor(phase / oneWay) * oneWay;
        const bool forward = std::fmod(std::floor(phase / oneWay), 2.0) == 0;
        const auto next =
            nextInStretch(phase - halfStart, oneWay, forward ? from : to, forward ? to : from, quantum);
        if (next)
            return base + halfStart + *next;
        phase = halfStart + oneWay;
    }
    return base + phase; // too small to ever show: look again a cycle later
}

double EasedMove::value(double elapsed) const {
    if (duration <= 0)
        return to;
    return from + (to - from) * easeInOut(elapsed / duration);
}

std::optional<double> EasedMove::nextChange(double elapsed, double quantum) const {
    return nextInStretch(std::max(0.0, elapsed), duration, from, to, quantum);
}

} // namespace tolva
