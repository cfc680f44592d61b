#include "djsoftware/RekordboxBridge.hpp"

#include <unistd.h>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "session/AppSettings.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace fv {
namespace fs = std::filesystem;

RekordboxBridge::RekordboxBridge(RekordboxService& service)
    : isRekordboxRunning([] { return RekordboxService::isRekordboxRunning(); }), service_(service) {}

RekordboxBridge::Task<bool> RekordboxBridge::isAvailable() { co_return available(); }

bool RekordboxBridge::available() const { return !dbPath.empty() && !appSupportPath.empty(); }

void RekordboxBridge::checkWritable() const {
    if (!available()) throw DJBridgeError::softwareNotAvailable(DJSoftwareType::rekordbox);
    if (isRekordboxRunning && isRekordboxRunning()) throw DJBridgeError::softwareRunning(DJSoftwareType::rekordbox);
}

RekordboxBridge::Task<std::optional<DJNowPlaying>> RekordboxBridge::getCurrentlyPlaying() {
    logLine("RekordboxBridge", std::string("getCurrentlyPlaying: calling service.getNowPlaying… thread=") +
                                   (MainLoop::shared().isCurrent() ? "MAIN" : "WORKER"));
    auto now = co_await service_.getNowPlaying(dbPath, appSupportPath);
    logLine("RekordboxBridge", "getCurrentlyPlaying: service returned");
    if (!now) co_return std::nullopt;
    co_return DJNowPlaying{now->title, now->artist, std::chrono::system_clock::now()};
}

RekordboxBridge::Task<std::string> RekordboxBridge::createPlaylist(std::string name) {
    checkWritable();
    try {
        co_return co_await service_.createPlaylist(dbPath, appSupportPath, name, "Floorvote");
    } catch (const RekordboxOperationError& e) {
        throw DJBridgeError::playlistCreationFailed(e.what());
    }
}

RekordboxBridge::Task<void> RekordboxBridge::addTrackToPlaylist(std::string trackId, std::string playlistId,
                                                                std::size_t position) {
    checkWritable();
    try {
        co_await service_.addTrackToPlaylist(dbPath, appSupportPath, playlistId, trackId,
                                             static_cast<int64_t>(position));
    } catch (const RekordboxOperationError& e) {
        throw DJBridgeError::trackNotFound(e.what());
    }
}

RekordboxBridge::Task<void> RekordboxBridge::removeTrackFromPlaylist(std::string trackId, std::string playlistId) {
    checkWritable();
    try {
        co_await service_.removeTrackFromPlaylist(dbPath, appSupportPath, playlistId, trackId);
    } catch (const RekordboxOperationError& e) {
        throw DJBridgeError::trackNotFound(e.what());
    }
}

RekordboxBridge::Task<void> RekordboxBridge::reorderPlaylist(std::string playlistId, std::vector<std::string> trackIds) {
    checkWritable();
    try {
        co_await service_.reorderPlaylist(dbPath, appSupportPath, playlistId, std::move(trackIds));
    } catch (const RekordboxOperationError& e) {
        throw DJBridgeError::playlistNotFound(e.what());
    }
}

RekordboxBridge::Task<bool> RekordboxBridge::playlistExists(std::string playlistId) {
    co_return co_await service_.playlistExists(dbPath, appSupportPath, playlistId);
}

RekordboxBridge::Task<std::string> RekordboxBridge::getOrCreateContentId(std::string filePath, std::string title,
                                                                        std::string artist, std::string album,
                                                                        std::string genre, int64_t durationSeconds) {
    checkWritable();
    try {
        co_return co_await service_.getOrCreateContentId(dbPath, appSupportPath, filePath, title, artist, album,
                                                         genre, durationSeconds);
    } catch (const RekordboxOperationError& e) {
        throw DJBridgeError::trackNotFound(e.what());
    }
}

RekordboxBridge::Task<json> RekordboxBridge::exportPlaylist(std::string name, json entries) {
    checkWritable();
    std::string answer;
    try {
        answer = co_await service_.exportPlaylist(dbPath, appSupportPath, name, entries.dump());
    } catch (const RekordboxOperationError& e) {
        throw DJBridgeError::playlistCreationFailed(e.what());
    }
    co_return json::parse(answer);
}

BridgeStatus RekordboxBridge::configure(const AppSettings& settings) {
    bool chosen = false, accessProblem = false;
    std::string db;
    if (!settings.lastRekordboxPath.empty()) {
        chosen = true;
        db = settings.lastRekordboxPath;
        std::error_code ec;
        if (fs::is_directory(db, ec) && fs::exists(fs::path(db) / "master.db", ec)) db = (fs::path(db) / "master.db").string();
        accessProblem = ::access(db.c_str(), R_OK) != 0;
    } else if (auto detected = RekordboxService::detectMasterDb()) {
        db = *detected;
    }
    std::string support;
    if (!settings.lastRekordboxAppSupportPath.empty()) {
        support = settings.lastRekordboxAppSupportPath;
        accessProblem = accessProblem || ::access(support.c_str(), R_OK) != 0;
    } else if (auto detected = RekordboxService::detectAppSupport()) {
        support = *detected;
    } else if (!db.empty()) {
        // Without an application-support folder the database's own folder holds the analysis files.
        support = fs::path(db).parent_path().string();
    }
    if (db.empty()) {
        dbPath.clear();
        appSupportPath.clear();
        return BridgeStatus::notConfigured();
    }
    dbPath = db;
    appSupportPath = support;
    if (accessProblem) return BridgeStatus::accessDenied();
    return chosen ? BridgeStatus::configured() : BridgeStatus::autoDetected();
}

RekordboxBridge::Task<BridgeStatus> RekordboxBridge::refreshStatus(BridgeStatus configured) {
    if (dbPath.empty())
        co_return configured.kind() == BridgeStatus::Kind::accessDenied ? configured : BridgeStatus::notConfigured();
    try {
        auto lists = co_await service_.listPlaylists(dbPath, appSupportPath);
        co_return BridgeStatus::connected(std::to_string(lists.size()) + " Playlisten");
    } catch (const std::exception& e) {
        logLine("DJManager", std::string("rekordbox listPlaylists error: ") + e.what());
        co_return BridgeStatus::dbAccessFailed();
    }
}

}  // namespace fv
