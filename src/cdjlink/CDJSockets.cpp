#include "cdjlink/CDJSockets.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <cstring>
#include <map>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <fmt/format.h>

#include "cdjlink/CDJLog.hpp"
#include "core/SerialQueue.hpp"

namespace fv::cdj {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

std::string errnoText(int e) { return std::strerror(e); }

std::string dotted(const in_addr& a) {
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

bool parseOctets(std::string_view text, std::array<uint8_t, 4>& out) {
    size_t part = 0;
    size_t i = 0;
    while (true) {
        if (part >= 4) return false;
        size_t start = i;
        unsigned value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            if (value > 255) return false;
            ++i;
        }
        if (i == start) return false;
        out[part++] = static_cast<uint8_t>(value);
        if (i == text.size()) break;
        if (text[i] != '.') return false;
        ++i;
    }
    return part == 4;
}

}  // namespace

// ---- interfaces

std::vector<CDJInterface> selectInterfaces(const std::vector<CDJInterfaceAddress>& entries) {
    struct V4 {
        std::string name, address, netmask;
    };
    std::vector<V4> v4;
    std::map<std::string, std::array<uint8_t, 6>> macs;
    for (const auto& e : entries) {
        if (e.family == CDJInterfaceAddress::Family::ipv4) {
            if (e.up && !e.loopback) v4.push_back({e.name, e.address, e.netmask.empty() ? "0.0.0.0" : e.netmask});
        } else if (e.family == CDJInterfaceAddress::Family::link && e.hwaddr.size() == 6) {
            std::array<uint8_t, 6> m{};
            std::copy(e.hwaddr.begin(), e.hwaddr.end(), m.begin());
            macs[e.name] = m;
        }
    }
    std::vector<CDJInterface> out;
    for (auto& a : v4) {
        auto it = macs.find(a.name);
        if (it == macs.end()) continue;
        if (std::all_of(it->second.begin(), it->second.end(), [](uint8_t b) { return b == 0; })) continue;
        out.push_back({a.name, a.address, a.netmask, it->second});
    }
    std::stable_sort(out.begin(), out.end(), [](const CDJInterface& x, const CDJInterface& y) {
        bool xl = x.address.rfind("169.254", 0) == 0;
        bool yl = y.address.rfind("169.254", 0) == 0;
        if (xl != yl) return !xl;
        return x.name < y.name;
    });
    return out;
}

std::vector<CDJInterface> availableInterfaces() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0 || !list) return {};
    std::vector<CDJInterfaceAddress> entries;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_name) continue;
        CDJInterfaceAddress e;
        e.name = i->ifa_name;
        e.up = (i->ifa_flags & IFF_UP) != 0;
        e.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        if (i->ifa_addr->sa_family == AF_INET) {
            e.family = CDJInterfaceAddress::Family::ipv4;
            e.address = dotted(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr);
            in_addr none{};
            e.netmask =
                dotted(i->ifa_netmask ? reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr : none);
        } else if (i->ifa_addr->sa_family == AF_PACKET) {
            // The Linux counterpart of a link-layer entry: sockaddr_ll carries the hardware address.
            const auto* ll = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
            e.family = CDJInterfaceAddress::Family::link;
            if (ll->sll_halen == 6) e.hwaddr.assign(ll->sll_addr, ll->sll_addr + 6);
        } else {
            continue;
        }
        entries.push_back(std::move(e));
    }
    ::freeifaddrs(list);
    return selectInterfaces(entries);
}

std::string broadcastAddress(std::string_view address, std::string_view netmask) {
    std::array<uint8_t, 4> a{}, m{};
    if (!parseOctets(address, a) || !parseOctets(netmask, m)) return "255.255.255.255";
    return fmt::format("{}.{}.{}.{}", a[0] | static_cast<uint8_t>(~m[0]), a[1] | static_cast<uint8_t>(~m[1]),
                       a[2] | static_cast<uint8_t>(~m[2]), a[3] | static_cast<uint8_t>(~m[3]));
}

std::string macText(const std::array<uint8_t, 6>& m) {
    return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", m[0], m[1], m[2], m[3], m[4], m[5]);
}

// ---- errors

CDJSocketError::CDJSocketError(Kind k, uint16_t port, std::string message, const std::string& text)
    : std::runtime_error(text), kind_(k), port_(port), message_(std::move(message)) {}

CDJSocketError CDJSocketError::create(std::string message) {
    std::string text = "Socket konnte nicht erstellt werden: " + message;
    return CDJSocketError(Kind::create, 0, std::move(message), text);
}

CDJSocketError CDJSocketError::bind(uint16_t port, std::string message) {
    std::string text = fmt::format("Port {} belegt oder nicht bindbar ({}) – läuft rekordbox?", port, message);
    return CDJSocketError(Kind::bind, port, std::move(message), text);
}

