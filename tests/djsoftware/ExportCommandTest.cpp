// floorvote export as a DJ runs it after a gig: the same 50 requested tracks into VirtualDJ,
// Serato, Mixxx and rekordbox, each read back with that program's reader.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <cstdlib>

#include <fmt/format.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "core/Files.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/RekordboxTestDb.hpp"
#include "djsoftware/SeratoFiles.hpp"
#include "djsoftware/VDJFiles.hpp"
#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

namespace {
// The first column of every row.
std::vector<std::string> column(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    std::vector<std::string> out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK)
        while (sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char* t = sqlite3_column_text(st, 0);
            out.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
        }
    else
        ADD_FAILURE() << sqlite3_errmsg(db);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}
}  // namespace

using fv::test::runFloorvote;
using fv::test::TestService;
using nlohmann::json;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

TEST(ExportCommand, FiftyRequestedTracksIntoEveryDJProgram) {
    fv::test::TempDir home, music;
    fv::test::useHome(home.path());
    TestService service;
    setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);

    // 50 confirmed requests of files on disk, one played request, one request of a streaming track.
    json tracks = json::array(), requests = json::array();
    std::vector<std::string> paths;
    for (int i = 1; i <= 50; ++i) {
        fs::path p = music / fmt::format("{:02} Künstler – Titel {}.mp3", i, i);
        fv::test::writeFile(p, "audio");
        paths.push_back(p.string());
        tracks.push_back({{"id", i}, {"title", fmt::format("Titel {}", i)}, {"artist", "Künstler"}, {"bpm", 120 + i},
                          {"folder_path", p.string()}});
        requests.push_back({{"id", 100 + i}, {"track_id", i}, {"title", fmt::format("Titel {}", i)},
                            {"artist", "Künstler"}, {"status", "confirmed"}, {"created_at", "2026-12-06T22:00:00Z"}});
    }
    tracks.push_back({{"id", 99}, {"title", "Stream"}, {"artist", "X"}, {"source", "spotify"}, {"source_id", "sp99"}});
    requests.push_back({{"id", 199}, {"track_id", 99}, {"title", "Stream"}, {"artist", "X"}, {"status", "played"},
                        {"created_at", "2026-12-06T23:00:00Z"}});
    service.account({{"email", "dj@example.invalid"}, {"role", "user"}, {"code", "123456"}});
    service.event({{"id", "ev1"}, {"dj_pin", "1234"}, {"dj_name", "Kai"}, {"event_name", "Sommerfest"},
                   {"ownerEmail", "dj@example.invalid"}, {"tracks", tracks}, {"requests", requests}});
    ASSERT_EQ(runFloorvote({"login", "dj@example.invalid", "--code", "123456"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"use", "ev1", "--pin", "1234"}).exitCode, 0);

    // VirtualDJ: the folder given once is kept for the next export.
    fs::path vdj = home.path() / "VirtualDJ";
    auto r = runFloorvote({"export", "virtualdj", "Sommerfest", "--folder", vdj.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("50 Tracks nach VirtualDJ exportiert."));
    fv::VDJFolderParser vdjList;
    vdjList.parse(*fv::readFile(vdj / "MyLists" / "Sommerfest.vdjfolder"), "Sommerfest");
    ASSERT_EQ(vdjList.songs.size(), 50u);
    for (size_t i = 0; i < 50; ++i) EXPECT_EQ(vdjList.songs[i].path, paths[i]);
    r = runFloorvote({"export", "virtualdj", "Alles", "--requests", "all", "--json"});
    auto j = json::parse(r.out, nullptr, false);
    EXPECT_EQ(j["exported"], 50);
    EXPECT_EQ(j["skipped"], 1);
    EXPECT_TRUE(fv::fileExists(vdj / "MyLists" / "Alles.vdjfolder"));

    // Serato.
    fs::path serato = home.path() / "Music" / "_Serato_";
    r = runFloorvote({"export", "serato", "Sommerfest", "--folder", serato.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(fv::seratoCratePaths(*fv::readFile(serato / "Subcrates" / "Sommerfest.crate"), "crate"), paths);

    // Mixxx, in a database made from the schema a real Mixxx created.
    fs::path mixxx = home.path() / ".mixxx";
    fs::create_directories(mixxx);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((mixxx / "mixxxdb.sqlite").c_str(), &db), SQLITE_OK);
        auto sql = fv::readFile(std::string(FLOORVOTE_SOURCE_DIR) + "/tests/data/mixxx/mixxxdb-2.3.3.sql");
        ASSERT_TRUE(sql);
        ASSERT_EQ(sqlite3_exec(db, sql->c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    r = runFloorvote({"export", "mixxx", "Sommerfest", "--folder", mixxx.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(column(mixxx / "mixxxdb.sqlite",
                     "SELECT l.location FROM PlaylistTracks pt JOIN Playlists p ON p.id = pt.playlist_id "
                     "JOIN library lib ON lib.id = pt.track_id JOIN track_locations l ON l.id = lib.location "
                     "WHERE p.name = 'Sommerfest' ORDER BY pt.position"),
              paths);

    // rekordbox, in a master.db with the real schema.
    fv::test::TempDir rb;
    {
        fv::test::RekordboxTestDb db(rb / "rekordbox");
        db.close();
    }
    ASSERT_EQ(runFloorvote({"settings", "set", "lastRekordboxPath", (rb / "rekordbox" / "master.db").string()}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"settings", "set", "lastRekordboxAppSupportPath", (rb / "support").string()}).exitCode, 0);
    fs::create_directories(rb / "support");
    r = runFloorvote({"export", "rekordbox", "Sommerfest"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("50 Tracks nach Rekordbox exportiert."));
    EXPECT_EQ(column(rb / "rekordbox" / "master.db",
                     "SELECT c.FolderPath FROM djmdSongPlaylist s JOIN djmdPlaylist p ON p.ID = s.PlaylistID "
                     "JOIN djmdContent c ON c.ID = s.ContentID WHERE p.Name = 'Sommerfest' ORDER BY s.TrackNo"),
              paths);

    // Streaming targets without a signed-in service, and an unknown target: a clear answer.
    r = runFloorvote({"export", "spotify", "Sommerfest", "--requests", "played"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.out, HasSubstr("Export fehlgeschlagen: Spotify ist nicht angemeldet"));
    EXPECT_EQ(runFloorvote({"export", "traktor", "X"}).exitCode, 2);
    unsetenv("FLOORVOTE_PRODUCTION_URL");
}
