#include "overlay/OverlayServer.hpp"

#include <fcntl.h>

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <map>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "core/SerialQueue.hpp"
#include "core/Uuid.hpp"
#include "overlay/OverlayPage.hpp"
#include "overlay/WebSocketProtocol.hpp"

namespace fv::overlay {

namespace {
using boost::asio::ip::tcp;
using boost::system::error_code;
using Bytes = std::shared_ptr<const std::string>;
constexpr std::string_view component = "OverlayServer";
// How long a finished connection may take to hang up after our last bytes.
constexpr auto lingerTime = std::chrono::seconds(2);
constexpr auto acceptRetry = std::chrono::milliseconds(200);

Bytes bytes(std::string s) { return std::make_shared<const std::string>(std::move(s)); }

// Asio leaves descriptors inheritable: a program started meanwhile (a browser, a helper) would
// keep the port bound after stop.
template <typename S>
void closeOnExec(S& s) {
    int fd = s.native_handle();
    if (fd >= 0) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}
}  // namespace

struct Connection;

// Everything that lives on the queue: the listener and the connections of one start.
struct OverlayServer::Core : std::enable_shared_from_this<OverlayServer::Core> {
    Core(SerialQueue& q, Limits l, uint64_t gen, std::weak_ptr<OverlayServer*> o)
        : queue(q), limits(l), generation(gen), owner(std::move(o)), acceptor(q.context()), retryTimer(q.context()) {}

    SerialQueue& queue;
    Limits limits;
    uint64_t generation;
    std::weak_ptr<OverlayServer*> owner;
    tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    Bytes page;
    std::set<std::shared_ptr<Connection>> all;
    std::map<std::string, std::shared_ptr<Connection>> webSockets;
    bool stopped = false;

    error_code listen(const std::string& address, uint16_t port);
    void acceptNext();
    void opened(const std::string& id, std::shared_ptr<Connection> c);
    void closed(const std::shared_ptr<Connection>& c);
    void retire(const std::shared_ptr<Connection>& c);
    void broadcast(const Bytes& frame);
    void sendTo(const std::string& id, const Bytes& frame);
    void shutdown();

    // Runs fn with the server on the main loop, if it still exists.
    template <typename F>
    void toOwner(F fn) {
        asio::post(MainLoop::shared().context(), [o = owner, fn = std::move(fn)] {
            if (auto p = o.lock()) fn(**p);
        });
    }
};

struct Connection : std::enable_shared_from_this<Connection> {
    enum class Phase { head, page, webSocket, done };

    Connection(std::shared_ptr<OverlayServer::Core> c, tcp::socket s)
        : core(c),
          socket(std::move(s)),
          timer(c->queue.context()),
          reader(c->limits.maxClientMessage),
          maxQueued(c->limits.maxQueuedBytes) {}

    std::weak_ptr<OverlayServer::Core> core;
    tcp::socket socket;
    asio::steady_timer timer;
    WebSocketReader reader;
    size_t maxQueued;
    Phase phase = Phase::head;
    std::string id;
    std::array<char, 8192> buf{};
    std::string head;
    std::deque<Bytes> out;
    size_t queued = 0;
    bool writing = false;
    bool finishing = false;  // our last bytes are queued; hang up once written
    bool closed = false;

    void start(int headTimeoutMs) {
        error_code ec;
        closeOnExec(socket);
        socket.set_option(tcp::no_delay(true), ec);
        socket.set_option(asio::socket_base::keep_alive(true), ec);
        timer.expires_after(std::chrono::milliseconds(headTimeoutMs));
        timer.async_wait([self = shared_from_this()](error_code e) {
            if (!e && self->phase == Phase::head) self->close();
        });
        readHead();
    }

    void readHead() {
        socket.async_read_some(asio::buffer(buf), [self = shared_from_this()](error_code ec, size_t n) {
            if (ec || self->closed) return self->close();
            self->head.append(self->buf.data(), n);
            self->onHead();
        });
    }

