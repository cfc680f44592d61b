#pragma once
// The live event session on the main loop: connects to the active event, keeps the lists current
// from the realtime channel and REST, announces arrivals and carries out the DJ's actions.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "session/AppSettings.hpp"
#include "session/NotificationStore.hpp"
#include "session/Records.hpp"
#include "session/RequestStore.hpp"
#include "session/WebSocketManager.hpp"

namespace fv {

class APIClient;
class DJSoftwareManager;
class Notifier;

// One failed action on one id, with the service's error text.
struct ActionFailure {
    int64_t id;
    std::string error;
};

class AppStore {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    AppStore(APIClient& api, std::shared_ptr<Notifier> notifier, DJSoftwareManager& dj);
    ~AppStore();
    AppStore(const AppStore&) = delete;
    AppStore& operator=(const AppStore&) = delete;

    RequestStore requestStore;
    MessageStore messageStore;
    NotificationStore notificationStore;
    WebSocketManager webSocket;

    // The working copy of the settings; every change made through the store is saved at once.
    const AppSettings& settings() const { return settings_; }
    void updateSettings(const std::function<void(AppSettings&)>& fn);
    void reloadSettings();

    const std::optional<DJEvent>& event() const { return event_; }
    const EventStats& stats() const { return stats_; }
    int64_t guestCount() const { return guestCount_; }
    const std::vector<Track>& cachedTracks() const { return cachedTracks_; }
    const std::optional<EventPreferences>& preferences() const { return preferences_; }
    bool isAuthenticated() const { return isAuthenticated_; }
    bool isConnecting() const { return isConnecting_; }
    const std::optional<std::string>& connectionError() const { return connectionError_; }
    const std::set<int64_t>& knownRequestIds() const { return knownRequestIds_; }
    const std::set<int64_t>& knownMessageIds() const { return knownMessageIds_; }
    // The DJ software in use after the safety check, and whether now playing is shown this session.
    const std::optional<std::string>& activeDjSoftware() const { return activeDjSoftware_; }
    bool showNowPlaying() const { return showNowPlaying_; }
    bool pollingActive() const { return pollingActive_; }

    DJSoftwareManager& djManager() { return dj_; }

    Task<void> connectToEvent();
    Task<void> setEventOnline();
    Task<void> setEventOffline();
    void configureBridges();
    // Ends the session: channel closed, polling stopped.
    void shutdown();

    // Request actions: one PATCH per id; the local copy changes only where the service agreed.
    Task<std::vector<ActionFailure>> confirm(std::vector<int64_t> ids);
    Task<std::vector<ActionFailure>> decline(std::vector<int64_t> ids);
    Task<std::vector<ActionFailure>> markPlayed(std::vector<int64_t> ids);
    // Message actions; they throw the service's error.
    Task<void> reply(int64_t messageId, std::string text);
    Task<void> broadcast(std::string text, std::optional<std::string> imageUrl = std::nullopt);
    Task<void> deleteMessage(int64_t messageId);
    Task<void> deleteAllMessages();

    // The event's contest as the channel last told it (null before any contest event).
    const json& contest() const { return contest_; }
    const json& lastContestWinner() const { return lastContestWinner_; }

    // A track of the served library tagged at a player: confirms the pending requests for it.
    Task<void> confirmFromTag(std::string rekordboxId);
    // The DJ software reports a new track playing.
    Task<void> reportNowPlaying(std::string title, std::string artist);

    // Requests already written into the DJ software playlist, kept per event.
    const std::set<int64_t>& exportedRequestIds() const { return exportedRequestIds_; }
    void markExported(const std::vector<int64_t>& ids);
    // Adds to the stored set of an event without a live session (the one-shot sync).
    static void storeExported(const std::string& eventId, const std::vector<int64_t>& ids);
    // Writes the confirmed requests into the event's playlist of the DJ software and records them
    // as exported; returns how many requests are in it now (none when nothing could be written).
    Task<std::optional<size_t>> syncToDJSoftware();

    // Hooks for the overlay and the playlist export: called on the main loop for each request the
    // service confirmed.
    std::function<void(const MusicRequest&)> onRequestConfirmed;
    // What the stream overlay shows, as it happens (all on the main loop).
    std::function<void(const NowPlayingInfo&)> onNowPlaying;
    std::function<void(int64_t)> onGuestCount;
    std::function<void(const std::string&)> onBroadcastSent;
    // Where link log lines go (the CDJ link log once that runs).
    std::function<void(const std::string& tag, const std::string& message)> linkLog;
    // Ads shown or hidden for the event (also those started from elsewhere, e.g. the web dashboard).
    std::function<void(const json&)> onAdShow;
    std::function<void()> onAdHide;
    // Called after the lists were reloaded because the channel came back.
    std::function<void(size_t newRequests, size_t newMessages)> onResynced;

    // Called on the main loop after something the session shows changed (lists, event, counts,
    // the channel's state); several views may listen, each as long as it keeps the handle.
    std::shared_ptr<void> observe(std::function<void()> fn);
    void notifyObservers();

private:
    Task<void> attempt(int n, const std::string& id);
    Task<void> backgroundSetup();
    Task<void> resync();
    Task<std::vector<ActionFailure>> setStatus(std::vector<int64_t> ids, RequestStatus status);
    void installChannelCallbacks();
    void announceRequests(const std::vector<MusicRequest>& batch);
    void announceMessages(const std::vector<GuestMessage>& batch);
    bool shouldPoll() const;
    bool softwareSupportsNowPlaying() const;
    void startDJPolling();
    void stopDJPolling();
    void loadExported();
    void syncIfNotExported();
    bool confirmedNotExported() const;
    void nowPlayingFromDJ(const NowPlayingInfo& info);

    APIClient& api_;
    std::shared_ptr<Notifier> notifier_;
    DJSoftwareManager& dj_;
    AppSettings settings_;
    std::optional<DJEvent> event_;
    std::optional<EventPreferences> preferences_;
    EventStats stats_;
    int64_t guestCount_ = 0;
    std::vector<Track> cachedTracks_;
    bool isAuthenticated_ = false;
    bool isConnecting_ = false;
    std::optional<std::string> connectionError_;
    std::set<int64_t> knownRequestIds_, knownMessageIds_, exportedRequestIds_;
    std::optional<std::string> activeDjSoftware_;
    bool showNowPlaying_ = true;
    bool pollingActive_ = false;
    bool channelFailed_ = false;  // the channel was in error since it last connected
    bool resyncRunning_ = false;
    bool resyncAgain_ = false;
    bool syncRunning_ = false;
    bool syncAgain_ = false;
    std::optional<std::pair<std::string, std::string>> lastDJNowPlaying_;  // title, artist
    json contest_, lastContestWinner_;
    std::vector<std::weak_ptr<std::function<void()>>> observers_;
    std::shared_ptr<bool> alive_;
};

}  // namespace fv
