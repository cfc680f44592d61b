// `floorvote run` in a real terminal (tmux), and the one-shot actions, against the test service.
#include <csignal>
#include <fstream>
#include <cstdlib>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "overlay/OverlayTestClient.hpp"
#include "core/Files.hpp"
#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using fv::test::runFloorvote;
using fv::test::runProcess;
using fv::test::TestService;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

namespace {

json request(int64_t id, const std::string& title, const std::string& status = "pending") {
    return {{"id", id}, {"title", title}, {"artist", "Band"}, {"status", status}, {"vote_count", 1},
            {"created_at", "2026-01-01T20:00:00Z"}};
}

// One tmux server of our own, so nothing of the user's tmux is touched.
class Terminal {
public:
    Terminal() : socket_("floorvote-test-" + std::to_string(getpid())) {
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
    fv::test::ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"tmux", "-L", socket_, "-f", "/dev/null"});
        return runProcess(args);
    }
    std::string socket_;
};

class RunCommand : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        service = std::make_unique<TestService>(TestService::serviceArgs("production", 0, {"--ping-interval", "500"}));
        setenv("FLOORVOTE_PRODUCTION_URL", service->url().c_str(), 1);
        service->account({{"email", "dj@example.invalid"}, {"code", "123456"}});
        // The confirmed request's track is a file on disk (for the export).
        fv::test::writeFile(home->path() / "Musik" / "zwei.mp3", "audio");
        json zwei = request(2, "Zwei", "confirmed");
        zwei["track_id"] = 20;
        service->event({{"id", "ev1"}, {"dj_pin", "1234"}, {"event_name", "Sommerfest"}, {"ownerEmail", "dj@example.invalid"},
                        {"tracks", json::array({{{"id", 20}, {"title", "Zwei"}, {"artist", "Band"},
                                                 {"folder_path", (home->path() / "Musik" / "zwei.mp3").string()}}})},
                        {"requests", json::array({request(1, "Eins"), zwei})},
                        {"messages", json::array({{{"id", 5}, {"content", "Hallo"}, {"created_at", "x"}, {"session_id", "g5"}}})}});
        ASSERT_EQ(runFloorvote({"login", "dj@example.invalid", "--code", "123456"}).exitCode, 0);
        ASSERT_EQ(runFloorvote({"use", "ev1", "--pin", "1234"}).exitCode, 0);
        ASSERT_EQ(runFloorvote({"settings", "set", "notifyOnNewRequest", "true"}).exitCode, 0);
    }
    void TearDown() override { unsetenv("FLOORVOTE_PRODUCTION_URL"); }

    // What the program wrote to its log file so far.
    std::string logFile() const {
        std::ifstream f(home->path() / ".local/state/floorvote/floorvote.log");
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    std::string runCommandLine(const std::string& extra = "") const {
        std::string env = "env";
        for (const char* v : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "FLOORVOTE_PRODUCTION_URL"})
            if (const char* value = getenv(v)) env += std::string(" ") + v + "='" + value + "'";
        return env + " " + FLOORVOTE_BINARY + " run" + extra;
    }
    json requestOnService(int64_t id) const {
        json state = service->admin("GET", "/__admin/state");
        for (const auto& r : state["events"]["ev1"]["requests"])
            if (r["id"] == id) return r;
        return nullptr;
    }

    std::unique_ptr<fv::test::TempDir> home;
    std::unique_ptr<TestService> service;
};

}  // namespace

