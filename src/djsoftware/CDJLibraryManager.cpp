#include "djsoftware/CDJLibraryManager.hpp"

#include <algorithm>
#include <fstream>

#include <boost/asio/post.hpp>
#include <fmt/format.h>

#include "cdjlink/CDJDiscovery.hpp"
#include "cdjlink/CDJSockets.hpp"
#include "core/Files.hpp"
#include "core/MainLoop.hpp"
#include "core/Paths.hpp"
#include "core/SerialQueue.hpp"
#include "djsoftware/RekordboxService.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace fv {
namespace fs = std::filesystem;
using namespace cdj;

namespace {

const char* const standbyWaiting = "Bereitschaft – warte auf CDJs im Netzwerk";
const char* const standbyPortTaken = "Bereitschaft – Port belegt, prüfe erneut in 10 s";
const char* const standbyRekordbox = "Bereitschaft – rekordbox läuft (belegt die Link-Ports), prüfe erneut in 10 s";
const char* const startFailed = "Start fehlgeschlagen – erneuter Versuch in 10 s";

bool sameIdentity(const CDJLinkSettings& a, const CDJLinkSettings& b) {
    return a.deviceName == b.deviceName && a.deviceNumber == b.deviceNumber && a.interfaceName == b.interfaceName &&
           a.dbPort == b.dbPort && a.waveColor == b.waveColor && a.overview == b.overview &&
           a.keyDisplay == b.keyDisplay && a.wavePosition == b.wavePosition;
}

int64_t fileSize(const std::string& path) {
    std::error_code ec;
    auto n = fs::file_size(path, ec);
    return ec ? 0 : static_cast<int64_t>(n);
}

std::string lowerExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

// Requests ordered as each served list wants them.
std::vector<MusicRequest> confirmedOrder(std::vector<MusicRequest> list) {
    std::erase_if(list, [](const MusicRequest& r) { return r.status != RequestStatus::confirmed; });
    std::stable_sort(list.begin(), list.end(), [](const MusicRequest& a, const MusicRequest& b) {
        if (a.voteCount != b.voteCount) return a.voteCount > b.voteCount;
        return a.confirmedAt.value_or("") < b.confirmedAt.value_or("");
    });
    return list;
}

std::vector<MusicRequest> wishOrder(std::vector<MusicRequest> list) {
    std::erase_if(list, [](const MusicRequest& r) { return r.status != RequestStatus::pending; });
    std::stable_sort(list.begin(), list.end(), [](const MusicRequest& a, const MusicRequest& b) {
        if (a.voteCount != b.voteCount) return a.voteCount > b.voteCount;
        return a.createdAt < b.createdAt;
    });
    if (list.size() > 20) list.resize(20);
    return list;
}

std::vector<MusicRequest> topOrder(std::vector<MusicRequest> list) {
    std::erase_if(list, [](const MusicRequest& r) {
        return !(r.status == RequestStatus::pending || r.status == RequestStatus::confirmed) || r.voteCount <= 0;
    });
    std::stable_sort(list.begin(), list.end(),
                     [](const MusicRequest& a, const MusicRequest& b) { return a.voteCount > b.voteCount; });
    if (list.size() > 20) list.resize(20);
    return list;
}

std::vector<MusicRequest> playedOrder(std::vector<MusicRequest> list) {
    std::erase_if(list, [](const MusicRequest& r) { return r.status != RequestStatus::played; });
    std::stable_sort(list.begin(), list.end(), [](const MusicRequest& a, const MusicRequest& b) {
        return a.confirmedAt.value_or(a.createdAt) > b.confirmedAt.value_or(b.createdAt);
    });
    return list;
}

}  // namespace

