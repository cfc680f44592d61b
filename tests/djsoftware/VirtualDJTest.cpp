// VirtualDJ: the folder and library files byte for byte, and the network control against a
// local peer that answers as the plugin does.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/Files.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "djsoftware/VirtualDJBridge.hpp"
#include "session/ApiTestService.hpp"
#include "session/AppSettings.hpp"
#include "session/KeychainService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::runOnMain;
using fv::test::TestService;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::vector<std::string> pathsOf(const std::vector<VDJFolderSong>& songs) {
    std::vector<std::string> out;
    for (const auto& s : songs) out.push_back(s.path);
    return out;
}

std::string read(const fs::path& p) { return readFile(p).value_or("<missing>"); }

}  // namespace

TEST(VDJFolderFile, ExactBytesOfTheWriter) {
    VDJFolderSong a;
    a.path = "/m/AC\"DC & <Co>.mp3";
    a.artist = "AC/DC";
    a.title = "T";
    a.bpm = 0;
    a.duration = 215.25;
    VDJFolderSong b;
    b.path = "/m/b.mp3";
    b.remix = "Edit";
    b.key = "8A";
    b.bpm = 128;
    EXPECT_EQ(vdjFolderDocument({a, b}),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<VirtualFolder noDuplicates=\"yes\">\n"
              "\t<song path=\"/m/AC&quot;DC &amp; &lt;Co&gt;.mp3\" artist=\"AC/DC\" title=\"T\" bpm=\"0.000\" "
              "songlength=\"215.2\" idx=\"0\" />\n"
              "\t<song path=\"/m/b.mp3\" remix=\"Edit\" bpm=\"128.000\" key=\"8A\" idx=\"1\" />\n"
              "</VirtualFolder>\n");
    EXPECT_EQ(vdjFolderDocument({}),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VirtualFolder noDuplicates=\"yes\">\n</VirtualFolder>\n");
    EXPECT_EQ(vdjEscape("&\"<>"), "&amp;&quot;&lt;&gt;");
}

TEST(VDJFolderFile, RoundTripAndWhatTheReaderSkips) {
    std::vector<VDJFolderSong> songs(4);
    songs[0].path = "/Musik/Café – Straße 🎵.mp3";
    songs[0].title = "Ünïcödé";
    songs[0].bpm = 123.5;
    songs[0].duration = 61;
    songs[1].path = "/m/with\"quote'and\ttab\nline.mp3";
    songs[2].path = "/m/a & b <c>.flac";
    songs[2].key = "1m";
    songs[3].path = "/m/bad\x01path.mp3";  // no XML can hold it: left out, the rest stays readable
    VDJFolderParser p;
    p.parse(vdjFolderDocument(songs), "Testliste");
    songs.pop_back();
    EXPECT_EQ(p.songs, songs);

    p.parse(
        "<VirtualFolder><song path=\"/x/sub.vdjfolder\"/><song path=\"/x/order\"/><song artist=\"no path\"/>"
        "<Song path=\"/x/caps.mp3\"/><song path=\"/x/ok.mp3\" bpm=\"12x\" songlength=\"abc\"/></VirtualFolder>",
        "Testliste");
    ASSERT_EQ(p.songs.size(), 1u);
    EXPECT_EQ(p.songs[0].path, "/x/ok.mp3");
    EXPECT_EQ(p.songs[0].bpm, std::nullopt);
    EXPECT_EQ(p.songs[0].duration, 0);
}

TEST(VDJFolderFile, BrokenXmlIsAGermanError) {
    VDJFolderParser p;
    for (std::string bad : {"<VirtualFolder><song path=\"/a.mp3\"/>",
                            "<VirtualFolder><song path=\"/a.mp3\"></VirtualFolder>", "\xff\xfe<x/>", "", "<a/><b/>"}) {
        try {
            p.parse(bad, "Die VirtualDJ-Liste x");
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const VDJFileError& e) {
            EXPECT_THAT(e.what(), HasSubstr("Die VirtualDJ-Liste x ist beschädigt (XML-Fehler in Zeile"));
        }
    }
}

