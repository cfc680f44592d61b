#include "cdjlink/CDJModels.hpp"

#include <algorithm>
#include <array>
#include <limits>

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

void CDJLibrary::replaceContent(const std::vector<CDJTrack>& tracks, const std::vector<CDJPlaylist>& playlists) {
    std::map<uint32_t, CDJTrack> map;
    for (const auto& t : tracks) map.insert_or_assign(t.id, t);  // a later duplicate id wins
    std::lock_guard g(lock_);
    tracks_ = std::move(map);
    playlists_ = playlists;
    std::erase_if(tagList_, [&](uint32_t id) { return !tracks_.count(id); });
    ++version_;
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

std::optional<CDJTrack> CDJLibrary::track(uint32_t id) const {
    std::lock_guard g(lock_);
    auto it = tracks_.find(id);
    if (it == tracks_.end()) return std::nullopt;
    return it->second;
}

std::vector<CDJTrack> CDJLibrary::tracks() const {
    std::lock_guard g(lock_);
    std::vector<CDJTrack> out;
    out.reserve(tracks_.size());
    for (const auto& [id, t] : tracks_) out.push_back(t);
    return out;
}

std::vector<CDJPlaylist> CDJLibrary::playlists() const {
    std::lock_guard g(lock_);
    return playlists_;
}

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
    return version_;
}

size_t CDJLibrary::trackCount() const {
    std::lock_guard g(lock_);
    return tracks_.size();
}

size_t CDJLibrary::playlistCount() const {
    std::lock_guard g(lock_);
    return playlists_.size();
}

}  // namespace fv::cdj
