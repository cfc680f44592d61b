// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "djsoftware/DJSoftwareManager.hpp"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <set>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/MixxxBridge.hpp"
#include "djsoftware/RekordboxBridge.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/SeratoBridge.hpp"
#include "djsoftware/VirtualDJBridge.hpp"
#include "session/AppSettings.hpp"

namespace fv {

namespace {

void log(const std::string& m) { logLine("DJManager", m); }

// Runs the read as its own coroutine and waits at most `limit` for it. A read that is still
// running then is left to end on its own (every bridge read has its own bound); its answer is dropped.
asio::awaitable<std::optional<DJNowPlaying>> readWithin(std::shared_ptr<DJSoftwareBridge> bridge,
                                                        std::chrono::milliseconds limit) {
    struct State {
        explicit State(asio::any_io_executor ex) : timer(ex) {}
        asio::steady_timer timer;
        std::optional<DJNowPlaying> value;
        bool done = false;
    };
    auto ex = co_await asio::this_coro::executor;
    auto st = std::make_shared<State>(ex);
    st->timer.expires_after(limit);
    asio::co_spawn(
        ex,
        [st, bridge]() -> asio::awaitable<void> {
            try {
                st->value = co_await bridge->getCurrentlyPlaying();
            } catch (const std::exception&) {
                st->value.reset();  // an error counts as nothing playing
            }
            st->done = true;
            st->timer.cancel();
        },
        asio::detached);
    if (!st->done) {
        boost::system::error_code ec;
        co_await st->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    if (!st->done) co_return std::nullopt;
    co_return st->value;
}

// The event's playlist carries the event's name; the bridges make it safe for file names.
std::string playlistName(const std::string& eventId) {
    for (const auto& e : SavedEvents::loadAll())
        if (e.id == eventId && !e.eventName.empty()) return e.eventName;
    return "Event";
}

}  // namespace

DJSoftwareManager::DJSoftwareManager() : alive_(std::make_shared<bool>(true)) {
    for (auto t : allDJSoftwareTypes) statuses_[t] = BridgeStatus::notConfigured();
    setBridge(std::make_shared<RekordboxBridge>(RekordboxService::shared()));
    setBridge(std::make_shared<VirtualDJBridge>());
    setBridge(std::make_shared<SeratoBridge>());
    setBridge(std::make_shared<MixxxBridge>());
}

DJSoftwareManager::~DJSoftwareManager() {
    *alive_ = false;
    if (pollingTask_) pollingTask_->cancel();
}

std::shared_ptr<DJSoftwareBridge> DJSoftwareManager::bridge(DJSoftwareType t) const {
    auto it = bridges_.find(t);
    return it == bridges_.end() ? nullptr : it->second;
}

void DJSoftwareManager::setBridge(std::shared_ptr<DJSoftwareBridge> b) {
    if (!b) return;
    auto t = b->softwareType();
    bridges_[t] = std::move(b);
    statuses_[t] = BridgeStatus::notConfigured();
}

DJSoftwareBridge* DJSoftwareManager::rekordboxBridge() const { return bridge(DJSoftwareType::rekordbox).get(); }
VirtualDJBridge* DJSoftwareManager::virtualDJBridge() const {
    return dynamic_cast<VirtualDJBridge*>(bridge(DJSoftwareType::virtualDJ).get());
}
SeratoBridge* DJSoftwareManager::seratoBridge() const {
    return dynamic_cast<SeratoBridge*>(bridge(DJSoftwareType::serato).get());
}
MixxxBridge* DJSoftwareManager::mixxxBridge() const {
    return dynamic_cast<MixxxBridge*>(bridge(DJSoftwareType::mixxx).get());
}

BridgeStatus DJSoftwareManager::status(DJSoftwareType t) const {
    auto it = statuses_.find(t);
    return it == statuses_.end() ? BridgeStatus::notConfigured() : it->second;
}

void DJSoftwareManager::configureBridges(const AppSettings& settings) {
    MainLoop::shared().assertOnMain();
    activeEventId_ = settings.activeEventId;
    for (auto& [t, b] : bridges_) statuses_[t] = b->configure(settings);
}

DJSoftwareManager::Task<void> DJSoftwareManager::refreshBridgeStatuses() {
    MainLoop::shared().assertOnMain();
    log("refreshBridgeStatuses START");
    auto alive = alive_;
    auto bridges = bridges_;
    for (auto& [t, b] : bridges) {
        BridgeStatus before = status(t);
        BridgeStatus after = before;
        try {
            after = co_await b->refreshStatus(before);
        } catch (const std::exception& e) {
            log(std::string(rawValue(t)) + " status error: " + e.what());
        }
        if (!*alive) co_return;
        statuses_[t] = after;
    }
    if (!activeEventId_.empty()) {
        if (auto active = activeSoftware(activeEventId_); active && bridge(*active)) {
            auto stored = storedPlaylistId(activeEventId_, *active);
            if (stored) djSoftwarePlaylistId_ = stored;
            if (stored) {
                (void)co_await checkPlaylist(activeEventId_);
                if (!*alive) co_return;
            } else {
                playlistStatus_ = "Keine Playlist zugewiesen";
                playlistFound_ = false;
            }
        }
    }
    log("refreshBridgeStatuses DONE");
}

std::optional<DJSoftwareType> DJSoftwareManager::activeSoftware(const std::string& eventId) const {
    if (auto it = sessionSoftware_.find(eventId); it != sessionSoftware_.end()) return it->second;
    for (const auto& e : SavedEvents::loadAll()) {
        if (e.id != eventId) continue;
        if (!e.preferences || !e.preferences->activeDjSoftware) return std::nullopt;
        return djSoftwareTypeFromRaw(*e.preferences->activeDjSoftware);
    }
    return std::nullopt;
}

std::shared_ptr<DJSoftwareBridge> DJSoftwareManager::activeBridge(const std::string& eventId) const {
    auto t = activeSoftware(eventId);
    return t ? bridge(*t) : nullptr;
}

void DJSoftwareManager::setSessionSoftware(const std::string& eventId, std::optional<DJSoftwareType> software) {
    if (software)
        sessionSoftware_[eventId] = *software;
    else
        sessionSoftware_.erase(eventId);
}

DJSoftwareManager::Task<bool> DJSoftwareManager::isConfigured(DJSoftwareType t) {
    auto b = bridge(t);
    if (!b) co_return false;
    switch (status(t).kind()) {
        case BridgeStatus::Kind::configured:
        case BridgeStatus::Kind::autoDetected:
        case BridgeStatus::Kind::connected:
            co_return true;
        case BridgeStatus::Kind::notConfigured:
            break;
        default:
            co_return false;
    }
    // Nothing chosen: the program's default place may still hold its data.
    bool available = false;
    try {
        available = co_await b->isAvailable();
    } catch (const std::exception&) {
    }
    co_return available;
}

bool DJSoftwareManager::supportsNowPlaying(DJSoftwareType t) const {
    auto b = bridge(t);
    return b && b->supportsNowPlayingPolling();
}

// Polling.

void DJSoftwareManager::stopPolling() {
    if (pollingTask_) pollingTask_->cancel();
    pollingTask_.reset();
    isPolling_ = false;
}

void DJSoftwareManager::startPolling(const std::string& eventId, int64_t intervalSeconds) {
    MainLoop::shared().assertOnMain();
    stopPolling();
    currentlyPlaying_.reset();
    auto b = activeBridge(eventId);
    if (!b) {
        log("polling skipped — no active bridge");
        return;
    }
    if (!b->supportsNowPlayingPolling()) {
        log("polling skipped — " +
            std::string(b->softwareType() == DJSoftwareType::serato ? "Serato" : displayName(b->softwareType())) +
            " does not support Now Playing");
        return;
    }
    // A zero or negative interval would read without pause.
    int64_t seconds = std::max<int64_t>(1, intervalSeconds);
    log("polling starting for " + std::string(rawValue(b->softwareType())) + ", interval=" + std::to_string(seconds) +
        "s");
    isPolling_ = true;
    pollingInterval_ = seconds;
    pollingTask_ = std::make_shared<Cancellation>();
    spawnOnMain(pollLoop(eventId, b, std::chrono::seconds(seconds), pollingTask_), "now-playing polling");
}

DJSoftwareManager::Task<std::optional<DJNowPlaying>> DJSoftwareManager::readNowPlaying(
    std::shared_ptr<DJSoftwareBridge> b) {
    return readWithin(std::move(b), nowPlayingTimeout_);
}

DJSoftwareManager::Task<void> DJSoftwareManager::pollLoop(std::string eventId, std::shared_ptr<DJSoftwareBridge> b,
                                                          std::chrono::seconds interval,
                                                          std::shared_ptr<Cancellation> cancel) {
    (void)eventId;
    auto alive = alive_;
    while (!cancel->cancelled()) {
        auto now = co_await readNowPlaying(b);
        if (!*alive || cancel->cancelled()) co_return;
        if (now && (!currentlyPlaying_ || currentlyPlaying_->title != now->title ||
                    currentlyPlaying_->artist != now->artist)) {
            currentlyPlaying_ = now;
            if (onNowPlayingUpdated) onNowPlayingUpdated(NowPlayingInfo{now->title, now->artist, isoNow()});
            if (!*alive || cancel->cancelled()) co_return;
        }
        if (!co_await cancel->sleep(interval)) co_return;
    }
}

// The event playlist.

DJSoftwareManager::Task<std::optional<std::string>> DJSoftwareManager::checkPlaylist(std::string eventId) {
    MainLoop::shared().assertOnMain();
    auto t = activeSoftware(eventId);
    auto b = t ? bridge(*t) : nullptr;
    if (!b) {
        playlistStatus_ = "DJ-Software nicht erreichbar";
        playlistFound_ = false;
        co_return std::nullopt;
    }
    std::optional<std::string> id = storedPlaylistId(eventId, *t);
    if (!id) id = djSoftwarePlaylistId_;
    if (!id) {
        playlistStatus_ = "Keine Playlist zugewiesen";
        playlistFound_ = false;
        co_return std::nullopt;
    }
    auto alive = alive_;
    bool exists = false;
    std::optional<std::string> failure;
    try {
        exists = co_await b->playlistExists(*id);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!*alive) co_return std::nullopt;
    if (failure) {
        lastError_ = failure;
        playlistFound_ = false;
        co_return std::nullopt;
    }
    if (exists) {
        playlistStatus_ = "Playlist vorhanden (" + *id + ")";
        playlistFound_ = true;
        djSoftwarePlaylistId_ = id;
        co_return id;
    }
    playlistStatus_ = "Playlist nicht gefunden";
    playlistFound_ = false;
    co_return std::nullopt;
}

DJSoftwareManager::Task<std::optional<std::string>> DJSoftwareManager::ensurePlaylist(std::string eventId,
                                                                                      std::string name) {
    MainLoop::shared().assertOnMain();
    auto t = activeSoftware(eventId);
    auto b = t ? bridge(*t) : nullptr;
    if (!b) {
        playlistStatus_ = "DJ-Software nicht erreichbar";
        playlistFound_ = false;
        co_return std::nullopt;
    }
    auto alive = alive_;
    std::optional<std::string> failure;
    std::optional<std::string> result;
    try {
        auto stored = storedPlaylistId(eventId, *t);
        bool exists = stored && co_await b->playlistExists(*stored);
        if (!*alive) co_return std::nullopt;
        if (exists) {
            playlistStatus_ = "Playlist vorhanden";
            playlistFound_ = true;
            djSoftwarePlaylistId_ = stored;
            result = stored;
        } else {
            std::string id = co_await b->createPlaylist(name);
            if (!*alive) co_return std::nullopt;
            djSoftwarePlaylistId_ = id;
            storePlaylistId(eventId, *t, id);
            playlistStatus_ = "Playlist erstellt";
            playlistFound_ = true;
            log("playlist created for " + std::string(rawValue(*t)) + ": " + id);
            result = id;
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (failure) {
        if (!*alive) co_return std::nullopt;
        log("ensurePlaylist error: " + *failure);
        lastError_ = failure;
        playlistFound_ = false;
        co_return std::nullopt;
    }
    co_return result;
}

DJSoftwareManager::Task<DJSyncResult> DJSoftwareManager::syncConfirmedRequests(std::string eventId,
                                                                               std::vector<MusicRequest> requests,
                                                                               std::vector<Track> tracks) {
    MainLoop::shared().assertOnMain();
    DJSyncResult result;
    auto t = activeSoftware(eventId);
    auto b = t ? bridge(*t) : nullptr;
    if (!b) {
        playlistStatus_ = "DJ-Software nicht erreichbar";
        playlistFound_ = false;
        lastError_ = "DJ-Software nicht erreichbar";
        co_return result;
    }
    std::vector<std::string> ids;
    std::set<std::string> seen;
    for (const auto& r : requests) {
        if (r.status != RequestStatus::confirmed) continue;
        auto track = std::find_if(tracks.begin(), tracks.end(), [&](const Track& x) { return x.id == r.trackId; });
        std::optional<std::string> id;
        if (track != tracks.end()) id = djTrackIdentifier(*track, *t);
        if (!id || id->empty()) {
            ++result.skipped;
            continue;
        }
        // Two requests for one track share its single entry.
        if (seen.insert(*id).second) ids.push_back(*id);
        result.writtenRequestIds.push_back(r.id);
    }
    if (ids.empty()) {
        lastError_ = "Keine Tracks mit passender DJ-Software-Zuordnung gefunden.";
        result.writtenRequestIds.clear();
        co_return result;
    }
    auto alive = alive_;
    auto playlist = co_await ensurePlaylist(eventId, playlistName(eventId));
    if (!*alive) co_return result;
    if (!playlist) {
        // ensurePlaylist has set lastError when the program failed; otherwise say why here.
        if (!lastError_ || playlistStatus_ == "DJ-Software nicht erreichbar")
            lastError_ = DJBridgeError::playlistCreationFailed("Playlist-ID nicht verfügbar").what();
        result.writtenRequestIds.clear();
        co_return result;
    }
    std::optional<std::string> failure;
    try {
        for (const auto& id : ids) co_await b->addTrackToPlaylist(id, *playlist, 0);
        co_await b->reorderPlaylist(*playlist, ids);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!*alive) co_return result;
    if (failure) {
        log("syncConfirmedRequests error: " + *failure);
        lastError_ = failure;
        result.writtenRequestIds.clear();
        co_return result;
    }
    log("synced " + std::to_string(ids.size()) + " track(s) into " + *playlist);
    result.ok = true;
    result.playlistId = playlist;
    co_return result;
}

// Deck loading.

DJSoftwareManager::Task<bool> DJSoftwareManager::loadTrackToDeck(std::string eventId, int64_t trackId,
                                                                 std::vector<Track> tracks, int deck) {
    MainLoop::shared().assertOnMain();
    auto track = std::find_if(tracks.begin(), tracks.end(), [&](const Track& x) { return x.id == trackId; });
    log("loadTrackToDeck called: deck=" + std::to_string(deck) + ", trackId=" + std::to_string(trackId) + ", title=" +
        (track != tracks.end() ? track->title : std::string("nil")) + ", tracks=" + std::to_string(tracks.size()));
    auto t = activeSoftware(eventId);
    auto b = t ? bridge(*t) : nullptr;
    if (!b || *t != DJSoftwareType::virtualDJ) {
        log("FAIL: activeBridge=" + (t ? std::string(rawValue(*t)) : std::string("nil")) +
            ", activeEventId=" + eventId);
        lastError_ = "Deck-Loading nur mit VirtualDJ verfuegbar";
        co_return false;
    }
    std::optional<std::string> path;
    if (track != tracks.end()) path = track->resolvedFilePath();
    if (!path || path->empty()) {
        log("FAIL: track=" + (track != tracks.end() ? track->title : std::string("nil")) +
            ", resolvedFilePath=" + path.value_or("nil"));
        lastError_ = "Dateipfad fuer Track nicht gefunden";
        co_return false;
    }
    log("Loading '" + *path + "' to deck " + std::to_string(deck));
    bool wasPolling = isPolling_;
    int64_t interval = pollingInterval_;
    if (wasPolling) stopPolling();
    auto alive = alive_;
    bool ok = co_await loadOnVirtualDJ(b, *path, deck);
    if (!*alive) co_return ok;
    // Polling goes on as it ran before the load.
    if (wasPolling) startPolling(eventId, interval > 0 ? interval : 3);
    co_return ok;
}

DJSoftwareManager::Task<bool> DJSoftwareManager::loadOnVirtualDJ(std::shared_ptr<DJSoftwareBridge> b, std::string path,
                                                                 int deck) {
    auto* vdj = dynamic_cast<VirtualDJBridge*>(b.get());
    if (!vdj) {
        lastError_ = "VirtualDJ Bridge nicht verfügbar";
        co_return false;
    }
    auto alive = alive_;
    std::optional<bool> loaded;
    std::string error;
    for (int attempt = 0; attempt < 2 && !loaded; ++attempt) {
        try {
            loaded = co_await vdj->loadTrack(path, deck);
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!*alive) co_return false;
        if (!loaded && attempt == 0) {
            log("First attempt failed, retrying after 500ms…");
            co_await sleepFor(loadRetryDelay_);
            if (!*alive) co_return false;
        }
    }
    if (!loaded) {
        log("loadTrackToDeck error: " + error);
        lastError_ = error;
        co_return false;
    }
    if (!*loaded) {
        log("FAIL: VDJ returned false for '" + path + "'");
        lastError_ = "VirtualDJ konnte den Track nicht laden";
        co_return false;
    }
    log("SUCCESS: loaded '" + path + "' to deck " + std::to_string(deck));
    co_return true;
}

std::optional<std::string> DJSoftwareManager::djTrackIdentifier(const Track& track, DJSoftwareType software) {
    switch (software) {
        case DJSoftwareType::rekordbox:
            if (track.rekordboxId && !track.rekordboxId->empty()) return track.rekordboxId;
            if ((track.source.empty() || track.source == "rekordbox") && !track.sourceId.empty()) return track.sourceId;
            return std::nullopt;
        case DJSoftwareType::serato: {
            auto p = track.resolvedFilePath();
            if (!p || p->empty()) return std::nullopt;
            // Crate entries are stored without the leading slash.
            if ((*p)[0] == '/') p->erase(0, 1);
            if (p->empty()) return std::nullopt;
            return p;
        }
        case DJSoftwareType::virtualDJ:
        case DJSoftwareType::mixxx: {
            auto p = track.resolvedFilePath();
            if (!p || p->empty()) return std::nullopt;
            return p;
        }
        case DJSoftwareType::spotify:
        case DJSoftwareType::appleMusic:
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> DJSoftwareManager::storedPlaylistId(const std::string& eventId, DJSoftwareType software) {
    for (const auto& e : SavedEvents::loadAll()) {
        if (e.id != eventId || !e.preferences) continue;
        auto it = e.preferences->djSoftwarePlaylistIds.find(std::string(rawValue(software)));
        if (it != e.preferences->djSoftwarePlaylistIds.end() && !it->second.empty()) return it->second;
    }
    return std::nullopt;
}

void DJSoftwareManager::storePlaylistId(const std::string& eventId, DJSoftwareType software, const std::string& id) {
    SavedEvent saved;
    saved.id = eventId;
    saved.createdAt = isoNow();
    for (const auto& e : SavedEvents::loadAll())
        if (e.id == eventId) saved = e;
    if (!saved.preferences) saved.preferences = EventPreferences{};
    saved.preferences->djSoftwarePlaylistIds[std::string(rawValue(software))] = id;
    SavedEvents::upsert(saved);
}

}  // namespace fv
