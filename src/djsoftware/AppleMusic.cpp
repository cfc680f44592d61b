#include "djsoftware/AppleMusic.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/Files.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "core/Strings.hpp"
#include "core/Uuid.hpp"
#include "djsoftware/Plist.hpp"
#include "djsoftware/StreamingEnrichment.hpp"
#include "session/AppSettings.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"

namespace fv {

json AppleMusicTrack::toJson() const {
    json o = {{"id", id}, {"title", title}, {"artist", artist}, {"album", album}, {"durationMs", durationMs}};
    if (genre) o["genre"] = *genre;
    if (isrc) o["isrc"] = *isrc;
    return o;
}

std::string_view toString(AppleMusicPlaylistKind k) {
    switch (k) {
        case AppleMusicPlaylistKind::regular: return "regular";
        case AppleMusicPlaylistKind::smart: return "smart";
        case AppleMusicPlaylistKind::system: return "system";
        case AppleMusicPlaylistKind::folder: return "folder";
    }
    return "regular";
}

json AppleMusicPlaylistInfo::toJson() const {
    json o = {{"id", id}, {"name", name}, {"trackCount", trackCount}, {"kind", toString(kind)}};
    if (description) o["description"] = *description;
    return o;
}

namespace {

std::string describe(AppleMusicError::Kind kind, const std::string& detail) {
    using K = AppleMusicError::Kind;
    switch (kind) {
        case K::scriptFailed: return "Music.app: " + detail;
        case K::notAvailable: return tr("applemusic_error_not_authorized");
        case K::playlistNotFound: return tr("applemusic_error_playlist_not_found");
        case K::noTracks: return tr("applemusic_error_no_tracks");
        case K::libraryUnreadable: return "Musikbibliothek nicht lesbar: " + detail;
        case K::requestFailed: return detail;
    }
    return detail;
}

// 16 hexadecimal digits, as the library writes persistent IDs.
std::optional<uint64_t> persistentIdOf(const std::string* text) {
    if (!text || text->empty() || text->size() > 16) return std::nullopt;
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(text->data(), text->data() + text->size(), v, 16);
    if (ec != std::errc() || p != text->data() + text->size()) return std::nullopt;
    return v;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

AppleMusicError::AppleMusicError(Kind kind, const std::string& detail)
    : std::runtime_error(describe(kind, detail)), kind_(kind) {}

std::optional<std::string> fileURLToPath(std::string_view url) {
    constexpr std::string_view scheme = "file://";
    if (url.size() < scheme.size() || url.substr(0, scheme.size()) != scheme) return std::nullopt;
    url.remove_prefix(scheme.size());
    if (url.substr(0, 9) == "localhost") url.remove_prefix(9);
    if (url.empty() || url.front() != '/') return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size() && hexValue(url[i + 1]) >= 0 && hexValue(url[i + 2]) >= 0) {
            char c = static_cast<char>(hexValue(url[i + 1]) * 16 + hexValue(url[i + 2]));
            if (c == '\0') return std::nullopt;
            out.push_back(c);
            i += 2;
        } else {
            out.push_back(url[i]);
        }
    }
    // Windows libraries: file://localhost/C:/Music/...
    if (out.size() >= 3 && out[0] == '/' && std::isalpha(static_cast<unsigned char>(out[1])) && out[2] == ':')
        out.erase(0, 1);
    return out;
}

ITunesLibraryService::ITunesLibraryService(std::filesystem::path xmlPath) : path_(std::move(xmlPath)) {}

std::filesystem::path ITunesLibraryService::configuredPath() {
    AppSettings s = AppSettings::load();
    if (!s.musicLibraryPath.empty()) return s.musicLibraryPath;
    return realHomeDirectory() / "Music" / "iTunes" / "iTunes Music Library.xml";
}

void ITunesLibraryService::connect() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        int code = errno;
        std::string desc = std::strerror(code);
        logf("iTunes", "connect() fehlgeschlagen — domain=posix code={} desc={} userInfo={}", code, desc, path_.string());
        throw AppleMusicError(AppleMusicError::Kind::libraryUnreadable, path_.string() + ": " + desc);
    }
    if (std::filesystem::is_directory(path_)) {
        logf("iTunes", "connect() fehlgeschlagen — domain=posix code={} desc={} userInfo={}", EISDIR,
             std::strerror(EISDIR), path_.string());
        throw AppleMusicError(AppleMusicError::Kind::libraryUnreadable, path_.string() + ": " + std::strerror(EISDIR));
    }
    read(in);
}

