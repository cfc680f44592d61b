// Artwork and previews from the catalogues, against a local peer that answers as Beatport, TIDAL,
// Apple Music and Spotify do (tests/peers/streaming/catalogs.js), including 401, 404, 429 and
// malformed bodies.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include "core/MainLoop.hpp"
#include "djsoftware/StreamingEnrichment.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/ApiTestService.hpp"
#include "session/HttpClient.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::runOnMain;

namespace {

struct Catalogs {
    fv::test::TestService peer{{"node", std::string(TEST_PEERS_DIR) + "/streaming/catalogs.js"}};
    HttpClient http;
    std::string base() const { return "http://127.0.0.1:" + std::to_string(peer.port()); }

    StreamingEndpoints endpoints() const {
        StreamingEndpoints e;
        e.beatportBase = base() + "/v4/catalog/tracks";
        e.tidalBase = base() + "/v2/tracks";
        e.appleMusicBase = base();
        e.spotifyBase = base() + "/v1";
        return e;
    }
    static StreamingCredentials credentials() {
        StreamingCredentials c;
        c.beatportToken = "beatport-token";
        c.tidalToken = "tidal-token";
        c.appleDeveloperToken = "apple-dev-token";
        c.spotifyAccessToken = "spotify-token";
        return c;
    }
};

Track track(int64_t id, std::string title, std::optional<std::string> isrc = std::nullopt,
            std::optional<std::string> service = std::nullopt, std::optional<std::string> serviceId = std::nullopt) {
    Track t;
    t.id = id;
    t.title = std::move(title);
    t.artist = "Künstler";
    t.isrc = std::move(isrc);
    t.streamingService = std::move(service);
    t.streamingServiceId = std::move(serviceId);
    return t;
}

}  // namespace

TEST(StreamingEnrichment, EachCatalogueAnswersOrGivesNothing) {
    Catalogs c;
    StreamingEnrichmentService s(c.http, c.endpoints(), Catalogs::credentials());
    s.maxRetryAfter = 2s;

    EXPECT_EQ(runOnMain(s.beatportIsrc("17")), "BP17");
    EXPECT_EQ(runOnMain(s.tidalIsrc("42")), "TD42");
    auto apple = runOnMain(s.appleMusicByIsrc("DE1234"));
    ASSERT_TRUE(apple);
    EXPECT_EQ(apple->id, "am-DE1234");
    EXPECT_EQ(apple->artworkUrl, "https://is1.example/DE1234/1000x1000bb.jpg");
    EXPECT_EQ(apple->previewUrl, "https://audio.example/DE1234.m4a");
    auto found = runOnMain(s.appleMusicSearch("Suche 7", "Künstler", "SEARCH-7"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->isrc, "SEARCH-7");
    EXPECT_FALSE(runOnMain(s.appleMusicSearch("Anders", "Künstler", "SEARCH-7")));  // only the decoy
    auto spotify = runOnMain(s.spotifyByIsrc("NOAPPLE1"));
    ASSERT_TRUE(spotify);
    EXPECT_EQ(spotify->id, "sp-NOAPPLE1");
    EXPECT_EQ(spotify->artworkUrl, "https://i.scdn.example/NOAPPLE1-640");
    EXPECT_EQ(spotify->previewUrl, "https://p.scdn.example/NOAPPLE1");

    // Not found, server errors and broken bodies are no result.
    EXPECT_FALSE(runOnMain(s.beatportIsrc("404")));
    EXPECT_FALSE(runOnMain(s.tidalIsrc("FAIL1")));
    EXPECT_FALSE(runOnMain(s.appleMusicByIsrc("BAD1")));
    EXPECT_FALSE(runOnMain(s.spotifyByIsrc("NOSPOTIFY1")));
    // A 429 is waited out (Retry-After) and asked again.
    auto before = s.requestsSent();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(runOnMain(s.beatportIsrc("SLOW9")), "BPSLOW9");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 900ms);
    EXPECT_EQ(s.requestsSent() - before, 2u);

    // A wrong token is a 401: nothing. No token: no request at all.
    auto wrong = Catalogs::credentials();
    wrong.appleDeveloperToken = "expired";
    StreamingEnrichmentService unauthorised(c.http, c.endpoints(), wrong);
    EXPECT_FALSE(runOnMain(unauthorised.appleMusicByIsrc("DE1234")));
    StreamingEnrichmentService none(c.http, c.endpoints(), StreamingCredentials{});
    EXPECT_FALSE(runOnMain(none.beatportIsrc("17")));
    EXPECT_FALSE(runOnMain(none.tidalIsrc("42")));
    EXPECT_FALSE(runOnMain(none.appleMusicByIsrc("DE1234")));
    EXPECT_FALSE(runOnMain(none.spotifyByIsrc("DE1234")));
    EXPECT_EQ(none.requestsSent(), 0u);

    // A dead service is no result either.
    auto dead = c.endpoints();
    dead.tidalBase = "http://127.0.0.1:1/v2/tracks";
    StreamingEnrichmentService unreachable(c.http, dead, Catalogs::credentials());
    EXPECT_FALSE(runOnMain(unreachable.tidalIsrc("42")));
}