    void onHead() {
        HeadParse p = parseRequestHead(head);
        if (p.status == HeadParse::Status::incomplete) return readHead();
        if (p.status == HeadParse::Status::invalid) return close();
        timer.cancel();
        auto c = core.lock();
        if (!c) return close();
        switch (classify(p.head)) {
            case RequestKind::ignored:
                // Neither the page nor an upgrade: no answer.
                return close();
            case RequestKind::page:
                phase = Phase::page;
                enqueue(c->page);
                finishing = true;
                return;
            case RequestKind::upgrade: {
                auto key = webSocketKey(p.head);
                if (!key) return close();
                phase = Phase::webSocket;
                id = makeUuid();
                enqueue(bytes(upgradeResponse(webSocketAccept(*key))));
                c->opened(id, shared_from_this());
                std::string rest = head.substr(p.length);
                head.clear();
                head.shrink_to_fit();
                if (!rest.empty() && !handleFrames(rest)) return;
                readFrames();
                return;
            }
        }
    }

    // False once the connection is ending.
    bool handleFrames(std::string_view data) {
        for (auto& reply : reader.feed(data)) {
            enqueue(bytes(std::move(reply.bytes)));
            if (reply.closeAfter) {
                finishing = true;
                if (!writing && out.empty()) hangUp();
            }
        }
        return !reader.finished() && !closed;
    }

    void readFrames() {
        socket.async_read_some(asio::buffer(buf), [self = shared_from_this()](error_code ec, size_t n) {
            if (ec || self->closed) return self->close();
            if (self->handleFrames(std::string_view(self->buf.data(), n))) self->readFrames();
        });
    }

    void enqueue(const Bytes& b) {
        if (closed || finishing || !b) return;
        queued += b->size();
        if (queued > maxQueued) {
            logf(component, "Dropping client {}: {} bytes not taken", id.empty() ? "(page)" : id, queued);
            return close();
        }
        out.push_back(b);
        if (!writing) writeNext();
    }

    void writeNext() {
        writing = true;
        asio::async_write(socket, asio::buffer(*out.front()), [self = shared_from_this()](error_code ec, size_t) {
            self->writing = false;
            if (ec || self->closed) return self->close();
            self->queued -= self->out.front()->size();
            self->out.pop_front();
            if (!self->out.empty()) return self->writeNext();
            if (self->finishing) self->hangUp();
        });
    }

    // Our side is done: send FIN, read whatever the peer still sends until it hangs up too, so
    // unread input never turns the close into a reset that destroys the answer in flight.
    void hangUp() {
        if (closed) return;
        phase = Phase::done;
        // No longer a page that takes events, even while the peer takes its time to hang up.
        if (auto c = core.lock()) c->retire(shared_from_this());
        error_code ec;
        socket.shutdown(tcp::socket::shutdown_send, ec);
        timer.expires_after(lingerTime);
        timer.async_wait([self = shared_from_this()](error_code e) {
            if (!e) self->close();
        });
        drain();
    }

    void drain() {
        socket.async_read_some(asio::buffer(buf), [self = shared_from_this()](error_code ec, size_t) {
            if (ec || self->closed) return self->close();
            self->drain();
        });
    }