CDJSocketError CDJSocketError::listen(uint16_t port, std::string message) {
    std::string text = fmt::format("TCP {}: {}", port, message);
    return CDJSocketError(Kind::listen, port, std::move(message), text);
}

namespace {

uint16_t boundPort(int fd, uint16_t fallback) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return fallback;
    return ntohs(sa.sin_port);
}

void setInt(int fd, int level, int option, int value) {
    (void)::setsockopt(fd, level, option, &value, sizeof value);
}

int bindAny(int fd, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(port);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

}  // namespace

// ---- UDP

struct CDJUdpSocket::Impl {
    explicit Impl(SerialQueue& q) : sock(q.executor()) {}
    udp::socket sock;
    udp::endpoint sender;
    std::array<uint8_t, 65536> buffer{};
    std::atomic<bool> open{true};
};

CDJUdpSocket::CDJUdpSocket(SerialQueue& queue, uint16_t port, int fd, Handler handler)
    : queue_(queue), port_(port), fd_(fd), handler_(std::move(handler)), impl_(std::make_unique<Impl>(queue)) {
    impl_->sock.assign(udp::v4(), fd);
}

std::shared_ptr<CDJUdpSocket> CDJUdpSocket::open(uint16_t port, SerialQueue& queue, std::string label,
                                                  Handler handler, PortSharing sharing) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw CDJSocketError::create(errnoText(errno));
    // On Linux either option lets a second UDP socket bind the same port.
    if (sharing == PortSharing::shared) {
        setInt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
        setInt(fd, SOL_SOCKET, SO_REUSEPORT, 1);
    }
    setInt(fd, SOL_SOCKET, SO_BROADCAST, 1);
    setInt(fd, SOL_SOCKET, SO_RCVBUF, 0x100000);
    setInt(fd, SOL_SOCKET, SO_SNDBUF, 0x100000);
    if (bindAny(fd, port) != 0) {
        int e = errno;
        ::close(fd);
        throw CDJSocketError::bind(port, errnoText(e));
    }
    uint16_t actual = boundPort(fd, port);
    auto s = std::make_shared<CDJUdpSocket>(queue, actual, fd, std::move(handler));
    asio::post(queue.executor(), [w = std::weak_ptr<CDJUdpSocket>(s)] {
        if (auto self = w.lock()) self->arm();
    });
    cdjLogLine("OK", fmt::format("Lausche UDP :{} ({})", actual, label));
    return s;
}

void CDJUdpSocket::arm() {
    if (!impl_->open) return;
    auto w = weak_from_this();
    impl_->sock.async_receive_from(
        asio::buffer(impl_->buffer), impl_->sender, [w](const boost::system::error_code& ec, size_t n) {
            auto self = w.lock();
            if (!self || !self->impl_->open) return;
            if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) return;
            if (!ec && n > 0 && self->handler_) {
                auto addr = self->impl_->sender.address();
                std::string text = addr.is_v4() ? addr.to_v4().to_string() : addr.to_string();
                self->handler_(std::span<const uint8_t>(self->impl_->buffer.data(), n), text,
                               self->impl_->sender.port());
            }
            self->arm();
        });
}

bool CDJUdpSocket::isOpen() const { return impl_->open; }

bool CDJUdpSocket::send(std::span<const uint8_t> data, const std::string& address, uint16_t port) {
    int err = 0;
    if (!impl_->open) {
        err = EBADF;
    } else {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
            err = EINVAL;
        } else if (::sendto(fd_, data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa),
                            sizeof sa) < 0) {
            err = errno;
        }
    }
    if (err == 0) return true;
    cdjLogLine("ERR", fmt::format("UDP send {} B → {}:{}: {}", data.size(), address, port, errnoText(err)));
    return false;
}

void CDJUdpSocket::close() {
    queue_.dispatchSync([this] {
        if (!impl_->open.exchange(false)) return;
        boost::system::error_code ec;
        impl_->sock.close(ec);
    });
}

CDJUdpSocket::~CDJUdpSocket() { close(); }

// ---- TCP connection

struct CDJTcpConnection::Impl {
    explicit Impl(tcp::socket s) : sock(std::move(s)), stallTimer(sock.get_executor()) {}
    tcp::socket sock;
    std::array<uint8_t, 65536> buffer{};
    std::deque<std::vector<uint8_t>> outbox;
    size_t outboxBytes = 0;  // queued, the front's written part included
    size_t frontWritten = 0;
    bool writing = false;
    bool closeWhenDrained = false;
    asio::steady_timer stallTimer;
    bool stallArmed = false;
    std::chrono::steady_clock::time_point lastProgress{};
};

