#include "cdjlink/CDJModels.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <utility>

#include "cdjlink/CDJText.hpp"

namespace fv::cdj {

using namespace jsonx;

namespace {

uint32_t low32(int64_t v) { return static_cast<uint32_t>(static_cast<uint64_t>(v) & 0xffffffffu); }

template <typename T>
T ranged(const json& obj, std::string_view key, T def) {
    const json* v = find(obj, key);
    if (!v) return def;
    int64_t x = Value<int64_t>::get(*v, key);
    if (x < 0 || x > static_cast<int64_t>(std::numeric_limits<T>::max()))
        throw DecodeError("number for key \"" + std::string(key) + "\" is out of range");
    return static_cast<T>(x);
}

template <typename E>
E enumFrom(const json& v, std::string_view key) {
    std::string raw = Value<std::string>::get(v, key);
    if (auto e = fromRawValue<E>(raw)) return *e;
    throw DecodeError("unknown value \"" + raw + "\" for key \"" + std::string(key) + "\"");
}

template <typename E>
E enumDefaulted(const json& obj, std::string_view key, E def) {
    const json* v = find(obj, key);
    return v ? enumFrom<E>(*v, key) : def;
}

constexpr std::array<CDJColumn, 12> columns{CDJColumn::none,   CDJColumn::artist,  CDJColumn::album,
                                             CDJColumn::genre,  CDJColumn::key,     CDJColumn::bpm,
                                             CDJColumn::rating, CDJColumn::time,    CDJColumn::label,
                                             CDJColumn::comments, CDJColumn::color, CDJColumn::dateAdded};
constexpr std::array<CDJWaveColor, 3> waveColors{CDJWaveColor::blue, CDJWaveColor::rgb, CDJWaveColor::threeBand};
constexpr std::array<CDJOverview, 2> overviews{CDJOverview::half, CDJOverview::full};
constexpr std::array<CDJKeyDisplay, 2> keyDisplays{CDJKeyDisplay::classic, CDJKeyDisplay::alpha};
constexpr std::array<CDJWavePosition, 2> wavePositions{CDJWavePosition::center, CDJWavePosition::left};
constexpr std::array<CDJRootCategory, 3> rootCategories{CDJRootCategory::playlist, CDJRootCategory::track,
                                                        CDJRootCategory::search};

}  // namespace

std::string_view rawValue(CDJColumn v) {
    switch (v) {
        case CDJColumn::none: return "none";
        case CDJColumn::artist: return "artist";
        case CDJColumn::album: return "album";
        case CDJColumn::genre: return "genre";
        case CDJColumn::key: return "key";
        case CDJColumn::bpm: return "bpm";
        case CDJColumn::rating: return "rating";
        case CDJColumn::time: return "time";
        case CDJColumn::label: return "label";
        case CDJColumn::comments: return "comments";
        case CDJColumn::color: return "color";
        case CDJColumn::dateAdded: return "date_added";
    }
    return "none";
}
std::string_view rawValue(CDJWaveColor v) {
    switch (v) {
        case CDJWaveColor::blue: return "blue";
        case CDJWaveColor::rgb: return "rgb";
        case CDJWaveColor::threeBand: return "3band";
    }
    return "blue";
}
std::string_view rawValue(CDJOverview v) { return v == CDJOverview::full ? "full" : "half"; }
std::string_view rawValue(CDJKeyDisplay v) { return v == CDJKeyDisplay::alpha ? "alpha" : "classic"; }
std::string_view rawValue(CDJWavePosition v) { return v == CDJWavePosition::left ? "left" : "center"; }
std::string_view rawValue(CDJRootCategory v) {
    switch (v) {
        case CDJRootCategory::playlist: return "playlist";
        case CDJRootCategory::track: return "track";
        case CDJRootCategory::search: return "search";
    }
    return "playlist";
}

template <>
std::span<const CDJColumn> allCases<CDJColumn>() {
    return columns;
}
template <>
std::span<const CDJWaveColor> allCases<CDJWaveColor>() {
    return waveColors;
}
template <>
std::span<const CDJOverview> allCases<CDJOverview>() {
    return overviews;
}
template <>
std::span<const CDJKeyDisplay> allCases<CDJKeyDisplay>() {
    return keyDisplays;
}
template <>
std::span<const CDJWavePosition> allCases<CDJWavePosition>() {
    return wavePositions;
}
template <>
std::span<const CDJRootCategory> allCases<CDJRootCategory>() {
    return rootCategories;
}

// ---- records

CDJCue CDJCue::fromJson(const json& j) {
    requireObject(j, "CDJCue");
    CDJCue c;
    c.kind = required<int64_t>(j, "kind");
    c.inMs = required<int64_t>(j, "inMs");
    c.outMs = required<int64_t>(j, "outMs");
    c.colorIndex = required<int64_t>(j, "colorIndex");
    c.comment = required<std::string>(j, "comment");
    return c;
}

ordered_json CDJCue::toJson() const {
    ordered_json j;
    j["kind"] = kind;
    j["inMs"] = inMs;
    j["outMs"] = outMs;
    j["colorIndex"] = colorIndex;
    j["comment"] = comment;
    return j;
}

CDJTrack CDJTrack::fromJson(const json& j) {
    requireObject(j, "CDJTrack");
    CDJTrack t;
    t.id = low32(required<int64_t>(j, "id"));
    t.title = defaulted<std::string>(j, "title", "");
    t.artist = defaulted<std::string>(j, "artist", "");
    t.album = defaulted<std::string>(j, "album", "");
    t.genre = defaulted<std::string>(j, "genre", "");
    t.key = defaulted<std::string>(j, "key", "");
    t.keyId = low32(defaulted<int64_t>(j, "keyId", 0));
    t.bpm100 = defaulted<int64_t>(j, "bpm100", 0);
    t.duration = defaulted<int64_t>(j, "duration", 0);
    t.filePath = defaulted<std::string>(j, "filePath", "");
    t.fileSize = defaulted<int64_t>(j, "fileSize", 0);
    t.fileType = defaulted<std::string>(j, "fileType", "");
    if (const json* a = find(j, "anlz")) {
        if (!a->is_object()) throw DecodeError("wrong type for key \"anlz\": expected object");
        for (auto it = a->begin(); it != a->end(); ++it) {
            if (it->is_null())
                t.anlz.emplace(it.key(), std::nullopt);
            else
                t.anlz.emplace(it.key(), Value<std::string>::get(*it, "anlz"));
        }
    }
    t.artwork = optional<std::string>(j, "artwork");
    t.comment = defaulted<std::string>(j, "comment", "");
    t.rating = defaulted<int64_t>(j, "rating", 0);
    t.color = defaulted<int64_t>(j, "color", 0);
    t.year = defaulted<int64_t>(j, "year", 0);
    if (const json* c = find(j, "cues")) {
        if (!c->is_array()) throw DecodeError("wrong type for key \"cues\": expected array");
        for (const auto& e : *c) t.cues.push_back(CDJCue::fromJson(e));
    }
    return t;
}

ordered_json CDJTrack::toJson() const {
    ordered_json j;
    j["id"] = static_cast<int64_t>(id);
    j["title"] = title;
    j["artist"] = artist;
    j["album"] = album;
    j["genre"] = genre;
    j["key"] = key;
    j["keyId"] = static_cast<int64_t>(keyId);
    j["bpm100"] = bpm100;
    j["duration"] = duration;
    j["filePath"] = filePath;
    j["fileSize"] = fileSize;
    j["fileType"] = fileType;
    ordered_json a = ordered_json::object();
    for (const auto& [k, v] : anlz) a[k] = v ? ordered_json(*v) : ordered_json(nullptr);
    j["anlz"] = std::move(a);
    if (artwork) j["artwork"] = *artwork;
    j["comment"] = comment;
    j["rating"] = rating;
    j["color"] = color;
    j["year"] = year;
    ordered_json cs = ordered_json::array();
    for (const auto& c : cues) cs.push_back(c.toJson());
    j["cues"] = std::move(cs);
    return j;
}

std::vector<CDJTrack> decodeTracks(const json& array) {
    if (!array.is_array()) throw DecodeError("expected an array of tracks");
    std::vector<CDJTrack> out;
    out.reserve(array.size());
    for (size_t i = 0; i < array.size(); ++i) {
        try {
            out.push_back(CDJTrack::fromJson(array[i]));
        } catch (const DecodeError& e) {
            throw DecodeError("track " + std::to_string(i) + ": " + e.what());
        }
    }
    return out;
}

std::vector<CDJTrack> parseTracks(std::string_view jsonText) { return decodeTracks(jsonx::parse(jsonText)); }

const CDJTrack& blankTrack() {
    static const CDJTrack t = CDJTrack::fromJson(json::parse(blankTrackJson));
    return t;
}

// ---- settings

CDJLinkSettings CDJLinkSettings::fromJson(const json& j) {
    requireObject(j, "CDJLinkSettings");
    CDJLinkSettings s;
    s.deviceName = defaulted<std::string>(j, "deviceName", s.deviceName);
    s.deviceNumber = ranged<uint8_t>(j, "deviceNumber", s.deviceNumber);
    s.interfaceName = defaulted<std::string>(j, "interfaceName", s.interfaceName);
    s.dbPort = ranged<uint16_t>(j, "dbPort", s.dbPort);
    s.column = enumDefaulted(j, "column", s.column);
    s.waveColor = enumDefaulted(j, "waveColor", s.waveColor);
    s.overview = enumDefaulted(j, "overview", s.overview);
    s.keyDisplay = enumDefaulted(j, "keyDisplay", s.keyDisplay);
    s.wavePosition = enumDefaulted(j, "wavePosition", s.wavePosition);
    s.sortMenuIds = defaulted<std::vector<int64_t>>(j, "sortMenuIds", s.sortMenuIds);
    if (const json* r = find(j, "rootCategories")) {
        if (!r->is_array()) throw DecodeError("wrong type for key \"rootCategories\": expected array");
        s.rootCategories.clear();
        for (const auto& e : *r) s.rootCategories.push_back(enumFrom<CDJRootCategory>(e, "rootCategories"));
    }
    s.showPlayedList = defaulted<bool>(j, "showPlayedList", s.showPlayedList);
    s.showEventPlaylist = defaulted<bool>(j, "showEventPlaylist", s.showEventPlaylist);
    s.showMessagesList = defaulted<bool>(j, "showMessagesList", s.showMessagesList);
    s.playedAfterSeconds = defaulted<int64_t>(j, "playedAfterSeconds", s.playedAfterSeconds);
    return s;
}

ordered_json CDJLinkSettings::toJson() const {
    ordered_json j;
    j["deviceName"] = deviceName;
    j["deviceNumber"] = deviceNumber;
    j["interfaceName"] = interfaceName;
    j["dbPort"] = dbPort;
    j["column"] = std::string(rawValue(column));
    j["waveColor"] = std::string(rawValue(waveColor));
    j["overview"] = std::string(rawValue(overview));
    j["keyDisplay"] = std::string(rawValue(keyDisplay));
    j["wavePosition"] = std::string(rawValue(wavePosition));
    j["sortMenuIds"] = sortMenuIds;
    ordered_json roots = ordered_json::array();
    for (auto r : rootCategories) roots.push_back(std::string(rawValue(r)));
    j["rootCategories"] = std::move(roots);
    j["showPlayedList"] = showPlayedList;
    j["showEventPlaylist"] = showEventPlaylist;
    j["showMessagesList"] = showMessagesList;
    j["playedAfterSeconds"] = playedAfterSeconds;
    return j;
}

// ---- library

uint32_t keyPosition(std::string_view keyText) {
    while (!keyText.empty() && (keyText.front() == ' ' || keyText.front() == '\t')) keyText.remove_prefix(1);
    while (!keyText.empty() && (keyText.back() == ' ' || keyText.back() == '\t')) keyText.remove_suffix(1);
    struct Key {
        std::string_view text;
        uint32_t pos;
    };
    static constexpr std::array<Key, 36> keys{{
        {"Abm", 1}, {"G#m", 1}, {"B", 2},    {"Ebm", 3}, {"D#m", 3}, {"F#", 4},   {"Gb", 4},   {"Bbm", 5}, {"A#m", 5},
        {"Db", 6},  {"C#", 6},  {"Fm", 7},   {"Ab", 8},  {"G#", 8},  {"Cm", 9},   {"Eb", 10},  {"D#", 10}, {"Gm", 11},
        {"Bb", 12}, {"A#", 12}, {"Dm", 13},  {"F", 14},  {"Am", 15}, {"C", 16},   {"Em", 17},  {"G", 18},  {"Bm", 19},
        {"D", 20},  {"F#m", 21}, {"Gbm", 21}, {"A", 22}, {"Dbm", 23}, {"C#m", 23}, {"E", 24}, {"", 0},    {"", 0},
    }};
    if (keyText.empty()) return 0;
    for (const auto& k : keys)
        if (k.text == keyText) return k.pos;
    return 0;
}

CDJLibraryTrack::CDJLibraryTrack(CDJTrack t) : track(std::move(t)) {
    const CDJTrack& x = track;
    searchText = lowerText(x.title + " " + x.artist);
    sortKeys[static_cast<size_t>(CDJTrackOrder::title)] = sortKeyOf(x.title);
    sortKeys[static_cast<size_t>(CDJTrackOrder::artist)] = sortKeyOf(x.artist + '\x01' + x.title);
    sortKeys[static_cast<size_t>(CDJTrackOrder::album)] = sortKeyOf(x.album + '\x01' + x.title);
    sortKeys[static_cast<size_t>(CDJTrackOrder::genre)] = sortKeyOf(x.genre + '\x01' + x.title);
}

namespace {

int64_t numberKey(const CDJTrack& t, CDJTrackOrder order) {
    switch (order) {
        case CDJTrackOrder::bpm: return t.bpm100;
        case CDJTrackOrder::rating:  // best first
            return t.rating == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -t.rating;
        case CDJTrackOrder::time: return t.duration;
        case CDJTrackOrder::key: return keyPosition(t.key);
        case CDJTrackOrder::dateAdded: return t.id;  // content ids grow with the import
        default: return 0;
    }
}

// Sorts the content's tracks in every order (a stable sort from id order) and ranks their keys.
void sortContent(CDJLibraryContent& c) {
    const auto& all = c.tracks;
    const auto n = static_cast<uint32_t>(all.size());
    for (size_t k = 0; k < cdjTrackOrderCount; ++k) {
        auto& sorted = c.sortedBy[k];
        auto& rank = c.rankIn[k];
        sorted.resize(n);
        rank.resize(n);
        std::iota(sorted.begin(), sorted.end(), 0u);
        if (k < cdjTextOrderCount) {
            std::sort(sorted.begin(), sorted.end(), [&](uint32_t a, uint32_t b) {
                int r = all[a]->sortKeys[k].compare(all[b]->sortKeys[k]);
                return r < 0 || (r == 0 && a < b);
            });
            for (uint32_t i = 0, r = 0; i < n; ++i) {
                if (i > 0 && all[sorted[i]]->sortKeys[k] != all[sorted[i - 1]]->sortKeys[k]) ++r;
                rank[sorted[i]] = r;
            }
        } else {
            std::vector<std::pair<int64_t, uint32_t>> keyed;
            keyed.reserve(n);
            for (uint32_t i = 0; i < n; ++i)
                keyed.emplace_back(numberKey(all[i]->track, static_cast<CDJTrackOrder>(k)), i);
            std::sort(keyed.begin(), keyed.end());
            for (uint32_t i = 0, r = 0; i < n; ++i) {
                if (i > 0 && keyed[i].first != keyed[i - 1].first) ++r;
                sorted[i] = keyed[i].second;
                rank[keyed[i].second] = r;
            }
        }
    }
}

}  // namespace

size_t CDJLibraryContent::lowerBound(uint32_t id) const {
    return static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin());
}

