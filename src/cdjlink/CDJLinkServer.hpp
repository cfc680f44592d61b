#pragma once
// The media source as one piece: the file service, the remote database and the presence, started
// and stopped together on one serial queue, with nothing left open after a failed start.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cdjlink/CDJModels.hpp"
#include "cdjlink/CDJNfsServer.hpp"
#include "cdjlink/CDJSockets.hpp"

namespace fv {
class SerialQueue;
}

namespace fv::cdj {

class CDJDbServer;
class CDJProDJLink;

class CDJLinkServerError : public std::runtime_error {
public:
    enum class Kind { noInterface, alreadyRunning, rekordboxRunning };

    // Empty name: no usable interface at all; otherwise the configured one is missing.
    static CDJLinkServerError noInterface(const std::string& name);
    static CDJLinkServerError alreadyRunning();
    // Not thrown by the server; for callers that report a local rekordbox as an error.
    static CDJLinkServerError rekordboxRunning();

    Kind kind() const { return kind_; }
    const std::string& interfaceName() const { return interfaceName_; }

private:
    CDJLinkServerError(Kind kind, std::string interfaceName, const std::string& text);
    Kind kind_;
    std::string interfaceName_;
};

// Ports and the interface list, replaceable for tests; production uses the defaults.
struct CDJLinkServerOptions {
    CDJNfsPorts nfsPorts;
    uint16_t dbQueryPort = 12523;
    std::function<std::vector<CDJInterface>()> interfaces = [] { return availableInterfaces(); };
};

// Create it with std::make_shared: the services' callbacks hold the server weakly. start(),
// stop(), updateSettings() and the accessors may be called from any thread; the work runs on the
// queue "floorvote.cdjlink", where every network handler of the three services runs too.
class CDJLinkServer : public std::enable_shared_from_this<CDJLinkServer> {
public:
    CDJLinkServer(std::shared_ptr<CDJLibrary> library, CDJLinkSettings settings, CDJLinkServerOptions options = {});
    ~CDJLinkServer();
    CDJLinkServer(const CDJLinkServer&) = delete;
    CDJLinkServer& operator=(const CDJLinkServer&) = delete;

    // Chooses the interface, then starts the file service, the database server and the presence.
    // Throws CDJLinkServerError or the CDJSocketError of the service that failed, after stopping
    // whatever had started: a failed start leaves no port open.
    void start();
    // Never fails; nothing when not running. Players drop the source after their keepalive time-out.
    void stop();

    // The database server takes the new settings at once; presence and file service keep the
    // copy they started with until the next start.
    void updateSettings(const CDJLinkSettings& settings);
    CDJLinkSettings settings() const;
    // The database server's copy while running.
    std::optional<CDJLinkSettings> databaseSettings() const;

    // The presence's decks by player number; empty when not running.
    std::map<int64_t, CDJDeckState> decks() const;
    bool isRunning() const { return running_; }
    // The interface chosen at the last start.
    CDJInterface iface() const;
    SerialQueue& queue() { return *queue_; }

    // Invoked on the queue; receivers hop to their own thread. Set before start() or on the queue.
    std::function<void(const CDJDeckState&)> onDeckChanged;
    std::function<void(const std::vector<CDJPeer>&)> onPeersChanged;
    std::function<void(const std::vector<uint32_t>& tagList)> onTagListChanged;

private:
    void startOnQueue();
    void stopOnQueue();

    std::unique_ptr<SerialQueue> queue_;
    std::shared_ptr<CDJLibrary> library_;
    CDJLinkSettings settings_;
    CDJLinkServerOptions options_;
    CDJInterface iface_;
    std::shared_ptr<CDJProDJLink> link_;
    std::shared_ptr<CDJNfsServer> nfs_;
    std::shared_ptr<CDJDbServer> db_;
    std::atomic<bool> running_{false};
};

}  // namespace fv::cdj
