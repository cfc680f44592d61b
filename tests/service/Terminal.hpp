#pragma once
// A real terminal for the live session: one tmux server of the test's own (nothing of the user's
// tmux is touched), a pane that runs a command, typed lines, and the screen read back.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "support/TestSupport.hpp"

namespace fv::test {

class Terminal {
public:
    explicit Terminal(const std::string& name = "terminal")
        : socket_("floorvote-" + name + "-" + std::to_string(getpid())) {
        run({"new-session", "-d", "-s", "fv", "-x", "160", "-y", "60", "sleep 600"});
        run({"set-option", "-t", "fv", "remain-on-exit", "on"});
        run({"set-option", "-t", "fv", "history-limit", "20000"});
    }
    ~Terminal() { run({"kill-server"}); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    static bool available() { return runProcess({"tmux", "-V"}).exitCode == 0; }

    // The command line with the test's home and service address, for the pane's shell.
    static std::string withEnvironment(const std::string& command, std::vector<std::string> extra = {}) {
        std::string env = "env";
        for (const char* v : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "FLOORVOTE_PRODUCTION_URL", "PATH"})
            if (const char* value = getenv(v)) env += std::string(" ") + v + "='" + value + "'";
        for (const auto& e : extra) env += " " + e;
        return env + " " + command;
    }

    void start(const std::string& command) { run({"respawn-pane", "-k", "-t", "fv", "exec " + command}); }
    void type(const std::string& line) {
        run({"send-keys", "-t", "fv", "-l", line});
        run({"send-keys", "-t", "fv", "Enter"});
    }
    void keys(const std::string& k) { run({"send-keys", "-t", "fv", k}); }
    std::string screen() { return run({"capture-pane", "-p", "-J", "-t", "fv", "-S", "-20000"}).out; }
    bool dead() {
        auto out = run({"display-message", "-p", "-t", "fv", "#{pane_dead}"}).out;
        return out.rfind("1", 0) == 0;
    }
    bool waitFor(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(40)) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (screen().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    bool waitDead(std::chrono::seconds limit = std::chrono::seconds(40)) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (dead()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
