// floorvote dj status|use|path|port|password|sync|now|load: the DJ programs on this computer.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <fmt/format.h>

#include <filesystem>
#include <iostream>

#include "app/CommandSupport.hpp"
#include "app/Commands.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "djsoftware/VirtualDJBridge.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"
#include "session/AppStore.hpp"
#include "session/AuthStore.hpp"
#include "session/KeychainService.hpp"

namespace fv::app {
namespace {

namespace fs = std::filesystem;

// The programs behind a bridge, in the order the status lists them.
constexpr DJSoftwareType programs[] = {DJSoftwareType::rekordbox, DJSoftwareType::serato, DJSoftwareType::virtualDJ,
                                       DJSoftwareType::mixxx};

DJSoftwareType programOrFail(const std::string& raw) {
    auto t = djSoftwareTypeFromRaw(raw);
    if (t == DJSoftwareType::spotify || t == DJSoftwareType::appleMusic)
        throw CommandFailed{
            2, fmt::format("{} ist ein Streamingdienst, kein DJ-Programm auf diesem Computer.", displayName(*t))};
    if (!t) throw CommandFailed{2, "Unbekanntes DJ-Programm: " + raw + " (rekordbox, serato, virtualdj oder mixxx)"};
    return *t;
}

std::optional<SavedEvent> savedEvent(const std::string& id) {
    for (const auto& e : SavedEvents::loadAll())
        if (e.id == id) return e;
    return std::nullopt;
}

void configured(DJSoftwareManager& m) { m.configureBridges(AppSettings::load()); }

void status() {
    start();
    DJSoftwareManager m;
    configured(m);
    await(m.refreshBridgeStatuses());
    AppSettings s = AppSettings::load();
    say("DJ-Software – Status");
    for (auto t : programs) {
        auto b = m.bridge(t);
        bool shown = b && m.status(t).kind() != BridgeStatus::Kind::notConfigured;
        std::string where = shown ? b->location() : std::string();
        say(fmt::format("  {:<10} {}{}", std::string(displayName(t)) + ":", m.status(t).label(),
                        where.empty() ? "" : "  (" + where + ")"));
    }
    if (s.activeEventId.empty()) {
        say("Aktives Event: keines");
        return;
    }
    auto active = m.activeSoftware(s.activeEventId);
    auto saved = savedEvent(s.activeEventId);
    std::string raw = saved && saved->preferences ? saved->preferences->activeDjSoftware.value_or("") : "";
    say(fmt::format("Aktives Event: {}{}", s.activeEventId,
                    saved && !saved->eventName.empty() ? " (" + saved->eventName + ")" : ""));
    say(fmt::format("  DJ-Software:    {}", active        ? std::string(displayName(*active))
                                            : raw.empty() ? "keine gewählt"
                                                          : raw + " (unbekannt)"));
    if (active && !m.bridge(*active)) {
        say("  Event-Playlist: " + std::string(displayName(*active)) + " hat keine Playlist auf diesem Computer");
    } else if (active) {
        say("  Event-Playlist: " + m.playlistStatus().value_or("–"));
    }
    if (m.lastError()) say("  Letzter Fehler: " + *m.lastError());
}

void use(const std::string& raw) {
    start();
    std::string id = activeEventOrFail();
    auto t = djSoftwareTypeFromRaw(raw);
    if (!t)
        throw CommandFailed{
            2, "Unbekannte DJ-Software: " + raw + " (rekordbox, serato, virtualdj, mixxx, spotify, applemusic)"};
    SavedEvent saved;
    saved.id = id;
    saved.createdAt = isoNow();
    if (auto e = savedEvent(id)) saved = *e;
    if (!saved.preferences) saved.preferences = EventPreferences{};
    saved.preferences->activeDjSoftware = std::string(rawValue(*t));
    // The service keeps the event's preferences too; the next connect takes its values.
    auto& auth = AuthStore::shared();
    if (KeychainService().read("refreshToken")) await(auth.restoreSession());
    if (auth.state() == AuthStore::State::authenticated) {
        auto& api = APIClient::shared();
        PreferencesResponse prefs = call(api.getPreferences(id));
        prefs.preferences.activeDjSoftware = std::string(rawValue(*t));
        call(api.savePreferences(id, prefs.preferences, AppSettings::load(), std::nullopt));
        auto localIds = saved.preferences->djSoftwarePlaylistIds;
        saved.preferences = prefs.preferences;
        for (const auto& [k, v] : localIds) saved.preferences->djSoftwarePlaylistIds.emplace(k, v);
        SavedEvents::upsert(saved);
        say(fmt::format("DJ-Software für das Event: {}.", displayName(*t)));
    } else {
        SavedEvents::upsert(saved);
        say(fmt::format("DJ-Software für das Event: {} (nur auf diesem Computer gespeichert; nicht angemeldet).",
                        displayName(*t)));
    }
}

void setPath(const std::string& raw, const std::string& folder) {
    start();
    DJSoftwareType t = programOrFail(raw);
    std::error_code ec;
    std::string path = folder.empty() ? std::string() : fs::absolute(folder, ec).lexically_normal().string();
    if (!path.empty() && path.size() > 1 && path.back() == '/') path.pop_back();
    bool saved = false;
    AppSettings::modify(
        [&](AppSettings& s) {
            switch (t) {
                case DJSoftwareType::rekordbox:
                    s.lastRekordboxPath = path;
                    break;
                case DJSoftwareType::serato:
                    s.lastSeratoPath = path;
                    break;
                case DJSoftwareType::virtualDJ:
                    s.lastVirtualDJPath = path;
                    break;
                case DJSoftwareType::mixxx:
                    s.lastMixxxPath = path;
                    break;
                default:
                    break;
            }
        },
        &saved);
    if (!saved) throw CommandFailed{1, "Die Einstellungen konnten nicht gespeichert werden."};
    DJSoftwareManager m;
    configured(m);
    await(m.refreshBridgeStatuses());
    if (path.empty())
        say(fmt::format("Ordner für {} entfernt.", displayName(t)));
    else
        say(fmt::format("Ordner für {}: {}", displayName(t), path));
    say(fmt::format("Status: {}", m.status(t).label()));
}

void setPort(int port) {
    start();
    if (port < 1 || port > 65535) throw CommandFailed{2, fmt::format("Kein gültiger Port: {}", port)};
    bool saved = false;
    AppSettings::modify([&](AppSettings& s) { s.virtualDJPort = port; }, &saved);
    if (!saved) throw CommandFailed{1, "Die Einstellungen konnten nicht gespeichert werden."};
    say(fmt::format("VirtualDJ-Netzwerksteuerung auf Port {}.", port));
}

void setPassword() {
    start();
    // Read from standard input, so the password never shows in the process list.
    std::string line;
    std::getline(std::cin, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    KeychainService keychain;
    if (line.empty()) {
        keychain.remove(VirtualDJBridge::passwordKey);
        say("Passwort der VirtualDJ-Netzwerksteuerung entfernt.");
    } else {
        keychain.save(VirtualDJBridge::passwordKey, line);
        if (keychain.read(VirtualDJBridge::passwordKey) != line)
            throw CommandFailed{1, "Das Passwort konnte nicht gespeichert werden."};
        say("Passwort der VirtualDJ-Netzwerksteuerung gespeichert.");
    }
}

// The program the event names, with a hint when there is none.
DJSoftwareType eventProgramOrFail(DJSoftwareManager& m, const std::string& id) {
    auto t = m.activeSoftware(id);
    if (!t)
        throw CommandFailed{
            1, "Für das Event ist keine DJ-Software gewählt. Bitte „floorvote dj use PROGRAMM“ ausführen."};
    if (!m.bridge(*t))
        throw CommandFailed{1, fmt::format("{} hat keine Playlist auf diesem Computer.", displayName(*t))};
    return *t;
}

void sync() {
    start();
    std::string id = activeEventOrFail();
    DJSoftwareManager m;
    configured(m);
    DJSoftwareType t = eventProgramOrFail(m, id);
    auto& api = APIClient::shared();
    RequestsResponse requests = call(api.getRequests(id));
    TracksResponse tracks = call(api.searchTracks(id));
    DJSyncResult r = await(m.syncConfirmedRequests(id, requests.requests, tracks.tracks));
    if (!r.ok) throw CommandFailed{1, m.lastError().value_or("Die Playlist konnte nicht geschrieben werden.")};
    AppStore::storeExported(id, r.writtenRequestIds);
    say(fmt::format("{} bestätigte Wünsche in {} geschrieben: {}", r.writtenRequestIds.size(), displayName(t),
                    r.playlistId.value_or("")));
    if (r.skipped) say(fmt::format("{} bestätigte Wünsche ohne Datei für {} übersprungen.", r.skipped, displayName(t)));
}

void nowPlaying(const std::string& raw) {
    start();
    DJSoftwareManager m;
    configured(m);
    DJSoftwareType t = raw.empty() ? eventProgramOrFail(m, activeEventOrFail()) : programOrFail(raw);
    auto b = m.bridge(t);
    if (!b) throw CommandFailed{1, fmt::format("{} ist auf diesem Computer nicht eingebunden.", displayName(t))};
    auto now = call(b->getCurrentlyPlaying());
    if (!now)
        say(fmt::format("{}: gerade läuft nichts.", displayName(t)));
    else
        say(fmt::format("{}: {}{}", displayName(t), now->artist.empty() ? "" : now->artist + " – ", now->title));
}

void load(int64_t requestId, int deck) {
    start();
    std::string id = activeEventOrFail();
    DJSoftwareManager m;
    configured(m);
    auto& api = APIClient::shared();
    RequestsResponse requests = call(api.getRequests(id));
    auto r = std::find_if(requests.requests.begin(), requests.requests.end(),
                          [&](const MusicRequest& x) { return x.id == requestId; });
    if (r == requests.requests.end()) throw CommandFailed{1, fmt::format("Wunsch #{} nicht gefunden.", requestId)};
    TracksResponse tracks = call(api.searchTracks(id));
    if (!await(m.loadTrackToDeck(id, r->trackId, tracks.tracks, deck)))
        throw CommandFailed{1, m.lastError().value_or("Der Titel konnte nicht geladen werden.")};
    say(fmt::format("Wunsch #{} ({} – {}) auf Deck {} geladen.", requestId, r->artist, r->title, deck));
}

const CommandRegistrar reg(45, [](CLI::App& root) {
    auto* dj = root.add_subcommand("dj", "DJ-Programme auf diesem Computer: Status, Playlist, Now Playing, Decks");
    dj->require_subcommand(1);
    dj->add_subcommand("status", "Status jedes DJ-Programms und der Event-Playlist")->callback(status);

    static std::string useWhat;
    auto* useCmd = dj->add_subcommand("use", "DJ-Software des aktiven Events wählen");
    useCmd->add_option("PROGRAMM", useWhat, "rekordbox, serato, virtualdj, mixxx, spotify oder applemusic")->required();
    useCmd->callback([] { use(useWhat); });

    static std::string pathWhat, pathFolder;
    auto* pathCmd = dj->add_subcommand("path", "Ordner eines DJ-Programms festlegen (leer: entfernen)");
    pathCmd->add_option("PROGRAMM", pathWhat, "rekordbox, serato, virtualdj oder mixxx")->required();
    pathCmd->add_option("ORDNER", pathFolder, "Ordner (Serato: _Serato_, VirtualDJ: sein Ordner, Mixxx: .mixxx)")
        ->required();
    pathCmd->callback([] { setPath(pathWhat, pathFolder); });

    static int port = 0;
    auto* portCmd = dj->add_subcommand("port", "Port der VirtualDJ-Netzwerksteuerung");
    portCmd->add_option("PORT", port, "z. B. 80 oder 8080")->required();
    portCmd->callback([] { setPort(port); });
    dj->add_subcommand("password",
                       "Passwort der VirtualDJ-Netzwerksteuerung (von der Standardeingabe; leer: entfernen)")
        ->callback(setPassword);

    dj->add_subcommand("sync", "Bestätigte Wünsche jetzt in die Event-Playlist schreiben")->callback(sync);

    static std::string nowWhat;
    auto* nowCmd = dj->add_subcommand("now", "Einmal lesen, was gerade läuft");
    nowCmd->add_option("PROGRAMM", nowWhat, "sonst die DJ-Software des Events");
    nowCmd->callback([] { nowPlaying(nowWhat); });

    static int64_t loadId = 0;
    static int loadDeck = 1;
    auto* loadCmd = dj->add_subcommand("load", "Titel eines Wunschs auf ein VirtualDJ-Deck laden");
    loadCmd->add_option("WUNSCH_ID", loadId, "Wunsch-ID")->required();
    loadCmd->add_option("--deck", loadDeck, "Deck 1 bis 4")->required();
    loadCmd->callback([] { load(loadId, loadDeck); });
});

}  // namespace
}  // namespace fv::app
