// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "app/ExportSupport.hpp"

#include <map>

#include "app/SpotifySupport.hpp"
#include "djsoftware/AppleMusic.hpp"
#include "djsoftware/MixxxBridge.hpp"
#include "djsoftware/RekordboxBridge.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/SeratoBridge.hpp"
#include "djsoftware/SpotifyService.hpp"
#include "djsoftware/VirtualDJBridge.hpp"
#include "session/AppSettings.hpp"
#include "session/HttpClient.hpp"

namespace fv::app {

std::vector<Track> tracksOfRequests(const std::vector<MusicRequest>& requests, const std::vector<Track>& eventTracks,
                                    const std::string& which) {
    std::map<int64_t, const Track*> byId;
    for (const auto& t : eventTracks) byId[t.id] = &t;
    std::vector<Track> out;
    for (const auto& r : requests) {
        bool wanted = which == "all" || (which == "confirmed" && r.status == RequestStatus::confirmed) ||
                      (which == "played" && r.status == RequestStatus::played);
        if (!wanted) continue;
        if (auto it = byId.find(r.trackId); it != byId.end()) {
            out.push_back(*it->second);
        } else {
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

namespace {

// The service and its connection live as long as the export holds the hook.
boost::asio::awaitable<void> createApplePlaylist(std::shared_ptr<HttpClient> http,
                                                 std::shared_ptr<AppleMusicService> apple, std::string name,
                                                 std::vector<std::string> ids) {
    co_await apple->createLibraryPlaylist(std::move(name), std::move(ids));
    http->closeIdleConnections();
}

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

}  // namespace

boost::asio::awaitable<ExportResult> exportWithSettings(std::vector<Track> tracks, DJSoftwareType target,
                                                        std::string name, std::optional<std::string> folder) {
    AppSettings s = AppSettings::load();
    PlaylistExportService::Targets targets;
    if (target == DJSoftwareType::rekordbox) {
        auto rb = std::make_shared<RekordboxBridge>(RekordboxService::shared());
        rb->configure(s);
        targets.rekordbox = rb;
    } else if (target == DJSoftwareType::mixxx) {
        auto mixxx = std::make_shared<MixxxBridge>();
        mixxx->configure(s);
        if (folder) mixxx->customBasePath = *folder;
        targets.mixxx = mixxx;
    } else if (target == DJSoftwareType::spotify) {
        // Only a signed-in DJ can own the new playlist; without one the export says so.
        auto spotify = std::make_shared<SpotifySession>();
        if (spotify->service().isLoggedIn()) {
            targets.spotifyCreatePlaylist = [spotify](std::string playlistName) {
                return spotify->service().createPlaylist(std::move(playlistName));
            };
            targets.spotifyAddItems = [spotify](std::string playlistId, std::vector<std::string> uris) {
                return spotify->service().addTracks(std::move(playlistId), std::move(uris));
            };
        }
    } else if (target == DJSoftwareType::appleMusic) {
        auto http = std::make_shared<HttpClient>();
        auto apple = std::make_shared<AppleMusicService>(*http, AppleMusicService::apiBaseFromEnvironment(),
                                                         AppleMusicCredentials::fromKeychain());
        targets.appleMusicCreatePlaylist = [http, apple](std::string name, std::vector<std::string> ids) {
            return createApplePlaylist(http, apple, std::move(name), std::move(ids));
        };
    }
    PlaylistExportService exporter(targets);
    std::string where = targetFolder(target, folder, s);
    co_return co_await exporter.exportTracks(std::move(tracks), target, std::move(name), std::move(where));
}

}  // namespace fv::app
