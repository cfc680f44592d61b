#pragma once
// The remote database server: the port query service (TCP 12523) that tells players where the
// database listens, and the database listener (dbPort) with one CDJDbSession per connection.
// Every listener, connection and session runs on the serial queue given at creation.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cdjlink/CDJAnlz.hpp"
#include "cdjlink/CDJDbCodec.hpp"
#include "cdjlink/CDJDbMenus.hpp"
#include "cdjlink/CDJModels.hpp"

namespace fv {
class SerialQueue;
class Timer;
}

namespace fv::cdj {

class CDJDbServer;
class CDJTcpConnection;
class CDJTcpListener;

// One database connection: greeting, then messages. The protocol steps are in receive(), apart
// from the socket, so they can be driven directly.
class CDJDbSession {
public:
    // Prepared menus waiting for a render, by the transaction id that prepared them; the oldest
    // are dropped beyond this many (players do not always render what they prepared).
    static constexpr size_t maxPendingByTx = 32;

    CDJDbSession(int64_t id, CDJDbServer& server, std::string peer,
                 std::shared_ptr<CDJTcpConnection> conn = nullptr);

    struct Output {
        Bytes bytes;       // to send, in one write
        bool end = false;  // the stream is out of step: close after sending
    };
    Output receive(std::span<const uint8_t> data);

    // Stores a prepared menu under the transaction id, the menu location and as `last`.
    void remember(uint32_t txid, int64_t location, std::vector<CDJMenuItem> items);
    void remember(uint32_t txid, int64_t location, CDJMenuList list);

    const int64_t id;
    const std::string peer;
    // Last time bytes arrived (for the idle time-outs).
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    std::shared_ptr<CDJTcpConnection> conn;
    CDJDbReader reader;
    bool handshakeDone = false;
    Bytes hsBuf;
    std::map<uint32_t, CDJMenuList> pendingByTx;
    std::deque<uint32_t> pendingOrder;  // insertion order of pendingByTx
    std::map<int64_t, CDJMenuList> pendingByMenu;
    CDJMenuList last;
    CDJDbServer& server;
};

class CDJDbServer : public std::enable_shared_from_this<CDJDbServer> {
public:
    static constexpr uint16_t defaultQueryPort = 12523;

    // What one LAN peer may hold: a flood of idle connections must not starve the players.
    struct Limits {
        size_t maxSessions = 32;  // every player and tool on a booth network, with room to spare
        size_t maxSessionsPerPeer = 8;  // one host cannot take every place
        std::chrono::milliseconds queryTimeout{5000};      // a port query is one short exchange
        std::chrono::milliseconds greetingTimeout{10000};  // until the 5-byte greeting is complete
        std::chrono::milliseconds idleTimeout{300000};     // a session that sends nothing
        // When full, a new connection takes the place of one that has not greeted for this long.
        std::chrono::milliseconds evictAfterIdle{1000};
        std::chrono::milliseconds sweepInterval{1000};
    };

    // Opens nothing. The port query listens on queryPort; the database on settings.dbPort (0 binds
    // an ephemeral port, which the port query then names). Own it through a shared_ptr (the
    // socket callbacks hold it weakly); start() refuses otherwise.
    CDJDbServer(SerialQueue& queue, std::shared_ptr<CDJLibrary> library, CDJLinkSettings settings,
                uint16_t queryPort = defaultQueryPort, CDJAnlzCache& anlz = CDJAnlzCache::shared());
    ~CDJDbServer();
    CDJDbServer(const CDJDbServer&) = delete;
    CDJDbServer& operator=(const CDJDbServer&) = delete;

    // Takes effect for connections accepted after the next start().
    void setLimits(const Limits& limits);

    // Opens the port query listener, then the database listener. Throws CDJSocketError; a failure
    // leaves nothing open. Callable from any thread (runs on the queue); does nothing when running.
    void start();
    // Closes both listeners and every open connection; idempotent, never fails.
    void stop();
    bool isRunning() const;

    // Menus, columns and the played-list options take effect for the next request.
    void updateSettings(const CDJLinkSettings& settings);
    CDJLinkSettings settings() const;

    // Called on the queue with the new Tag List after a player changed it.
    std::function<void(const std::vector<uint32_t>& tagList)> onTagListChanged;

    uint16_t queryPort() const;
    uint16_t dbPort() const;
    size_t openSessions() const;
    int64_t sessionCount() const;

    SerialQueue& queue() { return queue_; }
    CDJLibrary& library() { return *library_; }
    CDJAnlzCache& anlz() { return anlz_; }
    // For the request handlers: on the queue, or in a test that drives a session without sockets.
    const CDJLinkSettings& currentSettings() const { return settings_; }
    CDJDbTrackIndex& trackIndex() { return trackIndex_; }

private:
    void acceptQuery(const std::shared_ptr<CDJTcpConnection>& conn);
    void acceptSession(const std::shared_ptr<CDJTcpConnection>& conn);
    void sweep();
    bool makeRoom(const std::string& peer, bool samePeerOnly);
    void stopOnQueue();

    SerialQueue& queue_;
    std::shared_ptr<CDJLibrary> library_;
    CDJLinkSettings settings_;
    uint16_t queryPortSetting_;
    CDJAnlzCache& anlz_;
    CDJDbTrackIndex trackIndex_;

    std::shared_ptr<CDJTcpListener> queryListener_;
    std::shared_ptr<CDJTcpListener> dbListener_;
    std::map<int64_t, std::shared_ptr<CDJDbSession>> sessions_;
    std::map<const CDJTcpConnection*, Bytes> queryBuffers_;
    std::map<const CDJTcpConnection*, std::shared_ptr<CDJTcpConnection>> queryConns_;
    std::map<const CDJTcpConnection*, std::chrono::steady_clock::time_point> queryStarted_;
    int64_t sessionCount_ = 0;
    Limits limits_;
    std::shared_ptr<Timer> sweepTimer_;
    std::chrono::steady_clock::time_point lastRefusalLog_{};
    size_t refusedUnlogged_ = 0;
};

}  // namespace fv::cdj
