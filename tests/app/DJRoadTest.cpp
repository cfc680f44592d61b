// The road of one request, end to end: a guest's request confirmed in `floorvote run` reaches the
// event's playlist in VirtualDJ, Serato and Mixxx in request order and is recorded as exported;
// now playing read from the program reaches the service and the overlay page once per change.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <nlohmann/json.hpp>

#include "app/TmuxTerminal.hpp"
#include "core/Files.hpp"
#include "djsoftware/SeratoFiles.hpp"
#include "djsoftware/VDJFiles.hpp"
#include "overlay/OverlayTestClient.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using fv::test::runFloorvote;
using fv::test::runProcess;
using fv::test::Terminal;
using fv::test::TestService;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

json request(int64_t id, const std::string& title, int64_t trackId, const std::string& at) {
    return {{"id", id},        {"title", title},      {"artist", "Band"}, {"status", "pending"},
            {"vote_count", 1}, {"track_id", trackId}, {"created_at", at}};
}

uint16_t freePort() {
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(probe);
    return ntohs(a.sin_port);
}

bool eventually(const std::function<bool()>& pred, std::chrono::seconds limit = 20s) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return pred();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<std::string> sqliteRows(const fs::path& file, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return rows;
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK)
        while (sqlite3_step(st) == SQLITE_ROW) {
            const unsigned char* t = sqlite3_column_text(st, 0);
            rows.emplace_back(t ? reinterpret_cast<const char*>(t) : "NULL");
        }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

bool sqliteExec(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_busy_timeout(db, 2000);
    bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

class DJRoad : public ::testing::Test {
protected:
    void SetUp() override {
        if (runProcess({"tmux", "-V"}).exitCode != 0) GTEST_SKIP() << "tmux is not installed";
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        for (const char* f : {"Band - Eins.mp3", "Band - Zwei.mp3", "Band - Drei.mp3"})
            fv::test::writeFile(music / f, "audio");
        service = std::make_unique<TestService>(TestService::serviceArgs("production"));
        setenv("FLOORVOTE_PRODUCTION_URL", service->url().c_str(), 1);
        service->account({{"email", "dj@example.invalid"}, {"code", "123456"}});
    }
    void TearDown() override { unsetenv("FLOORVOTE_PRODUCTION_URL"); }

    std::string song(const char* name) const { return (music / name).string(); }

    // The event with three tracks on this computer and two waiting requests, using `software`.
    void event(const std::string& software) {
        json tracks = json::array();
        int64_t id = 70;
        for (const char* f : {"Band - Eins.mp3", "Band - Zwei.mp3", "Band - Drei.mp3"})
            tracks.push_back({{"id", id++}, {"title", f}, {"artist", "Band"}, {"folder_path", song(f)}});
        service->event({{"id", "ev1"},
                        {"dj_pin", "1234"},
                        {"event_name", "Sommerfest"},
                        {"ownerEmail", "dj@example.invalid"},
                        {"is_active", true},
                        {"tracks", tracks},
                        {"requests", json::array({request(1, "Eins", 70, "2026-01-01T20:00:00Z"),
                                                  request(2, "Zwei", 71, "2026-01-01T20:01:00Z")})},
                        {"preferences", {{"activeDjSoftware", software}, {"showNowPlaying", true}}}});
        ASSERT_EQ(runFloorvote({"login", "dj@example.invalid", "--code", "123456"}).exitCode, 0);
        ASSERT_EQ(runFloorvote({"use", "ev1", "--pin", "1234"}).exitCode, 0);
        ASSERT_EQ(runFloorvote({"settings", "set", "pollIntervalSecs", "1"}).exitCode, 0);
        ASSERT_EQ(runFloorvote({"settings", "set", "notifyOnNewRequest", "true"}).exitCode, 0);
    }
    void overlayOn() {
        overlayPort = freePort();
        ASSERT_EQ(runFloorvote({"overlay", "config", "set", "enabled", "true"}).exitCode, 0);
        ASSERT_EQ(runFloorvote({"overlay", "config", "set", "port", std::to_string(overlayPort)}).exitCode, 0);
    }
    std::string runCommandLine() const {
        std::string env = "env";
        for (const char* v : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "FLOORVOTE_PRODUCTION_URL"})
            if (const char* value = getenv(v)) env += std::string(" ") + v + "='" + value + "'";
        return env + " " + FLOORVOTE_BINARY + " run -v";
    }
    // Starts the session and waits until the event playlist is there.
    void run(Terminal& t, const std::string& software) {
        t.start(runCommandLine());
        ASSERT_TRUE(t.waitFor("„hilfe“ zeigt die Befehle.")) << t.screen();
        ASSERT_TRUE(t.waitFor("[AppStore] DJ playlist checked/created: " + software)) << t.screen();
    }
    // A guest asks for "Drei" on the web page; the DJ confirms it, then the older request.
    void confirmInTerminal(Terminal& t) {
        service->admin("POST", "/__admin/add-request",
                       {{"eventId", "ev1"}, {"request", request(3, "Drei", 72, "2026-01-01T20:05:00Z")}});
        ASSERT_TRUE(t.waitFor("🔔 Neuer Musikwunsch: Band – Drei")) << t.screen();
        t.type("ok 3");
        ASSERT_TRUE(t.waitFor("Bestätigt: #3")) << t.screen();
    }
    std::set<int64_t> exported() const {
        fv::DefaultsStore store(home->path() / ".config" / "floorvote" / "defaults.sqlite3");
        std::set<int64_t> out;
        auto raw = store.get("exportedRequestIds_ev1");
        if (!raw) return out;
        for (const auto& v : json::parse(*raw)) out.insert(v.get<int64_t>());
        return out;
    }
    json nowPlayingOnService() const { return service->state()["events"]["ev1"]["nowPlaying"]; }
    int nowPlayingReports() const {
        int n = 0;
        for (const auto& r : service->received())
            if (r["method"] == "POST" && r["target"] == "/api/events/ev1/now-playing") ++n;
        return n;
    }

    std::unique_ptr<fv::test::TempDir> home;
    fv::test::TempDir music;
    std::unique_ptr<TestService> service;
    uint16_t overlayPort = 0;
};

