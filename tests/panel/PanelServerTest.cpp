// The panel server on loopback and the panel of a live session against the test service, through
// raw sockets: the access rules on the wire, the pushed state, the DJ's commands reaching the service.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <ifaddrs.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "panel/PanelManager.hpp"
#include "panel/PanelTestClient.hpp"
#include "session/APIClient.hpp"
#include "session/ApiTestService.hpp"
#include "session/AppStore.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::panel;
using namespace std::chrono_literals;
using fv::test::PanelClient;
using fv::test::TestService;
using ::testing::HasSubstr;

namespace {

std::string get(const std::string& target, uint16_t port, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + extra + "\r\n";
}

std::string upgrade(uint16_t port, const std::string& extra) {
    return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
           "Sec-WebSocket-Version: 13\r\n" +
           extra + "\r\n";
}

// An address of this machine that is not loopback, if it has one.
std::optional<std::string> otherLocalAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<std::string> out;
    for (ifaddrs* i = list; i && !out; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, buf, sizeof buf);
        if (std::string(buf).rfind("127.", 0) != 0) out = buf;
    }
    freeifaddrs(list);
    return out;
}

}  // namespace

TEST(PanelServer, ServesOnlyLoopbackWithTheTokenAndTheRightHost) {
    PanelServer server;
    ASSERT_TRUE(server.start(0)) << server.lastError();
    const uint16_t port = server.port();
    const std::string cookie = "Cookie: fv_panel_" + std::to_string(port) + "=" + server.token() + "\r\n";
    EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(port) + "/?token=" + server.token());

    {
        PanelClient c(port);
        auto a = c.request(get("/", port));
        EXPECT_EQ(a.status, 403);
        EXPECT_THAT(a.body, HasSubstr("floorvote panel"));
    }
    {
        PanelClient c(port);
        auto a = c.request(get("/?token=" + server.token(), port));
        EXPECT_EQ(a.status, 303);
        EXPECT_EQ(a.header("Location"), "/");
        EXPECT_THAT(a.header("Set-Cookie"), HasSubstr("HttpOnly; SameSite=Strict"));
        // The same connection goes on with the cookie.
        auto page = c.request(get("/", port, cookie));
        EXPECT_EQ(page.status, 200);
        EXPECT_THAT(page.header("Content-Type"), HasSubstr("text/html"));
        EXPECT_THAT(page.header("Content-Security-Policy"), HasSubstr("script-src 'self'"));
        EXPECT_THAT(page.header("Content-Security-Policy"), HasSubstr("frame-ancestors 'none'"));
        EXPECT_EQ(page.header("X-Frame-Options"), "DENY");
        EXPECT_THAT(page.body, HasSubstr("Bedienfeld"));
        auto js = c.request(get("/panel.js", port, cookie));
        EXPECT_EQ(js.status, 200);
        EXPECT_THAT(js.header("Content-Type"), HasSubstr("javascript"));
        EXPECT_THAT(js.body, HasSubstr("new WebSocket"));
        EXPECT_EQ(c.request(get("/nichts", port, cookie)).status, 404);
        auto head = c.request("HEAD / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + cookie + "\r\n");
        EXPECT_EQ(head.status, 200);
        EXPECT_TRUE(head.body.empty());
    }
    {
        // DNS rebinding: the token alone is not enough with a foreign Host.
        PanelClient c(port);
        auto a = c.request("GET / HTTP/1.1\r\nHost: evil.example:" + std::to_string(port) + "\r\n" + cookie + "\r\n");
        EXPECT_EQ(a.status, 403);
    }
    {
        // Another page of this computer (another port): same site for cookies, so the Origin decides.
        PanelClient c(port);
        EXPECT_EQ(c.request(upgrade(port, cookie + "Origin: http://127.0.0.1:3000\r\n")).status, 403);
    }
    {
        PanelClient c(port);
        EXPECT_EQ(c.request(upgrade(port, cookie)).status, 403) << "an upgrade without Origin";
    }
    {
        PanelClient c(port);
        EXPECT_EQ(c.request("POST / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\nOrigin: http://evil.example\r\nContent-Length: 3\r\n\r\nabc")
                      .status,
                  403);
    }
    {
        PanelClient c(port);
        auto ws = c.request(upgrade(port, cookie + "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n"));
        EXPECT_EQ(ws.status, 101);
        ASSERT_TRUE(MainLoop::shared().runUntil([&] { return server.connectedTabs() == 1; }, 5s));
        server.broadcast(R"({"t":"hallo"})");
        EXPECT_EQ(c.readMessage(), R"({"t":"hallo"})");
    }
    if (auto other = otherLocalAddress()) {
        PanelClient c(port, other->c_str());
        EXPECT_FALSE(c.connected()) << "the panel must not be reachable at " << *other;
    }
    server.stop();
    PanelClient after(port);
    EXPECT_FALSE(after.connected());
}

