// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "session/WebSocketManager.hpp"

#include <deque>
#include <type_traits>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <openssl/ssl.h>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "core/SerialQueue.hpp"
#include "session/HttpClient.hpp"
#include "session/RealtimeProtocol.hpp"

namespace fv {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {
// Connecting and the WebSocket upgrade together; after that the server's pings are the clock.
constexpr auto kHandshakeTimeout = std::chrono::seconds(20);
// Frames larger than this are not a backend's answer; refusing them keeps memory bounded.
constexpr std::size_t kMaxFrameBytes = 64u << 20;

using PlainWs = websocket::stream<beast::tcp_stream>;
using TlsWs = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;
}  // namespace

struct WebSocketManager::Session : std::enable_shared_from_this<Session> {
    Session(asio::any_io_executor ex, uint64_t gen) : generation(gen), watchdog(ex) {}

    uint64_t generation;
    WebSocketManager* owner = nullptr;  // cleared when the manager lets go of the session
    std::unique_ptr<PlainWs> plain;
    std::unique_ptr<TlsWs> tls;
    bool open = false;  // the upgrade is done; frames may be written
    bool ended = false;
    bool writing = false;
    bool watchdogRunning = false;
    bool timedOut = false;
    std::deque<std::string> outbox;
    asio::steady_timer watchdog;
    Clock::time_point deadline = Clock::time_point::max();