CDJLibraryManager::CDJLibraryManager(RekordboxService& rekordbox, std::function<RekordboxPaths()> rekordboxPaths,
                                     Options options)
    : rekordbox_(rekordbox),
      rekordboxPaths_(std::move(rekordboxPaths)),
      options_(std::move(options)),
      alive_(std::make_shared<bool>(true)),
      library_(std::make_shared<CDJLibrary>()) {
    if (options_.cacheFolder.empty()) options_.cacheFolder = xdgDataHome() / "Floorvote" / "CDJLibrary";
    if (!options_.isRekordboxRunning) options_.isRekordboxRunning = [] { return RekordboxService::isRekordboxRunning(); };
    // The link log's entries, mirrored on the main loop (the last 300).
    std::weak_ptr<bool> weak = alive_;
    cdjLog().setOnEntry([this, weak](const CDJLogEntry& e) {
        MainLoop::shared().post([this, weak, e] {
            if (weak.expired()) return;
            logEntries_.push_back(e);
            if (logEntries_.size() > 300) logEntries_.erase(logEntries_.begin(), logEntries_.end() - 300);
        });
    });
    loadCache();
}

CDJLibraryManager::~CDJLibraryManager() {
    cdjLog().setOnEntry(nullptr);
    *alive_ = false;
    turnOff();
    if (syncTask_) syncTask_->cancel();
}

const char* CDJLibraryManager::modeName(Mode m) {
    switch (m) {
        case Mode::off: return "off";
        case Mode::standby: return "standby";
        case Mode::active: return "active";
    }
    return "?";
}

void CDJLibraryManager::log(const std::string& tag, const std::string& message) const { cdjLogLine(tag, message); }

// -- state machine ----------------------------------------------------------------------------------

void CDJLibraryManager::applySettings(bool enabled, const CDJLinkSettings& settings) {
    const std::optional<std::pair<bool, CDJLinkSettings>> previous = currentSettings_;
    currentSettings_ = std::make_pair(enabled, settings);
    log("INFO", fmt::format("applySettings: enabled={} mode={}", enabled ? "true" : "false", modeName(mode_)));
    if (!enabled) {
        turnOff();
        return;
    }
    if (mode_ == Mode::active && server_) {
        const CDJLinkSettings running = server_->settings();
        if (!sameIdentity(running, settings)) {
            // The players know us by name, number and port: come back with the new identity.
            stopActive();
            enterStandby();
        } else if (!(running == settings)) {
            server_->updateSettings(settings);
            rebuild();
        }
        return;
    }
    if (mode_ == Mode::off) {
        enterStandby();
        startWatch();
    }
    (void)previous;
}

void CDJLibraryManager::turnOff() {
    for (auto* t : {&retryTask_, &idleTask_, &rekordboxWatch_}) {
        if (*t) (*t)->cancel();
        t->reset();
    }
    stopActive();
    if (discovery_) {
        discovery_->stop();
        discovery_.reset();
    }
    mode_ = Mode::off;
    statusText_ = "Aus";
    standbyPeers_.clear();
}

void CDJLibraryManager::enterStandby() {
    if (retryTask_) retryTask_->cancel();
    if (discovery_) {
        discovery_->stop();
        discovery_.reset();
    }
    mode_ = Mode::standby;
    peers_.clear();
    decks_.clear();
    if (options_.isRekordboxRunning()) {
        statusText_ = standbyRekordbox;
        log("WARN", statusText_);
        scheduleRetry();
        return;
    }
    auto discovery = std::make_shared<CDJDiscovery>();
    std::weak_ptr<bool> weak = alive_;
    discovery->onDevicesChanged = [this, weak](const std::vector<CDJPeer>& devices) {
        MainLoop::shared().post([this, weak, devices] {
            if (!weak.expired()) standbyHandler(devices);
        });
    };
    try {
        if (options_.prepareQueue) options_.prepareQueue(discovery->queue());
        discovery->start();
    } catch (const std::exception& e) {
        discovery->stop();
        statusText_ = standbyPortTaken;
        log("WARN", std::string("Bereitschaft: ") + e.what());
        scheduleRetry();
        return;
    }
    discovery_ = std::move(discovery);
    lastError_.reset();
    statusText_ = standbyWaiting;
}

void CDJLibraryManager::scheduleRetry() {
    if (retryTask_) retryTask_->cancel();
    std::weak_ptr<bool> weak = alive_;
    retryTask_ = Timer::once(MainLoop::shared().executor(), options_.timings.retry, [this, weak] {
        if (!weak.expired() && mode_ == Mode::standby) enterStandby();
    });
}

