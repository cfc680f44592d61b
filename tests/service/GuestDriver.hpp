#pragma once
// Guests of the local event service for the tests: the socket.io guest driver
// (tests/peers/guests/guest_driver.mjs) run as a child process and asked line by line.
#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "overlay/ChildProcess.hpp"

namespace fv::test {

class GuestDriver {
public:
    GuestDriver() : node_({"node", std::string(TEST_PEERS_DIR) + "/guests/guest_driver.mjs"}) {}

    bool started() const { return node_.started(); }

    // Opens one guest's connection; false when the service refused it.
    bool connect(const std::string& id, const std::string& url, const std::string& origin = {}) {
        nlohmann::json cmd{{"op", "connect"}, {"id", id}, {"url", url}};
        if (!origin.empty()) cmd["origin"] = origin;
        node_.writeLine(cmd.dump());
        for (;;) {
            auto line = node_.readLine(std::chrono::seconds(10));
            if (!line) return false;
            auto j = nlohmann::json::parse(*line, nullptr, false);
            if (j.is_object() && j.value("op", "") == "connected" && j.value("id", "") == id) return j.value("ok", false);
            pending_.push_back(j);
        }
    }

    // One guest event with an answer; null when none came.
    nlohmann::json ask(const std::string& id, const std::string& event, const nlohmann::json& payload = nlohmann::json::object()) {
        return call({{"op", "ask"}, {"id", id}, {"event", event}, {"payload", payload}})["answer"];
    }
    // An event sent without a way to answer it.
    void emit(const std::string& id, const std::string& event, const nlohmann::json& payload) {
        (void)call({{"op", "emit"}, {"id", id}, {"event", event}, {"payload", payload}});
    }
    // What the service pushed to this guest since the last look: [name, payload] pairs.
    nlohmann::json received(const std::string& id) { return call({{"op", "received"}, {"id", id}})["events"]; }
    bool connected(const std::string& id) { return call({{"op", "received"}, {"id", id}}).value("connected", false); }
    void disconnect(const std::string& id) { (void)call({{"op", "disconnect"}, {"id", id}}); }

    // Sends a command and returns its answer line.
    nlohmann::json call(nlohmann::json cmd) {
        int seq = ++seq_;
        cmd["seq"] = seq;
        node_.writeLine(cmd.dump());
        return next(seq);
    }
    // The next line answering `seq` (burst lines come several to one command); null on timeout.
    nlohmann::json next(int seq, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        for (auto it = pending_.begin(); it != pending_.end(); ++it)
            if (it->value("seq", -1) == seq) {
                auto j = *it;
                pending_.erase(it);
                return j;
            }
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return nullptr;
            auto line = node_.readLine(left);
            if (!line) return nullptr;
            auto j = nlohmann::json::parse(*line, nullptr, false);
            if (j.is_object() && j.value("seq", -1) == seq) return j;
            pending_.push_back(j);
        }
    }
    int startBurst(const std::string& url, const std::string& eventId, int guests, const std::string& prefix, bool vote) {
        int seq = ++seq_;
        node_.writeLine(nlohmann::json{{"op", "burst"}, {"seq", seq}, {"url", url}, {"eventId", eventId},
                                       {"guests", guests}, {"prefix", prefix}, {"vote", vote}}
                            .dump());
        return seq;
    }

private:
    ChildProcess node_;
    std::vector<nlohmann::json> pending_;
    int seq_ = 0;
};

}  // namespace fv::test
