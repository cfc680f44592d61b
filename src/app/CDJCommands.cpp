// floorvote cdj interfaces | watch [--seconds N]
#include <csignal>
#include <ctime>
#include <map>
#include <mutex>

#include <fmt/format.h>
#include <pthread.h>

#include "app/Commands.hpp"
#include "cdjlink/CDJDiscovery.hpp"
#include "cdjlink/CDJSockets.hpp"

namespace fv::app {
namespace {

void listInterfaces() {
    auto list = cdj::availableInterfaces();
    if (list.empty()) {
        say("Keine nutzbare Netzwerkschnittstelle gefunden (IPv4, aktiv, kein Loopback, mit Hardware-Adresse).");
        return;
    }
    say("Netzwerkschnittstellen für Pro DJ Link (in der Reihenfolge der automatischen Wahl):");
    say(fmt::format("  {:<12} {:<16} {:<16} {}", "Name", "Adresse", "Netzmaske", "MAC"));
    for (const auto& i : list)
        say(fmt::format("  {:<12} {:<16} {:<16} {}", i.name, i.address, i.netmask, cdj::macText(i.mac)));
}

std::string deviceText(const cdj::CDJPeer& p) { return fmt::format("{} ({}) @ {}", p.name, p.kind, p.address); }

void watch(int seconds) {
    // Ctrl-C and SIGTERM are taken by sigtimedwait below; block them before any thread starts so
    // none of them is killed mid-line.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // The link log is part of what this command shows.
    showLogOnTerminal("[CDJLink ");
    std::mutex m;
    std::map<std::string, cdj::CDJPeer> known;
    size_t everSeen = 0;
    auto discovery = std::make_shared<cdj::CDJDiscovery>();
    discovery->onDevicesChanged = [&](const std::vector<cdj::CDJPeer>& now) {
        std::lock_guard g(m);
        std::map<std::string, cdj::CDJPeer> next;
        for (const auto& p : now) next.emplace(p.address, p);
        for (const auto& [addr, p] : next)
            if (!known.count(addr)) {
                ++everSeen;
                say("+ Gerät erschienen: " + deviceText(p));
            }
        for (const auto& [addr, p] : known)
            if (!next.count(addr)) say("- Gerät verschwunden: " + deviceText(p));
        known = std::move(next);
    };
    try {
        discovery->start();
    } catch (const cdj::CDJSocketError& e) {
        throw CommandFailed{1, e.what()};
    }
    say(seconds > 0 ? fmt::format("Beobachte Pro DJ Link auf Port 50000 für {} s (Strg+C beendet) …", seconds)
                    : "Beobachte Pro DJ Link auf Port 50000 (Strg+C beendet) …");

    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (true) {
        timespec wait{0, 200'000'000};
        if (seconds > 0) {
            auto left = end - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) break;
            if (left < std::chrono::milliseconds(200))
                wait.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        }
        if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) break;
    }
    discovery->stop();
    std::lock_guard g(m);
    say(fmt::format("Beendet. {} Gerät(e) gesehen, {} zuletzt im Netz.", everSeen, known.size()));
}

CommandRegistrar reg(60, [](CLI::App& root) {
    auto* cdjCmd = root.add_subcommand("cdj", "Pro DJ Link: Netzwerk und CDJ-Player");
    cdjCmd->require_subcommand(1);
    cdjCmd->add_subcommand("interfaces", "Nutzbare Netzwerkschnittstellen anzeigen")->callback(listInterfaces);
    auto* w = cdjCmd->add_subcommand("watch", "Geräte im Netz beobachten, ohne selbst zu senden");
    static int seconds = 0;
    w->add_option("--seconds", seconds, "Nach N Sekunden beenden (0: bis Strg+C)")->check(nonNegativeInteger());
    w->callback([] { watch(seconds); });
});

}  // namespace
}  // namespace fv::app
