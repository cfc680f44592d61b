#pragma once
// The DJ programs and services a event can name as its DJ software, stored by their raw text.
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace fv {

enum class DJSoftwareType { rekordbox, serato, virtualDJ, spotify, appleMusic, mixxx };

inline constexpr std::array<DJSoftwareType, 6> allDJSoftwareTypes = {
    DJSoftwareType::rekordbox, DJSoftwareType::serato, DJSoftwareType::virtualDJ,
    DJSoftwareType::spotify,   DJSoftwareType::appleMusic, DJSoftwareType::mixxx};

// "rekordbox", "serato", "virtualdj", "spotify", "applemusic", "mixxx".
std::string_view rawValue(DJSoftwareType t);
// "Rekordbox", "Serato DJ", "VirtualDJ", "Spotify", "Apple Music", "Mixxx".
std::string_view displayName(DJSoftwareType t);
// An unknown raw value yields no type.
std::optional<DJSoftwareType> djSoftwareTypeFromRaw(std::string_view raw);

// JSON as the raw value; decoding an unknown value throws DecodeError.
void to_json(nlohmann::json& j, DJSoftwareType t);
void from_json(const nlohmann::json& j, DJSoftwareType& t);

}  // namespace fv