void CDJLibraryManager::standbyHandler(const std::vector<CDJPeer>& devices) {
    standbyPeers_ = devices;
    if (mode_ != Mode::standby) return;
    if (!warnedNetworkRekordbox_ &&
        std::any_of(devices.begin(), devices.end(), [](const CDJPeer& p) { return p.kind == "rekordbox"; })) {
        warnedNetworkRekordbox_ = true;
        log("WARN", "Ein rekordbox auf einem anderen Rechner ist im Netz – Betrieb parallel möglich, CDJs zeigen beide "
                    "Quellen");
    }
    std::vector<CDJPeer> cdjs;
    for (const auto& p : devices)
        if (p.kind == "CDJ") cdjs.push_back(p);
    if (eventOnline_ && !cdjs.empty() && currentSettings_) {
        std::string list;
        for (const auto& p : cdjs) list += (list.empty() ? "" : ", ") + p.name + " @ " + p.address;
        log("INFO", "CDJ im Netz erkannt (" + list + ") → Library wird aktiviert");
        if (discovery_) {
            discovery_->stop();
            discovery_.reset();
        }
        startActive(currentSettings_->second);
        return;
    }
    if (eventOnline_) statusText_ = standbyWaiting;
    else statusText_ = fmt::format("Bereitschaft – Veranstaltung ist offline ({} CDJ im Netz)", cdjs.size());
}

void CDJLibraryManager::startActive(const CDJLinkSettings& settings) {
    if (server_) return;
    lastError_.reset();
    auto server = std::make_shared<CDJLinkServer>(library_, settings, options_.serverOptions);
    std::weak_ptr<bool> weak = alive_;
    auto onMain = [weak](auto fn) {
        MainLoop::shared().post([weak, fn = std::move(fn)] {
            if (!weak.expired()) fn();
        });
    };
    server->onDeckChanged = [this, onMain](const CDJDeckState& d) { onMain([this, d] { deckChanged(d); }); };
    server->onPeersChanged = [this, onMain](const std::vector<CDJPeer>& p) { onMain([this, p] { peersChanged(p); }); };
    server->onTagListChanged = [this, onMain](const std::vector<uint32_t>& t) {
        onMain([this, t] { tagListChanged(t); });
    };
    try {
        if (options_.prepareQueue) options_.prepareQueue(server->queue());
        server->start();
    } catch (const std::exception& e) {
        lastError_ = e.what();
        statusText_ = startFailed;
        mode_ = Mode::standby;
        log("ERR", std::string("Start fehlgeschlagen: ") + e.what());
        scheduleRetry();
        return;
    }
    server_ = server;
    isRunning_ = true;
    mode_ = Mode::active;
    playSeconds_.clear();
    if (playTimer_) playTimer_->cancel();
    playTimer_ = Timer::repeating(MainLoop::shared().executor(), options_.timings.playTick, [this, weak] {
        if (!weak.expired()) playTick();
    });
    const CDJInterface iface = server_->iface();
    statusText_ = "Aktiv als „" + settings.deviceName + "“ auf " + (iface.name.empty() ? "?" : iface.name) + " " +
                  iface.address;
    rebuild();
}

void CDJLibraryManager::stopActive() {
    if (idleTask_) idleTask_->cancel();
    idleTask_.reset();
    if (playTimer_) playTimer_->cancel();
    playTimer_.reset();
    if (server_) {
        server_->stop();
        server_.reset();
    }
    isRunning_ = false;
    peers_.clear();
    decks_.clear();
    tagList_.clear();
    announcedPlaying_.clear();
}

