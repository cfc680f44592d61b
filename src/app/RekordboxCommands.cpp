// floorvote cdj status: the CDJ library of the running session.
// floorvote dj rekordbox-key [--remove]: the key of an encrypted rekordbox database, kept in the keychain.
#include <iostream>

#include <termios.h>
#include <unistd.h>

#include <fmt/format.h>

#include "app/Commands.hpp"
#include "app/SessionCDJ.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "platform/SecretStore.hpp"

namespace fv::app {
namespace {

const char* modeText(const std::string& mode) {
    if (mode == "active") return "aktiv";
    if (mode == "standby") return "Bereitschaft";
    return "aus";
}

void cdjStatus() {
    const std::optional<json> s = SessionCDJ::readStatus();
    if (!s) throw CommandFailed{1, "Keine laufende Live-Sitzung mit CDJ-Library (floorvote run mit cdjLibraryEnabled)."};
    const json& j = *s;
    auto text = [&](const char* key) { return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : ""; };
    auto number = [&](const char* key) {
        return j.contains(key) && j[key].is_number_integer() ? j[key].get<int64_t>() : int64_t(0);
    };
    say(fmt::format("CDJ-Library: {}", modeText(text("mode"))));
    say("Status: " + text("statusText"));
    if (!text("lastError").empty()) say("Letzter Fehler: " + text("lastError"));
    const json peers = j.value("peers", json::array());
    if (!peers.is_array() || peers.empty()) {
        say("Geräte im Netz: keine");
    } else {
        say(fmt::format("Geräte im Netz ({}):", peers.size()));
        for (const auto& p : peers)
            if (p.is_object())
                say(fmt::format("  {} ({}, Nr. {}) @ {}", p.value("name", ""), p.value("kind", ""),
                                p.value("deviceNumber", int64_t(0)), p.value("address", "")));
    }
    say(fmt::format("Ausgeliefert: {} Tracks; rekordbox-Cache {}, nicht gefunden {}, gespielt {}",
                    number("servedTrackCount"), number("cacheCount"), number("missing"), number("played")));
    const json lists = j.value("lists", json::array());
    if (lists.is_array())
        for (const auto& l : lists)
            if (l.is_object()) say(fmt::format("  {}: {}", l.value("name", ""), l.value("count", int64_t(0))));
}

std::string readSecretLine() {
    const bool tty = ::isatty(STDIN_FILENO);
    termios old{};
    if (tty) {
        std::cerr << "rekordbox-Schlüssel: " << std::flush;
        ::tcgetattr(STDIN_FILENO, &old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (tty) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
        std::cerr << "\n";
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

void rekordboxKey(bool remove) {
    auto& store = SecretStore::standard();
    if (remove) {
        store.remove(rekordboxKeyService, rekordboxKeyAccount);
        say("rekordbox-Schlüssel entfernt.");
        return;
    }
    const std::string key = readSecretLine();
    if (key.empty()) throw CommandFailed{2, "Kein Schlüssel eingegeben."};
    const bool ok = store.update(rekordboxKeyService, rekordboxKeyAccount, key) ||
                    store.add(rekordboxKeyService, rekordboxKeyAccount, key);
    if (!ok) throw CommandFailed{1, "Schlüssel konnte nicht gespeichert werden: " + store.file().string()};
    say("rekordbox-Schlüssel gespeichert.");
}

CLI::App* subcommand(CLI::App& root, const std::string& name) {
    for (CLI::App* c : root.get_subcommands([](CLI::App*) { return true; }))
        if (c->get_name() == name) return c;
    return nullptr;
}

CommandRegistrar reg(75, [](CLI::App& root) {
    if (CLI::App* cdjCmd = subcommand(root, "cdj"))
        cdjCmd->add_subcommand("status", "CDJ-Library der laufenden Sitzung: Modus, Geräte, Listen")->callback(cdjStatus);
    CLI::App* djCmd = subcommand(root, "dj");
    if (!djCmd) {
        djCmd = root.add_subcommand("dj", "DJ-Software auf diesem Rechner");
        djCmd->require_subcommand(1);
    }
    auto* key = djCmd->add_subcommand("rekordbox-key",
                                      "Schlüssel der verschlüsselten rekordbox-Datenbank speichern (liest ihn von der "
                                      "Eingabe)");
    static bool remove = false;
    key->add_flag("--remove", remove, "Gespeicherten Schlüssel löschen");
    key->callback([] { rekordboxKey(remove); });
});

}  // namespace
}  // namespace fv::app
