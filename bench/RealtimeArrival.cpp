// From a frame arriving on the realtime socket to the request store holding its requests, against
// the real socket.io test service on loopback; next to it, untyped parsing of the same frame text.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/MainLoop.hpp"
#include "session/ApiTestService.hpp"
#include "session/RealtimeProtocol.hpp"
#include "session/RequestStore.hpp"
#include "session/WebSocketManager.hpp"

using namespace fv;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

json requests(int n, int firstId) {
    json list = json::array();
    const char* statuses[] = {"pending", "confirmed", "declined", "played"};
    for (int i = 0; i < n; ++i)
        list.push_back({{"id", firstId + i},
                        {"track_id", 5000 + i},
                        {"title", "Titel Nummer " + std::to_string(i)},
                        {"artist", "Künstler " + std::to_string(i % 300)},
                        {"bpm", 120.0},
                        {"vote_count", i % 17},
                        {"status", statuses[i % 4]},
                        {"created_at", "2026-12-06T21:15:07.123Z"},
                        {"guest_name", "Gast"}});
    return json{{"requests", list}};
}

struct Stats {
    double p50, p99;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

}  // namespace

int main() {
    fv::test::TestService service;
    WebSocketManager ws;
    RequestStore store;
    Clock::time_point arrived, stored;
    std::vector<double> decodeMs, totalMs;
    bool got = false;
    ws.onFrameArrived = [&] { arrived = Clock::now(); };
    ws.onRequestsUpdated = [&](std::vector<MusicRequest> r) {
        store.setRequests(std::move(r));
        stored = Clock::now();
        got = true;
    };
    ws.onNewRequest = [&](std::vector<MusicRequest> r) {
        store.add(r);
        stored = Clock::now();
        got = true;
    };
    ws.connect(service.url(), "ev1");
    auto& loop = MainLoop::shared();
    if (!loop.runUntil([&] { return ws.state().kind == ConnectionState::Kind::connected; }, std::chrono::seconds(10)) ||
        !loop.runUntil([&] { return !service.admin("GET", "/__admin/sockets")["joins"].empty(); }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "realtime channel did not connect\n");
        return 1;
    }

    auto measure = [&](const char* event, const json& payload, int rounds) {
        decodeMs.clear();
        totalMs.clear();
        json body{{"eventId", "ev1"}, {"event", event}, {"payload", payload}};
        for (int i = 0; i < rounds; ++i) {
            got = false;
            auto sent = Clock::now();
            service.admin("POST", "/__admin/emit", body);
            loop.runUntil([&] { return got; }, std::chrono::seconds(10));
            decodeMs.push_back(std::chrono::duration<double, std::milli>(stored - arrived).count());
            totalMs.push_back(std::chrono::duration<double, std::milli>(stored - sent).count());
        }
    };

    json big = requests(5000, 1);
    std::string frame = "42" + json::array({"requests-updated", big}).dump();
    measure("requests-updated", big, 20);
    Stats bigArrive = stats(decodeMs), bigTotal = stats(totalMs);
    std::vector<double> parseMs;
    for (int i = 0; i < 20; ++i) {
        auto t0 = Clock::now();
        auto j = json::parse(frame.substr(2));
        parseMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (j.size() != 2) return 1;
    }
    Stats bigParse = stats(parseMs);

    json one = requests(1, 900000);
    measure("new-request", one, 200);
    Stats oneArrive = stats(decodeMs), oneTotal = stats(totalMs);

    std::printf("realtime arrivals over loopback (socket.io 4 test service)\n");
    std::printf("  requests-updated, 5000 requests (%zu bytes), 20 runs:\n", frame.size());
    std::printf("    frame read -> store holds them:   p50 %8.2f ms   p99 %8.2f ms\n", bigArrive.p50, bigArrive.p99);
    std::printf("    untyped parse of the same frame:  p50 %8.2f ms   (ratio %.2f x)\n", bigParse.p50,
                bigArrive.p50 / bigParse.p50);
    std::printf("    service emit -> store (total):    p50 %8.2f ms   p99 %8.2f ms\n", bigTotal.p50, bigTotal.p99);
    std::printf("  new-request, 1 request, 200 runs:\n");
    std::printf("    frame read -> store holds it:     p50 %8.3f ms   p99 %8.3f ms\n", oneArrive.p50, oneArrive.p99);
    std::printf("    service emit -> store (total):    p50 %8.3f ms   p99 %8.3f ms\n", oneTotal.p50, oneTotal.p99);
    std::printf("  store size at the end: %zu\n", store.requests().size());
    ws.disconnect();
    return 0;
}
