// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
// floorvote enrich against the test service and the catalogue peer: the requested tracks get
// their artwork and previews, the summary line and the JSON are printed, and a second run asks
// the catalogues nothing.
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "session/ApiTestService.hpp"
#include "session/HttpClient.hpp"
#include "support/TestSupport.hpp"

using fv::test::runFloorvote;
using fv::test::TestService;
using nlohmann::json;
using ::testing::HasSubstr;

namespace {

// How many look-ups the catalogue peer has answered.
int catalogueRequests(const TestService& peer) {
    fv::HttpClient http;
    fv::HttpRequest req;
    req.url = "http://127.0.0.1:" + std::to_string(peer.port()) + "/__count";
    auto r = fv::test::runOnMain(http.send(req));
    return json::parse(r.body, nullptr, false).value("count", -1);
}

}  // namespace

TEST(EnrichCommand, RequestedTracksGetArtworkAndASecondRunAsksNothing) {
    fv::test::TempDir home;
    fv::test::useHome(home.path());
    TestService service;
    TestService catalogs({"node", std::string(TEST_PEERS_DIR) + "/streaming/catalogs.js"});
    std::string peer = "http://127.0.0.1:" + std::to_string(catalogs.port());
    setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);
    setenv("FLOORVOTE_BEATPORT_API_URL", peer.c_str(), 1);
    setenv("FLOORVOTE_APPLE_MUSIC_API_URL", peer.c_str(), 1);
    setenv("FLOORVOTE_TIDAL_API_URL", peer.c_str(), 1);

    service.account({{"email", "dj@example.invalid"}, {"role", "user"}, {"code", "123456"}});
    service.event({{"id", "ev1"}, {"dj_pin", "1234"}, {"dj_name", "Kai"}, {"event_name", "Sommerfest"},
                   {"ownerEmail", "dj@example.invalid"},
                   {"tracks", json::array({{{"id", 1}, {"title", "Eins"}, {"artist", "A"}, {"isrc", "DE1"}},
                                           {{"id", 2}, {"title", "Zwei"}, {"artist", "B"},
                                            {"streaming_service", "beatport"}, {"streaming_service_id", "77"}},
                                           {{"id", 3}, {"title", "Drei"}, {"artist", "C"}},
                                           {{"id", 4}, {"title", "Nicht gewünscht"}, {"artist", "D"}, {"isrc", "DE4"}}})},
                   {"requests", json::array({{{"id", 7}, {"track_id", 1}, {"title", "Eins"}, {"artist", "A"},
                                              {"status", "pending"}, {"created_at", "2026-01-01T20:00:00Z"}},
                                             {{"id", 8}, {"track_id", 2}, {"title", "Zwei"}, {"artist", "B"},
                                              {"status", "confirmed"}, {"created_at", "2026-01-01T20:01:00Z"}},
                                             {{"id", 9}, {"track_id", 3}, {"title", "Drei"}, {"artist", "C"},
                                              {"status", "played"}, {"created_at", "2026-01-01T20:02:00Z"}}})}});
    ASSERT_EQ(runFloorvote({"login", "dj@example.invalid", "--code", "123456"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"use", "ev1", "--pin", "1234"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"enrich", "token", "beatport", "beatport-token"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"enrich", "token", "applemusic", "apple-dev-token"}).exitCode, 0);

    auto r = runFloorvote({"enrich", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    auto j = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["enriched"], 2);
    EXPECT_EQ(j["failed"], 1);
    EXPECT_EQ(j["statusText"], "2 angereichert, 1 ohne Match.");
    ASSERT_EQ(j["tracks"].size(), 3u);  // only the requested ones
    EXPECT_EQ(j["tracks"][0]["enrichment"]["artworkUrl"], "https://is1.example/DE1/1000x1000bb.jpg");
    EXPECT_EQ(j["tracks"][1]["enrichment"]["appleMusicId"], "am-BP77");
    EXPECT_FALSE(j["tracks"][2].contains("enrichment"));

    int asked = catalogueRequests(catalogs);
    auto again = runFloorvote({"enrich"});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("0 angereichert, 1 ohne Match."));
    // Only the track without a match is tried again, and without an ISRC it asks nothing.
    EXPECT_EQ(catalogueRequests(catalogs), asked);

    // The whole event with --event takes in the fourth track as well.
    auto whole = runFloorvote({"enrich", "--event"});
    EXPECT_THAT(whole.out, HasSubstr("1 angereichert, 1 ohne Match."));
    for (const char* v : {"FLOORVOTE_PRODUCTION_URL", "FLOORVOTE_BEATPORT_API_URL", "FLOORVOTE_APPLE_MUSIC_API_URL",
                          "FLOORVOTE_TIDAL_API_URL"})
        unsetenv(v);
}
