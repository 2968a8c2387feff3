// Base for the string-backed enumerations: raw values, exact parsing and the list of cases.
// A derived type declares its `Value` cases and a `rawValues` table in the same order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tolva {

template <class Derived, std::size_t N> class StringEnum {
public:
    static constexpr std::size_t caseCount = N;

    std::string_view rawValue() const { return Derived::rawValues[index_]; }

    // Exact, case-sensitive match against the raw values.
    static std::optional<Derived> fromRawValue(std::string_view raw) {
        for (std::size_t i = 0; i < N; ++i)
            if (Derived::rawValues[i] == raw)
                return Derived(static_cast<typename Derived::Value>(i));
        return std::nullopt;
    }

    static constexpr std::array<Derived, N> allCases() {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return std::array<Derived, N>{Derived(static_cast<typename Derived::Value>(I))...};
        }
        (std::make_index_sequence<N>{});
    }

protected:
    constexpr explicit StringEnum(std::uint8_t index) : index_(index) {}
    constexpr std::uint8_t index() const { return index_; }

private:
    std::uint8_t index_;
};

} // namespace tolva
