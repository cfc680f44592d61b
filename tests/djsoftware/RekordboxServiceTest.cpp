// The real embedded CPython with the shipped rekordbox_bridge module against rekordbox databases
// the tests build: reading, writing with rekordbox's bookkeeping, encryption, bad input, the
// queue and the one SQLite of the process.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <boost/asio/detached.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/PythonRuntime.hpp"
#include "djsoftware/PlaylistExportService.hpp"
#include "djsoftware/RekordboxBridge.hpp"
#include "platform/SecretStore.hpp"
#include "session/AppSettings.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/RekordboxTestDb.hpp"
#include "support/TestSupport.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

using namespace fv;
using fv::test::RbTrack;
using fv::test::RekordboxTestDb;
using namespace std::chrono_literals;

namespace {

// Runs a coroutine on the main loop until it ends; rethrows what it threw.
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
        "test");
    MainLoop::shared().runUntil([&] { return done; }, 60s);
    if (!done) throw std::runtime_error("task did not end");
    if (error) std::rethrow_exception(error);
    return std::move(*out);
}

void runVoid(boost::asio::awaitable<void> task) {
    run([](boost::asio::awaitable<void> t) -> boost::asio::awaitable<int> {
        co_await std::move(t);
        co_return 0;
    }(std::move(task)));
}

template <typename F>
std::string errorOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

RekordboxService& service(std::optional<std::string> key = std::nullopt) {
    auto& s = RekordboxService::shared();
    s.keyProvider = [key] { return key; };
    return s;
}

// A small library: three tracks, a folder with a playlist, today's history, cues, analysis files.
struct Library {
    fv::test::TempDir dir;
    std::unique_ptr<RekordboxTestDb> db;
    std::string one, two, three, folder, set;

    explicit Library(std::optional<std::string> key = std::nullopt) {
        db = std::make_unique<RekordboxTestDb>(dir / "rekordbox", key);
        const auto anlz = dir / "rekordbox" / "share" / "PIONEER" / "USBANLZ" / "p1";
        std::filesystem::create_directories(anlz);
        fv::test::writeFile(anlz / "ANLZ0000.DAT", "PMAI");
        fv::test::writeFile(anlz / "ANLZ0000.EXT", "PMAI");
        fv::test::writeFile(dir / "rekordbox" / "share" / "PIONEER" / "Artwork" / "a.jpg", "JPEGDATA");
        fv::test::writeFile(dir / "music" / "one.mp3", std::string(1234, 'x'));
        one = db->addTrack(fv::test::rbTrack("One More Time", "Daft Punk", "Discovery", "House", "Am", (dir / "music/one.mp3").string(),
                            "/PIONEER/USBANLZ/p1/ANLZ0000.DAT", "/PIONEER/Artwork/a.jpg", "GBDUW0000059", 12254,
                            320));
        two = db->addTrack(fv::test::rbTrack("Around the World", "Daft Punk", "Homework", "House", "Fm", "/music/atw.aiff", "", "",
                            "", 12100, 429));
        three = db->addTrack(fv::test::rbTrack("Ça plane pour moi", "Plastic Bertrand", "", "Punk", "", "/music/cpm.mp3", "", "",
                              "", 15000, 180));
        folder = db->addPlaylist("Gigs", "root", 1);
        set = db->addPlaylist("Freitag", folder, 0, {two, one});
        db->addPlaylist("Chill", "root", 0, {three});
        db->addCue(one, 0, 1500, -1, 3, "Drop");
        db->addCue(one, 4, 30000, 34000, 0, "Loop");
        db->close();
    }
    std::string path() const { return db->file().string(); }
    std::string support() const { return (dir / "support").string(); }
};

std::string today() {
    auto t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

}  // namespace