void CDJLibraryManager::peersChanged(const std::vector<CDJPeer>& peers) {
    peers_ = peers;
    const bool cdjSeen = std::any_of(peers.begin(), peers.end(), [](const CDJPeer& p) { return p.kind == "CDJ"; });
    if (cdjSeen) {
        if (idleTask_) idleTask_->cancel();
        idleTask_.reset();
        return;
    }
    if (idleTask_ || mode_ != Mode::active) return;
    std::weak_ptr<bool> weak = alive_;
    idleTask_ = Timer::once(MainLoop::shared().executor(), options_.timings.idle, [this, weak] {
        if (weak.expired()) return;
        idleTask_.reset();
        if (mode_ != Mode::active) return;
        if (std::any_of(peers_.begin(), peers_.end(), [](const CDJPeer& p) { return p.kind == "CDJ"; })) return;
        log("INFO", "Seit 30 s kein CDJ mehr im Netz → zurück in Bereitschaft");
        stopActive();
        enterStandby();
    });
}

void CDJLibraryManager::setEventOnline(bool online) {
    if (online == eventOnline_) return;
    eventOnline_ = online;
    log("INFO", online ? "Event online → Library wird bei sichtbaren CDJs aktiviert"
                       : "Event offline → Library geht in Bereitschaft");
    if (!online && mode_ == Mode::active) {
        stopActive();
        enterStandby();
    } else if (online && mode_ == Mode::standby) {
        standbyHandler(standbyPeers_);
    }
    rebuild();
}

void CDJLibraryManager::startWatch() {
    if (rekordboxWatch_) rekordboxWatch_->cancel();
    rekordboxLocalRunning_ = options_.isRekordboxRunning();
    std::weak_ptr<bool> weak = alive_;
    rekordboxWatch_ = Timer::repeating(MainLoop::shared().executor(), options_.timings.rekordboxWatch, [this, weak] {
        if (!weak.expired()) watchTick();
    });
}

void CDJLibraryManager::watchTick() {
    const bool running = options_.isRekordboxRunning();
    if (running == rekordboxLocalRunning_) return;
    rekordboxLocalRunning_ = running;
    if (running && mode_ == Mode::active) {
        log("WARN", "rekordbox wurde auf diesem Rechner gestartet – Pro DJ Link erlaubt nur eine Instanz pro Computer "
                    "(gleiche Ports). Floorvote hält die Ports; rekordbox kann keine LINK-Verbindung aufbauen. Für "
                    "rekordbox-LINK die CDJ-Library ausschalten.");
    } else if (running) {
        log("WARN", "rekordbox läuft auf diesem Rechner – CDJ-Library kann erst starten, wenn rekordbox beendet ist "
                    "(gleiche Ports).");
    } else {
        log("INFO", "rekordbox wurde beendet");
        if (mode_ == Mode::standby) enterStandby();
    }
}

// -- players ----------------------------------------------------------------------------------------

bool CDJLibraryManager::hasMixer() const {
    return std::any_of(peers_.begin(), peers_.end(), [](const CDJPeer& p) { return p.kind == "Mixer"; });
}

void CDJLibraryManager::tagListChanged(const std::vector<uint32_t>& tags) {
    std::vector<uint32_t> added;
    for (uint32_t id : tags)
        if (std::find(tagList_.begin(), tagList_.end(), id) == tagList_.end()) added.push_back(id);
    tagList_ = tags;
    for (uint32_t id : added)
        if (onTagAdded) onTagAdded(std::to_string(id));
}

void CDJLibraryManager::deckChanged(const CDJDeckState& deck) {
    auto previous = decks_.find(deck.player);
    const bool hadPrevious = previous != decks_.end();
    const uint32_t previousTrack = hadPrevious ? previous->second.trackId : 0;
    decks_[deck.player] = deck;
    if (!deck.fromLibrary) return;
    const auto track = library_->track(deck.trackId);
    if (!track) return;
    if (!deck.isPlaying || (hasMixer() && !deck.onAir)) return;
    const bool fresh = announcedPlaying_.insert(deck.trackId).second;
    if (fresh || !hadPrevious || previousTrack != deck.trackId) {
        if (onNowPlaying) onNowPlaying(track->title, track->artist, std::to_string(deck.trackId));
    }
}