TEST(VDJDatabaseFile, LibraryEntries) {
    VDJDatabaseParser p;
    p.parse(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VirtualDJ_Database Version=\"8.5\">\n"
        "<Song FilePath=\"/m/a.mp3\" FileSize=\"1\">\n"
        " <Tags Author=\"Künstler\" Title=\"Titel\" Genre=\"House\" Key=\"Am\" Bpm=\"0.468750\" />\n"
        " <Infos SongLength=\"245.9\" />\n</Song>\n"
        "<Song FilePath=\"/m/b.mp3\"><Tags Title=\"B\" Bpm=\"x\"/><Infos SongLength=\"1e300\"/></Song>\n"
        "<Song><Tags Title=\"no path\"/></Song>\n"
        "</VirtualDJ_Database>\n",
        "Die VirtualDJ-Datenbank");
    ASSERT_EQ(p.result.size(), 2u);
    const auto& a = p.result.at("/m/a.mp3");
    EXPECT_EQ(a.artist, "Künstler");
    EXPECT_EQ(a.title, "Titel");
    EXPECT_EQ(a.genre, "House");
    EXPECT_EQ(a.key, "Am");
    EXPECT_EQ(a.bpm, 0.46875) << "stored as read";
    EXPECT_DOUBLE_EQ(*a.tempo(), 128.0) << "seconds per beat as beats per minute";
    EXPECT_EQ(a.duration, 245);
    const auto& b = p.result.at("/m/b.mp3");
    EXPECT_EQ(b.bpm, std::nullopt);
    EXPECT_EQ(b.tempo(), std::nullopt);
    EXPECT_EQ(b.duration, 0) << "out of range is ignored";
    EXPECT_THROW(p.parse("<VirtualDJ_Database><Song FilePath=\"x\">", "db"), VDJFileError);
}

namespace {

class VirtualDJFiles : public ::testing::Test {
protected:
    void SetUp() override {
        bridge.customBasePath = dir.path().string();
        list = runOnMain(bridge.createPlaylist("Sommerfest"));
    }
    fv::test::TempDir dir;
    VirtualDJBridge bridge;
    std::string list;
};

}  // namespace

TEST_F(VirtualDJFiles, CreatePlaylistWritesAnEmptyListAndTheOrderFile) {
    EXPECT_EQ(list, (dir / "MyLists" / "Floorvote Sommerfest.vdjfolder").string());
    EXPECT_EQ(read(list), vdjFolderDocument({}));
    EXPECT_EQ(read(dir / "MyLists" / "order"), "Floorvote Sommerfest.vdjfolder\n");
    EXPECT_TRUE(runOnMain(bridge.playlistExists(list)));
    EXPECT_FALSE(runOnMain(bridge.playlistExists(list + ".x")));

    // The name only goes into the file name: "&" stays, a slash cannot reach another folder.
    EXPECT_EQ(runOnMain(bridge.createPlaylist("R&B")), (dir / "MyLists" / "Floorvote R&B.vdjfolder").string());
    EXPECT_EQ(runOnMain(bridge.createPlaylist("../../x")), (dir / "MyLists" / "Floorvote .._.._x.vdjfolder").string());

    // An existing list is never overwritten.
    runOnMain(bridge.addTrackToPlaylist("/m/a.mp3", list, 0));
    std::string before = read(list);
    EXPECT_EQ(runOnMain(bridge.createPlaylist("Sommerfest")), list);
    EXPECT_EQ(read(list), before);
}

TEST_F(VirtualDJFiles, TheDJsOrderOfListsStays) {
    fv::test::writeFile(dir / "MyLists" / "order", "Zebra.vdjfolder\nFloorvote Sommerfest.vdjfolder\nAlt.m3u\n");
    fv::test::writeFile(dir / "MyLists" / "Zebra.vdjfolder", vdjFolderDocument({}));
    (void)runOnMain(bridge.createPlaylist("Abend"));
    EXPECT_EQ(read(dir / "MyLists" / "order"),
              "Zebra.vdjfolder\nFloorvote Sommerfest.vdjfolder\nAlt.m3u\nFloorvote Abend.vdjfolder\n");
}