CDJTcpConnection::CDJTcpConnection(SerialQueue& queue, std::unique_ptr<Impl> impl, int fd, std::string peer)
    : queue_(queue), impl_(std::move(impl)), fd_(fd), peer_(std::move(peer)) {
    setInt(fd_, IPPROTO_TCP, TCP_NODELAY, 1);
    setInt(fd_, SOL_SOCKET, SO_KEEPALIVE, 1);
    // No SO_NOSIGPIPE on Linux: Asio sends with MSG_NOSIGNAL.
}

std::shared_ptr<CDJTcpConnection> CDJTcpConnection::connect(const std::string& address, uint16_t port,
                                                            SerialQueue& queue) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw CDJSocketError::create(errnoText(errno));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        ::close(fd);
        throw CDJSocketError::create(errnoText(EINVAL));
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        int e = errno;
        ::close(fd);
        throw CDJSocketError::create(errnoText(e));
    }
    tcp::socket s(queue.executor());
    s.assign(tcp::v4(), fd);
    return std::make_shared<CDJTcpConnection>(queue, std::make_unique<Impl>(std::move(s)), fd, address);
}

bool CDJTcpConnection::isOpen() const { return open_; }

size_t CDJTcpConnection::pendingBytes() const {
    queue_.assertOnQueue();
    return impl_->outboxBytes - impl_->frontWritten;
}

void CDJTcpConnection::start() {
    queue_.dispatchSync([this] {
        if (started_ || !open_) return;
        started_ = true;
        arm();
    });
}

void CDJTcpConnection::arm() {
    queue_.assertOnQueue();
    auto w = weak_from_this();
    impl_->sock.async_read_some(asio::buffer(impl_->buffer), [w](const boost::system::error_code& ec, size_t n) {
        auto self = w.lock();
        if (!self || !self->open_) return;
        if (ec || n == 0) {
            self->closeOnQueue();
            return;
        }
        if (self->onData && !self->impl_->closeWhenDrained)
            self->onData(std::span<const uint8_t>(self->impl_->buffer.data(), n));
        if (self->open_) self->arm();
    });
}

void CDJTcpConnection::send(std::span<const uint8_t> data) {
    if (!open_ || data.empty()) return;
    std::vector<uint8_t> copy(data.begin(), data.end());
    if (queue_.isCurrent()) {
        enqueue(std::move(copy));
        return;
    }
    queue_.post([w = weak_from_this(), copy = std::move(copy)]() mutable {
        if (auto self = w.lock()) self->enqueue(std::move(copy));
    });
}

void CDJTcpConnection::enqueue(std::vector<uint8_t> data) {
    queue_.assertOnQueue();
    if (!open_ || impl_->closeWhenDrained) return;
    if (impl_->outboxBytes - impl_->frontWritten + data.size() > maxOutboxBytes) {
        cdjLogLine("ERR", fmt::format("TCP {}: Gegenstelle liest nicht, über {} B ausstehend – Verbindung geschlossen",
                                      peer_, maxOutboxBytes));
        closeOnQueue();
        return;
    }
    impl_->outboxBytes += data.size();
    impl_->outbox.push_back(std::move(data));
    writeNext();
}

void CDJTcpConnection::writeNext() {
    if (!open_ || impl_->writing) return;
    if (impl_->outbox.empty()) {
        impl_->stallArmed = false;
        impl_->stallTimer.cancel();
        if (impl_->closeWhenDrained) closeOnQueue();
        return;
    }
    if (!impl_->stallArmed) {
        // Writing starts after an idle spell: the stall clock starts now.
        impl_->stallArmed = true;
        impl_->lastProgress = std::chrono::steady_clock::now();
        armStallTimer();
    }
    impl_->writing = true;
    const auto& front = impl_->outbox.front();
    auto w = weak_from_this();
    impl_->sock.async_write_some(
        asio::buffer(front.data() + impl_->frontWritten, front.size() - impl_->frontWritten),
        [w](const boost::system::error_code& ec, size_t n) {
            auto self = w.lock();
            if (!self) return;
            auto& im = *self->impl_;
            im.writing = false;
            if (!self->open_) return;
            if (ec) {
                if (ec != asio::error::operation_aborted) self->closeOnQueue();
                return;
            }
            im.lastProgress = std::chrono::steady_clock::now();
            im.frontWritten += n;
            if (im.frontWritten == im.outbox.front().size()) {
                im.outboxBytes -= im.outbox.front().size();
                im.outbox.pop_front();
                im.frontWritten = 0;
            }
            self->writeNext();
        });
}

