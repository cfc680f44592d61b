// floorvote spotify login|logout|status: the DJ's Spotify sign-in.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "app/CommandSupport.hpp"
#include "app/Commands.hpp"
#include "app/SpotifySupport.hpp"
#include "core/Json.hpp"
#include "djsoftware/SpotifyService.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"

namespace fv::app {

struct SpotifySession::Impl {
    HttpClient http;
    KeychainService keychain;
    SpotifyService service{http, DefaultsStore::standard(), keychain, SpotifyEndpoints::fromEnvironment()};
};

SpotifySession::SpotifySession() : impl_(std::make_unique<Impl>()) { impl_->service.loadConfig(); }
SpotifySession::~SpotifySession() = default;
SpotifyService& SpotifySession::service() { return impl_->service; }

std::optional<std::string> spotifyCatalogueToken() {
    SpotifySession s;
    auto& svc = s.service();
    try {
        if (svc.isLoggedIn()) return await(svc.validAccessToken());
        if (!svc.clientId().empty()) return await(svc.clientCredentialsToken());
    } catch (const SpotifyError& e) {
        complain(std::string("Spotify wird übersprungen: ") + e.what());
    }
    return std::nullopt;
}

namespace {

constexpr const char* credentialsHint =
    "Keine Spotify-Credentials hinterlegt. Bitte zuerst Client ID und Client Secret eintragen: "
    "floorvote settings set spotifyClientId '\"ID\"' und floorvote settings set spotifyClientSecret '\"SECRET\"'.";

void login() {
    start();
    SpotifySession s;
    auto& svc = s.service();
    if (svc.clientId().empty()) throw CommandFailed{1, credentialsHint};
    svc.loginTimeout = std::chrono::seconds(240);
    svc.onAuthorizeUrl = [](const std::string& url) {
        say("Bitte im Browser bei Spotify anmelden. Öffnet sich kein Browser, diese Adresse aufrufen:");
        say(url);
    };
    try {
        await(svc.login());
    } catch (const SpotifyError& e) {
        throw CommandFailed{1, e.what()};
    }
    say("Bei Spotify angemeldet als " + svc.userName().value_or("?") + ".");
}

void logout() {
    start();
    SpotifySession s;
    bool was = s.service().isLoggedIn();
    s.service().logout();
    say(was ? "Von Spotify abgemeldet." : "Nicht bei Spotify angemeldet.");
}

void status(bool asJson) {
    start();
    SpotifySession s;
    auto& svc = s.service();
    if (asJson) {
        json j = {{"loggedIn", svc.isLoggedIn()}, {"credentials", !svc.clientId().empty()}};
        if (svc.userName()) j["userName"] = *svc.userName();
        if (svc.userId()) j["userId"] = *svc.userId();
        say(j.dump(2));
        return;
    }
    if (svc.isLoggedIn())
        say("Spotify: angemeldet als " + svc.userName().value_or("?") + " (" + svc.userId().value_or("?") + ")");
    else
        say("Spotify: nicht angemeldet");
    if (svc.clientId().empty()) say(credentialsHint);
}

CommandRegistrar reg(46, [](CLI::App& root) {
    auto* spotify = root.add_subcommand("spotify", "Spotify-Anmeldung");
    spotify->require_subcommand(1);
    spotify->add_subcommand("login", "Im Browser bei Spotify anmelden")->callback(login);
    spotify->add_subcommand("logout", "Von Spotify abmelden")->callback(logout);
    static bool asJson = false;
    auto* st = spotify->add_subcommand("status", "Spotify-Anmeldung anzeigen");
    st->add_flag("--json", asJson, "Als JSON ausgeben");
    st->callback([] { status(asJson); });
});

}  // namespace
}  // namespace fv::app
