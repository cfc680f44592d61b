// floorvote cdj serve --library FILE [--interface NAME] [--name NAME]
// Serves a list of tracks to the players as a media source until Ctrl-C or SIGTERM.
#include <fmt/format.h>
#include <pthread.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <set>

#include "app/Commands.hpp"
#include "cdjlink/CDJLinkServer.hpp"
#include "cdjlink/CDJModels.hpp"
#include "core/Files.hpp"
#include "core/Json.hpp"
#include "session/AppSettings.hpp"

namespace fv::app {
namespace {

struct ServeOptions {
    std::string library;
    std::string interfaceName;
    std::string deviceName;
};

std::vector<cdj::CDJTrack> loadLibrary(const std::string& path) {
    const std::optional<std::string> text = readFile(path);
    if (!text) throw CommandFailed{2, "Bibliothek nicht lesbar: " + path};
    std::vector<cdj::CDJTrack> tracks;
    try {
        tracks = cdj::parseTracks(*text);
    } catch (const DecodeError& e) {
        throw CommandFailed{2, fmt::format("Bibliothek {} ist keine gültige Track-Liste: {}", path, e.what())};
    }
    // The players address tracks by id: a second record with the same id would hide the first.
    std::set<uint32_t> seen;
    for (const auto& t : tracks)
        if (!seen.insert(t.id).second) throw CommandFailed{2, fmt::format("Track-ID {} kommt doppelt vor.", t.id)};
    return tracks;
}

void serve(const ServeOptions& opt) {
    // Ctrl-C and SIGTERM are taken by sigtimedwait below; blocked before the link's threads start,
    // so every thread inherits the mask and none is interrupted mid-line.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    AppSettings::migrateIfNeeded();
    std::vector<cdj::CDJTrack> tracks = loadLibrary(opt.library);
    // The stored link settings, so the DJ's menus and device name carry over.
    cdj::CDJLinkSettings settings = AppSettings::load().cdjLinkSettings;
    if (!opt.interfaceName.empty()) settings.interfaceName = opt.interfaceName;
    if (!opt.deviceName.empty()) settings.deviceName = opt.deviceName;

    // One playlist with every track in file order, named after the file.
    cdj::CDJPlaylist all;
    all.id = 1;
    all.name = std::filesystem::path(opt.library).stem().string();
    if (all.name.empty()) all.name = "Floorvote";
    for (const auto& t : tracks) all.trackIds.push_back(t.id);
    auto library = std::make_shared<cdj::CDJLibrary>();
    library->replaceContent(tracks, {all});

    size_t missing = 0;
    for (const auto& t : tracks) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(t.filePath, ec)) ++missing;
    }
    if (missing > 0) complain(fmt::format("Achtung: {} von {} Audiodateien fehlen.", missing, tracks.size()));

    // The link log is what this command shows while it runs.
    showLogOnTerminal("[CDJLink ");
    auto server = std::make_shared<cdj::CDJLinkServer>(library, settings);
    try {
        server->start();
    } catch (const std::exception& e) {
        throw CommandFailed{1, e.what()};
    }
    const cdj::CDJInterface iface = server->iface();
    say(fmt::format("CDJ-Library „{}“ mit {} Tracks auf {} ({}) – Strg+C beendet.", settings.deviceName, tracks.size(),
                    iface.name, iface.address));

    while (true) {
        timespec wait{1, 0};
        if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) break;
    }
    server->stop();
    say("CDJ-Library beendet.");
}

CommandRegistrar reg(61, [](CLI::App& root) {
    auto* cdjCmd = root.get_subcommand("cdj");
    auto* s = cdjCmd->add_subcommand("serve", "Track-Liste als Medienquelle für CDJ-Player bereitstellen");
    static ServeOptions opt;
    s->add_option("--library", opt.library, "JSON-Datei mit einem Array von Track-Datensätzen")->required();
    s->add_option("--interface", opt.interfaceName, "Netzwerkschnittstelle (Standard: automatisch)");
    s->add_option("--name", opt.deviceName, "Gerätename im Netz (Standard: aus den Einstellungen)");
    s->callback([] { serve(opt); });
});

}  // namespace
}  // namespace fv::app
