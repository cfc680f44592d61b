#include "app/SessionCDJ.hpp"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <unistd.h>

#include "core/Files.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "core/Paths.hpp"
#include "core/SerialQueue.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "session/AppSettings.hpp"
#include "session/AppStore.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace fv::app {
namespace fs = std::filesystem;

namespace {
std::string utcNow() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}
}  // namespace

SessionCDJ::SessionCDJ(AppStore& store, CDJLibraryManager::Options options)
    : store_(store), options_(std::move(options)) {}

SessionCDJ::~SessionCDJ() { stop(); }

fs::path SessionCDJ::statusFile() { return xdgStateHome() / "floorvote" / "cdj-status.json"; }

std::optional<json> SessionCDJ::readStatus() {
    auto text = readFile(statusFile());
    if (!text) return std::nullopt;
    json j = json::parse(*text, nullptr, false);
    if (!j.is_object() || !j.contains("pid") || !j["pid"].is_number_integer()) return std::nullopt;
    // A file left by a session that ended without cleaning up says nothing.
    const pid_t pid = static_cast<pid_t>(j["pid"].get<int64_t>());
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM)) return std::nullopt;
    return j;
}

CDJLibraryManager::RekordboxPaths SessionCDJ::rekordboxPaths() {
    const AppSettings s = AppSettings::load();
    CDJLibraryManager::RekordboxPaths p;
    p.dbPath = !s.lastRekordboxPath.empty() ? s.lastRekordboxPath : RekordboxService::detectMasterDb().value_or("");
    p.appSupportPath = !s.lastRekordboxAppSupportPath.empty() ? s.lastRekordboxAppSupportPath
                                                              : RekordboxService::detectAppSupport().value_or("");
    return p;
}

void SessionCDJ::start() {
    if (manager_ || !store_.settings().cdjLibraryEnabled) return;
    manager_ = std::make_unique<CDJLibraryManager>(RekordboxService::shared(), &SessionCDJ::rekordboxPaths, options_);
    std::weak_ptr<bool> weak = alive_;
    manager_->onNowPlaying = [this, weak](const std::string& title, const std::string& artist, const std::string&) {
        if (weak.expired()) return;
        spawnOnMain(store_.reportNowPlaying(title, artist), "cdj now playing");
        if (store_.onNowPlaying) store_.onNowPlaying(NowPlayingInfo{title, artist, utcNow()});
    };
    manager_->onTrackPlayed = [this, weak](const std::string& id) {
        if (!weak.expired()) spawnOnMain(markPlayed(id), "cdj played");
    };
    manager_->onTagAdded = [this, weak](const std::string& id) {
        if (!weak.expired()) spawnOnMain(confirmTagged(id), "cdj tag");
    };
    // List 4715: the event's playlist in rekordbox, as the DJ software sync keeps it.
    manager_->eventPlaylistLoader = [this]() -> Task<std::optional<CDJLibraryManager::EventPlaylist>> {
        std::optional<std::string> id;
        if (const auto& prefs = store_.preferences()) {
            if (auto it = prefs->djSoftwarePlaylistIds.find("rekordbox"); it != prefs->djSoftwarePlaylistIds.end())
                id = it->second;
        }
        const auto paths = rekordboxPaths();
        if (!id || paths.dbPath.empty()) co_return std::nullopt;
        auto tracks = co_await RekordboxService::shared().listTracks(paths.dbPath, paths.appSupportPath, *id);
        CDJLibraryManager::EventPlaylist list;
        list.name = store_.event() ? store_.event()->eventName : std::string();
        for (const auto& t : tracks)
            if (t.contentId) {
                try {
                    list.contentIds.push_back(static_cast<uint32_t>(std::stoull(*t.contentId)));
                } catch (const std::exception&) {
                }
            }
        co_return list;
    };
    manager_->applySettings(true, store_.settings().cdjLinkSettings);
    follow();
    manager_->update(store_.requestStore.requests(), store_.cachedTracks());
    manager_->setMessages(store_.messageStore.messages());
    online_ = store_.event() && store_.event()->isActive;
    manager_->setEventOnline(*online_);
    // Online state and the status file follow the session once a second.
    ticker_ = Timer::repeating(MainLoop::shared().executor(), std::chrono::seconds(1), [this, weak] {
        if (weak.expired() || !manager_) return;
        const bool online = store_.event() && store_.event()->isActive;
        if (online != online_) {
            online_ = online;
            manager_->setEventOnline(online);
        }
        writeStatus();
    });
    writeStatus();
}

