#pragma once
// VirtualDJ: now playing and deck loading over its network-control HTTP interface on 127.0.0.1,
// playlists as folder lists in "MyLists" of its home folder, the library in "database.xml".
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "djsoftware/DJSoftwareBridge.hpp"
#include "djsoftware/VDJFiles.hpp"

namespace fv {

struct VDJExecuteResult {
    int status = 0;  // 0 when the answer was not HTTP
    std::string body;
};

class VirtualDJBridge : public DJSoftwareBridge {
public:
    static constexpr int defaultHttpPort = 80;
    static constexpr const char* passwordKey = "virtualDJPassword";

    DJSoftwareType softwareType() const override { return DJSoftwareType::virtualDJ; }
    Task<bool> isAvailable() override;
    Task<std::optional<DJNowPlaying>> getCurrentlyPlaying() override;
    Task<std::string> createPlaylist(std::string name) override;
    Task<void> addTrackToPlaylist(std::string path, std::string folder, std::size_t position) override;
    Task<void> removeTrackFromPlaylist(std::string path, std::string folder) override;
    Task<void> reorderPlaylist(std::string folder, std::vector<std::string> paths) override;
    Task<bool> playlistExists(std::string folder) override;
    BridgeStatus configure(const AppSettings& settings) override;
    Task<BridgeStatus> refreshStatus(BridgeStatus configured) override;
    std::string location() const override { return basePath().string(); }

    // Deck 1 to 4; true when VirtualDJ took the file (or already had it on that deck).
    Task<bool> loadTrack(std::string path, int deck);
    Task<VDJExecuteResult> executeVDJ(std::string script);
    Task<std::string> query(std::string script);

    // A missing or unreadable file is an empty list; a broken one throws VDJFileError.
    std::vector<VDJFolderSong> readFolder(const std::filesystem::path& path) const;
    void writeFolder(const std::vector<VDJFolderSong>& songs, const std::filesystem::path& path) const;
    std::map<std::string, VDJTrackInfo> readDatabase() const;

    std::filesystem::path basePath() const;
    std::filesystem::path databasePath() const { return basePath() / "database.xml"; }

    int httpPort = defaultHttpPort;
    // Sent as a bearer token when set (the plugin can ask for one).
    std::optional<std::string> password;
    std::string customBasePath;
    // Limits of the two calls (tests shorten them).
    std::chrono::milliseconds queryTimeout{2000};
    std::chrono::milliseconds executeTimeout{5000};

private:
    void writeOrderFile() const;
};

}  // namespace fv