TEST_F(RunCommand, TerminalCommandsActOnTheLiveEvent) {
    if (runProcess({"tmux", "-V"}).exitCode != 0) GTEST_SKIP() << "tmux is not installed";
    ASSERT_EQ(runFloorvote({"settings", "set", "lastVirtualDJPath", (home->path() / "VirtualDJ").string()}).exitCode, 0);
    Terminal t;
    t.start(runCommandLine());
    ASSERT_TRUE(t.waitFor("„hilfe“ zeigt die Befehle.")) << t.screen();
    EXPECT_THAT(t.screen(), HasSubstr("Verbunden mit „Sommerfest“: 1 offene, 1 bestätigte Wünsche, 1 Nachrichten."));
    // The log lines go to the file in their own words, not to the DJ's terminal.
    EXPECT_THAT(t.screen(), Not(HasSubstr("[AppStore]")));
    EXPECT_THAT(t.screen(), Not(HasSubstr("[AuthStore]")));
    EXPECT_THAT(logFile(), HasSubstr("[AppStore] connectToEvent DONE ✓"));
    EXPECT_THAT(logFile(), HasSubstr("[AppStore] [1] requests OK: 2"));

    t.type("offen");
    ASSERT_TRUE(t.waitFor("Offene Wünsche (1):")) << t.screen();
    EXPECT_THAT(t.screen(), HasSubstr("#1  Band – Eins  [offen]  1 Stimme"));

    t.type("ok 1");
    ASSERT_TRUE(t.waitFor("Bestätigt: #1")) << t.screen();
    EXPECT_EQ(requestOnService(1)["status"], "confirmed");
    t.type("queue");
    ASSERT_TRUE(t.waitFor("Bestätigte Wünsche (2):")) << t.screen();

    // The confirmed requests as a VirtualDJ list: the one with a file goes, the other is counted.
    t.type("export virtualdj Nach dem Gig");
    ASSERT_TRUE(t.waitFor("1 Tracks nach VirtualDJ exportiert, 1 übersprungen.")) << t.screen();
    auto list = fv::readFile(home->path() / "VirtualDJ" / "MyLists" / "Nach dem Gig.vdjfolder");
    ASSERT_TRUE(list);
    EXPECT_THAT(*list, HasSubstr("zwei.mp3\" artist=\"Band\" title=\"Zwei\""));
    t.type("export traktor X");
    ASSERT_TRUE(t.waitFor("Aufruf: export ZIEL NAME")) << t.screen();

    // A guest's request arrives while the DJ watches.
    service->admin("POST", "/__admin/add-request", {{"eventId", "ev1"}, {"request", request(3, "Drei")}});
    ASSERT_TRUE(t.waitFor("🔔 Neuer Musikwunsch: Band – Drei")) << t.screen();

    // Deleting every message asks first; anything but yes keeps them.
    t.type("löschen alle");
    ASSERT_TRUE(t.waitFor("Wirklich alle 1 Nachrichten löschen? (ja/nein)")) << t.screen();
    t.type("nein");
    ASSERT_TRUE(t.waitFor("Abgebrochen, nichts gelöscht.")) << t.screen();
    EXPECT_EQ(service->admin("GET", "/__admin/state")["events"]["ev1"]["messages"].size(), 1u);

    t.type("antwort 5 Kommt gleich!");
    ASSERT_TRUE(t.waitFor("Antwort auf #5 gesendet.")) << t.screen();
    t.type("löschen 5");
    ASSERT_TRUE(t.waitFor("Nachricht #5 gelöscht.")) << t.screen();
    for (const auto& m : service->admin("GET", "/__admin/state")["events"]["ev1"]["messages"])
        EXPECT_NE(m["id"], 5) << "message 5 still on the service";
    t.type("gespielt x");
    ASSERT_TRUE(t.waitFor("Keine gültige ID: x")) << t.screen();
    t.type("tanzen");
    ASSERT_TRUE(t.waitFor("Unbekannter Befehl: tanzen")) << t.screen();

    t.type("ende");
    ASSERT_TRUE(t.waitDead()) << t.screen();
    EXPECT_THAT(t.screen(), HasSubstr("Floorvote beendet."));
    if (auto st = t.exitStatus(); !st.empty()) {
        EXPECT_EQ(st, "0") << t.screen();
    }
}

TEST_F(RunCommand, CtrlCAndSigtermStopCleanly) {
    if (runProcess({"tmux", "-V"}).exitCode != 0) GTEST_SKIP() << "tmux is not installed";
    Terminal t;
    t.start(runCommandLine());
    ASSERT_TRUE(t.waitFor("„hilfe“ zeigt die Befehle.")) << t.screen();
    t.keys("C-c");
    ASSERT_TRUE(t.waitDead()) << t.screen();
    EXPECT_THAT(t.screen(), HasSubstr("Floorvote beendet."));
    EXPECT_THAT(logFile(), HasSubstr("[App] Ctrl-C — stopping"));
    if (auto st = t.exitStatus(); !st.empty()) {
        EXPECT_EQ(st, "0") << t.screen();
    }

    // With -v the log lines show on the terminal as well.
    t.start(runCommandLine(" -v"));
    // The pane still shows the first run's "Verbunden" line: wait for what only this run prints.
    ASSERT_TRUE(t.waitFor("[AppStore] connectToEvent DONE ✓", 20s)) << t.screen();
    ASSERT_TRUE(t.waitFor("„hilfe“ zeigt die Befehle.", 20s)) << t.screen();
    pid_t pid = std::stoi(t.format("#{pane_pid}"));
    ::kill(pid, SIGTERM);
    ASSERT_TRUE(t.waitDead()) << t.screen();
    EXPECT_THAT(t.screen(), HasSubstr("SIGTERM — stopping"));
    if (auto st = t.exitStatus(); !st.empty()) {
        EXPECT_EQ(st, "0") << t.screen();
    }
    // The server saw the channel close.
    EXPECT_EQ(service->admin("GET", "/__admin/sockets")["connected"], 0);
}

