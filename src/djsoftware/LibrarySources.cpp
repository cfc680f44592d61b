// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "djsoftware/LibrarySources.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>

#include <fmt/format.h>
#include <sqlite3.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

#include "core/Files.hpp"
#include "core/Uuid.hpp"
#include "djsoftware/AppleMusic.hpp"
#include "djsoftware/MixxxBridge.hpp"
#include "djsoftware/RekordboxBridge.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/SeratoBridge.hpp"
#include "djsoftware/SeratoFiles.hpp"
#include "djsoftware/TextCodec.hpp"
#include "djsoftware/VDJFiles.hpp"
#include "djsoftware/VirtualDJBridge.hpp"
#include "session/AppSettings.hpp"

namespace fv {

namespace fs = std::filesystem;

const std::vector<std::string>& librarySourceKeys() {
    static const std::vector<std::string> keys = {"rekordbox", "serato", "virtualdj", "mixxx", "applemusic"};
    return keys;
}

namespace {

RekordboxTrack record(std::string title, std::string artist, const std::string& source) {
    RekordboxTrack t;
    t.id = makeUuid();
    t.title = std::move(title);
    t.artist = std::move(artist);
    t.djSource = source;
    return t;
}

LibrarySource source(std::string key, std::string name, std::string location = {}) {
    LibrarySource s;
    s.key = std::move(key);
    s.name = std::move(name);
    s.location = std::move(location);
    return s;
}

uint32_t be32(std::string_view b, std::size_t at) {
    return uint32_t(static_cast<unsigned char>(b[at])) << 24 | uint32_t(static_cast<unsigned char>(b[at + 1])) << 16 |
           uint32_t(static_cast<unsigned char>(b[at + 2])) << 8 | uint32_t(static_cast<unsigned char>(b[at + 3]));
}

// "mm:ss.xx", "h:mm:ss" or plain seconds.
std::optional<int64_t> lengthSeconds(const std::string& text) {
    double total = 0;
    std::size_t start = 0;
    int parts = 0;
    while (start <= text.size() && parts < 3) {
        std::size_t colon = text.find(':', start);
        std::string part = text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        double v = 0;
        auto [p, ec] = std::from_chars(part.data(), part.data() + part.size(), v);
        if (part.empty() || ec != std::errc() || p != part.data() + part.size() || !std::isfinite(v) || v < 0)
            return std::nullopt;
        total = total * 60 + v;
        ++parts;
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (total > 1e7) return std::nullopt;
    return static_cast<int64_t>(total);
}

std::optional<double> positiveNumber(const std::string& text) {
    double v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || !std::isfinite(v) || v <= 0 || v >= 1000)
        return std::nullopt;
    return v;
}

std::string stem(const std::string& path) { return fs::path(path).stem().string(); }

}  // namespace

std::vector<RekordboxTrack> seratoDatabaseTracks(std::string_view bytes, std::size_t* skipped) {
    std::vector<RekordboxTrack> out;
    std::size_t at = 0;
    while (at + 8 <= bytes.size()) {
        std::string_view tag = bytes.substr(at, 4);
        std::size_t n = be32(bytes, at + 4);
        if (n > bytes.size() - at - 8) break;  // cut short: what came before stands
        std::string_view value = bytes.substr(at + 8, n);
        at += 8 + n;
        if (tag != "otrk") continue;
        std::optional<std::string> path, title, artist, genre, length, bpm, key;
        for (std::size_t f = 0; f + 8 <= value.size();) {
            std::string_view ftag = value.substr(f, 4);
            std::size_t m = be32(value, f + 4);
            if (m > value.size() - f - 8) break;
            std::string_view fv = value.substr(f + 8, m);
            f += 8 + m;
            if (ftag[0] != 't' && ftag[0] != 'p') continue;
            auto text = utf16BEToUtf8(fv);
            if (!text) continue;
            while (!text->empty() && static_cast<unsigned char>(text->back()) < 0x20) text->pop_back();
            if (ftag == "pfil") path = text;
            else if (ftag == "tsng") title = text;
            else if (ftag == "tart") artist = text;
            else if (ftag == "tgen") genre = text;
            else if (ftag == "tlen") length = text;
            else if (ftag == "tbpm") bpm = text;
            else if (ftag == "tkey") key = text;
        }
        if (!path && !title) {
            if (skipped) ++*skipped;
            continue;
        }
        auto t = record(title && !title->empty() ? *title : stem(path.value_or("")), artist.value_or(""), "Serato");
        t.genre = genre.value_or("");
        if (length) t.duration = lengthSeconds(*length).value_or(0);
        if (bpm) t.bpm = positiveNumber(*bpm);
        if (key && !key->empty()) t.key = key;
        t.folderPath = path;
        out.push_back(std::move(t));
    }
    return out;
}

LibrarySource seratoLibrary(const fs::path& seratoFolder) {
    LibrarySource src = source("serato", "Serato", seratoFolder.string());
    std::set<std::string> known;
    if (auto db = readFile(seratoFolder / "database V2")) {
        src.found = true;
        src.tracks = seratoDatabaseTracks(*db, &src.skipped);
        for (const auto& t : src.tracks)
            if (t.folderPath) known.insert(*t.folderPath);
    }
    // Tracks only in crates (a library copied without its database) come with their file name.
    SeratoBridge bridge;
    bridge.customBasePath = seratoFolder.string();
    std::error_code ec;
    fs::path crates = bridge.cratesFolder();
    for (fs::directory_iterator it(crates, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path().extension() != ".crate") continue;
        src.found = true;
        auto bytes = readFile(it->path());
        if (!bytes) continue;
        try {
            for (const auto& p : seratoCratePaths(*bytes, it->path().filename().string())) {
                if (!known.insert(p).second) continue;
                auto t = record(stem(p), "", "Serato");
                t.folderPath = p;
                src.tracks.push_back(std::move(t));
            }
        } catch (const SeratoFileError&) {
            ++src.skipped;
        }
    }
    if (!src.found) src.error = "Keine Serato-Bibliothek in " + seratoFolder.string();
    return src;
}

LibrarySource virtualDJLibrary(const fs::path& databaseXml) {
    LibrarySource src = source("virtualdj", "VirtualDJ", databaseXml.string());
    auto bytes = readFile(databaseXml);
    if (!bytes) {
        src.error = "Keine VirtualDJ-Datenbank in " + databaseXml.string();
        return src;
    }
    src.found = true;
    VDJDatabaseParser parser;
    try {
        parser.parse(*bytes, databaseXml.string());
    } catch (const VDJFileError& e) {
        src.error = e.what();
        return src;
    }
    for (const auto& [path, info] : parser.result) {
        if (info.title.empty() && path.empty()) {
            ++src.skipped;
            continue;
        }
        auto t = record(info.title.empty() ? stem(path) : info.title, info.artist, "VirtualDJ");
        t.genre = info.genre;
        t.duration = info.duration;
        t.bpm = info.tempo();  // stored as seconds per beat
        if (!info.key.empty()) t.key = info.key;
        t.folderPath = path;
        src.tracks.push_back(std::move(t));
    }
    return src;
}

LibrarySource mixxxLibrary(const fs::path& database) {
    LibrarySource src = source("mixxx", "Mixxx", database.string());
    if (!fileExists(database)) {
        src.error = "Keine Mixxx-Datenbank in " + database.string();
        return src;
    }
    src.found = true;
    sqlite3* db = nullptr;
    // Read-only: Mixxx may be running and owns its database.
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        src.error = fmt::format("Mixxx-Datenbank nicht lesbar: {}", db ? sqlite3_errmsg(db) : "kein Speicher");
        sqlite3_close(db);
        return src;
    }
    sqlite3_busy_timeout(db, 2000);
    const char* sql =
        "SELECT l.title, l.artist, l.genre, l.duration, l.bpm, l.key, tl.location FROM library l "
        "LEFT JOIN track_locations tl ON tl.id = l.location WHERE l.mixxx_deleted = 0 ORDER BY l.id";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
        src.error = fmt::format("Mixxx-Datenbank nicht lesbar: {}", sqlite3_errmsg(db));
        sqlite3_close(db);
        return src;
    }
    auto text = [&](int col) {
        const unsigned char* p = sqlite3_column_text(st, col);
        return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
    };
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        std::string title = text(0), location = text(6);
        if (title.empty() && location.empty()) {
            ++src.skipped;
            continue;
        }
        auto t = record(title.empty() ? stem(location) : title, text(1), "Mixxx");
        t.genre = text(2);
        double d = sqlite3_column_double(st, 3);
        t.duration = std::isfinite(d) && d > 0 && d < 1e7 ? static_cast<int64_t>(d) : 0;
        double bpm = sqlite3_column_double(st, 4);
        if (std::isfinite(bpm) && bpm > 0 && bpm < 1000) t.bpm = bpm;
        if (auto k = text(5); !k.empty()) t.key = k;
        if (!location.empty()) t.folderPath = location;
        src.tracks.push_back(std::move(t));
    }
    if (rc != SQLITE_DONE) src.error = fmt::format("Mixxx-Datenbank nicht lesbar: {}", sqlite3_errmsg(db));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return src;
}

