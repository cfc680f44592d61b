// The live session against the test service: connecting, arrivals, outages, actions.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "djsoftware/ScriptedBridge.hpp"
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
using fv::test::runOnMain;
using fv::test::TestService;
using ::testing::Contains;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

namespace {

struct Tokens : AccessTokenHolder {
    std::optional<std::string> token = "good-token";
    std::optional<std::string> accessToken() const override { return token; }
    void setAccessToken(std::string t) override { token = std::move(t); }
};

struct Notes : Notifier {
    struct Note {
        std::string title, body;
        bool sound;
    };
    std::vector<Note> notes;
    void notify(const std::string& title, const std::string& body, bool sound) override {
        notes.push_back({title, body, sound});
    }
};

// The DJ programs as the session sees them: scripted bridges behind the real manager.
struct DJPrograms {
    DJSoftwareManager manager;
    std::map<std::string, std::shared_ptr<fv::test::ScriptedBridge>> bridges;
    DJPrograms() {
        for (auto t : {DJSoftwareType::rekordbox, DJSoftwareType::serato, DJSoftwareType::virtualDJ, DJSoftwareType::mixxx}) {
            auto b = std::make_shared<fv::test::ScriptedBridge>(t);
            b->polls = t != DJSoftwareType::serato;
            bridges[std::string(rawValue(t))] = b;
            manager.setBridge(b);
        }
        manager.setNowPlayingTimeout(1s);
    }
    void configured(const std::set<std::string>& kinds) {
        for (auto& [kind, b] : bridges)
            b->configuredStatus = b->refreshedStatus =
                kinds.count(kind) ? BridgeStatus::configured() : BridgeStatus::notConfigured();
    }
};

json request(int64_t id, const std::string& title, const std::string& status = "pending", int64_t votes = 0) {
    return {{"id", id},         {"title", title},   {"artist", "Band"},
            {"status", status}, {"vote_count", votes}, {"created_at", "2026-01-01T20:00:00Z"}};
}

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
    return MainLoop::shared().runUntil(pred, limit);
}

class AppStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        service = std::make_unique<TestService>(TestService::serviceArgs("production", 0, {"--ping-interval", "400"}));
        seed(*service);
        setenv("FLOORVOTE_PRODUCTION_URL", service->url().c_str(), 1);
        AppSettings::setDedicatedOverride(std::nullopt);
        AppSettings::modify([](AppSettings& s) {
            s.activeEventId = "ev1";
            s.djPin = "1234";
            s.djName = "Kai";
            s.notifyOnNewRequest = true;
            s.notifyOnMessage = true;
            s.soundEnabled = false;
        });
        setLogSink([this](const std::string& l) { lines.push_back(l); });
        store = std::make_unique<AppStore>(api, notes, dj.manager);
    }
    void TearDown() override {
        store.reset();
        setLogSink(nullptr);
    }

    static void seed(const TestService& s, bool withEvent = true) {
        s.account({{"email", "dj@example.invalid"}, {"accessToken", "good-token"}});
        if (!withEvent) return;
        s.event({{"id", "ev1"}, {"dj_pin", "1234"}, {"dj_name", "Kai"}, {"event_name", "Sommerfest"},
                 {"ownerEmail", "dj@example.invalid"},
                 {"requests", json::array({request(1, "Eins", "pending", 2), request(2, "Zwei", "played")})},
                 {"messages", json::array({{{"id", 5}, {"content", "Hallo"}, {"created_at", "x"}, {"session_id", "g5"}}})},
                 {"tracks", json::array({{{"id", 70}, {"title", "Eins"}, {"artist", "Band"}, {"rekordbox_id", "4711"}}})}});
    }

    void connect() {
        runOnMain(store->connectToEvent());
        ASSERT_FALSE(store->connectionError()) << *store->connectionError();
        ASSERT_TRUE(waitFor([&] { return store->webSocket.state().kind == ConnectionState::Kind::connected; }));
        ASSERT_TRUE(waitFor([&] { return !service->admin("GET", "/__admin/sockets")["joins"].empty(); }));
    }
    std::vector<std::string> appLines() const {
        std::vector<std::string> out;
        for (const auto& l : lines)
            if (l.rfind("[AppStore]", 0) == 0) out.push_back(l);
        return out;
    }

    std::unique_ptr<fv::test::TempDir> home;
    std::unique_ptr<TestService> service;
    std::vector<std::string> lines;
    Tokens tokens;
    KeychainService keychain;
    HttpClient http;
    APIClient api{tokens, keychain, http};
    std::shared_ptr<Notes> notes = std::make_shared<Notes>();
    DJPrograms dj;
    std::unique_ptr<AppStore> store;
};

}  // namespace

