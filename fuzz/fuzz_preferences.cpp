// The preferences file: any bytes are decoded without crashing; whatever decodes is written back
// and read again unchanged; every preference read from it stays within its documented range.
#include "TolvaCore/DefaultsStore.h"
#include "TolvaCore/JsonFileDefaultsStore.h"
#include "TolvaCore/Preferences.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

using namespace tolva;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto decoded = JsonFileDefaultsStore::decode(text);
    if (!decoded)
        return 0;
    auto again = JsonFileDefaultsStore::decode(JsonFileDefaultsStore::encode(*decoded));
    if (!again || *again != *decoded)
        std::abort(); // what the program writes must read back as written

    auto store = std::make_shared<InMemoryDefaultsStore>();
    for (const auto& [key, value] : *decoded)
        store->setObject(key, value);
    Preferences prefs(store);
    const auto idle = prefs.idleTimeoutSeconds();
    if (idle < 0 || idle > 3600)
        std::abort();
    const double opacity = prefs.liveTintOpacity();
    if (!(opacity >= 0.02 && opacity <= 0.5))
        std::abort();
    const auto keepAwake = prefs.keepAwakeSeconds();
    if (keepAwake < 1800 || keepAwake > 14400)
        std::abort();
    if (prefs.awayNoteText().size() > Preferences::awayNoteMaxLength * 64)
        std::abort(); // 80 characters, however many bytes each
    (void)prefs.overlayContentMode();
    (void)prefs.overlayColor().hexString();
    (void)prefs.overlayImageFileName();
    (void)prefs.awayNote(true);
    (void)prefs.awayNoteStyle();
    (void)prefs.effectiveAnimations(false);
    (void)prefs.animationStrength();
    if (auto hotKey = prefs.lockHotKey())
        (void)hotKey->displayString();
    (void)prefs.settingsWindowPlacement();
    (void)prefs.appLanguage();
    return 0;
}
