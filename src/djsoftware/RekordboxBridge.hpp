#pragma once
// rekordbox behind the DJ software contract: playlist and content ids of master.db, every call
// through RekordboxService (so through the Python queue), writes refused while rekordbox runs.
#include <functional>
#include <string>

#include "core/Json.hpp"
#include "djsoftware/DJSoftwareBridge.hpp"

namespace fv {

class RekordboxService;

class RekordboxBridge : public DJSoftwareBridge {
public:
    explicit RekordboxBridge(RekordboxService& service);

    DJSoftwareType softwareType() const override { return DJSoftwareType::rekordbox; }
    // Both paths set (no file test).
    Task<bool> isAvailable() override;
    Task<std::optional<DJNowPlaying>> getCurrentlyPlaying() override;
    Task<std::string> createPlaylist(std::string name) override;
    Task<void> addTrackToPlaylist(std::string trackId, std::string playlistId, std::size_t position) override;
    Task<void> removeTrackFromPlaylist(std::string trackId, std::string playlistId) override;
    Task<void> reorderPlaylist(std::string playlistId, std::vector<std::string> trackIds) override;
    Task<bool> playlistExists(std::string playlistId) override;
    // The stored database and application-support paths, else a detected library.
    BridgeStatus configure(const AppSettings& settings) override;
    // Lists the playlists: "N Playlisten", or dbAccessFailed.
    Task<BridgeStatus> refreshStatus(BridgeStatus configured) override;

    // The content id of a file, made in rekordbox's collection when missing.
    Task<std::string> getOrCreateContentId(std::string filePath, std::string title, std::string artist,
                                           std::string album, std::string genre, int64_t durationSeconds);

    // A new playlist of these entries in one transaction: nothing changes unless all of it is written.
    // Each entry is {"content_id"} or a file {"path", "title", "artist", "album", "genre", "duration"};
    // the answer is {"playlist_id", "exported", "skipped"}.
    Task<json> exportPlaylist(std::string name, json entries);

    RekordboxService& service() { return service_; }
    std::string dbPath;
    std::string appSupportPath;
    // The running-rekordbox check before writes (tests replace it).
    std::function<bool()> isRekordboxRunning;

private:
    bool available() const;
    // Throws before any write; a plain function, so the throw happens outside a coroutine's await.
    void checkWritable() const;
    RekordboxService& service_;
};

}  // namespace fv