TEST(PythonRuntime, MissingPartsAreReportedAndASecondConfigureDoesNothing) {
    // Each case needs a process whose interpreter has not started yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto where = PythonRuntime::defaultLocations();
            where.stdlib = "/nonexistent/lib/python3.11";
            const std::string e1 = errorOf([&] { PythonRuntime::shared().configure(where); });
            where = PythonRuntime::defaultLocations();
            where.moduleFolder = "/nonexistent/python";
            const std::string e2 = errorOf([&] { PythonRuntime::shared().configure(where); });
            const bool untouched = !PythonRuntime::shared().isConfigured() && PythonRuntime::shared().setupCount() == 0;
            _exit(e1 == "Embedded Python runtime not found" && e2 == e1 && untouched ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            ::setenv("FLOORVOTE_PYTHON_PATH", "/nonexistent/python", 1);
            const std::string e = errorOf([] {
                run(RekordboxService::shared().validateAccess("/x/master.db", ""));
            });
            _exit(e == "Python-Runtime nicht gefunden. Rekordbox-Integration nicht verfügbar." ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");

    PythonRuntime::shared().configure();
    ASSERT_TRUE(PythonRuntime::shared().isConfigured());
    const int count = PythonRuntime::shared().setupCount();
    EXPECT_EQ(count, 1);
    PythonRuntime::shared().configure();
    EXPECT_EQ(PythonRuntime::shared().setupCount(), count);
    EXPECT_STREQ(std::getenv("PYTHONDONTWRITEBYTECODE"), "1");
    EXPECT_STREQ(std::getenv("PYTHONNOUSERSITE"), "1");
    // The shipped folder is found from the build tree.
    EXPECT_TRUE(std::filesystem::exists(PythonRuntime::shared().locations().moduleFolder / "rekordbox_bridge"));
}

TEST(RekordboxService, ReadsPlaylistsTracksAndNowPlayingOfARealSchema) {
    Library lib;
    auto& s = service();
    auto v = run(s.validateAccess(lib.path(), lib.support()));
    EXPECT_TRUE(v.ok);
    EXPECT_EQ(v.type, "sqlite");
    EXPECT_EQ(v.trackCount, 3);
    // The folder holding master.db works as well as the file.
    EXPECT_TRUE(run(s.validateAccess(lib.db->folder().string(), "")).ok);

    auto playlists = run(s.listPlaylists(lib.path(), lib.support()));
    ASSERT_EQ(playlists.size(), 3u);
    EXPECT_EQ(playlists[0].name, "Gigs");
    EXPECT_TRUE(playlists[0].isFolder);
    EXPECT_EQ(playlists[0].parentId, "root");
    EXPECT_EQ(playlists[1].name, "Freitag");
    EXPECT_EQ(playlists[1].parentId, lib.folder);
    EXPECT_EQ(playlists[1].path, "Gigs/Freitag");
    EXPECT_EQ(playlists[1].trackCount, 2);
    EXPECT_EQ(playlists[2].name, "Chill");
    EXPECT_EQ(playlists[2].sequence, 2);

    auto tracks = run(s.listTracks(lib.path(), lib.support(), lib.set));
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].title, "Around the World");
    EXPECT_EQ(tracks[1].title, "One More Time");
    EXPECT_EQ(tracks[1].artist, "Daft Punk");
    EXPECT_EQ(tracks[1].genre, "House");
    EXPECT_EQ(tracks[1].duration, 320);
    ASSERT_TRUE(tracks[1].bpm);
    EXPECT_DOUBLE_EQ(*tracks[1].bpm, 122.54);
    EXPECT_EQ(tracks[1].key, "Am");
    EXPECT_EQ(tracks[1].contentId, lib.one);
    EXPECT_EQ(tracks[1].isrc, "GBDUW0000059");
    EXPECT_EQ(tracks[1].djSource, "rekordbox");
    EXPECT_EQ(run(s.listTracks(lib.path(), "", "", 2)).size(), 2u);
    EXPECT_EQ(run(s.listTracks(lib.path(), "", "")).size(), 3u);

    // Now playing: the newest entry of today's history; yesterday's does not count.
    EXPECT_FALSE(run(s.getNowPlaying(lib.path(), lib.support())));
    lib.db->addHistory("2001-01-01", {lib.three});
    EXPECT_FALSE(run(s.getNowPlaying(lib.path(), lib.support())));
    lib.db->addHistory(today(), {lib.one, lib.two});
    lib.db->close();
    auto now = run(s.getNowPlaying(lib.path(), lib.support()));
    ASSERT_TRUE(now);
    EXPECT_EQ(now->title, "Around the World");
    EXPECT_EQ(now->artist, "Daft Punk");
}

