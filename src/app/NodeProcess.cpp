#include "app/NodeProcess.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/MainLoop.hpp"

extern char** environ;

namespace fv::app {

namespace fs = std::filesystem;

struct NodeProcess::Shared {
    std::function<void(const std::string&)> onLine;
};

NodeProcess::~NodeProcess() { stop(std::chrono::seconds(3)); }

bool NodeProcess::start(const std::vector<std::string>& args, const fs::path& logFile, std::string& error) {
    std::error_code ec;
    fs::create_directories(logFile.parent_path(), ec);
    log_ = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log_ < 0) {
        error = "Protokolldatei " + logFile.string() + ": " + std::strerror(errno);
        return false;
    }
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, log_, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, dflt;
    sigemptyset(&none);
    sigemptyset(&dflt);
    sigaddset(&dflt, SIGINT);
    sigaddset(&dflt, SIGTERM);
    sigaddset(&dflt, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &dflt);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> argv{"node"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargs;
    for (auto& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    int rc = posix_spawnp(&pid_, "node", &fa, &attr, cargs.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(in[1]);
        ::close(out[0]);
        error = rc == ENOENT ? "Node.js ist nicht installiert (scripts/bootstrap.sh installiert es)." : std::strerror(rc);
        return false;
    }
    stdin_ = in[1];
    stdout_ = out[0];
    return true;
}

std::optional<std::string> NodeProcess::firstLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (auto nl = pending_.find('\n'); nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || stdout_ < 0) return std::nullopt;
        pollfd p{stdout_, POLLIN, 0};
        int r = ::poll(&p, 1, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[4096];
        ssize_t n = ::read(stdout_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        pending_.append(buf, size_t(n));
    }
}

void NodeProcess::follow(std::function<void(const std::string&)> onLine) {
    if (stdout_ < 0 || reader_.joinable()) return;
    shared_ = std::make_shared<Shared>();
    shared_->onLine = std::move(onLine);
    // A thread of its own reads until the program closes its output (it ended); lines reach the
    // callback on the main loop, while this object still wants them.
    reader_ = std::thread([fd = stdout_, log = log_, rest = pending_, weak = std::weak_ptr<Shared>(shared_)]() mutable {
        std::string buffer = std::move(rest);
        char buf[4096];
        for (;;) {
            size_t nl;
            while ((nl = buffer.find('\n')) != std::string::npos) {
                std::string line = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                std::string logged = line + "\n";
                for (size_t off = 0; off < logged.size();) {
                    ssize_t w = ::write(log, logged.data() + off, logged.size() - off);
                    if (w <= 0) break;
                    off += size_t(w);
                }
                MainLoop::shared().post([weak, line] {
                    if (auto s = weak.lock(); s && s->onLine) s->onLine(line);
                });
            }
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            buffer.append(buf, size_t(n));
        }
    });
    pending_.clear();
}

bool NodeProcess::running() {
    if (pid_ <= 0) return false;
    return ::waitpid(pid_, nullptr, WNOHANG) == 0;
}

void NodeProcess::stop(std::chrono::milliseconds grace) {
    shared_.reset();
    if (stdin_ >= 0) {
        ::close(stdin_);  // the program ends when its input does
        stdin_ = -1;
    }
    if (pid_ > 0) {
        const auto deadline = std::chrono::steady_clock::now() + grace;
        bool ended = false;
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t r = ::waitpid(pid_, nullptr, WNOHANG);
            if (r == pid_ || (r < 0 && errno == ECHILD)) {
                ended = true;
                break;
            }
            ::usleep(20000);
        }
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    if (stdout_ >= 0) {
        ::close(stdout_);
        stdout_ = -1;
    }
    if (log_ >= 0) {
        ::close(log_);
        log_ = -1;
    }
}

fs::path serviceDirectory() {
    if (const char* env = std::getenv("FLOORVOTE_SERVICE_DIR"); env && *env) return env;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (const fs::path& candidate : {exe.parent_path() / "service", exe.parent_path() / ".." / "share" / "floorvote" / "service"})
            if (fs::exists(candidate / "server.js", ec)) return candidate;
    }
    return FLOORVOTE_SERVICE_DIR;
}

}  // namespace fv::app
