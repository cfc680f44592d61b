// The local event service with real guests (the socket.io client) and the DJ's own realtime
// client and REST client: the road of a request both ways, bad input, limits, and the state file.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <csignal>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/MainLoop.hpp"
#include "service/GuestDriver.hpp"
#include "session/APIClient.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"
#include "session/ApiTestService.hpp"
#include "session/WebSocketManager.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::GuestDriver;
using fv::test::runOnMain;
using fv::test::TestService;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace fs = std::filesystem;

namespace {

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
    return MainLoop::shared().runUntil(pred, limit);
}

struct Tokens : AccessTokenHolder {
    std::optional<std::string> token = "dj-token";
    std::optional<std::string> accessToken() const override { return token; }
    void setAccessToken(std::string t) override { token = std::move(t); }
};

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// A plain HTTP/1.1 exchange on loopback, for bodies the DJ's client would never send.
HttpAnswer rawHttp(int port, const std::string& request) {
    HttpAnswer a;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return a;
    }
    for (size_t off = 0; off < request.size();) {
        ssize_t n = ::send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;  // the service may close early on a body it refuses
        off += size_t(n);
    }
    std::string answer;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        answer.append(buf, size_t(n));
    }
    close(fd);
    if (answer.rfind("HTTP/1.1 ", 0) == 0) a.status = std::stoi(answer.substr(9, 3));
    if (auto p = answer.find("\r\n\r\n"); p != std::string::npos) a.body = answer.substr(p + 4);
    return a;
}

HttpAnswer post(int port, const std::string& path, const std::string& body, const std::string& type = "application/json") {
    return rawHttp(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: Bearer dj-token\r\n"
                         "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

json track(int64_t id, const std::string& title, const std::string& artist, bool hidden = false) {
    return {{"id", id}, {"title", title}, {"artist", artist}, {"hidden", hidden}};
}

json eventNamed(const json& events, const std::string& name) {
    json out = json::array();
    for (const auto& e : events)
        if (e[0] == name) out.push_back(e[1]);
    return out;
}

class LocalService : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        start();
        ASSERT_TRUE(guests.started());
    }
    void TearDown() override {
        ws.disconnect();
        unsetenv("FLOORVOTE_PRODUCTION_URL");
    }

    void start(int port = 0) {
        service = std::make_unique<TestService>(
            TestService::serviceArgs("local", port, {"--data", (home->path() / "service").string()}));
        setenv("FLOORVOTE_PRODUCTION_URL", service->url().c_str(), 1);
    }
    void seed(json prefs = json::object()) {
        service->account({{"email", "dj@example.invalid"}, {"accessToken", "dj-token"}});
        service->event({{"id", "ev1"}, {"dj_name", "Kai"}, {"event_name", "Sommerfest"}, {"is_active", true},
                        {"ownerEmail", "dj@example.invalid"}, {"preferences", prefs},
                        {"tracks", json::array({track(70, "Blue Monday", "New Order"), track(71, "Blue Hotel", "Chris Isaak", true),
                                                track(72, "Around the World", "Daft Punk")})}});
    }
    void djJoins() {
        ws.onNewRequest = [this](std::vector<MusicRequest> r) { djRequests.insert(djRequests.end(), r.begin(), r.end()); };
        ws.onNewMessage = [this](std::vector<GuestMessage> m) { djMessages.insert(djMessages.end(), m.begin(), m.end()); };
        ws.onGuestCountChanged = [this](int64_t c) { djCounts.push_back(c); };
        ws.connect(service->url(), "ev1");
        ASSERT_TRUE(waitFor([&] {
            return ws.state().kind == ConnectionState::Kind::connected &&
                   !service->admin("GET", "/__admin/sockets")["joins"].empty();
        }));
    }
    json join(const std::string& id, const std::string& name, const std::string& session) {
        EXPECT_TRUE(guests.connect(id, service->url()));
        return guests.ask(id, "guest-join", {{"eventId", "ev1"}, {"sessionId", session}, {"name", name}});
    }
    json storedEvent() { return service->state()["events"]["ev1"]; }

    std::unique_ptr<fv::test::TempDir> home;
    std::unique_ptr<TestService> service;
    GuestDriver guests;
    WebSocketManager ws;
    std::vector<MusicRequest> djRequests;
    std::vector<GuestMessage> djMessages;
    std::vector<int64_t> djCounts;
    Tokens tokens;
    KeychainService keychain;
    HttpClient http;
    APIClient api{tokens, keychain, http};
};

}  // namespace

