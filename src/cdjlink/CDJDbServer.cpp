#include "cdjlink/CDJDbServer.hpp"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJSockets.hpp"
#include "core/SerialQueue.hpp"

namespace fv::cdj {

// ---- session

CDJDbSession::CDJDbSession(int64_t id, CDJDbServer& server, std::string peer, std::shared_ptr<CDJTcpConnection> conn)
    : id(id), peer(std::move(peer)), conn(std::move(conn)), server(server) {}

CDJDbSession::Output CDJDbSession::receive(std::span<const uint8_t> data) {
    Output out;
    lastActivity = std::chrono::steady_clock::now();
    if (!handshakeDone) {
        size_t take = std::min(dbGreetingSize - hsBuf.size(), data.size());
        hsBuf.insert(hsBuf.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
        data = data.subspan(take);
        if (hsBuf.size() < dbGreetingSize) return out;
        out.bytes = hsBuf;
        handshakeDone = true;
        cdjLogLine("DB", fmt::format("#{} Handshake {}", id, hexDump(hsBuf, dbGreetingSize)));
        hsBuf.clear();
    }
    if (data.empty()) return out;
    reader.append(data);
    for (;;) {
        auto next = reader.next();
        if (std::holds_alternative<CDJDbReader::Incomplete>(next)) break;
        if (auto* d = std::get_if<CDJDbReader::Desync>(&next)) {
            cdjLogLine("ERR", fmt::format("#{} Parser: {} – Session beendet", id, d->reason));
            out.end = true;
            break;
        }
        const auto& msg = std::get<CDJDbMessage>(next);
        for (const auto& r : handleDbRequest(*this, msg)) appendDbMessage(out.bytes, msg.txid, r.type, r.args);
    }
    return out;
}

void CDJDbSession::remember(uint32_t txid, int64_t location, std::vector<CDJMenuItem> items) {
    remember(txid, location, std::make_shared<const CDJMenu>(std::move(items)));
}

void CDJDbSession::remember(uint32_t txid, int64_t location, CDJMenuList list) {
    if (pendingByTx.find(txid) == pendingByTx.end()) pendingOrder.push_back(txid);
    pendingByTx[txid] = list;
    while (pendingByTx.size() > maxPendingByTx && !pendingOrder.empty()) {
        pendingByTx.erase(pendingOrder.front());
        pendingOrder.pop_front();
    }
    pendingByMenu[location] = list;
    last = list;
}

// ---- server

CDJDbServer::CDJDbServer(SerialQueue& queue, std::shared_ptr<CDJLibrary> library, CDJLinkSettings settings,
                         uint16_t queryPort, CDJAnlzCache& anlz)
    : queue_(queue), library_(std::move(library)), settings_(std::move(settings)), queryPortSetting_(queryPort),
      anlz_(anlz) {}

CDJDbServer::~CDJDbServer() {
    queue_.dispatchSync([this] { stopOnQueue(); });
}

void CDJDbServer::setLimits(const Limits& limits) {
    queue_.dispatchSync([&] { limits_ = limits; });
}

void CDJDbServer::start() {
    queue_.dispatchSync([this] {
        if (queryListener_ || dbListener_) return;
        std::weak_ptr<CDJDbServer> weak = weak_from_this();
        if (weak.expired()) throw std::logic_error("CDJDbServer must be owned by a shared_ptr");
        queryListener_ = CDJTcpListener::open(queryPortSetting_, queue_, "RemoteDBServer-Port-Query",
                                              [weak](const std::shared_ptr<CDJTcpConnection>& c) {
                                                  if (auto s = weak.lock()) s->acceptQuery(c);
                                              });
        try {
            dbListener_ = CDJTcpListener::open(settings_.dbPort, queue_, "dbserver",
                                               [weak](const std::shared_ptr<CDJTcpConnection>& c) {
                                                   if (auto s = weak.lock()) s->acceptSession(c);
                                               });
        } catch (...) {
            queryListener_->close();
            queryListener_.reset();
            throw;
        }
        sweepTimer_ = queue_.every(limits_.sweepInterval, [weak] {
            if (auto s = weak.lock()) s->sweep();
        });
    });
}

void CDJDbServer::stop() {
    queue_.dispatchSync([this] { stopOnQueue(); });
}

void CDJDbServer::stopOnQueue() {
    queue_.assertOnQueue();
    if (sweepTimer_) sweepTimer_->cancel();
    sweepTimer_.reset();
    if (queryListener_) queryListener_->close();
    if (dbListener_) dbListener_->close();
    queryListener_.reset();
    dbListener_.reset();
    auto conns = queryConns_;
    for (auto& [_, c] : conns) c->close();
    queryConns_.clear();
    queryBuffers_.clear();
    queryStarted_.clear();
    auto sessions = sessions_;
    for (auto& [_, s] : sessions)
        if (s->conn) s->conn->close();
    sessions_.clear();
}

bool CDJDbServer::isRunning() const {
    bool running = false;
    queue_.dispatchSync([&] { running = dbListener_ != nullptr; });
    return running;
}

void CDJDbServer::updateSettings(const CDJLinkSettings& settings) {
    queue_.dispatchSync([&] { settings_ = settings; });
}

CDJLinkSettings CDJDbServer::settings() const {
    CDJLinkSettings copy;
    queue_.dispatchSync([&] { copy = settings_; });
    return copy;
}

uint16_t CDJDbServer::queryPort() const {
    uint16_t p = 0;
    queue_.dispatchSync([&] { p = queryListener_ ? queryListener_->port() : queryPortSetting_; });
    return p;
}

uint16_t CDJDbServer::dbPort() const {
    uint16_t p = 0;
    queue_.dispatchSync([&] { p = dbListener_ ? dbListener_->port() : settings_.dbPort; });
    return p;
}

size_t CDJDbServer::openSessions() const {
    size_t n = 0;
    queue_.dispatchSync([&] { n = sessions_.size(); });
    return n;
}

int64_t CDJDbServer::sessionCount() const {
    int64_t n = 0;
    queue_.dispatchSync([&] { n = sessionCount_; });
    return n;
}

void CDJDbServer::acceptQuery(const std::shared_ptr<CDJTcpConnection>& conn) {
    queue_.assertOnQueue();
    const CDJTcpConnection* key = conn.get();
    queryBuffers_[key] = {};
    queryConns_[key] = conn;
    queryStarted_[key] = std::chrono::steady_clock::now();
    std::weak_ptr<CDJDbServer> weak = weak_from_this();
    conn->onData = [weak, key](std::span<const uint8_t> data) {
        auto self = weak.lock();
        if (!self) return;
        auto it = self->queryBuffers_.find(key);
        auto ct = self->queryConns_.find(key);
        if (it == self->queryBuffers_.end() || ct == self->queryConns_.end()) return;
        it->second.insert(it->second.end(), data.begin(), data.end());
        auto q = parsePortQuery(it->second);
        if (q.state == CDJPortQuery::State::incomplete) return;
        auto c = ct->second;
        if (q.state == CDJPortQuery::State::complete) {
            uint16_t port = self->dbListener_ ? self->dbListener_->port() : self->settings_.dbPort;
            cdjLogLine("DB", fmt::format("CDJ {} fragt DB-Port (\"{}\") → {}", c->peer(), q.name, port));
            uint8_t answer[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
            c->send(answer);
            c->closeWhenSent();  // onClose forgets the buffer
        } else {
            c->close();
        }
    };
    conn->onClose = [weak, key] {
        if (auto self = weak.lock()) {
            self->queryBuffers_.erase(key);
            self->queryConns_.erase(key);
            self->queryStarted_.erase(key);
        }
    };
}

void CDJDbServer::acceptSession(const std::shared_ptr<CDJTcpConnection>& conn) {
    queue_.assertOnQueue();
    size_t fromPeer = std::count_if(sessions_.begin(), sessions_.end(),
                                    [&](const auto& e) { return e.second->peer == conn->peer(); });
    bool room = (fromPeer < limits_.maxSessionsPerPeer || makeRoom(conn->peer(), true)) &&
                (sessions_.size() < limits_.maxSessions || makeRoom(conn->peer(), false));
    if (!room) {
        // A flood is logged once a second, not once a connection.
        auto now = std::chrono::steady_clock::now();
        ++refusedUnlogged_;
        if (now - lastRefusalLog_ >= std::chrono::seconds(1)) {
            cdjLogLine("WARN", fmt::format("DB-Verbindung von {} abgelehnt ({}×): {} Sessions offen, {} davon von dort",
                                           conn->peer(), refusedUnlogged_, sessions_.size(), fromPeer));
            lastRefusalLog_ = now;
            refusedUnlogged_ = 0;
        }
        conn->onData = nullptr;
        conn->onClose = nullptr;
        conn->close();
        return;
    }
    int64_t id = ++sessionCount_;
    auto session = std::make_shared<CDJDbSession>(id, *this, conn->peer(), conn);
    sessions_[id] = session;
    cdjLogLine("DB", fmt::format("Session #{} von {}", id, conn->peer()));
    std::weak_ptr<CDJDbServer> weak = weak_from_this();
    conn->onData = [weak, id](std::span<const uint8_t> data) {
        auto self = weak.lock();
        if (!self) return;
        auto it = self->sessions_.find(id);
        if (it == self->sessions_.end()) return;
        auto s = it->second;  // keeps the session alive through a close
        auto out = s->receive(data);
        if (!out.bytes.empty()) s->conn->send(out.bytes);
        if (out.end) s->conn->closeWhenSent();
    };
    conn->onClose = [weak, id, peer = conn->peer()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->sessions_.erase(id)) cdjLogLine("DB", fmt::format("Session #{} von {} beendet", id, peer));
    };
}

// Closes the connection that has gone longest without greeting, if it has been silent long enough:
// a player greets at once, so that place is taken by a stalled or hostile peer.
bool CDJDbServer::makeRoom(const std::string& peer, bool samePeerOnly) {
    auto now = std::chrono::steady_clock::now();
    std::shared_ptr<CDJDbSession> victim;
    for (const auto& [id, s] : sessions_) {
        if (s->handshakeDone || (samePeerOnly && s->peer != peer)) continue;
        if (now - s->lastActivity < limits_.evictAfterIdle) continue;
        if (!victim || s->lastActivity < victim->lastActivity) victim = s;
    }
    if (!victim) return false;
    cdjLogLine("DB", fmt::format("Session #{} von {} ohne Begrüßung – Platz für {}", victim->id, victim->peer, peer));
    if (victim->conn) victim->conn->close();
    sessions_.erase(victim->id);
    return true;
}

void CDJDbServer::sweep() {
    queue_.assertOnQueue();
    auto now = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<CDJTcpConnection>> expired;
    for (const auto& [key, since] : queryStarted_)
        if (now - since >= limits_.queryTimeout) {
            auto it = queryConns_.find(key);
            if (it != queryConns_.end()) expired.push_back(it->second);
        }
    for (const auto& [id, s] : sessions_) {
        auto limit = s->handshakeDone ? limits_.idleTimeout : limits_.greetingTimeout;
        if (now - s->lastActivity >= limit && s->conn) {
            cdjLogLine("DB", fmt::format("Session #{} von {}: {} – geschlossen", id, s->peer,
                                         s->handshakeDone ? "keine Anfragen mehr" : "keine Begrüßung"));
            expired.push_back(s->conn);
        }
    }
    for (auto& c : expired) c->close();
}

}  // namespace fv::cdj