void CDJLibraryManager::playTick() {
    if (!server_) return;
    const int64_t setting = currentSettings_ ? currentSettings_->second.playedAfterSeconds : 60;
    const double threshold = currentSettings_ ? static_cast<double>(std::max<int64_t>(setting, 5)) : 60.0;
    const double tick = std::chrono::duration<double>(options_.timings.playTick).count();
    const auto now = std::chrono::steady_clock::now();
    const bool mixer = hasMixer();
    for (const auto& [player, d] : server_->decks()) {
        if (!d.fromLibrary || !d.isPlaying || (mixer && !d.onAir) || now - d.updatedAt >= options_.timings.deckFresh)
            continue;
        const std::string key = std::to_string(player) + ":" + std::to_string(d.trackId);
        double& seconds = playSeconds_[key];
        seconds += tick;
        if (seconds < threshold) continue;
        const auto track = library_->track(d.trackId);
        if (!track || library_->played().count(d.trackId)) continue;
        library_->markPlayed(d.trackId);
        log("NOW", fmt::format("→ als gespielt markiert nach {} s: {} – {}", static_cast<int64_t>(seconds),
                               track->artist, track->title));
        if (onTrackPlayed) onTrackPlayed(std::to_string(d.trackId));
    }
}

// -- library ----------------------------------------------------------------------------------------

void CDJLibraryManager::update(std::vector<MusicRequest> requests, std::vector<Track> tracks) {
    lastRequests_ = std::move(requests);
    lastTracks_ = std::move(tracks);
    rebuild();
}

void CDJLibraryManager::setMessages(std::vector<GuestMessage> messages) {
    messages_ = std::move(messages);
    rebuild();
}

void CDJLibraryManager::rebuild() {
    if (syncTask_) syncTask_->cancel();
    const int64_t generation = ++generation_;
    std::weak_ptr<bool> weak = alive_;
    syncTask_ = Timer::once(MainLoop::shared().executor(), options_.timings.debounce, [this, weak, generation] {
        if (weak.expired()) return;
        spawnOnMain(
            [](CDJLibraryManager* self, std::weak_ptr<bool> w, int64_t g) -> Task<void> {
                if (w.expired()) co_return;
                co_await self->build(g);
            }(this, weak, generation),
            "cdj library build");
    });
}

std::vector<int64_t> CDJLibraryManager::requestTrackIdsFor(uint32_t servedId) const {
    auto it = servedFor_.find(servedId);
    return it == servedFor_.end() ? std::vector<int64_t>{} : it->second;
}