void CDJTcpConnection::armStallTimer() {
    auto& im = *impl_;
    im.stallTimer.expires_at(im.lastProgress + sendStallLimit);
    im.stallTimer.async_wait([w = weak_from_this()](const boost::system::error_code& ec) {
        if (ec) return;
        auto self = w.lock();
        if (!self || !self->open_ || !self->impl_->stallArmed) return;
        auto& im = *self->impl_;
        if (std::chrono::steady_clock::now() - im.lastProgress >= sendStallLimit) {
            cdjLogLine("ERR", fmt::format("TCP {}: seit {} s nichts abgenommen – Verbindung geschlossen", self->peer_,
                                          sendStallLimit.count()));
            self->closeOnQueue();
            return;
        }
        self->armStallTimer();
    });
}

void CDJTcpConnection::closeWhenSent() {
    auto run = [w = weak_from_this()] {
        auto self = w.lock();
        if (!self || !self->open_) return;
        self->impl_->closeWhenDrained = true;
        self->writeNext();
    };
    if (queue_.isCurrent()) run();
    else queue_.post(run);
}

void CDJTcpConnection::close() {
    queue_.dispatchSync([this] { closeOnQueue(); });
}

void CDJTcpConnection::closeOnQueue() {
    if (!open_.exchange(false)) return;
    auto keep = weak_from_this().lock();  // onClose may drop the owner's last reference
    boost::system::error_code ec;
    impl_->stallTimer.cancel();
    impl_->sock.close(ec);
    if (onClose) {
        auto cb = std::move(onClose);
        onClose = nullptr;
        cb();
    }
}

CDJTcpConnection::~CDJTcpConnection() {
    queue_.dispatchSync([this] {
        open_ = false;
        boost::system::error_code ec;
        impl_->stallTimer.cancel();
        impl_->sock.close(ec);
    });
}

// ---- TCP listener

struct CDJTcpListener::Impl {
    explicit Impl(SerialQueue& q) : acceptor(q.executor()), retry(q.executor()) {}
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    std::atomic<bool> open{true};
};

CDJTcpListener::CDJTcpListener(SerialQueue& queue, uint16_t port, int fd, AcceptHandler onAccept)
    : queue_(queue), port_(port), fd_(fd), onAccept_(std::move(onAccept)), impl_(std::make_unique<Impl>(queue)) {
    impl_->acceptor.assign(tcp::v4(), fd);
}

std::shared_ptr<CDJTcpListener> CDJTcpListener::open(uint16_t port, SerialQueue& queue, std::string label,
                                                      AcceptHandler onAccept) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw CDJSocketError::create(errnoText(errno));
    setInt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (bindAny(fd, port) != 0) {
        int e = errno;
        ::close(fd);
        throw CDJSocketError::bind(port, errnoText(e));
    }
    if (::listen(fd, 16) != 0) {
        int e = errno;
        ::close(fd);
        throw CDJSocketError::listen(port, errnoText(e));
    }
    uint16_t actual = boundPort(fd, port);
    auto l = std::make_shared<CDJTcpListener>(queue, actual, fd, std::move(onAccept));
    asio::post(queue.executor(), [w = std::weak_ptr<CDJTcpListener>(l)] {
        if (auto self = w.lock()) self->arm();
    });
    cdjLogLine("OK", fmt::format("Lausche TCP :{} ({})", actual, label));
    return l;
}

void CDJTcpListener::arm() {
    if (!impl_->open) return;
    auto w = weak_from_this();
    impl_->acceptor.async_accept([w](const boost::system::error_code& ec, tcp::socket s) {
        auto self = w.lock();
        if (!self || !self->impl_->open) return;
        if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) return;
        if (ec) {
            // Out of descriptors and the like: try again a little later instead of spinning.
            self->impl_->retry.expires_after(std::chrono::milliseconds(100));
            self->impl_->retry.async_wait([w](const boost::system::error_code& e) {
                if (e) return;
                if (auto again = w.lock()) again->arm();
            });
            return;
        }
        boost::system::error_code epErr;
        auto ep = s.remote_endpoint(epErr);
        std::string peer = epErr ? std::string() : ep.address().to_string();
        int fd = s.native_handle();
        auto c = std::make_shared<CDJTcpConnection>(self->queue_, std::make_unique<CDJTcpConnection::Impl>(std::move(s)),
                                                    fd, peer);
        if (self->onAccept_) self->onAccept_(c);
        c->start();
        self->arm();
    });
}

void CDJTcpListener::close() {
    queue_.dispatchSync([this] {
        if (!impl_->open.exchange(false)) return;
        boost::system::error_code ec;
        impl_->retry.cancel();
        impl_->acceptor.close(ec);
    });
}

CDJTcpListener::~CDJTcpListener() { close(); }

}  // namespace fv::cdj