TEST(PanelServer, AStuckOrClosedTabNeverHoldsUpTheOthers) {
    PanelServer::Limits limits;
    limits.maxQueuedBytes = 256 * 1024;
    PanelServer server(limits);
    std::vector<uint64_t> opened, closed;
    server.onOpen = [&](uint64_t t) { opened.push_back(t); };
    server.onClose = [&](uint64_t t) { closed.push_back(t); };
    ASSERT_TRUE(server.start(0));
    const uint16_t port = server.port();
    const std::string hdr = "Cookie: fv_panel_" + std::to_string(port) + "=" + server.token() +
                            "\r\nOrigin: http://127.0.0.1:" + std::to_string(port) + "\r\n";
    PanelClient stuck(port), reader(port), leaving(port);
    for (auto* c : {&stuck, &reader, &leaving}) ASSERT_EQ(c->request(upgrade(port, hdr)).status, 101);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return opened.size() == 3; }, 5s));
    leaving.close();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return closed.size() == 1; }, 5s));

    // The stuck tab reads nothing; the other one gets every message.
    const std::string big(60 * 1024, 'x');
    // Enough that the kernel's buffers of the stuck one fill up as well.
    for (int i = 0; i < 250; ++i) {
        server.broadcast(R"({"n":)" + std::to_string(i) + R"(,"pad":")" + big + "\"}");
        auto m = reader.readMessage();
        ASSERT_TRUE(m) << i;
        const std::string head = R"({"n":)" + std::to_string(i) + R"(,"pad")";
        EXPECT_EQ(m->substr(0, head.size()), head) << i;
    }
    EXPECT_TRUE(MainLoop::shared().runUntil([&] { return server.connectedTabs() == 1; }, 10s))
        << "the stuck tab is dropped";
}

// ---- the panel of a live session --------------------------------------------------------------