const CDJLibraryTrack* CDJLibraryContent::find(uint32_t id) const {
    size_t i = lowerBound(id);
    return i < ids.size() && ids[i] == id ? tracks[i].get() : nullptr;
}

CDJLibraryContent::TrackPtr CDJLibraryContent::findShared(uint32_t id) const {
    size_t i = lowerBound(id);
    return i < ids.size() && ids[i] == id ? tracks[i] : nullptr;
}

struct CDJLibrary::Retired {
    std::mutex lock;
    std::vector<const CDJLibraryContent*> contents;

    ~Retired() {
        for (const auto* c : contents) delete c;
    }
    void collect() {
        std::vector<const CDJLibraryContent*> dead;
        {
            std::lock_guard g(lock);
            dead.swap(contents);
        }
        for (const auto* c : dead) delete c;
    }
};

CDJLibrary::CDJLibrary() : retired_(std::make_shared<Retired>()) {
    auto empty = std::make_unique<CDJLibraryContent>();
    sortContent(*empty);
    content_ = publish(std::move(empty));
}

CDJLibrary::~CDJLibrary() = default;

std::shared_ptr<const CDJLibraryContent> CDJLibrary::publish(std::unique_ptr<CDJLibraryContent> content) {
    std::weak_ptr<Retired> weak = retired_;
    return std::shared_ptr<const CDJLibraryContent>(content.release(), [weak](const CDJLibraryContent* c) {
        if (auto r = weak.lock()) {
            try {
                std::lock_guard g(r->lock);
                r->contents.push_back(c);
                return;
            } catch (...) {
            }
        }
        delete c;
    });
}