void ITunesLibraryService::load(std::string_view xml) {
    std::istringstream in{std::string(xml)};
    read(in);
}

void ITunesLibraryService::read(std::istream& in) {
    Library lib;
    auto onMember = [&](const std::string& collection, const std::string&, PlistValue&& v) {
        if (v.type != PlistValue::Type::dict) return;
        if (collection == "Tracks") {
            Item item;
            const int64_t* trackId = v.integerValue("Track ID");
            auto pid = persistentIdOf(v.string("Persistent ID"));
            if (!trackId || !pid) {
                ++lib.skipped;
                return;
            }
            item.trackId = *trackId;
            item.persistentId = *pid;
            if (const auto* s = v.string("Name")) item.name = *s;
            if (const auto* s = v.string("Artist")) item.artist = *s;
            if (const auto* s = v.string("Album")) item.album = *s;
            if (const auto* s = v.string("Genre")) item.genre = *s;
            if (const auto* t = v.integerValue("Total Time"); t && *t >= 0) item.totalTimeMs = *t;
            if (const auto* b = v.integerValue("BPM"); b && *b > 0 && *b < 1000) item.bpm = static_cast<double>(*b);
            if (const auto* s = v.string("Location")) {
                item.location = fileURLToPath(*s);
                item.locationURL = *s;
            }
            if (lib.byTrackId.emplace(item.trackId, lib.items.size()).second) lib.items.push_back(std::move(item));
            else ++lib.skipped;
        } else if (collection == "Playlists") {
            Playlist p;
            auto pid = persistentIdOf(v.string("Playlist Persistent ID"));
            if (!pid) return;
            p.persistentId = *pid;
            if (const auto* s = v.string("Name")) p.name = *s;
            if (const auto* s = v.string("Description")) p.description = *s;
            if (v.flag("Folder"))
                p.kind = AppleMusicPlaylistKind::folder;
            else if (v.find("Smart Info"))
                p.kind = AppleMusicPlaylistKind::smart;
            else if (v.flag("Master") || v.find("Distinguished Kind"))
                p.kind = AppleMusicPlaylistKind::system;
            if (const PlistValue* items = v.find("Playlist Items"); items && items->type == PlistValue::Type::array)
                for (const auto& entry : items->array)
                    if (const int64_t* id = entry.integerValue("Track ID")) p.trackIds.push_back(*id);
            lib.playlists.push_back(std::move(p));
        }
    };
    try {
        PlistReader reader({"Tracks", "Playlists"}, onMember);
        PlistValue root = reader.read(in);
        if (root.type != PlistValue::Type::dict || !root.find("Tracks"))
            throw PlistError("keine Musikbibliothek (kein Eintrag „Tracks“)");
    } catch (const PlistError& e) {
        logf("iTunes", "connect() fehlgeschlagen — domain=plist code=0 desc={} userInfo={}", e.what(), path_.string());
        throw AppleMusicError(AppleMusicError::Kind::libraryUnreadable,
                              (path_.empty() ? std::string() : path_.string() + ": ") + e.what());
    }
    library_ = std::move(lib);
    logf("iTunes", "Library verbunden — {} Items, {} Playlists", library_->items.size(), library_->playlists.size());
}

std::vector<AppleMusicPlaylistInfo> ITunesLibraryService::playlists() const {
    std::vector<AppleMusicPlaylistInfo> out;
    if (!library_) return out;
    for (const auto& p : library_->playlists)
        out.push_back({std::to_string(p.persistentId), p.name, static_cast<int64_t>(p.trackIds.size()), p.description,
                       p.kind});
    return out;
}

