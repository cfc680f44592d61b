#pragma once
// What the remote database answers: the request handler behind each session, the menus it
// prepares from the library and the settings, and the render of prepared menus. Runs on the
// database server's queue.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cdjlink/CDJDbCodec.hpp"
#include "cdjlink/CDJModels.hpp"
#include "cdjlink/CDJText.hpp"

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

// A prepared menu: rows made up front (the short menus), or tracks of one library content that
// become rows only when rendered, so keeping and dropping a list of 10,000 tracks costs next to
// nothing.
class CDJMenu {
public:
    CDJMenu() = default;
    explicit CDJMenu(std::vector<CDJMenuItem> rows);
    // Track rows for content->tracks[order[i]], showing `column`; positions[i] is a row's list
    // position (none given: 0).
    CDJMenu(std::shared_ptr<const CDJLibraryContent> content, std::shared_ptr<const std::vector<uint32_t>> order,
            CDJColumn column, std::vector<uint32_t> positions = {});

    size_t size() const { return order_ ? order_->size() : rows_.size(); }
    bool empty() const { return size() == 0; }
    CDJMenuItem operator[](size_t i) const;
    // Index of the track row for a track id.
    std::optional<size_t> findTrackRow(uint32_t id) const;

private:
    std::vector<CDJMenuItem> rows_;
    std::shared_ptr<const CDJLibraryContent> content_;
    std::shared_ptr<const std::vector<uint32_t>> order_;
    std::vector<uint32_t> positions_;
    CDJColumn column_ = CDJColumn::none;
};

// Prepared menus are shared between the session's lookups (and, for the all-tracks lists, between
// sessions) instead of copied.
using CDJMenuList = std::shared_ptr<const CDJMenu>;

// The order of a sort id.
CDJTrackOrder trackOrderFor(int64_t sortId);
// The order of rows (indexes into content.tracks) sorted by `order`: positions into `indexes`,
// equal keys in their given order (a stable sort).
std::vector<uint32_t> sortedPermutation(const CDJLibraryContent& content, CDJTrackOrder order,
                                        const std::vector<uint32_t>& indexes);

// The library as the menus read it: the current content and its all-tracks menus (the content
// comes sorted in every order), made once per content and shared by every request and session.
// Lives on the database server's queue.
class CDJDbTrackIndex {
public:
    using Content = std::shared_ptr<const CDJLibraryContent>;
    using Order = std::shared_ptr<const std::vector<uint32_t>>;  // indexes into content()->tracks

    // Takes the library's current content (constant time).
    const CDJLibraryContent& refresh(const CDJLibrary& library);
    const Content& content() const { return content_; }
    // All tracks of content() in the order of a sort id.
    Order allTracks(int64_t sortId);
    // The same as a menu showing `column`; one shared menu per order and column.
    CDJMenuList allTracksMenu(int64_t sortId, CDJColumn column);

private:
    Content content_;
    std::map<std::pair<CDJTrackOrder, CDJColumn>, CDJMenuList> menus_;
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
// The text shown in a track list's second column.
std::string columnText(const CDJTrack& track, CDJColumn column);
// A track that no file backs (the virtual message entries): nothing to load.
inline bool isVirtualTrack(const CDJTrack& t) { return t.filePath.empty(); }

// By sortNum when both rows have one, else by sortKey; stable.
void sortMenuItems(std::vector<CDJMenuItem>& items);

// The root rows for the configured categories.
std::vector<CDJMenuItem> rootMenuItems(const CDJLinkSettings& settings);

// The 16 arguments of a 0x4101 item message; `tagged` says the row's track is on the Tag List.
std::vector<CDJOutArg> menuItemArgs(const CDJMenuItem& item, bool tagged);

// Logs the request and returns its responses (possibly none).
std::vector<CDJDbResponse> handleDbRequest(CDJDbSession& session, const CDJDbMessage& request);

}  // namespace fv::cdj
