// Preferences: read rules, write rules, observation and the formatting helpers.
#include "TolvaCore/Preferences.h"

#include "TolvaCore/Graphemes.h"
#include "TolvaCore/L10n.h"
#include "TolvaCore/TimeOfDay.h"

#include <cmath>
#include <mutex>
#include <unicode/measfmt.h>
#include <unicode/measunit.h>
#include <unicode/measure.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace tolva {

namespace {

using P = Preferences::Property;

std::optional<std::int64_t> integerValue(const std::optional<DefaultsValue>& value) {
    if (!value)
        return std::nullopt;
    if (auto* i = std::get_if<std::int64_t>(&*value))
        return *i;
    // A real with no fraction is the same number (a hand-edited "3600.0").
    if (auto* d = std::get_if<double>(&*value);
        d && std::isfinite(*d) && std::trunc(*d) == *d && std::fabs(*d) < 9.0e18)
        return static_cast<std::int64_t>(*d);
    return std::nullopt;
}

std::optional<double> numberValue(const std::optional<DefaultsValue>& value) {
    if (!value)
        return std::nullopt;
    if (auto* d = std::get_if<double>(&*value))
        return *d;
    if (auto* i = std::get_if<std::int64_t>(&*value))
        return static_cast<double>(*i);
    return std::nullopt;
}

std::optional<bool> booleanValue(const std::optional<DefaultsValue>& value) {
    if (auto* b = value ? std::get_if<bool>(&*value) : nullptr)
        return *b;
    return std::nullopt;
}

std::optional<std::string> stringValue(const std::optional<DefaultsValue>& value) {
    if (auto* s = value ? std::get_if<std::string>(&*value) : nullptr)
        return *s;
    return std::nullopt;
}

bool isNewline(char32_t c) {
    return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespaceOrNewline(const std::string& cluster) {
    // A cluster counts as white space when its first code point is (as a CR LF pair does).
    char32_t c = firstCodePoint(cluster);
    return isNewline(c) || u_isUWhiteSpace(static_cast<UChar32>(c));
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

} // namespace

struct Preferences::Observers {
    std::mutex mutex;
    std::uint64_t nextId = 1;
    std::map<std::uint64_t, std::pair<Property, std::function<void()>>> entries;
};

std::string_view Preferences::key(Property property) {
    switch (property) {
    case P::idleTimeoutSeconds:
        return "idleTimeoutSeconds";
    case P::overlayContentMode:
        return "overlayContentMode";
    case P::liveTintOpacity:
        return "liveTintOpacity";
    case P::overlayColor:
        return "overlayColorHex";
    case P::overlayImageFileName:
        return "overlayImageFileName";
    case P::hasCompletedOnboarding:
        return "hasCompletedOnboarding";
    case P::keepAwakeSeconds:
        return "keepAwakeSeconds";
    case P::lockSystemOnExpiry:
        return "lockSystemOnExpiry";
    case P::awayNoteEnabled:
        return "awayNoteEnabled";
    case P::awayNoteText:
        return "awayNoteText";
    case P::awayNoteStyle:
        return "awayNoteStyle";
    case P::awayNoteShowsReturnTime:
        return "awayNoteShowsReturnTime";
    case P::animationsEnabled:
        return "animationsEnabled";
    case P::animations:
        return "animations";
    case P::animationStrength:
        return "animationStrength";
    case P::lockHotKey:
        return "lockHotKey";
    case P::allowLoginPasswordUnlock:
        return "allowLoginPasswordUnlock";
    case P::touchIDEnabled:
        return "touchIDEnabled";
    case P::settingsWindowPlacement:
        return "settingsWindowPlacement";
    case P::appLanguage:
        return "appLanguage";
    }
    return "";
}

Preferences::Preferences(std::shared_ptr<DefaultsStore> defaults)
    : defaults_(std::move(defaults)), observers_(std::make_shared<Observers>()) {}

Preferences::Observation::~Observation() {
    reset();
}

void Preferences::Observation::reset() {
    if (auto registry = std::static_pointer_cast<Observers>(registry_.lock())) {
        std::lock_guard lock(registry->mutex);
        registry->entries.erase(id_);
    }
    registry_.reset();
}

Preferences::Observation Preferences::observe(Property property, std::function<void()> onChange) {
    Observation observation;
    std::lock_guard lock(observers_->mutex);
    observation.id_ = observers_->nextId++;
    observation.registry_ = observers_;
    observers_->entries.emplace(observation.id_, std::make_pair(property, std::move(onChange)));
    return observation;
}

void Preferences::write(Property property, std::optional<DefaultsValue> value) {
    defaults_->setObject(key(property), std::move(value));
    didWrite(property);
}

void Preferences::didWrite(Property property) {
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard lock(observers_->mutex);
        for (auto& [id, entry] : observers_->entries)
            if (entry.first == property)
                handlers.push_back(entry.second);
    }
    for (auto& handler : handlers)
        handler();
}

// MARK: properties

std::int64_t Preferences::idleTimeoutSeconds() const {
    auto value = integerValue(defaults_->object(key(P::idleTimeoutSeconds)));
    if (!value)
        return 0;
    for (auto choice : idleTimeoutChoices)
        if (*value == choice)
            return *value;
    return 300;
}

void Preferences::setIdleTimeoutSeconds(std::int64_t seconds) {
    write(P::idleTimeoutSeconds, seconds);
}

OverlayContentMode Preferences::overlayContentMode() const {
    auto raw = stringValue(defaults_->object(key(P::overlayContentMode)));
    auto mode = raw ? OverlayContentMode::fromRawValue(*raw) : std::nullopt;
    return mode.value_or(OverlayContentMode::liveTint);
}

void Preferences::setOverlayContentMode(OverlayContentMode mode) {
    write(P::overlayContentMode, std::string(mode.rawValue()));
}

double Preferences::liveTintOpacity() const {
    auto value = numberValue(defaults_->object(key(P::liveTintOpacity)));
    return OverlayContentMode::clampLiveTintAlpha(value.value_or(OverlayContentMode::defaultLiveTintAlpha));
}

void Preferences::setLiveTintOpacity(double opacity) {
    write(P::liveTintOpacity, OverlayContentMode::clampLiveTintAlpha(opacity));
}

SRGBColor Preferences::overlayColor() const {
    auto hex = stringValue(defaults_->object(key(P::overlayColor)));
    auto color = hex ? SRGBColor::fromHex(*hex) : std::nullopt;
    return color.value_or(SRGBColor::defaultOverlay());
}

void Preferences::setOverlayColor(const SRGBColor& color) {
    write(P::overlayColor, color.hexString());
}

std::optional<std::string> Preferences::overlayImageFileName() const {
    return stringValue(defaults_->object(key(P::overlayImageFileName)));
}

void Preferences::setOverlayImageFileName(const std::optional<std::string>& name) {
    write(P::overlayImageFileName, name ? std::optional<DefaultsValue>(*name) : std::nullopt);
}

bool Preferences::hasCompletedOnboarding() const {
    return defaults_->boolean(key(P::hasCompletedOnboarding));
}

void Preferences::setHasCompletedOnboarding(bool done) {
    write(P::hasCompletedOnboarding, done);
}

std::int64_t Preferences::keepAwakeSeconds() const {
    auto value = integerValue(defaults_->object(key(P::keepAwakeSeconds)));
    if (value)
        for (auto choice : keepAwakeChoices)
            if (*value == choice)
                return *value;
    return 3600;
}

void Preferences::setKeepAwakeSeconds(std::int64_t seconds) {
    write(P::keepAwakeSeconds, seconds);
}

bool Preferences::lockSystemOnExpiry() const {
    return defaults_->boolean(key(P::lockSystemOnExpiry));
}

void Preferences::setLockSystemOnExpiry(bool lock) {
    write(P::lockSystemOnExpiry, lock);
}

bool Preferences::awayNoteEnabled() const {
    return defaults_->boolean(key(P::awayNoteEnabled));
}

void Preferences::setAwayNoteEnabled(bool enabled) {
    write(P::awayNoteEnabled, enabled);
}

std::string Preferences::awayNoteText() const {
    // Capped when read too: a text planted in the file (never written through setAwayNoteText)
    // must not reach the overlay at any length.
    auto stored = stringValue(defaults_->object(key(P::awayNoteText))).value_or("");
    return std::string(graphemePrefix(stored, awayNoteMaxLength));
}

void Preferences::setAwayNoteText(std::string_view text) {
    write(P::awayNoteText, normalizeAwayNote(text));
}

AwayNoteStyle Preferences::awayNoteStyle() const {
    auto raw = stringValue(defaults_->object(key(P::awayNoteStyle)));
    return raw && *raw == "stickyNote" ? AwayNoteStyle::stickyNote : AwayNoteStyle::lockScreen;
}

void Preferences::setAwayNoteStyle(AwayNoteStyle style) {
    write(P::awayNoteStyle, std::string(style.rawValue()));
}

bool Preferences::awayNoteShowsReturnTime() const {
    return booleanValue(defaults_->object(key(P::awayNoteShowsReturnTime))).value_or(true);
}

void Preferences::setAwayNoteShowsReturnTime(bool shows) {
    write(P::awayNoteShowsReturnTime, shows);
}

bool Preferences::animationsEnabled() const {
    return booleanValue(defaults_->object(key(P::animationsEnabled))).value_or(true);
}

void Preferences::setAnimationsEnabled(bool enabled) {
    write(P::animationsEnabled, enabled);
}

OverlayAnimationSet Preferences::animations() const {
    auto list = defaults_->stringArray(key(P::animations));
    if (!list)
        return {OverlayAnimation::pixelShift};
    OverlayAnimationSet set;
    for (const auto& raw : *list)
        if (auto animation = OverlayAnimation::fromRawValue(raw))
            set.insert(*animation);
    return set;
}

void Preferences::setAnimations(const OverlayAnimationSet& animations) {
    write(P::animations, sortedRawValues(animations));
}

AnimationStrength Preferences::animationStrength() const {
    auto raw = stringValue(defaults_->object(key(P::animationStrength)));
    if (raw && *raw == "medium")
        return AnimationStrength::medium;
    if (raw && *raw == "strong")
        return AnimationStrength::strong;
    return AnimationStrength::subtle;
}

void Preferences::setAnimationStrength(AnimationStrength strength) {
    write(P::animationStrength, std::string(strength.rawValue()));
}

std::optional<HotKey> Preferences::lockHotKey() const {
    auto data = defaults_->data(key(P::lockHotKey));
    if (!data)
        return std::nullopt;
    return HotKey::fromJSON(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

void Preferences::setLockHotKey(const std::optional<HotKey>& hotKey) {
    write(P::lockHotKey, hotKey ? std::optional<DefaultsValue>(bytesOf(hotKey->toJSON())) : std::nullopt);
}

bool Preferences::allowLoginPasswordUnlock() const {
    return booleanValue(defaults_->object(key(P::allowLoginPasswordUnlock))).value_or(true);
}

void Preferences::setAllowLoginPasswordUnlock(bool allow) {
    write(P::allowLoginPasswordUnlock, allow);
}

bool Preferences::touchIDEnabled() const {
    return booleanValue(defaults_->object(key(P::touchIDEnabled))).value_or(true);
}

void Preferences::setTouchIDEnabled(bool enabled) {
    write(P::touchIDEnabled, enabled);
}

std::optional<SettingsWindowGeometry::Memory> Preferences::settingsWindowPlacement() const {
    auto data = defaults_->data(key(P::settingsWindowPlacement));
    if (!data)
        return std::nullopt;
    return SettingsWindowGeometry::Memory::fromJSON(
        std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

void Preferences::setSettingsWindowPlacement(const std::optional<SettingsWindowGeometry::Memory>& memory) {
    // A frame that is not finite cannot be encoded as JSON: the key is removed instead.
    bool encodable = memory && std::isfinite(memory->frame.x) && std::isfinite(memory->frame.y) &&
                     std::isfinite(memory->frame.width) && std::isfinite(memory->frame.height) &&
                     std::isfinite(memory->visibleFrame.x) && std::isfinite(memory->visibleFrame.y) &&
                     std::isfinite(memory->visibleFrame.width) && std::isfinite(memory->visibleFrame.height);
    write(P::settingsWindowPlacement,
          encodable ? std::optional<DefaultsValue>(bytesOf(memory->toJSON())) : std::nullopt);
}

std::optional<AppLanguage> Preferences::appLanguage() const {
    auto raw = stringValue(defaults_->object(key(P::appLanguage)));
    return raw ? AppLanguage::fromRawValue(*raw) : std::nullopt;
}

void Preferences::setAppLanguage(std::optional<AppLanguage> language) {
    if (language)
        defaults_->setObject(key(P::appLanguage), std::string(language->rawValue()));
    else
        defaults_->remove(key(P::appLanguage));
    if (defaults_->isStandard()) {
        if (language)
            defaults_->setObject(appleLanguagesKey,
                                 std::vector<std::string>{std::string(language->rawValue())});
        else
            defaults_->remove(appleLanguagesKey);
    }
    didWrite(P::appLanguage);
}

// MARK: derived values

std::optional<std::string> Preferences::effectiveAwayNote() const {
    return awayNote(false);
}

std::optional<std::string> Preferences::awayNote(bool force) const {
    if (!force && !awayNoteEnabled())
        return std::nullopt;
    std::string text = awayNoteText();
    return text.empty() ? L10n::string("awayNote.defaultText") : text;
}

OverlayAnimationSet Preferences::effectiveAnimations(bool reduceMotion) const {
    if (!animationsEnabled() || reduceMotion)
        return {};
    return animations();
}

std::string Preferences::normalizeAwayNote(std::string_view text) {
    // Split at newline characters, drop empty pieces, join the rest with one space.
    std::vector<std::string> clusters;
    bool separatorPending = false;
    for (auto& cluster : graphemes(text)) {
        if (isNewline(firstCodePoint(cluster))) {
            separatorPending = !clusters.empty();
            continue;
        }
        if (separatorPending)
            clusters.emplace_back(" ");
        separatorPending = false;
        clusters.push_back(std::move(cluster));
    }
    // Trim white space and newlines at both ends.
    std::size_t begin = 0, end = clusters.size();
    while (begin < end && isWhitespaceOrNewline(clusters[begin]))
        ++begin;
    while (end > begin && isWhitespaceOrNewline(clusters[end - 1]))
        --end;
    // Keep the first 80 characters; no second trim.
    end = std::min(end, begin + awayNoteMaxLength);
    std::string out;
    for (std::size_t i = begin; i < end; ++i)
        out += clusters[i];
    return out;
}

std::string Preferences::durationTitle(std::int64_t seconds) {
    if (seconds == 0)
        return L10n::string("duration.off");
    const std::int64_t total = seconds < 0 ? -seconds : seconds;
    const std::int64_t parts[3] = {total / 3600, (total % 3600) / 60, total % 60};
    UErrorCode status = U_ZERO_ERROR;
    icu::MeasureUnit* units[3] = {icu::MeasureUnit::createHour(status),
                                  icu::MeasureUnit::createMinute(status),
                                  icu::MeasureUnit::createSecond(status)};
    std::vector<icu::Measure> measures;
    for (int i = 0; i < 3; ++i) {
        if (parts[i] != 0 && U_SUCCESS(status))
            measures.emplace_back(icu::Formattable(static_cast<int64_t>(parts[i])), units[i]->clone(),
                                  status);
        delete units[i];
    }
    icu::MeasureFormat format(L10n::currentLocale(), UMEASFMT_WIDTH_WIDE, status);
    icu::UnicodeString result;
    icu::FieldPosition position;
    format.formatMeasures(measures.data(), static_cast<int32_t>(measures.size()), result, position, status);
    if (U_FAILURE(status))
        return std::to_string(seconds) + " s";
    std::string out;
    result.toUTF8String(out);
    return out;
}

std::string Preferences::awayNoteReturnLine(std::chrono::system_clock::time_point time) {
    // The interface language's wording with the hour cycle of the desktop's clock.
    return L10n::format("awayNote.returnTime", TimeOfDay::shortTime(time));
}

} // namespace tolva
