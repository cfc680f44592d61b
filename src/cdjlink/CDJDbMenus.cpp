#include "cdjlink/CDJDbMenus.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>

#include "cdjlink/CDJDbServer.hpp"
#include "cdjlink/CDJLog.hpp"

namespace fv::cdj {

namespace {

// Answer message types.
constexpr uint16_t answerOk = 0x4000;
constexpr uint16_t menuHeader = 0x4001;
constexpr uint16_t menuItem = 0x4101;
constexpr uint16_t menuFooter = 0x4201;

constexpr uint32_t trackRowFlag = 0x01000000;
constexpr size_t maxArtworkBytes = 32 * 1024;

std::string hex4(uint16_t v) { return fmt::format("{:04x}", v); }

int64_t menuLocation(const CDJDbMessage& m) {
    auto v = m.number(0);
    return v ? static_cast<int64_t>((*v >> 16) & 0xff) : 0;
}

uint32_t numberOr(const CDJDbMessage& m, size_t i, uint32_t fallback = 0) { return m.number(i).value_or(fallback); }

std::string bpmText(int64_t bpm100) {
    if (bpm100 <= 0) return {};
    return fmt::format("{}.{:02}", bpm100 / 100, bpm100 % 100);
}

std::string durationText(int64_t seconds) {
    if (seconds <= 0) return {};
    return fmt::format("{}:{:02}", seconds / 60, seconds % 60);
}

std::string ratingText(int64_t rating) {
    if (rating <= 0) return {};
    return std::string(static_cast<size_t>(std::min<int64_t>(rating, 5)), '*');
}

// rekordbox's eight track colours.
std::string colorName(int64_t color) {
    static constexpr std::array<std::string_view, 9> names{"",     "Rosa", "Rot",  "Orange", "Gelb",
                                                           "Grün", "Aqua", "Blau", "Lila"};
    if (color < 0 || color >= static_cast<int64_t>(names.size())) return {};
    return std::string(names[static_cast<size_t>(color)]);
}

std::string fileTypeText(const CDJTrack& t) {
    std::string s = t.fileType;
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Kilobits per second from size and length; 0 when either is unknown.
uint32_t bitRateOf(const CDJTrack& t) {
    if (t.fileSize <= 0 || t.duration <= 0) return 0;
    return static_cast<uint32_t>(std::min<int64_t>(t.fileSize * 8 / t.duration / 1000, 0xffffffff));
}

std::string sizeText(int64_t bytes) {
    if (bytes <= 0) return {};
    return fmt::format("{:.1f} MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

uint32_t clampU32(int64_t v) { return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, 0xffffffff)); }

// The ASCII text a number spells from its least significant byte up ("PWV3" = 0x33565750).
std::string fourccText(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        auto c = static_cast<unsigned char>(v >> (8 * i));
        if (c == 0) continue;
        s += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    }
    return s;
}

const CDJSortEntry* sortEntry(int64_t id) {
    for (const auto& e : cdjSortEntries())
        if (e.id == id) return &e;
    return nullptr;
}

CDJColumn columnFor(int64_t sortId, const CDJLinkSettings& settings) {
    const auto* e = sortEntry(sortId);
    return e && e->column != CDJColumn::none ? e->column : settings.column;
}

using TrackPtr = std::shared_ptr<const CDJTrack>;

// The track of a content's entry, sharing the entry's lifetime.
TrackPtr trackOf(const CDJLibraryContent::TrackPtr& entry) {
    return entry ? TrackPtr(entry, &entry->track) : nullptr;
}

CDJMenuItem trackRow(const TrackPtr& track, CDJColumn column, int64_t pos) {
    const CDJTrack& t = *track;
    CDJMenuItem item;
    item.id = t.id;
    item.label1 = t.title;
    item.label2 = columnText(t, column);
    item.columnCode = columnCode(column);
    item.itemType = dbitem::track;
    item.artId = t.artwork && !t.artwork->empty() ? t.id : 0;
    item.isMeta = isVirtualTrack(t);
    item.pos = pos;
    item.track = track;
    return item;
}

template <typename T>
std::vector<T> permuted(const std::vector<T>& v, const std::vector<uint32_t>& perm) {
    std::vector<T> out;
    out.reserve(perm.size());
    for (uint32_t p : perm) out.push_back(v[p]);
    return out;
}

CDJMenuItem infoRow(int64_t type, uint32_t id, std::string label1, std::string label2 = {}) {
    CDJMenuItem item;
    item.id = id;
    item.itemType = type;
    item.label1 = std::move(label1);
    item.label2 = std::move(label2);
    return item;
}

std::vector<CDJMenuItem> metadataRows(const CDJTrack& t) {
    std::vector<CDJMenuItem> rows;
    CDJMenuItem title = infoRow(dbitem::track, t.id, t.title, t.artist);
    title.artId = t.artwork && !t.artwork->empty() ? t.id : 0;
    rows.push_back(title);
    rows.push_back(infoRow(dbitem::artist, 0, t.artist));
    rows.push_back(infoRow(dbitem::album, 0, t.album));
    rows.push_back(infoRow(dbitem::duration, clampU32(t.duration), durationText(t.duration)));
    rows.push_back(infoRow(dbitem::tempo, clampU32(t.bpm100), bpmText(t.bpm100)));
    rows.push_back(infoRow(dbitem::key, t.keyId, t.key));
    rows.push_back(infoRow(dbitem::rating, clampU32(t.rating), ratingText(t.rating)));
    rows.push_back(infoRow(dbitem::color, clampU32(t.color), colorName(t.color)));
    rows.push_back(infoRow(dbitem::genre, 0, t.genre));
    rows.push_back(infoRow(dbitem::dateAdded, 0, ""));
    rows.push_back(infoRow(dbitem::comment, 0, t.comment));
    rows.push_back(infoRow(dbitem::label, 0, ""));
    uint32_t kbps = bitRateOf(t);
    rows.push_back(infoRow(dbitem::bitRate, kbps, kbps ? fmt::format("{} kbps", kbps) : std::string()));
    rows.push_back(infoRow(dbitem::year, clampU32(t.year), t.year > 0 ? fmt::format("{}", t.year) : std::string()));
    rows.push_back(infoRow(dbitem::originalArtist, 0, ""));
    rows.push_back(infoRow(dbitem::remixer, 0, ""));
    return rows;
}

std::vector<CDJMenuItem> trackInfoRows(const CDJTrack& t) {
    std::string fileName = std::filesystem::path(t.filePath).filename().string();
    int64_t seconds = t.duration > 0 ? t.duration : 180;
    int64_t bpm = t.bpm100 > 0 ? t.bpm100 : 12000;
    std::vector<CDJMenuItem> rows{
        infoRow(dbitem::track, t.id, t.title, t.artist),
        infoRow(dbitem::duration, clampU32(seconds), durationText(seconds)),
        infoRow(dbitem::tempo, clampU32(bpm), bpmText(bpm)),
        infoRow(dbitem::comment, 0, t.comment),
        infoRow(0x00, clampU32(t.fileSize / 1024), fileTypeText(t), fileName),
        infoRow(0x2f, bitRateOf(t), sizeText(t.fileSize)),
        infoRow(dbitem::key, keyPosition(t.key), t.key),
    };
    for (auto& r : rows) r.isTrackInfo = true;
    return rows;
}

std::vector<CDJMenuItem> trackDetailRows(const CDJTrack& t) {
    std::string fileName = std::filesystem::path(t.filePath).filename().string();
    return {
        infoRow(0x4f, t.id, fileName),
        infoRow(dbitem::track, t.id, t.title),
        infoRow(dbitem::artist, 0, t.artist),
        infoRow(0x12, clampU32(t.year), t.year > 0 ? fmt::format("{}", t.year) : std::string()),
        infoRow(dbitem::genre, 0, t.genre),
        infoRow(dbitem::key, keyPosition(t.key), t.key),
        infoRow(dbitem::duration, clampU32(t.duration), durationText(t.duration)),
        infoRow(dbitem::album, 0, t.album),
        infoRow(dbitem::tempo, clampU32(t.bpm100), bpmText(t.bpm100)),
        infoRow(0x37, 0, fileTypeText(t)),
        infoRow(0x36, bitRateOf(t), sizeText(t.fileSize)),
        infoRow(dbitem::label, 0, ""),
        infoRow(dbitem::comment, 0, t.comment),
    };
}

// A data answer: type echo, 0, length, the blob, then any trailing numbers. The argument list is
// fixed: clients read the blob at its position, so an empty blob is still sent (length 0).
CDJDbResponse dataAnswer(uint16_t answer, uint16_t request, Bytes data, std::vector<uint32_t> trailing = {},
                         std::optional<uint32_t> lengthField = std::nullopt) {
    uint32_t length = lengthField.value_or(static_cast<uint32_t>(data.size()));
    CDJDbResponse r{answer, {CDJOutArg::i32(request), CDJOutArg::i32(0), CDJOutArg::i32(length)}};
    r.args.push_back(CDJOutArg::blob(std::move(data)));
    for (uint32_t n : trailing) r.args.push_back(CDJOutArg::i32(n));
    return r;
}

CDJDbResponse ok(uint32_t request, uint32_t value) {
    return {answerOk, {CDJOutArg::i32(request), CDJOutArg::i32(value)}};
}

struct Handler {
    CDJDbSession& session;
    const CDJDbMessage& m;
    CDJDbServer& server;
    const CDJLinkSettings& settings;
    std::string label;
    std::vector<CDJDbResponse> out;