LibrarySource musicLibrary(const fs::path& xml) {
    LibrarySource src = source("applemusic", ITunesLibraryService::sourceName, xml.string());
    if (!fileExists(xml)) {
        src.error = "Keine Musikbibliothek (XML) in " + xml.string();
        return src;
    }
    src.found = true;
    ITunesLibraryService lib(xml);
    try {
        lib.connect();
    } catch (const AppleMusicError& e) {
        src.error = e.what();
        return src;
    }
    src.tracks = lib.libraryTracks();
    src.skipped = lib.skippedTracks();
    return src;
}

LibrarySource folderLibrary(const fs::path& folder) {
    LibrarySource src = source(folder.string(), "Ordner " + folder.filename().string(), folder.string());
    if (!isDirectory(folder)) {
        src.error = "Kein Ordner: " + folder.string();
        return src;
    }
    src.found = true;
    static const std::set<std::string> audio = {".mp3", ".m4a", ".aac", ".flac", ".ogg", ".opus", ".wav", ".aif",
                                                ".aiff", ".wma", ".alac", ".mp4"};
    std::error_code ec;
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        std::string ext = it->path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        if (audio.count(ext)) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        TagLib::FileRef ref(f.c_str(), true, TagLib::AudioProperties::Fast);
        if (ref.isNull() || !ref.tag()) {
            ++src.skipped;
            continue;
        }
        const TagLib::Tag* tag = ref.tag();
        std::string title = tag->title().to8Bit(true);
        auto t = record(title.empty() ? f.stem().string() : title, tag->artist().to8Bit(true), src.name);
        t.genre = tag->genre().to8Bit(true);
        if (const auto* props = ref.audioProperties()) t.duration = props->lengthInSeconds();
        t.folderPath = f.string();
        src.tracks.push_back(std::move(t));
    }
    return src;
}