TEST_F(LocalService, ARequestGoesFromTheGuestToTheDjAndTheAnswersComeBack) {
    seed();
    djJoins();
    json a = join("anna", "<b>Anna</b>", "anna-session-1");
    ASSERT_TRUE(a.value("ok", false)) << a.dump();
    EXPECT_EQ(a["event"]["event_name"], "Sommerfest");
    EXPECT_EQ(a["name"], "<b>Anna</b>");
    ASSERT_TRUE(waitFor([&] { return !djCounts.empty() && djCounts.back() == 1; }));

    // Suggestions come from the event's tracks, hidden ones left out.
    json found = guests.ask("anna", "guest-search", {{"q", "blue"}});
    ASSERT_EQ(found["tracks"].size(), 1u) << found.dump();
    EXPECT_EQ(found["tracks"][0]["title"], "Blue Monday");
    EXPECT_EQ(guests.ask("anna", "guest-request", {{"trackId", 71}})["error"], "Diesen Titel gibt es in der Liste nicht.");

    json sent = guests.ask("anna", "guest-request", {{"trackId", 70}});
    ASSERT_TRUE(sent.value("ok", false)) << sent.dump();
    const int64_t id = sent["request"]["id"];
    ASSERT_TRUE(waitFor([&] { return !djRequests.empty(); }));
    EXPECT_EQ(djRequests.back().id, id);
    EXPECT_EQ(djRequests.back().title, "Blue Monday");
    EXPECT_EQ(djRequests.back().trackId, 70);
    EXPECT_EQ(djRequests.back().guestName, "<b>Anna</b>") << "a guest's name is kept as the text it is";
    EXPECT_EQ(djRequests.back().status, RequestStatus::pending);

    // A second guest votes; the DJ's list gets the new count, the first guest's page too.
    ASSERT_TRUE(join("ben", "Ben", "ben-session-1").value("ok", false));
    ASSERT_TRUE(waitFor([&] { return djCounts.back() == 2; }));
    EXPECT_TRUE(guests.ask("ben", "guest-vote", {{"requestId", id}}).value("ok", false));
    ASSERT_TRUE(waitFor([&] { return djRequests.back().voteCount == 2; }));
    EXPECT_EQ(guests.ask("ben", "guest-vote", {{"requestId", id}})["error"], "Du hast für diesen Wunsch schon abgestimmt.");
    // Asking for the same song again counts as a vote for it.
    json again = guests.ask("ben", "guest-request", {{"title", "blue  monday"}, {"artist", "NEW ORDER"}});
    EXPECT_TRUE(again.value("duplicate", false)) << again.dump();
    EXPECT_EQ(storedEvent()["requests"].size(), 1u);

    json message = guests.ask("anna", "guest-message", {{"content", "Spielst du noch was von Daft Punk?"}});
    ASSERT_TRUE(message.value("ok", false)) << message.dump();
    ASSERT_TRUE(waitFor([&] { return !djMessages.empty(); }));
    EXPECT_EQ(djMessages.back().sessionId, "anna-session-1");
    EXPECT_EQ(djMessages.back().guestName, "<b>Anna</b>");

    // The DJ answers through the same REST calls the program uses.
    runOnMain(api.replyToMessage("ev1", djMessages.back().id, "Klar, gleich!", "anna-session-1"));
    runOnMain(api.broadcast("ev1", "Letzte Runde um 2!", std::nullopt));
    runOnMain(api.updateRequestStatus("ev1", id, RequestStatus::confirmed));
    runOnMain(api.reportNowPlaying("ev1", "Around the World", "Daft Punk"));
    std::this_thread::sleep_for(700ms);  // guest pages hear of changed requests in batches
    json toAnna = guests.received("anna");
    json toBen = guests.received("ben");
    ASSERT_EQ(eventNamed(toAnna, "dj-reply").size(), 1u) << toAnna.dump();
    EXPECT_EQ(eventNamed(toAnna, "dj-reply")[0]["content"], "Klar, gleich!");
    EXPECT_TRUE(eventNamed(toBen, "dj-reply").empty()) << "a reply reaches only the guest it answers";
    EXPECT_EQ(eventNamed(toBen, "broadcast")[0]["content"], "Letzte Runde um 2!");
    EXPECT_EQ(eventNamed(toAnna, "broadcast").size(), 1u);
    json changed = json::array();
    for (const auto& batch : eventNamed(toAnna, "requests-changed"))
        for (const char* kind : {"added", "changed"})
            for (const auto& c : batch[kind]) changed.push_back(c);
    ASSERT_FALSE(changed.empty()) << toAnna.dump();
    EXPECT_EQ(changed.back()["status"], "confirmed");
    EXPECT_EQ(changed.back()["vote_count"], 2);
    EXPECT_EQ(eventNamed(toBen, "now-playing")[0]["track_title"], "Around the World");

    // A page opened again later finds its own requests, votes and thread.
    guests.disconnect("anna");
    json back = join("anna2", "", "anna-session-1");
    EXPECT_EQ(back["name"], "<b>Anna</b>");
    EXPECT_EQ(back["mine"], json::array({id}));
    ASSERT_EQ(back["messages"].size(), 2u) << back.dump();
    EXPECT_TRUE(back["messages"][1]["is_dj_reply"].get<bool>());
    EXPECT_EQ(back["broadcasts"].size(), 1u);
}

