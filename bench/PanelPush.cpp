// Request updates from the service reaching 5 open tabs of the control panel: the live session
// (AppStore on its realtime channel, the panel on the main loop) against the real socket.io test
// service. The same push also goes to a raw socket.io client in the room, the baseline: what the
// panel adds on top of the service's own delivery shows as the ratio of the two.
//
// The clock starts when the bench asks the service to push (one request arriving); a reader thread
// per connection stamps the frame that carries the request's id.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "overlay/OverlayTestClient.hpp"
#include "panel/PanelManager.hpp"
#include "session/APIClient.hpp"
#include "session/ApiTestService.hpp"
#include "session/AppStore.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"

using namespace fv;
using Clock = std::chrono::steady_clock;
using nlohmann::json;
using fv::test::LoopbackClient;

namespace {

constexpr int tabs = 5;
constexpr int updates = 1000;
constexpr int warmup = 50;
constexpr int64_t firstId = 100000;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// One connection read on its own thread; stamps the first frame that carries each request id.
class Reader {
public:
    enum class Kind { panelTab, socketIo };
    Reader(std::unique_ptr<LoopbackClient> c, Kind kind, int count)
        : client_(std::move(c)), kind_(kind), arrivals_(static_cast<size_t>(count)) {}
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        stop_ = true;
        ::shutdown(client_->fd(), SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
    }
    int64_t arrival(int index) const { return arrivals_[static_cast<size_t>(index)].load(std::memory_order_acquire); }
    LoopbackClient& client() { return *client_; }

private:
    void stamp(const json& list, int64_t at) {
        if (!list.is_array()) return;
        for (const auto& r : list) {
            if (!r.is_object() || !r.contains("id") || !r["id"].is_number_integer()) continue;
            const int64_t i = r["id"].get<int64_t>() - firstId;
            if (i < 0 || i >= static_cast<int64_t>(arrivals_.size())) continue;
            int64_t none = 0;
            arrivals_[static_cast<size_t>(i)].compare_exchange_strong(none, at, std::memory_order_acq_rel);
        }
    }
    void run() {
        while (!stop_) {
            auto f = client_->readFrame(std::chrono::milliseconds(500));
            if (!f) continue;
            const int64_t at = nowNs();
            if ((f->first & 0x0F) != 0x1) continue;
            const std::string& p = f->payload;
            if (kind_ == Kind::socketIo) {
                // Engine.IO: the server's ping wants a pong; "42[...]" is an event.
                if (p == "2") {
                    client_->send(LoopbackClient::clientFrame(0x81, "3"));
                    continue;
                }
                if (p.rfind("42", 0) != 0) continue;
                json e = json::parse(p.substr(2), nullptr, false);
                if (e.is_array() && e.size() >= 2 && e[0] == "new-request" && e[1].is_object())
                    stamp(e[1].value("requests", json::array()), at);
            } else {
                json m = json::parse(p, nullptr, false);
                if (m.is_object() && m.value("t", "") == "state" && m.contains("requests"))
                    stamp(m["requests"].value("upsert", json::array()), at);
            }
        }
    }