// The overlay page's nowPlaying frames over a stretch of time.
std::vector<json> nowPlayingFrames(fv::test::LoopbackClient& page, std::chrono::milliseconds during) {
    std::vector<json> out;
    auto until = std::chrono::steady_clock::now() + during;
    while (std::chrono::steady_clock::now() < until) {
        auto f = page.readFrame(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
        if (!f) continue;
        json j = json::parse(f->payload, nullptr, false);
        if (j.is_object() && j["type"] == "nowPlaying") out.push_back(j);
    }
    return out;
}

}  // namespace

TEST_F(DJRoad, VirtualDJListInRequestOrderNowPlayingAndDeckLoading) {
    event("virtualdj");
    fv::test::TempDir vdj;
    TestService peer({"node", std::string(TEST_PEERS_DIR) + "/virtualdj/server.js", "--port", "0"});
    ASSERT_EQ(runFloorvote({"dj", "path", "virtualdj", vdj.path().string()}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"dj", "port", std::to_string(peer.port())}).exitCode, 0);
    overlayOn();

    Terminal t;
    run(t, "virtualdj");
    fs::path list = vdj / "MyLists" / "Floorvote Sommerfest.vdjfolder";
    EXPECT_EQ(fv::readFile(list).value_or(""), fv::vdjFolderDocument({}));
    auto paths = [&] {
        fv::VDJFolderParser p;
        p.parse(fv::readFile(list).value_or(""), "list");
        std::vector<std::string> out;
        for (const auto& s : p.songs) out.push_back(s.path);
        return out;
    };

    confirmInTerminal(t);
    ASSERT_TRUE(eventually([&] { return paths() == std::vector<std::string>{song("Band - Drei.mp3")}; })) << t.screen();
    t.type("ok 1");
    ASSERT_TRUE(eventually([&] {
        return paths() == std::vector<std::string>{song("Band - Eins.mp3"), song("Band - Drei.mp3")};
    })) << t.screen();
    ASSERT_TRUE(eventually([&] { return exported() == std::set<int64_t>{1, 3}; }));

    // Confirmed once more, and written once more: still one entry each.
    t.type("ok 3");
    ASSERT_TRUE(eventually([&] { return count(t.screen(), "Bestätigt: #3") == 2; })) << t.screen();
    auto again = runFloorvote({"dj", "sync"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("2 bestätigte Wünsche in VirtualDJ geschrieben: " + list.string()));
    EXPECT_THAT(paths(), ElementsAre(song("Band - Eins.mp3"), song("Band - Drei.mp3")));

    // Now playing: VirtualDJ's master deck, read by polling.
    fv::test::LoopbackClient page(overlayPort);
    ASSERT_TRUE(page.connected());
    ASSERT_THAT(page.upgrade(), HasSubstr("101"));
    peer.admin("POST", "/__admin/deck",
               {{"deck", 1}, {"title", "Blue Monday"}, {"artist", "New Order"}, {"master", true}});
    auto frames = nowPlayingFrames(page, 3500ms);
    ASSERT_EQ(frames.size(), 1u) << t.screen();
    EXPECT_EQ(frames[0]["title"], "Blue Monday");
    EXPECT_EQ(frames[0]["artist"], "New Order");
    EXPECT_EQ(nowPlayingOnService()["track_title"], "Blue Monday");
    EXPECT_EQ(nowPlayingReports(), 1) << "one report per change";
    peer.admin("POST", "/__admin/deck",
               {{"deck", 1}, {"title", "Enjoy the Silence"}, {"artist", "Depeche Mode"}, {"master", true}});
    frames = nowPlayingFrames(page, 3000ms);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]["title"], "Enjoy the Silence");
    EXPECT_TRUE(eventually([&] { return nowPlayingOnService()["track_artist"] == "Depeche Mode"; }));
    EXPECT_EQ(nowPlayingReports(), 2);

    // The requested track onto deck 2, from the terminal.
    t.type("laden 3 2");
    ASSERT_TRUE(t.waitFor("Wunsch #3 (Band – Drei) auf Deck 2 geladen.")) << t.screen();
    EXPECT_EQ(peer.admin("GET", "/__admin/received")["decks"]["2"]["filepath"], song("Band - Drei.mp3"));
    t.type("laden 3 5");
    ASSERT_TRUE(t.waitFor("VirtualDJ konnte den Track nicht laden")) << t.screen();

    t.type("ende");
    ASSERT_TRUE(t.waitDead()) << t.screen();
}

