#pragma once
// The control panel's HTTP and WebSocket server on 127.0.0.1, run on the main loop: it serves
// the page's compiled-in files and one WebSocket per open panel tab, after the checks of
// PanelSecurity.hpp. Everything here is called on the main loop and every callback runs there.
//
//   PanelServer server;
//   server.onOpen = [&](uint64_t tab) { server.sendTo(tab, tracker.full()); };
//   server.onMessage = [&](uint64_t tab, const std::string& text) { ... };
//   if (!server.start(8766)) complain(server.lastError());
//   say(server.url());                                   // with the run's token
//   server.broadcast(update);                            // to every open tab
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace fv::panel {

class PanelServer {
public:
    struct Limits {
        size_t maxMessage = 64 * 1024;            // largest message a tab may send
        size_t maxQueuedBytes = 16 * 1024 * 1024;  // unsent bytes before a tab counts as stuck
        int requestTimeoutMs = 15000;             // for a request head to arrive
    };

    PanelServer();
    explicit PanelServer(Limits limits);
    ~PanelServer();
    PanelServer(const PanelServer&) = delete;
    PanelServer& operator=(const PanelServer&) = delete;

    // Listens on 127.0.0.1:port (0: a free port) with a fresh token. False with lastError() when
    // the port cannot be had.
    bool start(uint16_t port);
    // Closes every tab and the listener. Safe when stopped.
    void stop();

    bool isRunning() const;
    uint16_t port() const { return port_; }
    const std::string& token() const { return token_; }
    // The address to open: http://127.0.0.1:PORT/?token=TOKEN
    std::string url() const;
    const std::string& lastError() const { return lastError_; }
    int connectedTabs() const;

    void broadcast(const std::string& text);
    void sendTo(uint64_t tab, const std::string& text);

    std::function<void(uint64_t tab)> onOpen;
    std::function<void(uint64_t tab)> onClose;
    std::function<void(uint64_t tab, const std::string& text)> onMessage;

    struct State;

private:
    Limits limits_;
    std::shared_ptr<State> state_;
    uint16_t port_ = 0;
    std::string token_;
    std::string lastError_;
};

}  // namespace fv::panel
