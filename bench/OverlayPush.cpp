// The overlay server pushing events to 20 connected pages on loopback: events per second at
// saturation and the latency from send() to receipt, against plain loopback TCP carrying the
// same frame bytes to 20 readers, measured in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "overlay/OverlayServer.hpp"
#include "overlay/WebSocketProtocol.hpp"

using namespace fv;
using namespace fv::overlay;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int clients = 20;
constexpr int burstEvents = 20000;
constexpr int window = 400;  // events in flight at most, so no page counts as stuck
constexpr int pacedEvents = 2000;
constexpr auto pacedGap = std::chrono::microseconds(1000);

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The event the DJ's side sends: a guest's accepted request with its sequence number.
OverlayEvent eventFor(int seq) {
    char title[32];
    std::snprintf(title, sizeof title, "%08d", seq);
    return OverlayEvent::requestAccepted(std::string(title) + " Dancing Queen", "ABBA", std::string("Lena aus Köln"));
}

// Reads server frames from one socket and stamps the arrival of each sequence number.
class Reader {
public:
    Reader(int fd, int events) : fd_(fd), arrivals_(events, 0) {}
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    int received() const { return received_.load(std::memory_order_acquire); }
    const std::vector<int64_t>& arrivals() const { return arrivals_; }
    void reset() {
        std::fill(arrivals_.begin(), arrivals_.end(), 0);
        received_ = 0;
    }

private:
    void run() {
        std::string buf;
        char chunk[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            const int64_t t = nowNs();
            buf.append(chunk, static_cast<size_t>(n));
            size_t pos = 0;
            for (;;) {
                if (buf.size() - pos < 2) break;
                uint64_t len = static_cast<uint8_t>(buf[pos + 1]) & 0x7F;
                size_t header = 2;
                if (len == 126) {
                    if (buf.size() - pos < 4) break;
                    len = (uint64_t(uint8_t(buf[pos + 2])) << 8) | uint8_t(buf[pos + 3]);
                    header = 4;
                } else if (len == 127) {
                    if (buf.size() - pos < 10) break;
                    len = 0;
                    for (int i = 0; i < 8; ++i) len = (len << 8) | uint8_t(buf[pos + 2 + i]);
                    header = 10;
                }
                if (buf.size() - pos < header + len) break;
                std::string_view payload(buf.data() + pos + header, len);
                auto at = payload.find("\"title\":\"");
                if (at != std::string_view::npos) {
                    int seq = std::atoi(std::string(payload.substr(at + 9, 8)).c_str());
                    if (seq >= 0 && seq < static_cast<int>(arrivals_.size()) && arrivals_[seq] == 0) {
                        arrivals_[seq] = t;
                        received_.fetch_add(1, std::memory_order_release);
                    }
                }
                pos += header + len;
            }
            buf.erase(0, pos);
        }
    }
    int fd_;
    std::vector<int64_t> arrivals_;
    std::atomic<int> received_{0};
    std::thread thread_;
};

int connectTo(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

void sendAll(int fd, std::string_view b) {
    size_t off = 0;
    while (off < b.size()) {
        ssize_t n = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            std::perror("send");
            std::exit(1);
        }
        off += static_cast<size_t>(n);
    }
}

struct Figures {
    double eventsPerSecond = 0;
    double p50us = 0, p99us = 0, maxUs = 0;
};

int minReceived(const std::vector<std::unique_ptr<Reader>>& readers) {
    int m = 1 << 30;
    for (const auto& r : readers) m = std::min(m, r->received());
    return m;
}

