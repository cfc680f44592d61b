#pragma once
// Byte builders for RPC tests: expected messages are written out word by word, by hand.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "cdjlink/CDJRpc.hpp"

namespace fv::test {

struct Wire {
    std::vector<uint8_t> b;

    Wire& w(uint32_t v) {
        b.push_back(uint8_t(v >> 24));
        b.push_back(uint8_t(v >> 16));
        b.push_back(uint8_t(v >> 8));
        b.push_back(uint8_t(v));
        return *this;
    }
    Wire& ws(std::initializer_list<uint32_t> vs) {
        for (uint32_t v : vs) w(v);
        return *this;
    }
    // Raw bytes from hex text ("db34 af57 ..."; blanks ignored).
    Wire& hex(std::string_view h) {
        int hi = -1;
        for (char c : h) {
            int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (v < 0) continue;
            if (hi < 0) {
                hi = v;
            } else {
                b.push_back(uint8_t(hi * 16 + v));
                hi = -1;
            }
        }
        return *this;
    }
    Wire& zeros(size_t n) {
        b.insert(b.end(), n, 0);
        return *this;
    }
    Wire& raw(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    // XDR string: length, bytes, zero padding.
    Wire& str(std::string_view s) {
        w(static_cast<uint32_t>(s.size()));
        raw(s);
        while (b.size() % 4) b.push_back(0);
        return *this;
    }
    Wire& add(const std::vector<uint8_t>& more) {
        b.insert(b.end(), more.begin(), more.end());
        return *this;
    }
    // Accepted reply header with status SUCCESS.
    Wire& ok(uint32_t xid) { return ws({xid, 1, 0, 0, 0, 0}); }
    operator const std::vector<uint8_t>&() const { return b; }
};

inline std::string hexOf(const std::vector<uint8_t>& v) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i && i % 4 == 0) s.push_back(' ');
        s.push_back(d[v[i] >> 4]);
        s.push_back(d[v[i] & 15]);
    }
    return s;
}

}  // namespace fv::test

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

extern char** environ;

namespace fv::test {

inline uint32_t wordAt(const std::vector<uint8_t>& b, size_t i) {
    return i + 4 <= b.size()
               ? (uint32_t{b[i]} << 24) | (uint32_t{b[i + 1]} << 16) | (uint32_t{b[i + 2]} << 8) | b[i + 3]
               : 0;
}

inline sockaddr_in socketAddress(const std::string& address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

// A blocking UDP client with a receive time-out, as a player would use.
class RpcUdpClient {
public:
    explicit RpcUdpClient(std::string address = "127.0.0.1", int timeoutMs = 2000) : address_(std::move(address)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int big = 1 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~RpcUdpClient() { ::close(fd_); }
    RpcUdpClient(const RpcUdpClient&) = delete;
    RpcUdpClient& operator=(const RpcUdpClient&) = delete;

    void send(uint16_t port, const std::vector<uint8_t>& data) {
        sockaddr_in sa = socketAddress(address_, port);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    std::optional<std::vector<uint8_t>> receive() {
        std::vector<uint8_t> buf(70000);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<size_t>(n));
        return buf;
    }
    // Sends a call and waits for the reply with the same transaction id.
    std::optional<std::vector<uint8_t>> call(uint16_t port, const std::vector<uint8_t>& message) {
        send(port, message);
        for (;;) {
            auto r = receive();
            if (!r || wordAt(*r, 0) == wordAt(message, 0)) return r;
        }
    }

private:
    std::string address_;
    int fd_ = -1;
};

class RpcTcpClient {
public:
    RpcTcpClient(uint16_t port, std::string address = "127.0.0.1", int timeoutMs = 3000) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in sa = socketAddress(address, port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~RpcTcpClient() { ::close(fd_); }
    RpcTcpClient(const RpcTcpClient&) = delete;
    RpcTcpClient& operator=(const RpcTcpClient&) = delete;

    bool connected() const { return connected_; }
    bool sendAll(const std::vector<uint8_t>& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    bool readExact(uint8_t* dst, size_t n) {
        size_t done = 0;
        while (done < n) {
            const ssize_t r = ::recv(fd_, dst + done, n - done, 0);
            if (r <= 0) return false;
            done += static_cast<size_t>(r);
        }
        return true;
    }
    // One record marked reply (the server sends single fragments); nothing on EOF or time-out.
    std::optional<std::vector<uint8_t>> readRecord() {
        uint8_t h[4];
        if (!readExact(h, 4)) return std::nullopt;
        const uint32_t header = (uint32_t{h[0]} << 24) | (uint32_t{h[1]} << 16) | (uint32_t{h[2]} << 8) | h[3];
        lastHeader = header;
        std::vector<uint8_t> body(header & 0x7fffffffu);
        if (!readExact(body.data(), body.size())) return std::nullopt;
        return body;
    }
    // True when the server closed the connection (EOF), false on data or time-out.
    bool closedByPeer() {
        uint8_t b;
        return ::recv(fd_, &b, 1, 0) == 0;
    }
    uint32_t lastHeader = 0;

private:
    int fd_ = -1;
    bool connected_ = false;
};

// A program running in the background until stopped (SIGINT lets dumpcap finish its file).
class Background {
public:
    Background(const std::vector<std::string>& command, const std::filesystem::path& log) {
        std::vector<std::string> args = command;
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Background() { stop(SIGTERM); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    bool running() const { return pid_ > 0; }
    // Signals the program and waits for it; the exit status as waitpid gives it.
    int stop(int sig) {
        if (pid_ <= 0) return status_;
        ::kill(pid_, sig);
        ::waitpid(pid_, &status_, 0);
        pid_ = -1;
        return status_;
    }
    // True once the program ended by itself (the status is then kept).
    bool exited() {
        if (pid_ <= 0) return true;
        if (::waitpid(pid_, &status_, WNOHANG) != pid_) return false;
        pid_ = -1;
        return true;
    }
    int status() const { return status_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace fv::test