TEST_F(AppStoreTest, ConnectsWithEveryStepLoggedInOrder) {
    dj.configured({"rekordbox"});
    service->event({{"id", "ev1"}, {"preferences", {{"activeDjSoftware", "rekordbox"}}}});
    connect();
    std::vector<std::string> expected = {
        "[AppStore] connectToEvent START for event: ev1",
        "[AppStore] [1] health check…",
        "[AppStore] [1] health OK",
        "[AppStore] [1] auth via PIN…",
        "[AppStore] [1] PIN auth OK",
        "[AppStore] [1] WebSocket connecting…",
        "[AppStore] [1] loading event data…",
        "[AppStore] [1] event loaded, isActive=false",
        "[AppStore] [1] loading requests…",
        "[AppStore] [1] requests OK: 2",
        "[AppStore] [1] loading messages…",
        "[AppStore] [1] messages OK: 1",
        "[AppStore] [1] loading stats…",
        "[AppStore] [1] stats OK",
        "[AppStore] [1] loading tracks…",
        "[AppStore] [1] tracks OK: 1",
        "[AppStore] [1] preferences merged from server (activeDjSoftware=rekordbox)",
        "[AppStore] connectToEvent DONE ✓",
        "[AppStore] about to configureBridges…",
        "[AppStore] configureBridges done",
        "[AppStore] DJ background setup starting… thread=MAIN",
        "[AppStore] DJ bridge statuses refreshed",
        "[AppStore] DJ playlist checked/created: rekordbox playlist:Sommerfest (Playlist erstellt)",
        "[AppStore] polling skipped — active=false, showNowPlaying=true, supported=true",
        "[AppStore] DJ background setup done, polling not running",
    };
    EXPECT_EQ(appLines(), expected);
    EXPECT_TRUE(store->isAuthenticated());
    EXPECT_EQ(store->requestStore.requests().size(), 2u);
    EXPECT_EQ(store->knownRequestIds(), (std::set<int64_t>{1, 2}));
    EXPECT_EQ(store->event()->eventName, "Sommerfest");
    EXPECT_TRUE(notes->notes.empty()) << "a load is not an arrival";
    // The server's preferences are kept with the saved event.
    auto saved = SavedEvents::loadAll();
    ASSERT_EQ(saved.size(), 1u);
    ASSERT_TRUE(saved[0].preferences);
    EXPECT_EQ(saved[0].preferences->activeDjSoftware, "rekordbox");

    // Online starts polling (rekordbox reads now playing); offline stops it.
    runOnMain(store->setEventOnline());
    EXPECT_THAT(lines, Contains("[AppStore] setEventOnline OK for ev1"));
    EXPECT_TRUE(store->event()->isActive);
    EXPECT_TRUE(dj.manager.isPolling());
    runOnMain(store->setEventOffline());
    EXPECT_THAT(lines, Contains("[AppStore] setEventOffline OK for ev1"));
    EXPECT_FALSE(dj.manager.isPolling());
    service->script({{"action", "status"}, {"status", 500}, {"body", "x"}});
    runOnMain(store->setEventOnline());
    EXPECT_THAT(lines, Contains(HasSubstr("[AppStore] setEventOnline FAILED: ")));
    EXPECT_FALSE(store->event()->isActive) << "the flag changes only on success";
}