    void log() {
        cdjLogLine("DB", fmt::format("#{} 0x{} {}  [{}]", session.id, hex4(m.type), label, formatDbArgs(m.args)));
    }

    void remember(std::vector<CDJMenuItem> items) {
        auto count = static_cast<uint32_t>(items.size());
        session.remember(m.txid, menuLocation(m), std::move(items));
        out.push_back(ok(m.type, count));
    }

    void remember(CDJMenuList list) {
        auto count = static_cast<uint32_t>(list->size());
        session.remember(m.txid, menuLocation(m), std::move(list));
        out.push_back(ok(m.type, count));
    }

    // The library content this request reads, taken once: a replacement in the middle of the
    // request is seen by the next one.
    std::shared_ptr<const CDJLibraryContent> snapshot;
    const CDJLibraryContent& content() {
        if (!snapshot) {
            server.trackIndex().refresh(server.library());
            snapshot = server.trackIndex().content();
        }
        return *snapshot;
    }

    TrackPtr trackArg(size_t i) {
        auto id = m.number(i);
        return id ? trackOf(content().findShared(*id)) : nullptr;
    }

    // Track rows of the current content; the rows are made when rendered.
    CDJMenuList trackList(std::shared_ptr<const std::vector<uint32_t>> order, CDJColumn column,
                          std::vector<uint32_t> positions = {}) {
        content();
        return std::make_shared<const CDJMenu>(snapshot, std::move(order), column, std::move(positions));
    }

