// Texts for the fingerprint availability.
#include "lock/LockCollaborators.h"

#include "TolvaCore/L10n.h"

namespace tolva {

std::string TouchIDUnlock::Availability::logText() const {
    switch (reason) {
    case Reason::available:
        return "available";
    case Reason::unknown:
        return "not known yet";
    case Reason::noService:
        return "no fingerprint service" + (detail.empty() ? std::string() : " (" + detail + ")");
    case Reason::noDevice:
        return "no fingerprint reader";
    case Reason::noEnrolledFinger:
        return "no enrolled finger";
    case Reason::failed:
        return detail.empty() ? std::string("unknown") : detail;
    }
    return "unknown";
}

std::optional<std::string> TouchIDUnlock::Availability::unavailableText() const {
    switch (reason) {
    case Reason::available:
        return std::nullopt;
    case Reason::noEnrolledFinger:
        return L10n::Settings::Security::touchIDNotEnrolled();
    default:
        return L10n::Settings::Security::touchIDUnavailable();
    }
}

} // namespace tolva
