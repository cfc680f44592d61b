// A playlist export to Spotify through the service, against Spotify's contract served by a
// validating mock: every request the export makes is checked (a break is answered with 422 and
// fails the export).
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include "djsoftware/PlaylistExportService.hpp"
#include "djsoftware/SpotifyService.hpp"
#include "platform/DefaultsStore.hpp"
#include "platform/SecretStore.hpp"
#include "session/ApiTestService.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::runOnMain;

namespace {

Track spotifyTrack(int i) {
    Track t;
    t.id = i;
    t.title = "Titel " + std::to_string(i);
    t.artist = "Künstler";
    t.source = "spotify";
    std::string n = std::to_string(i);
    t.sourceId = std::string(22 - n.size(), 'S') + n;
    return t;
}

PlaylistExportService::Targets through(SpotifyService& svc) {
    PlaylistExportService::Targets targets;
    targets.spotifyCreatePlaylist = [&svc](std::string name) { return svc.createPlaylist(std::move(name)); };
    targets.spotifyAddItems = [&svc](std::string id, std::vector<std::string> uris) {
        return svc.addTracks(std::move(id), std::move(uris));
    };
    return targets;
}

}  // namespace

TEST(SpotifyExport, FiftyRequestedTracksBecomeAPlaylistThroughTheContract) {
    fv::test::TestService mock({"node", std::string(TEST_PEERS_DIR) + "/spotify/contract.js", "mock"});
    fv::test::TempDir dir;
    DefaultsStore defaults(dir / "defaults.sqlite3");
    SecretStore secrets(dir / "secrets.json");
    KeychainService keychain("com.floorvote.app", secrets);
    // A sign-in from an earlier run: its refresh token and a current access token.
    keychain.save(SpotifyService::refreshTokenKey, "rt-earlier");
    double expiresAt = std::chrono::duration<double>((std::chrono::system_clock::now() + 50min).time_since_epoch()).count();
    keychain.save(SpotifyService::accessTokenKey, json{{"accessToken", "at-current"}, {"expiresAt", expiresAt}}.dump());

    SpotifyEndpoints endpoints;
    endpoints.apiBase = mock.url();
    endpoints.accountsBase = "http://127.0.0.1:1";  // a refresh would fail: the stored token is used
    HttpClient http;
    SpotifyService svc(http, defaults, keychain, endpoints);
    svc.setCredentials("floorvote-test-client", "");
    ASSERT_TRUE(svc.isLoggedIn());

    std::vector<Track> tracks;
    for (int i = 1; i <= 50; ++i) tracks.push_back(spotifyTrack(i));
    Track file;  // a requested file from Serato: no Spotify track
    file.id = 99;
    file.source = "serato";
    file.sourceId = "/music/a.mp3";
    tracks.insert(tracks.begin() + 10, file);

    PlaylistExportService exporter(through(svc));
    auto r = runOnMain(exporter.exportTracks(tracks, DJSoftwareType::spotify, "Sommerfest 12.12.", ""));
    EXPECT_EQ(r.exported, 50) << r.error.value_or("");
    EXPECT_EQ(r.skipped, 1);
    EXPECT_FALSE(r.error);
    EXPECT_EQ(svc.requestsSent(), 2u);  // the playlist, then one chunk of 50

    // 120 tracks: the playlist and chunks of 100 and 20.
    std::vector<Track> more;
    for (int i = 1; i <= 120; ++i) more.push_back(spotifyTrack(i));
    auto before = svc.requestsSent();
    auto r2 = runOnMain(exporter.exportTracks(more, DJSoftwareType::spotify, "Lang", ""));
    EXPECT_EQ(r2.exported, 120) << r2.error.value_or("");
    EXPECT_EQ(svc.requestsSent() - before, 3u);

    // Signed out: the export says so and sends nothing.
    svc.logout();
    before = svc.requestsSent();
    auto r3 = runOnMain(exporter.exportTracks(more, DJSoftwareType::spotify, "Lang", ""));
    EXPECT_EQ(r3.exported, 0);
    EXPECT_EQ(r3.skipped, 120);
    EXPECT_EQ(r3.error, "Export fehlgeschlagen: Nicht bei Spotify angemeldet");
    EXPECT_EQ(svc.requestsSent(), before);
}
