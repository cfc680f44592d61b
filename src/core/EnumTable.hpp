#pragma once
// Enumerations with stored raw values: one table per enumeration, in case order, found by
// argument-dependent lookup of enumCasesOf(E) in the enumeration's own namespace.
#include <array>
#include <optional>
#include <span>
#include <string_view>

namespace fv {

// One case: the name used in code and on the command line, the stored raw value, and the
// localisation key of its label (empty where it has none).
template <typename E>
struct EnumCase {
    E value;
    std::string_view name;
    std::string_view raw;
    std::string_view key;
};

template <typename E>
std::span<const EnumCase<E>> enumCases() {
    return enumCasesOf(E{});
}

template <typename E>
const EnumCase<E>& enumCase(E e) {
    for (const auto& c : enumCases<E>())
        if (c.value == e) return c;
    return enumCases<E>().front();
}
template <typename E>
std::string_view rawValue(E e) {
    return enumCase(e).raw;
}
template <typename E>
std::string_view caseName(E e) {
    return enumCase(e).name;
}
template <typename E>
std::string_view localizationKey(E e) {
    return enumCase(e).key;
}
template <typename E>
std::optional<E> fromRaw(std::string_view raw) {
    for (const auto& c : enumCases<E>())
        if (c.raw == raw) return c.value;
    return std::nullopt;
}
template <typename E>
std::optional<E> fromCaseName(std::string_view name) {
    for (const auto& c : enumCases<E>())
        if (c.name == name) return c.value;
    return std::nullopt;
}

}  // namespace fv

// Declares an enumeration's table (in a header, in the enumeration's namespace).
#define FV_ENUM_TABLE_DECL(E) std::span<const ::fv::EnumCase<E>> enumCasesOf(E)

// Defines an enumeration's table (in a source file, in the enumeration's namespace).
#define FV_ENUM_TABLE(E, ...)                                                            \
    std::span<const ::fv::EnumCase<E>> enumCasesOf(E) {                                  \
        static const std::array table = std::to_array<::fv::EnumCase<E>>({__VA_ARGS__}); \
        return table;                                                                    \
    }