boost::asio::awaitable<std::vector<LibrarySource>> loadLibrarySources(const AppSettings& settings,
                                                                     std::vector<std::string> keys) {
    std::vector<LibrarySource> out;
    for (const auto& key : keys) {
        if (key == "serato") {
            SeratoBridge b;
            b.configure(settings);
            out.push_back(seratoLibrary(b.basePath()));
        } else if (key == "virtualdj") {
            VirtualDJBridge b;
            b.configure(settings);
            out.push_back(virtualDJLibrary(b.databasePath()));
        } else if (key == "mixxx") {
            MixxxBridge b;
            b.configure(settings);
            out.push_back(mixxxLibrary(b.databasePath()));
        } else if (key == "applemusic") {
            out.push_back(musicLibrary(settings.musicLibraryPath.empty() ? ITunesLibraryService::configuredPath()
                                                                         : fs::path(settings.musicLibraryPath)));
        } else if (key == "rekordbox") {
            LibrarySource src = source("rekordbox", "rekordbox");
            RekordboxBridge b(RekordboxService::shared());
            b.configure(settings);
            src.location = b.dbPath;
            if (b.dbPath.empty() || !fileExists(b.dbPath)) {
                src.error = "Keine rekordbox-Datenbank (master.db) gefunden";
            } else {
                src.found = true;
                try {
                    src.tracks = co_await RekordboxService::shared().listTracks(b.dbPath, b.appSupportPath, "all");
                    for (auto& t : src.tracks) t.djSource = "rekordbox";
                } catch (const std::exception& e) {
                    src.error = e.what();
                }
            }
            out.push_back(std::move(src));
        } else {
            out.push_back(folderLibrary(key));
        }
    }
    co_return out;
}

}  // namespace fv
