#pragma once
// The local overlay server: any GET returns the overlay page for the current configuration; a
// WebSocket upgrade on the same port subscribes the page to overlay events.
//
// Threads. The listener and every connection run on the server's own queue
// ("floorvote.overlay"). Everything public here is called on the main loop, and the observable
// state (isRunning, port, connectedClients, connectionIds, overlayConfig, liveDataEnabled) is
// changed only there; the queue hops to the main loop to report clients coming and going.
//
// How the session drives it:
//   OverlayServer& overlay = ...;                       // one per application, owned by the store
//   overlay.setInitialStateProvider([&] {               // the event each new page gets first
//       return OverlayEvent::initialState(overlayConfig, nowTitle, nowArtist, guestCount, up, down);
//   });
//   overlay.setLiveDataEnabled(eventIsOnline);          // gates all but config/initialState
//   if (config.enabled) overlay.start(config); else overlay.stop();
//   overlay.updateConfig(newConfig); overlay.pushConfig();   // pages reload with the new look
//   overlay.send(OverlayEvent::nowPlaying(title, artist, up, down));
//   overlay.send(OverlayEvent::requestAccepted(title, artist, guestName));
//   overlay.send(OverlayEvent::broadcast(text));
//   overlay.send(OverlayEvent::guestCountChanged(n));
//   overlay.send(OverlayEvent::nowPlayingVotes(up, down));
//   overlay.send(OverlayEvent::adShow(overlayAdHtml(ad, config)), /*force=*/false);
//   overlay.stop();
// send() returns at once; writes happen on the queue, one in flight per socket. A client that
// stops reading is dropped once too much is queued for it, so it never holds up the others.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "core/Json.hpp"
#include "overlay/OverlayConfig.hpp"
#include "overlay/OverlayEvent.hpp"

namespace fv {
class SerialQueue;
}

namespace fv::overlay {

class OverlayServer {
public:
    // Limits of one connection; tests shorten them.
    struct Limits {
        size_t maxQueuedBytes = 4 * 1024 * 1024;  // unsent bytes before a client counts as stuck
        int headTimeoutMs = 10000;                // for the request head to arrive
        size_t maxClientMessage = 64 * 1024;      // largest message a page may send
    };

    OverlayServer();
    explicit OverlayServer(Limits limits);
    ~OverlayServer();
    OverlayServer(const OverlayServer&) = delete;
    OverlayServer& operator=(const OverlayServer&) = delete;

    // Listens on config.port (0 picks a free port; port() tells which) at the listen address with
    // address reuse, after stopping a running listener. False when the port cannot be bound;
    // lastError() then holds the reason and isRunning() stays false.
    bool start(const OverlayConfig& config);
    // Closes every connection and the listener. Safe when stopped.
    void stop();

    // Replaces the configuration the page is rendered from and events are gated by. Open pages
    // keep their look until a "config" event makes them reload. A changed port takes effect with
    // the next start().
    void updateConfig(const OverlayConfig& config);
    // Sends the current configuration as a "config" event (always sent).
    void pushConfig();

    // Sends the event to every open page. While live data is off only "config" and
    // "initialState" go out, unless force is set. Returns false when the event was dropped.
    bool send(const OverlayEvent& event, bool force = false);
    // The same with the event given as its type and the JSON object of its other fields.
    // Throws DecodeError when the payload does not fit the event record.
    bool send(OverlayEventType type, const json& payload, bool force = false);

    // Where the next start() listens: 127.0.0.1 unless the DJ opens the overlay to a streaming
    // computer elsewhere ("0.0.0.0" or "::" for every interface, or one address of this computer).
    void setListenAddress(std::string address) { listenAddress_ = std::move(address); }
    const std::string& listenAddress() const { return listenAddress_; }
    bool reachableBeyondLoopback() const;

    void setLiveDataEnabled(bool enabled) { liveDataEnabled_ = enabled; }
    bool liveDataEnabled() const { return liveDataEnabled_; }

    // Called on the main loop for each new page; the event it returns is sent to that page only.
    void setInitialStateProvider(std::function<std::optional<OverlayEvent>()> provider);
    // A fixed initial state (a provider returning a copy).
    void setInitialState(std::optional<OverlayEvent> event);

    // Called on the main loop after isRunning or connectedClients changed.
    void setOnChange(std::function<void()> fn) { onChange_ = std::move(fn); }

    bool isRunning() const { return isRunning_; }
    uint16_t port() const { return port_; }
    int connectedClients() const { return static_cast<int>(connections_.size()); }
    const std::set<std::string>& connectionIds() const { return connections_; }
    const OverlayConfig& overlayConfig() const { return config_; }
    const std::string& lastError() const { return lastError_; }

    // The queue the sockets run on (for tests that check the threading model).
    SerialQueue& queue() { return *queue_; }

    struct Core;

private:
    void clientOpened(uint64_t generation, const std::string& id);
    void clientClosed(uint64_t generation, const std::string& id);
    void changed();

    Limits limits_;
    std::unique_ptr<SerialQueue> queue_;
    std::shared_ptr<Core> core_;
    // Lets posts from the queue find this object while it lives.
    std::shared_ptr<OverlayServer*> self_;
    uint64_t generation_ = 0;

    bool isRunning_ = false;
    uint16_t port_ = 8765;
    std::set<std::string> connections_;
    OverlayConfig config_;
    std::string listenAddress_ = "127.0.0.1";
    bool liveDataEnabled_ = false;
    std::function<std::optional<OverlayEvent>()> initialState_;
    std::function<void()> onChange_;
    std::string lastError_;
};

}  // namespace fv::overlay
