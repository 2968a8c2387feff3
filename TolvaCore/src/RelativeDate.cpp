// Relative dates through ICU's RelativeDateTimeFormatter, largest fitting unit first.
#include "TolvaCore/RelativeDate.h"

#include "TolvaCore/L10n.h"

#include <unicode/reldatefmt.h>

#include <cmath>

namespace tolva {

std::string relativeDateText(std::chrono::system_clock::time_point date,
                             std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    const double seconds = date >= now ? 0.0 : duration<double>(now - date).count();
    struct Step {
        double limit;
        double length;
        URelativeDateTimeUnit unit;
    };
    static constexpr Step steps[] = {{60, 1, UDAT_REL_UNIT_SECOND},
                                     {3600, 60, UDAT_REL_UNIT_MINUTE},
                                     {86400, 3600, UDAT_REL_UNIT_HOUR},
                                     {7 * 86400, 86400, UDAT_REL_UNIT_DAY},
                                     {30 * 86400, 7 * 86400, UDAT_REL_UNIT_WEEK},
                                     {365 * 86400, 30 * 86400, UDAT_REL_UNIT_MONTH},
                                     {1e300, 365 * 86400, UDAT_REL_UNIT_YEAR}};
    const Step* step = &steps[0];
    for (const Step& candidate : steps) {
        step = &candidate;
        if (seconds < candidate.limit)
            break;
    }
    const double amount = std::floor(seconds / step->length);
    UErrorCode status = U_ZERO_ERROR;
    icu::RelativeDateTimeFormatter formatter(L10n::currentLocale(), nullptr, UDAT_STYLE_LONG,
                                             UDISPCTX_CAPITALIZATION_NONE, status);
    if (U_FAILURE(status))
        return {};
    icu::UnicodeString text;
    // "now" for the present moment; otherwise the named form where the language has one.
    if (amount == 0 && step->unit == UDAT_REL_UNIT_SECOND)
        formatter.format(UDAT_DIRECTION_PLAIN, UDAT_ABSOLUTE_NOW, text, status);
    else
        formatter.format(-amount, step->unit, text, status);
    if (U_FAILURE(status))
        return {};
    std::string result;
    text.toUTF8String(result);
    return result;
}

} // namespace tolva