CDJLibraryManager::Task<void> CDJLibraryManager::build(int64_t generation) {
    std::weak_ptr<bool> weak = alive_;
    const RekordboxPaths paths = rekordboxPaths_ ? rekordboxPaths_() : RekordboxPaths{};
    const bool configured = !paths.dbPath.empty();

    std::map<int64_t, const Track*> trackById;
    for (const auto& t : lastTracks_) trackById[t.id] = &t;
    // Step 1: rekordbox content ids for the request tracks.
    json wanted = json::array();
    std::set<int64_t> seen;
    for (const auto& r : lastRequests_) {
        if (r.status == RequestStatus::declined || !seen.insert(r.trackId).second) continue;
        auto it = trackById.find(r.trackId);
        if (it == trackById.end()) continue;
        const Track& t = *it->second;
        if (t.rekordboxId && !t.rekordboxId->empty()) {
            try {
                idMap_[t.id] = static_cast<uint32_t>(std::stoull(*t.rekordboxId));
                continue;
            } catch (const std::exception&) {
            }
        }
        if (idMap_.count(t.id) || unresolvableTrackIds_.count(t.id)) continue;
        wanted.push_back({{"id", t.id}, {"path", t.resolvedFilePath().value_or("")}, {"title", t.title},
                          {"artist", t.artist}});
    }
    if (!wanted.empty() && configured) {
        bool ok = false;
        try {
            const std::string text = co_await rekordbox_.resolveCdjContentIds(paths.dbPath, paths.appSupportPath,
                                                                              wanted.dump());
            if (weak.expired()) co_return;
            json j = jsonx::parse(text);
            if (j.is_object() && jsonx::boolOrIntLenient(j, "ok", false)) {
                const json* map = jsonx::find(j, "map");
                size_t found = 0, missing = 0;
                if (map && map->is_object())
                    for (auto it = map->begin(); it != map->end(); ++it)
                        if (it.value().is_number_integer()) {
                            idMap_[std::stoll(it.key())] = static_cast<uint32_t>(it.value().get<int64_t>());
                            ++found;
                        }
                if (const json* un = jsonx::find(j, "unresolved"); un && un->is_array())
                    for (const auto& u : *un)
                        if (u.is_number_integer()) {
                            unresolvableTrackIds_.insert(u.get<int64_t>());
                            ++missing;
                        }
                log("SYNC", fmt::format("rekordbox-Zuordnung: {} gefunden, {} nicht gefunden", found, missing));
                ok = true;
            }
        } catch (const std::exception& e) {
            if (weak.expired()) co_return;
            log("ERR", std::string("rekordbox-Zuordnung fehlgeschlagen: ") + e.what());
            ok = true;  // logged with its reason
        }
        if (!ok) log("ERR", "rekordbox-Zuordnung fehlgeschlagen");
    }
    if (generation != generation_) co_return;  // a newer build follows

    // Step 2: export the content ids the cache lacks.
    std::optional<EventPlaylist> eventList;
    if (eventPlaylistLoader && currentSettings_ && currentSettings_->second.showEventPlaylist) {
        try {
            eventList = co_await eventPlaylistLoader();
        } catch (const std::exception& e) {
            if (weak.expired()) co_return;
            log("ERR", std::string("Event-Playlist nicht lesbar: ") + e.what());
        }
        if (weak.expired()) co_return;
        eventPlaylist_ = eventList;
    }
    std::vector<int64_t> need;
    std::set<uint32_t> needSet;
    for (const auto& r : lastRequests_) {
        auto it = idMap_.find(r.trackId);
        if (r.status == RequestStatus::declined || it == idMap_.end()) continue;
        if (!cache_.count(it->second) && needSet.insert(it->second).second) need.push_back(it->second);
    }
    if (eventPlaylist_)
        for (uint32_t id : eventPlaylist_->contentIds)
            if (!cache_.count(id) && needSet.insert(id).second) need.push_back(id);
    if (!need.empty()) {
        if (!configured) {
            log("ERR", "rekordbox-Datenbank nicht konfiguriert (Einstellungen → DJ-Software)");
        } else {
            isCaching_ = true;
            json ids = need;
            std::string text;
            std::string failure;
            try {
                text = co_await rekordbox_.exportCdjTracks(paths.dbPath, paths.appSupportPath, ids.dump(),
                                                           (options_.cacheFolder / "artwork").string());
            } catch (const std::exception& e) {
                failure = e.what();
            }
            if (weak.expired()) co_return;
            isCaching_ = false;
            bool ok = false;
            if (failure.empty()) {
                try {
                    json j = jsonx::parse(text);
                    if (j.is_object() && jsonx::boolOrIntLenient(j, "ok", false)) {
                        // Decode everything first: a bad record leaves the cache as it was.
                        std::vector<CDJTrack> got = jsonx::recordArray<CDJTrack>(j, "tracks");
                        std::vector<uint32_t> missing;
                        if (const json* m = jsonx::find(j, "missing"); m && m->is_array())
                            for (const auto& x : *m)
                                if (x.is_number_integer()) missing.push_back(static_cast<uint32_t>(x.get<int64_t>()));
                        for (auto& t : got) cache_[t.id] = std::move(t);
                        for (uint32_t m : missing)
                            if (std::find(missingTrackIds_.begin(), missingTrackIds_.end(), m) == missingTrackIds_.end())
                                missingTrackIds_.push_back(m);
                        ok = true;
                    } else if (j.is_object()) {
                        failure = jsonx::find(j, "error") && j["error"].is_string() ? j["error"].get<std::string>()
                                                                                    : std::string("keine Antwort");
                    }
                } catch (const std::exception& e) {
                    failure = e.what();
                }
            }
            if (ok) {
                saveCache();
            } else {
                log("ERR", "rekordbox-Export fehlgeschlagen" + (failure.empty() ? "" : ": " + failure));
            }
        }
    }
    if (generation != generation_) co_return;
    replaceContent();
    ++buildCount_;
}