TEST_F(VirtualDJFiles, NoVirtualDJFolderNoPlaylist) {
    VirtualDJBridge missing;
    missing.customBasePath = (dir / "nowhere").string();
    try {
        (void)runOnMain(missing.createPlaylist("X"));
        ADD_FAILURE() << "created a playlist without VirtualDJ";
    } catch (const DJBridgeError& e) {
        EXPECT_EQ(e.kind(), DJBridgeError::Kind::softwareNotAvailable);
        EXPECT_STREQ(e.what(), "VirtualDJ ist nicht verfügbar oder nicht konfiguriert.");
    }
    EXPECT_FALSE(fileExists(dir / "nowhere"));
    EXPECT_FALSE(runOnMain(missing.isAvailable()));
    EXPECT_TRUE(runOnMain(bridge.isAvailable()));
}

TEST_F(VirtualDJFiles, AddMovesRemoveAndReorderKeepTheDJsSongs) {
    runOnMain(bridge.addTrackToPlaylist("/m/a.mp3", list, 0));
    runOnMain(bridge.addTrackToPlaylist("/m/b.mp3", list, 0));
    runOnMain(bridge.addTrackToPlaylist("/m/c.mp3", list, 99));
    EXPECT_THAT(pathsOf(bridge.readFolder(list)), ElementsAre("/m/b.mp3", "/m/a.mp3", "/m/c.mp3"));
    runOnMain(bridge.addTrackToPlaylist("/m/c.mp3", list, 0));
    EXPECT_THAT(pathsOf(bridge.readFolder(list)), ElementsAre("/m/c.mp3", "/m/b.mp3", "/m/a.mp3"))
        << "adding again moves, never duplicates";

    // VirtualDJ filled in what it knows; a move keeps it.
    auto songs = bridge.readFolder(list);
    songs[2].title = "A-Titel";
    songs[2].bpm = 120;
    bridge.writeFolder(songs, list);
    runOnMain(bridge.addTrackToPlaylist("/m/a.mp3", list, 0));
    EXPECT_EQ(bridge.readFolder(list)[0].title, "A-Titel");

    runOnMain(bridge.reorderPlaylist(list, {"/m/b.mp3", "/m/a.mp3", "/m/unknown.mp3"}));
    EXPECT_THAT(pathsOf(bridge.readFolder(list)), ElementsAre("/m/b.mp3", "/m/a.mp3", "/m/c.mp3"))
        << "songs the list does not name stay at the end";
    std::string before = read(list);
    runOnMain(bridge.reorderPlaylist(list, {}));
    EXPECT_EQ(read(list), before);
    runOnMain(bridge.removeTrackFromPlaylist("/m/a.mp3", list));
    EXPECT_THAT(pathsOf(bridge.readFolder(list)), ElementsAre("/m/b.mp3", "/m/c.mp3"));
}

TEST_F(VirtualDJFiles, ABrokenListIsNeverRewritten) {
    std::string broken = "<?xml version=\"1.0\"?>\n<VirtualFolder>\n\t<song path=\"/m/mine.mp3\" />\n\t<song path=";
    fv::test::writeFile(list, broken);
    for (int op = 0; op < 3; ++op) {
        try {
            if (op == 0) runOnMain(bridge.addTrackToPlaylist("/m/a.mp3", list, 0));
            if (op == 1) runOnMain(bridge.removeTrackFromPlaylist("/m/mine.mp3", list));
            if (op == 2) runOnMain(bridge.reorderPlaylist(list, {"/m/mine.mp3"}));
            ADD_FAILURE() << "operation " << op << " went through";
        } catch (const VDJFileError& e) {
            EXPECT_THAT(e.what(), HasSubstr("ist beschädigt"));
        }
        EXPECT_EQ(read(list), broken);
    }
}