// The two phases for one transport: a windowed burst for throughput, then paced sends for latency.
Figures measure(std::vector<std::unique_ptr<Reader>>& readers, const std::function<void(int)>& sendEvent,
                const std::function<void()>& idle) {
    Figures f;
    auto t0 = Clock::now();
    int sent = 0;
    while (minReceived(readers) < burstEvents) {
        while (sent < burstEvents && sent - minReceived(readers) < window) sendEvent(sent++);
        idle();
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    f.eventsPerSecond = burstEvents / secs;

    for (auto& r : readers) r->reset();
    std::vector<int64_t> sentAt(pacedEvents);
    auto next = Clock::now();
    for (int i = 0; i < pacedEvents; ++i) {
        while (Clock::now() < next) idle();
        sentAt[i] = nowNs();
        sendEvent(i);
        next += pacedGap;
    }
    while (minReceived(readers) < pacedEvents) idle();
    std::vector<double> lat;
    lat.reserve(size_t(pacedEvents) * readers.size());
    for (const auto& r : readers)
        for (int i = 0; i < pacedEvents; ++i) lat.push_back((r->arrivals()[i] - sentAt[i]) / 1000.0);
    std::sort(lat.begin(), lat.end());
    f.p50us = lat[lat.size() / 2];
    f.p99us = lat[lat.size() * 99 / 100];
    f.maxUs = lat.back();
    return f;
}

Figures overlayServer() {
    OverlayServer server;
    OverlayConfig config;
    config.port = 0;
    if (!server.start(config)) {
        std::fprintf(stderr, "overlay server did not start: %s\n", server.lastError().c_str());
        std::exit(1);
    }
    server.setLiveDataEnabled(true);
    std::vector<int> fds;
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < clients; ++i) {
        int fd = connectTo(server.port());
        sendAll(fd,
                "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        // The 101 head, byte by byte, so no frame is eaten with it.
        std::string head;
        char c;
        while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
        fds.push_back(fd);
        readers.push_back(std::make_unique<Reader>(fd, burstEvents));
    }
    MainLoop::shared().runUntil([&] { return server.connectedClients() == clients; }, std::chrono::seconds(10));
    for (auto& r : readers) r->start();

    std::vector<OverlayEvent> events;
    for (int i = 0; i < burstEvents; ++i) events.push_back(eventFor(i));
    Figures f = measure(
        readers, [&](int i) { server.send(events[i]); },
        [] { MainLoop::shared().runUntil([] { return false; }, std::chrono::milliseconds(0)); });
    if (server.connectedClients() != clients) std::fprintf(stderr, "pages were dropped during the run\n");
    server.stop();
    for (auto& r : readers) r->join();
    for (int fd : fds) ::close(fd);
    return f;
}

// The same frames written by one thread straight to 20 loopback sockets.
Figures rawTcp() {
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(lfd, 64);
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> writers, fds;
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < clients; ++i) {
        int fd = connectTo(ntohs(a.sin_port));
        int w = ::accept(lfd, nullptr, nullptr);
        int one = 1;
        ::setsockopt(w, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        writers.push_back(w);
        fds.push_back(fd);
        readers.push_back(std::make_unique<Reader>(fd, burstEvents));
    }
    for (auto& r : readers) r->start();
    std::vector<std::string> frames;
    for (int i = 0; i < burstEvents; ++i) frames.push_back(encodeTextFrame(eventFor(i).encode()));
    Figures f = measure(
        readers,
        [&](int i) {
            for (int w : writers) sendAll(w, frames[i]);
        },
        [] { std::this_thread::yield(); });
    for (int w : writers) ::close(w);
    for (auto& r : readers) r->join();
    for (int fd : fds) ::close(fd);
    ::close(lfd);
    return f;
}

}  // namespace

int main() {
    setLogToStdout(false);
    const size_t frameBytes = encodeTextFrame(eventFor(0).encode()).size();
    std::printf(
        "OverlayPush: %d pages on loopback, %zu-byte frames, %d events burst (window %d), %d paced at %lld us\n",
        clients, frameBytes, burstEvents, window, pacedEvents, static_cast<long long>(pacedGap.count()));
    Figures base = rawTcp();
    Figures ov = overlayServer();
    std::printf("%-28s %14s %12s %12s %12s\n", "", "events/s", "p50 us", "p99 us", "max us");
    std::printf("%-28s %14.0f %12.1f %12.1f %12.1f\n", "overlay server (20 pages)", ov.eventsPerSecond, ov.p50us,
                ov.p99us, ov.maxUs);
    std::printf("%-28s %14.0f %12.1f %12.1f %12.1f\n", "raw loopback TCP (baseline)", base.eventsPerSecond, base.p50us,
                base.p99us, base.maxUs);
    std::printf("frames/s delivered by the overlay server: %.0f\n", ov.eventsPerSecond * clients);
    std::printf("ratio overlay/baseline: throughput %.2f, p99 latency %.2f\n",
                ov.eventsPerSecond / base.eventsPerSecond, ov.p99us / base.p99us);
    return 0;
}