TEST_F(AppStoreTest, SecondConnectWhileConnectingOnlyLogs) {
    bool first = false, second = false;
    spawnOnMain([](AppStore& s, bool& done) -> boost::asio::awaitable<void> {
        co_await s.connectToEvent();
        done = true;
    }(*store, first));
    spawnOnMain([](AppStore& s, bool& done) -> boost::asio::awaitable<void> {
        co_await s.connectToEvent();
        done = true;
    }(*store, second));
    ASSERT_TRUE(waitFor([&] { return first && second; }));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[AppStore] connectToEvent START for event: ev1"), 1);
    EXPECT_THAT(lines, Contains("[AppStore] connectToEvent: already connecting — skipping re-entrant call"));
}

TEST_F(AppStoreTest, UnknownEventIsRecreatedUnderItsId) {
    service->reset();
    seed(*service, false);
    AppSettings::modify([](AppSettings& s) { s.djPin.clear(); });
    SavedEvents::upsert(SavedEvent{"ev1", "Geburtstag", "Kai", "2026-01-01T00:00:00Z", {}, {}, {}});
    connect();
    EXPECT_THAT(lines, Contains("[AppStore] [1] auth via Bearer token"));
    EXPECT_THAT(lines, Contains("[AppStore] [1] event not found on server, re-creating…"));
    EXPECT_THAT(lines, Contains("[AppStore] [1] re-creating with djName=Kai, eventName=Geburtstag, id=ev1"));
    EXPECT_THAT(lines, Contains("[AppStore] [1] event re-created OK"));
    bool posted = false;
    for (const auto& r : service->received())
        if (r["method"] == "POST" && r["target"] == "/api/events") {
            auto body = json::parse(r["body"].get<std::string>());
            EXPECT_EQ(body, (json{{"id", "ev1"}, {"djName", "Kai"}, {"eventName", "Geburtstag"}, {"djPin", "7391"}}));
            posted = true;
        }
    EXPECT_TRUE(posted);
    EXPECT_THAT(lines, Contains("[AppStore] connectToEvent DONE ✓"));
}

TEST_F(AppStoreTest, UnreachableServiceFailsAfterThreeAttempts) {
    setenv("FLOORVOTE_PRODUCTION_URL", "http://127.0.0.1:1", 1);
    auto t0 = Clock::now();
    runOnMain(store->connectToEvent());
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GE(seconds, 3.9);
    EXPECT_LT(seconds, 30);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[AppStore] [1] health check…"), 1);
    EXPECT_THAT(lines, Contains("[AppStore] [1] retrying in 1s…"));
    EXPECT_THAT(lines, Contains("[AppStore] [2] retrying in 3s…"));
    EXPECT_THAT(lines, Contains("[AppStore] [3] health check…"));
    EXPECT_THAT(lines, Contains(HasSubstr("[AppStore] connectToEvent FAILED: ")));
    ASSERT_TRUE(store->connectionError());
    EXPECT_THAT(lines, Contains("[AppStore] connectToEvent FAILED: " + *store->connectionError()));
    EXPECT_FALSE(store->isConnecting());
}

TEST_F(AppStoreTest, UnconfiguredDjSoftwareFallsBackOrTurnsNowPlayingOff) {
    service->event({{"id", "ev1"}, {"preferences", {{"activeDjSoftware", "serato"}}}});
    dj.configured({"rekordbox", "virtualdj"});
    connect();
    EXPECT_THAT(lines, Contains("[AppStore] [1] safety: 'serato' not configured locally — falling back to 'rekordbox'"));
    EXPECT_EQ(store->activeDjSoftware(), "rekordbox");

    dj.configured({});
    lines.clear();
    AppStore other(api, notes, dj.manager);
    runOnMain(other.connectToEvent());
    EXPECT_THAT(lines, Contains("[AppStore] [1] safety: 'serato' not configured and no fallback — disabling nowPlaying"));
    EXPECT_FALSE(other.showNowPlaying());
    EXPECT_THAT(lines, Contains("[AppStore] polling skipped — active=false, showNowPlaying=false, supported=false"));
}

