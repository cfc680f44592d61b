#pragma once
// A raw loopback HTTP/WebSocket client for the panel server, which runs on the test's own main
// loop: every wait turns the loop until the socket has something to read.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "core/MainLoop.hpp"
#include "overlay/OverlayTestClient.hpp"

namespace fv::test {

class PanelClient {
public:
    explicit PanelClient(uint16_t port, const char* address = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~PanelClient() { close(); }
    PanelClient(const PanelClient&) = delete;
    PanelClient& operator=(const PanelClient&) = delete;

    bool connected() const { return connected_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
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

    // Up to n bytes once some arrive; empty on timeout or end.
    std::string readSome(size_t n, std::chrono::milliseconds timeout, bool* eof = nullptr) {
        if (!waitReadable(timeout)) return {};
        std::string buf(n, '\0');
        ssize_t got = ::recv(fd_, buf.data(), n, 0);
        if (got <= 0) {
            if (eof) *eof = true;
            return {};
        }
        buf.resize(static_cast<size_t>(got));
        return buf;
    }

    std::string readExactly(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::string out;
        auto until = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            std::string b = readSome(n - out.size(), left);
            if (b.empty()) break;
            out += b;
        }
        return out;
    }

    // A whole HTTP answer: head, and the body by its Content-Length.
    struct Answer {
        int status = 0;
        std::string head, body;
        std::string header(std::string_view name) const {
            std::string lower(head);
            for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            std::string key = "\r\n" + std::string(name) + ":";
            for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            auto i = lower.find(key);
            if (i == std::string::npos) return {};
            auto start = head.find_first_not_of(' ', i + key.size());
            return head.substr(start, head.find("\r\n", start) - start);
        }
    };
    Answer request(const std::string& raw, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        Answer a;
        if (!send(raw)) return a;
        while (a.head.find("\r\n\r\n") == std::string::npos) {
            std::string b = readSome(1, timeout);
            if (b.empty()) return a;
            a.head += b;
        }
        if (a.head.size() > 12) a.status = std::atoi(a.head.c_str() + 9);
        std::string len = a.header("Content-Length");
        if (!len.empty() && raw.rfind("HEAD ", 0) != 0) a.body = readExactly(std::stoul(len), timeout);
        return a;
    }

    // One whole server message (its fragments joined), nothing on timeout or close.
    std::optional<std::string> readMessage(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::string message;
        for (;;) {
            std::string h = readExactly(2, timeout);
            if (h.size() < 2) return std::nullopt;
            uint64_t len = static_cast<uint8_t>(h[1]) & 0x7F;
            if (len == 126) {
                std::string e = readExactly(2, timeout);
                len = (uint64_t(uint8_t(e[0])) << 8) | uint8_t(e[1]);
            } else if (len == 127) {
                std::string e = readExactly(8, timeout);
                len = 0;
                for (char c : e) len = (len << 8) | uint8_t(c);
            }
            std::string payload = readExactly(static_cast<size_t>(len), timeout);
            if (payload.size() != len) return std::nullopt;
            const int op = static_cast<uint8_t>(h[0]) & 0x0F;
            if (op == 0x8) return std::nullopt;  // close
            if (op == 0x9 || op == 0xA) continue;
            message += payload;
            if (static_cast<uint8_t>(h[0]) & 0x80) return message;
        }
    }

    bool sendText(std::string_view text) { return send(LoopbackClient::clientFrame(0x81, text)); }

private:
    bool waitReadable(std::chrono::milliseconds timeout) {
        auto readable = [&] {
            pollfd p{fd_, POLLIN, 0};
            return ::poll(&p, 1, 0) > 0;
        };
        if (readable()) return true;
        return MainLoop::shared().runUntil(readable, timeout);
    }

    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace fv::test