TEST_F(RunCommand, OneShotActions) {
    auto ok = runFloorvote({"confirm", "1"});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_THAT(ok.out, HasSubstr("Bestätigt: #1"));
    EXPECT_EQ(requestOnService(1)["status"], "confirmed");

    auto mixed = runFloorvote({"played", "1", "99"});
    EXPECT_NE(mixed.exitCode, 0);
    EXPECT_THAT(mixed.out, HasSubstr("Gespielt: #1"));
    EXPECT_THAT(mixed.err, HasSubstr("#99: "));
    EXPECT_EQ(requestOnService(1)["status"], "played");
    EXPECT_EQ(runFloorvote({"decline", "2"}).exitCode, 0);
    EXPECT_EQ(requestOnService(2)["status"], "declined");

    auto reply = runFloorvote({"reply", "5", "Gleich!"});
    EXPECT_EQ(reply.exitCode, 0) << reply.err;
    EXPECT_THAT(service->lastReceived()["target"].get<std::string>(), HasSubstr("/messages/5/reply"));
    EXPECT_NE(runFloorvote({"reply", "77", "Wer?"}).exitCode, 0);

    auto cast = runFloorvote({"broadcast", "Letzte Runde!"});
    EXPECT_EQ(cast.exitCode, 0) << cast.err;
    EXPECT_EQ(json::parse(service->lastReceived()["body"].get<std::string>())["content"], "Letzte Runde!");

    EXPECT_EQ(runFloorvote({"online"}).exitCode, 0);
    EXPECT_EQ(service->admin("GET", "/__admin/state")["events"]["ev1"]["is_active"], true);
    EXPECT_THAT(runFloorvote({"offline"}).out, HasSubstr("Event ist offline."));
    EXPECT_EQ(service->admin("GET", "/__admin/state")["events"]["ev1"]["is_active"], false);
}

TEST_F(RunCommand, StreamOverlayFollowsTheLiveSession) {
    if (runProcess({"tmux", "-V"}).exitCode != 0) GTEST_SKIP() << "tmux is not installed";
    // A free port for the overlay, taken from the system and handed back.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    uint16_t port = ntohs(a.sin_port);
    ::close(probe);
    ASSERT_EQ(runFloorvote({"overlay", "config", "set", "enabled", "true"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"overlay", "config", "set", "port", std::to_string(port)}).exitCode, 0);

    Terminal t;
    t.start(runCommandLine());
    ASSERT_TRUE(t.waitFor("„hilfe“ zeigt die Befehle.")) << t.screen();
    EXPECT_THAT(t.screen(), HasSubstr("Stream-Overlay läuft: http://127.0.0.1:" + std::to_string(port) + "/"));

    fv::test::LoopbackClient page(port);
    ASSERT_TRUE(page.connected());
    ASSERT_THAT(page.upgrade(), HasSubstr("101"));
    auto next = [&]() -> json {
        auto f = page.readFrame(std::chrono::milliseconds(10000));
        return f ? json::parse(f->payload, nullptr, false) : json();
    };
    auto first = next();
    EXPECT_EQ(first["type"], "initialState") << first.dump();

    service->admin("POST", "/__admin/emit", {{"eventId", "ev1"}, {"event", "guest-count"}, {"payload", 23}});
    auto count = next();
    EXPECT_EQ(count["type"], "guestCount") << count.dump();
    EXPECT_EQ(count["guestCount"], 23);

    service->admin("POST", "/__admin/emit",
                   {{"eventId", "ev1"},
                    {"event", "now-playing"},
                    {"payload", {{"track_title", "Eins"}, {"track_artist", "Band"}, {"updated_at", "x"}}}});
    auto playing = next();
    EXPECT_EQ(playing["type"], "nowPlaying") << playing.dump();
    EXPECT_EQ(playing["title"], "Eins");

    t.type("ok 1");
    auto accepted = next();
    EXPECT_EQ(accepted["type"], "requestAccepted") << accepted.dump();
    EXPECT_EQ(accepted["title"], "Eins");

    t.type("rundruf Letzte Runde!");
    auto cast = next();
    EXPECT_EQ(cast["type"], "broadcast") << cast.dump();

    // An ad started from the web dashboard, and a contest the service runs.
    service->admin("POST", "/__admin/emit",
                   {{"eventId", "ev1"}, {"event", "ad-show"}, {"payload", {{"html", "<b>Happy Hour</b>"}}}});
    auto ad = next();
    EXPECT_EQ(ad["type"], "adShow") << ad.dump();
    EXPECT_EQ(ad["adHtml"], "<b>Happy Hour</b>");
    service->admin("POST", "/__admin/emit", {{"eventId", "ev1"}, {"event", "contest-winner"}, {"payload", {{"guestName", "Mia"}}}});
    ASSERT_TRUE(t.waitFor("🔔 Gewinnspiel: Gewinner: Mia")) << t.screen();

    // The one-shot overlay command reaches the live session's server.
    auto sent = runFloorvote({"overlay", "send", "broadcast", "--content", "Von außen"});
    EXPECT_EQ(sent.exitCode, 0) << sent.out << sent.err;
    auto outside = next();
    EXPECT_EQ(outside["type"], "broadcast") << outside.dump();
    EXPECT_EQ(outside["content"], "Von außen");

    t.type("ende");
    ASSERT_TRUE(t.waitDead()) << t.screen();
}
