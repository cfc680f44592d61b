#pragma once
// Writes a list of tracks as a new playlist into one DJ program or streaming service in a single
// action. VirtualDJ folders and Serato crates are written here; rekordbox, Mixxx, Spotify and Apple
// Music are reached through what the caller hands in. Every outcome is an ExportResult; nothing is
// thrown to the caller.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/Json.hpp"
#include "djsoftware/DJSoftwareType.hpp"
#include "session/Records.hpp"

namespace fv {

class DJSoftwareBridge;
class MixxxBridge;
class RekordboxBridge;

struct ExportResult {
    DJSoftwareType software = DJSoftwareType::virtualDJ;
    int exported = 0;
    int skipped = 0;
    std::optional<std::string> error;

    json toJson() const;
    // One line for the DJ: what was written, or the error.
    std::string summary() const;
    bool operator==(const ExportResult&) const = default;
};

class PlaylistExportService {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    // How the targets that are not plain files are reached; an absent one fails its export with
    // a clear text.
    struct Targets {
        // rekordbox: the playlist, its content ids and the content made for files, in one transaction.
        std::shared_ptr<RekordboxBridge> rekordbox;
        // Mixxx: the whole playlist is written in one transaction.
        std::shared_ptr<MixxxBridge> mixxx;
        // Spotify: a new playlist of the user, then its items (track URIs) in chunks of 100.
        std::function<Task<std::string>(std::string name)> spotifyCreatePlaylist;
        std::function<Task<void>(std::string playlistId, std::vector<std::string> uris)> spotifyAddItems;
        // Apple Music: a library playlist with the catalogue ids.
        std::function<Task<void>(std::string name, std::vector<std::string> ids)> appleMusicCreatePlaylist;
    };

    PlaylistExportService() = default;
    explicit PlaylistExportService(Targets targets) : targets_(std::move(targets)) {}

    // folder: the VirtualDJ or Serato library folder (unused for the others).
    Task<ExportResult> exportTracks(std::vector<Track> tracks, DJSoftwareType software, std::string name,
                                    std::string folder);

    static std::vector<Track> exportableTracks(const std::vector<Track>& tracks, DJSoftwareType software);
    // The user's name trimmed, each of / \ : * ? " < > | splitting it, the pieces joined with "_".
    static std::string sanitizedName(std::string_view name);
    // The file path a track is written with for Serato and VirtualDJ (none when it has none).
    static std::optional<std::string> filePath(const Track& track);

private:
    ExportResult exportVirtualDJ(const std::vector<Track>& tracks, const std::string& name, const std::string& folder);
    ExportResult exportSerato(const std::vector<Track>& tracks, const std::string& name, const std::string& folder);
    Task<ExportResult> exportRekordbox(const std::vector<Track>& tracks, const std::string& name);
    Task<ExportResult> exportMixxx(const std::vector<Track>& tracks, const std::string& name);
    Task<ExportResult> exportSpotify(const std::vector<Track>& tracks, const std::string& name);
    Task<ExportResult> exportAppleMusic(const std::vector<Track>& tracks, const std::string& name);

    Targets targets_;
};

}  // namespace fv