    void close() {
        if (closed) return;
        closed = true;
        error_code ec;
        timer.cancel();
        socket.shutdown(tcp::socket::shutdown_both, ec);
        socket.close(ec);
        out.clear();
        if (auto c = core.lock()) c->closed(shared_from_this());
    }
};

error_code OverlayServer::Core::listen(const std::string& address, uint16_t port) {
    error_code ec;
    auto ip = asio::ip::make_address(address, ec);
    if (ec) return ec;
    if (!ip.is_v6() || !ip.is_unspecified()) {
        // One address: loopback unless the DJ opened it to the network.
        tcp::endpoint at(ip, port);
        acceptor.open(at.protocol(), ec);
        if (!ec) closeOnExec(acceptor);
        if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) acceptor.bind(at, ec);
        if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            error_code ignored;
            acceptor.close(ignored);
        }
        return ec;
    }
    // "::": both address families on one socket where the system allows it.
    acceptor.open(tcp::v6(), ec);
    if (!ec) closeOnExec(acceptor);
    if (!ec) acceptor.set_option(asio::ip::v6_only(false), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(tcp::endpoint(tcp::v6(), port), ec);
    if (ec) {
        error_code ignored;
        acceptor.close(ignored);
        ec.clear();
        acceptor.open(tcp::v4(), ec);
        if (!ec) closeOnExec(acceptor);
        if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) acceptor.bind(tcp::endpoint(tcp::v4(), port), ec);
    }
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error_code ignored;
        acceptor.close(ignored);
    }
    return ec;
}

void OverlayServer::Core::acceptNext() {
    acceptor.async_accept([self = shared_from_this()](error_code ec, tcp::socket s) {
        if (self->stopped) return;
        if (ec) {
            if (ec == asio::error::operation_aborted) return;
            // Out of descriptors and the like: try again shortly instead of giving up the listener.
            self->retryTimer.expires_after(acceptRetry);
            self->retryTimer.async_wait([self](error_code e) {
                if (!e && !self->stopped) self->acceptNext();
            });
            return;
        }
        auto c = std::make_shared<Connection>(self, std::move(s));
        self->all.insert(c);
        c->start(self->limits.headTimeoutMs);
        self->acceptNext();
    });
}

void OverlayServer::Core::opened(const std::string& id, std::shared_ptr<Connection> c) {
    webSockets[id] = std::move(c);
    toOwner([gen = generation, id](OverlayServer& s) { s.clientOpened(gen, id); });
}

void OverlayServer::Core::closed(const std::shared_ptr<Connection>& c) {
    all.erase(c);
    retire(c);
}

void OverlayServer::Core::retire(const std::shared_ptr<Connection>& c) {
    if (c->id.empty()) return;
    auto it = webSockets.find(c->id);
    if (it == webSockets.end() || it->second != c) return;
    webSockets.erase(it);
    toOwner([gen = generation, id = c->id](OverlayServer& s) { s.clientClosed(gen, id); });
}

void OverlayServer::Core::broadcast(const Bytes& frame) {
    // Copy first: a client dropped for being stuck leaves the map while we walk it.
    std::vector<std::shared_ptr<Connection>> targets;
    targets.reserve(webSockets.size());
    for (auto& [id, c] : webSockets) targets.push_back(c);
    for (auto& c : targets) c->enqueue(frame);
}

void OverlayServer::Core::sendTo(const std::string& id, const Bytes& frame) {
    auto it = webSockets.find(id);
    if (it != webSockets.end()) it->second->enqueue(frame);
}

void OverlayServer::Core::shutdown() {
    stopped = true;
    error_code ec;
    retryTimer.cancel();
    acceptor.close(ec);
    auto connections = all;
    for (auto& c : connections) c->close();
    all.clear();
    webSockets.clear();
}

// ---- main-loop side -------------------------------------------------------------------------

OverlayServer::OverlayServer() : OverlayServer(Limits{}) {}

OverlayServer::OverlayServer(Limits limits)
    : limits_(limits),
      queue_(std::make_unique<SerialQueue>("floorvote.overlay")),
      self_(std::make_shared<OverlayServer*>(this)) {}

OverlayServer::~OverlayServer() {
    self_.reset();
    if (core_) {
        auto core = std::move(core_);
        queue_->dispatchSync([&] { core->shutdown(); });
    }
    queue_->stop();
}

