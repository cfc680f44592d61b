#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Json.hpp"

namespace fv {

// One track of a DJ's library (rekordbox, Serato, VirtualDJ, Mixxx, the Music library, a folder).
// Matching works on these records whatever library they came from.
struct RekordboxTrack {
    std::string id;  // made locally, never read from or written to JSON
    std::string title;
    std::string artist;
    std::string genre;
    int64_t duration = 0;  // seconds
    std::optional<double> bpm;
    std::optional<std::string> key;
    std::optional<std::string> contentId;
    std::optional<std::string> folderPath;
    std::optional<std::string> streamingService;
    std::optional<std::string> streamingServiceId;
    std::optional<std::string> isrc;
    std::string djSource;  // the library this record came from; set by whoever builds it

    // Decodes one track of the bridge module's JSON (keys equal the field names). A fresh id is
    // made for every record; djSource stays empty for the caller to set.
    static RekordboxTrack fromJson(const json& j);
    // The module's keys; neither id nor djSource is written.
    json toJson() const;
    bool operator==(const RekordboxTrack&) const = default;
};

// A JSON array of tracks, each decoded as above; anything else throws DecodeError.
std::vector<RekordboxTrack> rekordboxTracksFromJson(const json& j);

}  // namespace fv
