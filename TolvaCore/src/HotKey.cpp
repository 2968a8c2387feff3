// Hot key names, validity, display string and JSON form.
#include "TolvaCore/HotKey.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_map>

namespace tolva {

namespace {

const std::unordered_map<std::uint32_t, std::string_view>& keyNames() {
    static const std::unordered_map<std::uint32_t, std::string_view> names = {
        {0, "A"},     {1, "S"},     {2, "D"},     {3, "F"},     {4, "H"},     {5, "G"},      {6, "Z"},
        {7, "X"},     {8, "C"},     {9, "V"},     {11, "B"},    {12, "Q"},    {13, "W"},     {14, "E"},
        {15, "R"},    {16, "Y"},    {17, "T"},    {18, "1"},    {19, "2"},    {20, "3"},     {21, "4"},
        {22, "6"},    {23, "5"},    {24, "="},    {25, "9"},    {26, "7"},    {27, "-"},     {28, "8"},
        {29, "0"},    {30, "]"},    {31, "O"},    {32, "U"},    {33, "["},    {34, "I"},     {35, "P"},
        {36, "↩"},    {37, "L"},    {38, "J"},    {39, "'"},    {40, "K"},    {41, ";"},     {42, "\\"},
        {43, ","},    {44, "/"},    {45, "N"},    {46, "M"},    {47, "."},    {48, "⇥"},     {49, "Space"},
        {50, "`"},    {51, "⌫"},    {53, "⎋"},    {65, "Num."}, {67, "Num*"}, {69, "Num+"},  {71, "NumClear"},
        {75, "Num/"}, {76, "⌤"},    {78, "Num-"}, {81, "Num="}, {82, "Num0"}, {83, "Num1"},  {84, "Num2"},
        {85, "Num3"}, {86, "Num4"}, {87, "Num5"}, {88, "Num6"}, {89, "Num7"}, {91, "Num8"},  {92, "Num9"},
        {96, "F5"},   {97, "F6"},   {98, "F7"},   {99, "F3"},   {100, "F8"},  {101, "F9"},   {103, "F11"},
        {105, "F13"}, {107, "F14"}, {109, "F10"}, {111, "F12"}, {113, "F15"}, {114, "Help"}, {115, "↖"},
        {116, "⇞"},   {117, "⌦"},   {118, "F4"},  {119, "↘"},   {120, "F2"},  {121, "⇟"},    {122, "F1"},
        {123, "←"},   {124, "→"},   {125, "↓"},   {126, "↑"},
    };
    return names;
}

} // namespace

std::uint32_t HotKeyModifiers::carbonFlags() const {
    std::uint32_t flags = 0;
    if (contains(control))
        flags |= 0x1000;
    if (contains(option))
        flags |= 0x0800;
    if (contains(shift))
        flags |= 0x0200;
    if (contains(command))
        flags |= 0x0100;
    return flags;
}

std::string HotKeyModifiers::symbols() const {
    std::string out;
    if (contains(control))
        out += "⌃";
    if (contains(option))
        out += "⌥";
    if (contains(shift))
        out += "⇧";
    if (contains(command))
        out += "⌘";
    return out;
}

std::uint8_t modifierBitsFromEventFlags(std::uint64_t flags) {
    std::uint8_t bits = 0;
    if (flags & 0x40000)
        bits |= HotKeyModifiers::control;
    if (flags & 0x80000)
        bits |= HotKeyModifiers::option;
    if (flags & 0x20000)
        bits |= HotKeyModifiers::shift;
    if (flags & 0x100000)
        bits |= HotKeyModifiers::command;
    return bits;
}

std::optional<std::string_view> HotKey::keyName(std::uint32_t keyCode) {
    auto it = keyNames().find(keyCode);
    if (it == keyNames().end())
        return std::nullopt;
    return it->second;
}

bool HotKey::isValid() const {
    const bool hasModifier = (modifiers.rawValue & (HotKeyModifiers::control | HotKeyModifiers::option |
                                                    HotKeyModifiers::command)) != 0;
    return hasModifier && keyName(keyCode).has_value();
}

std::string HotKey::displayString() const {
    return modifiers.symbols() + std::string(keyName(keyCode).value_or("?"));
}

std::string HotKey::toJSON() const {
    return nlohmann::json{{"keyCode", keyCode}, {"modifiers", modifiers.rawValue}}.dump();
}

std::optional<HotKey> HotKey::fromJSON(std::string_view text) {
    nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains("keyCode") || !json.contains("modifiers"))
        return std::nullopt;
    const auto& keyCode = json["keyCode"];
    const auto& modifiers = json["modifiers"];
    if (!keyCode.is_number_integer() || !modifiers.is_number_integer())
        return std::nullopt;
    auto key = keyCode.get<std::int64_t>();
    auto mods = modifiers.get<std::int64_t>();
    if (key < 0 || key > std::numeric_limits<std::uint32_t>::max() || mods < 0 || mods > 255)
        return std::nullopt;
    return HotKey{static_cast<std::uint32_t>(key), HotKeyModifiers{static_cast<std::uint8_t>(mods)}};
}

} // namespace tolva