TEST_F(LocalService, BadGuestInputGetsGermanAnswersAndOtherGuestsAreStillServed) {
    seed({{"maxRequestsPerGuest", 2}});
    djJoins();
    ASSERT_TRUE(join("c", "Carla", "carla-session").value("ok", false));
    EXPECT_EQ(guests.ask("c", "guest-request", {{"title", std::string(121, 'x')}})["error"],
              "Der Titel ist zu lang (höchstens 120 Zeichen).");
    EXPECT_EQ(guests.ask("c", "guest-request", {{"title", "   "}})["error"], "Bitte einen Titel eingeben.");
    EXPECT_EQ(guests.ask("c", "guest-request", "Titel")["error"], "Ungültige Anfrage.");
    EXPECT_EQ(guests.ask("c", "guest-request", json::array({1, 2}))["error"], "Ungültige Anfrage.");
    EXPECT_EQ(guests.ask("c", "guest-request", {{"title", 42}})["error"], "Ungültige Anfrage.");
    EXPECT_EQ(guests.ask("c", "guest-message", {{"content", std::string(501, 'y')}})["error"],
              "Die Nachricht ist zu lang (höchstens 500 Zeichen).");
    EXPECT_EQ(guests.ask("c", "guest-vote", {{"requestId", "1"}})["error"], "Ungültige Anfrage.");
    guests.emit("c", "guest-request", {{"title", "ohne Antwort"}});

    // Control characters and direction overrides do not survive into the DJ's list.
    json odd = guests.ask("c", "guest-request", {{"title", "Eins\u202e\x01\nZwei"}, {"artist", "\tBand\t"}});
    ASSERT_TRUE(odd.value("ok", false)) << odd.dump();
    EXPECT_EQ(odd["request"]["title"], "Eins Zwei");
    EXPECT_EQ(odd["request"]["artist"], "Band");

    // A flood from one guest: the per-guest wait, then the connection's limit.
    json flood;
    std::vector<std::string> errors;
    for (int i = 0; i < 25; ++i) {
        flood = guests.ask("c", "guest-request", {{"title", "Flut " + std::to_string(i)}});
        if (flood.contains("error")) errors.push_back(flood["error"]);
    }
    ASSERT_FALSE(errors.empty());
    EXPECT_THAT(errors.front(), StartsWith("Bitte warte noch "));
    EXPECT_EQ(errors.back(), "Zu viele Anfragen – bitte einen Moment warten.");
    EXPECT_EQ(storedEvent()["requests"].size(), 1u) << "nothing of the flood was stored";

    // Meanwhile another guest is served at once.
    ASSERT_TRUE(join("d", "Dario", "dario-session").value("ok", false));
    json served = guests.ask("d", "guest-request", {{"title", "Song 2"}, {"artist", "Blur"}});
    EXPECT_TRUE(served.value("ok", false)) << served.dump();

    // The event's own limit on requests per guest.
    service->event({{"id", "ev1"}, {"preferences", {{"maxRequestsPerGuest", 1}}}});
    EXPECT_EQ(guests.ask("d", "guest-request", {{"title", "Noch einer"}})["error"],
              "Du hast schon 1 Wunsch geschickt – mehr geht bei diesem Event nicht.");
    // A closed event takes no requests; a page of another site may not open the channel at all.
    service->event({{"id", "ev1"}, {"is_active", false}});
    ASSERT_TRUE(join("e", "Emil", "emil-session").value("ok", false));
    EXPECT_EQ(guests.ask("e", "guest-request", {{"title", "Zu spät"}})["error"], "Das Event nimmt gerade keine Wünsche an.");
    EXPECT_FALSE(guests.connect("f", service->url(), "http://evil.example"));
    EXPECT_EQ(guests.ask("e", "guest-join", {{"eventId", "nope"}, {"sessionId", "emil-session"}})["error"],
              "Dieses Event gibt es nicht.");

    // REST: a body too large and one that is not JSON.
    HttpAnswer big = post(service->port(), "/api/events/ev1/tracks", std::string(17 * 1024 * 1024, ' '));
    EXPECT_EQ(big.status, 413);
    EXPECT_THAT(big.body, HasSubstr("Die Anfrage ist zu groß."));
    HttpAnswer broken = post(service->port(), "/api/events/ev1/tracks", "{\"tracks\": [");
    EXPECT_EQ(broken.status, 400);
    EXPECT_THAT(broken.body, HasSubstr("Ungültiger JSON-Inhalt."));
    EXPECT_EQ(post(service->port(), "/api/events/ev1/broadcast", "{}").status, 400);
    EXPECT_TRUE(guests.connected("d")) << "the other guests stay connected";
    EXPECT_EQ(runOnMain(api.getRequests("ev1")).requests.size(), 2u);
}