TEST(RekordboxService, WritesKeepRekordboxBookkeeping) {
    Library lib;
    auto& s = service();
    const std::string xmlBefore = lib.db->xml();
    const std::string id = run(s.createPlaylist(lib.path(), lib.support(), "Floorvote Event"));
    for (const auto& c : {lib.one, lib.two, lib.three}) runVoid(s.addTrackToPlaylist(lib.path(), "", id, c, 0));
    runVoid(s.addTrackToPlaylist(lib.path(), "", id, lib.one, 0));  // already there: no second entry
    runVoid(s.reorderPlaylist(lib.path(), "", id, {lib.one, lib.two, lib.three}));
    auto order = [&] {
        std::vector<std::string> ids;
        for (const auto& t : run(s.listTracks(lib.path(), "", id))) ids.push_back(*t.contentId);
        return ids;
    };
    EXPECT_EQ(order(), (std::vector<std::string>{lib.one, lib.two, lib.three}));
    runVoid(s.removeTrackFromPlaylist(lib.path(), "", id, lib.two));
    EXPECT_EQ(order(), (std::vector<std::string>{lib.one, lib.three}));
    EXPECT_TRUE(run(s.playlistExists(lib.path(), "", id)));
    EXPECT_FALSE(run(s.playlistExists(lib.path(), "", "4242")));

    auto& db = *lib.db;
    // The playlist sits in the folder "Floorvote" at the top level; both got rekordbox's IDs.
    auto rows = db.rows("SELECT p.Name, p.ParentID, p.Seq, p.Attribute, f.Name, f.ParentID, f.Attribute, f.Seq "
                        "FROM djmdPlaylist p JOIN djmdPlaylist f ON f.ID = p.ParentID WHERE p.ID = '" + id + "'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Floorvote Event", rows[0][1], "1", "0", "Floorvote", "root", "1",
                                                  "3"}));
    const std::string folderId = rows[0][1];
    for (const auto& pid : {id, folderId}) {
        const int64_t n = std::stoll(pid);
        EXPECT_GE(n, 100);
        EXPECT_LT(n, int64_t(1) << 28);
    }
    // Songs numbered 1..n; every row written carries its own number of the update counter, which
    // ends at the highest of them; UUIDs and timestamps as rekordbox writes them.
    EXPECT_EQ(db.rows("SELECT TrackNo FROM djmdSongPlaylist WHERE PlaylistID = '" + id + "' ORDER BY TrackNo"),
              (std::vector<std::vector<std::string>>{{"1"}, {"2"}}));
    const int64_t counter = std::stoll(db.one("SELECT int_1 FROM agentRegistry WHERE registry_id = 'localUpdateCount'"));
    EXPECT_GT(counter, 100);
    std::set<std::string> usns;
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \+00:00)");
    for (const auto& r : db.rows("SELECT rb_local_usn, UUID, created_at, updated_at FROM djmdPlaylist WHERE ID IN ('" +
                                 id + "', '" + folderId + "') UNION ALL SELECT rb_local_usn, UUID, created_at, "
                                 "updated_at FROM djmdSongPlaylist WHERE PlaylistID = '" + id + "'")) {
        EXPECT_GT(std::stoll(r[0]), 100);
        EXPECT_LE(std::stoll(r[0]), counter);
        EXPECT_TRUE(usns.insert(r[0]).second) << "usn " << r[0] << " twice";
        EXPECT_TRUE(std::regex_match(r[1], uuid)) << r[1];
        EXPECT_TRUE(std::regex_match(r[2], stamp)) << r[2];
        EXPECT_TRUE(std::regex_match(r[3], stamp)) << r[3];
    }
    EXPECT_EQ(db.one("SELECT max(rb_local_usn) FROM djmdPlaylist"), std::to_string(counter));
    // The XML beside the database: the earlier lines byte for byte, the two new nodes in hex.
    const std::string xml = db.xml();
    const std::string kept = xmlBefore.substr(0, xmlBefore.find("  </PLAYLISTS>"));
    EXPECT_EQ(xml.substr(0, kept.size()), kept);
    char folderHex[16], idHex[16];
    std::snprintf(folderHex, sizeof folderHex, "%llX", std::stoull(folderId));
    std::snprintf(idHex, sizeof idHex, "%llX", std::stoull(id));
    EXPECT_NE(xml.find(std::string("<NODE Id=\"") + folderHex + "\" ParentId=\"0\" Attribute=\"1\" Timestamp=\""),
              std::string::npos) << xml;
    EXPECT_NE(xml.find(std::string("<NODE Id=\"") + idHex + "\" ParentId=\"" + folderHex + "\" Attribute=\"0\" "),
              std::string::npos) << xml;
    EXPECT_EQ(xml.find("\n\n"), std::string::npos) << "line ends stay CRLF";
    EXPECT_EQ(xml.substr(xml.size() - 20), "</MASTER_PLAYLIST>\r\n");

    // A second playlist goes into the same folder.
    const std::string second = run(s.createPlaylist(lib.path(), "", "Zweites Event"));
    EXPECT_EQ(db.one("SELECT ParentID FROM djmdPlaylist WHERE ID = '" + second + "'"), folderId);
    EXPECT_EQ(db.one("SELECT count(*) FROM djmdPlaylist WHERE Name = 'Floorvote'"), "1");

    // Content for a file rekordbox lacks, and the same file again.
    const std::string made = run(s.getOrCreateContentId(lib.path(), "", "/music/neu.flac", "Neu", "Künstlerin",
                                                       "Album", "Techno", 215));
    EXPECT_EQ(run(s.getOrCreateContentId(lib.path(), "", "/music/neu.flac", "x", "y", "", "", 0)), made);
    EXPECT_EQ(run(s.getOrCreateContentId(lib.path(), "", (lib.dir / "music/one.mp3").string(), "", "", "", "", 0)),
              lib.one);
    EXPECT_EQ(db.rows("SELECT c.Title, a.Name, c.Length, c.FileType, c.FileNameL FROM djmdContent c JOIN djmdArtist a "
                      "ON a.ID = c.ArtistID WHERE c.ID = '" + made + "'"),
              (std::vector<std::vector<std::string>>{{"Neu", "Künstlerin", "215", "5", "neu.flac"}}));
}