TEST(StreamingEnrichment, AHundredTracksEndInTheRightCountsAndTheCacheIsReused) {
    Catalogs c;
    fv::test::TempDir dir;
    DefaultsStore store(dir / "defaults.sqlite3");
    StreamingEnrichmentService s(c.http, c.endpoints(), Catalogs::credentials());
    s.maxRetryAfter = 2s;

    // Twenty each: own ISRC, Beatport, TIDAL, Apple Music's search, and ones no catalogue knows
    // (a Beatport 404, a TIDAL server error, a Spotify-only miss, no ISRC at all, a broken body).
    std::vector<Track> tracks;
    int expectFailed = 0;
    for (int i = 0; i < 20; ++i) {
        tracks.push_back(track(1000 + i, "Eigen", "DE" + std::to_string(i)));
        tracks.push_back(track(2000 + i, "Beat", std::nullopt, i % 2 ? "beatport" : "beatport_legacy", std::to_string(i)));
        tracks.push_back(track(3000 + i, "Tidal", std::nullopt, "tidal", std::to_string(100 + i)));
        tracks.push_back(track(4000 + i, "Suche " + std::to_string(i), "SEARCH-" + std::to_string(i)));
        switch (i % 5) {
            case 0: tracks.push_back(track(5000 + i, "Weg", std::nullopt, "beatport", "404" + std::to_string(i))); break;
            case 1: tracks.push_back(track(5000 + i, "Weg", std::nullopt, "tidal", "FAIL" + std::to_string(i))); break;
            case 2: tracks.push_back(track(5000 + i, "Weg", "NOAPPLENOSPOTIFY" + std::to_string(i))); break;
            case 3: tracks.push_back(track(5000 + i, "Weg")); break;
            default: tracks.push_back(track(5000 + i, "Weg", "BAD" + std::to_string(i))); break;
        }
        ++expectFailed;
    }
    ASSERT_EQ(tracks.size(), 100u);

    TrackEnrichmentManager m(s, store);
    m.delay = 1ms;
    std::vector<std::string> texts;
    m.onChange = [&] { texts.push_back(m.statusText()); };
    runOnMain(m.enrich(tracks));
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(m.enrichedCount(), 100 - expectFailed);
    EXPECT_EQ(m.failedCount(), expectFailed);
    EXPECT_DOUBLE_EQ(m.progress(), 1.0);
    ASSERT_EQ(texts.size(), 101u);
    EXPECT_EQ(texts.front(), "1 / 100");
    EXPECT_EQ(texts[99], "100 / 100");
    EXPECT_EQ(texts.back(), "80 angereichert, 20 ohne Match.");

    auto own = m.data(tracks[0]);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->appleMusicId, "am-DE0");
    EXPECT_EQ(own->spotifyId, "sp-DE0");
    EXPECT_EQ(own->artworkUrl, "https://is1.example/DE0/1000x1000bb.jpg");  // Apple Music's first
    EXPECT_EQ(m.data(tracks[1])->appleMusicId, "am-BP0");
    EXPECT_EQ(m.data(tracks[2])->appleMusicId, "am-TD100");
    EXPECT_EQ(m.data(tracks[3])->appleMusicId, "am-SEARCH-0");
    EXPECT_FALSE(m.data(tracks[4]));

    // The next run, from the stored cache, asks nothing of the enriched tracks: only the failed
    // ones go out again.
    StreamingEnrichmentService again(c.http, c.endpoints(), Catalogs::credentials());
    TrackEnrichmentManager m2(again, store);
    EXPECT_EQ(m2.cache().size(), 80u);
    std::vector<Track> enrichedOnly;
    for (const auto& t : tracks)
        if (m2.data(t)) enrichedOnly.push_back(t);
    m2.delay = 0ms;
    runOnMain(m2.enrich(enrichedOnly));
    EXPECT_EQ(again.requestsSent(), 0u);
    EXPECT_EQ(m2.statusText(), "0 angereichert, 0 ohne Match.");
    auto reread = m2.data(tracks[0]);
    ASSERT_TRUE(reread);
    EXPECT_EQ(reread->artworkUrl, own->artworkUrl);
    EXPECT_EQ(reread->previewUrl, own->previewUrl);
    EXPECT_LT(std::chrono::abs(reread->enrichedAt - own->enrichedAt), 1ms);
}

