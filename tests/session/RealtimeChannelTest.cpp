// The realtime channel against the real socket.io 4 server of the test service.
#include <csignal>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/MainLoop.hpp"
#include "session/ApiTestService.hpp"
#include "session/WebSocketManager.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::TestService;
using Kind = ConnectionState::Kind;
using Clock = std::chrono::steady_clock;

namespace {

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
    return MainLoop::shared().runUntil(pred, limit);
}
void spin(std::chrono::milliseconds d) {
    MainLoop::shared().runUntil([] { return false; }, d);
}

// Short Engine.IO timings so that several ping rounds fit in a test.
std::vector<std::string> quickPings() { return {"--ping-interval", "300", "--ping-timeout", "300"}; }

json request(int64_t id, const std::string& title) {
    return {{"id", id}, {"title", title}, {"artist", "A"}, {"status", "pending"}, {"created_at", "2026-01-01T20:00:00Z"}};
}

struct Recorder {
    std::vector<std::string> seen;
    std::vector<MusicRequest> requests;
    std::vector<GuestMessage> messages;
    std::vector<int64_t> counts;
    std::vector<std::pair<Clock::time_point, ConnectionState>> states;

    void attach(WebSocketManager& ws) {
        ws.onRequestsUpdated = [this](std::vector<MusicRequest> r) {
            seen.push_back("requests-updated");
            requests = std::move(r);
        };
        ws.onNewRequest = [this](std::vector<MusicRequest> r) {
            seen.push_back("new-request");
            requests.insert(requests.end(), r.begin(), r.end());
        };
        ws.onNewMessage = [this](std::vector<GuestMessage> m) {
            seen.push_back("new-message");
            messages = std::move(m);
        };
        ws.onGuestCountChanged = [this](int64_t c) {
            seen.push_back("guest-count");
            counts.push_back(c);
        };
        ws.onNowPlayingChanged = [this](NowPlayingInfo i) { seen.push_back("now-playing:" + i.trackTitle); };
        ws.onPreferencesUpdated = [this](json o) { seen.push_back("preferences-updated:" + o.dump()); };
        ws.onContestUpdated = [this](json o) { seen.push_back("contest-updated:" + o.dump()); };
        ws.onContestWinner = [this](json o) { seen.push_back("contest-winner:" + o.dump()); };
        ws.onContestEntry = [this](json o) { seen.push_back("contest-entry:" + o.dump()); };
        ws.onAdShow = [this](json o) { seen.push_back("ad-show:" + o.dump()); };
        ws.onAdHide = [this] { seen.push_back("ad-hide"); };
        ws.onStateChanged = [this](const ConnectionState&, const ConnectionState& now) {
            states.emplace_back(Clock::now(), now);
        };
    }
};

class RealtimeChannel : public ::testing::Test {
protected:
    void connectTo(const TestService& s) {
        ws.connect(s.url(), "ev1");
        ASSERT_TRUE(waitFor([&] { return ws.state().kind == Kind::connected && joins(s) >= 1; }))
            << "state " << int(ws.state().kind) << " " << ws.state().message;
    }
    static size_t joins(const TestService& s) { return s.admin("GET", "/__admin/sockets")["joins"].size(); }

    WebSocketManager ws;
    Recorder rec;
    void SetUp() override { rec.attach(ws); }
};

}  // namespace

TEST_F(RealtimeChannel, JoinsTheEventAndDispatchesEveryEventType) {
    TestService s(TestService::serviceArgs("rt", 0, quickPings()));
    connectTo(s);
    auto info = s.admin("GET", "/__admin/sockets");
    EXPECT_EQ(info["joins"][0]["eventId"], "ev1");

    auto emit = [&](const std::string& event, std::optional<json> payload) {
        json o{{"eventId", "ev1"}, {"event", event}};
        if (payload) o["payload"] = *payload;
        s.admin("POST", "/__admin/emit", o);
    };
    emit("requests-updated", json{{"requests", json::array({request(1, "Eins"), request(2, "Zwei")})}});
    emit("new-request", json{{"requests", json::array({request(3, "Drei")})}});
    emit("new-message", json{{"messages", json::array({{{"id", 9}, {"content", "Hi"}, {"created_at", "x"}}})}});
    emit("guest-count", json(17));
    emit("guest-count", json("18"));  // a string is not a count: dropped
    emit("now-playing", json{{"track_title", "Jetzt"}, {"track_artist", "Band"}, {"updated_at", "2026-01-01T20:00:00Z"}});
    emit("preferences-updated", json{{"showNowPlaying", false}});
    emit("contest-updated", json{{"id", "c1"}});
    emit("contest-winner", json{{"id", "c1"}, {"winner", "Mia"}});
    emit("contest-entry", json{{"id", "c1"}});
    emit("ad-show", json{{"html", "<b>x</b>"}});
    emit("ad-hide", std::nullopt);
    emit("something-else", json{{"x", 1}});
    emit("requests-updated", json{{"requests", json::array({{{"id", 4}, {"status", "later"}}})}});  // unknown status
    emit("guest-count", json(19));  // the last one, so everything before it has arrived

    ASSERT_TRUE(waitFor([&] { return rec.counts.size() == 2; }));
    EXPECT_THAT(rec.seen, ::testing::ElementsAre(
                              "requests-updated", "new-request", "new-message", "guest-count", "now-playing:Jetzt",
                              "preferences-updated:{\"showNowPlaying\":false}", "contest-updated:{\"id\":\"c1\"}",
                              "contest-winner:{\"id\":\"c1\",\"winner\":\"Mia\"}", "contest-entry:{\"id\":\"c1\"}",
                              "ad-show:{\"html\":\"<b>x</b>\"}", "ad-hide", "guest-count"));
    EXPECT_THAT(rec.counts, ::testing::ElementsAre(17, 19));
    ASSERT_EQ(rec.requests.size(), 3u);
    EXPECT_EQ(rec.requests[2].title, "Drei");
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0].content, "Hi");
    EXPECT_EQ(ws.state().kind, Kind::connected);
    EXPECT_EQ(ws.pingInterval(), 300ms);
}

