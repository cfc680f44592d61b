// The live session with rekordbox, against the test service: connecting makes the event playlist in
// master.db and confirmed requests follow in request order; with the CDJ library on, a player that
// plays a served track past the threshold marks its request played, and a tag confirms one.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/PanelCards.hpp"
#include "app/SessionCDJ.hpp"
#include "cdjlink/DbTestClient.hpp"
#include "core/Files.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "core/SerialQueue.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/RekordboxTestDb.hpp"
#include "djsoftware/SimulatedPlayer.hpp"
#include "platform/DefaultsStore.hpp"
#include "platform/Notifier.hpp"
#include "session/APIClient.hpp"
#include "session/ApiTestService.hpp"
#include "session/AppStore.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::NetnsPair;
using fv::test::runFloorvote;
using fv::test::runOnMain;
using fv::test::TestService;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

struct Tokens : AccessTokenHolder {
    std::optional<std::string> token = "good-token";
    std::optional<std::string> accessToken() const override { return token; }
    void setAccessToken(std::string t) override { token = std::move(t); }
};

struct Quiet : Notifier {
    void notify(const std::string&, const std::string&, bool) override {}
};

json request(int64_t id, const std::string& title, int64_t trackId, const std::string& status, const std::string& at) {
    return {{"id", id},         {"title", title},  {"artist", "Band"}, {"status", status},
            {"vote_count", 1},  {"track_id", trackId}, {"created_at", at}};
}

bool waitMain(const std::function<bool()>& pred, std::chrono::milliseconds limit = 20s) {
    return MainLoop::shared().runUntil(pred, limit);
}

class SessionRekordbox : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        fv::test::writeFile(music / "eins.mp3", std::string(4000, 'e'));
        fv::test::writeFile(music / "zwei.mp3", std::string(3000, 'z'));
        fs::create_directories(rekordbox / "support");
        db = std::make_unique<fv::test::RekordboxTestDb>(rekordbox / "db");
        eins = db->addTrack(fv::test::rbTrack("Eins", "Band", "", "House", "Am", (music / "eins.mp3").string()));
        // "Zwei" is in rekordbox under another path (the players' library finds it by title and artist).
        zwei = db->addTrack(fv::test::rbTrack("Zwei", "Band", "", "House", "Fm", "/elsewhere/zwei.mp3"));
        db->close();
        RekordboxService::shared().keyProvider = [] { return std::nullopt; };

        service = std::make_unique<TestService>(TestService::serviceArgs("production"));
        setenv("FLOORVOTE_PRODUCTION_URL", service->url().c_str(), 1);
        service->account({{"email", "dj@example.invalid"}, {"accessToken", "good-token"}});
        AppSettings::setDedicatedOverride(std::nullopt);
        AppSettings::modify([&](AppSettings& s) {
            s.activeEventId = "ev1";
            s.djPin = "1234";
            s.lastRekordboxPath = db->folder().string();
            s.lastRekordboxAppSupportPath = (rekordbox / "support").string();
        });
        setLogSink([this](const std::string& l) { lines.push_back(l); });
    }
    void TearDown() override {
        cdj.reset();
        store.reset();
        setLogSink(nullptr);
        unsetenv("FLOORVOTE_PRODUCTION_URL");
    }

    void event(json requests, bool active) {
        service->event({{"id", "ev1"},
                        {"dj_pin", "1234"},
                        {"event_name", "Sommerfest"},
                        {"ownerEmail", "dj@example.invalid"},
                        {"is_active", active},
                        {"tracks", json::array({{{"id", 70}, {"title", "Eins"}, {"artist", "Band"},
                                                 {"folder_path", (music / "eins.mp3").string()}, {"rekordbox_id", eins}},
                                                {{"id", 71}, {"title", "Zwei"}, {"artist", "Band"}, {"rekordbox_id", zwei}}})},
                        {"requests", std::move(requests)},
                        {"preferences", {{"activeDjSoftware", "rekordbox"}}}});
    }
    void connect() {
        store = std::make_unique<AppStore>(api, notes, dj);
        runOnMain(store->connectToEvent());
        ASSERT_FALSE(store->connectionError()) << *store->connectionError();
    }
    std::string journal() const {
        std::string out;
        for (const auto& l : lines)
            if (l.rfind("[APIClient]", 0) != 0) out += l + "\n";
        return out;
    }
    bool logged(const std::string& prefix) const {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::string requestStatus(int64_t id) const {
        const json state = service->state();
        for (const auto& r : state["events"]["ev1"]["requests"])
            if (r["id"] == id) return r["status"];
        return "?";
    }
    // The event playlist's files in rekordbox, in their order.
    std::vector<std::string> eventPlaylist() {
        db->open();
        auto rows = db->rows(
            "SELECT c.FolderPath FROM djmdSongPlaylist s JOIN djmdContent c ON c.ID = s.ContentID JOIN djmdPlaylist p "
            "ON p.ID = s.PlaylistID WHERE p.Name = 'Sommerfest' ORDER BY s.TrackNo");
        db->close();
        std::vector<std::string> out;
        for (const auto& r : rows) out.push_back(r.at(0));
        return out;
    }

    std::unique_ptr<fv::test::TempDir> home;
    fv::test::TempDir music, rekordbox;
    std::unique_ptr<fv::test::RekordboxTestDb> db;
    std::string eins, zwei;
    std::unique_ptr<TestService> service;
    std::vector<std::string> lines;
    Tokens tokens;
    KeychainService keychain;
    HttpClient http;
    APIClient api{tokens, keychain, http};
    std::shared_ptr<Quiet> notes = std::make_shared<Quiet>();
    DJSoftwareManager dj;
    std::unique_ptr<AppStore> store;
    std::unique_ptr<app::SessionCDJ> cdj;
};

}  // namespace

