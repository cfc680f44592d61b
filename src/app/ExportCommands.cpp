// floorvote export: the active event's requests (or a server playlist) as a new playlist in a DJ
// program or streaming service.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <fmt/format.h>

#include "app/CommandSupport.hpp"
#include "app/Commands.hpp"
#include "app/ExportSupport.hpp"
#include "djsoftware/PlaylistExportService.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"

namespace fv::app {
namespace {

std::vector<Track> serverPlaylist(int64_t id) {
    for (const auto& p : call(APIClient::shared().getPlaylists()).playlists)
        if (p.id == id) return p.tracks.value_or(std::vector<Track>{});
    throw CommandFailed{1, fmt::format("Playlist {} gibt es auf dem Server nicht.", id)};
}

void exportCommand(const std::string& targetName, const std::string& name, const std::string& which,
                   const std::optional<std::string>& folder, std::optional<int64_t> playlistId, bool asJson) {
    auto target = djSoftwareTypeFromRaw(targetName);
    if (!target)
        throw CommandFailed{2, "Unbekanntes Ziel: " + targetName +
                                   " (rekordbox, serato, virtualdj, mixxx, spotify, applemusic)"};
    if (which != "confirmed" && which != "played" && which != "all")
        throw CommandFailed{2, "--requests: confirmed, played oder all"};
    start();
    requireLogin();
    std::vector<Track> tracks;
    if (playlistId) {
        tracks = serverPlaylist(*playlistId);
    } else {
        auto eventId = activeEventOrFail();
        tracks = tracksOfRequests(call(APIClient::shared().getRequests(eventId)).requests,
                                  call(APIClient::shared().searchTracks(eventId)).tracks, which);
    }
    auto result = await(exportWithSettings(tracks, *target, name, folder));
    if (asJson) {
        say(result.toJson().dump(2));
    } else {
        say(result.summary());
    }
    if (result.error && result.exported == 0) throw CommandFailed{1, ""};
}

CommandRegistrar reg(46, [](CLI::App& root) {
    static std::string target, name, which = "confirmed";
    static std::optional<std::string> folder;
    static std::optional<int64_t> playlist;
    static bool asJson = false;
    auto* cmd = root.add_subcommand("export", "Wünsche oder eine Playlist als neue Playlist exportieren");
    cmd->add_option("ZIEL", target, "rekordbox, serato, virtualdj, mixxx, spotify oder applemusic")->required();
    cmd->add_option("NAME", name, "Name der neuen Playlist")->required();
    cmd->add_option("--requests", which, "confirmed (Standard), played oder all");
    cmd->add_option("--folder", folder, "Bibliotheksordner des Programms (wird gemerkt)");
    cmd->add_option("--playlist", playlist, "Eine Playlist vom Server statt der Wünsche");
    cmd->add_flag("--json", asJson, "Als JSON ausgeben");
    cmd->callback([] { exportCommand(target, name, which, folder, playlist, asJson); });
});

}  // namespace
}  // namespace fv::app
