// floorvote library sources, floorvote import applemusic, floorvote applemusic playlists|token.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <algorithm>
#include <cstdio>
#include <thread>

#include <fmt/format.h>
#include <unistd.h>

#include "app/CommandSupport.hpp"
#include "app/Commands.hpp"
#include "app/ImportSupport.hpp"
#include "djsoftware/AppleMusic.hpp"
#include "session/AppSettings.hpp"
#include "session/KeychainService.hpp"

namespace fv::app {

namespace {

json trackJson(const RekordboxTrack& t) {
    json j = t.toJson();
    j["djSource"] = t.djSource;
    return j;
}

std::string shortText(const std::string& s, std::size_t width) {
    // Counted in code points, cut at a character boundary.
    std::size_t count = 0, i = 0;
    for (; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (count == width) break;
            ++count;
        }
    }
    if (i >= s.size()) return s + std::string(width - count, ' ');
    std::string cut = s.substr(0, i);
    // Leave room for the ellipsis.
    while (!cut.empty()) {
        unsigned char c = static_cast<unsigned char>(cut.back());
        cut.pop_back();
        if ((c & 0xC0) != 0x80) break;
    }
    return cut + "…";
}

std::string label(const RekordboxTrack& t) {
    return (t.artist.empty() ? t.title : t.artist + " – " + t.title) + " [" + t.djSource + "]";
}

std::string scoreText(double s) { return fmt::format("{:.2f}", s); }

void progressBar(std::size_t done, std::size_t total) {
    constexpr std::size_t width = 30;
    std::size_t filled = total ? done * width / total : width;
    std::fprintf(stdout, "\r[%s%s] %zu/%zu Titel abgeglichen", std::string(filled, '#').c_str(),
                 std::string(width - filled, '.').c_str(), done, total);
    std::fflush(stdout);
}

}  // namespace

CLI::App* importCommand(CLI::App& root) {
    auto found = root.get_subcommands([](CLI::App* sub) { return sub->get_name() == "import"; });
    if (!found.empty()) return found.front();
    auto* import = root.add_subcommand("import", "Eine Streaming-Playlist mit den eigenen Bibliotheken abgleichen");
    import->require_subcommand(1);
    return import;
}

std::vector<LibrarySource> resolveLibrarySources(const std::vector<std::string>& wanted) {
    AppSettings settings = AppSettings::load();
    bool named = !wanted.empty();
    std::vector<std::string> keys = named ? wanted : librarySourceKeys();
    for (auto& k : keys) {
        std::string lower = k;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (std::find(librarySourceKeys().begin(), librarySourceKeys().end(), lower) != librarySourceKeys().end())
            k = lower;
    }
    auto all = await(loadLibrarySources(settings, keys));
    std::vector<LibrarySource> out;
    for (auto& s : all) {
        if (!s.error.empty()) {
            if (named) throw CommandFailed{1, fmt::format("Bibliothek {}: {}", s.key, s.error)};
            if (s.found) complain(fmt::format("Bibliothek {} übersprungen: {}", s.name, s.error));
            continue;
        }
        if (s.skipped) complain(fmt::format("{}: {} Einträge ohne lesbare Angaben übersprungen", s.name, s.skipped));
        out.push_back(std::move(s));
    }
    std::size_t tracks = 0;
    for (const auto& s : out) tracks += s.tracks.size();
    if (tracks == 0)
        throw CommandFailed{1, "Keine Titel in den Bibliotheken gefunden. Ordner der DJ-Software festlegen "
                               "(floorvote dj path …) oder mit --library einen Ordner angeben."};
    return out;
}

void matchPlaylist(PlaylistImportSession& session, const std::vector<SpotifyTrack>& tracks,
                   const std::vector<LibrarySource>& sources, bool asJson) {
    std::vector<RekordboxTrack> library;
    for (const auto& s : sources) library.insert(library.end(), s.tracks.begin(), s.tracks.end());
    LibraryMatchIndex index(library);
    bool bar = !asJson && ::isatty(STDOUT_FILENO);
    unsigned threads = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
    session.totalTracks = static_cast<int64_t>(tracks.size());
    session.results = index.matchAll(tracks, threads, bar ? LibraryMatchIndex::Progress(progressBar)
                                                         : LibraryMatchIndex::Progress());
    if (bar) std::fputs("\n", stdout);
}