namespace {

struct Tokens : AccessTokenHolder {
    std::optional<std::string> token = "good-token";
    std::optional<std::string> accessToken() const override { return token; }
    void setAccessToken(std::string t) override { token = std::move(t); }
};

json request(int64_t id, const std::string& title, const std::string& status = "pending", int64_t votes = 0) {
    return {{"id", id},         {"title", title},      {"artist", "Band"},
            {"status", status}, {"vote_count", votes}, {"created_at", "2026-01-01T20:00:00Z"}};
}

class PanelSession : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        service = std::make_unique<TestService>(TestService::serviceArgs("production", 0, {"--ping-interval", "400"}));
        service->account({{"email", "dj@example.invalid"}, {"accessToken", "good-token"}});
        service->event({{"id", "ev1"}, {"dj_pin", "1234"}, {"dj_name", "Kai"}, {"event_name", "Sommerfest"},
                        {"ownerEmail", "dj@example.invalid"},
                        {"requests", json::array({request(1, "Eins", "pending", 2), request(2, "Zwei", "confirmed")})},
                        {"messages", json::array({{{"id", 5}, {"content", "<b>Hallo</b>"}, {"guest_name", "Mia"},
                                                   {"created_at", "x"}, {"session_id", "g5"}}})}});
        setenv("FLOORVOTE_PRODUCTION_URL", service->url().c_str(), 1);
        AppSettings::setDedicatedOverride(std::nullopt);
        AppSettings::modify([](AppSettings& s) {
            s.activeEventId = "ev1";
            s.djPin = "1234";
            s.replyTemplates = {ReplyTemplate("Kommt gleich!", "de")};
        });
        setLogToStdout(false);
        store = std::make_unique<AppStore>(api, nullptr, dj);
        panel = std::make_unique<PanelManager>(*store);
        ASSERT_TRUE(panel->start(0));
        fv::test::runOnMain(store->connectToEvent());
        ASSERT_FALSE(store->connectionError());
        ASSERT_TRUE(MainLoop::shared().runUntil(
            [&] { return !service->admin("GET", "/__admin/sockets")["joins"].empty(); }, 10s));
    }
    void TearDown() override {
        panel.reset();
        store.reset();
        setLogToStdout(true);
        unsetenv("FLOORVOTE_PRODUCTION_URL");
    }

    // A tab with the cookie and the right Origin; its first message is the whole state.
    std::unique_ptr<PanelClient> tab(json* first = nullptr) {
        const uint16_t port = panel->server().port();
        auto c = std::make_unique<PanelClient>(port);
        auto a = c->request(upgrade(port, "Cookie: fv_panel_" + std::to_string(port) + "=" + panel->server().token() +
                                              "\r\nOrigin: http://127.0.0.1:" + std::to_string(port) + "\r\n"));
        EXPECT_EQ(a.status, 101);
        auto m = c->readMessage();
        EXPECT_TRUE(m);
        if (first && m) *first = json::parse(*m);
        return c;
    }
    // Reads until a message of that type (state updates come and go meanwhile).
    json next(PanelClient& c, const std::string& type, std::chrono::milliseconds limit = 10s) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            auto m = c.readMessage(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
            if (!m) break;
            json j = json::parse(*m);
            if (j["t"] == type) return j;
        }
        return nullptr;
    }
    json onService(int64_t id) {
        json all = service->admin("GET", "/__admin/state")["events"]["ev1"]["requests"];
        for (const auto& r : all)
            if (r["id"] == id) return r;
        ADD_FAILURE() << "request " << id << " not on the service: " << all.dump();
        return nullptr;
    }
    size_t patchesTo(int64_t id) {
        size_t n = 0;
        for (const auto& r : service->received())
            if (r.value("method", "") == "PATCH" && r.value("target", "").find("/requests/" + std::to_string(id)) != std::string::npos)
                ++n;
        return n;
    }

    std::unique_ptr<fv::test::TempDir> home;
    std::unique_ptr<TestService> service;
    Tokens tokens;
    KeychainService keychain;
    HttpClient http;
    APIClient api{tokens, keychain, http};
    DJSoftwareManager dj;
    std::unique_ptr<AppStore> store;
    std::unique_ptr<PanelManager> panel;
};

}  // namespace

TEST_F(PanelSession, ATabGetsTheWholeStateThenWhatArrives) {
    json first;
    auto a = tab(&first);
    EXPECT_EQ(first["t"], "state");
    EXPECT_TRUE(first["full"].get<bool>());
    EXPECT_EQ(first["sections"]["event"]["name"], "Sommerfest");
    EXPECT_EQ(first["sections"]["lists"]["pending"], json::array({1}));
    EXPECT_EQ(first["sections"]["lists"]["queue"], json::array({2}));
    EXPECT_EQ(first["sections"]["templates"]["reply"], json::array({"Kommt gleich!"}));
    EXPECT_EQ(first["requests"]["upsert"].size(), 2u);
    EXPECT_EQ(first["messages"]["upsert"][0]["content"], "<b>Hallo</b>");
    EXPECT_EQ(first["sections"]["channel"]["label"], "verbunden");

    auto b = tab();
    service->admin("POST", "/__admin/add-request", {{"eventId", "ev1"}, {"request", request(3, "Drei", "pending", 5)}});
    for (auto* c : {a.get(), b.get()}) {
        json update = next(*c, "state");
        ASSERT_TRUE(update.is_object());
        EXPECT_FALSE(update["full"].get<bool>());
        EXPECT_EQ(update["requests"]["upsert"][0]["title"], "Drei");
        EXPECT_EQ(update["sections"]["lists"]["pending"], json::array({3, 1})) << "most votes first";
    }
    service->admin("POST", "/__admin/emit", {{"eventId", "ev1"}, {"event", "guest-count"}, {"payload", 42}});
    json count = next(*a, "state");
    EXPECT_EQ(count["sections"]["counts"]["guests"], 42);
    EXPECT_FALSE(count.contains("requests")) << "only what changed";
}