TEST(RekordboxService, AFailedWriteLeavesTheDatabaseAsItWas) {
    Library lib;
    auto& s = service();
    auto snapshot = [&] {
        return lib.db->rows("SELECT 'c', int_1 FROM agentRegistry UNION ALL SELECT ID, rb_local_usn FROM djmdPlaylist "
                            "UNION ALL SELECT ID, TrackNo FROM djmdSongPlaylist ORDER BY 1");
    };
    const auto before = snapshot();
    lib.db->close();
    // The XML cannot be kept in step (it lost its closing tags): the whole write is rolled back.
    fv::test::writeFile(lib.db->folder() / "masterPlaylists6.xml", "<?xml version=\"1.0\"?>\r\n<MASTER_PLAYLIST>\r\n");
    const std::string e = errorOf([&] { run(s.createPlaylist(lib.path(), "", "Kaputt")); });
    EXPECT_NE(e.find("PLAYLISTS"), std::string::npos) << e;
    EXPECT_EQ(snapshot(), before);
    // Unknown playlist and track: the module's refusal, nothing written.
    EXPECT_EQ(errorOf([&] { runVoid(s.addTrackToPlaylist(lib.path(), "", "999999", lib.one, 0)); }),
              "Playlist nicht gefunden (ID: 999999)");
    EXPECT_EQ(errorOf([&] { runVoid(s.addTrackToPlaylist(lib.path(), "", lib.set, "424242", 0)); }),
              "Track nicht gefunden (ID: 424242)");
    EXPECT_EQ(snapshot(), before);

    // A running rekordbox (a process of that name) blocks every write.
    fv::test::TempDir bin;
    std::filesystem::copy_file("/bin/sleep", bin / "rekordbox");
    pid_t pid = fork();
    if (pid == 0) {
        execl((bin / "rekordbox").c_str(), "rekordbox", "30", nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(RekordboxService::isRekordboxRunning());
    EXPECT_EQ(errorOf([&] { run(s.createPlaylist(lib.path(), "", "Während rekordbox läuft")); }),
              "Rekordbox ist geöffnet. Bitte schließe Rekordbox vor Schreiboperationen.");
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(snapshot(), before);
}

TEST(RekordboxService, EncryptedDatabaseOpensWithTheKeyOnly) {
    Library lib("test-key-ä");
    {
        std::ifstream f(lib.path(), std::ios::binary);
        std::string head(16, '\0');
        f.read(head.data(), 16);
        ASSERT_NE(head.substr(0, 15), "SQLite format 3");
    }
    auto v = run(service("test-key-ä").validateAccess(lib.path(), ""));
    EXPECT_TRUE(v.ok) << v.error.value_or("");
    EXPECT_EQ(v.type, "sqlcipher");
    EXPECT_EQ(v.trackCount, 3);
    const std::string id = run(service("test-key-ä").createPlaylist(lib.path(), "", "Verschlüsselt"));
    runVoid(service("test-key-ä").addTrackToPlaylist(lib.path(), "", id, lib.three, 0));
    EXPECT_EQ(run(service("test-key-ä").listTracks(lib.path(), "", id)).at(0).title, "Ça plane pour moi");
    EXPECT_EQ(lib.db->one("SELECT count(*) FROM djmdSongPlaylist WHERE PlaylistID = '" + id + "'"), "1");

    auto wrong = run(service("falsch").validateAccess(lib.path(), ""));
    EXPECT_FALSE(wrong.ok);
    EXPECT_EQ(wrong.error, "Der Schlüssel passt nicht zur rekordbox-Datenbank.");
    EXPECT_EQ(errorOf([&] { run(service("falsch").listPlaylists(lib.path(), "")); }),
              "Rekordbox-Datenbank konnte nicht gelesen werden: Python-Fehler: BridgeError: Der Schlüssel passt nicht "
              "zur rekordbox-Datenbank.");
    EXPECT_EQ(errorOf([&] { run(service("falsch").createPlaylist(lib.path(), "", "x")); }),
              "Der Schlüssel passt nicht zur rekordbox-Datenbank.");
    auto none = run(service(std::nullopt).validateAccess(lib.path(), ""));
    EXPECT_EQ(none.error, "Die rekordbox-Datenbank ist verschlüsselt; bitte den Schlüssel mit „floorvote dj "
                          "rekordbox-key“ hinterlegen.");
    // The environment variable serves scripts.
    ::setenv(rekordboxKeyEnv, "test-key-ä", 1);
    RekordboxService::shared().keyProvider = &RekordboxService::storedKey;
    EXPECT_TRUE(run(RekordboxService::shared().validateAccess(lib.path(), "")).ok);
    ::unsetenv(rekordboxKeyEnv);
}

TEST(RekordboxService, BadFilesAndBadAnswersGiveClearErrors) {
    fv::test::TempDir dir;
    auto& s = service();
    EXPECT_EQ(run(s.validateAccess((dir / "nope/master.db").string(), "")).error,
              "Rekordbox master.db nicht gefunden: " + (dir / "nope/master.db").string());
    // Some other SQLite database.
    {
        RekordboxTestDb other(dir / "other");
        other.exec("DROP TABLE djmdContent");
    }
    EXPECT_EQ(run(s.validateAccess((dir / "other").string(), "")).error,
              "Keine rekordbox-Datenbank (Tabelle djmdContent fehlt).");
    // Garbage bytes and a truncated file.
    fv::test::writeFile(dir / "garbage/master.db", std::string(8192, '\x5a'));
    EXPECT_FALSE(run(s.validateAccess((dir / "garbage").string(), "")).ok);
    fv::test::writeFile(dir / "short/master.db", "SQLite");
    EXPECT_FALSE(run(s.validateAccess((dir / "short").string(), "")).ok);
    const std::string e = errorOf([&] { run(s.listPlaylists((dir / "short").string(), "")); });
    EXPECT_EQ(e.rfind("Rekordbox-Datenbank konnte nicht gelesen werden: Python-Fehler: ", 0), 0u) << e;

    // A module that answers garbage: the decoding rules of each call.
    Library lib;
    auto patch = [&](const std::string& code) {
        run(s.safePythonCall<int>([&] {
            PythonRuntime::shared().withGil([&] { PyRun_SimpleString(code.c_str()); });
            return 0;
        }));
    };
    patch("import rekordbox_bridge as m\n"
          "m._saved = (m.get_now_playing, m.create_playlist, m.list_playlists, m.export_cdj_tracks)\n"
          "m.get_now_playing = lambda a, b: 'null'\n"
          "m.create_playlist = lambda a, b, c, d: {'something': 1}\n"
          "m.list_playlists = lambda a, b: '[{\"id\": 5}]'\n"
          "m.export_cdj_tracks = lambda a, b, c, d: None\n");
    EXPECT_FALSE(run(s.getNowPlaying(lib.path(), "")));
    EXPECT_EQ(errorOf([&] { run(s.createPlaylist(lib.path(), "", "x")); }), "Unknown error");
    EXPECT_EQ(errorOf([&] { run(s.listPlaylists(lib.path(), "")); }).rfind(
                  "Rekordbox-Datenbank konnte nicht gelesen werden: list_playlists: ungültige Antwort", 0),
              0u);
    EXPECT_EQ(run(s.exportCdjTracks(lib.path(), "", "[]", "")), "{}");
    patch("import rekordbox_bridge as m\n"
          "m.get_now_playing = lambda a, b: 1 / 0\n");
    EXPECT_EQ(errorOf([&] { run(s.getNowPlaying(lib.path(), "")); }),
              "Rekordbox-Datenbank konnte nicht gelesen werden: Python-Fehler: ZeroDivisionError: division by zero");
    patch("import rekordbox_bridge as m\n"
          "m.get_now_playing, m.create_playlist, m.list_playlists, m.export_cdj_tracks = m._saved\n");
    EXPECT_EQ(run(s.listPlaylists(lib.path(), "")).size(), 3u);
}

TEST(RekordboxService, CallsRunOnThePythonQueueWithoutHoldingUpTheMainLoop) {
    Library lib;
    auto& s = service();
    run(s.validateAccess(lib.path(), ""));  // interpreter up
    // A slow call: the main loop keeps ticking meanwhile.
    std::atomic<int> ticks{0};
    auto timer = Timer::repeating(MainLoop::shared().executor(), 20ms, [&] { ++ticks; });
    std::thread::id bodyThread;
    const auto start = std::chrono::steady_clock::now();
    run(s.safePythonCall<int>([&] {
        bodyThread = std::this_thread::get_id();
        EXPECT_TRUE(s.pythonQueue().isCurrent());
        PythonRuntime::shared().withGil([] { PyRun_SimpleString("import time\ntime.sleep(0.5)\n"); });
        return 0;
    }));
    timer->cancel();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_GE(ticks.load(), 10);
    EXPECT_NE(bodyThread, std::this_thread::get_id());

    // A body that calls the service again runs inline instead of waiting for itself.
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    auto inner = run(s.safePythonCall<std::string>([&] {
        std::string text;
        bool done = false;
        // Driven to its end right here, on the Python queue.
        boost::asio::io_context local;
        boost::asio::co_spawn(
            local,
            [&]() -> boost::asio::awaitable<void> {
                auto v = co_await s.validateAccess(lib.path(), "");
                text = v.type.value_or("");
                done = true;
            },
            boost::asio::detached);
        local.run();
        return done ? text : std::string("<not done>");
    }));
    setLogSink(nullptr);
    EXPECT_EQ(inner, "sqlite");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[RekordboxService] safePythonCall: already on pythonQueue"),
              lines.end());
}

TEST(RekordboxService, TheModuleUsesTheProgramsSqliteOnly) {
    Library lib;
    auto& s = service();
    run(s.listPlaylists(lib.path(), ""));
    run(s.createPlaylist(lib.path(), "", "x"));
    std::string version, modules;
    run(s.safePythonCall<int>([&] {
        PythonRuntime::shared().withGil([&] {
            PyObject* m = PyImport_ImportModule("_fvsqlite");
            PyObject* v = m ? PyObject_CallMethod(m, "sqlite_version", nullptr) : nullptr;
            if (v) version = PyUnicode_AsUTF8(v);
            Py_XDECREF(v);
            Py_XDECREF(m);
            PyObject* sys = PyImport_ImportModule("sys");
            PyObject* mods = sys ? PyObject_GetAttrString(sys, "modules") : nullptr;
            for (const char* name : {"sqlite3", "_sqlite3"})
                if (mods && PyDict_GetItemString(mods, name)) modules += name;
            Py_XDECREF(mods);
            Py_XDECREF(sys);
            PyErr_Clear();
        });
        return 0;
    }));
    EXPECT_EQ(version, "3.42.0");
    EXPECT_EQ(modules, "");
    std::ifstream maps("/proc/self/maps");
    std::string all((std::istreambuf_iterator<char>(maps)), {});
    EXPECT_EQ(all.find("libsqlite3"), std::string::npos);
    EXPECT_NE(all.find("libpython3.11"), std::string::npos);
}

TEST(RekordboxService, DetectsALibraryInAMountedMacHome) {
    fv::test::TempDir home;
    EXPECT_FALSE(RekordboxService::detectMasterDb(home.path()));
    fv::test::writeFile(home / "Library/Pioneer/rekordbox/master.db", "x");
    EXPECT_EQ(RekordboxService::detectMasterDb(home.path()), (home / "Library/Pioneer/rekordbox/master.db").string());
    fv::test::writeFile(home / "Library/Pioneer/rekordbox6/master.db", "x");
    EXPECT_EQ(RekordboxService::detectMasterDb(home.path()), (home / "Library/Pioneer/rekordbox6/master.db").string());
    std::filesystem::create_directories(home / "Library/Application Support/Pioneer");
    EXPECT_EQ(RekordboxService::detectAppSupport(home.path()), (home / "Library/Application Support/Pioneer").string());
}

TEST(RekordboxBridge, ContractOperationsOnARealDatabase) {
    Library lib;
    service();
    RekordboxBridge bridge(RekordboxService::shared());
    bridge.isRekordboxRunning = [] { return false; };
    bridge.dbPath = lib.path();
    EXPECT_FALSE(run(bridge.isAvailable()));
    EXPECT_EQ(errorOf([&] { run(bridge.createPlaylist("x")); }),
              "Rekordbox ist nicht verfügbar oder nicht konfiguriert.");
    bridge.appSupportPath = lib.support();
    EXPECT_TRUE(run(bridge.isAvailable()));
    EXPECT_EQ(run(bridge.refreshStatus(BridgeStatus::configured())), BridgeStatus::connected("3 Playlisten"));

    const std::string id = run(bridge.createPlaylist("Event"));
    EXPECT_TRUE(run(bridge.playlistExists(id)));
    runVoid(bridge.addTrackToPlaylist(lib.three, id, 0));
    runVoid(bridge.addTrackToPlaylist(lib.one, id, 0));
    runVoid(bridge.reorderPlaylist(id, {lib.three, lib.one}));
    EXPECT_EQ(run(RekordboxService::shared().listTracks(lib.path(), "", id)).at(0).contentId, lib.three);
    EXPECT_EQ(errorOf([&] { runVoid(bridge.addTrackToPlaylist("4242", id, 0)); }),
              "Track nicht in der DJ-Software gefunden (ID: Track nicht gefunden (ID: 4242))");
    EXPECT_EQ(errorOf([&] { runVoid(bridge.reorderPlaylist("777", {})); }),
              "Playlist nicht in der DJ-Software gefunden (ID: Playlist nicht gefunden (ID: 777))");

    bridge.isRekordboxRunning = [] { return true; };
    EXPECT_EQ(errorOf([&] { run(bridge.createPlaylist("y")); }),
              "Rekordbox ist geöffnet. Bitte schließe Rekordbox vor Schreiboperationen.");

    // Now playing through the bridge; a broken database turns the status into dbAccessFailed.
    lib.db->addHistory(today(), {lib.two});
    lib.db->close();
    auto now = run(bridge.getCurrentlyPlaying());
    ASSERT_TRUE(now);
    EXPECT_EQ(now->title, "Around the World");
    bridge.dbPath = (lib.dir / "missing.db").string();
    EXPECT_EQ(run(bridge.refreshStatus(BridgeStatus::configured())), BridgeStatus::dbAccessFailed());

    // The stored folder of the database is configured; nothing stored and nothing found: not configured.
    AppSettings s;
    s.lastRekordboxPath = lib.db->folder().string();
    EXPECT_EQ(bridge.configure(s), BridgeStatus::configured());
    EXPECT_EQ(bridge.dbPath, lib.path());
    EXPECT_EQ(bridge.configure(AppSettings{}), BridgeStatus::notConfigured());
}

TEST(RekordboxCommands, KeyIsKeptInTheKeychainAndStatusNeedsARunningSession) {
    auto stored = fv::test::runFloorvote({"dj", "rekordbox-key"}, "sehr-geheim\n");
    EXPECT_EQ(stored.exitCode, 0) << stored.err;
    EXPECT_EQ(stored.out, "rekordbox-Schlüssel gespeichert.\n");
    EXPECT_EQ(SecretStore(xdgDataHome() / "floorvote" / "secrets.json")
                  .read(rekordboxKeyService, rekordboxKeyAccount)
                  .value_or(""),
              "sehr-geheim");
    EXPECT_EQ(fv::test::runFloorvote({"dj", "rekordbox-key"}, "\n").exitCode, 2);
    EXPECT_EQ(fv::test::runFloorvote({"dj", "rekordbox-key", "--remove"}).exitCode, 0);
    auto status = fv::test::runFloorvote({"cdj", "status"});
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_NE(status.err.find("Keine laufende Live-Sitzung mit CDJ-Library"), std::string::npos) << status.err;
}

// An export is one write: the playlist under "Floorvote" with content ids and new content for
// files, read back from master.db; with a broken XML beside it nothing changes; encrypted too.
TEST(RekordboxBridge, ExportWritesTheWholePlaylistInOneTransaction) {
    for (std::optional<std::string> key : {std::optional<std::string>(), std::optional<std::string>("export-key")}) {
        SCOPED_TRACE(key ? "encrypted" : "plain");
        Library lib(key);
        service(key);
        auto bridge = std::make_shared<RekordboxBridge>(RekordboxService::shared());
        bridge->isRekordboxRunning = [] { return false; };
        bridge->dbPath = lib.path();
        bridge->appSupportPath = lib.support();
        PlaylistExportService::Targets targets;
        targets.rekordbox = bridge;
        PlaylistExportService exporter(targets);

        fv::test::writeFile(lib.dir / "music" / "neu.mp3", "audio");
        Track byId, byFile, bySource, unknown, streaming;
        byId.title = "One More Time";
        byId.rekordboxId = lib.one;
        byFile.title = "Neu";
        byFile.artist = "Niemand";
        byFile.folderPath = (lib.dir / "music" / "neu.mp3").string();
        bySource.source = "rekordbox";
        bySource.sourceId = lib.three;
        unknown.rekordboxId = "424242";
        streaming.source = "spotify";
        streaming.sourceId = "sp";
        auto r = run(exporter.exportTracks({byId, byFile, bySource, unknown, streaming}, DJSoftwareType::rekordbox,
                                           "Nach dem Gig", ""));
        EXPECT_EQ(r, (ExportResult{DJSoftwareType::rekordbox, 3, 2, std::nullopt}));
        auto playlists = run(RekordboxService::shared().listPlaylists(lib.path(), ""));
        std::string id;
        for (const auto& p : playlists)
            if (p.name == "Nach dem Gig") id = p.id;
        ASSERT_FALSE(id.empty());
        auto tracks = run(RekordboxService::shared().listTracks(lib.path(), "", id));
        ASSERT_EQ(tracks.size(), 3u);
        EXPECT_EQ(tracks[0].contentId, lib.one);
        EXPECT_EQ(tracks[1].title, "Neu");
        EXPECT_EQ(tracks[1].artist, "Niemand");
        EXPECT_EQ(tracks[2].contentId, lib.three);

        // The XML beside the database cannot be kept in step: nothing of the export is written.
        lib.db->close();
        auto countRows = [&] { return lib.db->rows("SELECT count(*) FROM djmdPlaylist UNION ALL SELECT count(*) FROM djmdContent"); };
        auto before = countRows();
        lib.db->close();
        fv::test::writeFile(lib.db->folder() / "masterPlaylists6.xml", "<?xml version=\"1.0\"?>\r\n<MASTER_PLAYLIST>\r\n");
        fv::test::writeFile(lib.dir / "music" / "noch-neuer.mp3", "audio");
        byFile.folderPath = (lib.dir / "music" / "noch-neuer.mp3").string();
        auto failedExport = run(exporter.exportTracks({byId, byFile}, DJSoftwareType::rekordbox, "Kaputt", ""));
        EXPECT_EQ(failedExport.exported, 0);
        ASSERT_TRUE(failedExport.error);
        EXPECT_EQ(failedExport.error->rfind("Export fehlgeschlagen: ", 0), 0u) << *failedExport.error;
        EXPECT_EQ(countRows(), before);
        lib.db->close();
    }
    service();
}