TEST_F(LocalService, EveryAcknowledgedRequestSurvivesKillNine) {
    seed({{"maxRequestsPerGuest", 5}});
    int seq = guests.startBurst(service->url(), "ev1", 80, "k", false);
    std::set<int64_t> acked;
    while (acked.size() < 25) {
        json line = guests.next(seq);
        ASSERT_TRUE(line.is_object()) << "the burst stalled";
        ASSERT_FALSE(line.contains("done")) << line.dump();
        acked.insert(line["acked"].get<int64_t>());
    }
    service->kill();
    // Acknowledgements already on their way count too.
    for (;;) {
        json line = guests.next(seq, 5s);
        if (!line.is_object() || line.contains("done")) break;
        if (line.contains("acked")) acked.insert(line["acked"].get<int64_t>());
    }
    start();
    std::set<int64_t> stored;
    const json restarted = storedEvent();
    for (const auto& r : restarted["requests"]) stored.insert(r["id"].get<int64_t>());
    for (int64_t id : acked) EXPECT_TRUE(stored.count(id)) << "request " << id << " was acknowledged but is gone";
    // The ids go on after the stored ones, and the restarted service takes new requests.
    ASSERT_TRUE(join("late", "Lena", "lena-session").value("ok", false));
    json r = guests.ask("late", "guest-request", {{"title", "Nach dem Neustart"}});
    ASSERT_TRUE(r.value("ok", false)) << r.dump();
    EXPECT_GT(r["request"]["id"].get<int64_t>(), *stored.rbegin());
}