TEST_F(PanelSession, CommandsFromATabReachTheServiceOnce) {
    auto a = tab();
    auto b = tab();
    // A double click: the same confirm twice before the first answer.
    a->sendText(R"({"t":"confirm","req":1,"ids":[1]})");
    a->sendText(R"({"t":"confirm","req":2,"ids":[1]})");
    json r1 = next(*a, "result"), r2 = next(*a, "result");
    ASSERT_TRUE(r1.is_object());
    ASSERT_TRUE(r2.is_object());
    EXPECT_TRUE(r1["ok"].get<bool>());
    EXPECT_TRUE(r2["ok"].get<bool>());
    EXPECT_EQ(onService(1)["status"], "confirmed");
    EXPECT_EQ(patchesTo(1), 1u) << "one change on the service";
    json seen = next(*b, "state");
    // Neither has a confirmation time here: both sort as the empty one, in the delivered order.
    EXPECT_EQ(seen["sections"]["lists"]["queue"], json::array({1, 2}));

    // Several at once, one unknown: the known ones change, the unknown one is named.
    a->sendText(R"({"t":"played","req":3,"ids":[2,77,1]})");
    json mixed = next(*a, "result");
    EXPECT_FALSE(mixed["ok"].get<bool>());
    ASSERT_EQ(mixed["failures"].size(), 1u);
    EXPECT_EQ(mixed["failures"][0]["id"], 77);
    EXPECT_THAT(mixed["failures"][0]["text"].get<std::string>(), HasSubstr("#77 gibt es nicht"));
    EXPECT_EQ(onService(2)["status"], "played");
    EXPECT_EQ(onService(1)["status"], "played");
    EXPECT_EQ(patchesTo(77), 0u);

    // The service refuses: the list stays as the service has it, the error is German.
    service->script({{"action", "status"}, {"status", 500}, {"pathPrefix", "/api/events/ev1/requests/2"}});
    a->sendText(R"({"t":"decline","req":4,"ids":[2]})");
    json refused = next(*a, "result");
    EXPECT_FALSE(refused["ok"].get<bool>());
    EXPECT_THAT(refused["failures"][0]["text"].get<std::string>(), HasSubstr("Serverfehler (500)"));
    EXPECT_EQ(store->requestStore.find(2)->status, RequestStatus::played);

    a->sendText(R"({"t":"reply","req":5,"messageId":5,"text":"Kommt gleich!"})");
    EXPECT_TRUE(next(*a, "result")["ok"].get<bool>());
    auto last = service->lastReceived();
    EXPECT_THAT(last["target"].get<std::string>(), HasSubstr("/messages/5/reply"));
    a->sendText(R"({"t":"reply","req":6,"messageId":99,"text":"Hallo?"})");
    EXPECT_THAT(next(*a, "result")["text"].get<std::string>(), HasSubstr("gibt es nicht"));

    a->sendText(R"({"t":"broadcast","req":7,"text":"Letzte Runde!"})");
    EXPECT_TRUE(next(*a, "result")["ok"].get<bool>());
    EXPECT_EQ(json::parse(service->lastReceived()["body"].get<std::string>())["content"], "Letzte Runde!");

    a->sendText(R"({"t":"online","req":8,"on":true})");
    json online = next(*a, "result");
    EXPECT_TRUE(online["ok"].get<bool>()) << online.dump();
    EXPECT_EQ(service->admin("GET", "/__admin/state")["events"]["ev1"]["is_active"], true);

    a->sendText(R"({"t":"deleteAllMessages","req":9})");
    EXPECT_TRUE(next(*a, "result")["ok"].get<bool>());
    EXPECT_TRUE(service->admin("GET", "/__admin/state")["events"]["ev1"]["messages"].empty());
    EXPECT_TRUE(store->messageStore.messages().empty());

    a->sendText(R"({"t":"action","req":10,"name":"cdj.start"})");
    EXPECT_THAT(next(*a, "result")["text"].get<std::string>(), HasSubstr("gibt es hier nicht"));
}

TEST_F(PanelSession, GarbageFromATabIsAnsweredAndChangesNothing) {
    auto a = tab();
    const json before = service->admin("GET", "/__admin/state")["events"]["ev1"];
    for (const char* junk : {"kein json", "{}", R"({"t":"confirm","ids":["1; DROP"]})", R"({"t":"online"})"}) {
        a->sendText(junk);
        json e = next(*a, "error");
        ASSERT_TRUE(e.is_object()) << junk;
        EXPECT_FALSE(e["text"].get<std::string>().empty());
    }
    // A binary frame and an invalid UTF-8 text frame: the tab is closed or told, the program goes on.
    a->send(fv::test::LoopbackClient::clientFrame(0x82, "\x01\x02"));
    a->send(fv::test::LoopbackClient::clientFrame(0x81, "\xC3\x28"));
    MainLoop::shared().runUntil([] { return false; }, 300ms);
    auto b = tab();
    b->sendText(R"({"t":"confirm","req":1,"ids":[1]})");
    EXPECT_TRUE(next(*b, "result")["ok"].get<bool>());
    json after = service->admin("GET", "/__admin/state")["events"]["ev1"];
    EXPECT_EQ(after["messages"], before["messages"]);
}