    void allTracks() {
        uint32_t sortId = numberOr(m, 1);
        label = fmt::format("Alle Tracks (sort {})", sortId);
        content();
        remember(server.trackIndex().allTracksMenu(sortId, columnFor(sortId, settings)));
    }

    void playlist() {
        uint32_t sortId = numberOr(m, 1);
        uint32_t id = numberOr(m, 2);
        const CDJLibraryContent& c = content();
        const auto& playlists = c.playlists;
        if (m.args.size() < 4 || numberOr(m, 3) == 1) {
            label = "Playlist-Ordner";
            std::vector<CDJMenuItem> rows;
            for (const auto& p : playlists) rows.push_back(infoRow(dbitem::playlist, p.id, p.name));
            remember(std::move(rows));
            return;
        }
        auto it = std::find_if(playlists.begin(), playlists.end(), [&](const CDJPlaylist& p) { return p.id == id; });
        label = fmt::format("Playlist {} \"{}\" (sort {})", id, it != playlists.end() ? it->name : "", sortId);
        std::vector<uint32_t> order, positions;
        if (it != playlists.end()) {
            uint32_t pos = 0;
            for (uint32_t trackId : it->trackIds) {
                ++pos;
                size_t i = c.lowerBound(trackId);
                if (i == c.ids.size() || c.ids[i] != trackId) continue;
                order.push_back(static_cast<uint32_t>(i));
                positions.push_back(pos);
            }
            // A playlist's default order is its own.
            if (sortId != 0) {
                auto perm = sortedPermutation(c, trackOrderFor(sortId), order);
                order = permuted(order, perm);
                positions = permuted(positions, perm);
            }
        }
        remember(trackList(std::make_shared<const std::vector<uint32_t>>(std::move(order)), columnFor(sortId, settings),
                           std::move(positions)));
    }

    void tagList() {
        auto ids = server.library().tagList();
        const CDJLibraryContent& c = content();
        std::vector<uint32_t> order, positions;
        uint32_t pos = 0;
        for (uint32_t id : ids) {
            ++pos;
            size_t i = c.lowerBound(id);
            if (i == c.ids.size() || c.ids[i] != id) continue;
            order.push_back(static_cast<uint32_t>(i));
            positions.push_back(pos);
        }
        label = fmt::format("Tag-Liste → {} Tracks", order.size());
        remember(trackList(std::make_shared<const std::vector<uint32_t>>(std::move(order)), settings.column,
                           std::move(positions)));
    }

