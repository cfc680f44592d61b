#pragma once
// What the remote database answers: the request handler behind each session, the menus it
// prepares from the library and the settings, and the render of prepared menus. Runs on the
// database server's queue.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "cdjlink/CDJDbCodec.hpp"
#include "cdjlink/CDJModels.hpp"

namespace fv::cdj {

class CDJDbSession;

// Item type codes.
namespace dbitem {
inline constexpr int64_t album = 0x02;
inline constexpr int64_t track = 0x04;
inline constexpr int64_t genre = 0x06;
inline constexpr int64_t artist = 0x07;
inline constexpr int64_t playlist = 0x08;
inline constexpr int64_t rating = 0x0a;
inline constexpr int64_t duration = 0x0b;
inline constexpr int64_t tempo = 0x0d;
inline constexpr int64_t label = 0x0e;
inline constexpr int64_t key = 0x0f;
inline constexpr int64_t bitRate = 0x10;
inline constexpr int64_t year = 0x11;
inline constexpr int64_t color = 0x13;
inline constexpr int64_t comment = 0x23;
inline constexpr int64_t originalArtist = 0x28;
inline constexpr int64_t remixer = 0x29;
inline constexpr int64_t dateAdded = 0x2e;
inline constexpr int64_t rootTrack = 0x83;
inline constexpr int64_t rootPlaylist = 0x84;
inline constexpr int64_t rootSearch = 0x91;
}  // namespace dbitem

// One row of a menu.
struct CDJMenuItem {
    uint32_t parent = 0;
    uint32_t id = 0;
    std::string label1;
    std::string label2;
    int64_t itemType = 0;
    uint32_t artId = 0;
    std::shared_ptr<const CDJTrack> track;  // the track behind a track row
    bool isTitle = false;
    bool isTrackInfo = false;
    bool isMeta = false;  // a virtual entry (guest message) that cannot be loaded
    int64_t pos = 0;
    std::optional<uint32_t> f8Override;
    std::string sortKey;  // already folded for comparison (see sortKeyOf)
    std::optional<int64_t> sortNum;
    uint32_t columnCode = 0;  // track rows: the column label2 shows

    bool isTrackRow() const { return track && !isTrackInfo; }
};

// Prepared menus are shared between the session's lookups instead of copied.
using CDJMenuList = std::shared_ptr<const std::vector<CDJMenuItem>>;

// The library as the menus read it, rebuilt when the library's version changes: one shared copy
// of each track, the lower-cased search texts and the all-tracks lists already sorted, so a
// player browsing 10,000 tracks does not pay for copying and sorting them on every visit.
// Lives on the database server's queue.
class CDJDbTrackIndex {
public:
    using TrackPtr = std::shared_ptr<const CDJTrack>;
    // Sorted all-tracks lists kept at once (sort order and column).
    static constexpr size_t maxCachedLists = 8;

    void refresh(const CDJLibrary& library);
    int64_t version() const { return version_; }
    const std::vector<TrackPtr>& tracks() const { return tracks_; }  // ascending id
    TrackPtr find(uint32_t id) const;
    // lowerText(title + " " + artist) of tracks()[i].
    const std::string& searchText(size_t i) const { return searchTexts_[i]; }

    CDJMenuList cachedList(int64_t sortId, CDJColumn column) const;
    void storeList(int64_t sortId, CDJColumn column, CDJMenuList list);

private:
    int64_t version_ = -1;
    std::vector<TrackPtr> tracks_;
    std::vector<std::string> searchTexts_;
    std::vector<std::tuple<int64_t, CDJColumn, CDJMenuList>> lists_;
};

// A response before encoding; the session adds the request's transaction id.
struct CDJDbResponse {
    uint16_t type = 0;
    std::vector<CDJOutArg> args;
};

// The fixed sort table, in display order.
const std::vector<CDJSortEntry>& cdjSortEntries();
// The number a column is sent as.
uint32_t columnCode(CDJColumn column);
// Position 1 to 24 on the key wheel of a key text (blanks around it ignored); 0 when unknown.
uint32_t keyPosition(std::string_view keyText);
// The text shown in a track list's second column.
std::string columnText(const CDJTrack& track, CDJColumn column);
// A track that no file backs (the virtual message entries): nothing to load.
inline bool isVirtualTrack(const CDJTrack& t) { return t.filePath.empty(); }

// Unicode lower case (search). Sort keys fold case and Latin diacritics ("Ä" sorts with "a",
// "ß" as "ss"), so the order reads naturally whatever locale the machine has; the original text
// breaks ties.
std::string lowerText(std::string_view text);
std::string sortKeyOf(std::string_view text);
// By sortNum when both rows have one, else by sortKey; stable.
void sortMenuItems(std::vector<CDJMenuItem>& items);

// The root rows for the configured categories.
std::vector<CDJMenuItem> rootMenuItems(const CDJLinkSettings& settings);

// The 16 arguments of a 0x4101 item message; `tagged` says the row's track is on the Tag List.
std::vector<CDJOutArg> menuItemArgs(const CDJMenuItem& item, bool tagged);

// Logs the request and returns its responses (possibly none).
std::vector<CDJDbResponse> handleDbRequest(CDJDbSession& session, const CDJDbMessage& request);

}  // namespace fv::cdj
