// The one typed, observable view of the user's settings. Nothing is cached: every read goes
// to the store and applies the property's default and validation; every write goes straight
// back and notifies that property's observers (even when the value did not change).
#pragma once

#include "TolvaCore/AppLanguage.h"
#include "TolvaCore/AwayNoteStyle.h"
#include "TolvaCore/DefaultsStore.h"
#include "TolvaCore/HotKey.h"
#include "TolvaCore/Localization.h"
#include "TolvaCore/OverlayAnimation.h"
#include "TolvaCore/OverlayContentMode.h"
#include "TolvaCore/SRGBColor.h"
#include "TolvaCore/SettingsWindowGeometry.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolva {

class Preferences : public LanguagePreference {
public:
    enum class Property : std::uint8_t {
        idleTimeoutSeconds,
        overlayContentMode,
        liveTintOpacity,
        overlayColor,
        overlayImageFileName,
        hasCompletedOnboarding,
        keepAwakeSeconds,
        lockSystemOnExpiry,
        awayNoteEnabled,
        awayNoteText,
        awayNoteStyle,
        awayNoteShowsReturnTime,
        animationsEnabled,
        animations,
        animationStrength,
        lockHotKey,
        allowLoginPasswordUnlock,
        touchIDEnabled,
        settingsWindowPlacement,
        appLanguage,
    };

    // The store key of each property ("overlayColorHex" for overlayColor, the name otherwise).
    static std::string_view key(Property property);
    static constexpr std::string_view appleLanguagesKey = "AppleLanguages";

    static constexpr std::array<std::int64_t, 6> idleTimeoutChoices = {0, 300, 600, 1200, 1800, 3600};
    static constexpr std::array<std::int64_t, 4> keepAwakeChoices = {1800, 3600, 7200, 14400};
    static constexpr double promptTimeout = 5.0;
    static constexpr std::size_t awayNoteMaxLength = 80;

    explicit Preferences(std::shared_ptr<DefaultsStore> defaults);

    DefaultsStore& defaults() const { return *defaults_; }

    std::int64_t idleTimeoutSeconds() const;
    void setIdleTimeoutSeconds(std::int64_t seconds);
    OverlayContentMode overlayContentMode() const;
    void setOverlayContentMode(OverlayContentMode mode);
    double liveTintOpacity() const;
    void setLiveTintOpacity(double opacity);
    SRGBColor overlayColor() const;
    void setOverlayColor(const SRGBColor& color);
    std::optional<std::string> overlayImageFileName() const;
    void setOverlayImageFileName(const std::optional<std::string>& name);
    bool hasCompletedOnboarding() const;
    void setHasCompletedOnboarding(bool done);
    std::int64_t keepAwakeSeconds() const;
    void setKeepAwakeSeconds(std::int64_t seconds);
    bool lockSystemOnExpiry() const;
    void setLockSystemOnExpiry(bool lock);
    bool awayNoteEnabled() const;
    void setAwayNoteEnabled(bool enabled);
    std::string awayNoteText() const;
    void setAwayNoteText(std::string_view text);
    AwayNoteStyle awayNoteStyle() const;
    void setAwayNoteStyle(AwayNoteStyle style);
    bool awayNoteShowsReturnTime() const;
    void setAwayNoteShowsReturnTime(bool shows);
    bool animationsEnabled() const;
    void setAnimationsEnabled(bool enabled);
    OverlayAnimationSet animations() const;
    void setAnimations(const OverlayAnimationSet& animations);
    AnimationStrength animationStrength() const;
    void setAnimationStrength(AnimationStrength strength);
    std::optional<HotKey> lockHotKey() const;
    void setLockHotKey(const std::optional<HotKey>& hotKey);
    bool allowLoginPasswordUnlock() const;
    void setAllowLoginPasswordUnlock(bool allow);
    bool touchIDEnabled() const;
    void setTouchIDEnabled(bool enabled);
    std::optional<SettingsWindowGeometry::Memory> settingsWindowPlacement() const;
    void setSettingsWindowPlacement(const std::optional<SettingsWindowGeometry::Memory>& memory);
    std::optional<AppLanguage> appLanguage() const override;
    void setAppLanguage(std::optional<AppLanguage> language) override;

    // In-place modification: read the validated value, change it, write it all back.
    // For example: prefs.modify(&Preferences::animations, &Preferences::setAnimations, [](auto& set) {…});
    template <class Get, class Set, class F> void modify(Get get, Set set, F&& change) {
        auto value = (this->*get)();
        change(value);
        (this->*set)(value);
    }

    // None when the away note is off; otherwise its text, or "Back soon" when that is empty.
    std::optional<std::string> effectiveAwayNote() const;
    // As effectiveAwayNote, but `force` skips the enabled flag.
    std::optional<std::string> awayNote(bool force) const;
    // Nothing when effects are off or the system asks for reduced motion.
    OverlayAnimationSet effectiveAnimations(bool reduceMotion) const;

    // One line, trimmed, at most 80 user-perceived characters.
    static std::string normalizeAwayNote(std::string_view text);
    // "Off" for 0, else hours, minutes and seconds spelled out in the interface language.
    static std::string durationTitle(std::int64_t seconds);
    // "Back around 3:45 PM" in the interface language and the local time zone.
    static std::string awayNoteReturnLine(std::chrono::system_clock::time_point time);

    // Observation per property; destroying the token stops it.
    class Observation {
    public:
        Observation() = default;
        Observation(Observation&&) noexcept = default;
        Observation& operator=(Observation&&) noexcept = default;
        ~Observation();
        void reset();

    private:
        friend class Preferences;
        std::weak_ptr<void> registry_;
        std::uint64_t id_ = 0;
    };
    [[nodiscard]] Observation observe(Property property, std::function<void()> onChange);

private:
    // Stores (or removes) the value under the property's key, then notifies its observers.
    void write(Property property, std::optional<DefaultsValue> value);
    void didWrite(Property property);

    struct Observers;
    std::shared_ptr<DefaultsStore> defaults_;
    std::shared_ptr<Observers> observers_;
};

} // namespace tolva