    void searchHit() {
        uint32_t id = numberOr(m, 2);
        label = fmt::format("Suchtreffer-Auswahl {}", id);
        const CDJLibraryContent& c = content();
        std::vector<uint32_t> order;
        size_t i = c.lowerBound(id);
        if (i < c.ids.size() && c.ids[i] == id) order.push_back(static_cast<uint32_t>(i));
        remember(trackList(std::make_shared<const std::vector<uint32_t>>(std::move(order)), settings.column));
    }

    void search() {
        const std::string* text = m.string(3);
        std::string needle = lowerText(text ? *text : std::string());
        label = fmt::format("Suche \"{}\"", text ? *text : std::string());
        uint32_t sortId = numberOr(m, 1);
        const CDJLibraryContent& c = content();
        std::vector<uint32_t> hits;
        for (size_t i = 0; i < c.tracks.size(); ++i)
            if (c.tracks[i]->searchText.find(needle) != std::string::npos) hits.push_back(static_cast<uint32_t>(i));
        hits = permuted(hits, sortedPermutation(c, trackOrderFor(sortId), hits));
        remember(trackList(std::make_shared<const std::vector<uint32_t>>(std::move(hits)), columnFor(sortId, settings)));
    }

    void sortMenu() {
        label = "Sortier-/Spaltenmenü";
        std::vector<CDJMenuItem> rows;
        for (const auto& e : cdjSortEntries()) {
            if (std::find(settings.sortMenuIds.begin(), settings.sortMenuIds.end(), e.id) == settings.sortMenuIds.end())
                continue;
            rows.push_back(infoRow(e.menuType, static_cast<uint32_t>(e.id), e.label));
        }
        remember(std::move(rows));
    }

    void metadata() {
        auto t = trackArg(1);
        label = t ? "Metadata" : "Metadata → Track unbekannt";
        remember(t ? metadataRows(*t) : std::vector<CDJMenuItem>{});
    }

    void trackInfo() {
        auto t = trackArg(1);
        if (!t) {
            label = "TrackInfo → Track unbekannt";
            remember(std::vector<CDJMenuItem>{});
        } else if (isVirtualTrack(*t)) {
            label = "TrackInfo → virtueller Eintrag (Nachricht), nicht ladbar";
            remember(std::vector<CDJMenuItem>{});
        } else {
            label = "TrackInfo";
            remember(trackInfoRows(*t));
        }
    }

    void trackDetail() {
        auto t = trackArg(1);
        label = t ? "Track-Detail" : "Track-Detail → Track unbekannt";
        remember(t ? trackDetailRows(*t) : std::vector<CDJMenuItem>{});
    }

    void artwork() {
        uint32_t artId = numberOr(m, 1);
        const CDJLibraryTrack* entry = content().find(artId);
        const CDJTrack* t = entry ? &entry->track : nullptr;
        Bytes image;
        if (!t || !t->artwork || t->artwork->empty()) {
            label = fmt::format("Artwork {} → nicht vorhanden", artId);
        } else {
            std::error_code ec;
            auto size = std::filesystem::file_size(*t->artwork, ec);
            if (ec) {
                label = fmt::format("Artwork {} → nicht vorhanden", artId);
            } else if (size > maxArtworkBytes) {
                label = fmt::format("Artwork {} → {} B > 32 KB – übersprungen", artId, size);
            } else {
                std::ifstream in(*t->artwork, std::ios::binary);
                image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                label = image.empty() ? fmt::format("Artwork {} → nicht vorhanden", artId)
                                      : fmt::format("Artwork {} → {} B", artId, image.size());
            }
        }
        out.push_back(dataAnswer(0x4002, m.type, std::move(image)));
    }

    void waveformPreview() {
        // Players send (DMST, 4, track id, 0); a bare (DMST, track id) is taken too.
        auto t = trackArg(m.args.size() >= 3 ? 2 : 1);
        auto data = t ? server.anlz().waveformPreview(*t) : std::nullopt;
        Bytes bytes = data ? std::move(*data) : Bytes{};
        label = fmt::format("Waveform-Preview → {} B", bytes.size());
        out.push_back(dataAnswer(0x4402, m.type, std::move(bytes)));
    }

