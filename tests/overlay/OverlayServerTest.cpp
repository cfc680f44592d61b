// The overlay server against real sockets on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "overlay/OverlayPage.hpp"
#include "overlay/OverlayServer.hpp"
#include "overlay/OverlayTestClient.hpp"
#include "overlay/WebSocketProtocol.hpp"

using namespace fv;
using namespace fv::overlay;
using fv::test::LoopbackClient;
using namespace std::chrono_literals;

namespace {

bool pump(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms) {
    return MainLoop::shared().runUntil(pred, timeout);
}

OverlayConfig testConfig() {
    OverlayConfig c;
    c.port = 0;  // a free port
    return c;
}

// Upgrades and waits until the server counts the client.
std::unique_ptr<LoopbackClient> openPage(OverlayServer& server, int rcvbuf = 0) {
    const auto before = server.connectionIds();
    auto c = std::make_unique<LoopbackClient>(server.port(), rcvbuf);
    EXPECT_TRUE(c->connected());
    std::string head = c->upgrade();
    EXPECT_EQ(head.rfind("HTTP/1.1 101 ", 0), 0u) << head;
    EXPECT_TRUE(pump([&] {
        for (const auto& id : server.connectionIds())
            if (!before.count(id)) return true;
        return false;
    }));
    return c;
}

// Upgrades without waiting for the count (other clients may be leaving meanwhile).
std::unique_ptr<LoopbackClient> upgraded(OverlayServer& server) {
    auto c = std::make_unique<LoopbackClient>(server.port());
    EXPECT_EQ(c->upgrade().rfind("HTTP/1.1 101 ", 0), 0u);
    return c;
}

json frameJson(const LoopbackClient::Frame& f) { return json::parse(f.payload); }

}  // namespace

