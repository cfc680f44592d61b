// floorvote import spotify URL|ID: a Spotify playlist of the DJ matched against the DJ's libraries.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <fmt/format.h>

#include "app/CommandSupport.hpp"
#include "app/Commands.hpp"
#include "app/ImportSupport.hpp"
#include "app/SpotifySupport.hpp"
#include "djsoftware/SpotifyService.hpp"

namespace fv::app {
namespace {

void importSpotify(const std::string& input, const std::vector<std::string>& libraries, bool asJson) {
    start();
    auto id = SpotifyService::extractPlaylistId(input);
    if (!id) throw CommandFailed{1, std::string(SpotifyError(SpotifyError::Kind::invalidPlaylistUrl).what()) + ": " + input};
    // The libraries first: without one there is nothing to ask Spotify for.
    auto sources = resolveLibrarySources(libraries);
    SpotifySession spotify;
    auto& svc = spotify.service();
    if (!svc.isLoggedIn())
        throw CommandFailed{1, std::string(SpotifyError(SpotifyError::Kind::notLoggedIn).what()) +
                                   " (floorvote spotify login)"};
    SpotifyPlaylistMeta meta;
    SpotifyTrackList list;
    try {
        meta = await(svc.fetchPlaylistMeta(*id));
        list = await(svc.fetchPlaylistTracks(*id));
    } catch (const SpotifyError& e) {
        throw CommandFailed{1, e.what()};
    }
    if (list.skipped > 0)
        complain(fmt::format("{} Einträge der Playlist sind keine Titel (Podcast-Folgen, nicht mehr verfügbare oder "
                             "unlesbare Einträge) und fehlen im Abgleich.",
                             list.skipped));
    PlaylistImportSession session;
    session.playlistName = meta.name;
    session.playlistOwner = meta.ownerName;
    matchPlaylist(session, list.tracks, sources, asJson);
    renderImportResults(session, sources, asJson);
}

CommandRegistrar reg(48, [](CLI::App& root) {
    static std::string playlist;
    static std::vector<std::string> libraries;
    static bool asJson = false;
    auto* cmd =
        importCommand(root)->add_subcommand("spotify", "Eine eigene Spotify-Playlist mit den Bibliotheken abgleichen");
    cmd->add_option("PLAYLIST", playlist, "Link, spotify:playlist:… oder ID der Playlist")->required();
    cmd->add_option("--library", libraries,
                    "rekordbox, serato, virtualdj, mixxx, applemusic oder ein Ordner (mehrfach möglich)");
    cmd->add_flag("--json", asJson, "Als JSON ausgeben");
    cmd->callback([] { importSpotify(playlist, libraries, asJson); });
});

}  // namespace
}  // namespace fv::app