    void waveformDetail() {
        auto t = trackArg(1);
        auto data = t ? server.anlz().waveformDetail(*t) : std::nullopt;
        Bytes bytes = data ? std::move(*data) : Bytes{};
        label = fmt::format("Waveform-Detail → {} B", bytes.size());
        out.push_back(dataAnswer(0x4a02, m.type, std::move(bytes), {0}));
    }

    void beatGrid() {
        auto t = trackArg(1);
        auto grid = t ? server.anlz().beatGrid(*t) : std::nullopt;
        label = grid ? fmt::format("Beatgrid → {} Beats", grid->beats) : "Beatgrid → keins";
        // The beat grid answer carries 0 where the others carry the length.
        out.push_back(dataAnswer(0x4602, m.type, grid ? std::move(grid->bytes) : Bytes{}, {0}, 0));
    }

    void cues() {
        auto t = trackArg(1);
        auto points = t ? server.anlz().cuePoints(*t) : std::vector<CDJCuePoint>{};
        label = points.empty() ? "Cues (NXS2) → leer" : fmt::format("Cues (NXS2) → {}", points.size());
        auto count = static_cast<uint32_t>(points.size());
        out.push_back(dataAnswer(0x4e02, m.type, encodeCueEntries(points), {count}));
    }

    void anlzSection() {
        std::string tag = fourccText(numberOr(m, 2));
        std::string kindText = m.number(3) ? fourccText(*m.number(3)) : std::string();
        std::string kind = kindText == "2EX" || kindText == "DAT" ? kindText : "EXT";
        auto t = trackArg(1);
        Bytes bytes;
        if (!t) {
            label = fmt::format("ANLZ {}/{} (Track unbekannt)", tag, kind);
        } else if (auto s = server.anlz().trackSection(*t, kind, tag)) {
            bytes = std::move(s->bytes);
            label = fmt::format("ANLZ {}/{} → {} B", tag, kind, bytes.size());
        } else {
            label = fmt::format("ANLZ {}/{} → nicht vorhanden", tag, kind);
        }
        out.push_back(dataAnswer(0x4f02, m.type, std::move(bytes), {1}));
    }

    void tag() {
        uint32_t id = numberOr(m, 1);
        bool add = numberOr(m, 2) != 0;
        server.library().setTagged(id, add);
        auto list = server.library().tagList();
        label = fmt::format("Tag {} {} → {} in der Tag-Liste", add ? "setzen" : "entfernen", id, list.size());
        log();
        if (server.onTagListChanged) server.onTagListChanged(list);
        out.push_back(ok(m.type, 0));
    }

    void mediaInfo() {
        label = "Media-Info";
        const CDJLibraryContent& c = content();
        const auto& tracks = c.tracks;
        int64_t bytes = 0;
        for (const auto& t : tracks) bytes += std::max<int64_t>(t->track.fileSize, 0);
        const std::string& name = settings.deviceName;
        out.push_back({0x4002,
                       {CDJOutArg::i32(m.type), CDJOutArg::i32(0), CDJOutArg::i32(dbStringByteLength(name, false)),
                        CDJOutArg::str(name), CDJOutArg::i32(static_cast<uint32_t>(tracks.size())),
                        CDJOutArg::i32(static_cast<uint32_t>(c.playlists.size())),
                        CDJOutArg::i32(clampU32(bytes >> 20)), CDJOutArg::i32(1)}});
    }

    void listPosition() {
        int64_t location = menuLocation(m);
        uint32_t id = numberOr(m, 1);
        CDJMenuList list = session.last;
        if (auto it = session.pendingByMenu.find(location); it != session.pendingByMenu.end()) list = it->second;
        std::optional<size_t> found;
        if (list) found = list->findTrackRow(id);
        label = found ? fmt::format("Listenposition von {} → {} (Menü {})", id, *found, location)
                      : fmt::format("Listenposition von {} → nicht in der Liste (Menü {})", id, location);
        out.push_back(ok(m.type, static_cast<uint32_t>(found.value_or(0))));
    }

    void nxs2Extension() {
        label = "NXS2-Extension";
        out.push_back({0x4b02,
                       {CDJOutArg::i32(m.type), CDJOutArg::i32(static_cast<uint32_t>(settings.waveColor)),
                        CDJOutArg::i32(static_cast<uint32_t>(settings.overview)),
                        CDJOutArg::i32(static_cast<uint32_t>(settings.keyDisplay))}});
    }