AppleMusicTrack ITunesLibraryService::trackOf(const Item& item) const {
    return {std::to_string(item.persistentId), item.name, item.artist, item.album, item.totalTimeMs, item.genre,
            std::nullopt};
}

std::vector<AppleMusicTrack> ITunesLibraryService::tracks(const std::string& playlistId) const {
    std::vector<AppleMusicTrack> out;
    if (!library_) return out;
    if (playlistId == allTracks) {
        for (const auto& item : library_->items) out.push_back(trackOf(item));
        return out;
    }
    for (const auto& p : library_->playlists) {
        if (std::to_string(p.persistentId) != playlistId) continue;
        for (int64_t id : p.trackIds)
            if (auto it = library_->byTrackId.find(id); it != library_->byTrackId.end())
                out.push_back(trackOf(library_->items[it->second]));
        break;
    }
    return out;
}

std::vector<RekordboxTrack> ITunesLibraryService::libraryTracks() const {
    std::vector<RekordboxTrack> out;
    if (!library_) return out;
    out.reserve(library_->items.size());
    for (const auto& item : library_->items) {
        RekordboxTrack t;
        t.id = makeUuid();
        t.title = item.name;
        t.artist = item.artist;
        t.genre = item.genre.value_or("");
        t.duration = item.totalTimeMs / 1000;
        t.bpm = item.bpm;
        t.contentId = std::to_string(item.persistentId);
        t.folderPath = item.location;
        t.djSource = sourceName;
        out.push_back(std::move(t));
    }
    return out;
}

const ITunesLibraryService::Item* ITunesLibraryService::item(uint64_t persistentId) const {
    if (!library_) return nullptr;
    for (const auto& i : library_->items)
        if (i.persistentId == persistentId) return &i;
    return nullptr;
}

// ---------------------------------------------------------------- writing playlists

AppleMusicCredentials AppleMusicCredentials::fromKeychain() {
    KeychainService keychain;
    auto nonEmpty = [](std::optional<std::string> s) { return s && !s->empty() ? s : std::nullopt; };
    return {nonEmpty(keychain.read("appleMusicDeveloperToken")), nonEmpty(keychain.read("appleMusicUserToken"))};
}

AppleMusicService::AppleMusicService(HttpClient& http, std::string apiBase, AppleMusicCredentials credentials)
    : http_(http), apiBase_(std::move(apiBase)), credentials_(std::move(credentials)) {
    while (!apiBase_.empty() && apiBase_.back() == '/') apiBase_.pop_back();
}

std::string AppleMusicService::apiBaseFromEnvironment() { return StreamingEndpoints::fromEnvironment().appleMusicBase; }

boost::asio::awaitable<std::string> AppleMusicService::createLibraryPlaylist(std::string name,
                                                                              std::vector<std::string> songIds) {
    if (!credentials_.developerToken || !credentials_.userToken) throw AppleMusicError(AppleMusicError::Kind::notAvailable);
    json data = json::array();
    for (const auto& id : songIds) data.push_back({{"id", id}, {"type", "songs"}});
    json body = {{"attributes", {{"name", name}}}, {"relationships", {{"tracks", {{"data", data}}}}}};
    HttpRequest req;
    req.method = "POST";
    req.url = apiBase_ + "/v1/me/library/playlists";
    req.headers = {{"Authorization", "Bearer " + *credentials_.developerToken},
                   {"Music-User-Token", *credentials_.userToken},
                   {"Content-Type", "application/json"}};
    req.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
    req.timeout = std::chrono::seconds(30);
    HttpResponse r;
    try {
        r = co_await http_.send(std::move(req));
    } catch (const HttpError& e) {
        throw AppleMusicError(AppleMusicError::Kind::requestFailed, std::string("Apple Music nicht erreichbar: ") + e.what());
    }
    if (r.status < 200 || r.status > 299) {
        std::string detail;
        try {
            json j = json::parse(r.body);
            const json& e = j.at("errors").at(0);
            if (e.contains("title") && e["title"].is_string()) detail = e["title"].get<std::string>();
            if (e.contains("detail") && e["detail"].is_string()) detail += (detail.empty() ? "" : ": ") + e["detail"].get<std::string>();
        } catch (const std::exception&) {
        }
        throw AppleMusicError(AppleMusicError::Kind::requestFailed,
                              "HTTP " + std::to_string(r.status) + (detail.empty() ? "" : " – " + detail.substr(0, 200)));
    }
    try {
        json j = json::parse(r.body);
        const json& id = j.at("data").at(0).at("id");
        if (id.is_string() && !id.get<std::string>().empty()) co_return id.get<std::string>();
    } catch (const std::exception&) {
    }
    throw AppleMusicError(AppleMusicError::Kind::requestFailed,
                          "HTTP " + std::to_string(r.status) + " – Antwort ohne Playlist-ID");
}