TEST(OverlayServer, ServesThePageForAnyPathWithItsByteLength) {
    std::vector<std::string> log;
    setLogSink([&](const std::string& l) { log.push_back(l); });
    OverlayServer server;
    OverlayConfig c = testConfig();
    c.showSponsor = true;
    c.sponsorName = "Brauhaus M\u00FCller \U0001F37A";
    c.customTheme.name = "Gr\u00FCn";
    ASSERT_TRUE(server.start(c)) << server.lastError();
    EXPECT_TRUE(server.isRunning());
    EXPECT_NE(server.port(), 0);
    const std::string expected = renderOverlayPage(server.overlayConfig());

    for (const char* path : {"/", "/overlay", "/anything/at/all?x=1"}) {
        SCOPED_TRACE(path);
        LoopbackClient client(server.port());
        ASSERT_TRUE(client.send(std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        bool eof = false;
        std::string answer = client.readAll(5000ms, &eof);
        EXPECT_TRUE(eof) << "the page connection closes after the page";
        auto split = answer.find("\r\n\r\n");
        ASSERT_NE(split, std::string::npos);
        std::string head = answer.substr(0, split + 4), body = answer.substr(split + 4);
        EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(body, expected);
        EXPECT_NE(body.find("Brauhaus M\u00FCller"), std::string::npos);
    }

    // A configuration change shows on the next load.
    c.sponsorName = "Neu";
    server.updateConfig(c);
    LoopbackClient again(server.port());
    again.send("GET / HTTP/1.1\r\n\r\n");
    std::string answer;
    ASSERT_TRUE(pump([&] {
        answer += again.readAll(20ms);
        return answer.find("</html>") != std::string::npos;
    }));
    EXPECT_NE(answer.find(">Sponsored by Neu<"), std::string::npos);

    server.stop();
    EXPECT_FALSE(server.isRunning());
    setLogSink(nullptr);
    EXPECT_NE(std::find(log.begin(), log.end(), "[OverlayServer] Starting on port 0"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "[OverlayServer] Stopped"), log.end());
}

TEST(OverlayServer, HandshakeInitialStateAndTheLiveDataGate) {
    OverlayServer server;
    int changes = 0;
    server.setOnChange([&] { ++changes; });
    ASSERT_TRUE(server.start(testConfig()));
    OverlayEvent initial;
    initial.type = OverlayEventType::initialState;
    initial.title = "Erster Song";
    initial.guestCount = 42;
    server.setInitialState(initial);

    LoopbackClient page(server.port());
    EXPECT_EQ(page.upgrade(), upgradeResponse("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
    ASSERT_TRUE(pump([&] { return server.connectedClients() == 1; }));
    auto first = page.readFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(server.connectionIds().size(), 1u);
    EXPECT_GE(changes, 2);
    EXPECT_EQ(first->first, 0x81);
    EXPECT_FALSE(first->masked);
    EXPECT_EQ(frameJson(*first)["type"], "initialState");
    EXPECT_EQ(frameJson(*first)["guestCount"], 42);

    // Live data off: only config, initialState and forced events go out.
    server.setLiveDataEnabled(false);
    EXPECT_FALSE(server.send(OverlayEvent::nowPlaying("Nope", "Nope")));
    EXPECT_TRUE(server.send(OverlayEvent::configChanged(server.overlayConfig())));
    EXPECT_TRUE(server.send(OverlayEventType::broadcast, json{{"content", "forced"}}, true));
    auto f = page.readFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(frameJson(*f)["type"], "config");
    EXPECT_EQ(OverlayConfig::fromJson(frameJson(*f)["config"]), server.overlayConfig());
    f = page.readFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(frameJson(*f)["content"], "forced");

    // Live data on: everything goes out, in every length form.
    server.setLiveDataEnabled(true);
    std::string mid(300, 'm'), big(70000, 'b');
    EXPECT_TRUE(server.send(OverlayEvent::nowPlaying("Jetzt", "Band", 3, 1)));
    EXPECT_TRUE(server.send(OverlayEvent::broadcast(mid)));
    EXPECT_TRUE(server.send(OverlayEvent::broadcast(big)));
    f = page.readFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->payload, R"({"type":"nowPlaying","title":"Jetzt","artist":"Band","upVotes":3,"downVotes":1})");
    EXPECT_EQ(f->headerLength, 2u);
    f = page.readFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->headerLength, 4u);
    EXPECT_EQ(frameJson(*f)["content"], mid);
    f = page.readFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->headerLength, 10u);
    EXPECT_EQ(frameJson(*f)["content"], big);

    EXPECT_THROW(server.send(OverlayEventType::guestCount, json{{"guestCount", "viele"}}), DecodeError);
    EXPECT_THROW(server.send(OverlayEventType::guestCount, json::array()), DecodeError);
    // Nothing more arrived than was sent.
    EXPECT_FALSE(page.readFrame(300ms));
}

TEST(OverlayServer, AnswersPingsAndClosesAndEndsBrokenPeers) {
    OverlayServer server;
    ASSERT_TRUE(server.start(testConfig()));
    auto page = openPage(server);

    // Text from the page is read and ignored; a ping gets its pong.
    page->send(LoopbackClient::clientFrame(0x81, "{\"hello\":1}"));
    page->send(LoopbackClient::clientFrame(0x89, "p1"));
    auto pong = page->readFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->first, 0x8A);
    EXPECT_EQ(pong->payload, "p1");

    // A close is echoed and the connection ends.
    page->send(LoopbackClient::clientFrame(0x88, std::string("\x03\xe9", 2)));
    auto close = page->readFrame();
    ASSERT_TRUE(close);
    EXPECT_EQ(close->first, 0x88);
    EXPECT_EQ(close->payload, std::string("\x03\xe9", 2));
    bool eof = false;
    page->readAll(3000ms, &eof);
    EXPECT_TRUE(eof);
    EXPECT_TRUE(pump([&] { return server.connectedClients() == 0; }));

    // An unmasked frame is a protocol error: 1002, then the end.
    auto rude = openPage(server);
    rude->send(LoopbackClient::clientFrame(0x81, "unmasked", false));
    close = rude->readFrame();
    ASSERT_TRUE(close);
    EXPECT_EQ(close->first, 0x88);
    EXPECT_EQ(close->payload.substr(0, 2), std::string("\x03\xea", 2));
    rude->readAll(3000ms, &eof);
    EXPECT_TRUE(eof);

    // A message larger than a page could mean: 1009.
    auto big = openPage(server);
    big->send(LoopbackClient::clientFrame(0x82, std::string(100000, 'x')).substr(0, 20));
    close = big->readFrame();
    ASSERT_TRUE(close);
    EXPECT_EQ(close->payload.substr(0, 2), std::string("\x03\xf1", 2));
    EXPECT_TRUE(pump([&] { return server.connectedClients() == 0; }));
}

