// The control panel of a real `floorvote run` in headless Chromium, against the local event
// service and the VirtualDJ peer. The browser script (tests/peers/panel/panel_browser.mjs) does
// the clicking and checks both the page and the service; this test sets the scene, runs it and
// checks what the program printed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "overlay/ChildProcess.hpp"
#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using fv::test::runFloorvote;
using fv::test::TestService;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

json request(int64_t id, const std::string& title, const std::string& status) {
    return {{"id", id},        {"title", title},         {"artist", "Band"},
            {"status", status}, {"vote_count", 1},        {"track_id", 70 + id},
            {"created_at", "2026-01-01T20:0" + std::to_string(id) + ":00Z"}};
}

}  // namespace

TEST(PanelBrowser, TheDJDrivesTheLiveEventFromChromium) {
    if (!fs::exists("/usr/bin/chromium"))
        GTEST_SKIP() << "/usr/bin/chromium is missing (scripts/bootstrap.sh installs it)";
    const fs::path peers = TEST_PEERS_DIR;
    ASSERT_TRUE(fs::exists(peers / "node_modules/playwright-core"))
        << "playwright-core is missing: run scripts/bootstrap.sh (npm install in tests/peers)";

    fv::test::TempDir home;
    fv::test::useHome(home.path());
    fv::test::TempDir music, vdj;
    // One file per track the guests can ask for, so the DJ software gets every confirmed request.
    json tracks = json::array();
    for (int64_t id = 71; id <= 79; ++id) {
        const fs::path file = music / ("Band - " + std::to_string(id) + ".mp3");
        fv::test::writeFile(file, "audio");
        tracks.push_back({{"id", id}, {"title", std::to_string(id)}, {"artist", "Band"}, {"folder_path", file.string()}});
    }
    TestService service(TestService::serviceArgs("production", 0, {"--ping-interval", "500"}));
    TestService deck({"node", (peers / "virtualdj" / "server.js").string(), "--port", "0"});
    setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);
    service.account({{"email", "dj@example.invalid"}, {"code", "123456"}});
    service.event({{"id", "ev1"},
                   {"dj_pin", "1234"},
                   {"event_name", "Sommerfest"},
                   {"ownerEmail", "dj@example.invalid"},
                   {"is_active", false},
                   {"tracks", tracks},
                   {"requests", json::array({request(1, "Eins", "pending"), request(2, "Zwei", "pending"),
                                             request(3, "Drei", "confirmed")})},
                   {"messages", json::array({{{"id", 5},
                                              {"content", "<b>Hallo</b>"},
                                              {"guest_name", "Mia"},
                                              {"created_at", "2026-01-01T20:00:00Z"},
                                              {"session_id", "g5"}}})},
                   {"preferences", {{"activeDjSoftware", "virtualdj"}, {"showNowPlaying", true}}}});
    for (std::vector<std::string> args : {std::vector<std::string>{"login", "dj@example.invalid", "--code", "123456"},
                                          {"use", "ev1", "--pin", "1234"},
                                          {"settings", "set", "panelPort", "0"},
                                          {"settings", "set", "pollIntervalSecs", "1"},
                                          {"dj", "path", "virtualdj", vdj.path().string()},
                                          {"dj", "port", std::to_string(deck.port())}}) {
        auto r = runFloorvote(args);
        ASSERT_EQ(r.exitCode, 0) << args[0] << ": " << r.out << r.err;
    }

    // The live session, its terminal a pipe: no command reading, stopped by SIGTERM like a service.
    fv::test::ChildProcess run({FLOORVOTE_BINARY, "run"});
    ASSERT_TRUE(run.started());
    std::string url;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (url.empty() && std::chrono::steady_clock::now() < deadline) {
        auto line = run.readLine(200ms);
        if (!line) continue;
        if (auto at = line->find("Bedienfeld: http://127.0.0.1:"); at != std::string::npos) {
            url = line->substr(at + std::string("Bedienfeld: ").size());
            url = url.substr(0, url.find(' '));
        }
    }
    ASSERT_FALSE(url.empty()) << "no panel address printed:\n" << run.output();
    ASSERT_TRUE(run.waitFor("Verbunden mit „Sommerfest“", 30s)) << run.output();

    const fs::path artefacts = fs::path(FLOORVOTE_BINARY).parent_path() / "artefacts" / "panel";
    fv::test::ChildProcess node({"node", (peers / "panel" / "panel_browser.mjs").string(), "--url", url, "--service",
                                 service.url(), "--vdj", "http://127.0.0.1:" + std::to_string(deck.port()),
                                 "--vdj-list", (vdj / "MyLists" / "Floorvote Sommerfest.vdjfolder").string(),
                                 "--artefacts", artefacts.string()});
    ASSERT_TRUE(node.started()) << "node could not be started";
    json results;
    const auto until = std::chrono::steady_clock::now() + 200s;
    while (!results.is_array() && std::chrono::steady_clock::now() < until) {
        auto line = node.readLine(500ms);
        if (!line) continue;
        json j = json::parse(*line, nullptr, false);
        if (j.is_object() && j.value("op", "") == "done") results = j["results"];
    }
    const int code = node.waitOrKill(20s);
    ASSERT_TRUE(results.is_array()) << "the browser script did not finish (exit " << code << ")";
    EXPECT_GE(results.size(), 35u);
    for (const auto& r : results)
        EXPECT_TRUE(r.value("ok", false)) << r.value("name", "?") << ": " << r.value("detail", "");
    EXPECT_EQ(code, 0);
    for (const char* shot : {"panel-full.png", "panel-compact.png"}) {
        EXPECT_TRUE(fs::exists(artefacts / shot)) << shot;
        if (fs::exists(artefacts / shot)) std::printf("Screenshot: %s\n", (artefacts / shot).c_str());
    }

    run.signal(SIGTERM);
    const std::string out = run.drain(20s);
    EXPECT_EQ(run.waitOrKill(10s), 0) << out;
    EXPECT_THAT(out, HasSubstr("Floorvote beendet."));
    // The DJ's terminal shows results, not the log: no "[Component] " lines without -v.
    EXPECT_THAT(out, Not(HasSubstr("[AppStore]")));
    EXPECT_THAT(out, Not(HasSubstr("[Panel]")));
    unsetenv("FLOORVOTE_PRODUCTION_URL");
}
