// The guest page in real headless Chromium (tests/peers/guests/guest_page_browser.mjs) against
// the local event service, with the DJ in `floorvote run` in a real terminal: the guest's request
// and message reach the DJ, the DJ's confirmation, reply and broadcast reach the page.
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "overlay/ChildProcess.hpp"
#include "service/Terminal.hpp"
#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using fv::test::runFloorvote;
using fv::test::Terminal;
using fv::test::TestService;
using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(GuestPage, AGuestAndTheDjInTheLiveSessionTalkBothWays) {
    if (!fs::exists("/usr/bin/chromium")) GTEST_SKIP() << "/usr/bin/chromium is missing (scripts/bootstrap.sh installs it)";
    if (!Terminal::available()) GTEST_SKIP() << "tmux is not installed";
    const fs::path peers = TEST_PEERS_DIR;
    ASSERT_TRUE(fs::exists(peers / "node_modules/playwright-core")) << "run scripts/bootstrap.sh";

    fv::test::TempDir home;
    fv::test::useHome(home.path());
    TestService service(TestService::serviceArgs("production", 0, {"--ping-interval", "500"}));
    setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);
    service.account({{"email", "dj@example.invalid"}, {"code", "123456"}});
    service.event({{"id", "ev1"}, {"dj_pin", "1234"}, {"dj_name", "Kai"}, {"event_name", "Sommerfest"}, {"is_active", true},
                   {"ownerEmail", "dj@example.invalid"},
                   {"tracks", json::array({{{"id", 70}, {"title", "Blue Monday"}, {"artist", "New Order"}},
                                           {{"id", 71}, {"title", "Around the World"}, {"artist", "Daft Punk"}}})}});
    ASSERT_EQ(runFloorvote({"login", "dj@example.invalid", "--code", "123456"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"use", "ev1", "--pin", "1234"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"settings", "set", "notifyOnNewRequest", "true"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"settings", "set", "notifyOnMessage", "true"}).exitCode, 0);

    Terminal t("guestpage");
    t.start(Terminal::withEnvironment(FLOORVOTE_BINARY + std::string(" run")));
    ASSERT_TRUE(t.waitFor("„hilfe“ zeigt die Befehle.")) << t.screen();

    const fs::path artefacts = fs::path(FLOORVOTE_BINARY).parent_path() / "artefacts" / "guest-page";
    fv::test::ChildProcess node({"node", (peers / "guests" / "guest_page_browser.mjs").string(), "--url",
                                 service.url() + "/e/ev1", "--artefacts", artefacts.string()});
    ASSERT_TRUE(node.started());

    json results;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (std::chrono::steady_clock::now() < deadline) {
        auto line = node.readLine(200ms);
        if (!line) continue;
        json request = json::parse(*line, nullptr, false);
        ASSERT_TRUE(request.is_object()) << "unexpected output from the browser script: " << *line;
        const std::string op = request.value("op", "");
        if (op == "done") {
            results = request["results"];
            break;
        }
        ASSERT_EQ(op, "sent");
        const int64_t requestId = request["requestId"];
        json answer = {{"ok", true}};
        std::string missing;
        if (!t.waitFor("🔔 Neuer Musikwunsch: New Order – Blue Monday")) missing += "request notice; ";
        if (!t.waitFor("🔔 Neue Nachricht: Hallo DJ, <b>fett</b>?")) missing += "message notice; ";
        int64_t messageId = 0;
        const json state = service.state();
        for (const auto& m : state["events"]["ev1"]["messages"])
            if (m["content"] == "Hallo DJ, <b>fett</b>?") messageId = m["id"];
        t.type("ok " + std::to_string(requestId));
        if (!t.waitFor("Bestätigt: #" + std::to_string(requestId))) missing += "confirmation; ";
        t.type("nachrichten");
        if (!t.waitFor(request["guestName"].get<std::string>() + " (neu): Hallo DJ, <b>fett</b>?")) missing += "message list; ";
        t.type("antwort " + std::to_string(messageId) + " Kommt gleich!");
        if (!t.waitFor("Antwort auf #" + std::to_string(messageId) + " gesendet.")) missing += "reply; ";
        t.type("rundruf Letzte Runde!");
        if (!t.waitFor("Rundruf gesendet.")) missing += "broadcast; ";
        if (!missing.empty()) answer = {{"ok", false}, {"detail", missing + "\n" + t.screen()}};
        ASSERT_TRUE(node.writeLine(answer.dump()));
    }
    node.closeInput();
    int code = node.waitOrKill(20s);
    ASSERT_TRUE(results.is_array()) << "the browser script did not finish (exit " << code << ")";
    EXPECT_GE(results.size(), 11u);
    for (const auto& r : results) EXPECT_TRUE(r.value("ok", false)) << r.value("name", "?") << ": " << r.value("detail", "");
    EXPECT_TRUE(fs::exists(artefacts / "guest-page.png"));
    std::printf("Screenshot: %s\n", (artefacts / "guest-page.png").c_str());
    t.type("ende");
    EXPECT_TRUE(t.waitDead());
    unsetenv("FLOORVOTE_PRODUCTION_URL");
}