json importResultJson(const PlaylistMatchResult& r) {
    json j = {{"id", r.id},
              {"spotifyTrack", r.spotifyTrack.toJson()},
              {"status", toString(r.status.kind)},
              {"isManuallyResolved", r.isManuallyResolved}};
    if (r.status.kind == MatchStatus::Kind::fuzzyMatch) j["score"] = r.status.score;
    if (r.status.track) j["track"] = trackJson(*r.status.track);
    if (r.status.kind == MatchStatus::Kind::multipleMatches) {
        json c = json::array();
        for (const auto& m : r.status.candidates)
            c.push_back({{"id", m.id}, {"track", trackJson(m.track)}, {"score", m.score},
                         {"matchReason", toString(m.matchReason)}});
        j["candidates"] = c;
    }
    j["confirmedTrack"] = r.confirmedTrack ? trackJson(*r.confirmedTrack) : json(nullptr);
    return j;
}

void renderImportResults(const PlaylistImportSession& session, const std::vector<LibrarySource>& sources,
                         bool asJson) {
    using K = MatchStatus::Kind;
    if (asJson) {
        json src = json::array();
        for (const auto& s : sources)
            src.push_back({{"key", s.key}, {"name", s.name}, {"location", s.location}, {"trackCount", s.tracks.size()},
                           {"skipped", s.skipped}});
        json results = json::array();
        for (const auto& r : session.results) results.push_back(importResultJson(r));
        json out = {{"playlistName", session.playlistName},
                    {"totalTracks", session.totalTracks},
                    {"counts",
                     {{"exactMatch", session.count(K::exactMatch)},
                      {"fuzzyMatch", session.count(K::fuzzyMatch)},
                      {"multipleMatches", session.count(K::multipleMatches)},
                      {"notFound", session.count(K::notFound)}}},
                    {"sources", src},
                    {"results", results}};
        if (!session.playlistOwner.empty()) out["playlistOwner"] = session.playlistOwner;
        say(out.dump(2, ' ', false, json::error_handler_t::replace));
        return;
    }
    say(fmt::format("Playlist „{}“{}: {} Titel", session.playlistName,
                    session.playlistOwner.empty() ? "" : " von " + session.playlistOwner, session.totalTracks));
    std::string libs;
    for (const auto& s : sources) libs += (libs.empty() ? "" : ", ") + fmt::format("{} ({})", s.name, s.tracks.size());
    say("Bibliotheken: " + libs);
    say("");
    say(fmt::format("{:>4}  {:<16}  {}  {}", "Nr.", "Ergebnis", shortText("Titel der Playlist", 40), "In der Bibliothek"));
    std::size_t found = 0, fuzzy = 0;
    for (std::size_t i = 0; i < session.results.size(); ++i) {
        const auto& r = session.results[i];
        const auto& st = r.spotifyTrack;
        std::string wanted = shortText(st.artist.empty() ? st.title : st.artist + " – " + st.title, 40);
        std::string status, where;
        switch (r.status.kind) {
            case K::exactMatch:
                status = "gefunden";
                where = label(*r.status.track);
                ++found;
                break;
            case K::fuzzyMatch:
                if (r.status.score >= 1.0) {
                    status = "gefunden";
                    ++found;
                } else {
                    status = "ähnlich " + scoreText(r.status.score);
                    ++fuzzy;
                }
                where = label(*r.status.track);
                break;
            case K::multipleMatches: {
                status = fmt::format("{} Kandidaten", r.status.candidates.size());
                for (const auto& c : r.status.candidates)
                    where += (where.empty() ? "" : " | ") + label(c.track) + " " + scoreText(c.score);
                break;
            }
            case K::notFound:
                status = "fehlt";
                where = "–";
                break;
        }
        say(fmt::format("{:>4}  {}  {}  {}", i + 1, shortText(status, 16), wanted, where));
    }
    say("");
    say(fmt::format("{} gefunden, {} ähnlich, {} mehrdeutig, {} fehlen", found, fuzzy,
                    session.count(K::multipleMatches), session.count(K::notFound)));
}

