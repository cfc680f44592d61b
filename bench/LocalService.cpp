// 200 guests on the local event service, each sending a request and voting for another guest's,
// with the DJ's live session connected (the same AppStore `floorvote run` holds, in this process)
// and, as the baseline, with no DJ connected. Prints guests, requests per second accepted (stored
// and acknowledged), and the time from a guest's send to the service's acknowledgement and to the
// DJ's store holding the request (p50, p99). The service keeps its state file on disk, as in use.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/MainLoop.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "platform/Notifier.hpp"
#include "service/GuestDriver.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"
#include "session/AppStore.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"
#include "session/ApiTestService.hpp"

using namespace fv;
using nlohmann::json;

namespace {

constexpr int kGuests = 200;
constexpr int kRounds = 3;

double epochMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Stats {
    double p50 = 0, p99 = 0;
};
Stats stats(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

struct Tokens : AccessTokenHolder {
    std::optional<std::string> token = "bench-token";
    std::optional<std::string> accessToken() const override { return token; }
    void setAccessToken(std::string t) override { token = std::move(t); }
};

struct Quiet : Notifier {
    void notify(const std::string&, const std::string&, bool) override {}
};

struct Round {
    int acked = 0, voted = 0, failed = 0;
    double firstSend = 0, lastAck = 0;
    std::vector<double> ackMs, voteAckMs, djMs, djVoteMs;
};

// One burst: the guest driver's lines are read on a thread of their own so that the main loop,
// where the DJ's store lives, keeps running at full speed meanwhile.
Round burst(test::GuestDriver& guests, const test::TestService& service, const std::string& eventId, AppStore* dj) {
    std::map<int64_t, double> djSeen, djVoteSeen;
    if (dj) {
        auto inner = dj->webSocket.onNewRequest;
        dj->webSocket.onNewRequest = [&, inner](std::vector<MusicRequest> r) {
            inner(r);
            const double now = epochMs();
            for (const auto& x : r) {
                djSeen.emplace(x.id, now);
                if (x.voteCount >= 2) djVoteSeen.emplace(x.id, now);
            }
        };
    }
    // The previous burst's guests are still leaving; start from a quiet service.
    MainLoop::shared().runUntil([] { return false; }, std::chrono::seconds(1));
    std::mutex mu;
    std::vector<json> lines;
    bool done = false;
    const int seq = guests.startBurst(service.url(), eventId, kGuests, eventId, true);
    std::thread reader([&] {
        for (;;) {
            json line = guests.next(seq, std::chrono::seconds(60));
            std::lock_guard lock(mu);
            if (!line.is_object() || line.contains("done")) {
                if (line.is_object()) lines.push_back(line);
                done = true;
                return;
            }
            lines.push_back(line);
        }
    });
    MainLoop::shared().runUntil([&] {
        std::lock_guard lock(mu);
        return done;
    }, std::chrono::seconds(120));
    reader.join();
    // Pushes still on their way to the DJ.
    if (dj) MainLoop::shared().runUntil([&] { return djSeen.size() >= size_t(kGuests) && djVoteSeen.size() >= size_t(kGuests); },
                                         std::chrono::seconds(10));

    Round r;
    std::map<int64_t, double> sentAt, voteSentAt;
    for (const auto& l : lines) {
        if (l.contains("done")) {
            r.failed = l.value("failed", 0);
        } else if (l.contains("acked")) {
            const int64_t id = l["acked"];
            const double sent = l["sentAt"], ack = l["ackAt"];
            r.acked++;
            r.ackMs.push_back(ack - sent);
            sentAt[id] = sent;
            if (r.firstSend == 0 || sent < r.firstSend) r.firstSend = sent;
            r.lastAck = std::max(r.lastAck, ack);
        } else if (l.contains("voted")) {
            const int64_t id = l["voted"];
            r.voted++;
            r.voteAckMs.push_back(l["ackAt"].get<double>() - l["sentAt"].get<double>());
            voteSentAt[id] = l["sentAt"];
        }
    }
    for (const auto& [id, t] : djSeen)
        if (sentAt.count(id)) r.djMs.push_back(t - sentAt[id]);
    for (const auto& [id, t] : djVoteSeen)
        if (voteSentAt.count(id)) r.djVoteMs.push_back(t - voteSentAt[id]);
    return r;
}

}  // namespace

// A home of its own for the settings and the service's state file, removed at the end.
struct BenchHome {
    std::filesystem::path path;
    BenchHome() {
        char tmpl[] = "/tmp/floorvote-bench-XXXXXX";
        path = mkdtemp(tmpl);
        setenv("HOME", path.c_str(), 1);
        for (auto [var, sub] : {std::pair{"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"}, {"XDG_STATE_HOME", "state"}})
            setenv(var, (path / sub).c_str(), 1);
    }
    ~BenchHome() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

int main() {
    BenchHome home;
    test::TestService service(test::TestService::serviceArgs("bench", 0, {"--data", (home.path / "service").string()}));
    setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);
    service.account({{"email", "dj@example.invalid"}, {"accessToken", "bench-token"}});
    test::GuestDriver guests;
    if (!guests.started()) {
        std::fprintf(stderr, "node is missing\n");
        return 1;
    }