TEST_F(VirtualDJFiles, StatusFromTheListsFolder) {
    AppSettings s;
    s.lastVirtualDJPath = dir.path().string();
    EXPECT_EQ(bridge.configure(s), BridgeStatus::configured());
    fv::test::writeFile(dir / "MyLists" / "Alt.m3u", "");
    fv::test::writeFile(dir / "MyLists" / "notes.txt", "");
    EXPECT_EQ(runOnMain(bridge.refreshStatus(BridgeStatus::configured())),
              BridgeStatus::connected("2 Playlisten · Now Playing"));
    s.lastVirtualDJPath = (dir / "gone").string();
    EXPECT_EQ(bridge.configure(s), BridgeStatus::accessDenied()) << "a chosen folder that cannot be read";
    EXPECT_EQ(runOnMain(bridge.refreshStatus(BridgeStatus::accessDenied())), BridgeStatus::unreachable());
    s.lastVirtualDJPath.clear();
    s.lastVirtualDJBookmark = dir.path().string();
    EXPECT_EQ(bridge.configure(s), BridgeStatus::configured());
    EXPECT_EQ(bridge.customBasePath, dir.path().string());
}

namespace {

class VirtualDJPeer : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        setLogSink([this](const std::string& line) { logLines.push_back(line); });
    }
    void TearDown() override { setLogSink(nullptr); }

    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"node", std::string(TEST_PEERS_DIR) + "/virtualdj/server.js", "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        peer = std::make_unique<TestService>(args);
        bridge->httpPort = peer->port();
    }
    void deck(int n, const std::string& title, const std::string& artist, const std::string& file = {},
              bool master = false) {
        peer->admin("POST", "/__admin/deck",
                    {{"deck", n}, {"title", title}, {"artist", artist}, {"filepath", file}, {"master", master}});
    }
    void mode(const std::string& m, int delay = 1000) {
        peer->admin("POST", "/__admin/mode", {{"mode", m}, {"delay", delay}});
    }
    bool logged(const std::string& text) const {
        for (const auto& l : logLines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }

    std::unique_ptr<fv::test::TempDir> home;
    std::unique_ptr<TestService> peer;
    std::shared_ptr<VirtualDJBridge> bridge = std::make_shared<VirtualDJBridge>();
    std::vector<std::string> logLines;
};

}  // namespace

TEST_F(VirtualDJPeer, NowPlayingIsTheMasterDeck) {
    start();
    EXPECT_EQ(runOnMain(bridge->getCurrentlyPlaying()), std::nullopt) << "nothing loaded";
    deck(2, "  Blue Monday\n", "New Order\r\n", "/m/bm.mp3", true);
    auto now = runOnMain(bridge->getCurrentlyPlaying());
    ASSERT_TRUE(now);
    EXPECT_EQ(now->title, "Blue Monday");
    EXPECT_EQ(now->artist, "New Order");
    auto got = peer->received();
    ASSERT_EQ(got.size(), 4u) << "two queries per read";
    EXPECT_EQ(got[2]["method"], "GET");
    EXPECT_EQ(got[2]["target"], "/query?script=deck%20master%20get_title");
    EXPECT_EQ(got[3]["target"], "/query?script=deck%20master%20get_artist");
    EXPECT_FALSE(got[2]["headers"].contains("authorization"));
}

TEST_F(VirtualDJPeer, PasswordGoesAsBearerToken) {
    start({"--password", "geheim"});
    deck(1, "Song", "Band", "", true);
    try {
        (void)runOnMain(bridge->getCurrentlyPlaying());
        ADD_FAILURE() << "no password, yet an answer";
    } catch (const DJBridgeError& e) {
        EXPECT_EQ(e.kind(), DJBridgeError::Kind::networkError);
        EXPECT_THAT(e.what(), HasSubstr("HTTP 401 – Passwort der Netzwerksteuerung prüfen"));
    }
    KeychainService().save(VirtualDJBridge::passwordKey, "geheim");
    AppSettings s;
    s.virtualDJPort = peer->port();
    (void)bridge->configure(s);
    EXPECT_EQ(bridge->httpPort, peer->port());
    EXPECT_EQ(bridge->password, "geheim");
    auto now = runOnMain(bridge->getCurrentlyPlaying());
    ASSERT_TRUE(now);
    EXPECT_EQ(now->title, "Song");
    EXPECT_EQ(peer->received().back()["headers"]["authorization"], "Bearer geheim");
}

