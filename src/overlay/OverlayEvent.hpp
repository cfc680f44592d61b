#pragma once
// One message to the overlay page. Absent optionals are left out of the JSON.
#include <cstdint>
#include <optional>
#include <string>

#include "core/Json.hpp"
#include "overlay/OverlayConfig.hpp"

namespace fv::overlay {

struct OverlayEvent {
    OverlayEventType type = OverlayEventType::nowPlaying;
    std::optional<std::string> title;
    std::optional<std::string> artist;
    std::optional<std::string> guestName;
    std::optional<std::string> content;
    std::optional<int64_t> guestCount;
    std::optional<OverlayConfig> config;
    std::optional<std::string> adHtml;
    std::optional<int64_t> upVotes;
    std::optional<int64_t> downVotes;

    static OverlayEvent nowPlaying(std::string title, std::string artist, std::optional<int64_t> up = std::nullopt,
                                   std::optional<int64_t> down = std::nullopt);
    static OverlayEvent nowPlayingVotes(int64_t up, int64_t down);
    static OverlayEvent requestAccepted(std::string title, std::string artist, std::optional<std::string> guestName);
    static OverlayEvent broadcast(std::string content);
    static OverlayEvent guestCountChanged(int64_t count);
    static OverlayEvent configChanged(const OverlayConfig& config);
    static OverlayEvent adShow(std::string html);
    // What a page gets when it connects: the configuration and the state of the moment.
    static OverlayEvent initialState(const OverlayConfig& config, std::optional<std::string> title,
                                     std::optional<std::string> artist, std::optional<int64_t> guestCount,
                                     std::optional<int64_t> up = std::nullopt,
                                     std::optional<int64_t> down = std::nullopt);

    // "type" is required; the other keys are optional; a wrong type throws DecodeError.
    static OverlayEvent fromJson(const json& j);
    ordered_json toJson() const;
    // The UTF-8 JSON text as it goes into a frame (invalid UTF-8 in a text is replaced, never thrown).
    std::string encode() const;
    bool operator==(const OverlayEvent&) const = default;
};

}  // namespace fv::overlay