TEST_F(SessionRekordbox, ConnectMakesTheEventPlaylistAndConfirmedRequestsFollowInRequestOrder) {
    event(json::array({request(1, "Eins", 70, "pending", "2026-01-01T20:00:00Z"),
                       request(2, "Zwei", 71, "confirmed", "2026-01-01T20:01:00Z")}),
          true);
    connect();
    ASSERT_TRUE(waitMain([&] { return logged("[AppStore] DJ playlist synced: 1 request(s) in rekordbox"); }))
        << journal();
    EXPECT_TRUE(logged("[AppStore] DJ playlist checked/created: rekordbox "));

    // The playlist sits in the "Floorvote" folder, and rekordbox's own XML knows both.
    db->open();
    EXPECT_THAT(db->rows("SELECT parent.Name, parent.Attribute, p.Attribute FROM djmdPlaylist p JOIN djmdPlaylist "
                         "parent ON parent.ID = p.ParentID WHERE p.Name = 'Sommerfest'"),
                ElementsAre(ElementsAre("Floorvote", "1", "0")));
    const std::string listId = db->one("SELECT ID FROM djmdPlaylist WHERE Name = 'Sommerfest'");
    db->close();
    EXPECT_EQ(eventPlaylist(), std::vector<std::string>{"/elsewhere/zwei.mp3"});
    const std::string xml = fv::readFile(db->folder() / "masterPlaylists6.xml").value_or("");
    char hexId[32];
    std::snprintf(hexId, sizeof hexId, "%llX", std::stoull(listId));
    EXPECT_THAT(xml, HasSubstr("Id=\"" + std::string(hexId) + "\""));

    // The older request confirmed later still comes first.
    auto failures = runOnMain(store->confirm({1}));
    EXPECT_TRUE(failures.empty());
    ASSERT_TRUE(waitMain([&] { return eventPlaylist().size() == 2; })) << journal();
    EXPECT_EQ(eventPlaylist(), (std::vector<std::string>{(music / "eins.mp3").string(), "/elsewhere/zwei.mp3"}));
    EXPECT_EQ(requestStatus(1), "confirmed");

    // The same playlist is found again by the next session, not made twice.
    store.reset();
    lines.clear();
    connect();
    ASSERT_TRUE(waitMain([&] { return logged("[AppStore] DJ background setup done"); }));
    db->open();
    EXPECT_EQ(db->one("SELECT COUNT(*) FROM djmdPlaylist WHERE Name = 'Sommerfest'"), "1");
    db->close();

    auto status = runFloorvote({"dj", "status"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_THAT(status.out, HasSubstr("  Rekordbox: Verbunden (2 Playlisten)"));
}

TEST_F(SessionRekordbox, PlayersPlayingAndTaggingReachTheService) {
    std::string why;
    auto ns = NetnsPair::create(&why);
    if (!ns) GTEST_SKIP() << why;
    event(json::array({request(11, "Eins", 70, "confirmed", "2026-01-01T20:00:00Z"),
                       request(12, "Zwei", 71, "pending", "2026-01-01T20:01:00Z")}),
          true);
    AppSettings::modify([&](AppSettings& s) {
        s.cdjLibraryEnabled = true;
        s.cdjLinkSettings.interfaceName = ns->a().veth;
        s.cdjLinkSettings.playedAfterSeconds = 0;  // counts as 5 s
    });
    connect();

    CDJLibraryManager::Options options;
    options.cacheFolder = home->path() / "cdj-cache";
    options.isRekordboxRunning = [] { return false; };
    options.prepareQueue = [&](SerialQueue& q) { q.dispatchSync([&] { NetnsPair::enter(ns->a()); }); };
    options.timings.retry = 500ms;
    options.timings.playTick = 1000ms;
    options.timings.debounce = 50ms;
    cdj = std::make_unique<app::SessionCDJ>(*store, options);
    cdj->start();
    ASSERT_NE(cdj->manager(), nullptr);

    using namespace fv::test::link;
    const std::string cdjIp = ns->b().address;
    const Send alive{cdjIp, 50000, keepalive("CDJ-3000", 2, 1, cdjIp)};
    Player player(*ns);
    player.set({alive});
    ASSERT_TRUE(waitMain([&] { return cdj->manager()->servedTrackCount() == 2; })) << cdj->manager()->statusText();

    // The running session's state, as the command shows it.
    ASSERT_TRUE(waitMain([&] { return fs::exists(app::SessionCDJ::statusFile()); }, 5s));
    waitMain([] { return false; }, 1200ms);
    auto shown = runFloorvote({"cdj", "status"});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_THAT(shown.out, HasSubstr("CDJ-Library: aktiv"));
    EXPECT_THAT(shown.out, HasSubstr("CDJ-3000 (CDJ, Nr. 2) @ " + cdjIp));
    EXPECT_THAT(shown.out, HasSubstr("Ausgeliefert: 2 Tracks"));

    // "Eins" plays on air past the threshold: its request is played on the service.
    const uint32_t idEins = std::stoul(eins), idZwei = std::stoul(zwei);
    player.set({alive, {cdjIp, 50002, status(2, idEins, true, true)}});
    ASSERT_TRUE(waitMain([&] { return requestStatus(11) == "played"; }, 20s))
        << service->state()["events"]["ev1"].dump() << "\n" << service->received().dump();
    EXPECT_EQ(service->state()["events"]["ev1"]["nowPlaying"]["track_title"], "Eins");
    // The control panel's card shows the same: the mode, the player and what its deck plays.
    const std::string card = app::cdjLibraryCard(cdj->manager()).dump();
    EXPECT_THAT(card, HasSubstr(R"(["Modus","aktiv"])"));
    EXPECT_THAT(card, HasSubstr("CDJ-3000 (CDJ, Nr. 2) @ " + cdjIp));
    EXPECT_THAT(card, HasSubstr("Deck 2: Band – Eins, on air, spielt"));

    // "Zwei" tagged at the player: the pending request is confirmed on the service.
    EXPECT_EQ(requestStatus(12), "pending");
    NetnsPair::runInside(ns->a(), [&] {
        using namespace fv::cdj::dbtest;
        Client client(1051);
        client.greet();
        client.request(0x0000, {n(2)});
        client.request(0x3002, {n(dmst(2, 1)), n(idZwei), n(1)});
    });
    ASSERT_TRUE(waitMain([&] { return requestStatus(12) == "confirmed"; }, 10s)) << journal();

    player.set({});
    cdj->stop();
    EXPECT_FALSE(fs::exists(app::SessionCDJ::statusFile()));
    EXPECT_THAT(app::cdjLibraryCard(nullptr).dump(), HasSubstr(R"(["Modus","aus"])"));
    EXPECT_NE(runFloorvote({"cdj", "status"}).exitCode, 0);
}
