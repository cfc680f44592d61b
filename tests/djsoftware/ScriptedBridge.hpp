#pragma once
// A bridge whose answers the test sets: for the manager's own logic, apart from any program.
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/MainLoop.hpp"
#include "djsoftware/DJSoftwareBridge.hpp"

namespace fv::test {

class ScriptedBridge : public DJSoftwareBridge {
public:
    explicit ScriptedBridge(DJSoftwareType t) : type_(t) {}

    DJSoftwareType softwareType() const override { return type_; }
    Task<bool> isAvailable() override { co_return available; }

    Task<std::optional<DJNowPlaying>> getCurrentlyPlaying() override {
        int n = reads++;
        if (n == hangOnRead) co_await sleepFor(std::chrono::seconds(2));
        if (nowPlaying.empty()) co_return std::nullopt;
        co_return nowPlaying[std::min<size_t>(size_t(n), nowPlaying.size() - 1)];
    }
    Task<std::string> createPlaylist(std::string name) override {
        fail();
        std::string id = "playlist:" + name;
        if (!playlists.count(id)) {
            playlists[id] = {};
            ++created;
        }
        co_return id;
    }
    Task<void> addTrackToPlaylist(std::string track, std::string playlist, std::size_t position) override {
        fail();
        auto& v = list(playlist);
        std::erase(v, track);
        v.insert(v.begin() + std::ptrdiff_t(std::min(position, v.size())), track);
        co_return;
    }
    Task<void> removeTrackFromPlaylist(std::string track, std::string playlist) override {
        fail();
        std::erase(list(playlist), track);
        co_return;
    }
    Task<void> reorderPlaylist(std::string playlist, std::vector<std::string> tracks) override {
        fail();
        list(playlist) = tracks;
        co_return;
    }
    Task<bool> playlistExists(std::string playlist) override { co_return playlists.count(playlist) > 0; }

    BridgeStatus configure(const AppSettings&) override { return configuredStatus; }
    Task<BridgeStatus> refreshStatus(BridgeStatus) override { co_return refreshedStatus; }
    bool supportsNowPlayingPolling() const override { return polls; }

    bool available = false;
    bool polls = true;
    std::vector<std::optional<DJNowPlaying>> nowPlaying;
    int reads = 0;
    int hangOnRead = -1;
    std::map<std::string, std::vector<std::string>> playlists;
    int created = 0;
    std::string failWrites;
    BridgeStatus configuredStatus, refreshedStatus;

private:
    void fail() const {
        if (!failWrites.empty()) throw std::runtime_error(failWrites);
    }
    std::vector<std::string>& list(const std::string& id) {
        auto it = playlists.find(id);
        if (it == playlists.end()) throw DJBridgeError::playlistNotFound(id);
        return it->second;
    }
    DJSoftwareType type_;
};

}  // namespace fv::test
