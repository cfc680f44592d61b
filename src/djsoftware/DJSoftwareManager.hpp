#pragma once
// Owns one bridge per DJ program, keeps a status per program, picks the bridge of the active
// event, keeps the event's playlist in it, polls now playing and loads tracks onto a VirtualDJ
// deck. Lives on the main loop; every method is called there.
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "djsoftware/DJSoftwareBridge.hpp"
#include "session/Records.hpp"

namespace fv {

struct AppSettings;
class Cancellation;
class MixxxBridge;
class SeratoBridge;
class VirtualDJBridge;

// What one sync of the confirmed requests wrote.
struct DJSyncResult {
    bool ok = false;
    std::vector<int64_t> writtenRequestIds;  // in playlist order
    std::size_t skipped = 0;                 // confirmed requests without a file for the program
    std::optional<std::string> playlistId;
};

class DJSoftwareManager {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    // Creates the bridges built into this library; rekordbox comes in through setBridge.
    DJSoftwareManager();
    ~DJSoftwareManager();
    DJSoftwareManager(const DJSoftwareManager&) = delete;
    DJSoftwareManager& operator=(const DJSoftwareManager&) = delete;

    // The bridge of a program, or null (Spotify, Apple Music, a bridge not built in).
    std::shared_ptr<DJSoftwareBridge> bridge(DJSoftwareType t) const;
    // Replaces the bridge of bridge->softwareType(); its status starts at notConfigured.
    void setBridge(std::shared_ptr<DJSoftwareBridge> bridge);
    DJSoftwareBridge* rekordboxBridge() const;
    VirtualDJBridge* virtualDJBridge() const;
    SeratoBridge* seratoBridge() const;
    MixxxBridge* mixxxBridge() const;

    const std::optional<DJNowPlaying>& currentlyPlaying() const { return currentlyPlaying_; }
    const std::optional<std::string>& djSoftwarePlaylistId() const { return djSoftwarePlaylistId_; }
    bool isPolling() const { return isPolling_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    const std::optional<std::string>& playlistStatus() const { return playlistStatus_; }
    bool playlistFound() const { return playlistFound_; }

    BridgeStatus status(DJSoftwareType t) const;
    BridgeStatus rekordboxBridgeStatus() const { return status(DJSoftwareType::rekordbox); }
    BridgeStatus seratoBridgeStatus() const { return status(DJSoftwareType::serato); }
    BridgeStatus virtualDJBridgeStatus() const { return status(DJSoftwareType::virtualDJ); }
    BridgeStatus mixxxBridgeStatus() const { return status(DJSoftwareType::mixxx); }

    // Called with every change of the playing track (title or artist), on the main loop.
    std::function<void(const NowPlayingInfo&)> onNowPlayingUpdated;

    // Hands the stored paths and folder choices to the bridges; statuses follow at once.
    void configureBridges(const AppSettings& settings);
    // Looks at each program's data and the active event's playlist.
    Task<void> refreshBridgeStatuses();

    // The program the event names as its DJ software (after the session's safety choice).
    std::optional<DJSoftwareType> activeSoftware(const std::string& eventId) const;
    std::shared_ptr<DJSoftwareBridge> activeBridge(const std::string& eventId) const;
    // The session may use another program than the event names (the configured fallback);
    // none drops the choice.
    void setSessionSoftware(const std::string& eventId, std::optional<DJSoftwareType> software);

    // Whether the program is usable on this computer: a path chosen or found, or its data there.
    Task<bool> isConfigured(DJSoftwareType t);
    // Whether polling would read now playing from the program.
    bool supportsNowPlaying(DJSoftwareType t) const;

    void startPolling(const std::string& eventId, int64_t intervalSeconds);
    void stopPolling();

    Task<std::optional<std::string>> checkPlaylist(std::string eventId);
    Task<std::optional<std::string>> ensurePlaylist(std::string eventId, std::string name);
    // Writes the tracks of the confirmed requests, in request order, into the event's playlist.
    Task<DJSyncResult> syncConfirmedRequests(std::string eventId, std::vector<MusicRequest> requests,
                                             std::vector<Track> tracks);
    // VirtualDJ only; one retry after 500 ms.
    Task<bool> loadTrackToDeck(std::string eventId, int64_t trackId, std::vector<Track> tracks, int deck);

    static std::optional<std::string> djTrackIdentifier(const Track& track, DJSoftwareType software);
    // The playlist identifier kept in the event's preferences for the program.
    static std::optional<std::string> storedPlaylistId(const std::string& eventId, DJSoftwareType software);
    static void storePlaylistId(const std::string& eventId, DJSoftwareType software, const std::string& id);

    // A now-playing read that takes longer is abandoned (tests shorten it).
    void setNowPlayingTimeout(std::chrono::milliseconds d) { nowPlayingTimeout_ = d; }
    void setLoadRetryDelay(std::chrono::milliseconds d) { loadRetryDelay_ = d; }

private:
    Task<void> pollLoop(std::string eventId, std::shared_ptr<DJSoftwareBridge> bridge, std::chrono::seconds interval,
                        std::shared_ptr<Cancellation> cancel);
    Task<std::optional<DJNowPlaying>> readNowPlaying(std::shared_ptr<DJSoftwareBridge> bridge);
    Task<bool> loadOnVirtualDJ(std::shared_ptr<DJSoftwareBridge> bridge, std::string path, int deck);

    std::map<DJSoftwareType, std::shared_ptr<DJSoftwareBridge>> bridges_;
    std::map<DJSoftwareType, BridgeStatus> statuses_;
    std::map<std::string, DJSoftwareType> sessionSoftware_;
    std::string activeEventId_;

    std::optional<DJNowPlaying> currentlyPlaying_;
    std::optional<std::string> djSoftwarePlaylistId_;
    bool isPolling_ = false;
    std::optional<std::string> lastError_;
    std::optional<std::string> playlistStatus_;
    bool playlistFound_ = false;
    std::shared_ptr<Cancellation> pollingTask_;
    int64_t pollingInterval_ = 0;
    std::chrono::milliseconds nowPlayingTimeout_{5000};
    std::chrono::milliseconds loadRetryDelay_{500};
    std::shared_ptr<bool> alive_;
};

}  // namespace fv