void CDJLibraryManager::replaceContent() {
    std::map<int64_t, const Track*> trackById;
    for (const auto& t : lastTracks_) trackById[t.id] = &t;
    std::map<uint32_t, CDJTrack> served;
    std::map<uint32_t, std::vector<int64_t>> servedFor;

    // The served id of a request: its rekordbox track, else its own file, else nothing.
    auto servedId = [&](const MusicRequest& r) -> std::optional<uint32_t> {
        if (auto it = idMap_.find(r.trackId); it != idMap_.end()) {
            if (auto c = cache_.find(it->second); c != cache_.end()) {
                served.emplace(c->first, c->second);
                auto& v = servedFor[c->first];
                if (std::find(v.begin(), v.end(), r.trackId) == v.end()) v.push_back(r.trackId);
                return c->first;
            }
        }
        auto t = trackById.find(r.trackId);
        if (t == trackById.end()) return std::nullopt;
        const auto path = t->second->resolvedFilePath();
        if (!path) return std::nullopt;
        const uint32_t id = cdjOwnFileIdBase | static_cast<uint32_t>(r.trackId & 0x7FFFFFFF);
        if (!served.count(id)) {
            CDJTrack own = blankTrack();
            own.id = id;
            own.title = t->second->title;
            own.artist = t->second->artist;
            own.genre = t->second->genre;
            own.key = t->second->keyNotation;
            own.bpm100 = static_cast<int64_t>(t->second->bpm * 100.0 + 0.5);
            own.duration = t->second->durationSeconds;
            own.filePath = *path;
            own.fileSize = fileSize(*path);
            own.fileType = lowerExtension(*path);
            served.emplace(id, std::move(own));
        }
        auto& v = servedFor[id];
        if (std::find(v.begin(), v.end(), r.trackId) == v.end()) v.push_back(r.trackId);
        return id;
    };
    auto listOf = [&](uint32_t id, std::string name, const std::vector<MusicRequest>& requests) {
        CDJPlaylist p{id, std::move(name), {}};
        for (const auto& r : requests)
            if (auto s = servedId(r); s && std::find(p.trackIds.begin(), p.trackIds.end(), *s) == p.trackIds.end())
                p.trackIds.push_back(*s);
        return p;
    };
    const CDJLinkSettings settings = currentSettings_ ? currentSettings_->second : CDJLinkSettings{};
    std::vector<CDJPlaylist> lists;
    lists.push_back(listOf(cdjConfirmedListId, "Bestätigte Wünsche", confirmedOrder(lastRequests_)));
    lists.push_back(listOf(cdjWishListId, "Wunschliste", wishOrder(lastRequests_)));
    lists.push_back(listOf(cdjTopVotesListId, "Top Votes", topOrder(lastRequests_)));
    if (settings.showPlayedList) lists.push_back(listOf(cdjPlayedListId, "Gespielt", playedOrder(lastRequests_)));
    if (settings.showEventPlaylist && eventPlaylist_ && !eventPlaylist_->contentIds.empty()) {
        CDJPlaylist p{cdjEventListId,
                      eventPlaylist_->name.empty() ? "Event-Playlist" : "Event: " + eventPlaylist_->name, {}};
        for (uint32_t id : eventPlaylist_->contentIds)
            if (auto c = cache_.find(id); c != cache_.end()) {
                served.emplace(id, c->second);
                p.trackIds.push_back(id);
            }
        if (!p.trackIds.empty()) lists.push_back(std::move(p));
    }
    if (settings.showMessagesList) {
        CDJPlaylist p{cdjMessagesListId, "Nachrichten", {}};
        uint32_t n = 0;
        for (const auto& m : messages_) {
            if (m.isDjReply) continue;
            CDJTrack entry = blankTrack();
            entry.id = cdjMessageIdBase + n++;
            entry.title = m.content;
            entry.artist = m.guestName.empty() ? "Gast" : m.guestName;
            served.emplace(entry.id, entry);
            p.trackIds.push_back(entry.id);
            if (n >= 0x0FFFFFFF) break;
        }
        lists.push_back(std::move(p));
    }
    std::vector<CDJTrack> tracks;
    tracks.reserve(served.size());
    for (auto& [id, t] : served) tracks.push_back(std::move(t));
    library_->replaceContent(tracks, lists);
    servedFor_ = std::move(servedFor);
    servedTrackCount_ = tracks.size();
    size_t toExport = 0;
    for (const auto& r : lastRequests_)
        if (r.status != RequestStatus::declined && !idMap_.count(r.trackId) && !unresolvableTrackIds_.count(r.trackId))
            ++toExport;
    log("SYNC", fmt::format("Library: {} bestätigt, {} Wunschliste, {} Top Votes, {} gespielt; {} Tracks, {} ohne "
                            "rekordbox-Zuordnung offen",
                            lists[0].trackIds.size(), lists[1].trackIds.size(), lists[2].trackIds.size(),
                            settings.showPlayedList ? lists[3].trackIds.size() : 0, tracks.size(), toExport));
}

