// The Spotify service against two local peers: Spotify's own OpenAPI contract served by a
// validating proxy (every request checked, a break answered with 422; every answer of the peer
// behind it checked too), and a scripted peer for what a contract cannot play (PKCE with the
// verifier checked, rotating refresh tokens, paging, 403, 429, broken answers).
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "core/MainLoop.hpp"
#include "djsoftware/SpotifyCallback.hpp"
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
using Kind = SpotifyError::Kind;

namespace {

const std::string peersDir = TEST_PEERS_DIR;
constexpr const char* clientId = "floorvote-test-client";
constexpr const char* clientSecret = "floorvote-test-secret";
constexpr const char* own = "4rOwn250TracksPlaylist";

// The scripted peer, and the contract in front of it.
struct Peers {
    explicit Peers(bool withContract = true, std::vector<std::string> peerArgs = {})
        : peer(args(peerArgs)) {
        if (withContract) contract.emplace(std::vector<std::string>{"node", peersDir + "/spotify/contract.js", "proxy", peer.url()});
    }
    static std::vector<std::string> args(const std::vector<std::string>& extra) {
        std::vector<std::string> a{"node", peersDir + "/spotify/spotify.js"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    SpotifyEndpoints endpoints() const {
        SpotifyEndpoints e;
        e.accountsBase = peer.url();
        e.apiBase = contract ? contract->url() : peer.url();
        return e;
    }
    nlohmann::json state() const { return peer.admin("GET", "/__state"); }
    // The API requests the peer saw for a path.
    std::vector<std::string> queries(const std::string& method, const std::string& path) const {
        std::vector<std::string> out;
        auto st = state();
        for (const auto& r : st["api"])
            if (r["method"] == method && r["path"] == path) out.push_back(r["query"]);
        return out;
    }
    fv::test::TestService peer;
    std::optional<fv::test::TestService> contract;
};

// The stores a service keeps its sign-in in, in a folder of the test's own.
struct Stores {
    fv::test::TempDir dir;
    DefaultsStore defaults{dir / "defaults.sqlite3"};
    SecretStore secrets{dir / "secrets.json"};
    KeychainService keychain{"com.floorvote.app", secrets};
};

// Stands in for the browser: opens the page in a Node process that follows the redirects.
struct Browser {
    std::vector<std::thread> runs;
    std::vector<std::string> answers;
    std::mutex m;
    std::string firstVisit;  // a URL opened before the real one (a stray tab)
    ~Browser() { join(); }
    void join() {
        for (auto& t : runs) t.join();
        runs.clear();
    }
    std::function<bool(const std::string&)> opener() {
        return [this](const std::string& url) {
            runs.emplace_back([this, url, first = firstVisit] {
                auto visit = [&](const std::string& u) {
                    auto r = fv::test::runProcess({"node", peersDir + "/spotify/browser.js", u});
                    std::lock_guard g(m);
                    answers.push_back(r.out);
                };
                if (!first.empty()) {
                    // The listener's port is in the redirect_uri of the page's address.
                    const std::string key = "redirect_uri=http%3A%2F%2F127.0.0.1%3A";
                    auto from = url.find(key) + key.size();
                    auto port = url.substr(from, url.find("%2F", from) - from);
                    visit("http://127.0.0.1:" + port + first);
                }
                visit(url);
            });
            return true;
        };
    }
};

std::unique_ptr<SpotifyService> service(const Peers& p, Stores& s, HttpClient& http) {
    auto svc = std::make_unique<SpotifyService>(http, s.defaults, s.keychain, p.endpoints());
    svc->setCredentials(clientId, clientSecret);
    svc->requestTimeout = 10s;
    return svc;
}

void signIn(SpotifyService& svc, Browser& browser) {
    svc.openBrowser = browser.opener();
    runOnMain(svc.login());
    browser.join();
}

template <typename F>
SpotifyError errorOf(F&& f) {
    try {
        f();
    } catch (const SpotifyError& e) {
        return e;
    }
    ADD_FAILURE() << "no SpotifyError";
    return SpotifyError(Kind::apiError, 0, "none");
}

}  // namespace

TEST(SpotifyService, SignsInWithPkceOnLoopbackAndKeepsTheRotatingRefreshToken) {
    Peers p;
    Stores s;
    HttpClient http;
    Browser browser;
    auto svc = service(p, s, http);
    std::string shownUrl;
    svc->onAuthorizeUrl = [&](const std::string& u) { shownUrl = u; };
    signIn(*svc, browser);

    EXPECT_TRUE(svc->isLoggedIn());
    EXPECT_EQ(svc->userName(), "DJ Floor");
    EXPECT_EQ(svc->userId(), "dj-floor");
    ASSERT_EQ(browser.answers.size(), 1u);
    EXPECT_NE(browser.answers[0].find("Spotify-Anmeldung abgeschlossen"), std::string::npos) << browser.answers[0];

    // What the accounts service saw: a loopback IP redirect, S256, the scopes; the code was
    // exchanged with a verifier that matches the challenge (the peer refuses anything else).
    auto st = p.state();
    ASSERT_EQ(st["authorize"].size(), 1u);
    auto a = st["authorize"][0];
    EXPECT_EQ(a["response_type"], "code");
    EXPECT_EQ(a["code_challenge_method"], "S256");
    EXPECT_EQ(a["scope"], "playlist-read-private playlist-read-collaborative playlist-modify-private playlist-modify-public");
    std::string redirect = a["redirect_uri"];
    EXPECT_EQ(redirect.rfind("http://127.0.0.1:", 0), 0u) << redirect;
    EXPECT_EQ(redirect.substr(redirect.size() - 9), "/callback");
    EXPECT_EQ(shownUrl.rfind(p.peer.url() + "/authorize?client_id=floorvote-test-client&response_type=code&scope=", 0), 0u);
    ASSERT_EQ(st["token"].size(), 1u);
    EXPECT_EQ(st["token"][0]["grant"], "authorization_code");
    EXPECT_EQ(st["token"][0]["form"]["redirect_uri"], redirect);
    std::string verifier = st["token"][0]["form"]["code_verifier"];
    EXPECT_EQ(verifier.size(), 86u);  // 64 random bytes, URL-safe Base64 without padding
    EXPECT_EQ(verifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"), std::string::npos);

    // The refresh token is in the keychain, not in the plain settings store.
    auto firstRefresh = s.keychain.read(SpotifyService::refreshTokenKey);
    ASSERT_TRUE(firstRefresh);
    EXPECT_FALSE(s.defaults.get(SpotifyService::refreshTokenKey));
    EXPECT_EQ(s.defaults.get(SpotifyService::userNameKey), "DJ Floor");

    // Another process restores the sign-in. Its expired token is refreshed on the 401, the
    // rotated refresh token replaces the old one (which the peer no longer takes).
    p.peer.admin("POST", "/__expire");
    HttpClient http2;
    auto again = service(p, s, http2);
    EXPECT_TRUE(again->isLoggedIn());
    EXPECT_EQ(again->userName(), "DJ Floor");
    auto lists = runOnMain(again->fetchUserPlaylists());
    EXPECT_EQ(lists.size(), 62u);
    auto rotated = s.keychain.read(SpotifyService::refreshTokenKey);
    ASSERT_TRUE(rotated);
    EXPECT_NE(*rotated, *firstRefresh);
    st = p.state();
    ASSERT_EQ(st["token"].size(), 2u);
    EXPECT_EQ(st["token"][1]["grant"], "refresh_token");
    EXPECT_EQ(st["token"][1]["form"]["refresh_token"], *firstRefresh);
    EXPECT_EQ(st["refreshValid"], 1);

    // A refresh token the service no longer takes ends the sign-in, and says so.
    p.peer.admin("POST", "/__revoke");
    p.peer.admin("POST", "/__expire");
    auto e = errorOf([&] { runOnMain(again->fetchUserPlaylists()); });
    EXPECT_EQ(e.kind(), Kind::authFailed);
    EXPECT_EQ(std::string(e.what()).rfind("Spotify-Anmeldung fehlgeschlagen", 0), 0u) << e.what();
    EXPECT_FALSE(again->isLoggedIn());
    EXPECT_FALSE(s.keychain.read(SpotifyService::refreshTokenKey));
    EXPECT_FALSE(s.keychain.read(SpotifyService::accessTokenKey));
    EXPECT_EQ(errorOf([&] { runOnMain(again->createPlaylist("x")); }).kind(), Kind::notLoggedIn);
}

// Two processes signed in with the same keychain (the session, and an import beside it): whichever
// refreshes second must go on with the token the first stored, not spend its own dead one and sign
// both out.
TEST(SpotifyService, TwoProcessesShareTheRotatingRefreshToken) {
    Peers p(false);
    Stores s;
    HttpClient httpA, httpB;
    Browser browser;
    auto a = service(p, s, httpA);
    signIn(*a, browser);
    auto b = service(p, s, httpB);
    ASSERT_TRUE(b->isLoggedIn());

    auto refreshes = [&] {
        int n = 0;
        const auto st = p.state();
        for (const auto& t : st["token"]) n += t["grant"] == "refresh_token";
        return n;
    };
    for (int round = 0; round < 2; ++round) {
        // Every access token dies; the first process refreshes, the second takes what it stored.
        SpotifyService& first = round == 0 ? *a : *b;
        SpotifyService& second = round == 0 ? *b : *a;
        p.peer.admin("POST", "/__expire");
        EXPECT_EQ(runOnMain(first.fetchUserPlaylists()).size(), 62u);
        EXPECT_EQ(refreshes(), round + 1);
        EXPECT_EQ(runOnMain(second.fetchUserPlaylists()).size(), 62u);
        EXPECT_EQ(refreshes(), round + 1) << "the second process refreshed with a dead token";
        EXPECT_TRUE(a->isLoggedIn());
        EXPECT_TRUE(b->isLoggedIn());
        EXPECT_TRUE(s.keychain.read(SpotifyService::refreshTokenKey));
        EXPECT_EQ(p.state()["refreshValid"], 1);
    }

    // The stored access token has run out too: the second process refreshes with the stored
    // refresh token, not with its own.
    p.peer.admin("POST", "/__expire");
    EXPECT_EQ(runOnMain(a->fetchUserPlaylists()).size(), 62u);
    auto stored = nlohmann::json::parse(*s.keychain.read(SpotifyService::accessTokenKey));
    stored["expiresAt"] = 1;
    s.keychain.save(SpotifyService::accessTokenKey, stored.dump());
    auto storedRefresh = s.keychain.read(SpotifyService::refreshTokenKey);
    ASSERT_TRUE(storedRefresh);
    p.peer.admin("POST", "/__expire");
    EXPECT_EQ(runOnMain(b->fetchUserPlaylists()).size(), 62u);
    auto st = p.state();
    auto last = st["token"][st["token"].size() - 1];
    EXPECT_EQ(last["grant"], "refresh_token");
    EXPECT_EQ(last["form"]["refresh_token"], *storedRefresh);
    EXPECT_EQ(st["refreshValid"], 1);
    EXPECT_TRUE(b->isLoggedIn());
}

TEST(SpotifyService, ATokenOfAnHourCountsAsExpiredAMinuteEarly) {
    Peers p(false);
    Stores s;
    HttpClient http;
    Browser browser;
    auto svc = service(p, s, http);
    auto t0 = std::chrono::system_clock::now();
    auto clock = t0;
    svc->now = [&] { return clock; };
    signIn(*svc, browser);
    EXPECT_EQ(svc->tokenExpiresAt(), t0 + 3540s);

    auto refreshes = [&] { return p.state()["token"].size(); };
    auto before = refreshes();
    clock = t0 + 3539s;
    runOnMain(svc->validAccessToken());
    EXPECT_EQ(refreshes(), before);
    clock = t0 + 3540s;
    runOnMain(svc->validAccessToken());
    EXPECT_EQ(refreshes(), before + 1);
    EXPECT_EQ(svc->tokenExpiresAt(), t0 + 3540s + 3540s);
}

TEST(SpotifyService, SignInFailuresAreClearAndAStrayCallbackIsIgnored) {
    Peers p(false);
    Stores s;
    HttpClient http;

    {  // No client id: nothing is opened.
        auto svc = std::make_unique<SpotifyService>(http, s.defaults, s.keychain, p.endpoints());
        bool opened = false;
        svc->openBrowser = [&](const std::string&) { return opened = true; };
        auto e = errorOf([&] { runOnMain(svc->login()); });
        EXPECT_EQ(e.kind(), Kind::configMissing);
        EXPECT_FALSE(opened);
    }
    {  // The DJ refuses in the browser.
        auto svc = std::make_unique<SpotifyService>(http, s.defaults, s.keychain, p.endpoints());
        svc->setCredentials("deny", "");
        Browser browser;
        svc->openBrowser = browser.opener();
        auto e = errorOf([&] { runOnMain(svc->login()); });
        browser.join();
        EXPECT_EQ(e.kind(), Kind::authFailed);
        EXPECT_NE(std::string(e.what()).find("abgelehnt"), std::string::npos);
        EXPECT_FALSE(svc->isLoggedIn());
    }
    {  // No browser and nobody comes back: the wait ends.
        auto svc = service(p, s, http);
        svc->openBrowser = [](const std::string&) { return false; };
        svc->loginTimeout = 1s;
        auto e = errorOf([&] { runOnMain(svc->login()); });
        EXPECT_EQ(e.kind(), Kind::authFailed);
        EXPECT_FALSE(svc->isLoggedIn());
    }
    {  // A request with a foreign state (an old tab, another page) does not end the sign-in.
        auto svc = service(p, s, http);
        Browser browser;
        browser.firstVisit = "/callback?code=stolen&state=somethingelse";
        signIn(*svc, browser);
        EXPECT_TRUE(svc->isLoggedIn());
        ASSERT_EQ(browser.answers.size(), 2u);
        EXPECT_NE(browser.answers[0].find("\"status\":400"), std::string::npos) << browser.answers[0];
        auto st = p.state();
        for (const auto& t : st["token"]) EXPECT_NE(t["form"]["code"], "stolen");
    }
}

TEST(SpotifyService, ReadsPlaylistsInPagesOf50ThroughTheContract) {
    Peers p;
    Stores s;
    HttpClient http;
    Browser browser;
    auto svc = service(p, s, http);
    signIn(*svc, browser);

    auto meta = runOnMain(svc->fetchPlaylistMeta(own));
    EXPECT_EQ(meta.name, "Letzte Woche");
    EXPECT_EQ(meta.ownerName, "DJ Floor");

    auto list = runOnMain(svc->fetchPlaylistTracks(own));
    ASSERT_EQ(list.tracks.size(), 250u);
    EXPECT_EQ(list.skipped, 0);
    const auto& t = list.tracks[6];
    EXPECT_EQ(t.title, "Titel 7");
    EXPECT_EQ(t.artist, "Künstler 7");
    EXPECT_EQ(t.allArtists, std::vector<std::string>{"Künstler 7"});
    EXPECT_EQ(t.album, "Album");
    EXPECT_EQ(t.durationMs, 187000);
    EXPECT_EQ(t.isrc, "DEFV00000007");
    EXPECT_EQ(t.id.size(), 22u);
    EXPECT_EQ(t.spotifyUrl, "https://open.spotify.com/track/" + t.id);
    EXPECT_EQ(list.tracks[249].title, "Titel 250");
    EXPECT_EQ(p.queries("GET", std::string("/playlists/") + own + "/items"),
              (std::vector<std::string>{"?limit=50&offset=0", "?limit=50&offset=50", "?limit=50&offset=100",
                                        "?limit=50&offset=150", "?limit=50&offset=200"}));

    // Items that carry only the deprecated `track`, and a collaborative playlist.
    EXPECT_EQ(runOnMain(svc->fetchPlaylistTracks("8oOldShapePlaylist0001")).tracks.size(), 7u);
    EXPECT_EQ(runOnMain(svc->fetchPlaylistTracks("6cCollabPlaylist00000A")).tracks.size(), 3u);

    auto lists = runOnMain(svc->fetchUserPlaylists());
    ASSERT_EQ(lists.size(), 62u);
    EXPECT_EQ(lists[0].id, own);
    EXPECT_EQ(lists[0].trackCount, 250);
    EXPECT_EQ(lists[0].ownerName, "DJ Floor");
    EXPECT_TRUE(lists[1].isCollaborative);
    EXPECT_TRUE(lists[1].imageUrl);

    auto hit = runOnMain(svc->searchTrack("DEFV00000007"));
    ASSERT_TRUE(hit);
    EXPECT_TRUE(hit->artworkUrl);
    EXPECT_FALSE(runOnMain(svc->searchTrack("NONE1")));
}

TEST(SpotifyService, ForeignSpotifyOwnedAndMissingPlaylistsHaveTheirOwnErrors) {
    Peers p;
    Stores s;
    HttpClient http;
    Browser browser;
    auto svc = service(p, s, http);
    signIn(*svc, browser);

    auto foreign = errorOf([&] { runOnMain(svc->fetchPlaylistTracks("3xForeignPlaylistAbCdE")); });
    EXPECT_EQ(foreign.kind(), Kind::foreignPlaylist);
    EXPECT_EQ(std::string(foreign.what()).rfind("Spotify gibt die Titel dieser Playlist nicht heraus", 0), 0u);
    // Its name can still be read.
    EXPECT_EQ(runOnMain(svc->fetchPlaylistMeta("3xForeignPlaylistAbCdE")).name, "Fremde Liste");

    EXPECT_EQ(errorOf([&] { runOnMain(svc->fetchPlaylistTracks("37i9dQZF1DXcBWIGoYBM5M")); }).kind(),
              Kind::spotifyOwnedPlaylist);
    EXPECT_EQ(errorOf([&] { runOnMain(svc->fetchPlaylistMeta("37i9dQZF1DXcBWIGoYBM5M")); }).kind(),
              Kind::spotifyOwnedPlaylist);
    EXPECT_EQ(errorOf([&] { runOnMain(svc->fetchPlaylistTracks("0000000000000000000000")); }).kind(),
              Kind::playlistNotFound);
    EXPECT_EQ(errorOf([&] { runOnMain(svc->fetchPlaylistMeta("0000000000000000000000")); }).what(),
              std::string("Bei Spotify nicht gefunden"));
}

TEST(SpotifyService, RateLimitsWaitForRetryAfterAtMostThreeTimes) {
    Peers p;
    Stores s;
    HttpClient http;
    Browser browser;
    auto svc = service(p, s, http);
    signIn(*svc, browser);

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(runOnMain(svc->fetchPlaylistTracks("5sRateLimitedPlaylist1")).tracks.size(), 7u);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1900ms);
    EXPECT_EQ(p.queries("GET", "/playlists/5sRateLimitedPlaylist1/items").size(), 3u);

    auto e = errorOf([&] { runOnMain(svc->fetchPlaylistTracks("7bAlwaysBusyPlaylist01")); });
    EXPECT_EQ(e.kind(), Kind::rateLimited);
    EXPECT_EQ(p.queries("GET", "/playlists/7bAlwaysBusyPlaylist01/items").size(), 4u);  // one and three more

    // A wait longer than the service sits out is reported at once.
    svc->maxRetryAfter = 0s;
    auto before = p.queries("GET", "/playlists/7bAlwaysBusyPlaylist01/items").size();
    EXPECT_EQ(errorOf([&] { runOnMain(svc->fetchPlaylistTracks("7bAlwaysBusyPlaylist01")); }).kind(), Kind::rateLimited);
    EXPECT_EQ(p.queries("GET", "/playlists/7bAlwaysBusyPlaylist01/items").size(), before + 1);
}

TEST(SpotifyService, CreatesAPrivatePlaylistAndAddsItsTracksInChunksOf100) {
    Peers p;
    Stores s;
    HttpClient http;
    Browser browser;
    auto svc = service(p, s, http);
    signIn(*svc, browser);

    std::string id = runOnMain(svc->createPlaylist("Gig 12.12. \"Halle\""));
    std::vector<std::string> uris;
    for (int i = 0; i < 250; ++i) {
        std::string n = std::to_string(i);
        uris.push_back("spotify:track:" + std::string(22 - n.size(), 'A') + n);
    }
    runOnMain(svc->addTracks(id, uris));

    auto st = p.state();
    ASSERT_EQ(st["created"].size(), 1u);
    EXPECT_EQ(st["created"][0]["name"], "Gig 12.12. \"Halle\"");
    EXPECT_EQ(st["created"][0]["public"], false);
    EXPECT_EQ(st["created"][0]["description"], "Erstellt von Floorvote");
    auto chunks = st["added"][id];
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].size(), 100u);
    EXPECT_EQ(chunks[1].size(), 100u);
    EXPECT_EQ(chunks[2].size(), 50u);
    EXPECT_EQ(chunks[0][0], uris[0]);
    EXPECT_EQ(chunks[2][49], uris[249]);

