#pragma once
// A child process whose standard input and output stay open while it runs, read line by line:
// for peers that are driven step by step (a long-running `floorvote overlay serve`, the browser
// script). The child is killed and reaped by id when the object goes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace fv::test {

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int rc = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            pid_ = -1;
            ::close(in[1]);
            ::close(out[0]);
            return;
        }
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        closeInput();
        if (stdout_ >= 0) ::close(stdout_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The next line of output (without the newline); nothing on timeout or end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                all_ += line + "\n";
                return line;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || stdout_ < 0) return std::nullopt;
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char buf[4096];
            ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n <= 0) {
                ::close(stdout_);
                stdout_ = -1;
                return std::nullopt;
            }
            buffer_.append(buf, static_cast<size_t>(n));
        }
    }
    // Reads lines until one contains `part`; false on timeout.
    bool waitFor(const std::string& part, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            auto line = readLine(left);
            if (!line) return false;
            if (line->find(part) != std::string::npos) return true;
        }
    }
    // Everything read so far (complete lines).
    const std::string& output() const { return all_; }
    // The rest of the output, until the child closes it.
    std::string drain(std::chrono::milliseconds timeout) {
        while (readLine(timeout)) {
        }
        return all_;
    }

    bool writeLine(const std::string& line) {
        std::string s = line + "\n";
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::write(stdin_, s.data() + off, s.size() - off);
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    void closeInput() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }

    void signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    // Waits up to `timeout` for the child to end on its own, then kills it; the exit code.
    int waitOrKill(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exitCode_;
            }
            ::usleep(20000);
        }
        signal(SIGKILL);
        return wait();
    }
    // The exit code (128 + signal when killed); waits for the child.
    int wait() {
        if (pid_ <= 0) return exitCode_;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string buffer_;
    std::string all_;
    int exitCode_ = -1;
};

}  // namespace fv::test
