// floorvote overlay serve | send | config, as the DJ runs them.
#include <gtest/gtest.h>

#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <filesystem>

#include "overlay/ChildProcess.hpp"
#include "overlay/OverlayConfig.hpp"
#include "overlay/OverlayControl.hpp"
#include "overlay/OverlayTestClient.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::overlay;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::LoopbackClient;

namespace {

// A home of its own, so stored settings do not leak into other tests; put back afterwards.
class OwnHome {
public:
    OwnHome() {
        test::useHome(dir_.path());
        setenv("XDG_RUNTIME_DIR", (dir_.path() / "run").c_str(), 1);
    }
    ~OwnHome() {
        unsetenv("XDG_RUNTIME_DIR");
        test::useHome(test::testHome());
    }

private:
    test::TempDir dir_;
};

// A port nothing listens on right now.
uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

json nextEvent(LoopbackClient& c) {
    auto f = c.readFrame();
    if (!f) return json();
    return json::parse(f->payload, nullptr, false);
}

}  // namespace

TEST(OverlayCli, ConfigShowAndSetValidateEveryChange) {
    OwnHome home;
    auto shown = test::runFloorvote({"overlay", "config", "show"});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(json::parse(shown.out), json::parse(OverlayConfig{}.toData()));

    EXPECT_EQ(test::runFloorvote({"overlay", "config", "set", "nowPlayingDuration", "1.5"}).exitCode, 0);
    auto byName = test::runFloorvote({"overlay", "config", "set", "guestCountPosition", "topRight"});
    EXPECT_EQ(byName.exitCode, 0) << byName.err;
    EXPECT_EQ(byName.out, "guestCountPosition gespeichert.\n");
    EXPECT_EQ(test::runFloorvote({"overlay", "config", "set", "sponsorPosition", "Oben links"}).exitCode, 0);
    EXPECT_EQ(test::runFloorvote({"overlay", "config", "set", "customTheme.fontTitle", "vt323"}).exitCode, 0);
    EXPECT_EQ(test::runFloorvote({"overlay", "config", "set", "sponsorName", "Brauhaus M\u00FCller"}).exitCode, 0);

    struct Bad {
        std::vector<std::string> args;
        const char* message;
    };
    const Bad bad[] = {
        {{"nowPlayingScale", "9"},
         "Ungültiger Wert für nowPlayingScale: Skalierungen müssen zwischen 0,3 und 3,0 liegen."},
        {{"selectedPreset", "Neon"},
         "Ungültiger Wert für selectedPreset: unknown value \"Neon\" for key \"selectedPreset\""},
        {{"showSponsor", "vielleicht"}, "Ungültiger Wert für showSponsor"},
        {{"port", "70000"}, "Ungültiger Wert für port"},
        {{"requestDuration", "-2"}, "Anzeigedauern dürfen nicht negativ sein."},
        {{"volume", "3"}, "Unbekannte Overlay-Einstellung: volume"},
        {{"customTheme.nope", "3"}, "Unbekannte Overlay-Einstellung: customTheme.nope"},
    };
    for (const auto& b : bad) {
        std::vector<std::string> args{"overlay", "config", "set"};
        args.insert(args.end(), b.args.begin(), b.args.end());
        auto r = test::runFloorvote(args);
        EXPECT_EQ(r.exitCode, 2) << b.args[0];
        EXPECT_NE(r.err.find(b.message), std::string::npos) << r.err;
    }

    auto after = test::runFloorvote({"overlay", "config", "show"});
    auto cfg = OverlayConfig::fromJson(json::parse(after.out));
    EXPECT_EQ(cfg.nowPlayingDuration, 1.5);
    EXPECT_EQ(cfg.guestCountPosition, WidgetPosition::topRight);
    EXPECT_EQ(cfg.sponsorPosition, WidgetPosition::topLeft);
    EXPECT_EQ(cfg.customTheme.fontTitle, OverlayFont::vt323);
    EXPECT_EQ(cfg.sponsorName, "Brauhaus M\u00FCller");
    EXPECT_EQ(cfg.nowPlayingScale, 1.0);  // the refused change left nothing behind
    EXPECT_NE(after.out.find("\"guestCountPosition\": \"Oben rechts\""), std::string::npos);

    // Stored settings that no longer decode are reported, not replaced.
    auto broken = test::runFloorvote({"settings", "set", "overlayConfigData", "\"eyJwb3J0IjoieCJ9\""});
    ASSERT_EQ(broken.exitCode, 0) << broken.err;
    auto r = test::runFloorvote({"overlay", "config", "show"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("Die gespeicherte Overlay-Konfiguration ist ungültig"), std::string::npos) << r.err;
    EXPECT_EQ(test::runFloorvote({"overlay", "config", "set", "enabled", "true"}).exitCode, 2);
    // A port out of range is refused rather than wrapped onto another one.
    auto wide = test::runFloorvote({"overlay", "send", "broadcast", "--content", "x", "--port", "70000"});
    EXPECT_EQ(wide.exitCode, 2);
    EXPECT_NE(wide.err.find("zwischen 1 und 65535"), std::string::npos) << wide.err;
}

TEST(OverlayCli, ServeAndSendReachTheConnectedPages) {
    OwnHome home;
    const uint16_t port = freePort();
    ASSERT_EQ(test::runFloorvote({"overlay", "config", "set", "port", std::to_string(port)}).exitCode, 0);
    ASSERT_EQ(test::runFloorvote({"overlay", "config", "set", "nowPlayingDuration", "3"}).exitCode, 0);

    auto none = test::runFloorvote({"overlay", "send", "nowPlaying", "--title", "x"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("Kein Overlay-Server auf Port " + std::to_string(port) + " erreichbar"), std::string::npos);

    test::ChildProcess serve({FLOORVOTE_BINARY, "overlay", "serve"});
    ASSERT_TRUE(serve.waitFor("Overlay läuft: http://127.0.0.1:" + std::to_string(port) + "/", 10s)) << serve.output();
    const fs::path socket = controlSocketPath(port);
    EXPECT_TRUE(fs::exists(socket));
    EXPECT_EQ(fs::status(socket).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    LoopbackClient page(port);
    ASSERT_EQ(page.upgrade().rfind("HTTP/1.1 101 ", 0), 0u);
    json initial = nextEvent(page);
    EXPECT_EQ(initial["type"], "initialState");
    EXPECT_EQ(initial["config"]["nowPlayingDuration"], 3);

    auto sent = test::runFloorvote(
        {"overlay", "send", "nowPlaying", "--title", "H\u00E4llo", "--artist", "Band", "--up", "4", "--down", "1"});
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(sent.out, "Ereignis „nowPlaying“ an 1 Overlay-Seite(n) gesendet.\n");
    json np = nextEvent(page);
    EXPECT_EQ(np, json::parse(R"({"type":"nowPlaying","title":"Hällo","artist":"Band","upVotes":4,"downVotes":1})"));

    const std::string guest = "<img src=x onerror=alert(1)>";
    EXPECT_EQ(test::runFloorvote({"overlay", "send", "requestAccepted", "--title", "T", "--guest", guest}).exitCode, 0);
    EXPECT_EQ(nextEvent(page)["guestName"], guest);
    EXPECT_EQ(test::runFloorvote({"overlay", "send", "guestCount", "--count", "55"}).exitCode, 0);
    EXPECT_EQ(nextEvent(page)["guestCount"], 55);
    EXPECT_EQ(test::runFloorvote({"overlay", "send", "guestCount"}).exitCode, 2);
    EXPECT_EQ(test::runFloorvote({"overlay", "send", "adShow"}).exitCode, 2);
    auto unknown = test::runFloorvote({"overlay", "send", "fireworks"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("Unbekannter Ereignistyp: fireworks"), std::string::npos);

    // A new page starts from what the DJ pushed last.
    LoopbackClient late(port);
    ASSERT_EQ(late.upgrade().rfind("HTTP/1.1 101 ", 0), 0u);
    json lateInitial = nextEvent(late);
    EXPECT_EQ(lateInitial["title"], "H\u00E4llo");
    EXPECT_EQ(lateInitial["guestCount"], 55);

    // A changed setting reaches the running server; its pages are told to reload.
    auto set = test::runFloorvote({"overlay", "config", "set", "sponsorName", "Neu"});
    EXPECT_EQ(set.exitCode, 0);
    EXPECT_NE(set.out.find("Der laufende Overlay-Server hat die Konfiguration neu geladen."), std::string::npos);
    json cfg = nextEvent(page);
    EXPECT_EQ(cfg["type"], "config");
    EXPECT_EQ(cfg["config"]["sponsorName"], "Neu");
    EXPECT_EQ(test::runFloorvote({"overlay", "send", "config"}).exitCode, 0);
    EXPECT_EQ(nextEvent(page)["type"], "config");

    // A second server on the same port is refused with a reason.
    auto second = test::runFloorvote({"overlay", "serve"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("konnte Port " + std::to_string(port) + " nicht öffnen"), std::string::npos)
        << second.err;

    serve.signal(SIGTERM);
    EXPECT_EQ(serve.waitOrKill(10s), 0);
    std::string out = serve.drain(2s);
    EXPECT_NE(out.find("Overlay beendet."), std::string::npos) << out;
    // The server's log lines are in the log file, not on the terminal.
    EXPECT_EQ(out.find("[OverlayServer]"), std::string::npos) << out;
    std::ifstream logIn(fs::path(std::getenv("XDG_STATE_HOME")) / "floorvote/floorvote.log");
    std::string log((std::istreambuf_iterator<char>(logIn)), {});
    EXPECT_NE(log.find("[OverlayServer] Starting on port " + std::to_string(port)), std::string::npos) << log;
    EXPECT_NE(log.find("[OverlayServer] Stopped"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(socket));
    bool eof = false;
    page.readAll(3000ms, &eof);
    EXPECT_TRUE(eof);
}

TEST(OverlayCli, WithoutLiveDataOnlyForcedEventsGoOut) {
    OwnHome home;
    const uint16_t port = freePort();
    test::ChildProcess serve({FLOORVOTE_BINARY, "overlay", "serve", "--port", std::to_string(port), "--no-live-data"});
    ASSERT_TRUE(serve.waitFor("Live-Daten: aus", 10s)) << serve.output();
    LoopbackClient page(port);
    ASSERT_EQ(page.upgrade().rfind("HTTP/1.1 101 ", 0), 0u);
    EXPECT_EQ(nextEvent(page)["type"], "initialState");

    const std::string p = std::to_string(port);
    auto dropped = test::runFloorvote({"overlay", "send", "broadcast", "--content", "leise", "--port", p});
    EXPECT_EQ(dropped.exitCode, 0);
    EXPECT_EQ(dropped.out, "Ereignis „broadcast“ verworfen: Live-Daten sind aus (mit --force trotzdem senden).\n");
    auto forced = test::runFloorvote({"overlay", "send", "broadcast", "--content", "laut", "--port", p, "--force"});
    EXPECT_EQ(forced.exitCode, 0);
    EXPECT_EQ(nextEvent(page)["content"], "laut");
    serve.signal(SIGINT);
    EXPECT_EQ(serve.waitOrKill(10s), 0);
}
