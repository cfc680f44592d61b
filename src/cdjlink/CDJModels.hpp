#pragma once
// The records the link side shares: the library offered to players, the link settings, and what
// the link sees (peers, deck states).
#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
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

// The orders the players' track lists come in; several sort ids of the sort menu share one.
enum class CDJTrackOrder : uint8_t { title, artist, album, genre, bpm, rating, time, key, dateAdded };
inline constexpr size_t cdjTrackOrderCount = 9;
inline constexpr size_t cdjTextOrderCount = 4;  // title to genre go by text

// Position 1 to 24 on the key wheel of a key text (blanks around it ignored); 0 when unknown.
uint32_t keyPosition(std::string_view keyText);

// A track as the servers read it, with what they derive from it made once, when the content is
// replaced, instead of on every request: the search text and the sort keys of the track lists.
struct CDJLibraryTrack {
    explicit CDJLibraryTrack(CDJTrack t);

    CDJTrack track;
    std::string searchText;  // lowerText(title + " " + artist)
    // By text order: sortKeyOf(title), sortKeyOf(artist + '\x01' + title), and so on.
    std::array<std::string, cdjTextOrderCount> sortKeys;
};

// One content of the library, never changed once published: readers hold on to the content they
// got for as long as they need it, without copying it and without the lock. A track unchanged
// from one content to the next is the same shared object in both.
struct CDJLibraryContent {
    using TrackPtr = std::shared_ptr<const CDJLibraryTrack>;

    int64_t version = 0;
    std::vector<TrackPtr> tracks;  // ascending id, ids unique
    std::vector<uint32_t> ids;     // tracks[i]->track.id, kept together for searching
    std::vector<CDJPlaylist> playlists;
    // By CDJTrackOrder: indexes into tracks in that order (equal keys by id), and the rank of each
    // track's key in it (equal keys, equal rank), to sort any part of the tracks by it.
    std::array<std::vector<uint32_t>, cdjTrackOrderCount> sortedBy;
    std::array<std::vector<uint32_t>, cdjTrackOrderCount> rankIn;

    // Index into tracks of an id, or of the first track above it.
    size_t lowerBound(uint32_t id) const;
    const CDJLibraryTrack* find(uint32_t id) const;
    TrackPtr findShared(uint32_t id) const;
};

// The library served to the players, shared by the servers' queues and the manager. Every
// operation holds the lock for its whole duration; the content is read as a shared snapshot, the
// rest is handed out as copies.
class CDJLibrary {
public:
    CDJLibrary();
    ~CDJLibrary();
    CDJLibrary(const CDJLibrary&) = delete;
    CDJLibrary& operator=(const CDJLibrary&) = delete;

    // Stores the tracks (by id; a later duplicate id wins) and playlists, drops tag-list ids no
    // longer present, bumps the version. The played set stays. Tracks equal to the current ones
    // are carried over as they are. Every order of the track lists is sorted here, on the caller's
    // thread, so the servers' first request after a change does not wait for it.
    void replaceContent(const std::vector<CDJTrack>& tracks, const std::vector<CDJPlaylist>& playlists);
    void setTagged(uint32_t id, bool tagged);
    void markPlayed(uint32_t id);

    // The current content; constant time.
    std::shared_ptr<const CDJLibraryContent> content() const;
    std::optional<CDJTrack> track(uint32_t id) const;
    std::vector<CDJTrack> tracks() const;  // by ascending id
    std::vector<CDJPlaylist> playlists() const;
    std::vector<uint32_t> tagList() const;
    std::set<uint32_t> played() const;
    int64_t version() const;
    size_t trackCount() const;
    size_t playlistCount() const;

private:
    struct Retired;
    std::shared_ptr<const CDJLibraryContent> publish(std::unique_ptr<CDJLibraryContent> content);

    mutable std::mutex lock_;
    std::shared_ptr<const CDJLibraryContent> content_;
    std::vector<uint32_t> tagList_;
    std::set<uint32_t> played_;
    // Contents no reader holds any more, freed by the next replacement instead of by whichever
    // server queue let go of them last (freeing 10,000 tracks takes milliseconds).
    std::shared_ptr<Retired> retired_;
};

}  // namespace fv::cdj