    beast::tcp_stream* lowest() {
        if (plain) return &beast::get_lowest_layer(*plain);
        if (tls) return &beast::get_lowest_layer(*tls);
        return nullptr;
    }
    void close() {
        ended = true;
        watchdog.cancel();
        if (auto* l = lowest()) {
            beast::error_code ignored;
            l->socket().shutdown(tcp::socket::shutdown_both, ignored);
            l->socket().close(ignored);
        }
    }
};

namespace {

template <typename Ws>
asio::awaitable<void> writeLoop(std::shared_ptr<WebSocketManager::Session> s, Ws& ws,
                                std::function<void(const std::string&)> fail) {
    s->writing = true;
    while (!s->outbox.empty() && !s->ended) {
        std::string text = std::move(s->outbox.front());
        s->outbox.pop_front();
        beast::error_code ec;
        co_await ws.async_write(asio::buffer(text), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            s->writing = false;
            if (!s->ended) fail(ec.message());
            co_return;
        }
    }
    s->writing = false;
}

asio::awaitable<void> watchdogLoop(std::shared_ptr<WebSocketManager::Session> s) {
    while (!s->ended) {
        s->watchdog.expires_at(s->deadline);
        beast::error_code ec;
        co_await s->watchdog.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (s->ended) break;
        if (Clock::now() >= s->deadline) {
            // Silent past the server's own ping interval and timeout: the connection is gone.
            s->timedOut = true;
            if (auto* l = s->lowest()) {
                beast::error_code ignored;
                l->socket().close(ignored);
            }
            break;
        }
    }
    s->watchdogRunning = false;
}

}  // namespace

WebSocketManager::WebSocketManager(asio::any_io_executor ex) : ex_(std::move(ex)) {}
WebSocketManager::WebSocketManager() : WebSocketManager(MainLoop::shared().context().get_executor()) {}

WebSocketManager::~WebSocketManager() {
    if (session_) {
        session_->owner = nullptr;
        session_->close();
    }
}

void WebSocketManager::setState(ConnectionState s) {
    if (s == state_) return;
    ConnectionState before = std::exchange(state_, std::move(s));
    if (onStateChanged) onStateChanged(before, state_);
}

void WebSocketManager::disconnect() {
    ++generation_;
    if (session_) {
        session_->owner = nullptr;
        session_->close();
        session_.reset();
    }
    setState({});
}

namespace {

// Runs one connection from name lookup to the end of the read loop. Every step checks that the
// manager still wants this session before touching it.
template <typename Ws>
asio::awaitable<void> readLoop(std::shared_ptr<WebSocketManager::Session> s, Ws& ws,
                               std::function<void(const std::string&)> onText,
                               std::function<void(const std::string&)> fail) {
    beast::flat_buffer buffer;
    for (;;) {
        beast::error_code ec;
        co_await ws.async_read(buffer, asio::redirect_error(asio::use_awaitable, ec));
        if (s->ended || !s->owner) co_return;
        if (ec) {
            fail(s->timedOut ? std::string("ping timeout") : ec.message());
            co_return;
        }
        std::string text = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        onText(text);
        if (s->ended || !s->owner) co_return;
    }
}

template <typename Ws>
asio::awaitable<beast::error_code> upgradeWs(Ws& ws, const ParsedURL& u) {
    beast::error_code e;
    ws.read_message_max(kMaxFrameBytes);
    ws.text(true);
    co_await ws.async_handshake(u.hostHeader, u.target, asio::redirect_error(asio::use_awaitable, e));
    co_return e;
}

}  // namespace

void WebSocketManager::connect(std::string serverUrl, std::string eventId) {
    disconnect();
    serverUrl_ = std::move(serverUrl);
    eventId_ = std::move(eventId);
    setState({ConnectionState::Kind::connecting, {}});
    std::string wsUrl = realtime::webSocketURL(serverUrl_);
    ParsedURL u;
    bool valid = !wsUrl.empty();
    if (valid) {
        try {
            // The HTTP parser knows the host, port and target rules; only the scheme differs.
            std::string asHttp = wsUrl.rfind("wss://", 0) == 0 ? "https://" + wsUrl.substr(6) : "http://" + wsUrl.substr(5);
            u = parseURL(asHttp);
        } catch (const std::exception&) {
            valid = false;
        }
    }
    if (!valid) {
        setState(ConnectionState::error("Invalid WebSocket URL"));
        return;
    }

    auto s = std::make_shared<Session>(ex_, ++generation_);
    s->owner = this;
    session_ = s;
    uint64_t gen = s->generation;
    auto fail = [this, s, gen](const std::string& m) {
        if (s->owner) failed(gen, m);
    };
    auto onText = [this, s](const std::string& text) {
        if (!s->owner) return;
        // Any frame shows the connection is alive.
        if (s->watchdogRunning) s->deadline = Clock::now() + pingInterval_ + pingTimeout_;
        if (onFrameArrived) onFrameArrived();
        handleMessage(text);
    };

    asio::co_spawn(
        ex_,
        [s, u, fail, onText]() -> asio::awaitable<void> {
            auto ex = co_await asio::this_coro::executor;
            tcp::resolver resolver(ex);
            beast::error_code ec;
            auto results = co_await resolver.async_resolve(u.host, u.port, asio::redirect_error(asio::use_awaitable, ec));
            if (s->ended) co_return;
            if (ec) {
                fail("Could not resolve " + u.host + ": " + ec.message());
                co_return;
            }
            if (u.https) s->tls = std::make_unique<TlsWs>(ex, tlsClientContext());
            else s->plain = std::make_unique<PlainWs>(ex);
            beast::tcp_stream& low = *s->lowest();
            low.expires_after(kHandshakeTimeout);
            co_await low.async_connect(results, asio::redirect_error(asio::use_awaitable, ec));
            if (s->ended) co_return;
            if (ec) {
                fail("Could not connect to " + u.host + ":" + u.port + ": " + ec.message());
                co_return;
            }
            if (s->tls) {
                auto& stream = s->tls->next_layer();
                if (!SSL_set_tlsext_host_name(stream.native_handle(), u.host.c_str())) {
                    fail("TLS setup for " + u.host + " failed");
                    co_return;
                }
                stream.set_verify_callback(asio::ssl::host_name_verification(u.host));
                co_await stream.async_handshake(asio::ssl::stream_base::client, asio::redirect_error(asio::use_awaitable, ec));
                if (s->ended) co_return;
                if (ec) {
                    fail("TLS handshake with " + u.host + " failed: " + ec.message());
                    co_return;
                }
            }
            if (s->tls) ec = co_await upgradeWs(*s->tls, u);
            else ec = co_await upgradeWs(*s->plain, u);
            if (s->ended) co_return;
            if (ec) {
                fail("WebSocket upgrade at " + u.host + ":" + u.port + " failed: " + ec.message());
                co_return;
            }
            low.expires_never();
            s->open = true;
            if (s->tls) co_await readLoop(s, *s->tls, onText, fail);
            else co_await readLoop(s, *s->plain, onText, fail);
        },
        asio::detached);
}

void WebSocketManager::send(std::string text) {
    auto s = session_;
    if (!s || s->ended) return;
    s->outbox.push_back(std::move(text));
    if (!s->open || s->writing) return;
    uint64_t gen = s->generation;
    auto fail = [this, s, gen](const std::string& m) {
        if (s->owner) failed(gen, m);
    };
    if (s->tls) asio::co_spawn(ex_, writeLoop(s, *s->tls, fail), asio::detached);
    else asio::co_spawn(ex_, writeLoop(s, *s->plain, fail), asio::detached);
}

void WebSocketManager::failed(uint64_t generation, const std::string& message) {
    if (generation != generation_ || !session_ || session_->ended) return;
    session_->owner = nullptr;
    session_->close();
    session_.reset();
    setState(ConnectionState::error(message));
    scheduleReconnect();
}

void WebSocketManager::scheduleReconnect() {
    ++reconnectAttempts_;
    reconnectTimer_ = Timer::once(ex_, realtime::reconnectDelay(reconnectAttempts_), [this] {
        if (state_.kind == ConnectionState::Kind::error && !eventId_.empty()) connect(serverUrl_, eventId_);
    });
}

void WebSocketManager::handleMessage(const std::string& text) {
    for (auto& action : realtime::handleFrame(text)) {
        std::visit(
            [&](auto& a) {
                using A = std::decay_t<decltype(a)>;
                if constexpr (std::is_same_v<A, realtime::Send>) {
                    send(std::move(a.text));
                } else if constexpr (std::is_same_v<A, realtime::SetTimings>) {
                    pingInterval_ = a.pingInterval;
                    pingTimeout_ = a.pingTimeout;
                    if (session_ && !session_->ended) {
                        session_->deadline = Clock::now() + pingInterval_ + pingTimeout_;
                        if (!session_->watchdogRunning) {
                            session_->watchdogRunning = true;
                            asio::co_spawn(ex_, watchdogLoop(session_), asio::detached);
                        }
                    }
                } else if constexpr (std::is_same_v<A, realtime::ProtocolError>) {
                    if (session_) failed(session_->generation, a.reason);
                } else if constexpr (std::is_same_v<A, realtime::Connected>) {
                    reconnectAttempts_ = 0;
                    setState({ConnectionState::Kind::connected, {}});
                    send(realtime::joinFrame(eventId_));
                } else if constexpr (std::is_same_v<A, realtime::ServerClosed>) {
                    // The server ended the session on purpose: stay down until the next connect.
                    if (session_) {
                        session_->owner = nullptr;
                        session_->close();
                        session_.reset();
                    }
                    setState({});
                    scheduleReconnect();
                } else {
                    dispatch(std::move(a));
                }
            },
            action);
    }
}

void WebSocketManager::dispatch(realtime::Event event) {
    std::visit(
        [&](auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, realtime::RequestsUpdated>) {
                if (onRequestsUpdated) onRequestsUpdated(std::move(e.requests));
            } else if constexpr (std::is_same_v<E, realtime::NewRequest>) {
                if (onNewRequest) onNewRequest(std::move(e.requests));
            } else if constexpr (std::is_same_v<E, realtime::NewMessage>) {
                if (onNewMessage) onNewMessage(std::move(e.messages));
            } else if constexpr (std::is_same_v<E, realtime::GuestCount>) {
                if (onGuestCountChanged) onGuestCountChanged(e.count);
            } else if constexpr (std::is_same_v<E, realtime::NowPlaying>) {
                if (onNowPlayingChanged) onNowPlayingChanged(std::move(e.info));
            } else if constexpr (std::is_same_v<E, realtime::AdHide>) {
                if (onAdHide) onAdHide();
            } else if constexpr (std::is_same_v<E, realtime::PlanUpdated>) {
                if (onPlanUpdated) onPlanUpdated();
            } else {
                const std::function<void(json)>* cb = nullptr;
                if (e.name == "preferences-updated") cb = &onPreferencesUpdated;
                else if (e.name == "contest-updated") cb = &onContestUpdated;
                else if (e.name == "contest-winner") cb = &onContestWinner;
                else if (e.name == "contest-entry") cb = &onContestEntry;
                else if (e.name == "ad-show") cb = &onAdShow;
                if (cb && *cb) (*cb)(std::move(e.object));
            }
        },
        event);
}

}  // namespace fv
