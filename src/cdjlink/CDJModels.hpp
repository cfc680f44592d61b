#pragma once
// The records the link side shares: the library offered to players, the link settings, and what
// the link sees (peers, deck states).
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/Json.hpp"

namespace fv::cdj {

struct CDJCue {
    int64_t kind = 0;
    int64_t inMs = 0;
    int64_t outMs = 0;
    int64_t colorIndex = 0;
    std::string comment;

    // All five keys are required.
    static CDJCue fromJson(const json& j);
    ordered_json toJson() const;
    bool operator==(const CDJCue&) const = default;
};

struct CDJTrack {
    uint32_t id = 0;
    std::string title;
    std::string artist;
    std::string album;
    std::string genre;
    std::string key;
    uint32_t keyId = 0;
    int64_t bpm100 = 0;  // 12800 = 128.00 BPM
    int64_t duration = 0;  // seconds
    std::string filePath;
    int64_t fileSize = 0;
    std::string fileType;
    // Analysis file paths by kind ("DAT", "EXT", "2EX"); null where the file does not exist.
    std::map<std::string, std::optional<std::string>> anlz;
    std::optional<std::string> artwork;
    std::string comment;
    int64_t rating = 0;
    int64_t color = 0;
    int64_t year = 0;
    std::vector<CDJCue> cues;

    // Only id is required (low 32 bits of a 64-bit integer); a wrong type anywhere fails the record.
    static CDJTrack fromJson(const json& j);
    // Every key in declaration order; artwork only when set.
    ordered_json toJson() const;
    bool operator==(const CDJTrack&) const = default;
};

// A JSON array of track records (text); throws DecodeError naming the failing element.
std::vector<CDJTrack> parseTracks(std::string_view jsonText);
std::vector<CDJTrack> decodeTracks(const json& array);

// The record used where a track is not backed by a file.
inline constexpr std::string_view blankTrackJson =
    R"({"id":0,"title":"","artist":"","album":"","genre":"","key":"","keyId":0,"bpm100":0,"duration":0,)"
    R"("filePath":"","fileSize":0,"fileType":"mp3","anlz":{},"artwork":null,"comment":"","rating":0,"color":0,)"
    R"("year":0,"cues":[]})";
const CDJTrack& blankTrack();

struct CDJPlaylist {
    uint32_t id = 0;
    std::string name;
    std::vector<uint32_t> trackIds;

    bool operator==(const CDJPlaylist&) const = default;
};

enum class CDJColumn { none, artist, album, genre, key, bpm, rating, time, label, comments, color, dateAdded };
enum class CDJWaveColor { blue, rgb, threeBand };
enum class CDJOverview { half, full };
enum class CDJKeyDisplay { classic, alpha };
enum class CDJWavePosition { center, left };
enum class CDJRootCategory { playlist, track, search };

// Raw values as stored; the case lists are in display order.
std::string_view rawValue(CDJColumn v);
std::string_view rawValue(CDJWaveColor v);
std::string_view rawValue(CDJOverview v);
std::string_view rawValue(CDJKeyDisplay v);
std::string_view rawValue(CDJWavePosition v);
std::string_view rawValue(CDJRootCategory v);

template <typename E>
std::span<const E> allCases();
template <>
std::span<const CDJColumn> allCases<CDJColumn>();
template <>
std::span<const CDJWaveColor> allCases<CDJWaveColor>();
template <>
std::span<const CDJOverview> allCases<CDJOverview>();
template <>
std::span<const CDJKeyDisplay> allCases<CDJKeyDisplay>();
template <>
std::span<const CDJWavePosition> allCases<CDJWavePosition>();
template <>
std::span<const CDJRootCategory> allCases<CDJRootCategory>();

// The case for a raw value; nothing for a value outside the table.
template <typename E>
std::optional<E> fromRawValue(std::string_view raw) {
    for (E e : allCases<E>())
        if (rawValue(e) == raw) return e;
    return std::nullopt;
}

struct CDJSortEntry {
    int64_t id = 0;
    std::string label;
    int64_t menuType = 0;
    CDJColumn column = CDJColumn::none;

    bool operator==(const CDJSortEntry&) const = default;
};

struct CDJLinkSettings {
    std::string deviceName = "Floorvote Library";
    uint8_t deviceNumber = 17;
    std::string interfaceName;  // empty: choose automatically
    uint16_t dbPort = 1051;
    CDJColumn column = CDJColumn::artist;
    CDJWaveColor waveColor = CDJWaveColor::threeBand;
    CDJOverview overview = CDJOverview::half;
    CDJKeyDisplay keyDisplay = CDJKeyDisplay::classic;
    CDJWavePosition wavePosition = CDJWavePosition::left;
    std::vector<int64_t> sortMenuIds{0, 1, 2, 3, 4, 5, 6, 12};
    std::vector<CDJRootCategory> rootCategories{CDJRootCategory::playlist, CDJRootCategory::track,
                                                CDJRootCategory::search};
    bool showPlayedList = true;
    bool showEventPlaylist = false;
    bool showMessagesList = false;
    int64_t playedAfterSeconds = 60;

    // Every key optional; a wrong type, a number out of range or an unknown enumeration value
    // fails the whole object (DecodeError).
    static CDJLinkSettings fromJson(const json& j);
    ordered_json toJson() const;
    bool operator==(const CDJLinkSettings&) const = default;
};

struct CDJPeer {
    std::string address;
    std::string name;
    int64_t deviceNumber = 0;
    std::string kind;  // "CDJ", "Mixer", "rekordbox"
    std::chrono::steady_clock::time_point lastSeen{};

    bool operator==(const CDJPeer&) const = default;
};

struct CDJDeckState {
    int64_t player = 0;
    std::string address;
    uint32_t trackId = 0;
    int64_t sourceDevice = 0;
    int64_t sourceSlot = 0;
    int64_t playState = 0;
    bool isPlaying = false;
    bool onAir = false;
    bool isMaster = false;
    std::optional<double> bpm;
    bool fromLibrary = false;
    std::chrono::steady_clock::time_point updatedAt{};

    bool operator==(const CDJDeckState&) const = default;
};

// The library served to the players, shared by the servers' queues and the manager. Every
// operation holds the lock for its whole duration and hands out copies.
class CDJLibrary {
public:
    // Stores the tracks (by id) and playlists, drops tag-list ids no longer present, bumps the
    // version. The played set stays.
    void replaceContent(const std::vector<CDJTrack>& tracks, const std::vector<CDJPlaylist>& playlists);
    void setTagged(uint32_t id, bool tagged);
    void markPlayed(uint32_t id);

    std::optional<CDJTrack> track(uint32_t id) const;
    std::vector<CDJTrack> tracks() const;  // by ascending id
    std::vector<CDJPlaylist> playlists() const;
    std::vector<uint32_t> tagList() const;
    std::set<uint32_t> played() const;
    int64_t version() const;
    size_t trackCount() const;
    size_t playlistCount() const;

private:
    mutable std::mutex lock_;
    std::map<uint32_t, CDJTrack> tracks_;
    std::vector<CDJPlaylist> playlists_;
    std::vector<uint32_t> tagList_;
    std::set<uint32_t> played_;
    int64_t version_ = 0;
};

}  // namespace fv::cdj