    void render();
    void dispatch();
};

void Handler::render() {
    int64_t location = menuLocation(m);
    uint32_t offset = numberOr(m, 1);
    uint32_t limit = numberOr(m, 2);
    uint32_t expected = numberOr(m, 4);
    uint32_t column = numberOr(m, 7);

    CDJMenuList list;
    if ((location == 1 || location == 7) && m.args.size() >= 6) {
        if (session.last && !session.last->empty() && session.last->size() == expected) {
            list = session.last;
        } else {
            auto root = rootMenuItems(settings);
            if (root.size() == expected) list = std::make_shared<const CDJMenu>(std::move(root));
        }
    }
    if (!list) {
        if (auto it = session.pendingByTx.find(m.txid); it != session.pendingByTx.end()) {
            list = it->second;
            session.pendingByTx.erase(it);
            session.pendingOrder.erase(std::find(session.pendingOrder.begin(), session.pendingOrder.end(), m.txid));
        } else if (auto mt = session.pendingByMenu.find(location); mt != session.pendingByMenu.end()) {
            list = mt->second;
        } else {
            list = session.last;
        }
    }
    size_t count = list ? list->size() : 0;
    size_t from = std::min<size_t>(offset, count);
    size_t to = limit == 0 ? count : std::min<size_t>(count, size_t{offset} + limit);
    if (to < from) to = from;

    cdjLogLine("DB", fmt::format("#{} 0x3000 Render menu={} offset={} limit={} expected={} column={} → {}/{} Items",
                                 session.id, location, offset, limit, expected, column, to - from, count));

    auto tagged = server.library().tagList();
    out.push_back({menuHeader, {CDJOutArg::i32(1), CDJOutArg::i32(0)}});
    for (size_t i = from; i < to; ++i) {
        const CDJMenuItem item = (*list)[i];
        bool isTagged = item.isTrackRow() && std::find(tagged.begin(), tagged.end(), item.id) != tagged.end();
        out.push_back({menuItem, menuItemArgs(item, isTagged)});
    }
    out.push_back({menuFooter, {}});
}

void Handler::dispatch() {
    switch (m.type) {
        case 0x0000:
            label = "Setup";
            out.push_back(ok(0, settings.deviceNumber));
            break;
        case 0x0100: label = "Teardown"; break;
        case 0x1000:
            label = "Root-Menü";
            session.last.reset();
            out.push_back(ok(m.type, static_cast<uint32_t>(rootMenuItems(settings).size())));
            break;
        case 0x1004: allTracks(); break;
        case 0x1005:
        case 0x1105: playlist(); break;
        case 0x100f: tagList(); break;
        case 0x1200: searchHit(); break;
        case 0x1300: search(); break;
        case 0x1400: sortMenu(); break;
        case 0x1602:
            label = "Preflight";
            remember(std::vector<CDJMenuItem>{});
            break;
        case 0x1708:
        case 0x1808:
            label = "Date-Added-Liste → leer";
            remember(std::vector<CDJMenuItem>{});
            break;
        case 0x2002: metadata(); break;
        case 0x2102: trackInfo(); break;
        case 0x2602: trackDetail(); break;
        case 0x2003:
        case 0x2103: artwork(); break;
        case 0x2004: waveformPreview(); break;
        case 0x2904: waveformDetail(); break;
        case 0x2204: beatGrid(); break;
        case 0x2104:
            label = "Cues (legacy) → leer";
            out.push_back(ok(m.type, 0));
            break;
        case 0x2b04: cues(); break;
        case 0x2504:
            label = "Song-Struktur → keine";
            out.push_back({0x4502, {CDJOutArg::i32(m.type), CDJOutArg::i32(0), CDJOutArg::i32(0), CDJOutArg::i32(0)}});
            break;
        case 0x2c04: anlzSection(); break;
        case 0x3d03:
            label = "NXS2-Cue-Daten → 6";
            out.push_back(ok(m.type, 6));
            break;
        case 0x3e03: nxs2Extension(); break;
        case 0x0001:
        case 0x2005:
        case 0x3001: label = "(keine Antwort)"; break;
        case 0x3002: tag(); return;  // logs before it reports the change
        case 0x3006:
            label = "Load-Notification → 0x4d02";
            out.push_back({0x4d02, {CDJOutArg::i32(m.type), CDJOutArg::i32(numberOr(m, 1))}});
            break;
        case 0x3007: mediaInfo(); break;
        case 0x3100: listPosition(); break;
        case 0x3304:
        case 0x3404:
        case 0x110f:
            label = "Setup-Zusatz → 0x4003";
            out.push_back({0x4003, {CDJOutArg::i32(m.type)}});
            break;
        case 0x2107:
            label = "Rating-Write (ignoriert)";
            out.push_back(ok(m.type, 1));
            break;
        case 0x2705:
            label = "Cue-Write (verworfen)";
            out.push_back(ok(m.type, 1));
            break;
        case 0x2805:
            label = "PVB2-Write → Ack";
            out.push_back(ok(m.type, 1));
            break;
        default:
            label = "unbehandelt";
            out.push_back(ok(m.type, 0));
            break;
    }
    log();
}

}  // namespace

const std::vector<CDJSortEntry>& cdjSortEntries() {
    static const std::vector<CDJSortEntry> entries{
        {0, "DEFAULT", 0xa1, CDJColumn::none},  {1, "ALPHABET", 0xa2, CDJColumn::none},
        {2, "ARTIST", 0x81, CDJColumn::artist}, {3, "ALBUM", 0x82, CDJColumn::album},
        {4, "BPM", 0x85, CDJColumn::bpm},       {5, "RATING", 0x86, CDJColumn::rating},
        {6, "GENRE", 0x80, CDJColumn::genre},   {12, "KEY", 0x8b, CDJColumn::key},
        {8, "TIME", 0x92, CDJColumn::time},     {10, "LABEL", 0x89, CDJColumn::label},
        {17, "DATE ADDED", 0x8c, CDJColumn::dateAdded},
    };
    return entries;
}

uint32_t columnCode(CDJColumn column) {
    switch (column) {
        case CDJColumn::none: return 0;
        case CDJColumn::artist: return 0x07;
        case CDJColumn::album: return 0x02;
        case CDJColumn::genre: return 0x06;
        case CDJColumn::key: return 0x0f;
        case CDJColumn::bpm: return 0x0d;
        case CDJColumn::rating: return 0x0a;
        case CDJColumn::time: return 0x0b;
        case CDJColumn::label: return 0x0e;
        case CDJColumn::comments: return 0x23;
        case CDJColumn::color: return 0x17;
        case CDJColumn::dateAdded: return 0x2e;
    }
    return 0;
}

std::string columnText(const CDJTrack& t, CDJColumn column) {
    switch (column) {
        case CDJColumn::none: return {};
        case CDJColumn::artist: return t.artist;
        case CDJColumn::album: return t.album;
        case CDJColumn::genre: return t.genre;
        case CDJColumn::key: return t.key;
        case CDJColumn::bpm: return bpmText(t.bpm100);
        case CDJColumn::rating: return ratingText(t.rating);
        case CDJColumn::time: return durationText(t.duration);
        case CDJColumn::label: return {};
        case CDJColumn::comments: return t.comment;
        case CDJColumn::color: return colorName(t.color);
        case CDJColumn::dateAdded: return {};
    }
    return {};
}

CDJTrackOrder trackOrderFor(int64_t sortId) {
    switch (sortId) {
        case 2: return CDJTrackOrder::artist;
        case 3: return CDJTrackOrder::album;
        case 4: return CDJTrackOrder::bpm;
        case 5: return CDJTrackOrder::rating;
        case 6: return CDJTrackOrder::genre;
        case 8: return CDJTrackOrder::time;
        case 12: return CDJTrackOrder::key;
        case 17: return CDJTrackOrder::dateAdded;  // content ids grow with the import
        default: return CDJTrackOrder::title;
    }
}

std::vector<uint32_t> sortedPermutation(const CDJLibraryContent& content, CDJTrackOrder order,
                                        const std::vector<uint32_t>& indexes) {
    // (rank of the key, position in indexes): equal keys keep their order.
    const auto& rank = content.rankIn[static_cast<size_t>(order)];
    std::vector<std::pair<uint32_t, uint32_t>> keyed;
    keyed.reserve(indexes.size());
    for (uint32_t p = 0; p < indexes.size(); ++p) keyed.emplace_back(rank[indexes[p]], p);
    std::sort(keyed.begin(), keyed.end());
    std::vector<uint32_t> perm;
    perm.reserve(keyed.size());
    for (const auto& k : keyed) perm.push_back(k.second);
    return perm;
}

const CDJLibraryContent& CDJDbTrackIndex::refresh(const CDJLibrary& library) {
    auto now = library.content();
    if (now != content_) {
        content_ = std::move(now);
        menus_.clear();
    }
    return *content_;
}

CDJDbTrackIndex::Order CDJDbTrackIndex::allTracks(int64_t sortId) {
    return Order(content_, &content_->sortedBy[static_cast<size_t>(trackOrderFor(sortId))]);
}

CDJMenuList CDJDbTrackIndex::allTracksMenu(int64_t sortId, CDJColumn column) {
    auto& menu = menus_[{trackOrderFor(sortId), column}];
    if (!menu) menu = std::make_shared<const CDJMenu>(content_, allTracks(sortId), column);
    return menu;
}

// ---- prepared menus

CDJMenu::CDJMenu(std::vector<CDJMenuItem> rows) : rows_(std::move(rows)) {}

CDJMenu::CDJMenu(std::shared_ptr<const CDJLibraryContent> content, std::shared_ptr<const std::vector<uint32_t>> order,
                 CDJColumn column, std::vector<uint32_t> positions)
    : content_(std::move(content)), order_(std::move(order)), positions_(std::move(positions)), column_(column) {}

CDJMenuItem CDJMenu::operator[](size_t i) const {
    if (!order_) return rows_[i];
    const auto& entry = content_->tracks[(*order_)[i]];
    return trackRow(trackOf(entry), column_, positions_.empty() ? 0 : positions_[i]);
}

std::optional<size_t> CDJMenu::findTrackRow(uint32_t id) const {
    if (order_) {
        for (size_t i = 0; i < order_->size(); ++i)
            if (content_->ids[(*order_)[i]] == id) return i;
        return std::nullopt;
    }
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].isTrackRow() && rows_[i].id == id) return i;
    return std::nullopt;
}

