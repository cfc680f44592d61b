#pragma once
// A real terminal for `floorvote run`: one tmux server of the test's own.
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.hpp"

namespace fv::test {

using namespace std::chrono_literals;

// One tmux server of our own, so nothing of the user's tmux is touched.
class Terminal {
public:
    Terminal() : socket_("floorvote-dj-test-" + std::to_string(getpid())) {
        run({"new-session", "-d", "-s", "fv", "-x", "160", "-y", "50", "sleep 600"});
        run({"set-option", "-t", "fv", "remain-on-exit", "on"});
        run({"set-option", "-t", "fv", "history-limit", "20000"});
    }
    ~Terminal() { run({"kill-server"}); }

    void start(const std::string& command) { run({"respawn-pane", "-k", "-t", "fv", "exec " + command}); }
    void type(const std::string& line) {
        run({"send-keys", "-t", "fv", "-l", line});
        run({"send-keys", "-t", "fv", "Enter"});
    }
    void keys(const std::string& k) { run({"send-keys", "-t", "fv", k}); }
    std::string screen() { return run({"capture-pane", "-p", "-J", "-t", "fv", "-S", "-20000"}).out; }
    std::string format(const std::string& f) {
        auto out = run({"display-message", "-p", "-t", "fv", f}).out;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    bool dead() { return format("#{pane_dead}") == "1"; }
    // tmux sometimes sees the terminal close long before it reaps the process; then there is no
    // status to read and the clean shutdown shows only in the output.
    std::string exitStatus() {
        for (int i = 0; i < 50; ++i) {
            auto st = format("#{pane_dead_status}#{pane_dead_signal}");
            if (!st.empty()) return st;
            std::this_thread::sleep_for(100ms);
        }
        return {};
    }
    bool waitFor(const std::string& text, std::chrono::seconds limit = 40s) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (screen().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    bool waitDead(std::chrono::seconds limit = 40s) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (dead()) return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

private:
    ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"tmux", "-L", socket_, "-f", "/dev/null"});
        return runProcess(args);
    }
    std::string socket_;
};

}  // namespace fv::test
