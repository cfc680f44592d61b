#pragma once
// The control socket of a running `floorvote overlay serve`: a Unix stream socket (mode 0600 in
// a 0700 folder of the user's runtime directory) through which `floorvote overlay send` hands
// events to the server. It is not on the TCP port, so no web page the DJ's browser opens can push
// events into the overlay. One JSON line per connection, one JSON line back.
//   request:  {"event": {...OverlayEvent...}, "force": false}   or   {"reloadConfig": true}
//   answer:   {"ok": true, "sent": true, "clients": 2}           or   {"ok": false, "error": "..."}
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/Json.hpp"

namespace fv::overlay {

// $XDG_RUNTIME_DIR/floorvote/overlay-<port>.sock, or under the state folder without a runtime
// directory.
std::filesystem::path controlSocketPath(uint16_t port);

// Accepts requests on the main loop and answers them with the handler's result.
class OverlayControlServer {
public:
    using Handler = std::function<json(const json& request)>;
    OverlayControlServer();
    ~OverlayControlServer();
    OverlayControlServer(const OverlayControlServer&) = delete;
    OverlayControlServer& operator=(const OverlayControlServer&) = delete;

    // Binds the socket (replacing a stale file no one listens on). False with the reason in
    // `error` when another server owns it or it cannot be created.
    bool start(const std::filesystem::path& path, Handler handler, std::string& error);
    // Closes the socket and removes its file.
    void stop();

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

class OverlayServer;
struct OverlayConfig;
struct OverlayEvent;

// Carries out one control request on a running server: {"ping"}, {"reloadConfig"} (the stored
// configuration from `stored`, kept on the server's port) or {"event", "force"}. `sent` hears of
// each event that went out. Throws DecodeError for a malformed request.
json handleOverlayControl(OverlayServer& server, const json& request, const std::function<OverlayConfig()>& stored,
                          const std::function<void(const OverlayEvent&)>& sent = {});

// Sends one request and waits for the answer. Throws std::runtime_error when no server answers.
json overlayControlRequest(const std::filesystem::path& path, const json& request,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace fv::overlay