std::string AppleMusicService::persistentIdText(uint64_t id) { return fmt::format("{:016X}", id); }

int AppleMusicService::createLocalPlaylist(const std::string& name, const std::vector<uint64_t>& persistentIds,
                                           const ITunesLibraryService& library, const std::filesystem::path& file) {
    if (persistentIds.empty()) throw AppleMusicError(AppleMusicError::Kind::noTracks);
    auto str = [](std::string s) {
        PlistValue v;
        v.text = std::move(s);
        return v;
    };
    auto integer = [](int64_t n) {
        PlistValue v;
        v.type = PlistValue::Type::integer;
        v.integer = n;
        return v;
    };
    PlistValue tracks, items;
    tracks.type = PlistValue::Type::dict;
    items.type = PlistValue::Type::array;
    int added = 0;
    std::vector<uint64_t> seen;
    for (uint64_t pid : persistentIds) {
        const auto* it = library.item(pid);
        if (!it) continue;  // as the Music application skips a track it cannot find
        ++added;
        PlistValue entry;
        entry.type = PlistValue::Type::dict;
        entry.dict.emplace_back("Track ID", integer(it->trackId));
        if (std::find(seen.begin(), seen.end(), pid) == seen.end()) {
            seen.push_back(pid);
            PlistValue t;
            t.type = PlistValue::Type::dict;
            t.dict.emplace_back("Track ID", integer(it->trackId));
            t.dict.emplace_back("Persistent ID", str(persistentIdText(pid)));
            t.dict.emplace_back("Name", str(it->name));
            if (!it->artist.empty()) t.dict.emplace_back("Artist", str(it->artist));
            if (!it->album.empty()) t.dict.emplace_back("Album", str(it->album));
            if (it->genre) t.dict.emplace_back("Genre", str(*it->genre));
            if (it->totalTimeMs > 0) t.dict.emplace_back("Total Time", integer(it->totalTimeMs));
            if (it->locationURL) t.dict.emplace_back("Location", str(*it->locationURL));
            tracks.dict.emplace_back(std::to_string(it->trackId), std::move(t));
        }
        items.array.push_back(std::move(entry));
    }
    PlistValue playlist;
    playlist.type = PlistValue::Type::dict;
    playlist.dict.emplace_back("Name", str(name));
    playlist.dict.emplace_back("Playlist Items", std::move(items));
    PlistValue playlists;
    playlists.type = PlistValue::Type::array;
    playlists.array.push_back(std::move(playlist));
    PlistValue root;
    root.type = PlistValue::Type::dict;
    root.dict.emplace_back("Major Version", integer(1));
    root.dict.emplace_back("Minor Version", integer(1));
    root.dict.emplace_back("Tracks", std::move(tracks));
    root.dict.emplace_back("Playlists", std::move(playlists));
    try {
        if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
        writeFileAtomically(file, plistDocument(root));
    } catch (const std::exception& e) {
        throw AppleMusicError(AppleMusicError::Kind::scriptFailed, e.what());
    }
    return added;
}

}  // namespace fv