TEST_F(DJRoad, SeratoCrateInRequestOrder) {
    event("serato");
    fv::test::TempDir serato;
    ASSERT_EQ(runFloorvote({"dj", "path", "serato", serato.path().string()}).exitCode, 0);

    Terminal t;
    run(t, "serato");
    EXPECT_THAT(t.screen(), HasSubstr("[AppStore] polling skipped — active=true, showNowPlaying=true, supported=false"));
    fs::path crate = serato / "Subcrates" / "Floorvote%%Sommerfest.crate";
    auto paths = [&] {
        auto bytes = fv::readFile(crate);
        return bytes ? fv::seratoCratePaths(*bytes, "crate") : std::vector<std::string>{};
    };
    EXPECT_TRUE(fv::fileExists(serato / "Subcrates" / "Floorvote.crate"));

    confirmInTerminal(t);
    // Serato keeps paths without their leading slash.
    ASSERT_TRUE(eventually([&] { return paths() == std::vector<std::string>{song("Band - Drei.mp3").substr(1)}; }))
        << t.screen();
    t.type("ok 1");
    ASSERT_TRUE(eventually([&] {
        return paths() ==
               std::vector<std::string>{song("Band - Eins.mp3").substr(1), song("Band - Drei.mp3").substr(1)};
    })) << t.screen();
    ASSERT_TRUE(eventually([&] { return exported() == std::set<int64_t>{1, 3}; }));
    t.type("ok 1");
    ASSERT_TRUE(eventually([&] { return count(t.screen(), "Bestätigt: #1") == 2; })) << t.screen();
    auto again = runFloorvote({"dj", "sync"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("2 bestätigte Wünsche in Serato DJ geschrieben"));
    EXPECT_EQ(paths().size(), 2u);
    EXPECT_TRUE(fv::fileExists(crate.string() + ".floorvote.bak"));
    t.type("ende");
    ASSERT_TRUE(t.waitDead()) << t.screen();

    // Serato is read once on request: the newest history session.
    fs::create_directories(serato / "History" / "Sessions");
    auto u16 = [](const std::string& ascii) {
        std::string out;
        for (char c : ascii) out += std::string(1, '\0') + c;
        return out;
    };
    auto field = [](const std::string& tag, const std::string& v) {
        uint32_t n = uint32_t(v.size());
        return tag + std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + v;
    };
    std::string adat =
        field(std::string("\0\0\0\x06", 4), u16("Blue Monday")) + field(std::string("\0\0\0\x07", 4), u16("New Order"));
    fv::test::writeFile(serato / "History" / "Sessions" / "1.session", field("oent", field("adat", adat)));
    auto now = runFloorvote({"dj", "now"});
    EXPECT_EQ(now.exitCode, 0) << now.err;
    EXPECT_THAT(now.out, HasSubstr("Serato DJ: New Order – Blue Monday"));
}

TEST_F(DJRoad, MixxxPlaylistInRequestOrderAndNowPlayingFromItsHistory) {
    event("mixxx");
    fv::test::TempDir mixxx;
    fs::path db = mixxx / "mixxxdb.sqlite";
    ASSERT_TRUE(sqliteExec(
        db, fv::readFile(std::string(FLOORVOTE_SOURCE_DIR) + "/tests/data/mixxx/mixxxdb-2.3.3.sql").value_or("")));
    ASSERT_EQ(runFloorvote({"dj", "path", "mixxx", mixxx.path().string()}).exitCode, 0);
    overlayOn();

    Terminal t;
    run(t, "mixxx");
    auto paths = [&] {
        return sqliteRows(db,
                          "SELECT track_locations.location FROM PlaylistTracks JOIN Playlists ON Playlists.id = "
                          "PlaylistTracks.playlist_id JOIN library ON library.id = PlaylistTracks.track_id JOIN "
                          "track_locations ON track_locations.id = library.location WHERE Playlists.name = "
                          "'Floorvote Sommerfest' ORDER BY PlaylistTracks.position");
    };
    EXPECT_THAT(sqliteRows(db, "SELECT COUNT(*) FROM Playlists WHERE name = 'Floorvote Sommerfest' AND hidden = 0"),
                ElementsAre("1"));

    confirmInTerminal(t);
    ASSERT_TRUE(eventually([&] { return paths() == std::vector<std::string>{song("Band - Drei.mp3")}; })) << t.screen();
    t.type("ok 1");
    ASSERT_TRUE(eventually([&] {
        return paths() == std::vector<std::string>{song("Band - Eins.mp3"), song("Band - Drei.mp3")};
    })) << t.screen();
    ASSERT_TRUE(eventually([&] { return exported() == std::set<int64_t>{1, 3}; }));
    t.type("ok 3");
    ASSERT_TRUE(eventually([&] { return count(t.screen(), "Bestätigt: #3") == 2; })) << t.screen();
    auto again = runFloorvote({"dj", "sync"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("2 bestätigte Wünsche in Mixxx geschrieben"));
    EXPECT_EQ(paths().size(), 2u);
    EXPECT_THAT(sqliteRows(db, "SELECT COUNT(*) FROM library"), ElementsAre("2"));

    // Mixxx appends to today's history when the audible track changes.
    fv::test::LoopbackClient page(overlayPort);
    ASSERT_TRUE(page.connected());
    ASSERT_THAT(page.upgrade(), HasSubstr("101"));
    ASSERT_TRUE(
        sqliteExec(db, "UPDATE library SET title = 'Drei', artist = 'Band' WHERE id = (SELECT MIN(id) FROM library)"));
    ASSERT_TRUE(sqliteExec(db,
                           "INSERT INTO PlaylistTracks (playlist_id, track_id, position) VALUES "
                           "(2, (SELECT MIN(id) FROM library), 1)"));
    auto frames = nowPlayingFrames(page, 3500ms);
    ASSERT_EQ(frames.size(), 1u) << t.screen();
    EXPECT_EQ(frames[0]["title"], "Drei");
    EXPECT_TRUE(eventually([&] { return nowPlayingOnService()["track_title"] == "Drei"; }));
    EXPECT_EQ(nowPlayingReports(), 1);

    t.type("ende");
    ASSERT_TRUE(t.waitDead()) << t.screen();
}
