// floorvote demo: the live session against the local event service with simulated guests, so the
// main job can be seen on a machine with nothing else. The demo keeps its own login, settings and
// event apart from the DJ's: it points the program's folders at a demo profile before anything is
// read, so a stored real login and the real settings are never touched.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <cstdlib>
#include <regex>

#include <unistd.h>

#include <fmt/format.h>

#include "app/CommandSupport.hpp"
#include "app/Commands.hpp"
#include "app/NodeProcess.hpp"
#include "app/TerminalQr.hpp"
#include "core/Json.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "overlay/OverlayConfig.hpp"
#include "session/APIClient.hpp"
#include "session/APIError.hpp"
#include "session/AppSettings.hpp"
#include "session/AuthStore.hpp"

namespace fv::app {
namespace {

namespace fs = std::filesystem;

constexpr const char* kEventId = "demo";
constexpr const char* kEventName = "Floorvote-Demo";
constexpr const char* kDjName = "DJ Demo";
constexpr const char* kPin = "4711";
constexpr const char* kEmail = "demo@floorvote.invalid";

struct DemoOptions {
    int guests = 5;
    bool lan = false;
    int port = 0;
    double pace = 1;
};

// A party playlist for the guests to choose from.
const std::vector<std::pair<const char*, const char*>> kTracks = {
    {"Blinding Lights", "The Weeknd"},        {"Levitating", "Dua Lipa"},
    {"Uptown Funk", "Mark Ronson feat. Bruno Mars"}, {"Mr. Brightside", "The Killers"},
    {"Dancing Queen", "ABBA"},                {"September", "Earth, Wind & Fire"},
    {"Don't Stop Me Now", "Queen"},           {"I Wanna Dance with Somebody", "Whitney Houston"},
    {"Get Lucky", "Daft Punk"},               {"One More Time", "Daft Punk"},
    {"Around the World", "Daft Punk"},        {"Blue Monday", "New Order"},
    {"Sweet Dreams (Are Made of This)", "Eurythmics"}, {"Take On Me", "a-ha"},
    {"Billie Jean", "Michael Jackson"},       {"Thriller", "Michael Jackson"},
    {"Hey Ya!", "OutKast"},                   {"Seven Nation Army", "The White Stripes"},
    {"Wonderwall", "Oasis"},                  {"Song 2", "Blur"},
    {"Freed from Desire", "Gala"},            {"Rhythm Is a Dancer", "Snap!"},
    {"What Is Love", "Haddaway"},             {"Sandstorm", "Darude"},
    {"Atemlos durch die Nacht", "Helene Fischer"}, {"Tage wie diese", "Die Toten Hosen"},
    {"Major Tom (Völlig losgelöst)", "Peter Schilling"}, {"99 Luftballons", "Nena"},
    {"Ein Kompliment", "Sportfreunde Stiller"}, {"Cordula Grün", "Josh."},
    {"Shape of You", "Ed Sheeran"},           {"Bad Guy", "Billie Eilish"},
    {"Happy", "Pharrell Williams"},           {"Titanium", "David Guetta feat. Sia"},
    {"Wake Me Up", "Avicii"},                 {"Lose Yourself", "Eminem"},
    {"Crazy in Love", "Beyoncé feat. Jay-Z"}, {"Smells Like Teen Spirit", "Nirvana"},
    {"Livin' on a Prayer", "Bon Jovi"},       {"Africa", "Toto"},
};

// The demo's own folders for the program's settings, login and logs, beside the real ones.
fs::path useDemoProfile(const fs::path& realDataHome) {
    fs::path profile = realDataHome / "floorvote" / "demo";
    for (auto [var, sub] : {std::pair{"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"}, {"XDG_STATE_HOME", "state"}}) {
        ensureDirectory(profile / sub);
        setenv(var, (profile / sub).c_str(), 1);
    }
    return profile;
}

// Logs in on the local service the way a DJ does: the code comes from the service's console.
void logIn(std::string& latestCode) {
    auto& auth = AuthStore::shared();
    await(auth.restoreSession());
    if (auth.state() == AuthStore::State::authenticated) return;
    latestCode.clear();
    if (!await(auth.sendOTP(kEmail)))
        throw CommandFailed{1, "Demo-Anmeldung fehlgeschlagen: " + auth.errorMessage().value_or("")};
    MainLoop::shared().runUntil([&] { return !latestCode.empty(); }, std::chrono::seconds(15));
    if (latestCode.empty()) throw CommandFailed{1, "Der lokale Event-Service hat keinen Anmeldecode ausgegeben."};
    if (!await(auth.verifyOTP(kEmail, latestCode)))
        throw CommandFailed{1, "Demo-Anmeldung fehlgeschlagen: " + auth.errorMessage().value_or("")};
}

// The demo event with its PIN and track list, online, active, with the overlay on.
void prepareEvent() {
    auto& api = APIClient::shared();
    try {
        (void)await(api.getEvent(kEventId));
    } catch (const APIError& e) {
        if (e.kind() != APIError::Kind::notFound) throw CommandFailed{1, std::string("Demo-Event: ") + e.what()};
        (void)call(api.recreateEvent(kEventId, kDjName, kEventName, kPin));
    }
    if (call(api.searchTracks(kEventId)).tracks.empty()) {
        std::vector<TrackInput> tracks;
        for (auto [title, artist] : kTracks) tracks.push_back(TrackInput{title, artist, {}, {}, {}, {}, std::string("demo"), {}, {}, {}, {}, {}, {}, {}});
        (void)call(api.importTracks(kEventId, tracks, "Demo", "Demo"));
    }
    call(api.setEventActive(kEventId, true));
    AppSettings::modify([](AppSettings& s) {
        s.activeEventId = kEventId;
        s.djPin = kPin;
        s.djName = kDjName;
        s.djEmail = kEmail;
        s.notifyOnNewRequest = true;
        s.notifyOnMessage = true;
        overlay::OverlayConfig overlay;
        try {
            overlay = overlay::OverlayConfig::fromData(s.overlayConfigData);
        } catch (const std::exception&) {
            // an unreadable demo overlay setting starts again from the defaults
        }
        overlay.enabled = true;
        s.overlayConfigData = overlay.toData();
    });
    SavedEvent saved{kEventId, kEventName, kDjName, isoNow(), isoNow(), {}, {}};
    SavedEvents::upsert(saved);
}

int runDemo(const DemoOptions& o) {
    const fs::path realData = xdgDataHome();
    const fs::path serviceData = realData / "floorvote" / "local-service" / "demo";
    const fs::path profile = useDemoProfile(realData);
    AppSettings::migrateIfNeeded();

    const fs::path serviceDir = serviceDirectory();
    std::vector<std::string> args{(serviceDir / "server.js").string(), "--data", serviceData.string(), "--port",
                                  std::to_string(o.port), "--name", "demo"};
    if (o.lan) args.push_back("--lan");
    NodeProcess service;
    std::string error;
    if (!service.start(args, profile / "service.log", error))
        throw CommandFailed{1, "Der lokale Event-Service startet nicht: " + error};
    auto first = service.firstLine(std::chrono::seconds(20));
    json info = first ? json::parse(*first, nullptr, false) : json();
    if (!info.is_object() || !info.contains("port") || !info["port"].is_number_integer())
        throw CommandFailed{1, "Der lokale Event-Service startet nicht (Protokoll: " + (profile / "service.log").string() + ")."};
    const int port = info["port"].get<int>();
    const std::string local = "http://127.0.0.1:" + std::to_string(port);
    setenv("FLOORVOTE_PRODUCTION_URL", local.c_str(), 1);

    std::string latestCode;
    const std::regex codeLine("^Anmeldecode für " + std::string(kEmail) + ": ([0-9]{6})");
    service.follow([&](const std::string& line) {
        std::smatch m;
        if (std::regex_search(line, m, codeLine)) latestCode = m[1];
    });

    logIn(latestCode);
    prepareEvent();

    std::string guestBase = local;
    if (o.lan) {
        if (info.contains("addresses") && info["addresses"].is_array() && !info["addresses"].empty() &&
            info["addresses"][0].is_string())
            guestBase = info["addresses"][0].get<std::string>();
        else
            complain("Kein Netzwerk gefunden: die Gästeseite ist nur auf diesem Rechner erreichbar.");
    }
    const std::string guestPage = guestBase + "/e/" + kEventId;

    NodeProcess guests;
    if (o.guests > 0) {
        std::vector<std::string> gargs{(serviceDir / "simulate.js").string(), "--url", local, "--event", kEventId,
                                       "--guests", std::to_string(o.guests), "--pace", fmt::format("{}", o.pace)};
        if (!guests.start(gargs, profile / "guests.log", error)) complain("Simulierte Gäste starten nicht: " + error);
        else guests.follow(nullptr);
    }

    overlay::OverlayConfig overlay;
    try {
        overlay = overlay::OverlayConfig::fromData(AppSettings::load().overlayConfigData);
    } catch (const std::exception&) {
    }
    say(fmt::format("Floorvote-Demo: lokaler Event-Service auf {} mit {} simulierten Gästen.", local, o.guests));
    say("Gästeseite: " + guestPage + (o.lan ? "" : "  (für Handys im Netz: floorvote demo --lan)"));
    if (auto qr = terminalQr(guestPage, isatty(STDOUT_FILENO) != 0)) say(*qr);
    say(fmt::format("Stream-Overlay: http://127.0.0.1:{}/", overlay.port));
    say("Die Demo hat eine eigene Anmeldung und eigene Einstellungen; deine echten bleiben unverändert. Beenden mit Strg-C.");

    int code = runLiveSession();
    guests.stop(std::chrono::seconds(2));
    service.stop(std::chrono::seconds(5));
    say("Demo beendet.");
    return code;
}

const CommandRegistrar reg(45, [](CLI::App& root) {
    auto o = std::make_shared<DemoOptions>();
    auto* demo = root.add_subcommand(
        "demo", "Demo ohne Konto: lokaler Event-Service, simulierte Gäste und die Live-Sitzung");
    demo->add_option("--guests", o->guests, "Anzahl simulierter Gäste (Standard 5)")->check(CLI::Range(0, 200));
    demo->add_flag("--lan", o->lan, "Gästeseite im lokalen Netz anbieten (Handys im selben WLAN)");
    demo->add_option("--port", o->port, "Port des Event-Service (Standard: ein freier)")->check(CLI::Range(0, 65535));
    // Tests speed the simulated guests up; not for the DJ.
    demo->add_option("--pace", o->pace)->check(CLI::Range(0.01, 10.0))->group("");
    demo->callback([o] {
        int code = runDemo(*o);
        if (code != 0) throw CommandFailed{code, ""};
    });
});

}  // namespace
}  // namespace fv::app