    // The service refuses to add to a playlist that is not the DJ's: the failure names the status.
    auto e = errorOf([&] { runOnMain(svc->addTracks("3xForeignPlaylistAbCdE", {uris[0]})); });
    EXPECT_EQ(e.kind(), Kind::apiError);
    EXPECT_EQ(std::string(e.what()), "Spotify API (403): Forbidden");
}

TEST(SpotifyService, BrokenAnswersAndDeadConnectionsGiveClearErrors) {
    // Straight to the peer: the contract proxy would not let these answers through.
    Peers p(false);
    Stores s;
    HttpClient http;
    Browser browser;
    auto svc = service(p, s, http);
    signIn(*svc, browser);

    auto kindOf = [&](const char* id) { return errorOf([&] { runOnMain(svc->fetchPlaylistTracks(id)); }).kind(); };
    EXPECT_EQ(kindOf("1aMalformedJson000001"), Kind::invalidResponse);
    EXPECT_EQ(kindOf("1cNoItemsKey000000001"), Kind::invalidResponse);
    EXPECT_EQ(kindOf("1gEmptyPageWithNext01"), Kind::invalidResponse);
    EXPECT_EQ(kindOf("1eDropConnection00001"), Kind::unreachable);
    auto server = errorOf([&] { runOnMain(svc->fetchPlaylistTracks("1dServerError00000001")); });
    EXPECT_EQ(server.kind(), Kind::apiError);
    EXPECT_EQ(std::string(server.what()), "Spotify API (500): Server error");
    svc->requestTimeout = 1s;
    EXPECT_EQ(kindOf("1fHangForever00000001"), Kind::unreachable);
    svc->requestTimeout = 10s;

    // Wrong types and missing fields cost the entry, not the playlist.
    auto wrong = runOnMain(svc->fetchPlaylistTracks("1bWrongTypes000000001"));
    ASSERT_EQ(wrong.tracks.size(), 1u);
    EXPECT_EQ(wrong.tracks[0].title, "Gut");
    EXPECT_EQ(wrong.skipped, 4);
    // Episodes and vanished tracks are no tracks; a local file is one, without an id.
    auto mixed = runOnMain(svc->fetchPlaylistTracks("9mMixedItemsPlaylist01"));
    ASSERT_EQ(mixed.tracks.size(), 2u);
    EXPECT_EQ(mixed.tracks[0].allArtists, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(mixed.tracks[1].title, "Lokale Datei");
    EXPECT_EQ(mixed.tracks[1].id, "");
    EXPECT_EQ(mixed.skipped, 2);

    // A service that is gone.
    auto dead = p.endpoints();
    dead.apiBase = "http://127.0.0.1:1";
    SpotifyService gone(http, s.defaults, s.keychain, dead);
    gone.setCredentials(clientId, clientSecret);
    auto e = errorOf([&] { runOnMain(gone.fetchPlaylistTracks(own)); });
    EXPECT_EQ(e.kind(), Kind::unreachable);
    EXPECT_EQ(std::string(e.what()).rfind("Spotify ist nicht erreichbar: ", 0), 0u) << e.what();
    EXPECT_TRUE(gone.isLoggedIn());  // a dead connection does not end the sign-in

    // Client credentials: a wrong secret is refused, the right one reads the search.
    SpotifyService app(http, s.defaults, s.keychain, p.endpoints());
    app.logout();
    app.setCredentials(clientId, "wrong");
    EXPECT_EQ(errorOf([&] { runOnMain(app.searchTrack("DE1")); }).kind(), Kind::authFailed);
    app.setCredentials(clientId, clientSecret);
    EXPECT_TRUE(runOnMain(app.searchTrack("DE1")));
    EXPECT_EQ(errorOf([&] { runOnMain(app.fetchPlaylistTracks(own)); }).kind(), Kind::notLoggedIn);
    app.setCredentials("", "");
    EXPECT_EQ(errorOf([&] { runOnMain(app.searchTrack("DE1")); }).what(), std::string("Spotify-Client-ID oder -Secret fehlt"));
}

TEST(SpotifyService, PlaylistIdsFromLinksUrisAndBareIds) {
    using S = SpotifyService;
    EXPECT_EQ(S::extractPlaylistId("https://open.spotify.com/playlist/37i9dQZF1DXcBWIGoYBM5M?si=abc123"),
              "37i9dQZF1DXcBWIGoYBM5M");
    EXPECT_EQ(S::extractPlaylistId("https://open.spotify.com/intl-de/playlist/4rOwn250TracksPlaylist"),
              "4rOwn250TracksPlaylist");
    EXPECT_EQ(S::extractPlaylistId("spotify:playlist:4rOwn250TracksPlaylist"), "4rOwn250TracksPlaylist");
    EXPECT_EQ(S::extractPlaylistId("4rOwn250TracksPlaylist"), "4rOwn250TracksPlaylist");
    EXPECT_FALSE(S::extractPlaylistId("4rOwn250TracksPlaylis"));    // 21
    EXPECT_FALSE(S::extractPlaylistId("4rOwn250TracksPlaylist1"));  // 23
    EXPECT_FALSE(S::extractPlaylistId("https://open.spotify.com/album/4rOwn250TracksPlaylist"));
    EXPECT_FALSE(S::extractPlaylistId(""));
    EXPECT_FALSE(S::extractPlaylistId(std::string(100000, 'a')));
}

TEST(SpotifyCallback, QueryItemsAreDecoded) {
    auto q = queryItems("/callback?code=a%2Bb+c&state=x%3D%3D&empty=&broken=%zz&code=second#frag");
    EXPECT_EQ(q["code"], "a+b c");
    EXPECT_EQ(q["state"], "x==");
    EXPECT_EQ(q["empty"], "");
    EXPECT_EQ(q["broken"], "%zz");
    EXPECT_TRUE(queryItems("/callback").empty());
}