TEST_F(LocalService, ADamagedStateFileIsKeptAsideAndTheServiceStartsEmpty) {
    seed();
    service.reset();
    const fs::path dir = home->path() / "service";
    fv::test::writeFile(dir / "state.json", "{\"events\": {\"ev1\": ");
    fv::test::writeFile(dir / "state.json.tmp", "half a write");
    start();
    EXPECT_TRUE(service->state()["events"].empty());
    bool keptAside = false;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind("state.json.defekt-", 0) == 0) keptAside = true;
    EXPECT_TRUE(keptAside);
    // A stored document of the wrong shape keeps what is usable.
    service.reset();
    fv::test::writeFile(dir / "state.json",
                        R"({"events": {"ev2": {"event_name": "Rest", "requests": "kaputt", "messages": [{"id": 5000}]}}, "nextId": "x"})");
    start();
    json ev = service->state()["events"]["ev2"];
    EXPECT_EQ(ev["event_name"], "Rest");
    EXPECT_TRUE(ev["requests"].is_array());
    EXPECT_EQ(service->state()["nextId"], 5001);
}

TEST_F(LocalService, WithoutTestModeThereAreNoAdminCallsAndLoginCodesGoToTheConsole) {
    const fs::path dir = home->path() / "product";
    fv::test::ChildProcess node({"node", std::string(FLOORVOTE_SOURCE_DIR) + "/service/server.js", "--data", dir.string()});
    auto first = node.readLine(20s);
    ASSERT_TRUE(first);
    const int port = json::parse(*first)["port"];
    EXPECT_EQ(rawHttp(port, "GET /__admin/state HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status, 404);

    EXPECT_EQ(post(port, "/api/auth/otp/send", R"({"email":"a\nb@example.invalid"})").status, 400);
    ASSERT_EQ(post(port, "/api/auth/otp/send", R"({"email":"dj@example.invalid"})").status, 200);
    std::string code;
    for (int i = 0; i < 5 && code.empty(); ++i) {
        auto line = node.readLine(5s);
        ASSERT_TRUE(line);
        const std::string prefix = "Anmeldecode für dj@example.invalid: ";
        if (line->rfind(prefix, 0) == 0) code = line->substr(prefix.size(), 6);
    }
    ASSERT_EQ(code.size(), 6u);
    EXPECT_EQ(post(port, "/api/auth/otp/verify", R"({"email":"dj@example.invalid","code":"x"})").status, 401);
    HttpAnswer ok = post(port, "/api/auth/otp/verify", R"({"email":"dj@example.invalid","code":")" + code + "\"}");
    EXPECT_EQ(ok.status, 200) << ok.body;
    EXPECT_EQ(post(port, "/api/auth/otp/verify", R"({"email":"dj@example.invalid","code":")" + code + "\"}").status, 401)
        << "a code is used once";

    // The login is in the state file, and the state file is the owner's alone.
    node.closeInput();
    EXPECT_EQ(node.waitOrKill(5s), 0);
    json stored = json::parse(std::ifstream(dir / "state.json"));
    EXPECT_EQ(stored["refreshTokens"].size(), 1u);
    EXPECT_EQ(fs::status(dir / "state.json").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}