TEST_F(VirtualDJPeer, LoadTrack) {
    start();
    fv::test::TempDir music;
    fv::test::writeFile(music / "Band - Lied.mp3", "x");
    fs::create_symlink(music / "Band - Lied.mp3", music / "link.mp3");

    EXPECT_FALSE(runOnMain(bridge->loadTrack((music / "Band - Lied.mp3").string(), 0)));
    EXPECT_FALSE(runOnMain(bridge->loadTrack((music / "Band - Lied.mp3").string(), 5)));
    EXPECT_TRUE(peer->received().empty()) << "deck 0 and 5 never reach the network";

    EXPECT_TRUE(runOnMain(bridge->loadTrack((music / "link.mp3").string(), 2)));
    auto sent = peer->received().back();
    EXPECT_EQ(sent["method"], "POST");
    EXPECT_EQ(sent["target"], "/execute");
    EXPECT_EQ(sent["headers"]["content-type"], "text/plain; charset=utf-8");
    EXPECT_EQ(sent["body"], "deck 2 load \"" + (music / "Band - Lied.mp3").string() + "\"") << "symlink resolved";
    EXPECT_TRUE(logged("[VDJBridge] executeVDJ script: deck 2 load"));
    EXPECT_TRUE(logged("[VDJBridge] executeVDJ HTTP 200, body: 'true'"));

    // The same file on the same deck: VirtualDJ says 400, which is still a success.
    EXPECT_TRUE(runOnMain(bridge->loadTrack((music / "Band - Lied.mp3").string(), 2)));
    EXPECT_TRUE(logged("[VDJBridge] Track already on deck 2, treating as success"));
    EXPECT_EQ(peer->received().back()["target"], "/query?script=deck%202%20get%20filepath");

    EXPECT_FALSE(runOnMain(bridge->loadTrack((music / "missing.mp3").string(), 1))) << "VirtualDJ answers false";

    fv::test::writeFile(music / "say \"hi\".mp3", "x");
    EXPECT_TRUE(runOnMain(bridge->loadTrack((music / "say \"hi\".mp3").string(), 3)));
    EXPECT_EQ(peer->received().back()["body"], "deck 3 load '" + (music / "say \"hi\".mp3").string() + "'");
}

TEST_F(VirtualDJPeer, SlowDeadAndGarbagePeersGiveErrorsNotHangs) {
    start();
    bridge->queryTimeout = 300ms;
    bridge->executeTimeout = 300ms;
    deck(1, "Song", "Band", "", true);
    for (std::string m : {"slow", "dead", "garbage"}) {
        SCOPED_TRACE(m);
        mode(m, 1500);
        auto started = std::chrono::steady_clock::now();
        try {
            (void)runOnMain(bridge->getCurrentlyPlaying());
            ADD_FAILURE() << "an answer from a " << m << " peer";
        } catch (const DJBridgeError& e) {
            EXPECT_EQ(e.kind(), DJBridgeError::Kind::networkError);
            EXPECT_THAT(e.what(), HasSubstr("Verbindungsfehler zur DJ-Software: "));
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1400ms);
    }
    mode("garbage");
    auto r = runOnMain(bridge->executeVDJ("deck 1 play"));
    EXPECT_EQ(r.status, 0) << "an answer that is not HTTP";
    mode("normal");

    // Nobody listening at all.
    peer->stop();
    try {
        (void)runOnMain(bridge->query("deck master get_title"));
        ADD_FAILURE();
    } catch (const DJBridgeError& e) {
        EXPECT_THAT(e.what(), HasSubstr("keine Verbindung zu VirtualDJ auf 127.0.0.1:"));
    }
    bridge->httpPort = 0;
    EXPECT_THROW((void)runOnMain(bridge->query("x")), DJBridgeError);
    try {
        (void)runOnMain(bridge->executeVDJ("x"));
    } catch (const DJBridgeError& e) {
        EXPECT_STREQ(e.what(), "Verbindungsfehler zur DJ-Software: Ungueltige VirtualDJ-URL");
    }
}