TEST_F(PanelSession, ATabClosingMidCommandOrDeletingTwiceLeavesTheListsAsTheServiceHasThem) {
    auto a = tab();
    auto b = tab();
    // The tab sends and is gone before the answer: the change is made once and the others see it.
    a->sendText(R"({"t":"confirm","req":1,"ids":[1]})");
    a->close();
    bool queued = false;
    for (int i = 0; i < 10 && !queued; ++i) {
        json u = next(*b, "state");
        ASSERT_TRUE(u.is_object());
        const json lists = u["sections"].value("lists", json::object());
        queued = lists.contains("queue") && lists["queue"].size() == 2;
    }
    EXPECT_TRUE(queued);
    EXPECT_EQ(onService(1)["status"], "confirmed");
    EXPECT_EQ(patchesTo(1), 1u);

    // A double click on delete: the first deletes, the second says the message is gone.
    b->sendText(R"({"t":"deleteMessage","req":2,"messageId":5})");
    b->sendText(R"({"t":"deleteMessage","req":3,"messageId":5})");
    json first = next(*b, "result"), second = next(*b, "result");
    EXPECT_EQ(first["text"], "Nachricht gelöscht.");
    EXPECT_FALSE(second["ok"].get<bool>());
    EXPECT_EQ(second["text"], "Die Nachricht gibt es nicht (mehr).");
    b->sendText(R"({"t":"deleteMessage","req":4,"messageId":404})");
    EXPECT_EQ(next(*b, "result")["text"], "Die Nachricht gibt es nicht (mehr).") << "no false success";
    EXPECT_TRUE(service->admin("GET", "/__admin/state")["events"]["ev1"]["messages"].empty());

    // A tab opened now sees what the service holds.
    json full;
    auto c = tab(&full);
    EXPECT_TRUE(full["messages"]["upsert"].empty());
    for (const auto& r : service->admin("GET", "/__admin/state")["events"]["ev1"]["requests"]) {
        bool found = false;
        for (const auto& mine : full["requests"]["upsert"])
            if (mine["id"] == r["id"]) {
                found = true;
                EXPECT_EQ(mine["status"], r["status"]) << r.dump();
            }
        EXPECT_TRUE(found) << r.dump();
    }
}

TEST_F(PanelSession, CardsOfSubsystemsAppearAndTheirActionsRun) {
    bool present = false;
    int runs = 0;
    panel->addCard("cdj", [&]() -> std::optional<json> {
        if (!present) return std::nullopt;
        return json{{"title", "CDJ-Bibliothek"}, {"rows", {{"Modus", "aktiv"}}}};
    });
    panel->addAction("cdj.restart", [&](const json& args) -> PanelManager::Task<std::string> {
        ++runs;
        if (args.value("value", "") == "kaputt") throw std::runtime_error("Could not connect to x: Connection refused");
        co_return "Neu gestartet.";
    });
    json first;
    auto a = tab(&first);
    EXPECT_TRUE(first["sections"]["cards"].empty());
    present = true;
    panel->changed();
    json update = next(*a, "state");
    ASSERT_EQ(update["sections"]["cards"].size(), 1u);
    EXPECT_EQ(update["sections"]["cards"][0]["id"], "cdj");
    a->sendText(R"({"t":"action","req":1,"name":"cdj.restart"})");
    EXPECT_EQ(next(*a, "result")["text"], "Neu gestartet.");
    a->sendText(R"({"t":"action","req":2,"name":"cdj.restart","args":{"value":"kaputt"}})");
    json failed = next(*a, "result");
    EXPECT_FALSE(failed["ok"].get<bool>());
    EXPECT_EQ(failed["text"], "Keine Verbindung zu x: Verbindung abgelehnt");
    EXPECT_EQ(runs, 2);
}