// -- cache files ------------------------------------------------------------------------------------

void CDJLibraryManager::loadCache() {
    size_t missing = 0;
    if (auto text = readFile(options_.cacheFolder / "tracks.json")) {
        try {
            for (auto& t : parseTracks(*text)) cache_[t.id] = std::move(t);
        } catch (const std::exception&) {
            cache_.clear();  // unreadable: as if empty
        }
    }
    if (auto text = readFile(options_.cacheFolder / "idmap.json")) {
        try {
            json j = jsonx::parse(*text);
            if (j.is_object())
                for (auto it = j.begin(); it != j.end(); ++it)
                    if (it.value().is_number_integer()) idMap_[std::stoll(it.key())] = it.value().get<uint32_t>();
        } catch (const std::exception&) {
            idMap_.clear();
        }
    }
    for (const auto& [trackId, contentId] : idMap_)
        if (!cache_.count(contentId)) ++missing;
    if (!cache_.empty() || !idMap_.empty())
        log("INFO", fmt::format("rekordbox-Cache: {} Tracks geladen, {} fehlen", cache_.size(), missing));
}

void CDJLibraryManager::saveCache() const {
    ordered_json tracks = ordered_json::array();
    for (const auto& [id, t] : cache_) tracks.push_back(t.toJson());
    json ids = json::object();
    for (const auto& [trackId, contentId] : idMap_) ids[std::to_string(trackId)] = contentId;
    std::error_code ec;
    fs::create_directories(options_.cacheFolder, ec);
    try {
        writeFileAtomically(options_.cacheFolder / "tracks.json", tracks.dump());
        writeFileAtomically(options_.cacheFolder / "idmap.json", ids.dump());
    } catch (const std::exception& e) {
        log("WARN", std::string("rekordbox-Cache konnte nicht geschrieben werden: ") + e.what());
    }
}

json CDJLibraryManager::statusJson() const {
    json peers = json::array();
    for (const auto& p : (mode_ == Mode::active ? peers_ : standbyPeers_))
        peers.push_back({{"name", p.name}, {"kind", p.kind}, {"address", p.address}, {"deviceNumber", p.deviceNumber}});
    json lists = json::array();
    for (const auto& p : library_->playlists())
        lists.push_back({{"id", p.id}, {"name", p.name}, {"count", p.trackIds.size()}});
    return {{"mode", modeName(mode_)},          {"statusText", statusText_},
            {"lastError", lastError_ ? json(*lastError_) : json()},
            {"peers", peers},                   {"servedTrackCount", servedTrackCount_},
            {"cacheCount", cache_.size()},      {"missing", missingTrackIds_.size()},
            {"lists", lists},                   {"played", library_->played().size()},
            {"tagList", tagList_}};
}

}  // namespace fv