    std::unique_ptr<LoopbackClient> client_;
    Kind kind_;
    std::vector<std::atomic<int64_t>> arrivals_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Stats {
    double p50, p99;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

// The session's login: the token the test service was given.
struct Tokens : AccessTokenHolder {
    std::optional<std::string> token = "good-token";
    std::optional<std::string> accessToken() const override { return token; }
    void setAccessToken(std::string t) override { token = std::move(t); }
};

json requestNumber(int64_t id) {
    return {{"id", id},          {"title", "Titel " + std::to_string(id)}, {"artist", "Künstler"},
            {"status", "pending"}, {"vote_count", 1},                        {"track_id", id},
            {"guest_name", "Gast"}, {"created_at", "2026-12-06T21:15:07.123Z"}};
}

int run();

// A home of its own, so the bench neither reads nor changes the user's settings and keychain.
std::filesystem::path privateHome() {
    std::string t = (std::filesystem::temp_directory_path() / "floorvote-bench-XXXXXX").string();
    if (!::mkdtemp(t.data())) return {};
    const std::filesystem::path home(t);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    setenv("XDG_STATE_HOME", (home / ".local/state").c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    return home;
}

}  // namespace

int main() {
    const std::filesystem::path home = privateHome();
    if (home.empty()) {
        std::fprintf(stderr, "no temporary home\n");
        return 1;
    }
    const int code = run();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return code;
}

namespace {
int run() {
    setLogToStdout(false);
    fv::test::TestService service(fv::test::TestService::serviceArgs("production"));
    service.account({{"email", "dj@example.invalid"}, {"accessToken", "good-token"}});
    service.event({{"id", "ev1"}, {"dj_pin", "1234"}, {"event_name", "Bench"}, {"ownerEmail", "dj@example.invalid"}});
    setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);
    AppSettings::modify([](AppSettings& s) {
        s.activeEventId = "ev1";
        s.djPin = "1234";
    });

    Tokens tokens;
    KeychainService keychain;
    HttpClient http;
    APIClient api{tokens, keychain, http};
    DJSoftwareManager dj;
    AppStore store(api, nullptr, dj);
    panel::PanelManager panel(store);
    if (!panel.start(0)) {
        std::fprintf(stderr, "panel did not start: %s\n", panel.lastError().c_str());
        return 1;
    }
    auto& loop = MainLoop::shared();
    fv::test::runOnMain(store.connectToEvent());
    if (store.connectionError() ||
        !loop.runUntil([&] { return !service.admin("GET", "/__admin/sockets")["joins"].empty(); }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the session did not connect\n");
        return 1;
    }

    // The tabs, as a browser opens them: the cookie and the panel's own Origin.
    const uint16_t port = panel.server().port();
    const int count = warmup + updates;
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < tabs; ++i) {
        auto c = std::make_unique<LoopbackClient>(port);
        const std::string p = std::to_string(port);
        c->send("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + p +
                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                "Sec-WebSocket-Version: 13\r\nOrigin: http://127.0.0.1:" + p + "\r\nCookie: fv_panel_" + p + "=" +
                panel.server().token() + "\r\n\r\n");
        // The answer comes once the main loop turns.
        std::string head;
        loop.runUntil([&] { return false; }, std::chrono::milliseconds(50));
        head = c->readHead();
        if (head.find(" 101 ") == std::string::npos) {
            std::fprintf(stderr, "panel tab refused: %s\n", head.c_str());
            return 1;
        }
        readers.push_back(std::make_unique<Reader>(std::move(c), Reader::Kind::panelTab, count));
    }
    // The baseline: a raw socket.io client joined to the same room.
    {
        auto c = std::make_unique<LoopbackClient>(static_cast<uint16_t>(service.port()));
        std::string head = c->upgrade("dGhlIHNhbXBsZSBub25jZQ==", "/ws/?EIO=4&transport=websocket");
        auto open = c->readFrame();
        c->send(LoopbackClient::clientFrame(0x81, "40"));
        auto connected = c->readFrame();
        c->send(LoopbackClient::clientFrame(0x81, R"(42["join-dj",{"eventId":"ev1"}])"));
        if (head.find(" 101 ") == std::string::npos || !open || !connected ||
            !loop.runUntil([&] { return service.admin("GET", "/__admin/sockets")["joins"].size() >= 2; },
                           std::chrono::seconds(10))) {
            std::fprintf(stderr, "raw socket.io client did not join\n");
            return 1;
        }
        readers.push_back(std::make_unique<Reader>(std::move(c), Reader::Kind::socketIo, count));
    }
    for (auto& r : readers) r->start();

    // The service is asked from another thread; the main loop keeps turning for the session.
    std::vector<int64_t> sent(static_cast<size_t>(count), 0);
    std::atomic<bool> done{false};
    int lost = 0;
    std::thread driver([&] {
        for (int i = 0; i < count; ++i) {
            sent[static_cast<size_t>(i)] = nowNs();
            service.admin("POST", "/__admin/add-request", {{"eventId", "ev1"}, {"request", requestNumber(firstId + i)}});
            const auto until = Clock::now() + std::chrono::seconds(5);
            auto all = [&] {
                return std::all_of(readers.begin(), readers.end(), [&](const auto& r) { return r->arrival(i) != 0; });
            };
            while (!all() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::microseconds(50));
            if (!all()) ++lost;
        }
        done = true;
    });
    const auto started = Clock::now();
    loop.runUntil([&] { return done.load(); }, std::chrono::minutes(10));
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    driver.join();
    for (auto& r : readers) r->stop();

    std::vector<double> toTab, toRaw, extra;
    for (int i = warmup; i < count; ++i) {
        const int64_t raw = readers.back()->arrival(i);
        if (!raw) continue;
        toRaw.push_back((raw - sent[static_cast<size_t>(i)]) / 1e6);
        for (int t = 0; t < tabs; ++t) {
            const int64_t at = readers[static_cast<size_t>(t)]->arrival(i);
            if (!at) continue;
            toTab.push_back((at - sent[static_cast<size_t>(i)]) / 1e6);
            extra.push_back((at - raw) / 1e6);
        }
    }
    if (toTab.empty() || toRaw.empty()) {
        std::fprintf(stderr, "nothing arrived\n");
        return 1;
    }
    const Stats tab = stats(toTab), raw = stats(toRaw), over = stats(extra);
    std::printf("bench_PanelPush: %d request updates from the socket.io service, %d panel tabs, %.1f s\n", updates, tabs,
                seconds);
    std::printf("  raw socket.io client (baseline): p50 %.3f ms  p99 %.3f ms\n", raw.p50, raw.p99);
    std::printf("  panel tab (through floorvote):   p50 %.3f ms  p99 %.3f ms  (%zu receipts)\n", tab.p50, tab.p99,
                toTab.size());
    std::printf("  panel tab / raw client:          p50 x%.2f  p99 x%.2f\n", tab.p50 / raw.p50, tab.p99 / raw.p99);
    std::printf("  added by floorvote and the panel: p50 %.3f ms  p99 %.3f ms\n", over.p50, over.p99);
    std::printf("  updates missing at a tab or the client after 5 s: %d\n", lost);
    panel.stop();
    store.shutdown();
    loop.runUntil([] { return false; }, std::chrono::milliseconds(100));
    unsetenv("FLOORVOTE_PRODUCTION_URL");
    return lost == 0 ? 0 : 1;
}
}  // namespace
