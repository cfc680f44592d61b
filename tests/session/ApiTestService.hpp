#pragma once
// Starts the local event service (service/server.js) in test mode on a free loopback port and stops it.
// The admin calls use a tiny blocking HTTP client of their own, so they do not depend on the
// client under test.
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

extern char** environ;

namespace fv::test {

class TestService {
public:
    explicit TestService(std::string name = "service") : TestService(serviceArgs(std::move(name))) {}

    // The backend service on `port` (0: any free one), with extra options such as "--ping-interval".
    static std::vector<std::string> serviceArgs(std::string name, int port = 0, std::vector<std::string> extra = {}) {
        std::vector<std::string> a{"node", std::string(FLOORVOTE_SOURCE_DIR) + "/service/server.js", "--test", "--port",
                                   std::to_string(port), "--name", std::move(name)};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }

    // Any peer program that prints {"port": N} once it listens and exits when its standard input ends.
    explicit TestService(std::vector<std::string> args) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawnp(&pid_, "node", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        if (rc != 0) {
            close(out[0]);
            throw std::runtime_error("cannot start node");
        }
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line.find('\n') == std::string::npos) {
            pollfd p{out[0], POLLIN, 0};
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            if (left <= 0 || poll(&p, 1, left) <= 0) break;
            char buf[256];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            line.append(buf, size_t(n));
        }
        close(out[0]);
        auto j = nlohmann::json::parse(line.substr(0, line.find('\n')), nullptr, false);
        if (!j.is_object() || !j.contains("port")) {
            stop();
            throw std::runtime_error("test service did not start: " + line);
        }
        port_ = j["port"].get<int>();
    }
    ~TestService() { stop(); }
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }

    // Ends the service the hard way, as a crash would.
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (stdin_ >= 0) {
            close(stdin_);
            stdin_ = -1;
        }
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    void stop() {
        if (stdin_ >= 0) {
            close(stdin_);  // the service exits when its standard input ends
            stdin_ = -1;
        }
        if (pid_ > 0) {
            for (int i = 0; i < 50; ++i) {
                int st;
                if (waitpid(pid_, &st, WNOHANG) == pid_) {
                    pid_ = -1;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    // One admin call; returns the parsed answer.
    nlohmann::json admin(const std::string& method, const std::string& path, const nlohmann::json& body = nlohmann::json::object()) const {
        std::string payload = body.dump();
        std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                          "Content-Type: application/json\r\nContent-Length: " + std::to_string(payload.size()) +
                          "\r\n\r\n" + payload;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(uint16_t(port_));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close(fd);
            throw std::runtime_error("admin connect failed");
        }
        for (size_t off = 0; off < req.size();) {
            ssize_t n = ::send(fd, req.data() + off, req.size() - off, MSG_NOSIGNAL);
            if (n <= 0) break;
            off += size_t(n);
        }
        std::string answer;
        char buf[65536];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            answer.append(buf, size_t(n));
        }
        close(fd);
        auto pos = answer.find("\r\n\r\n");
        if (pos == std::string::npos) throw std::runtime_error("admin answer is not HTTP");
        return nlohmann::json::parse(answer.substr(pos + 4));
    }

    void reset() const { admin("POST", "/__admin/reset"); }
    void script(const nlohmann::json& rule) const { admin("POST", "/__admin/script", rule); }
    nlohmann::json received() const { return admin("GET", "/__admin/received")["received"]; }
    void clearReceived() const { admin("DELETE", "/__admin/received"); }
    nlohmann::json lastReceived() const {
        auto r = received();
        return r.empty() ? nlohmann::json() : r.back();
    }
    void expireAccessTokens() const { admin("POST", "/__admin/expire"); }
    std::string account(const nlohmann::json& spec) const { return admin("POST", "/__admin/account", spec)["djUuid"]; }
    void event(const nlohmann::json& spec) const { admin("POST", "/__admin/event", spec); }
    void set(const nlohmann::json& spec) const { admin("POST", "/__admin/set", spec); }
    nlohmann::json state() const { return admin("GET", "/__admin/state"); }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

}  // namespace fv::test

#include <exception>
#include <optional>

#include <boost/asio/co_spawn.hpp>

#include "core/MainLoop.hpp"

namespace fv::test {

// Runs one coroutine on the main loop to its end; rethrows what it threw.
template <typename T>
T runOnMain(boost::asio::awaitable<T> task, std::chrono::milliseconds limit = std::chrono::seconds(90)) {
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    boost::asio::co_spawn(fv::MainLoop::shared().context(), std::move(task), [&](std::exception_ptr e, T v) {
        error = e;
        if (!e) value = std::move(v);
        done = true;
    });
    if (!fv::MainLoop::shared().runUntil([&] { return done; }, limit)) throw std::runtime_error("coroutine did not finish");
    if (error) std::rethrow_exception(error);
    return std::move(*value);
}

inline void runOnMain(boost::asio::awaitable<void> task, std::chrono::milliseconds limit = std::chrono::seconds(90)) {
    std::exception_ptr error;
    bool done = false;
    boost::asio::co_spawn(fv::MainLoop::shared().context(), std::move(task), [&](std::exception_ptr e) {
        error = e;
        done = true;
    });
    if (!fv::MainLoop::shared().runUntil([&] { return done; }, limit)) throw std::runtime_error("coroutine did not finish");
    if (error) std::rethrow_exception(error);
}

}  // namespace fv::test