bool OverlayServer::start(const OverlayConfig& config) {
    MainLoop::shared().assertOnMain();
    if (core_) stop();
    config_ = config;
    lastError_.clear();
    logf(component, "Starting on port {}", config.port);
    auto core = std::make_shared<Core>(*queue_, limits_, ++generation_, self_);
    core->page = bytes(pageResponse(renderOverlayPage(config_, false, reachableBeyondLoopback())));
    uint16_t bound = 0;
    error_code ec = queue_->dispatchSync([&] {
        error_code e = core->listen(listenAddress_, config.port);
        if (!e) {
            error_code ignored;
            bound = core->acceptor.local_endpoint(ignored).port();
            core->acceptNext();
        }
        return e;
    });
    if (ec) {
        lastError_ = ec.message();
        logf(component, "Listener failed on port {}: {}", config.port, lastError_);
        isRunning_ = false;
        changed();
        return false;
    }
    core_ = std::move(core);
    port_ = bound;
    isRunning_ = true;
    changed();
    return true;
}

void OverlayServer::stop() {
    MainLoop::shared().assertOnMain();
    const bool wasStarted = core_ != nullptr;
    if (core_) {
        auto core = std::move(core_);
        queue_->dispatchSync([&] { core->shutdown(); });
    }
    ++generation_;  // late reports of the old listener are ignored
    bool wasActive = isRunning_ || !connections_.empty();
    isRunning_ = false;
    connections_.clear();
    if (wasStarted) logLine(component, "Stopped");
    if (wasActive) changed();
}

bool OverlayServer::reachableBeyondLoopback() const {
    error_code ec;
    auto ip = asio::ip::make_address(listenAddress_, ec);
    return !ec && !ip.is_loopback();
}

void OverlayServer::updateConfig(const OverlayConfig& config) {
    MainLoop::shared().assertOnMain();
    config_ = config;
    if (!core_) return;
    auto page = bytes(pageResponse(renderOverlayPage(config_, false, reachableBeyondLoopback())));
    asio::post(queue_->context(), [core = core_, page] { core->page = page; });
}

void OverlayServer::pushConfig() { send(OverlayEvent::configChanged(config_)); }

bool OverlayServer::send(const OverlayEvent& event, bool force) {
    MainLoop::shared().assertOnMain();
    const bool always = event.type == OverlayEventType::config || event.type == OverlayEventType::initialState;
    if (!liveDataEnabled_ && !force && !always) return false;
    if (!core_) return true;
    auto frame = bytes(encodeTextFrame(event.encode()));
    asio::post(queue_->context(), [core = core_, frame] { core->broadcast(frame); });
    return true;
}

bool OverlayServer::send(OverlayEventType type, const json& payload, bool force) {
    json j = payload.is_null() ? json::object() : payload;
    if (!j.is_object()) throw DecodeError("overlay event payload must be a JSON object");
    j["type"] = std::string(rawValue(type));
    return send(OverlayEvent::fromJson(j), force);
}

void OverlayServer::setInitialStateProvider(std::function<std::optional<OverlayEvent>()> provider) {
    initialState_ = std::move(provider);
}

void OverlayServer::setInitialState(std::optional<OverlayEvent> event) {
    if (!event) {
        initialState_ = nullptr;
        return;
    }
    initialState_ = [e = std::move(*event)]() -> std::optional<OverlayEvent> { return e; };
}

void OverlayServer::clientOpened(uint64_t generation, const std::string& id) {
    if (generation != generation_ || !core_) return;
    connections_.insert(id);
    if (initialState_) {
        if (auto ev = initialState_()) {
            auto frame = bytes(encodeTextFrame(ev->encode()));
            asio::post(queue_->context(), [core = core_, id, frame] { core->sendTo(id, frame); });
        }
    }
    changed();
}

void OverlayServer::clientClosed(uint64_t generation, const std::string& id) {
    if (generation != generation_) return;
    if (connections_.erase(id)) changed();
}

void OverlayServer::changed() {
    if (onChange_) onChange_();
}

}  // namespace fv::overlay