void SessionCDJ::follow() {
    std::weak_ptr<bool> weak = alive_;
    savedRequestsChanged_ = store_.requestStore.onRequestsChanged;
    store_.requestStore.onRequestsChanged = [this, weak, saved = savedRequestsChanged_] {
        if (saved) saved();
        if (!weak.expired() && manager_) manager_->update(store_.requestStore.requests(), store_.cachedTracks());
    };
    savedMessagesChanged_ = store_.messageStore.onMessagesChanged;
    store_.messageStore.onMessagesChanged = [this, weak, saved = savedMessagesChanged_] {
        if (saved) saved();
        if (!weak.expired() && manager_) manager_->setMessages(store_.messageStore.messages());
    };
}

void SessionCDJ::stop() {
    if (!manager_) return;
    if (ticker_) ticker_->cancel();
    ticker_.reset();
    store_.requestStore.onRequestsChanged = savedRequestsChanged_;
    store_.messageStore.onMessagesChanged = savedMessagesChanged_;
    manager_->applySettings(false, store_.settings().cdjLinkSettings);
    manager_.reset();
    std::error_code ec;
    fs::remove(statusFile(), ec);
}

void SessionCDJ::writeStatus() {
    if (!manager_) return;
    json j = manager_->statusJson();
    j["pid"] = static_cast<int64_t>(::getpid());
    const std::string text = j.dump();
    if (text == lastStatus_) return;
    lastStatus_ = text;
    try {
        ensureDirectory(statusFile().parent_path());
        writeFileAtomically(statusFile(), text, 0600);
    } catch (const std::exception& e) {
        logLine("CDJ", std::string("status file: ") + e.what());
    }
}

SessionCDJ::Task<void> SessionCDJ::markPlayed(std::string id) {
    if (!manager_) co_return;
    std::vector<int64_t> trackIds;
    try {
        trackIds = manager_->requestTrackIdsFor(static_cast<uint32_t>(std::stoull(id)));
    } catch (const std::exception&) {
        co_return;
    }
    std::vector<int64_t> ids;
    for (const auto& r : store_.requestStore.requests())
        if ((r.status == RequestStatus::confirmed || r.status == RequestStatus::pending) &&
            std::find(trackIds.begin(), trackIds.end(), r.trackId) != trackIds.end())
            ids.push_back(r.id);
    if (!ids.empty()) (void)co_await store_.markPlayed(std::move(ids));
}

SessionCDJ::Task<void> SessionCDJ::confirmTagged(std::string id) {
    // Tracks that carry the rekordbox id themselves…
    co_await store_.confirmFromTag(id);
    if (!manager_) co_return;
    // …and those the library matched to it (by path or by title and artist), or served from their file.
    std::vector<int64_t> trackIds;
    try {
        trackIds = manager_->requestTrackIdsFor(static_cast<uint32_t>(std::stoull(id)));
    } catch (const std::exception&) {
        co_return;
    }
    std::vector<int64_t> ids;
    for (const auto& r : store_.requestStore.pending())
        if (std::find(trackIds.begin(), trackIds.end(), r.trackId) != trackIds.end()) ids.push_back(r.id);
    if (!ids.empty()) (void)co_await store_.confirm(std::move(ids));
}

}  // namespace fv::app
