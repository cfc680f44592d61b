// Mixxx: playlists and now playing in a database made from the schema a real Mixxx 2.3.3 created
// (tests/data/mixxx), checked by reading the database back.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>

#include <thread>
#include <sys/wait.h>

#include "core/Files.hpp"
#include "djsoftware/MixxxBridge.hpp"
#include "djsoftware/PlaylistExportService.hpp"
#include "platform/ProcessCheck.hpp"
#include "session/ApiTestService.hpp"
#include "session/AppSettings.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::runOnMain;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const std::string dataDir = std::string(FLOORVOTE_SOURCE_DIR) + "/tests/data/mixxx/";

// A fresh database as Mixxx 2.3.3 makes it on its first start.
void makeMixxxDatabase(const fs::path& file) {
    auto sql = readFile(dataDir + "mixxxdb-2.3.3.sql");
    ASSERT_TRUE(sql);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    int rc = sqlite3_exec(db, sql->c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(rc, SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

// Reads rows back as text, one string per row with columns joined by "|".
std::vector<std::string> query(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    std::vector<std::string> rows;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(db);
    } else {
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::string row;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                if (c) row += "|";
                const unsigned char* t = sqlite3_column_text(st, c);
                row += t ? reinterpret_cast<const char*>(t) : "NULL";
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

void exec(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

class MixxxTest : public ::testing::Test {
protected:
    void SetUp() override {
        makeMixxxDatabase(dir / "mixxxdb.sqlite");
        db = dir / "mixxxdb.sqlite";
        bridge.customBasePath = dir.path().string();
        bridge.isMixxxRunning = [this] { return running; };
        bridge.busyTimeout = 100ms;
        for (const char* name : {"Band - Eins.mp3", "Band - Zwei.flac", "Café – Straße 🎶.WAV"})
            fv::test::writeFile(music / name, "audio");
    }
    std::string song(const char* name) const { return (music / name).string(); }

    fv::test::TempDir dir, music;
    fs::path db;
    MixxxBridge bridge;
    bool running = false;
};

}  // namespace

TEST_F(MixxxTest, PlaylistsAreRowsInRequestOrder) {
    std::string id = runOnMain(bridge.createPlaylist("Sommerfest"));
    EXPECT_EQ(id, "3") << "after Mixxx's own Auto DJ and history playlists";
    EXPECT_THAT(query(db, "SELECT name, position, hidden, locked FROM Playlists WHERE id = 3"),
                ElementsAre("Floorvote Sommerfest|3|0|0"));
    EXPECT_EQ(runOnMain(bridge.createPlaylist("Sommerfest")), id) << "never made twice";
    EXPECT_TRUE(runOnMain(bridge.playlistExists(id)));
    EXPECT_FALSE(runOnMain(bridge.playlistExists("2"))) << "a history playlist is no playlist of the DJ";
    EXPECT_FALSE(runOnMain(bridge.playlistExists("99")));
    EXPECT_FALSE(runOnMain(bridge.playlistExists("x; DROP TABLE")));

    runOnMain(bridge.addTrackToPlaylist(song("Band - Eins.mp3"), id, 0));
    runOnMain(bridge.addTrackToPlaylist(song("Band - Zwei.flac"), id, 0));
    runOnMain(bridge.addTrackToPlaylist(song("Café – Straße 🎶.WAV"), id, 9));
    EXPECT_THAT(runOnMain(bridge.playlistPaths(id)),
                ElementsAre(song("Band - Zwei.flac"), song("Band - Eins.mp3"), song("Café – Straße 🎶.WAV")));
    EXPECT_THAT(query(db, "SELECT position FROM PlaylistTracks WHERE playlist_id = 3 ORDER BY position"),
                ElementsAre("1", "2", "3"));
    runOnMain(bridge.addTrackToPlaylist(song("Band - Eins.mp3"), id, 0));
    EXPECT_THAT(runOnMain(bridge.playlistPaths(id)),
                ElementsAre(song("Band - Eins.mp3"), song("Band - Zwei.flac"), song("Café – Straße 🎶.WAV")))
        << "added again: moved, not doubled";
    EXPECT_EQ(query(db, "SELECT COUNT(*) FROM library")[0], "3");

    runOnMain(bridge.reorderPlaylist(id, {song("Café – Straße 🎶.WAV"), song("Band - Eins.mp3")}));
    EXPECT_THAT(runOnMain(bridge.playlistPaths(id)),
                ElementsAre(song("Café – Straße 🎶.WAV"), song("Band - Eins.mp3"), song("Band - Zwei.flac")));
    runOnMain(bridge.removeTrackFromPlaylist(song("Band - Eins.mp3"), id));
    EXPECT_THAT(runOnMain(bridge.playlistPaths(id)),
                ElementsAre(song("Café – Straße 🎶.WAV"), song("Band - Zwei.flac")));
    EXPECT_THAT(query(db, "SELECT position FROM PlaylistTracks WHERE playlist_id = 3 ORDER BY position"),
                ElementsAre("1", "2"));
}

TEST_F(MixxxTest, NewFilesEnterTheLibraryAsMixxxsScanAddsThem) {
    // The rows a real Mixxx wrote for a scanned file show what each table needs.
    fs::path real = dir / "real.sqlite";
    makeMixxxDatabase(real);
    exec(real, readFile(dataDir + "scanned-track-2.3.3.sql").value_or(""));
    auto mixxxRow = query(real,
                          "SELECT track_locations.filename, track_locations.fs_deleted, "
                          "track_locations.needs_verification, library.location = track_locations.id, "
                          "library.mixxx_deleted, library.filetype FROM library JOIN track_locations "
                          "ON library.location = track_locations.id");
    ASSERT_THAT(mixxxRow, ElementsAre("Künstler - Lied.wav|0|0|1|0|wav"));

    std::string id = runOnMain(bridge.createPlaylist("S"));
    runOnMain(bridge.addTrackToPlaylist(song("Café – Straße 🎶.WAV"), id, 0));
    EXPECT_THAT(query(db,
                      "SELECT track_locations.filename, track_locations.fs_deleted, "
                      "track_locations.needs_verification, library.location = track_locations.id, "
                      "library.mixxx_deleted, library.filetype FROM library JOIN track_locations "
                      "ON library.location = track_locations.id"),
                ElementsAre("Café – Straße 🎶.WAV|0|0|1|0|wav"));
    EXPECT_THAT(query(db, "SELECT location, directory, filesize FROM track_locations"),
                ElementsAre(song("Café – Straße 🎶.WAV") + "|" + music.path().string() + "|5"));
    EXPECT_THAT(query(db,
                      "SELECT header_parsed, played, timesplayed, datetime_added LIKE '____-__-__T__:__:__.___Z' "
                      "FROM library"),
                ElementsAre("0|0|0|1"))
        << "Mixxx reads the tags itself";

    // A file Mixxx already knows (hidden from the library) is used, not added again.
    exec(db, "UPDATE library SET mixxx_deleted = 1");
    std::string id2 = runOnMain(bridge.createPlaylist("T"));
    runOnMain(bridge.addTrackToPlaylist(song("Café – Straße 🎶.WAV"), id2, 0));
    EXPECT_THAT(query(db, "SELECT COUNT(*), MAX(mixxx_deleted) FROM library"), ElementsAre("1|0"));

    // A missing file is not put into the library; nothing of the write stays.
    try {
        runOnMain(bridge.addTrackToPlaylist(song("missing.mp3"), id, 0));
        ADD_FAILURE();
    } catch (const DJBridgeError& e) {
        EXPECT_EQ(e.kind(), DJBridgeError::Kind::trackNotFound);
    }
    EXPECT_EQ(query(db, "SELECT COUNT(*) FROM track_locations")[0], "1");
}

TEST_F(MixxxTest, NowPlayingIsTheLastEntryOfTheNewestHistory) {
    EXPECT_EQ(runOnMain(bridge.getCurrentlyPlaying()), std::nullopt) << "Mixxx's fresh history is empty";
    exec(db,
         "INSERT INTO track_locations VALUES(1,'/m/a.mp3','a.mp3','/m',1,0,0);"
         "INSERT INTO track_locations VALUES(2,'/m/Untagged File.mp3','Untagged File.mp3','/m',1,0,0);"
         "INSERT INTO library (id, artist, title, location) VALUES (1, 'Band', 'Alt', 1), (2, 'Künstlerin', 'Neu', 1),"
         " (3, '', '', 2);"
         "INSERT INTO Playlists VALUES(5,'2026-12-01',5,2,'2026-12-01 20:00:00','2026-12-01 20:00:00',0);"
         "INSERT INTO PlaylistTracks (playlist_id, track_id, position) VALUES (5, 1, 1);"
         "INSERT INTO PlaylistTracks (playlist_id, track_id, position) VALUES (2, 1, 1), (2, 2, 2);"
         "INSERT INTO Playlists VALUES(6,'Mein Set',6,0,'2030-01-01 00:00:00','2030-01-01 00:00:00',0);"
         "INSERT INTO PlaylistTracks (playlist_id, track_id, position) VALUES (6, 1, 1);");
    auto now = runOnMain(bridge.getCurrentlyPlaying());
    ASSERT_TRUE(now);
    EXPECT_EQ(now->title, "Neu");
    EXPECT_EQ(now->artist, "Künstlerin");
    exec(db, "INSERT INTO PlaylistTracks (playlist_id, track_id, position) VALUES (2, 3, 3)");
    now = runOnMain(bridge.getCurrentlyPlaying());
    ASSERT_TRUE(now);
    EXPECT_EQ(now->title, "Untagged File") << "an untagged file shows as its name, as in Mixxx";
}

TEST_F(MixxxTest, WritesWaitForMixxxToClose) {
    std::string id = runOnMain(bridge.createPlaylist("S"));
    runOnMain(bridge.addTrackToPlaylist(song("Band - Eins.mp3"), id, 0));
    auto before = query(db, "SELECT * FROM PlaylistTracks");

    // A real process named like Mixxx, seen by the platform's process check.
    MixxxBridge real;
    real.customBasePath = dir.path().string();
    fs::copy_file("/bin/sleep", dir / "mixxx");
    std::string exe = (dir / "mixxx").string();
    std::string secs = "30";
    char* argv[] = {exe.data(), secs.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ), 0);
    // posix_spawn returns while the kernel may still be finishing the exec (the name comes last).
    for (int i = 0; i < 200 && !isProcessRunning("mixxx"); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(isProcessRunning("mixxx"));
    for (auto op : {0, 1, 2, 3}) {
        try {
            if (op == 0) (void)runOnMain(real.createPlaylist("T"));
            if (op == 1) runOnMain(real.addTrackToPlaylist(song("Band - Zwei.flac"), id, 0));
            if (op == 2) runOnMain(real.removeTrackFromPlaylist(song("Band - Eins.mp3"), id));
            if (op == 3) runOnMain(real.reorderPlaylist(id, {}));
            ADD_FAILURE() << "wrote while Mixxx runs: " << op;
        } catch (const DJBridgeError& e) {
            EXPECT_EQ(e.kind(), DJBridgeError::Kind::softwareRunning);
            EXPECT_STREQ(e.what(), "Mixxx ist geöffnet. Bitte schließe Mixxx vor Schreiboperationen.");
        }
    }
    // Reads go on.
    EXPECT_TRUE(runOnMain(real.playlistExists(id)));
    EXPECT_EQ(runOnMain(real.getCurrentlyPlaying()), std::nullopt);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(query(db, "SELECT * FROM PlaylistTracks"), before);
    EXPECT_EQ(query(db, "SELECT COUNT(*) FROM Playlists")[0], "3");
}

TEST_F(MixxxTest, LockedOrDamagedDatabases) {
    std::string id = runOnMain(bridge.createPlaylist("S"));
    auto before = query(db, "SELECT * FROM PlaylistTracks");
    // Another program holds the database.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    try {
        runOnMain(bridge.addTrackToPlaylist(song("Band - Eins.mp3"), id, 0));
        ADD_FAILURE() << "wrote into a locked database";
    } catch (const std::exception& e) {
        EXPECT_THAT(e.what(), HasSubstr("ist gesperrt"));
    }
    EXPECT_THROW((void)runOnMain(bridge.getCurrentlyPlaying()), std::exception);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(query(db, "SELECT * FROM PlaylistTracks"), before);

    // Garbage where the database should be.
    std::string garbage(8192, 'x');
    fv::test::writeFile(db, garbage);
    try {
        (void)runOnMain(bridge.createPlaylist("T"));
        ADD_FAILURE();
    } catch (const std::exception& e) {
        EXPECT_THAT(e.what(), HasSubstr("ist beschädigt oder keine Datenbank"));
    }
    EXPECT_EQ(readFile(db), garbage) << "a damaged file is left as it is";
    EXPECT_EQ(runOnMain(bridge.refreshStatus(BridgeStatus::configured())), BridgeStatus::dbAccessFailed());

    // A SQLite database that is not Mixxx's.
    fs::remove(db);
    exec(db, "CREATE TABLE other (x)");
    try {
        (void)runOnMain(bridge.getCurrentlyPlaying());
        ADD_FAILURE();
    } catch (const std::exception& e) {
        EXPECT_THAT(e.what(), HasSubstr("hat nicht die Tabellen von Mixxx"));
    }
    fs::remove(db);
    EXPECT_THROW((void)runOnMain(bridge.createPlaylist("X")), DJBridgeError);
    EXPECT_FALSE(fileExists(db)) << "never creates a Mixxx database";
}

TEST_F(MixxxTest, Status) {
    AppSettings s;
    s.lastMixxxPath = dir.path().string();
    EXPECT_EQ(bridge.configure(s), BridgeStatus::configured());
    (void)runOnMain(bridge.createPlaylist("S"));
    EXPECT_EQ(runOnMain(bridge.refreshStatus(BridgeStatus::configured())),
              BridgeStatus::connected("1 Playlisten · Now Playing"));
    s.lastMixxxPath = (dir / "nowhere").string();
    EXPECT_EQ(bridge.configure(s), BridgeStatus::configured());
    EXPECT_EQ(runOnMain(bridge.refreshStatus(BridgeStatus::configured())), BridgeStatus::unreachable());
}

// An export writes one playlist of exactly the given name and files in one transaction; a second
// export under the name replaces it; with Mixxx running nothing changes.
TEST_F(MixxxTest, ExportWritesTheWholePlaylistOrNothing) {
    auto mixxx = std::make_shared<MixxxBridge>();
    mixxx->customBasePath = bridge.customBasePath;
    mixxx->isMixxxRunning = [this] { return running; };
    PlaylistExportService::Targets targets;
    targets.mixxx = mixxx;
    PlaylistExportService exporter(targets);
    auto track = [](const std::string& path, const std::string& title) {
        Track t;
        t.title = title;
        t.artist = "Band";
        t.folderPath = path;
        return t;
    };
    std::vector<Track> tracks{track(song("Band - Zwei.flac"), "Zwei"), track(song("Café – Straße 🎶.WAV"), "Café"),
                              track("/weg/nicht-da.mp3", "Weg"), track(song("Band - Eins.mp3"), "Eins")};
    auto r = runOnMain(exporter.exportTracks(tracks, DJSoftwareType::mixxx, "Nach dem Gig", ""));
    EXPECT_EQ(r, (ExportResult{DJSoftwareType::mixxx, 3, 1, std::nullopt}));
    auto ids = query(db, "SELECT id FROM Playlists WHERE name = 'Nach dem Gig' AND hidden = 0");
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_THAT(runOnMain(mixxx->playlistPaths(ids[0])),
                ElementsAre(song("Band - Zwei.flac"), song("Café – Straße 🎶.WAV"), song("Band - Eins.mp3")));
    auto again = runOnMain(exporter.exportTracks({tracks[3]}, DJSoftwareType::mixxx, "Nach dem Gig", ""));
    EXPECT_EQ(again.exported, 1);
    EXPECT_EQ(query(db, "SELECT id FROM Playlists WHERE name = 'Nach dem Gig'").size(), 1u);
    EXPECT_THAT(runOnMain(mixxx->playlistPaths(ids[0])), ElementsAre(song("Band - Eins.mp3")));

    auto before = query(db, "SELECT playlist_id, track_id, position FROM PlaylistTracks ORDER BY id");
    running = true;
    auto refused = runOnMain(exporter.exportTracks(tracks, DJSoftwareType::mixxx, "Anders", ""));
    EXPECT_EQ(refused.exported, 0);
    ASSERT_TRUE(refused.error);
    EXPECT_THAT(*refused.error, HasSubstr("Export fehlgeschlagen: "));
    EXPECT_EQ(query(db, "SELECT playlist_id, track_id, position FROM PlaylistTracks ORDER BY id"), before);
    EXPECT_TRUE(query(db, "SELECT id FROM Playlists WHERE name = 'Anders'").empty());
}
