#pragma once
// Serato DJ through its files: playlists are crates in the library folder's crates folder, the
// last played track comes from the newest history session.
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "djsoftware/DJSoftwareBridge.hpp"

namespace fv {

class SeratoBridge : public DJSoftwareBridge {
public:
    DJSoftwareType softwareType() const override { return DJSoftwareType::serato; }
    Task<bool> isAvailable() override;
    // Read on request only: the manager does not poll Serato.
    Task<std::optional<DJNowPlaying>> getCurrentlyPlaying() override;
    Task<std::string> createPlaylist(std::string name) override;
    Task<void> addTrackToPlaylist(std::string path, std::string crate, std::size_t position) override;
    Task<void> removeTrackFromPlaylist(std::string path, std::string crate) override;
    Task<void> reorderPlaylist(std::string crate, std::vector<std::string> paths) override;
    Task<bool> playlistExists(std::string crate) override;
    BridgeStatus configure(const AppSettings& settings) override;
    Task<BridgeStatus> refreshStatus(BridgeStatus configured) override;
    std::string location() const override { return basePath().string(); }
    bool supportsNowPlayingPolling() const override { return false; }

    // A missing crate is empty; an unreadable or damaged one throws (so it is never rewritten).
    std::vector<std::string> readCrate(const std::filesystem::path& path) const;
    // Keeps a backup copy of the old crate beside it, then replaces the crate whole.
    void writeCrate(const std::vector<std::string>& paths, const std::filesystem::path& path) const;
    // The whole file, read off the main loop; nothing when reading fails or takes longer than the limit.
    Task<std::optional<std::string>> seratoReadWithTimeout(std::filesystem::path path) const;

    std::filesystem::path basePath() const;
    // The existing crates folder whatever its case ("Subcrates", "SubCrates"), else "Subcrates".
    std::filesystem::path cratesFolder() const;

    std::string customBasePath;
    std::chrono::milliseconds readTimeout{3000};

private:
    bool chosen_ = false;  // the path came from the DJ, not from looking
};

}  // namespace fv
