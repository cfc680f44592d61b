#pragma once
// A blocking loopback TCP client with just enough WebSocket to act as an overlay page: our own
// code on the client side would hide faults on the server side, so frames are built by hand here.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace fv::test {

class LoopbackClient {
public:
    explicit LoopbackClient(uint16_t port, int rcvbuf = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Ends the connection with a reset, as a crashed peer does.
    void abort() {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }

    bool send(std::string_view bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads what arrives until the peer closes or `quiet` passes without bytes. eof tells which.
    std::string readAll(std::chrono::milliseconds quiet = std::chrono::milliseconds(3000), bool* eof = nullptr) {
        std::string out;
        if (eof) *eof = false;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return out;
            char buf[65536];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                if (eof) *eof = true;
                return out;
            }
            out.append(buf, static_cast<size_t>(n));
        }
    }

    // Exactly n bytes, or fewer when the peer closes or the timeout passes.
    std::string readExactly(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[65536];
            ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }

    // Reads up to and including the blank line of an HTTP answer head.
    std::string readHead(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::string out;
        while (out.find("\r\n\r\n") == std::string::npos) {
            std::string b = readExactly(1, timeout);
            if (b.empty()) break;
            out += b;
        }
        return out;
    }

    // The handshake a browser sends; returns the 101 head (empty when refused).
    std::string upgrade(std::string_view key = "dGhlIHNhbXBsZSBub25jZQ==", std::string_view path = "/") {
        std::string req = "GET " + std::string(path) +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: " +
                          std::string(key) + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
        if (!send(req)) return {};
        return readHead();
    }

    struct Frame {
        uint8_t first = 0;  // FIN, RSV and opcode
        bool masked = false;
        std::string payload;
        size_t headerLength = 0;
    };

    // One server frame; nothing when the connection ends or nothing comes in time.
    std::optional<Frame> readFrame(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::string h = readExactly(2, timeout);
        if (h.size() < 2) return std::nullopt;
        Frame f;
        f.first = static_cast<uint8_t>(h[0]);
        f.masked = static_cast<uint8_t>(h[1]) & 0x80;
        uint64_t len = static_cast<uint8_t>(h[1]) & 0x7F;
        f.headerLength = 2;
        if (len == 126) {
            std::string e = readExactly(2, timeout);
            if (e.size() < 2) return std::nullopt;
            len = (uint64_t(uint8_t(e[0])) << 8) | uint8_t(e[1]);
            f.headerLength = 4;
        } else if (len == 127) {
            std::string e = readExactly(8, timeout);
            if (e.size() < 8) return std::nullopt;
            len = 0;
            for (char c : e) len = (len << 8) | uint8_t(c);
            f.headerLength = 10;
        }
        f.payload = readExactly(static_cast<size_t>(len), timeout);
        if (f.payload.size() != len) return std::nullopt;
        return f;
    }

    // A masked client frame, as browsers must send them.
    static std::string clientFrame(uint8_t first, std::string_view payload, bool mask = true) {
        std::string f;
        f.push_back(static_cast<char>(first));
        const uint8_t m = mask ? 0x80 : 0;
        if (payload.size() < 126) {
            f.push_back(static_cast<char>(m | payload.size()));
        } else if (payload.size() <= 0xFFFF) {
            f.push_back(static_cast<char>(m | 126));
            f.push_back(static_cast<char>(payload.size() >> 8));
            f.push_back(static_cast<char>(payload.size() & 0xFF));
        } else {
            f.push_back(static_cast<char>(m | 127));
            for (int s = 56; s >= 0; s -= 8) f.push_back(static_cast<char>((uint64_t(payload.size()) >> s) & 0xFF));
        }
        const char key[4] = {0x12, 0x34, 0x56, 0x78};
        if (mask) f.append(key, 4);
        for (size_t i = 0; i < payload.size(); ++i)
            f.push_back(mask ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i]);
        return f;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace fv::test
