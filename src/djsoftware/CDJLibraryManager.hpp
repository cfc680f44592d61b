#pragma once
// Decides when this computer is a Pro DJ Link media source and what it serves: off, waiting in
// standby for players, or active with the link server; builds the served library from the event's
// requests through rekordbox and reports now playing, played tracks and tagged tracks.
//
// It sits above the link (it builds on the session's records and the rekordbox service), so it
// lives with the rekordbox bridge. Everything here runs on the main loop; the link's callbacks hop
// there, calls into the server run on its queue.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "cdjlink/CDJLinkServer.hpp"
#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJModels.hpp"
#include "core/Json.hpp"
#include "session/Records.hpp"

namespace fv {

class RekordboxService;
class SerialQueue;
class Timer;

namespace cdj {
class CDJDiscovery;
}

// Served playlist ids.
inline constexpr uint32_t cdjConfirmedListId = 4711, cdjWishListId = 4712, cdjTopVotesListId = 4713,
                          cdjPlayedListId = 4714, cdjEventListId = 4715, cdjMessagesListId = 4716;
// Track ids of entries that are not rekordbox content: a request's own file, a guest message.
inline constexpr uint32_t cdjOwnFileIdBase = 0x80000000u, cdjMessageIdBase = 0xF0000000u;

class CDJLibraryManager {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    enum class Mode { off, standby, active };

    struct Timings {
        std::chrono::milliseconds retry{10000};
        std::chrono::milliseconds idle{30000};
        std::chrono::milliseconds rekordboxWatch{5000};
        std::chrono::milliseconds playTick{2000};
        std::chrono::milliseconds debounce{300};
        std::chrono::milliseconds deckFresh{10000};
    };

    struct Options {
        Timings timings;
        // Where tracks.json, idmap.json and the artwork live ($XDG_DATA_HOME/Floorvote/CDJLibrary).
        std::filesystem::path cacheFolder;
        std::function<bool()> isRekordboxRunning;
        cdj::CDJLinkServerOptions serverOptions;
        // Runs on the queue of each new link server and passive listener before it starts (tests
        // move it into a network namespace there).
        std::function<void(SerialQueue&)> prepareQueue;
    };

    // What the rekordbox bridge of the DJ software settings points at.
    struct RekordboxPaths {
        std::string dbPath;
        std::string appSupportPath;
    };

    // The event playlist for list 4715: its name and rekordbox content ids in order.
    struct EventPlaylist {
        std::string name;
        std::vector<uint32_t> contentIds;
    };

    CDJLibraryManager(RekordboxService& rekordbox, std::function<RekordboxPaths()> rekordboxPaths, Options options);
    ~CDJLibraryManager();
    CDJLibraryManager(const CDJLibraryManager&) = delete;
    CDJLibraryManager& operator=(const CDJLibraryManager&) = delete;

    void applySettings(bool enabled, const cdj::CDJLinkSettings& settings);
    void setEventOnline(bool online);
    // Schedules a library build (bursts of updates cause one).
    void update(std::vector<MusicRequest> requests, std::vector<Track> tracks);
    void setMessages(std::vector<GuestMessage> messages);
    std::function<Task<std::optional<EventPlaylist>>()> eventPlaylistLoader;

    std::function<void(const std::string& title, const std::string& artist, const std::string& id)> onNowPlaying;
    std::function<void(const std::string& id)> onTrackPlayed;
    std::function<void(const std::string& id)> onTagAdded;

    Mode mode() const { return mode_; }
    static const char* modeName(Mode m);
    bool isRunning() const { return isRunning_; }
    const std::string& statusText() const { return statusText_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    const std::vector<cdj::CDJPeer>& peers() const { return peers_; }
    const std::vector<cdj::CDJPeer>& standbyPeers() const { return standbyPeers_; }
    const std::map<int64_t, cdj::CDJDeckState>& decks() const { return decks_; }
    const std::vector<uint32_t>& tagList() const { return tagList_; }
    size_t servedTrackCount() const { return servedTrackCount_; }
    size_t cacheCount() const { return cache_.size(); }
    const std::vector<uint32_t>& missingTrackIds() const { return missingTrackIds_; }
    bool isCaching() const { return isCaching_; }
    const std::vector<cdj::CDJLogEntry>& logEntries() const { return logEntries_; }
    const std::shared_ptr<cdj::CDJLibrary>& library() const { return library_; }
    const std::map<int64_t, uint32_t>& idMap() const { return idMap_; }
    // Count of the builds finished (tests wait for it).
    int64_t buildCount() const { return buildCount_; }
    // The request tracks a served id stands for (a rekordbox track may serve several).
    std::vector<int64_t> requestTrackIdsFor(uint32_t servedId) const;
    // Mode, status, peers and the served lists with their counts (for `floorvote cdj status`).
    json statusJson() const;

private:
    void turnOff();
    void enterStandby();
    void scheduleRetry();
    void standbyHandler(const std::vector<cdj::CDJPeer>& devices);
    void startActive(const cdj::CDJLinkSettings& settings);
    void stopActive();
    void peersChanged(const std::vector<cdj::CDJPeer>& peers);
    void deckChanged(const cdj::CDJDeckState& deck);
    void tagListChanged(const std::vector<uint32_t>& tags);
    void startWatch();
    void watchTick();
    void playTick();
    void rebuild();
    Task<void> build(int64_t generation);
    void replaceContent();
    void loadCache();
    void saveCache() const;
    bool hasMixer() const;
    void log(const std::string& tag, const std::string& message) const;

    RekordboxService& rekordbox_;
    std::function<RekordboxPaths()> rekordboxPaths_;
    Options options_;
    std::shared_ptr<bool> alive_;

    bool isRunning_ = false;
    std::string statusText_ = "Aus";
    std::optional<std::string> lastError_;
    std::vector<cdj::CDJPeer> peers_;
    std::map<int64_t, cdj::CDJDeckState> decks_;
    std::vector<uint32_t> tagList_;
    size_t servedTrackCount_ = 0;
    std::vector<uint32_t> missingTrackIds_;
    bool isCaching_ = false;
    std::vector<cdj::CDJLogEntry> logEntries_;

    std::shared_ptr<cdj::CDJLibrary> library_;
    std::shared_ptr<cdj::CDJLinkServer> server_;
    std::map<uint32_t, cdj::CDJTrack> cache_;
    std::vector<MusicRequest> lastRequests_;
    std::vector<Track> lastTracks_;
    std::vector<GuestMessage> messages_;
    std::optional<EventPlaylist> eventPlaylist_;
    std::shared_ptr<Timer> syncTask_;
    int64_t generation_ = 0;
    int64_t buildCount_ = 0;
    std::set<uint32_t> announcedPlaying_;
    std::map<int64_t, uint32_t> idMap_;
    std::set<int64_t> unresolvableTrackIds_;
    std::map<uint32_t, std::vector<int64_t>> servedFor_;
    Mode mode_ = Mode::off;
    std::shared_ptr<cdj::CDJDiscovery> discovery_;
    std::vector<cdj::CDJPeer> standbyPeers_;
    std::shared_ptr<Timer> retryTask_, idleTask_, rekordboxWatch_, playTimer_;
    std::optional<std::pair<bool, cdj::CDJLinkSettings>> currentSettings_;
    bool warnedNetworkRekordbox_ = false;
    bool rekordboxLocalRunning_ = false;
    bool eventOnline_ = false;
    std::map<std::string, double> playSeconds_;
};

}  // namespace fv