TEST(StreamingEnrichment, SevenDayEdgeTidalWithoutTokenStatusTextsAndTheStoredForm) {
    Catalogs c;
    fv::test::TempDir dir;
    DefaultsStore store(dir / "defaults.sqlite3");
    auto creds = Catalogs::credentials();
    creds.tidalToken.reset();
    StreamingEnrichmentService s(c.http, c.endpoints(), creds);

    // An entry made 6 days ago is kept, one made 8 days ago is looked up again.
    auto now = StreamingEnrichmentData::Clock::now();
    StreamingEnrichmentData six, eight;
    six.appleMusicId = "old-6";
    six.enrichedAt = now - std::chrono::hours(24 * 6);
    eight.appleMusicId = "old-8";
    eight.enrichedAt = now - std::chrono::hours(24 * 8);
    json stored = {{"1", six.toJson()}, {"2", eight.toJson()}};
    ASSERT_TRUE(store.set(TrackEnrichmentManager::cacheKeyName, stored.dump()));

    TrackEnrichmentManager m(s, store);
    m.delay = 0ms;
    m.now = [now] { return now; };
    std::vector<std::string> texts;
    m.onChange = [&] { texts.push_back(m.statusText()); };
    std::vector<Track> ten{track(1, "A", "DE1"), track(2, "B", "DE2")};
    // A TIDAL track without a configured token gets no ISRC: no match, and no request.
    ten.push_back(track(3, "C", std::nullopt, "tidal", "42"));
    for (int i = 4; i <= 10; ++i) ten.push_back(track(i, "T", "DE" + std::to_string(i)));
    runOnMain(m.enrich(ten));
    std::vector<std::string> expected;
    for (int i = 1; i <= 10; ++i) expected.push_back(std::to_string(i) + " / 10");
    expected.push_back("8 angereichert, 1 ohne Match.");
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(m.data(ten[0])->appleMusicId, "old-6");
    EXPECT_EQ(m.data(ten[1])->appleMusicId, "am-DE2");
    EXPECT_FALSE(m.data(ten[2]));
    EXPECT_EQ(s.requestsSent(), 8u * 2);  // Apple Music and Spotify for each of the eight

    // The stored form: the keys as named, the date in seconds since 2001 (as before), and a
    // stored cache that does not decode gives an empty one.
    auto saved = json::parse(*store.get(TrackEnrichmentManager::cacheKeyName));
    ASSERT_TRUE(saved.contains("2"));
    EXPECT_TRUE(saved["2"]["enrichedAt"].is_number());
    double since2001 = saved["2"]["enrichedAt"].get<double>();
    double unix = std::chrono::duration<double>(now.time_since_epoch()).count();
    EXPECT_NEAR(since2001, unix - 978307200.0, 0.01);
    EXPECT_EQ(saved["2"]["appleMusicId"], "am-DE2");
    EXPECT_EQ(saved["2"]["previewUrl"], "https://audio.example/DE2.m4a");
    for (const char* broken : {"{not json", "[]", R"({"1": {"enrichedAt": "gestern"}})", R"({"1": 5})"}) {
        ASSERT_TRUE(store.set(TrackEnrichmentManager::cacheKeyName, broken));
        TrackEnrichmentManager fresh(s, store);
        EXPECT_TRUE(fresh.cache().empty()) << broken;
    }
}