TEST_F(AppStoreTest, ArrivalsAreAnnouncedOnce) {
    connect();
    service->admin("POST", "/__admin/add-request", {{"eventId", "ev1"}, {"request", request(3, "Drei")}});
    ASSERT_TRUE(waitFor([&] { return store->requestStore.find(3) != nullptr; }));
    ASSERT_EQ(notes->notes.size(), 1u);
    EXPECT_EQ(notes->notes[0].title, "Neuer Musikwunsch");
    EXPECT_EQ(notes->notes[0].body, "Band – Drei");
    EXPECT_FALSE(notes->notes[0].sound);

    // The whole list again, plus one more: only the new one is announced, and each id once.
    service->admin("POST", "/__admin/emit",
                   {{"eventId", "ev1"},
                    {"event", "requests-updated"},
                    {"payload", {{"requests", json::array({request(1, "Eins"), request(3, "Drei"), request(4, "Vier")})}}}});
    ASSERT_TRUE(waitFor([&] { return store->requestStore.find(4) != nullptr; }));
    ASSERT_EQ(notes->notes.size(), 2u);
    EXPECT_EQ(notes->notes[1].body, "Band – Vier");
    EXPECT_EQ(store->requestStore.requests().size(), 3u);

    // Guests' messages are announced, the DJ's own replies are not.
    store->updateSettings([](AppSettings& s) { s.soundEnabled = true; });
    service->admin("POST", "/__admin/add-message",
                   {{"eventId", "ev1"}, {"message", {{"id", 8}, {"content", "Antwort"}, {"created_at", "x"}, {"is_dj_reply", true}}}});
    service->admin("POST", "/__admin/add-message",
                   {{"eventId", "ev1"}, {"message", {{"id", 9}, {"content", "Mehr Bass!"}, {"created_at", "x"}}}});
    ASSERT_TRUE(waitFor([&] { return store->messageStore.messages().size() == 3; }));
    ASSERT_EQ(notes->notes.size(), 3u);
    EXPECT_EQ(notes->notes[2].title, "Neue Nachricht");
    EXPECT_EQ(notes->notes[2].body, "Mehr Bass!");
    EXPECT_TRUE(notes->notes[2].sound);

    // Guest count and now playing come through as well.
    service->admin("POST", "/__admin/emit", {{"eventId", "ev1"}, {"event", "guest-count"}, {"payload", 42}});
    ASSERT_TRUE(waitFor([&] { return store->guestCount() == 42; }));
}

TEST_F(AppStoreTest, RequestsSentWhileTheServiceWasDownArriveAfterItReturns) {
    connect();
    int port = service->port();
    int64_t nextId = 10;
    for (int round = 0; round < 3; ++round) {
        service->kill();
        ASSERT_TRUE(waitFor([&] { return store->webSocket.state().kind == ConnectionState::Kind::error; }));
        // The service returns with what guests sent meanwhile; nothing of it was pushed.
        service = std::make_unique<TestService>(TestService::serviceArgs("production", port, {"--ping-interval", "400"}));
        seed(*service);
        json all = json::array({request(1, "Eins", "pending", 2), request(2, "Zwei", "played")});
        for (int64_t id = 10; id <= nextId; ++id) all.push_back(request(id, "Neu " + std::to_string(id)));
        service->event({{"id", "ev1"}, {"requests", all}});
        // A reconnect that came before the seeding reloaded the empty service: cut it so the
        // channel returns once more to what guests sent.
        if (service->admin("GET", "/__admin/sockets")["connected"].get<int>() > 0)
            service->admin("POST", "/__admin/drop-sockets");
        size_t before = notes->notes.size();
        ASSERT_TRUE(waitFor([&] { return store->requestStore.find(nextId) != nullptr; }, 20s)) << "round " << round;
        EXPECT_EQ(notes->notes.size(), before + 1) << "round " << round;
        EXPECT_EQ(notes->notes.back().body, "Band – Neu " + std::to_string(nextId));
        ++nextId;
    }
    EXPECT_EQ(store->requestStore.requests().size(), 5u);
    EXPECT_THAT(lines, Contains(HasSubstr("[AppStore] realtime channel back — reloaded 3 requests (1 new)")));
}