    Tokens tokens;
    KeychainService keychain;
    HttpClient http;
    APIClient api{tokens, keychain, http};
    DJSoftwareManager software;

    // A first burst warms the service and the guests up; it is not counted.
    service.event({{"id", "warmup"}, {"is_active", true}});
    (void)burst(guests, service, "warmup", nullptr);

    std::vector<Round> withDj, without;
    for (int round = 0; round < kRounds; ++round) {
        for (bool connected : {false, true}) {
            const std::string eventId = std::string(connected ? "dj" : "solo") + std::to_string(round);
            service.event({{"id", eventId}, {"dj_pin", "1234"}, {"event_name", "Benchmark"}, {"is_active", true},
                           {"ownerEmail", "dj@example.invalid"}});
            if (!connected) {
                without.push_back(burst(guests, service, eventId, nullptr));
                continue;
            }
            AppSettings::modify([&](AppSettings& s) {
                s.activeEventId = eventId;
                s.djPin = "1234";
                s.notifyOnNewRequest = false;
            });
            AppStore dj(api, std::make_shared<Quiet>(), software);
            test::runOnMain(dj.connectToEvent());
            if (dj.connectionError() ||
                !MainLoop::shared().runUntil([&] { return dj.webSocket.state().kind == ConnectionState::Kind::connected; },
                                             std::chrono::seconds(10))) {
                std::fprintf(stderr, "the DJ did not connect\n");
                return 1;
            }
            MainLoop::shared().runUntil([] { return false; }, std::chrono::milliseconds(300));  // joined the room
            withDj.push_back(burst(guests, service, eventId, &dj));
            if (dj.requestStore.requests().size() != size_t(kGuests))
                std::fprintf(stderr, "the DJ's store holds %zu of %d requests\n", dj.requestStore.requests().size(), kGuests);
            dj.shutdown();
        }
    }

    auto pooled = [](const std::vector<Round>& rounds, std::vector<double> Round::*field) {
        std::vector<double> all;
        for (const auto& r : rounds) all.insert(all.end(), (r.*field).begin(), (r.*field).end());
        return stats(all);
    };
    auto rate = [](const std::vector<Round>& rounds) {
        std::vector<double> v;
        for (const auto& r : rounds)
            if (r.lastAck > r.firstSend) v.push_back(r.acked / ((r.lastAck - r.firstSend) / 1000.0));
        return stats(v).p50;
    };
    auto failures = [](const std::vector<Round>& rounds) {
        int f = 0;
        for (const auto& r : rounds) f += r.failed;
        return f;
    };

    const Stats soloAck = pooled(without, &Round::ackMs), soloVote = pooled(without, &Round::voteAckMs);
    const Stats djAck = pooled(withDj, &Round::ackMs), djVoteAck = pooled(withDj, &Round::voteAckMs);
    const Stats djStore = pooled(withDj, &Round::djMs), djVoteStore = pooled(withDj, &Round::djVoteMs);
    std::printf("local event service: %d guests (socket.io clients), each 1 request + 1 vote, %d rounds each,\n", kGuests, kRounds);
    std::printf("state file on disk (fsync before every acknowledgement)\n");
    std::printf("  no DJ connected:   %7.0f requests/s accepted   send -> acknowledged (stored)  p50 %7.2f ms  p99 %7.2f ms\n",
                rate(without), soloAck.p50, soloAck.p99);
    std::printf("                                                  vote -> acknowledged           p50 %7.2f ms  p99 %7.2f ms\n",
                soloVote.p50, soloVote.p99);
    std::printf("  DJ connected:      %7.0f requests/s accepted   send -> acknowledged (stored)  p50 %7.2f ms  p99 %7.2f ms\n",
                rate(withDj), djAck.p50, djAck.p99);
    std::printf("                                                  vote -> acknowledged           p50 %7.2f ms  p99 %7.2f ms\n",
                djVoteAck.p50, djVoteAck.p99);
    std::printf("                                                  send -> DJ's store holds it    p50 %7.2f ms  p99 %7.2f ms\n",
                djStore.p50, djStore.p99);
    std::printf("                                                  vote -> DJ's store counts it   p50 %7.2f ms  p99 %7.2f ms\n",
                djVoteStore.p50, djVoteStore.p99);
    if (soloAck.p50 > 0)
        std::printf("  ratio: send -> DJ's store (DJ connected) / send -> stored (no DJ): p50 %.2f x, p99 %.2f x\n",
                    djStore.p50 / soloAck.p50, soloAck.p99 > 0 ? djStore.p99 / soloAck.p99 : 0.0);
    std::printf("  failed guest actions: %d without DJ, %d with DJ\n", failures(without), failures(withDj));
    std::printf("  send -> acknowledged p50 per round (ms):");
    for (size_t i = 0; i < without.size() && i < withDj.size(); ++i)
        std::printf("  no DJ %.1f / DJ %.1f", stats(without[i].ackMs).p50, stats(withDj[i].ackMs).p50);
    std::printf("\n");
    unsetenv("FLOORVOTE_PRODUCTION_URL");
    return 0;
}