TEST_F(RealtimeChannel, StaysConnectedAcrossManyServerPingIntervals) {
    TestService s(TestService::serviceArgs("rt", 0, quickPings()));
    connectTo(s);
    spin(2500ms);  // about four ping rounds of 300 ms + 300 ms
    EXPECT_EQ(ws.state().kind, Kind::connected);
    auto info = s.admin("GET", "/__admin/sockets");
    EXPECT_EQ(info["connected"], 1);
    EXPECT_EQ(info["joins"].size(), 1u) << "the channel reconnected in between";
    EXPECT_TRUE(info["closes"].empty()) << info["closes"].dump();
    EXPECT_EQ(ws.reconnectAttempts(), 0);
}

TEST_F(RealtimeChannel, ReconnectsWithBackoffWhileTheServiceIsDown) {
    auto s = std::make_unique<TestService>(TestService::serviceArgs("rt", 0, quickPings()));
    int port = s->port();
    connectTo(*s);

    // A cut transport: back after about one second.
    s->admin("POST", "/__admin/drop-sockets");
    ASSERT_TRUE(waitFor([&] { return ws.state().kind == Kind::error; }));
    ASSERT_TRUE(waitFor([&] { return ws.state().kind == Kind::connected && joins(*s) == 2; }));
    EXPECT_EQ(ws.reconnectAttempts(), 0);

    // The service killed: attempts every 1, 2, 4 s, then it comes back on the same port.
    rec.states.clear();
    s->kill();
    ASSERT_TRUE(waitFor([&] { return ws.state().kind == Kind::error; }));
    ASSERT_TRUE(waitFor([&] { return ws.reconnectAttempts() >= 4; }, 12s));
    s = std::make_unique<TestService>(TestService::serviceArgs("rt", port, quickPings()));
    ASSERT_TRUE(waitFor([&] { return ws.state().kind == Kind::connected; }, 15s));
    EXPECT_GE(joins(*s), 1u);
    EXPECT_EQ(ws.reconnectAttempts(), 0);

    std::vector<Clock::time_point> errors, attempts;
    for (auto& [t, st] : rec.states) {
        if (st.kind == Kind::error) errors.push_back(t);
        if (st.kind == Kind::connecting && !errors.empty()) attempts.push_back(t);
    }
    ASSERT_GE(attempts.size(), 3u);
    auto secondsAfterError = [&](size_t i) {
        auto lastError = std::find_if(errors.rbegin(), errors.rend(), [&](auto t) { return t < attempts[i]; });
        return std::chrono::duration<double>(attempts[i] - *lastError).count();
    };
    EXPECT_NEAR(secondsAfterError(0), 1.0, 0.5);
    EXPECT_NEAR(secondsAfterError(1), 2.0, 0.6);
    EXPECT_NEAR(secondsAfterError(2), 4.0, 0.8);
}

TEST_F(RealtimeChannel, SilentServerIsCaughtByTheWatchdog) {
    TestService s(TestService::serviceArgs("rt", 0, quickPings()));
    connectTo(s);
    // A frozen server process sends nothing: neither pings nor a close.
    ::kill(s.pid(), SIGSTOP);
    bool caught = waitFor([&] { return ws.state().kind == Kind::error; }, 3s);
    ::kill(s.pid(), SIGCONT);
    ASSERT_TRUE(caught);
    EXPECT_EQ(ws.state().message, "ping timeout");
    EXPECT_TRUE(waitFor([&] { return ws.state().kind == Kind::connected; }, 10s));
}

TEST_F(RealtimeChannel, ServerDisconnectLeavesTheChannelDown) {
    TestService s(TestService::serviceArgs("rt", 0, quickPings()));
    connectTo(s);
    s.admin("POST", "/__admin/disconnect-sockets");
    ASSERT_TRUE(waitFor([&] { return ws.state().kind == Kind::disconnected; }));
    spin(2500ms);
    EXPECT_EQ(ws.state().kind, Kind::disconnected);
    EXPECT_EQ(joins(s), 1u);
    // A new connect brings it back.
    connectTo(s);
}

TEST_F(RealtimeChannel, UnusableUrlsAndUnreachableServers) {
    ws.connect("ftp://example.invalid", "ev1");
    EXPECT_EQ(ws.state(), ConnectionState::error("Invalid WebSocket URL"));
    spin(1500ms);
    EXPECT_EQ(ws.reconnectAttempts(), 0) << "an invalid URL is not retried";

    ws.connect("http://127.0.0.1:1", "ev1");
    ASSERT_TRUE(waitFor([&] { return ws.state().kind == Kind::error; }));
    EXPECT_THAT(ws.state().message, ::testing::HasSubstr("Could not connect"));
    EXPECT_EQ(ws.reconnectAttempts(), 1);
    ws.disconnect();
    spin(1500ms);
    EXPECT_EQ(ws.state().kind, Kind::disconnected) << "no reconnect after disconnect";
}