TEST(OverlayServer, BadRequestsAndVanishingPeersLeaveTheOthersServed) {
    OverlayServer::Limits limits;
    limits.headTimeoutMs = 400;
    OverlayServer server(limits);
    ASSERT_TRUE(server.start(testConfig()));
    server.setLiveDataEnabled(true);
    auto healthy = openPage(server);

    auto unanswered = [&](const std::string& bytes, const char* what) {
        SCOPED_TRACE(what);
        LoopbackClient c(server.port());
        ASSERT_TRUE(c.connected());
        c.send(bytes);
        bool eof = false;
        std::string got = c.readAll(3000ms, &eof);
        EXPECT_EQ(got, "");
        EXPECT_TRUE(eof) << "the server hangs up";
    };
    unanswered("POST /overlay HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", "POST");
    unanswered("PUT / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
               "upgrade by PUT");
    unanswered("GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", "handshake without a key");
    unanswered(std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03\r\n\r\n", 15), "TLS hello");
    unanswered(std::string(9000, 'G'), "endless request line");
    unanswered("GET / HTTP/1.1\r\nHost: x\r\n", "head that never ends (timeout)");
    {
        // Peers that vanish: mid-head, mid-frame, with a reset.
        LoopbackClient half(server.port());
        half.send("GET / HTTP/1.1\r\nUpgr");
        half.abort();
        auto midFrame = upgraded(server);
        midFrame->send(LoopbackClient::clientFrame(0x81, std::string(500, 'x')).substr(0, 100));
        midFrame->abort();
        auto garbage = upgraded(server);
        garbage->send(std::string("\xff\xfe\xfd\xfc\x00\x01\x02", 7));
        garbage->readAll(2000ms);
    }
    EXPECT_TRUE(pump([&] { return server.connectedClients() == 1; }));

    // The healthy page still gets every event, and the server still serves the page.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(server.send(OverlayEvent::guestCountChanged(i)));
    for (int i = 0; i < 3; ++i) {
        auto f = healthy->readFrame();
        ASSERT_TRUE(f);
        EXPECT_EQ(frameJson(*f)["guestCount"], i);
    }
    LoopbackClient page(server.port());
    page.send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(page.readHead().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST(OverlayServer, AStuckClientIsDroppedWithoutHoldingUpTheOthers) {
    OverlayServer::Limits limits;
    limits.maxQueuedBytes = 512 * 1024;
    OverlayServer server(limits);
    ASSERT_TRUE(server.start(testConfig()));
    server.setLiveDataEnabled(true);
    auto stuck = openPage(server, 4096);  // never reads
    auto reader = openPage(server);
    ASSERT_EQ(server.connectedClients(), 2);

    std::atomic<int> received{0};
    std::atomic<bool> stop{false};
    std::thread t([&] {
        while (!stop) {
            auto f = reader->readFrame(200ms);
            if (f && f->first == 0x81) ++received;
        }
    });
    // 500 events of 64 KiB: far more than the kernel buffers for the stuck client plus its limit.
    const std::string chunk(64 * 1024, 'z');
    const int events = 500;
    bool inStep = true;
    for (int i = 0; i < events && inStep; ++i) {
        server.send(OverlayEvent::broadcast(chunk));
        inStep = pump([&] { return received.load() == i + 1; }, 10000ms);
    }
    EXPECT_TRUE(inStep) << "the reading client fell behind at event " << received.load();
    EXPECT_EQ(received.load(), events);
    EXPECT_TRUE(pump([&] { return server.connectedClients() == 1; }));
    stop = true;
    t.join();
}

TEST(OverlayServer, StopEndsClientsAndTheListenerCanComeBackOnItsPort) {
    OverlayServer server;
    ASSERT_TRUE(server.start(testConfig()));
    const uint16_t port = server.port();
    auto page = openPage(server);
    server.stop();
    EXPECT_FALSE(server.isRunning());
    EXPECT_EQ(server.connectedClients(), 0);
    bool eof = false;
    page->readAll(3000ms, &eof);
    EXPECT_TRUE(eof);
    EXPECT_FALSE(LoopbackClient(port).connected());
    // Sending while stopped is harmless.
    server.setLiveDataEnabled(true);
    EXPECT_TRUE(server.send(OverlayEvent::broadcast("nobody listens")));

    OverlayConfig again = testConfig();
    again.port = port;
    ASSERT_TRUE(server.start(again)) << server.lastError();
    EXPECT_EQ(server.port(), port);
    openPage(server);

    // A second server cannot take the same port; it says why and stays stopped.
    OverlayServer other;
    EXPECT_FALSE(other.start(again));
    EXPECT_FALSE(other.isRunning());
    EXPECT_FALSE(other.lastError().empty());
    // A late report of a client of the first run does not count in the second.
    server.stop();
    ASSERT_TRUE(server.start(again));
    EXPECT_EQ(server.connectedClients(), 0);
    pump([] { return false; }, 200ms);
    EXPECT_EQ(server.connectedClients(), 0);
}
