// The overlay page in real headless Chromium against the real server. The browser script
// (tests/peers/overlay/overlay_browser.mjs) asks for server actions line by line; this test
// performs them on the server it owns and checks the script's results.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/MainLoop.hpp"
#include "overlay/ChildProcess.hpp"
#include "overlay/OverlayPage.hpp"
#include "overlay/OverlayServer.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::overlay;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Short display times so the run is quick; broadcast off to see a disabled widget ignore events.
OverlayConfig browserConfig() {
    OverlayConfig c;
    c.port = 0;
    c.nowPlayingDuration = 2;
    c.requestDuration = 1.5;
    c.broadcastDuration = 1.5;
    c.adWidgetDuration = 1;
    c.showBroadcast = false;
    c.showGuestCount = true;
    c.showNowPlayingVotes = true;
    c.showAdWidget = true;
    return c;
}

}  // namespace

TEST(OverlayBrowser, ThePageBehavesInChromium) {
    if (!fs::exists("/usr/bin/chromium"))
        GTEST_SKIP() << "/usr/bin/chromium is missing (scripts/bootstrap.sh installs it)";
    const fs::path peers = TEST_PEERS_DIR;
    ASSERT_TRUE(fs::exists(peers / "node_modules/playwright-core"))
        << "playwright-core is missing: run scripts/bootstrap.sh (npm install in tests/peers)";

    OverlayServer server;
    server.setLiveDataEnabled(true);
    server.setInitialStateProvider([&]() -> std::optional<OverlayEvent> {
        OverlayEvent e;
        e.type = OverlayEventType::initialState;
        e.config = server.overlayConfig();
        e.guestCount = 7;
        return e;
    });
    OverlayConfig config = browserConfig();
    ASSERT_TRUE(server.start(config)) << server.lastError();
    config.port = server.port();  // a restart comes back on the same port

    test::TempDir tmp;
    OverlayConfig editing = browserConfig();
    test::writeFile(tmp / "editing.html", renderOverlayPage(editing, true));
    const fs::path artefacts = fs::path(FLOORVOTE_BINARY).parent_path() / "artefacts" / "overlay";

    test::ChildProcess node({"node", (peers / "overlay" / "overlay_browser.mjs").string(), "--port",
                             std::to_string(server.port()), "--artefacts", artefacts.string(), "--editing-page",
                             (tmp / "editing.html").string()});
    ASSERT_TRUE(node.started()) << "node could not be started";

    json results;
    const auto deadline = std::chrono::steady_clock::now() + 150s;
    while (std::chrono::steady_clock::now() < deadline) {
        auto line = node.readLine(20ms);
        if (!line) {
            MainLoop::shared().runUntil([] { return false; }, 20ms);
            continue;
        }
        json request = json::parse(*line, nullptr, false);
        ASSERT_TRUE(request.is_object()) << "unexpected output from the browser script: " << *line;
        const std::string op = request.value("op", "");
        json answer = {{"ok", true}};
        if (op == "done") {
            results = request["results"];
            break;
        } else if (op == "send") {
            answer["sent"] = server.send(OverlayEvent::fromJson(request["event"]), request.value("force", false));
        } else if (op == "config") {
            json merged = json::parse(server.overlayConfig().toData());
            merged.merge_patch(request["set"]);
            OverlayConfig next = OverlayConfig::fromJson(merged);
            next.port = config.port;
            config = next;
            server.updateConfig(next);
            if (request.value("push", true)) server.pushConfig();
        } else if (op == "stop") {
            server.stop();
        } else if (op == "start") {
            answer["ok"] = server.start(config);
        } else if (op == "clients") {
            answer["clients"] = server.connectedClients();
        } else {
            answer = {{"ok", false}, {"error", "unknown op " + op}};
        }
        // Let the queue's reports (clients coming and going) reach the main loop first.
        MainLoop::shared().runUntil([] { return false; }, 10ms);
        ASSERT_TRUE(node.writeLine(answer.dump()));
    }
    node.closeInput();
    int code = node.waitOrKill(20s);
    ASSERT_TRUE(results.is_array()) << "the browser script did not finish (exit " << code << ")";
    EXPECT_GE(results.size(), 18u);
    for (const auto& r : results)
        EXPECT_TRUE(r.value("ok", false)) << r.value("name", "?") << ": " << r.value("detail", "");
    EXPECT_EQ(code, 0);
    for (const char* shot : {"overlay-futuristic.png", "overlay-80s-synthwave.png"}) {
        EXPECT_TRUE(fs::exists(artefacts / shot)) << shot;
        if (fs::exists(artefacts / shot)) std::printf("Screenshot: %s\n", (artefacts / shot).c_str());
    }
}
