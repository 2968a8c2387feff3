#include "platform/wayland/CompositorBinding.h"

#include "platform/KeyTranslation.h"

#include <xkbcommon/xkbcommon.h>

#include <memory>

namespace tolva {

namespace {

constexpr std::uint32_t virtualKeyL = 0x25;

// The keysym name of an X keycode on the US layout, as xkbcommon names it ("l", "F5", "Delete").
std::optional<std::string> usKeyName(std::uint8_t xKeycode) {
    const std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(
        xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES), xkb_context_unref);
    if (!context)
        return std::nullopt;
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    const std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS), xkb_keymap_unref);
    if (!keymap)
        return std::nullopt;
    const xkb_keysym_t* symbols = nullptr;
    if (xkb_keymap_key_get_syms_by_level(keymap.get(), xKeycode, 0, 0, &symbols) < 1)
        return std::nullopt;
    char name[64];
    if (xkb_keysym_get_name(symbols[0], name, sizeof name) <= 0)
        return std::nullopt;
    return std::string(name);
}

} // namespace

std::string swayBindingLine(const std::optional<HotKey>& hotKey) {
    const HotKey chord = hotKey.value_or(HotKey{
        virtualKeyL, HotKeyModifiers{std::uint8_t(HotKeyModifiers::command | HotKeyModifiers::control)}});
    std::optional<std::string> key;
    if (const auto xKeycode = KeyTranslation::xKeycode(chord.keyCode))
        key = usKeyName(*xKeycode);
    std::string line = "bindsym ";
    if (chord.modifiers.contains(HotKeyModifiers::command))
        line += "Mod4+";
    if (chord.modifiers.contains(HotKeyModifiers::control))
        line += "Ctrl+";
    if (chord.modifiers.contains(HotKeyModifiers::option))
        line += "Mod1+";
    if (chord.modifiers.contains(HotKeyModifiers::shift))
        line += "Shift+";
    return line + key.value_or("l") + " exec tolva-screen --lock";
}

std::optional<std::string> gnomeAccelerator(const HotKey& hotKey) {
    const auto xKeycode = KeyTranslation::xKeycode(hotKey.keyCode);
    const auto key = xKeycode ? usKeyName(*xKeycode) : std::nullopt;
    if (!key)
        return std::nullopt;
    std::string accelerator;
    if (hotKey.modifiers.contains(HotKeyModifiers::control))
        accelerator += "<Control>";
    if (hotKey.modifiers.contains(HotKeyModifiers::option))
        accelerator += "<Alt>";
    if (hotKey.modifiers.contains(HotKeyModifiers::shift))
        accelerator += "<Shift>";
    if (hotKey.modifiers.contains(HotKeyModifiers::command))
        accelerator += "<Super>";
    return accelerator + *key;
}

} // namespace tolva
