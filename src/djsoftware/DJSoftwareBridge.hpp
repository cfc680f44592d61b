#pragma once
// The one contract over the DJ programs. Operations run as coroutines on the main loop; a bridge
// that has to block (a slow volume, another program's database) moves that part off the loop
// itself. Failures are DJBridgeError (or a bridge's own error with a German text).
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "djsoftware/DJSoftwareType.hpp"
#include "djsoftware/DJSoftwareTypes.hpp"

namespace fv {

struct AppSettings;

class DJSoftwareBridge {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    virtual ~DJSoftwareBridge() = default;

    virtual DJSoftwareType softwareType() const = 0;
    // Whether the program's data can be reached now.
    virtual Task<bool> isAvailable() = 0;
    virtual Task<std::optional<DJNowPlaying>> getCurrentlyPlaying() = 0;
    // The new playlist's identifier; an existing playlist of that name is kept and named.
    virtual Task<std::string> createPlaylist(std::string name) = 0;
    // A track already in the playlist moves to position; a position past the end appends.
    virtual Task<void> addTrackToPlaylist(std::string trackId, std::string playlistId, std::size_t position) = 0;
    virtual Task<void> removeTrackFromPlaylist(std::string trackId, std::string playlistId) = 0;
    virtual Task<void> reorderPlaylist(std::string playlistId, std::vector<std::string> trackIds) = 0;
    virtual Task<bool> playlistExists(std::string playlistId) = 0;

    // How the manager sets a bridge up; each program knows its own settings. configure runs at
    // once (no I/O beyond existence and access tests) and returns the status to show until the
    // next refresh; refreshStatus looks at the program's data and gets the configured status.
    virtual BridgeStatus configure(const AppSettings& settings);
    virtual Task<BridgeStatus> refreshStatus(BridgeStatus configured);
    // Whether the manager polls now playing from this program.
    virtual bool supportsNowPlayingPolling() const { return true; }
    // The folder or file the bridge works on, for the DJ to see (empty when none).
    virtual std::string location() const { return {}; }
};

}  // namespace fv