TEST_F(AppStoreTest, ActionsChangeTheLocalCopyOnlyOnSuccess) {
    connect();
    std::vector<int64_t> handedOn;
    store->onRequestConfirmed = [&](const MusicRequest& r) { handedOn.push_back(r.id); };
    auto failures = runOnMain(store->confirm({1}));
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(store->requestStore.find(1)->status, RequestStatus::confirmed);
    EXPECT_EQ(handedOn, std::vector<int64_t>{1});

    service->script({{"action", "status"}, {"status", 500}, {"body", "{}"}});
    failures = runOnMain(store->markPlayed({1, 99}));
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].id, 1);
    EXPECT_EQ(failures[0].error, "Server error (500)");
    EXPECT_EQ(store->requestStore.find(1)->status, RequestStatus::confirmed);

    failures = runOnMain(store->decline({2}));
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(store->requestStore.find(2)->status, RequestStatus::declined);
    EXPECT_EQ(handedOn.size(), 1u) << "only confirmations are handed on";

    runOnMain(store->reply(5, "Kommt gleich"));
    bool replied = false;
    for (const auto& r : service->received())
        if (r["target"] == "/api/events/ev1/messages/5/reply") {
            auto body = json::parse(r["body"].get<std::string>());
            EXPECT_EQ(body["sessionId"], "g5");
            replied = true;
        }
    EXPECT_TRUE(replied);
    runOnMain(store->broadcast("Letzte Runde!"));
    EXPECT_EQ(service->lastReceived()["target"], "/api/events/ev1/broadcast");
}

TEST_F(AppStoreTest, TagAtThePlayerConfirmsTheMatchingPendingRequests) {
    service->event({{"id", "ev1"},
                    {"requests", json::array({request(1, "Eins", "pending", 2), request(2, "Zwei", "played"),
                                              json{{"id", 3}, {"track_id", 70}, {"title", "Eins"}, {"artist", "Band"}, {"status", "pending"},
                                                   {"created_at", "x"}},
                                              json{{"id", 4}, {"track_id", 70}, {"title", "Eins"}, {"artist", "Band"}, {"status", "played"},
                                                   {"created_at", "x"}}})}});
    std::vector<std::string> link;
    connect();
    store->linkLog = [&](const std::string& tag, const std::string& m) { link.push_back(tag + " " + m); };
    runOnMain(store->confirmFromTag("4711"));
    EXPECT_THAT(link, ::testing::ElementsAre("TAG Tag am CDJ auf rekordbox-ID 4711 → 1 offene(r) Wunsch/Wünsche bestätigen"));
    EXPECT_EQ(store->requestStore.find(3)->status, RequestStatus::confirmed);
    EXPECT_EQ(store->requestStore.find(4)->status, RequestStatus::played);
    EXPECT_EQ(store->requestStore.find(1)->status, RequestStatus::pending);

    store->markExported({3, 1});
    EXPECT_EQ(DefaultsStore::standard().get("exportedRequestIds_ev1"), "[1,3]");
}

TEST_F(AppStoreTest, NotificationsLoadMarkReadAndKeepTheirStateOnFailure) {
    auto note = [](int64_t id, const std::string& severity, bool read) {
        return json{{"id", id}, {"type", "system"}, {"title", "T"}, {"message", "M"}, {"severity", severity},
                    {"is_read", read}, {"created_at", "2026-01-01T20:00:00Z"}};
    };
    service->set({{"notifications", json::array({note(1, "warning", false), note(2, "info", false), note(3, "error", true)})}});
    auto& ns = store->notificationStore;
    runOnMain(ns.fetch());
    ASSERT_EQ(ns.notifications().size(), 3u);
    EXPECT_EQ(ns.unreadCount(), 2);
    ASSERT_EQ(ns.importantUnread().size(), 1u);
    EXPECT_EQ(ns.importantUnread()[0].id, 1);

    runOnMain(ns.markRead(1));
    EXPECT_EQ(ns.unreadCount(), 1);
    EXPECT_TRUE(ns.importantUnread().empty());
    runOnMain(ns.markAllRead());
    EXPECT_EQ(ns.unreadCount(), 0);
    runOnMain(ns.markRead(2));
    EXPECT_EQ(ns.unreadCount(), 0) << "never below 0";

    service->script({{"action", "status"}, {"status", 500}, {"body", "x"}});
    runOnMain(ns.fetch());
    EXPECT_EQ(ns.notifications().size(), 3u);
    EXPECT_EQ(ns.lastError(), "Server error (500)");
    EXPECT_FALSE(ns.isLoading());
    EXPECT_THAT(lines, Contains("[NotificationStore] Error fetching notifications: Server error (500)"));
    service->script({{"action", "status"}, {"status", 500}, {"body", "x"}});
    runOnMain(ns.markRead(3));
    EXPECT_THAT(lines, Contains("[NotificationStore] Error marking notification read: Server error (500)"));
}

