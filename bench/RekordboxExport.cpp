// Resolving and exporting 1,000 requested tracks from a 20,000-track rekordbox database through the
// embedded Python module (queue hop, matching, export with cues and analysis paths, JSON both
// ways), against a plain SQLite query of the same rows in the same run.
#include <sqlite3.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "core/Json.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/RekordboxTestDb.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

using Clock = std::chrono::steady_clock;
using namespace fv;

namespace {

template <typename T>
T run(boost::asio::awaitable<T> task) {
    std::optional<T> out;
    std::exception_ptr error;
    bool done = false;
    spawnOnMain(
        [&]() -> boost::asio::awaitable<void> {
            try {
                out.emplace(co_await std::move(task));
            } catch (...) {
                error = std::current_exception();
            }
            done = true;
        }(),
        "bench");
    MainLoop::shared().runUntil([&] { return done; }, std::chrono::minutes(5));
    if (error) std::rethrow_exception(error);
    return std::move(*out);
}

// A folder that removes itself.
struct TempFolder {
    std::filesystem::path path;
    TempFolder() {
        std::string t = (std::filesystem::temp_directory_path() / "fv-bench-XXXXXX").string();
        path = ::mkdtemp(t.data()) ? std::filesystem::path(t) : std::filesystem::temp_directory_path();
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path operator/(const std::string& n) const { return path / n; }
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The same rows the export reads, straight from SQLite in C.
size_t plainQuery(const std::string& db, const std::vector<std::string>& ids) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h,
                       "SELECT c.ID, c.Title, a.Name, al.Name, g.Name, k.ScaleName, c.KeyID, c.BPM, c.Length, "
                       "c.FolderPath, c.FileSize, c.AnalysisDataPath, c.ImagePath, c.Commnt, c.Rating, c.ColorID, "
                       "c.ReleaseYear FROM djmdContent c LEFT JOIN djmdArtist a ON a.ID = c.ArtistID "
                       "LEFT JOIN djmdAlbum al ON al.ID = c.AlbumID LEFT JOIN djmdGenre g ON g.ID = c.GenreID "
                       "LEFT JOIN djmdKey k ON k.ID = c.KeyID WHERE c.ID = ?",
                       -1, &st, nullptr);
    sqlite3_stmt* cue = nullptr;
    sqlite3_prepare_v2(h, "SELECT Kind, InMsec, OutMsec, ColorTableIndex, Comment FROM djmdCue WHERE ContentID = ?",
                       -1, &cue, nullptr);
    size_t bytes = 0;
    for (const auto& id : ids) {
        for (sqlite3_stmt* s : {st, cue}) {
            sqlite3_bind_text(s, 1, id.c_str(), -1, SQLITE_STATIC);
            while (sqlite3_step(s) == SQLITE_ROW)
                for (int c = 0; c < sqlite3_column_count(s); ++c) bytes += size_t(sqlite3_column_bytes(s, c));
            sqlite3_reset(s);
        }
    }
    sqlite3_finalize(st);
    sqlite3_finalize(cue);
    sqlite3_close(h);
    return bytes;
}

}  // namespace

int main() {
    TempFolder dir;
    fv::test::RekordboxTestDb db(dir / "rekordbox");
    const int total = 20000, wanted = 1000;
    db.exec("BEGIN");
    std::vector<std::string> ids;
    for (int i = 0; i < total; ++i) {
        fv::test::RbTrack t;
        t.title = "Titel " + std::to_string(i) + (i % 7 == 0 ? " (Extended Mix)" : "");
        t.artist = "Künstler " + std::to_string(i % 1500);
        t.album = "Album " + std::to_string(i % 900);
        t.genre = "Genre " + std::to_string(i % 40);
        t.key = std::to_string(1 + i % 12) + "A";
        t.path = "/music/" + std::to_string(i % 100) + "/track" + std::to_string(i) + ".mp3";
        t.analysisPath = "/PIONEER/USBANLZ/" + std::to_string(i % 256) + "/" + std::to_string(i) + "/ANLZ0000.DAT";
        t.bpm100 = 11000 + i % 3000;
        t.length = 180 + i % 300;
        ids.push_back(db.addTrack(t));
        if (i % 2 == 0) db.addCue(ids.back(), 0, 1000 + i, -1, i % 8, "Cue");
    }
    db.exec("COMMIT");
    db.close();

    // Every 20th track is requested: half known by their file, half by title and artist only.
    json request = json::array();
    std::vector<std::string> chosen;
    for (int n = 0; n < wanted; ++n) {
        const int i = n * (total / wanted);
        chosen.push_back(ids[size_t(i)]);
        json w = {{"id", 500000 + n}, {"path", ""}, {"title", "Titel " + std::to_string(i)},
                  {"artist", "künstler " + std::to_string(i % 1500)}};
        if (n % 2 == 0) w["path"] = "/music/" + std::to_string(i % 100) + "/track" + std::to_string(i) + ".mp3";
        request.push_back(w);
    }

    auto& service = RekordboxService::shared();
    service.keyProvider = [] { return std::nullopt; };
    const std::string path = db.file().string();
    run(service.validateAccess(path, ""));  // interpreter and module loaded outside the timing

    const int rounds = 5;
    std::vector<double> bridge, plain;
    size_t resolved = 0, exported = 0, bytes = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        json map = jsonx::parse(run(service.resolveCdjContentIds(path, "", request.dump())));
        json contentIds = json::array();
        for (auto it = map["map"].begin(); it != map["map"].end(); ++it) contentIds.push_back(it.value());
        json out = jsonx::parse(run(service.exportCdjTracks(path, "", contentIds.dump(), (dir / "art").string())));
        const auto t1 = Clock::now();
        bytes = plainQuery(path, chosen);
        const auto t2 = Clock::now();
        resolved = map["map"].size();
        exported = out["tracks"].size();
        bridge.push_back(ms(t1 - t0));
        plain.push_back(ms(t2 - t1));
    }
    std::sort(bridge.begin(), bridge.end());
    std::sort(plain.begin(), plain.end());
    const double b = bridge[rounds / 2], p = plain[rounds / 2];
    std::printf("rekordbox export: %d of %d tracks requested, %zu resolved, %zu exported\n", wanted, total, resolved,
                exported);
    std::printf("  bridge (resolve + export through Python): median %.1f ms (min %.1f, max %.1f)\n", b, bridge.front(),
                bridge.back());
    std::printf("  plain SQLite query of the same rows:       median %.1f ms (min %.1f, max %.1f), %zu bytes\n", p,
                plain.front(), plain.back(), bytes);
    std::printf("  ratio bridge / plain: %.1f\n", p > 0 ? b / p : 0.0);
    return resolved == size_t(wanted) && exported == size_t(wanted) ? 0 : 1;
}
