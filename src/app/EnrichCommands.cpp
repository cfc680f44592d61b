// floorvote enrich: artwork and previews for the active event's tracks from the catalogues.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <algorithm>
#include <cstdio>
#include <set>

#include <fmt/format.h>
#include <unistd.h>

#include "app/CommandSupport.hpp"
#include "app/Commands.hpp"
#include "app/SpotifySupport.hpp"
#include "djsoftware/StreamingEnrichment.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"

namespace fv::app {
namespace {

// Keychain items of the catalogue tokens the DJ enters.
constexpr const char* beatportTokenKey = "beatportAccessToken";
constexpr const char* appleDeveloperTokenKey = "appleMusicDeveloperToken";

std::optional<std::string> nonEmpty(std::optional<std::string> s) {
    if (s && s->empty()) return std::nullopt;
    return s;
}

StreamingCredentials credentials() {
    KeychainService keychain;
    AppSettings s = AppSettings::load();
    StreamingCredentials c;
    c.beatportToken = nonEmpty(keychain.read(beatportTokenKey));
    c.appleDeveloperToken = nonEmpty(keychain.read(appleDeveloperTokenKey));
    if (!s.tidalClientToken.empty()) c.tidalToken = s.tidalClientToken;
    // The Spotify step runs with the DJ's sign-in, or the application's token.
    c.spotifyAccessToken = spotifyCatalogueToken();
    return c;
}

// The tracks behind the event's requests (any status), or with --event the event's whole list.
std::vector<Track> tracksToEnrich(const std::string& eventId, bool wholeEvent) {
    auto all = call(APIClient::shared().searchTracks(eventId)).tracks;
    if (wholeEvent) return all;
    auto requests = call(APIClient::shared().getRequests(eventId)).requests;
    std::set<int64_t> wanted;
    for (const auto& r : requests) wanted.insert(r.trackId);
    std::vector<Track> out;
    for (const auto& t : all)
        if (wanted.count(t.id)) out.push_back(t);
    return out;
}

void progressBar(const TrackEnrichmentManager& m) {
    constexpr int width = 30;
    int filled = static_cast<int>(m.progress() * width + 0.5);
    std::fprintf(stdout, "\r[%s%s] %s", std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(width - filled), '.').c_str(), m.statusText().c_str());
    std::fflush(stdout);
}

void enrich(bool wholeEvent, bool asJson) {
    start();
    requireLogin();
    auto eventId = activeEventOrFail();
    auto tracks = tracksToEnrich(eventId, wholeEvent);
    auto creds = credentials();
    if (!creds.appleDeveloperToken && !creds.spotifyAccessToken)
        complain("Hinweis: kein Apple-Music-Entwickler-Token hinterlegt (floorvote enrich token applemusic TOKEN); "
                 "ohne Katalog gibt es kein Artwork.");
    HttpClient http;
    StreamingEnrichmentService service(http, StreamingEndpoints::fromEnvironment(), creds);
    TrackEnrichmentManager manager(service, DefaultsStore::standard());
    bool bar = !asJson && ::isatty(STDOUT_FILENO);
    if (bar) manager.onChange = [&] {
        if (manager.isRunning()) progressBar(manager);
    };
    await(manager.enrich(tracks));
    if (bar) std::fputs("\n", stdout);
    if (asJson) {
        json list = json::array();
        for (const auto& t : tracks) {
            json e = {{"trackId", t.id}, {"title", t.title}, {"artist", t.artist}};
            if (auto d = manager.data(t)) e["enrichment"] = d->toJson();
            list.push_back(e);
        }
        say(json{{"enriched", manager.enrichedCount()},
                 {"failed", manager.failedCount()},
                 {"statusText", manager.statusText()},
                 {"tracks", list}}
                .dump(2));
        return;
    }
    if (tracks.empty()) say("Keine Tracks zum Anreichern.");
    say(manager.statusText());
}

void setToken(const std::string& service, const std::string& token) {
    KeychainService keychain;
    const char* key = service == "beatport" ? beatportTokenKey : service == "applemusic" ? appleDeveloperTokenKey : nullptr;
    if (!key) throw CommandFailed{2, "Unbekannter Dienst: " + service + " (beatport oder applemusic)"};
    if (token.empty()) {
        keychain.remove(key);
        say("Token entfernt.");
    } else {
        keychain.save(key, token);
        say("Token gespeichert.");
    }
}

CommandRegistrar reg(45, [](CLI::App& root) {
    static bool wholeEvent = false, asJson = false;
    auto* enrichCmd = root.add_subcommand("enrich", "Artwork und Vorschau über Apple Music / Spotify laden");
    enrichCmd->add_flag("--event", wholeEvent, "Alle Tracks des Events statt der gewünschten");
    enrichCmd->add_flag("--json", asJson, "Als JSON ausgeben");
    static std::string service, token;
    auto* tokenCmd = enrichCmd->add_subcommand("token", "Zugangstoken eines Katalogs hinterlegen (leer: entfernen)");
    tokenCmd->add_option("DIENST", service, "beatport oder applemusic")->required();
    tokenCmd->add_option("TOKEN", token, "Token");
    tokenCmd->callback([] { setToken(service, token); });
    enrichCmd->callback([enrichCmd] {
        if (enrichCmd->get_subcommands().empty()) enrich(wholeEvent, asJson);
    });
});

}  // namespace
}  // namespace fv::app
