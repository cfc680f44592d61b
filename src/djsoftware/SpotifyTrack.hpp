#pragma once
// A streaming track to be matched against the DJ's library (Apple Music imports use it too).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fv {

struct SpotifyTrack {
    std::string id;
    std::string title;
    std::string artist;  // the primary artist
    std::vector<std::string> allArtists;
    std::string album;
    int64_t durationMs = 0;
    std::optional<std::string> isrc;
    std::string spotifyUrl;

    bool operator==(const SpotifyTrack&) const = default;
};

}  // namespace fv
