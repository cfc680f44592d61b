// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "djsoftware/MixxxBridge.hpp"

#include <fmt/format.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>

#include "core/Files.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "djsoftware/OffLoop.hpp"
#include "platform/ProcessCheck.hpp"
#include "session/AppSettings.hpp"

namespace fv {

namespace {

void log(const std::string& m) { logLine("MixxxBridge", m); }

SerialQueue& mixxxQueue() {
    static SerialQueue q("floorvote.mixxx");
    return q;
}

// A failure of Mixxx's database (missing, locked, damaged); the text is German.
class MixxxDbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string nowLocal(const char* format) {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

// Mixxx's own form for library.datetime_added (UTC, milliseconds, "Z").
std::string nowIsoUtc() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&t, &tm);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return fmt::format("{}.{:03}Z", buf, ms);
}

class Statement;

// One connection to mixxxdb.sqlite, never creating it.
class Db {
public:
    Db(const fs::path& file, bool write, std::chrono::milliseconds busy) : file_(file) {
        if (!fileExists(file)) throw MixxxDbError("Die Mixxx-Datenbank " + file.string() + " wurde nicht gefunden");
        int flags = (write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
        int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) fail(rc, "kann nicht geöffnet werden");
        sqlite3_busy_timeout(db_, int(busy.count()));
        sqlite3_extended_result_codes(db_, 1);
    }
    ~Db() { sqlite3_close_v2(db_); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    sqlite3* handle() const { return db_; }
    void exec(const char* sql) {
        int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) fail(rc, "konnte nicht bearbeitet werden");
    }
    [[noreturn]] void fail(int rc, const std::string& what) const {
        int base = rc & 0xFF;
        std::string why;
        if (base == SQLITE_BUSY || base == SQLITE_LOCKED)
            why = "ist gesperrt (Mixxx oder ein anderes Programm schreibt gerade)";
        else if (base == SQLITE_CORRUPT || base == SQLITE_NOTADB)
            why = "ist beschädigt oder keine Datenbank";
        else if (base == SQLITE_READONLY || base == SQLITE_PERM || base == SQLITE_CANTOPEN || base == SQLITE_AUTH)
            why = what + " (kein Zugriff)";
        else if (base == SQLITE_ERROR)
            why = "hat nicht die Tabellen von Mixxx (" + std::string(db_ ? sqlite3_errmsg(db_) : "?") + ")";
        else
            why = what + " (" + sqlite3_errstr(rc) + ")";
        throw MixxxDbError("Die Mixxx-Datenbank " + file_.string() + " " + why);
    }

private:
    fs::path file_;
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(Db& db, const char* sql) : db_(db) {
        int rc = sqlite3_prepare_v2(db.handle(), sql, -1, &st_, nullptr);
        if (rc != SQLITE_OK) db.fail(rc, "konnte nicht gelesen werden");
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, int64_t v) {
        sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    Statement& bind(int i, const std::string& v) {
        sqlite3_bind_text(st_, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True while there is a row.
    bool step() {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        db_.fail(rc, "konnte nicht gelesen werden");
    }
    void run() {
        while (step()) {
        }
    }
    int64_t integer(int col) const { return sqlite3_column_int64(st_, col); }
    bool isNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    std::string text(int col) const {
        const unsigned char* t = sqlite3_column_text(st_, col);
        return t ? std::string(reinterpret_cast<const char*>(t), size_t(sqlite3_column_bytes(st_, col)))
                 : std::string();
    }

private:
    Db& db_;
    sqlite3_stmt* st_ = nullptr;
};

// One write: the whole change or none of it.
template <typename F>
void inTransaction(Db& db, F&& change) {
    db.exec("BEGIN IMMEDIATE");
    try {
        change();
        db.exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::optional<int64_t> parseId(const std::string& id) {
    if (id.empty() || id.size() > 18 || id.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return std::stoll(id);
}

int64_t requireId(const std::string& id) {
    auto v = parseId(id);
    if (!v) throw DJBridgeError::playlistNotFound(id);
    return *v;
}

bool visiblePlaylist(Db& db, int64_t id) {
    Statement st(db, "SELECT 1 FROM Playlists WHERE id = ? AND hidden = 0");
    st.bind(1, id);
    return st.step();
}

std::optional<int64_t> libraryTrack(Db& db, const std::string& path) {
    Statement st(db,
                 "SELECT library.id FROM library JOIN track_locations ON library.location = track_locations.id "
                 "WHERE track_locations.location = ? ORDER BY library.id LIMIT 1");
    st.bind(1, path);
    if (!st.step()) return std::nullopt;
    return st.integer(0);
}

// The track of the file in Mixxx's library, adding it as Mixxx's own scan does: a location row,
// then a library row pointing at it. Mixxx reads the tags itself (header_parsed = 0).
int64_t ensureLibraryTrack(Db& db, const std::string& path) {
    if (auto id = libraryTrack(db, path)) {
        Statement undelete(db, "UPDATE library SET mixxx_deleted = 0 WHERE id = ? AND mixxx_deleted != 0");
        undelete.bind(1, *id).run();
        return *id;
    }
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (ec || !fs::is_regular_file(path, ec)) throw DJBridgeError::trackNotFound(path);
    fs::path p(path);
    std::string ext = p.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });

    int64_t locationId;
    {
        Statement find(db, "SELECT id FROM track_locations WHERE location = ?");
        find.bind(1, path);
        if (find.step()) {
            locationId = find.integer(0);
        } else {
            Statement ins(db,
                          "INSERT INTO track_locations (location, filename, directory, filesize, fs_deleted, "
                          "needs_verification) VALUES (?, ?, ?, ?, 0, 0)");
            ins.bind(1, path).bind(2, p.filename().string()).bind(3, p.parent_path().string()).bind(4, int64_t(size));
            ins.run();
            locationId = sqlite3_last_insert_rowid(db.handle());
        }
    }
    Statement lib(db,
                  "INSERT INTO library (location, title, filetype, datetime_added, mixxx_deleted, played, "
                  "header_parsed, timesplayed, rating) VALUES (?, ?, ?, ?, 0, 0, 0, 0, 0)");
    lib.bind(1, locationId)
        .bind(2, p.stem().string())
        .bind(3, ext.empty() ? std::string("?") : ext)
        .bind(4, nowIsoUtc());
    lib.run();
    return sqlite3_last_insert_rowid(db.handle());
}

struct Entry {
    int64_t trackId;
    std::string added;
};

std::vector<Entry> entries(Db& db, int64_t playlist) {
    Statement st(db,
                 "SELECT track_id, pl_datetime_added FROM PlaylistTracks WHERE playlist_id = ? ORDER BY position, id");
    st.bind(1, playlist);
    std::vector<Entry> out;
    while (st.step()) out.push_back({st.integer(0), st.text(1)});
    return out;
}

// Positions are 1, 2, 3 … as Mixxx numbers them.
void rewrite(Db& db, int64_t playlist, const std::vector<Entry>& list) {
    Statement del(db, "DELETE FROM PlaylistTracks WHERE playlist_id = ?");
    del.bind(1, playlist).run();
    int64_t pos = 1;
    for (const auto& e : list) {
        Statement ins(
            db, "INSERT INTO PlaylistTracks (playlist_id, track_id, position, pl_datetime_added) VALUES (?, ?, ?, ?)");
        ins.bind(1, playlist).bind(2, e.trackId).bind(3, pos++).bind(4, e.added);
        ins.run();
    }
    Statement touch(db, "UPDATE Playlists SET date_modified = ? WHERE id = ?");
    touch.bind(1, nowLocal("%Y-%m-%d %H:%M:%S")).bind(2, playlist).run();
}

}  // namespace

MixxxBridge::MixxxBridge() : isMixxxRunning([] { return isProcessRunning("mixxx"); }) {}

fs::path MixxxBridge::basePath() const {
    return customBasePath.empty() ? realHomeDirectory() / ".mixxx" : fs::path(customBasePath);
}

DJSoftwareBridge::Task<bool> MixxxBridge::isAvailable() { co_return fileExists(databasePath()); }

BridgeStatus MixxxBridge::configure(const AppSettings& settings) {
    chosen_ = !settings.lastMixxxPath.empty();
    if (chosen_) {
        customBasePath = settings.lastMixxxPath;
        // Missing shows at the next refresh as unreachable; a database we may not read is no access.
        if (::access(databasePath().c_str(), R_OK) != 0 && errno != ENOENT) return BridgeStatus::accessDenied();
        return BridgeStatus::configured();
    }
    customBasePath.clear();
    return fileExists(databasePath()) ? BridgeStatus::autoDetected() : BridgeStatus::notConfigured();
}

DJSoftwareBridge::Task<BridgeStatus> MixxxBridge::refreshStatus(BridgeStatus configured) {
    // A database that cannot be reached for lack of rights stays "no access", not "gone".
    if (configured == BridgeStatus::accessDenied()) co_return configured;
    fs::path file = databasePath();
    if (!fileExists(file)) co_return chosen_ ? BridgeStatus::unreachable() : configured;
    auto busy = busyTimeout;
    try {
        // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
        std::function<int64_t()> work = [file, busy] {
            Db db(file, false, busy);
            Statement st(db, "SELECT COUNT(*) FROM Playlists WHERE hidden = 0");
            st.step();
            return st.integer(0);
        };
        int64_t n = co_await runOffLoop<int64_t>(mixxxQueue(), std::move(work));
        co_return BridgeStatus::connected(std::to_string(n) + " Playlisten · Now Playing");
    } catch (const std::exception& e) {
        log(std::string("status: ") + e.what());
    }
    co_return BridgeStatus::dbAccessFailed();
}

DJSoftwareBridge::Task<std::optional<DJNowPlaying>> MixxxBridge::getCurrentlyPlaying() {
    fs::path file = databasePath();
    auto busy = busyTimeout;
    // Mixxx appends to the newest history playlist whenever the audible track changes.
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    std::function<std::optional<std::pair<std::string, std::string>>()> work =
        [file, busy]() -> std::optional<std::pair<std::string, std::string>> {
        Db db(file, false, busy);
        Statement st(db,
                     "SELECT library.title, library.artist, track_locations.filename FROM PlaylistTracks "
                     "JOIN library ON library.id = PlaylistTracks.track_id "
                     "LEFT JOIN track_locations ON track_locations.id = library.location "
                     "WHERE PlaylistTracks.playlist_id = (SELECT id FROM Playlists WHERE hidden = 2 "
                     "ORDER BY date_created DESC, id DESC LIMIT 1) "
                     "ORDER BY PlaylistTracks.position DESC, PlaylistTracks.id DESC LIMIT 1");
        if (!st.step()) return std::nullopt;
        std::string title = st.text(0);
        // Untagged files show as their file name in Mixxx.
        if (title.empty()) title = fs::path(st.text(2)).stem().string();
        return std::make_pair(title, st.text(1));
    };
    auto found = co_await runOffLoop<std::optional<std::pair<std::string, std::string>>>(mixxxQueue(), std::move(work));
    if (!found || found->first.empty()) co_return std::nullopt;
    co_return DJNowPlaying{found->first, found->second, std::chrono::system_clock::now()};
}

DJSoftwareBridge::Task<bool> MixxxBridge::playlistExists(std::string playlistId) {
    auto id = parseId(playlistId);
    if (!id) co_return false;
    fs::path file = databasePath();
    auto busy = busyTimeout;
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    std::function<bool()> work = [file, busy, id = *id] {
        Db db(file, false, busy);
        return visiblePlaylist(db, id);
    };
    co_return co_await runOffLoop<bool>(mixxxQueue(), std::move(work));
}

DJSoftwareBridge::Task<std::vector<std::string>> MixxxBridge::playlistPaths(std::string playlistId) {
    int64_t id = requireId(playlistId);
    fs::path file = databasePath();
    auto busy = busyTimeout;
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    std::function<std::vector<std::string>()> work = [file, busy, id] {
        Db db(file, false, busy);
        Statement st(db,
                     "SELECT track_locations.location FROM PlaylistTracks "
                     "JOIN library ON library.id = PlaylistTracks.track_id "
                     "JOIN track_locations ON track_locations.id = library.location "
                     "WHERE PlaylistTracks.playlist_id = ? ORDER BY PlaylistTracks.position, PlaylistTracks.id");
        st.bind(1, id);
        std::vector<std::string> out;
        while (st.step()) out.push_back(st.text(0));
        return out;
    };
    co_return co_await runOffLoop<std::vector<std::string>>(mixxxQueue(), std::move(work));
}

DJSoftwareBridge::Task<std::string> MixxxBridge::createPlaylist(std::string name) {
    if (!fileExists(databasePath())) throw DJBridgeError::softwareNotAvailable(DJSoftwareType::mixxx);
    if (isMixxxRunning()) throw DJBridgeError::softwareRunning(DJSoftwareType::mixxx);
    fs::path file = databasePath();
    auto busy = busyTimeout;
    std::string full = "Floorvote " + name;
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    std::function<int64_t()> work = [file, busy, full] {
        Db db(file, true, busy);
        int64_t id = 0;
        inTransaction(db, [&] {
            // A playlist of that name is kept and named, never made twice.
            Statement find(db, "SELECT id FROM Playlists WHERE name = ? AND hidden = 0 ORDER BY id LIMIT 1");
            find.bind(1, full);
            if (find.step()) {
                id = find.integer(0);
                return;
            }
            std::string now = nowLocal("%Y-%m-%d %H:%M:%S");
            Statement ins(db,
                          "INSERT INTO Playlists (name, position, hidden, date_created, date_modified, locked) "
                          "VALUES (?, (SELECT COALESCE(MAX(position), 0) + 1 FROM Playlists), 0, ?, ?, 0)");
            ins.bind(1, full).bind(2, now).bind(3, now).run();
            id = sqlite3_last_insert_rowid(db.handle());
        });
        return id;
    };
    int64_t id = co_await runOffLoop<int64_t>(mixxxQueue(), std::move(work));
    co_return std::to_string(id);
}

DJSoftwareBridge::Task<std::string> MixxxBridge::writePlaylist(std::string name, std::vector<std::string> paths) {
    if (!fileExists(databasePath())) throw DJBridgeError::softwareNotAvailable(DJSoftwareType::mixxx);
    if (isMixxxRunning()) throw DJBridgeError::softwareRunning(DJSoftwareType::mixxx);
    fs::path file = databasePath();
    auto busy = busyTimeout;
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    std::function<int64_t()> work = [file, busy, name, paths] {
        Db db(file, true, busy);
        int64_t id = 0;
        inTransaction(db, [&] {
            Statement find(db, "SELECT id FROM Playlists WHERE name = ? AND hidden = 0 ORDER BY id LIMIT 1");
            find.bind(1, name);
            std::string now = nowLocal("%Y-%m-%d %H:%M:%S");
            if (find.step()) {
                id = find.integer(0);
                Statement touch(db, "UPDATE Playlists SET date_modified = ? WHERE id = ?");
                touch.bind(1, now).bind(2, id).run();
            } else {
                Statement ins(db,
                              "INSERT INTO Playlists (name, position, hidden, date_created, date_modified, locked) "
                              "VALUES (?, (SELECT COALESCE(MAX(position), 0) + 1 FROM Playlists), 0, ?, ?, 0)");
                ins.bind(1, name).bind(2, now).bind(3, now).run();
                id = sqlite3_last_insert_rowid(db.handle());
            }
            std::vector<Entry> list;
            std::string added = nowIsoUtc();
            for (const auto& p : paths) list.push_back(Entry{ensureLibraryTrack(db, p), added});
            rewrite(db, id, list);
        });
        return id;
    };
    int64_t id = co_await runOffLoop<int64_t>(mixxxQueue(), std::move(work));
    co_return std::to_string(id);
}

DJSoftwareBridge::Task<void> MixxxBridge::addTrackToPlaylist(std::string path, std::string playlistId,
                                                             std::size_t position) {
    int64_t playlist = requireId(playlistId);
    if (isMixxxRunning()) throw DJBridgeError::softwareRunning(DJSoftwareType::mixxx);
    fs::path file = databasePath();
    auto busy = busyTimeout;
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    std::function<bool()> work = [file, busy, path, playlist, position] {
        Db db(file, true, busy);
        inTransaction(db, [&] {
            if (!visiblePlaylist(db, playlist)) throw DJBridgeError::playlistNotFound(std::to_string(playlist));
            int64_t track = ensureLibraryTrack(db, path);
            auto list = entries(db, playlist);
            std::string added = nowIsoUtc();
            for (const auto& e : list)
                if (e.trackId == track) added = e.added;
            std::erase_if(list, [&](const Entry& e) { return e.trackId == track; });
            list.insert(list.begin() + std::ptrdiff_t(std::min(position, list.size())), Entry{track, added});
            rewrite(db, playlist, list);
        });
        return true;
    };
    (void)co_await runOffLoop<bool>(mixxxQueue(), std::move(work));
}

DJSoftwareBridge::Task<void> MixxxBridge::removeTrackFromPlaylist(std::string path, std::string playlistId) {
    int64_t playlist = requireId(playlistId);
    if (isMixxxRunning()) throw DJBridgeError::softwareRunning(DJSoftwareType::mixxx);
    fs::path file = databasePath();
    auto busy = busyTimeout;
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    std::function<bool()> work = [file, busy, path, playlist] {
        Db db(file, true, busy);
        inTransaction(db, [&] {
            if (!visiblePlaylist(db, playlist)) throw DJBridgeError::playlistNotFound(std::to_string(playlist));
            auto track = libraryTrack(db, path);
            if (!track) return;
            auto list = entries(db, playlist);
            std::erase_if(list, [&](const Entry& e) { return e.trackId == *track; });
            rewrite(db, playlist, list);
        });
        return true;
    };
    (void)co_await runOffLoop<bool>(mixxxQueue(), std::move(work));
}

DJSoftwareBridge::Task<void> MixxxBridge::reorderPlaylist(std::string playlistId, std::vector<std::string> paths) {
    int64_t playlist = requireId(playlistId);
    if (isMixxxRunning()) throw DJBridgeError::softwareRunning(DJSoftwareType::mixxx);
    fs::path file = databasePath();
    auto busy = busyTimeout;
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    std::function<bool()> work = [file, busy, paths, playlist] {
        Db db(file, true, busy);
        inTransaction(db, [&] {
            if (!visiblePlaylist(db, playlist)) throw DJBridgeError::playlistNotFound(std::to_string(playlist));
            auto list = entries(db, playlist);
            // The named tracks in the given order, then the DJ's own additions as they stood.
            std::vector<Entry> ordered;
            std::vector<bool> used(list.size(), false);
            for (const auto& p : paths) {
                auto track = libraryTrack(db, p);
                if (!track) continue;
                for (size_t i = 0; i < list.size(); ++i) {
                    if (!used[i] && list[i].trackId == *track) {
                        used[i] = true;
                        ordered.push_back(list[i]);
                        break;
                    }
                }
            }
            for (size_t i = 0; i < list.size(); ++i)
                if (!used[i]) ordered.push_back(list[i]);
            rewrite(db, playlist, ordered);
        });
        return true;
    };
    (void)co_await runOffLoop<bool>(mixxxQueue(), std::move(work));
}

}  // namespace fv