namespace {

void librarySources(bool asJson) {
    start();
    AppSettings settings = AppSettings::load();
    auto all = await(loadLibrarySources(settings, librarySourceKeys()));
    if (asJson) {
        json out = json::array();
        for (const auto& s : all) {
            json e = {{"key", s.key}, {"name", s.name}, {"location", s.location}, {"found", s.found},
                      {"trackCount", s.tracks.size()}, {"skipped", s.skipped}};
            if (!s.error.empty()) e["error"] = s.error;
            out.push_back(e);
        }
        say(out.dump(2, ' ', false, json::error_handler_t::replace));
        return;
    }
    for (const auto& s : all) {
        std::string what;
        if (!s.error.empty() && !s.found) what = "nicht gefunden";
        else if (!s.error.empty()) what = "Fehler: " + s.error;
        else what = fmt::format("{} Titel", s.tracks.size()) + (s.skipped ? fmt::format(", {} übersprungen", s.skipped) : "");
        say(fmt::format("{:<12} {:<28} {}", s.name, what, s.location));
    }
}

ITunesLibraryService openMusicLibrary() {
    ITunesLibraryService lib(ITunesLibraryService::configuredPath());
    try {
        lib.connect();
    } catch (const AppleMusicError& e) {
        throw CommandFailed{1, std::string(e.what()) +
                                   "\nPfad festlegen: floorvote settings set musicLibraryPath /pfad/zur/Library.xml"};
    }
    return lib;
}

void applePlaylists(bool asJson) {
    start();
    auto lib = openMusicLibrary();
    auto pls = lib.playlists();
    if (asJson) {
        json out = json::array();
        for (const auto& p : pls) out.push_back(p.toJson());
        say(out.dump(2, ' ', false, json::error_handler_t::replace));
        return;
    }
    for (const auto& p : pls)
        say(fmt::format("{:>20}  {:<8}  {:>5} Titel  {}", p.id, toString(p.kind), p.trackCount, p.name));
}

void importAppleMusic(const std::string& playlist, const std::vector<std::string>& libraries, bool asJson) {
    start();
    auto lib = openMusicLibrary();
    // By id; by name, a playlist before a folder of the same name.
    std::string id, name;
    if (playlist == ITunesLibraryService::allTracks) id = name = playlist;
    auto pls = lib.playlists();
    for (int pass = 0; pass < 3 && id.empty(); ++pass)
        for (const auto& p : pls) {
            bool hit = pass == 0   ? p.id == playlist
                       : pass == 1 ? p.name == playlist && p.kind != AppleMusicPlaylistKind::folder
                                   : p.name == playlist;
            if (hit) {
                id = p.id;
                name = p.name;
                break;
            }
        }
    if (id.empty())
        throw CommandFailed{1, std::string(AppleMusicError(AppleMusicError::Kind::playlistNotFound).what()) + ": " +
                                   playlist};
    auto tracks = lib.tracks(id);
    if (tracks.empty()) throw CommandFailed{1, AppleMusicError(AppleMusicError::Kind::noTracks).what()};
    std::vector<SpotifyTrack> wanted;
    for (const auto& t : tracks) {
        SpotifyTrack s;
        s.id = t.id;
        s.title = t.title;
        s.artist = t.artist;
        s.allArtists = {t.artist};
        s.album = t.album;
        s.durationMs = t.durationMs;
        s.isrc = t.isrc;
        wanted.push_back(std::move(s));
    }
    auto sources = resolveLibrarySources(libraries);
    PlaylistImportSession session;
    session.playlistName = name;
    matchPlaylist(session, wanted, sources, asJson);
    renderImportResults(session, sources, asJson);
}

void setUserToken(const std::string& token) {
    KeychainService keychain;
    if (token.empty()) {
        keychain.remove("appleMusicUserToken");
        say("Token entfernt.");
    } else {
        keychain.save("appleMusicUserToken", token);
        say("Token gespeichert.");
    }
}

const CommandRegistrar reg(47, [](CLI::App& root) {
    static bool asJson = false;
    static std::vector<std::string> libraries;
    static std::string playlist, token;

    auto* library = root.add_subcommand("library", "Bibliotheken der DJ-Software für den Playlist-Import");
    library->require_subcommand(1);
    auto* sources = library->add_subcommand("sources", "Gefundene Bibliotheken und ihre Titelzahl");
    sources->add_flag("--json", asJson, "Als JSON ausgeben");
    sources->callback([] { librarySources(asJson); });

    auto* apple = importCommand(root)->add_subcommand("applemusic", "Eine Playlist der Musikbibliothek (XML-Export) abgleichen");
    apple->add_option("PLAYLIST", playlist, "Name oder ID der Playlist (__ALL__: die ganze Bibliothek)")->required();
    apple->add_option("--library", libraries,
                      "rekordbox, serato, virtualdj, mixxx, applemusic oder ein Ordner (mehrfach möglich)");
    apple->add_flag("--json", asJson, "Als JSON ausgeben");
    apple->callback([] { importAppleMusic(playlist, libraries, asJson); });

    auto* am = root.add_subcommand("applemusic", "Apple Music: Playlists der Musikbibliothek, Nutzer-Token");
    am->require_subcommand(1);
    auto* pls = am->add_subcommand("playlists", "Playlists der Musikbibliothek (XML-Export)");
    pls->add_flag("--json", asJson, "Als JSON ausgeben");
    pls->callback([] { applePlaylists(asJson); });
    auto* tok = am->add_subcommand("token", "Music-User-Token für das Anlegen von Playlists (leer: entfernen)");
    tok->add_option("TOKEN", token, "Token");
    tok->callback([] { setUserToken(token); });
});

}  // namespace
}  // namespace fv::app