TEST_F(AppStoreTest, ConfirmedRequestsReachTheDJPlaylistAndNowPlayingTheService) {
    dj.configured({"rekordbox"});
    json first = request(1, "Eins", "pending", 2);
    first["track_id"] = 70;
    service->event({{"id", "ev1"}, {"is_active", true}, {"requests", json::array({first, request(2, "Zwei", "played")})},
                    {"preferences", {{"activeDjSoftware", "rekordbox"}}}});
    auto& rekordbox = *dj.bridges["rekordbox"];
    rekordbox.nowPlaying = {DJNowPlaying{"Eins", "Band", {}}};
    std::vector<NowPlayingInfo> shown;
    store->onNowPlaying = [&](const NowPlayingInfo& i) { shown.push_back(i); };
    connect();
    ASSERT_TRUE(waitFor([&] { return dj.manager.isPolling(); }));
    EXPECT_THAT(lines, Contains("[AppStore] starting polling (event active + showNowPlaying=true + software=rekordbox)…"));

    // Confirmed here: written into the playlist (by its rekordbox id) and recorded as exported.
    EXPECT_TRUE(runOnMain(store->confirm({1})).empty());
    ASSERT_TRUE(waitFor([&] { return store->exportedRequestIds().count(1) > 0; }));
    EXPECT_EQ(rekordbox.playlists["playlist:Sommerfest"], std::vector<std::string>{"4711"});
    EXPECT_EQ(DefaultsStore::standard().get("exportedRequestIds_ev1"), "[1]");
    // A second confirm writes nothing twice.
    EXPECT_TRUE(runOnMain(store->confirm({1})).empty());
    MainLoop::shared().runUntil([] { return false; }, 300ms);
    EXPECT_EQ(rekordbox.playlists["playlist:Sommerfest"], std::vector<std::string>{"4711"});
    EXPECT_EQ(rekordbox.created, 1);

    // Now playing: to the overlay hook at once, to the service, once per change.
    ASSERT_TRUE(waitFor([&] { return !shown.empty(); }));
    ASSERT_TRUE(waitFor([&] { return service->state()["events"]["ev1"]["nowPlaying"].is_object(); }));
    EXPECT_EQ(service->state()["events"]["ev1"]["nowPlaying"]["track_title"], "Eins");
    // The service telling the same back is no change.
    service->admin("POST", "/__admin/emit",
                   {{"eventId", "ev1"}, {"event", "now-playing"},
                    {"payload", {{"track_title", "Eins"}, {"track_artist", "Band"}, {"updated_at", "x"}}}});
    MainLoop::shared().runUntil([] { return false; }, 1500ms);
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].trackTitle, "Eins");

    // A request the service confirmed (the web dashboard) is written too.
    json updated = json::array({request(1, "Eins", "confirmed"), request(2, "Zwei", "played")});
    updated[0]["track_id"] = 70;
    updated.push_back(request(3, "Drei", "confirmed"));
    updated.back()["track_id"] = 70;
    service->admin("POST", "/__admin/emit", {{"eventId", "ev1"}, {"event", "requests-updated"}, {"payload", {{"requests", updated}}}});
    ASSERT_TRUE(waitFor([&] { return store->exportedRequestIds().count(3) > 0; }));

    runOnMain(store->setEventOffline());
    EXPECT_FALSE(dj.manager.isPolling());
}
