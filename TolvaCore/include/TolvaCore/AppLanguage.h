// The seven interface languages and the matching of a system preference list against them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolva {

class AppLanguage {
public:
    enum Value : std::uint8_t { en, zhHans, zhHant, de, fr, ja, ko };

    constexpr AppLanguage(Value value) : value_(value) {}
    constexpr operator Value() const { return value_; }

    static const std::array<AppLanguage, 7>& allCases();
    // Exact, case-sensitive match against the raw values.
    static std::optional<AppLanguage> fromRawValue(std::string_view raw);

    // Best match of a preference list (BCP 47 or POSIX identifiers, most preferred first)
    // with language-script-region fallback; English when nothing matches.
    static AppLanguage resolve(const std::vector<std::string>& preferred);

    std::string_view rawValue() const;
    std::string_view id() const { return rawValue(); }
    std::string_view endonym() const;
    // ICU locale identifier for formatting ("zh_Hans" and so on).
    std::string localeIdentifier() const;

private:
    Value value_;
};

} // namespace tolva