TEST_F(VirtualDJPeer, ManagerLoadsOntoADeckWithOneRetry) {
    start();
    fv::test::TempDir music;
    fv::test::writeFile(music / "Band - Lied.mp3", "x");
    DJSoftwareManager m;
    m.setBridge(bridge);
    m.setLoadRetryDelay(50ms);
    SavedEvent e;
    e.id = "ev1";
    e.createdAt = "x";
    e.preferences = EventPreferences{};
    e.preferences->activeDjSoftware = "virtualdj";
    SavedEvents::upsert(e);
    Track t;
    t.id = 7;
    t.title = "Lied";
    t.folderPath = (music / "Band - Lied.mp3").string();

    m.startPolling("ev1", 3);
    ASSERT_TRUE(m.isPolling());
    EXPECT_TRUE(runOnMain(m.loadTrackToDeck("ev1", 7, {t}, 2)));
    EXPECT_TRUE(logged("[DJManager] Loading '" + *t.folderPath + "' to deck 2"));
    EXPECT_TRUE(logged("[DJManager] SUCCESS: loaded '" + *t.folderPath + "' to deck 2"));
    EXPECT_TRUE(m.isPolling()) << "polling goes on after the load";

    EXPECT_FALSE(runOnMain(m.loadTrackToDeck("ev1", 7, {t}, 5)));
    EXPECT_EQ(m.lastError(), "VirtualDJ konnte den Track nicht laden");
    EXPECT_TRUE(logged("[DJManager] FAIL: VDJ returned false for '" + *t.folderPath + "'"));

    bridge->executeTimeout = 200ms;
    mode("dead");
    EXPECT_FALSE(runOnMain(m.loadTrackToDeck("ev1", 7, {t}, 1)));
    EXPECT_TRUE(logged("[DJManager] First attempt failed, retrying after 500ms…"));
    EXPECT_TRUE(
        logged("[DJManager] loadTrackToDeck error: Verbindungsfehler zur DJ-Software: VirtualDJ antwortet nicht"));
    EXPECT_THAT(m.lastError().value_or(""), HasSubstr("Zeitüberschreitung"));
    mode("normal");
    int tries = 0;
    for (const auto& l : logLines)
        if (l.find("[VDJBridge] executeVDJ script: deck 1 load") != std::string::npos) ++tries;
    EXPECT_EQ(tries, 2) << "one try and exactly one retry";
    m.stopPolling();
}

TEST_F(VirtualDJPeer, ManagerPollsNowPlayingFromThePeer) {
    start();
    DJSoftwareManager m;
    m.setBridge(bridge);
    SavedEvent e;
    e.id = "ev1";
    e.createdAt = "x";
    e.preferences = EventPreferences{};
    e.preferences->activeDjSoftware = "virtualdj";
    SavedEvents::upsert(e);
    std::vector<NowPlayingInfo> seen;
    m.onNowPlayingUpdated = [&](const NowPlayingInfo& i) { seen.push_back(i); };
    deck(1, "Erster", "Band", "", true);
    m.startPolling("ev1", 1);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return seen.size() == 1; }, 5s));
    deck(1, "Zweiter", "Band", "", true);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return seen.size() == 2; }, 5s));
    MainLoop::shared().runUntil([] { return false; }, 1500ms);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].trackTitle, "Zweiter");
    // VirtualDJ goes away: polling goes on quietly, nothing new is reported.
    peer->stop();
    MainLoop::shared().runUntil([] { return false; }, 1500ms);
    EXPECT_TRUE(m.isPolling());
    EXPECT_EQ(seen.size(), 2u);
    m.stopPolling();
}