void CDJLibrary::replaceContent(const std::vector<CDJTrack>& tracks, const std::vector<CDJPlaylist>& playlists) {
    retired_->collect();
    auto previous = content();
    std::vector<const CDJTrack*> byId;
    byId.reserve(tracks.size());
    for (const auto& t : tracks) byId.push_back(&t);
    std::stable_sort(byId.begin(), byId.end(), [](const CDJTrack* a, const CDJTrack* b) { return a->id < b->id; });

    auto next = std::make_unique<CDJLibraryContent>();
    next->tracks.reserve(byId.size());
    next->ids.reserve(byId.size());
    const auto& before = previous->tracks;
    size_t j = 0;
    for (size_t i = 0; i < byId.size(); ++i) {
        if (i + 1 < byId.size() && byId[i + 1]->id == byId[i]->id) continue;  // a later duplicate id wins
        const CDJTrack& t = *byId[i];
        while (j < before.size() && previous->ids[j] < t.id) ++j;
        if (j < before.size() && before[j]->track == t)
            next->tracks.push_back(before[j]);
        else
            next->tracks.push_back(std::make_shared<const CDJLibraryTrack>(t));
        next->ids.push_back(t.id);
    }
    next->playlists = playlists;
    sortContent(*next);

    std::shared_ptr<const CDJLibraryContent> replaced;
    {
        std::lock_guard g(lock_);
        next->version = content_->version + 1;
        replaced = std::exchange(content_, publish(std::move(next)));
        std::erase_if(tagList_, [&](uint32_t id) { return !content_->find(id); });
    }
    // Freed here, on the caller's thread, unless a server still reads it.
    previous.reset();
    replaced.reset();
    retired_->collect();
}

