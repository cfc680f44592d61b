// floorvote export: the active event's requests (or a server playlist) as a new playlist in a DJ
// program or streaming service.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <map>

#include <fmt/format.h>

#include "app/CommandSupport.hpp"
#include "app/Commands.hpp"
#include "djsoftware/MixxxBridge.hpp"
#include "djsoftware/PlaylistExportService.hpp"
#include "djsoftware/RekordboxBridge.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/SeratoBridge.hpp"
#include "djsoftware/VirtualDJBridge.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"

namespace fv::app {
namespace {

// The tracks behind the event's requests of the chosen statuses, in request order.
std::vector<Track> requestedTracks(const std::string& eventId, const std::string& which) {
    auto all = call(APIClient::shared().searchTracks(eventId)).tracks;
    std::map<int64_t, const Track*> byId;
    for (const auto& t : all) byId[t.id] = &t;
    auto requests = call(APIClient::shared().getRequests(eventId)).requests;
    std::vector<Track> out;
    for (const auto& r : requests) {
        bool wanted = which == "all" || (which == "confirmed" && r.status == RequestStatus::confirmed) ||
                      (which == "played" && r.status == RequestStatus::played);
        if (!wanted) continue;
        if (auto it = byId.find(r.trackId); it != byId.end()) {
            out.push_back(*it->second);
        } else {
            // A request for a title the event's list does not hold: what the request knows.
            Track t;
            t.id = r.trackId;
            t.title = r.title;
            t.artist = r.artist;
            t.bpm = r.bpm;
            t.keyNotation = r.keyNotation;
            out.push_back(t);
        }
    }
    return out;
}

std::vector<Track> serverPlaylist(int64_t id) {
    for (const auto& p : call(APIClient::shared().getPlaylists()).playlists)
        if (p.id == id) return p.tracks.value_or(std::vector<Track>{});
    throw CommandFailed{1, fmt::format("Playlist {} gibt es auf dem Server nicht.", id)};
}

// The library folder: the one given (kept for next time), the one kept, else the program's own.
std::string targetFolder(DJSoftwareType target, const std::optional<std::string>& given, const AppSettings& s) {
    std::string raw(rawValue(target));
    if (given) {
        AppSettings::modify([&](AppSettings& m) { m.playlistExportFolders[raw] = *given; });
        return *given;
    }
    if (auto it = s.playlistExportFolders.find(raw); it != s.playlistExportFolders.end() && !it->second.empty())
        return it->second;
    if (target == DJSoftwareType::serato) {
        SeratoBridge b;
        b.configure(s);
        return b.basePath().string();
    }
    if (target == DJSoftwareType::virtualDJ) {
        VirtualDJBridge b;
        b.configure(s);
        return b.basePath().string();
    }
    return {};
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
    std::vector<Track> tracks = playlistId ? serverPlaylist(*playlistId) : requestedTracks(activeEventOrFail(), which);
    AppSettings s = AppSettings::load();

    PlaylistExportService::Targets targets;
    if (*target == DJSoftwareType::rekordbox) {
        auto rb = std::make_shared<RekordboxBridge>(RekordboxService::shared());
        rb->configure(s);
        targets.rekordbox = rb;
    } else if (*target == DJSoftwareType::mixxx) {
        auto mixxx = std::make_shared<MixxxBridge>();
        mixxx->configure(s);
        if (folder) mixxx->customBasePath = *folder;
        targets.mixxx = mixxx;
    }
    PlaylistExportService exporter(targets);
    auto result = await(exporter.exportTracks(tracks, *target, name, targetFolder(*target, folder, s)));
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
