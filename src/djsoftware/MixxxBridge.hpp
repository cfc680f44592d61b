#pragma once
// Mixxx through its library database (mixxxdb.sqlite): playlists are rows of Playlists and
// PlaylistTracks, now playing is the last entry of the newest history playlist. Mixxx keeps its
// library in memory and writes it back, so writes happen only while no Mixxx runs; reads open
// the database read-only at any time. SQLite work runs off the main loop.
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "djsoftware/DJSoftwareBridge.hpp"

namespace fv {

class MixxxBridge : public DJSoftwareBridge {
public:
    MixxxBridge();

    DJSoftwareType softwareType() const override { return DJSoftwareType::mixxx; }
    Task<bool> isAvailable() override;
    Task<std::optional<DJNowPlaying>> getCurrentlyPlaying() override;
    // Playlist identifiers are Playlists.id as decimal text; track identifiers are file paths.
    Task<std::string> createPlaylist(std::string name) override;
    Task<void> addTrackToPlaylist(std::string path, std::string playlistId, std::size_t position) override;
    Task<void> removeTrackFromPlaylist(std::string path, std::string playlistId) override;
    Task<void> reorderPlaylist(std::string playlistId, std::vector<std::string> paths) override;
    Task<bool> playlistExists(std::string playlistId) override;
    BridgeStatus configure(const AppSettings& settings) override;
    Task<BridgeStatus> refreshStatus(BridgeStatus configured) override;
    std::string location() const override { return databasePath().string(); }

    // A playlist named exactly `name` (made when missing) holding exactly these files in this order,
    // files not yet in the library added: one transaction, so a failure leaves the database as it was.
    // Returns the playlist's identifier.
    Task<std::string> writePlaylist(std::string name, std::vector<std::string> paths);

    // The file paths of a playlist in order (for checks and the status command).
    Task<std::vector<std::string>> playlistPaths(std::string playlistId);

    std::filesystem::path basePath() const;
    std::filesystem::path databasePath() const { return basePath() / "mixxxdb.sqlite"; }

    std::string customBasePath;
    // Whether a Mixxx process runs (the process check; tests may replace it).
    std::function<bool()> isMixxxRunning;
    // How long a read or write waits for a lock Mixxx holds.
    std::chrono::milliseconds busyTimeout{2000};

private:
    bool chosen_ = false;
};

}  // namespace fv
