// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "session/AppStore.hpp"

#include <filesystem>

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/Log.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "core/MainLoop.hpp"
#include "core/Paths.hpp"
#include "core/SerialQueue.hpp"
#include "core/Strings.hpp"
#include "platform/DefaultsStore.hpp"
#include "platform/Notifier.hpp"
#include "session/APIClient.hpp"
#include "session/APIError.hpp"

namespace fv {

namespace asio = boost::asio;

namespace {

void log(const std::string& m) { logLine("AppStore", m); }
void logAttempt(int n, const std::string& m) { log("[" + std::to_string(n) + "] " + m); }
const char* boolText(bool b) { return b ? "true" : "false"; }

// A text field of a contest payload for the log; the payload's form is the service's to choose.
std::string contestText(const json& j, const char* key) {
    if (!j.is_object()) return "?";
    for (const char* k : {key, "name", "title", "id"}) {
        auto v = j.find(k);
        if (v == j.end()) continue;
        if (v->is_string() && !v->get<std::string>().empty()) return v->get<std::string>();
        if (v->is_number_integer()) return std::to_string(v->get<int64_t>());
    }
    return "?";
}

// The programs whose data lives on this computer (the streaming services live elsewhere).
bool isKnownSoftware(const std::string& kind) {
    return kind == "rekordbox" || kind == "serato" || kind == "virtualdj" || kind == "mixxx";
}

std::string exportedKey(const std::string& eventId) { return "exportedRequestIds_" + eventId; }

}  // namespace

AppStore::AppStore(APIClient& api, std::shared_ptr<Notifier> notifier, DJSoftwareManager& dj)
    : notificationStore(api), api_(api), notifier_(std::move(notifier)), dj_(dj), settings_(AppSettings::load()),
      alive_(std::make_shared<bool>(true)) {
    linkLog = [](const std::string& tag, const std::string& message) { logLine("CDJLink " + tag, message); };
    requestStore.onRequestsChanged = [this] { notifyObservers(); };
    messageStore.onMessagesChanged = [this] { notifyObservers(); };
    installChannelCallbacks();
    dj_.onNowPlayingUpdated = [this](const NowPlayingInfo& info) { nowPlayingFromDJ(info); };
}

std::shared_ptr<void> AppStore::observe(std::function<void()> fn) {
    auto handle = std::make_shared<std::function<void()>>(std::move(fn));
    observers_.push_back(handle);
    return handle;
}

void AppStore::notifyObservers() {
    std::erase_if(observers_, [](const auto& w) { return w.expired(); });
    for (auto& w : std::vector(observers_))
        if (auto fn = w.lock()) (*fn)();
}

AppStore::~AppStore() {
    *alive_ = false;
    dj_.onNowPlayingUpdated = nullptr;
    webSocket.disconnect();
}

void AppStore::updateSettings(const std::function<void(AppSettings&)>& fn) {
    settings_ = AppSettings::modify(fn);
}

void AppStore::reloadSettings() { settings_ = AppSettings::load(); }

// The attempt loop.

AppStore::Task<void> AppStore::connectToEvent() {
    if (isConnecting_) {
        log("connectToEvent: already connecting — skipping re-entrant call");
        co_return;
    }
    reloadSettings();
    std::string id = settings_.activeEventId;
    if (id.empty()) {
        log("connectToEvent: no activeEventId — skipping");
        co_return;
    }
    isConnecting_ = true;
    connectionError_.reset();
    log("connectToEvent START for event: " + id);
    notifyObservers();
    auto alive = alive_;
    bool ok = false;
    for (int n = 1; n <= 3; ++n) {
        std::string failure;
        try {
            co_await attempt(n, id);
            ok = true;
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (!*alive) co_return;
        if (ok) break;
        logAttempt(n, "ERROR: " + failure);
        if (n < 3) {
            int wait = n == 1 ? 1 : 3;
            logAttempt(n, "retrying in " + std::to_string(wait) + "s…");
            co_await sleepFor(std::chrono::seconds(wait));
            if (!*alive) co_return;
        } else {
            log("connectToEvent FAILED: " + failure);
            connectionError_ = failure;
        }
    }
    isConnecting_ = false;
    notifyObservers();
    if (!ok) co_return;
    log("about to configureBridges…");
    configureBridges();
    log("configureBridges done");
    loadExported();
    co_await backgroundSetup();
}

AppStore::Task<void> AppStore::attempt(int n, const std::string& id) {
    logAttempt(n, "health check…");
    bool healthy = co_await api_.healthCheck();
    if (!healthy) throw std::runtime_error("Server nicht erreichbar (Health-Check fehlgeschlagen)");
    logAttempt(n, "health OK");

    if (!settings_.djPin.empty()) {
        logAttempt(n, "auth via PIN…");
        DJAuthResponse auth = co_await api_.verifyDJPin(id, settings_.djPin);
        if (!auth.success) throw APIError(APIError::Kind::unauthorized);
        logAttempt(n, "PIN auth OK");
    } else {
        logAttempt(n, "auth via Bearer token");
    }
    isAuthenticated_ = true;

    logAttempt(n, "WebSocket connecting…");
    webSocket.connect(settings_.serverURL(), id);

    logAttempt(n, "loading event data…");
    std::optional<DJEvent> ev;
    bool missing = false;
    try {
        ev = co_await api_.getEvent(id);
    } catch (const APIError& e) {
        if (e.kind() != APIError::Kind::notFound) throw;
        missing = true;
    }
    if (missing) {
        logAttempt(n, "event not found on server, re-creating…");
        std::string eventName = "Event";
        for (const auto& saved : SavedEvents::loadAll())
            if (saved.id == id && !saved.eventName.empty()) eventName = saved.eventName;
        std::string pin = settings_.djPin.empty() ? "7391" : settings_.djPin;
        logAttempt(n, "re-creating with djName=" + settings_.djName + ", eventName=" + eventName + ", id=" + id);
        (void)co_await api_.recreateEvent(id, settings_.djName, eventName, pin);
        logAttempt(n, "event re-created OK");
        ev = co_await api_.getEvent(id);
    }
    event_ = std::move(ev);
    guestCount_ = event_->guestCount;
    logAttempt(n, std::string("event loaded, isActive=") + boolText(event_->isActive));

    logAttempt(n, "loading requests…");
    RequestsResponse requests = co_await api_.getRequests(id);
    for (const auto& r : requests.requests) knownRequestIds_.insert(r.id);
    size_t requestCount = requests.requests.size();
    requestStore.setRequests(std::move(requests.requests));
    logAttempt(n, "requests OK: " + std::to_string(requestCount));

    logAttempt(n, "loading messages…");
    MessagesResponse messages = co_await api_.getMessages(id);
    for (const auto& m : messages.messages) knownMessageIds_.insert(m.id);
    size_t messageCount = messages.messages.size();
    messageStore.setMessages(std::move(messages.messages));
    logAttempt(n, "messages OK: " + std::to_string(messageCount));

    logAttempt(n, "loading stats…");
    stats_ = co_await api_.getStats(id);
    logAttempt(n, "stats OK");

    logAttempt(n, "loading tracks…");
    TracksResponse tracks = co_await api_.searchTracks(id);
    cachedTracks_ = std::move(tracks.tracks);
    logAttempt(n, "tracks OK: " + std::to_string(cachedTracks_.size()));

    PreferencesResponse prefs = co_await api_.getPreferences(id);
    SavedEvent saved;
    bool found = false;
    for (const auto& e : SavedEvents::loadAll())
        if (e.id == id) {
            saved = e;
            found = true;
        }
    if (!found) {
        saved.id = id;
        saved.eventName = event_->eventName;
        saved.djName = event_->djName;
        saved.createdAt = isoNow();
    }
    // The service's values win; playlist ids the service does not keep stay as this computer knows them.
    std::map<std::string, std::string> localPlaylists;
    if (saved.preferences) localPlaylists = saved.preferences->djSoftwarePlaylistIds;
    saved.preferences = prefs.preferences;
    for (const auto& [kind, playlist] : localPlaylists) saved.preferences->djSoftwarePlaylistIds.emplace(kind, playlist);
    SavedEvents::upsert(saved);
    preferences_ = prefs.preferences;
    logAttempt(n, "preferences merged from server (activeDjSoftware=" +
                      prefs.preferences.activeDjSoftware.value_or("nil") + ")");

    activeDjSoftware_ = prefs.preferences.activeDjSoftware;
    showNowPlaying_ = prefs.preferences.showNowPlaying;
    // Whether a program is set up here is the manager's answer, from the paths in the settings.
    dj_.configureBridges(settings_);
    auto configuredHere = [this](std::string kind) -> Task<bool> {
        auto t = djSoftwareTypeFromRaw(kind);
        co_return t && co_await dj_.isConfigured(*t);
    };
    if (activeDjSoftware_ && isKnownSoftware(*activeDjSoftware_) && !co_await configuredHere(*activeDjSoftware_)) {
        std::string chosen = *activeDjSoftware_;
        std::optional<std::string> fallback;
        for (std::string kind : {"rekordbox", "virtualdj", "serato", "mixxx"})
            if (!fallback && co_await configuredHere(kind)) fallback = kind;
        if (fallback) {
            logAttempt(n, "safety: '" + chosen + "' not configured locally — falling back to '" + *fallback + "'");
            activeDjSoftware_ = fallback;
        } else {
            logAttempt(n, "safety: '" + chosen + "' not configured and no fallback — disabling nowPlaying");
            showNowPlaying_ = false;
        }
    }
    // The manager works with the program this session uses, the fallback included.
    dj_.setSessionSoftware(id, activeDjSoftware_ ? djSoftwareTypeFromRaw(*activeDjSoftware_) : std::nullopt);
    log("connectToEvent DONE ✓");
}

void AppStore::configureBridges() { dj_.configureBridges(settings_); }

bool AppStore::softwareSupportsNowPlaying() const {
    auto t = activeDjSoftware_ ? djSoftwareTypeFromRaw(*activeDjSoftware_) : std::nullopt;
    return t && dj_.supportsNowPlaying(*t);
}

bool AppStore::shouldPoll() const {
    return event_ && event_->isActive && showNowPlaying_ && softwareSupportsNowPlaying();
}

void AppStore::startDJPolling() {
    if (!event_) return;
    dj_.startPolling(event_->id, settings_.pollIntervalSecs);
    pollingActive_ = dj_.isPolling();
}

void AppStore::stopDJPolling() {
    dj_.stopPolling();
    pollingActive_ = false;
}

// Runs on the main loop: the bridges move their blocking work (files on slow volumes, another
// program's database) off it themselves.
AppStore::Task<void> AppStore::backgroundSetup() {
    if (!event_) co_return;
    DJEvent ev = *event_;
    auto alive = alive_;
    log(std::string("DJ background setup starting… thread=") + (MainLoop::shared().isCurrent() ? "MAIN" : "bg"));
    co_await dj_.refreshBridgeStatuses();
    if (!*alive) co_return;
    log("DJ bridge statuses refreshed");
    if (auto software = dj_.activeSoftware(ev.id); software && dj_.bridge(*software)) {
        // Arguments are named: GCC 12 destroys some temporaries of a co_await expression twice.
        std::string name = ev.eventName.empty() ? "Event" : ev.eventName;
        auto playlist = co_await dj_.ensurePlaylist(ev.id, name);
        if (!*alive) co_return;
        if (playlist) {
            log("DJ playlist checked/created: " + std::string(rawValue(*software)) + " " + *playlist + " (" +
                dj_.playlistStatus().value_or("") + ")");
            // Requests confirmed while no session ran (the web dashboard) are written now.
            if (confirmedNotExported()) {
                (void)co_await syncToDJSoftware();
                if (!*alive) co_return;
            }
        } else {
            log("DJ playlist not available in " + std::string(rawValue(*software)) + ": " +
                dj_.lastError().value_or(dj_.playlistStatus().value_or("?")));
        }
    } else {
        log("DJ playlist skipped — no DJ program bridge for activeDjSoftware=" + activeDjSoftware_.value_or("nil"));
    }
    if (shouldPoll()) {
        log(std::string("starting polling (event active + showNowPlaying=true + software=") +
            activeDjSoftware_.value_or("nil") + ")…");
        startDJPolling();
    } else {
        log(std::string("polling skipped — active=") + boolText(event_ && event_->isActive) +
            ", showNowPlaying=" + boolText(showNowPlaying_) + ", supported=" + boolText(softwareSupportsNowPlaying()));
    }
    log(pollingActive_ ? "DJ background setup done, polling started" : "DJ background setup done, polling not running");
}

AppStore::Task<void> AppStore::setEventOnline() {
    if (!event_) co_return;
    std::string id = event_->id;
    std::string failure;
    try {
        co_await api_.setEventActive(id, true);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) {
        log("setEventOnline FAILED: " + failure);
        co_return;
    }
    log("setEventOnline OK for " + id);
    event_->isActive = true;
    notifyObservers();
    if (shouldPoll()) {
        if (!dj_.isPolling()) startDJPolling();
    } else {
        log(std::string("setEventOnline: polling skipped — showNowPlaying=") + boolText(showNowPlaying_) +
            ", supported=" + boolText(softwareSupportsNowPlaying()));
    }
}

AppStore::Task<void> AppStore::setEventOffline() {
    if (!event_) co_return;
    std::string id = event_->id;
    std::string failure;
    try {
        co_await api_.setEventActive(id, false);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) {
        log("setEventOffline FAILED: " + failure);
        co_return;
    }
    event_->isActive = false;
    notifyObservers();
    stopDJPolling();
    log("setEventOffline OK for " + id);
}

void AppStore::shutdown() {
    webSocket.disconnect();
    stopDJPolling();
}

// Realtime.

void AppStore::installChannelCallbacks() {
    webSocket.onRequestsUpdated = [this](std::vector<MusicRequest> requests) {
        std::vector<MusicRequest> fresh;
        for (const auto& r : requests)
            if (knownRequestIds_.insert(r.id).second) fresh.push_back(r);
        requestStore.setRequests(std::move(requests));
        announceRequests(fresh);
        syncIfNotExported();
    };
    webSocket.onNewRequest = [this](std::vector<MusicRequest> requests) {
        std::vector<MusicRequest> fresh;
        for (const auto& r : requests)
            if (knownRequestIds_.insert(r.id).second) fresh.push_back(r);
        requestStore.add(requests);
        announceRequests(fresh);
        syncIfNotExported();
    };
    webSocket.onNewMessage = [this](std::vector<GuestMessage> messages) {
        std::vector<GuestMessage> fresh;
        for (const auto& m : messages)
            if (knownMessageIds_.insert(m.id).second && !m.isDjReply) fresh.push_back(m);
        messageStore.add(messages);
        announceMessages(fresh);
    };
    webSocket.onGuestCountChanged = [this](int64_t count) {
        guestCount_ = count;
        if (onGuestCount) onGuestCount(count);
        notifyObservers();
    };
    webSocket.onNowPlayingChanged = [this](NowPlayingInfo info) {
        if (event_) event_->nowPlaying = info;
        notifyObservers();
        // The service repeating what this computer reported is no change for the overlay.
        if (lastDJNowPlaying_ && lastDJNowPlaying_->first == info.trackTitle &&
            lastDJNowPlaying_->second == info.trackArtist)
            return;
        if (onNowPlaying) onNowPlaying(info);
    };
    webSocket.onPreferencesUpdated = [this](json changed) {
        if (!preferences_ || !changed.is_object()) return;
        // Apply only the keys that came, over the record as it stands; a bad value leaves it alone.
        json merged = preferences_->toJson();
        for (auto it = changed.begin(); it != changed.end(); ++it) merged[it.key()] = it.value();
        try {
            preferences_ = EventPreferences::fromJson(merged);
            notifyObservers();
        } catch (const std::exception& e) {
            log(std::string("preferences-updated ignored: ") + e.what());
        }
    };
    webSocket.onContestUpdated = [this](json contest) {
        contest_ = std::move(contest);
        log("contest updated: " + contestText(contest_, "title"));
    };
    webSocket.onContestEntry = [this](json entry) {
        if (contest_.is_object()) {
            auto n = contest_.find("entryCount");
            if (n != contest_.end() && n->is_number_integer()) *n = n->get<int64_t>() + 1;
        }
        log("contest entry: " + contestText(entry, "guestName"));
    };
    webSocket.onContestWinner = [this](json winner) {
        lastContestWinner_ = std::move(winner);
        std::string name = contestText(lastContestWinner_, "guestName");
        log("contest winner: " + name);
        if (notifier_) notifier_->notify("Gewinnspiel", "Gewinner: " + name, settings_.soundEnabled);
    };
    webSocket.onAdShow = [this](json ad) {
        if (onAdShow) onAdShow(ad);
    };
    webSocket.onAdHide = [this] {
        if (onAdHide) onAdHide();
    };
    webSocket.onStateChanged = [this](const ConnectionState&, const ConnectionState& now) {
        if (now.kind == ConnectionState::Kind::error) channelFailed_ = true;
        if (now.kind == ConnectionState::Kind::connected && channelFailed_) {
            channelFailed_ = false;
            spawnOnMain(resync(), "AppStore resync");
        }
        notifyObservers();
    };
}

// After an outage the pushes of that time are gone; REST has them. Records are merged by id so
// that anything pushed while the reload was under way stays.
AppStore::Task<void> AppStore::resync() {
    if (resyncRunning_) {
        resyncAgain_ = true;
        co_return;
    }
    resyncRunning_ = true;
    auto alive = alive_;
    do {
        resyncAgain_ = false;
        if (!event_) break;
        std::string id = event_->id;
        std::string failure;
        size_t newRequests = 0, newMessages = 0;
        for (int round = 0; round < 3; ++round) {
            failure.clear();
            try {
                RequestsResponse requests = co_await api_.getRequests(id);
                if (!*alive) co_return;
                MessagesResponse messages = co_await api_.getMessages(id);
                if (!*alive) co_return;
                std::vector<MusicRequest> freshRequests;
                for (const auto& r : requests.requests)
                    if (knownRequestIds_.insert(r.id).second) freshRequests.push_back(r);
                requestStore.add(requests.requests);
                std::vector<GuestMessage> freshMessages;
                for (const auto& m : messages.messages)
                    if (knownMessageIds_.insert(m.id).second && !m.isDjReply) freshMessages.push_back(m);
                messageStore.add(messages.messages);
                newRequests = freshRequests.size();
                newMessages = freshMessages.size();
                log("realtime channel back — reloaded " + std::to_string(requests.requests.size()) + " requests (" +
                    std::to_string(newRequests) + " new), " + std::to_string(messages.messages.size()) +
                    " messages (" + std::to_string(newMessages) + " new)");
                announceRequests(freshRequests);
                announceMessages(freshMessages);
                break;
            } catch (const std::exception& e) {
                failure = e.what();
            }
            if (!*alive) co_return;
            log("reload after reconnect failed: " + failure);
            co_await sleepFor(std::chrono::seconds(2));
            if (!*alive) co_return;
        }
        if (failure.empty() && onResynced) onResynced(newRequests, newMessages);
    } while (resyncAgain_);
    resyncRunning_ = false;
}

void AppStore::announceRequests(const std::vector<MusicRequest>& batch) {
    if (batch.empty() || !settings_.notifyOnNewRequest || !notifier_) return;
    const MusicRequest& r = batch.front();
    std::string body = r.artist;
    if (!r.title.empty()) body = body.empty() ? r.title : body + " – " + r.title;
    notifier_->notify(tr("notification_new_request_title"), body, settings_.soundEnabled);
}

void AppStore::announceMessages(const std::vector<GuestMessage>& batch) {
    if (batch.empty() || !settings_.notifyOnMessage || !notifier_) return;
    notifier_->notify(tr("notification_new_message_title"), batch.front().content, settings_.soundEnabled);
}

// Actions.

AppStore::Task<std::vector<ActionFailure>> AppStore::setStatus(std::vector<int64_t> ids, RequestStatus status) {
    std::vector<ActionFailure> failures;
    std::string eventId = event_ ? event_->id : settings_.activeEventId;
    auto alive = alive_;
    for (int64_t id : ids) {
        if (eventId.empty()) {
            failures.push_back({id, tr("error_no_active_event")});
            continue;
        }
        std::string failure;
        try {
            co_await api_.updateRequestStatus(eventId, id, status);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (!*alive) co_return failures;
        if (!failure.empty()) {
            failures.push_back({id, failure});
            continue;
        }
        requestStore.updateStatus(id, status);
        if (status == RequestStatus::confirmed && onRequestConfirmed)
            if (const MusicRequest* r = requestStore.find(id)) onRequestConfirmed(*r);
    }
    if (status == RequestStatus::confirmed && failures.size() < ids.size() && event_) syncIfNotExported();
    co_return failures;
}

AppStore::Task<std::vector<ActionFailure>> AppStore::confirm(std::vector<int64_t> ids) {
    co_return co_await setStatus(std::move(ids), RequestStatus::confirmed);
}
AppStore::Task<std::vector<ActionFailure>> AppStore::decline(std::vector<int64_t> ids) {
    co_return co_await setStatus(std::move(ids), RequestStatus::declined);
}
AppStore::Task<std::vector<ActionFailure>> AppStore::markPlayed(std::vector<int64_t> ids) {
    co_return co_await setStatus(std::move(ids), RequestStatus::played);
}

AppStore::Task<void> AppStore::reply(int64_t messageId, std::string text) {
    std::string eventId = event_ ? event_->id : settings_.activeEventId;
    if (eventId.empty()) throw APIError(APIError::Kind::noActiveEvent);
    std::string sessionId;
    for (const auto& m : messageStore.messages())
        if (m.id == messageId) sessionId = m.sessionId;
    if (sessionId.empty()) {
        // Not in the list yet (a one-shot command): the service's list knows the guest.
        MessagesResponse all = co_await api_.getMessages(eventId);
        for (const auto& m : all.messages)
            if (m.id == messageId) sessionId = m.sessionId;
        if (sessionId.empty()) throw APIError(APIError::Kind::notFound);
    }
    co_await api_.replyToMessage(eventId, messageId, text, sessionId);
}

AppStore::Task<void> AppStore::broadcast(std::string text, std::optional<std::string> imageUrl) {
    std::string eventId = event_ ? event_->id : settings_.activeEventId;
    co_await api_.broadcast(eventId, text, std::move(imageUrl));
    if (onBroadcastSent) onBroadcastSent(text);
}

AppStore::Task<void> AppStore::deleteMessage(int64_t messageId) {
    std::string eventId = event_ ? event_->id : settings_.activeEventId;
    if (eventId.empty()) throw APIError(APIError::Kind::noActiveEvent);
    co_await api_.deleteMessage(eventId, messageId);
    messageStore.remove(messageId);
}

AppStore::Task<void> AppStore::deleteAllMessages() {
    std::string eventId = event_ ? event_->id : settings_.activeEventId;
    if (eventId.empty()) throw APIError(APIError::Kind::noActiveEvent);
    co_await api_.deleteAllMessages(eventId);
    messageStore.removeAll();
}

AppStore::Task<void> AppStore::confirmFromTag(std::string rekordboxId) {
    std::set<int64_t> trackIds;
    for (const auto& t : cachedTracks_)
        if (t.rekordboxId && *t.rekordboxId == rekordboxId) trackIds.insert(t.id);
    std::vector<int64_t> ids;
    for (const auto& r : requestStore.pending())
        if (trackIds.count(r.trackId)) ids.push_back(r.id);
    if (linkLog)
        linkLog("TAG", "Tag am CDJ auf rekordbox-ID " + rekordboxId + " → " + std::to_string(ids.size()) +
                           " offene(r) Wunsch/Wünsche bestätigen");
    if (!ids.empty()) (void)co_await confirm(std::move(ids));
}

AppStore::Task<void> AppStore::reportNowPlaying(std::string title, std::string artist) {
    if (!event_) co_return;
    co_await api_.reportNowPlaying(event_->id, title, artist);
}

// A new track in the DJ program: the overlay shows it at once, the service is told.
void AppStore::nowPlayingFromDJ(const NowPlayingInfo& info) {
    if (!event_) return;
    lastDJNowPlaying_ = std::make_pair(info.trackTitle, info.trackArtist);
    event_->nowPlaying = info;
    log("now playing from the DJ software: " + info.trackArtist + " – " + info.trackTitle);
    if (onNowPlaying) onNowPlaying(info);
    notifyObservers();
    auto alive = alive_;
    spawnOnMain(
        [](AppStore* self, std::shared_ptr<bool> alive, NowPlayingInfo info) -> Task<void> {
            std::string failure;
            try {
                co_await self->reportNowPlaying(info.trackTitle, info.trackArtist);
            } catch (const std::exception& e) {
                failure = e.what();
            }
            if (!*alive) co_return;
            if (failure.empty())
                log("now playing reported to the service");
            else
                log("now playing not reported: " + failure);
        }(this, alive, info),
        "now playing report");
}

// Export bookkeeping.

void AppStore::loadExported() {
    exportedRequestIds_.clear();
    if (!event_) return;
    auto raw = DefaultsStore::standard().get(exportedKey(event_->id));
    if (!raw) return;
    json j = json::parse(*raw, nullptr, false);
    if (!j.is_array()) return;
    for (const auto& v : j)
        if (v.is_number_integer()) exportedRequestIds_.insert(v.get<int64_t>());
}

bool AppStore::confirmedNotExported() const {
    for (const auto& r : requestStore.requests())
        if (r.status == RequestStatus::confirmed && !exportedRequestIds_.count(r.id)) return true;
    return false;
}

void AppStore::syncIfNotExported() {
    if (!event_ || !confirmedNotExported() || !dj_.activeBridge(event_->id)) return;
    spawnOnMain([](AppStore* self, std::shared_ptr<bool> alive) -> Task<void> {
        (void)co_await self->syncToDJSoftware();
        (void)alive;
    }(this, alive_), "DJ playlist sync");
}

// One sync at a time; a request confirmed meanwhile gets one more round.
AppStore::Task<std::optional<size_t>> AppStore::syncToDJSoftware() {
    if (syncRunning_) {
        syncAgain_ = true;
        co_return std::nullopt;
    }
    syncRunning_ = true;
    auto alive = alive_;
    std::optional<size_t> written;
    do {
        syncAgain_ = false;
        if (!event_) break;
        std::string id = event_->id;
        auto software = dj_.activeSoftware(id);
        if (!software || !dj_.bridge(*software)) {
            log("DJ playlist sync skipped — no DJ program bridge for activeDjSoftware=" + activeDjSoftware_.value_or("nil"));
            break;
        }
        // A request for a track added since the connect needs the event's newer track list.
        bool missing = false;
        for (const auto& r : requestStore.requests())
            if (r.status == RequestStatus::confirmed &&
                std::none_of(cachedTracks_.begin(), cachedTracks_.end(), [&](const Track& t) { return t.id == r.trackId; }))
                missing = true;
        if (missing) {
            try {
                TracksResponse tracks = co_await api_.searchTracks(id);
                if (!*alive) co_return std::nullopt;
                cachedTracks_ = std::move(tracks.tracks);
            } catch (const std::exception& e) {
                if (!*alive) co_return std::nullopt;
                log(std::string("tracks not reloaded for the DJ playlist: ") + e.what());
            }
        }
        DJSyncResult r = co_await dj_.syncConfirmedRequests(id, requestStore.requests(), cachedTracks_);
        if (!*alive) co_return std::nullopt;
        if (r.ok) {
            markExported(r.writtenRequestIds);
            written = r.writtenRequestIds.size();
            log("DJ playlist synced: " + std::to_string(r.writtenRequestIds.size()) + " request(s) in " +
                std::string(rawValue(*software)) + " " + r.playlistId.value_or("") +
                (r.skipped ? ", " + std::to_string(r.skipped) + " without a file for it" : ""));
        } else {
            written.reset();
            log("DJ playlist sync failed: " + dj_.lastError().value_or("?"));
        }
    } while (syncAgain_);
    syncRunning_ = false;
    co_return written;
}

void AppStore::markExported(const std::vector<int64_t>& ids) {
    if (!event_) return;
    exportedRequestIds_.insert(ids.begin(), ids.end());
    storeExported(event_->id, ids);
}

void AppStore::storeExported(const std::string& eventId, const std::vector<int64_t>& ids) {
    // Read, add and write under one lock: a one-shot sync and the live session may both record.
    DefaultsStore::standard().update(exportedKey(eventId), [&](const std::optional<std::string>& raw) {
        std::set<int64_t> all(ids.begin(), ids.end());
        json old = raw ? json::parse(*raw, nullptr, false) : json();
        if (old.is_array())
            for (const auto& v : old)
                if (v.is_number_integer()) all.insert(v.get<int64_t>());
        json out = json::array();
        for (int64_t id : all) out.push_back(id);
        return std::optional<std::string>(out.dump());
    });
}

}  // namespace fv
