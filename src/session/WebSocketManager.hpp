#pragma once
// The realtime channel to the backend: one WebSocket per connected event, Engine.IO 4 / Socket.IO
// framing done here (see RealtimeProtocol.hpp), every callback and state change on the main loop.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "core/Json.hpp"
#include "session/Records.hpp"
#include "session/RealtimeProtocol.hpp"

namespace fv {

class Timer;

struct ConnectionState {
    enum class Kind { disconnected, connecting, connected, error };
    Kind kind = Kind::disconnected;
    std::string message;  // the error's description

    static ConnectionState error(std::string m) { return {Kind::error, std::move(m)}; }
    bool operator==(const ConnectionState&) const = default;
};

class WebSocketManager {
public:
    explicit WebSocketManager(boost::asio::any_io_executor ex);
    WebSocketManager();  // on the shared main loop
    ~WebSocketManager();
    WebSocketManager(const WebSocketManager&) = delete;
    WebSocketManager& operator=(const WebSocketManager&) = delete;

    void connect(std::string serverUrl, std::string eventId);
    void disconnect();
    // One text frame; a failure counts as a connection error.
    void send(std::string text);

    const ConnectionState& state() const { return state_; }
    const std::string& eventId() const { return eventId_; }
    const std::string& serverUrl() const { return serverUrl_; }
    int reconnectAttempts() const { return reconnectAttempts_; }
    std::chrono::milliseconds pingInterval() const { return pingInterval_; }
    std::chrono::milliseconds pingTimeout() const { return pingTimeout_; }

    std::function<void(std::vector<MusicRequest>)> onRequestsUpdated;
    std::function<void(std::vector<MusicRequest>)> onNewRequest;
    std::function<void(std::vector<GuestMessage>)> onNewMessage;
    std::function<void(int64_t)> onGuestCountChanged;
    std::function<void(NowPlayingInfo)> onNowPlayingChanged;
    std::function<void(json)> onPreferencesUpdated;
    std::function<void(json)> onContestUpdated;
    std::function<void(json)> onContestWinner;
    std::function<void(json)> onContestEntry;
    std::function<void(json)> onAdShow;
    std::function<void()> onAdHide;
    std::function<void()> onPlanUpdated;
    // Every change of `state`, with the state before it.
    std::function<void(const ConnectionState& before, const ConnectionState& now)> onStateChanged;
    // Called the moment a frame has been read, before it is handled (the benchmark's clock).
    std::function<void()> onFrameArrived;

    // Handles one received text frame as if it came from the socket (also used by tests).
    void handleMessage(const std::string& text);

    struct Session;  // one connection; private to the implementation

private:
    void setState(ConnectionState s);
    void failed(uint64_t generation, const std::string& message);
    void scheduleReconnect();
    void dispatch(realtime::Event event);

    boost::asio::any_io_executor ex_;
    ConnectionState state_;
    std::string eventId_, serverUrl_;
    std::chrono::milliseconds pingInterval_{25000};
    std::chrono::milliseconds pingTimeout_{20000};
    int reconnectAttempts_ = 0;
    uint64_t generation_ = 0;
    std::shared_ptr<Session> session_;
    std::shared_ptr<Timer> reconnectTimer_;
};

}  // namespace fv