void sortMenuItems(std::vector<CDJMenuItem>& items) {
    std::stable_sort(items.begin(), items.end(), [](const CDJMenuItem& a, const CDJMenuItem& b) {
        if (a.sortNum && b.sortNum) return *a.sortNum < *b.sortNum;
        return a.sortKey < b.sortKey;
    });
}

std::vector<CDJMenuItem> rootMenuItems(const CDJLinkSettings& settings) {
    std::vector<CDJMenuItem> rows;
    for (auto c : settings.rootCategories) {
        switch (c) {
            case CDJRootCategory::playlist: rows.push_back(infoRow(dbitem::rootPlaylist, 5, "PLAYLIST")); break;
            case CDJRootCategory::track: rows.push_back(infoRow(dbitem::rootTrack, 4, "TRACK")); break;
            case CDJRootCategory::search: rows.push_back(infoRow(dbitem::rootSearch, 0x12, "SEARCH")); break;
        }
    }
    return rows;
}

std::vector<CDJOutArg> menuItemArgs(const CDJMenuItem& item, bool tagged) {
    bool wrapped = item.itemType >= 0x80;
    bool trackRow = item.isTrackRow();
    auto str = [&](const std::string& s) { return wrapped ? CDJOutArg::strWrapped(s) : CDJOutArg::str(s); };
    uint32_t flags = 0;
    if (trackRow && !item.isMeta) flags = trackRowFlag | (tagged ? 1u : 0u);
    uint32_t art = item.f8Override ? *item.f8Override : item.artId;
    if (item.isTrackInfo && item.itemType >= 0x80) art = 0;
    std::string further = trackRow ? item.track->key : std::string();
    uint32_t furtherNumber = trackRow ? clampU32(item.track->bpm100) : 0;
    return {
        CDJOutArg::i32(item.parent),
        CDJOutArg::i32(item.id),
        CDJOutArg::i32(dbStringByteLength(item.label1, wrapped)),
        str(item.label1),
        CDJOutArg::i32(dbStringByteLength(item.label2, wrapped)),
        str(item.label2),
        CDJOutArg::i32(static_cast<uint32_t>(item.itemType)),
        CDJOutArg::i32(flags),
        CDJOutArg::i32(art),
        CDJOutArg::i32(trackRow ? clampU32(item.pos) : 0),
        CDJOutArg::i32(trackRow ? 0x100 : 0),
        CDJOutArg::i32(trackRow ? keyPosition(further) : 0),
        CDJOutArg::i32(furtherNumber),
        CDJOutArg::i32(dbStringByteLength(further, false)),
        CDJOutArg::str(further),
        CDJOutArg::i32(trackRow ? item.columnCode : 0),
    };
}

std::vector<CDJDbResponse> handleDbRequest(CDJDbSession& session, const CDJDbMessage& request) {
    Handler h{session, request, session.server, session.server.currentSettings(), {}, {}, {}};
    if (request.type == 0x3000)
        h.render();
    else
        h.dispatch();
    return std::move(h.out);
}

}  // namespace fv::cdj