void CDJLibrary::setTagged(uint32_t id, bool tagged) {
    std::lock_guard g(lock_);
    if (tagged) {
        if (std::find(tagList_.begin(), tagList_.end(), id) == tagList_.end()) tagList_.push_back(id);
    } else {
        std::erase(tagList_, id);
    }
}

void CDJLibrary::markPlayed(uint32_t id) {
    std::lock_guard g(lock_);
    played_.insert(id);
}

std::shared_ptr<const CDJLibraryContent> CDJLibrary::content() const {
    std::lock_guard g(lock_);
    return content_;
}

std::optional<CDJTrack> CDJLibrary::track(uint32_t id) const {
    auto c = content();
    const CDJLibraryTrack* t = c->find(id);
    if (!t) return std::nullopt;
    return t->track;
}

std::vector<CDJTrack> CDJLibrary::tracks() const {
    auto c = content();
    std::vector<CDJTrack> out;
    out.reserve(c->tracks.size());
    for (const auto& t : c->tracks) out.push_back(t->track);
    return out;
}

std::vector<CDJPlaylist> CDJLibrary::playlists() const { return content()->playlists; }

std::vector<uint32_t> CDJLibrary::tagList() const {
    std::lock_guard g(lock_);
    return tagList_;
}

std::set<uint32_t> CDJLibrary::played() const {
    std::lock_guard g(lock_);
    return played_;
}

int64_t CDJLibrary::version() const {
    std::lock_guard g(lock_);
    return content_->version;
}

size_t CDJLibrary::trackCount() const { return content()->tracks.size(); }

size_t CDJLibrary::playlistCount() const { return content()->playlists.size(); }

}  // namespace fv::cdj
