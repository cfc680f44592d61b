// How much the typed layer costs on a large requests answer: bytes → records versus bytes → untyped JSON.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "session/Records.hpp"

using Clock = std::chrono::steady_clock;

namespace {

std::string makeBody(int n) {
    nlohmann::json list = nlohmann::json::array();
    const char* statuses[] = {"pending", "confirmed", "declined", "played"};
    for (int i = 0; i < n; ++i) {
        nlohmann::json r = {{"id", 100000 + i},
                            {"track_id", 5000 + i},
                            {"title", "Titel Nummer " + std::to_string(i) + " (Extended Mix)"},
                            {"artist", "Künstler " + std::to_string(i % 300)},
                            {"bpm", 118.0 + (i % 20)},
                            {"key_notation", "8A"},
                            {"vote_count", i % 17},
                            {"status", statuses[i % 4]},
                            {"created_at", "2026-12-06T21:15:07.123Z"},
                            {"guest_name", "Gast " + std::to_string(i)}};
        if (i % 4 == 1) r["confirmed_at"] = "2026-12-06T21:20:00.000Z";
        list.push_back(std::move(r));
    }
    return nlohmann::json{{"requests", list}}.dump();
}

template <typename F>
double medianMs(int rounds, F&& f) {
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        f();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main() {
    const int n = 5000, rounds = 30;
    std::string body = makeBody(n);
    size_t count = 0;
    double untyped = medianMs(rounds, [&] { count += nlohmann::json::parse(body).at("requests").size(); });
    double typed = medianMs(rounds, [&] {
        count += fv::RequestsResponse::fromJson(nlohmann::json::parse(body)).requests.size();
    });
    std::printf("requests answer: %d requests, %zu bytes, median of %d runs\n", n, body.size(), rounds);
    std::printf("  untyped JSON parse:        %8.2f ms\n", untyped);
    std::printf("  parse + typed records:     %8.2f ms\n", typed);
    std::printf("  typed / untyped:           %8.2f x\n", typed / untyped);
    return count == size_t(2 * n * rounds) ? 0 : 1;
}
