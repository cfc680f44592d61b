// floorvote spotify login|status|logout against the scripted Spotify peer, with a stand-in for
// xdg-open that follows the sign-in like a browser; then floorvote enrich asks Spotify with the
// signed-in DJ's token.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using fv::test::runFloorvote;
using fv::test::TestService;
using nlohmann::json;
using ::testing::HasSubstr;

namespace {

std::string readAll(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Points PATH at a folder whose xdg-open is the test's browser, for the life of the object.
struct BrowserOnPath {
    explicit BrowserOnPath(const fv::test::TempDir& dir) : log(dir / "browser.log") {
        auto bin = dir / "bin";
        std::filesystem::create_directories(bin);
        fv::test::writeFile(bin / "xdg-open", "#!/bin/sh\nexec node '" + std::string(TEST_PEERS_DIR) +
                                                  "/spotify/browser.js' \"$1\" >> '" + log.string() + "' 2>&1\n");
        chmod((bin / "xdg-open").c_str(), 0755);
        oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
        setenv("PATH", (bin.string() + ":" + oldPath).c_str(), 1);
    }
    ~BrowserOnPath() { setenv("PATH", oldPath.c_str(), 1); }
    std::filesystem::path log;
    std::string oldPath;
};

}  // namespace

TEST(SpotifyCommand, SignsInThroughTheBrowserFeedsEnrichAndSignsOut) {
    fv::test::TempDir home;
    fv::test::useHome(home.path());
    fv::test::TempDir tools;
    BrowserOnPath browser(tools);
    TestService service;
    TestService spotify({"node", std::string(TEST_PEERS_DIR) + "/spotify/spotify.js"});
    setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);
    setenv("FLOORVOTE_SPOTIFY_API_URL", spotify.url().c_str(), 1);
    setenv("FLOORVOTE_SPOTIFY_ACCOUNTS_URL", spotify.url().c_str(), 1);

    auto before = runFloorvote({"spotify", "status"});
    EXPECT_EQ(before.exitCode, 0);
    EXPECT_THAT(before.out, HasSubstr("Spotify: nicht angemeldet"));
    EXPECT_THAT(before.out, HasSubstr("Keine Spotify-Credentials hinterlegt"));
    auto refused = runFloorvote({"spotify", "login"});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_THAT(refused.err, HasSubstr("Keine Spotify-Credentials hinterlegt"));

    ASSERT_EQ(runFloorvote({"settings", "set", "spotifyClientId", "\"floorvote-test-client\""}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"settings", "set", "spotifyClientSecret", "\"floorvote-test-secret\""}).exitCode, 0);
    auto login = runFloorvote({"spotify", "login"});
    ASSERT_EQ(login.exitCode, 0) << login.out << login.err;
    EXPECT_THAT(login.out, HasSubstr("/authorize?client_id=floorvote-test-client"));
    EXPECT_THAT(login.out, HasSubstr("Bei Spotify angemeldet als DJ Floor."));
    EXPECT_THAT(readAll(browser.log), HasSubstr("Spotify-Anmeldung abgeschlossen"));

    auto status = json::parse(runFloorvote({"spotify", "status", "--json"}).out, nullptr, false);
    EXPECT_EQ(status["loggedIn"], true);
    EXPECT_EQ(status["userName"], "DJ Floor");
    EXPECT_EQ(status["userId"], "dj-floor");

    // Enrichment with no other catalogue: the Spotify step runs with the DJ's token.
    service.account({{"email", "dj@example.invalid"}, {"role", "user"}, {"code", "123456"}});
    service.event({{"id", "ev1"}, {"dj_pin", "1234"}, {"dj_name", "Kai"}, {"event_name", "Sommerfest"},
                   {"ownerEmail", "dj@example.invalid"},
                   {"tracks", json::array({{{"id", 1}, {"title", "Eins"}, {"artist", "A"}, {"isrc", "DEAB1"}},
                                           {{"id", 2}, {"title", "Zwei"}, {"artist", "B"}, {"isrc", "NONE2"},
                                            {"source", "spotify"}, {"source_id", "2zweiZweiZweiZweiZwei2"}}})},
                   {"requests", json::array({{{"id", 7}, {"track_id", 1}, {"title", "Eins"}, {"artist", "A"},
                                              {"status", "pending"}, {"created_at", "2026-01-01T20:00:00Z"}},
                                             {{"id", 8}, {"track_id", 2}, {"title", "Zwei"}, {"artist", "B"},
                                              {"status", "confirmed"}, {"created_at", "2026-01-01T20:01:00Z"}}})}});
    ASSERT_EQ(runFloorvote({"login", "dj@example.invalid", "--code", "123456"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"use", "ev1", "--pin", "1234"}).exitCode, 0);
    auto enrich = runFloorvote({"enrich", "--json"});
    ASSERT_EQ(enrich.exitCode, 0) << enrich.out << enrich.err;
    auto j = json::parse(enrich.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << enrich.out;
    EXPECT_EQ(j["enriched"], 1);
    EXPECT_EQ(j["failed"], 1);
    ASSERT_EQ(j["tracks"].size(), 2u);
    EXPECT_EQ(j["tracks"][0]["enrichment"]["spotifyId"].get<std::string>().size(), 22u);
    EXPECT_THAT(j["tracks"][0]["enrichment"]["artworkUrl"].get<std::string>(), HasSubstr("https://i.scdn.co/image/"));
    int searches = 0;
    auto st = spotify.admin("GET", "/__state");
    for (const auto& r : st["api"])
        if (r["path"] == "/search") ++searches;
    EXPECT_EQ(searches, 2);

    // The confirmed request goes into a new playlist of the signed-in DJ.
    auto exported = runFloorvote({"export", "spotify", "Nach dem Gig", "--json"});
    ASSERT_EQ(exported.exitCode, 0) << exported.out << exported.err;
    auto e = json::parse(exported.out, nullptr, false);
    EXPECT_EQ(e["exported"], 1) << exported.out;
    st = spotify.admin("GET", "/__state");
    ASSERT_EQ(st["created"].size(), 1u);
    EXPECT_EQ(st["created"][0]["name"], "Nach dem Gig");
    std::string playlistId = st["created"][0]["id"];
    EXPECT_EQ(st["added"][playlistId], json::array({json::array({"spotify:track:2zweiZweiZweiZweiZwei2"})}));

    auto logout = runFloorvote({"spotify", "logout"});
    EXPECT_THAT(logout.out, HasSubstr("Von Spotify abgemeldet."));
    auto refusedExport = runFloorvote({"export", "spotify", "Noch einmal"});
    EXPECT_THAT(refusedExport.out + refusedExport.err, HasSubstr("Spotify ist nicht angemeldet"));
    EXPECT_THAT(runFloorvote({"spotify", "status"}).out, HasSubstr("Spotify: nicht angemeldet"));
    EXPECT_THAT(readAll(home / ".local/share/floorvote/secrets.json"), ::testing::Not(HasSubstr("rt-")));

    for (const char* v : {"FLOORVOTE_PRODUCTION_URL", "FLOORVOTE_SPOTIFY_API_URL", "FLOORVOTE_SPOTIFY_ACCOUNTS_URL"})
        unsetenv(v);
}
