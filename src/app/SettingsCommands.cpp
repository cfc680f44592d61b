// floorvote status, settings show|set, events saved.
#include <fmt/format.h>

#include "app/Commands.hpp"
#include "core/Json.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/AppSettings.hpp"
#include "session/KeychainService.hpp"

namespace fv::app {
namespace {

std::string yesNo(bool b) { return b ? "ja" : "nein"; }

// Settings that are secrets: shown only as set or not set.
constexpr const char* secretKeys[] = {"djPin", "spotifyClientSecret", "tidalClientToken"};

ordered_json maskedSettings(const AppSettings& s) {
    ordered_json doc = s.toJson();
    for (const char* k : secretKeys) {
        auto it = doc.find(k);
        if (it != doc.end() && it->is_string() && !it->get<std::string>().empty()) *it = "********";
    }
    return doc;
}

std::string knownKeys(const json& doc) {
    std::string out;
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        if (it.key() == "settingsVersion") continue;
        out += (out.empty() ? "" : ", ") + it.key();
    }
    return out;
}

void showStatus() {
    AppSettings::migrateIfNeeded();
    AppSettings s = AppSettings::load();
    KeychainService keychain;
    auto refresh = keychain.read("refreshToken");
    auto account = keychain.read("djUuid");
    auto method = keychain.read("loginMethod");
    say("Floorvote – Status");
    if (refresh && account && method.value_or("otp") == "otp") {
        say(fmt::format("  Anmeldung:       angemeldet (Konto {}{})", *account,
                        s.djEmail.empty() ? "" : ", " + s.djEmail));
    } else {
        say("  Anmeldung:       nicht angemeldet");
    }
    say(fmt::format("  Server:          {}", s.serverURL()));
    if (s.activeEventId.empty()) {
        say("  Aktives Event:   keines");
    } else {
        std::string name;
        for (const auto& e : SavedEvents::loadAll())
            if (e.id == s.activeEventId) name = e.eventName;
        say(fmt::format("  Aktives Event:   {}{}", s.activeEventId, name.empty() ? "" : " (" + name + ")"));
        if (!s.djName.empty()) say(fmt::format("  DJ-Name:         {}", s.djName));
        say(fmt::format("  DJ-PIN:          {}", s.djPin.empty() ? "keine" : "hinterlegt"));
    }
    say("Einstellungen:");
    say(fmt::format("  Abfrageintervall:            {} s", s.pollIntervalSecs));
    say(fmt::format("  Hinweis bei neuem Wunsch:    {}", yesNo(s.notifyOnNewRequest)));
    say(fmt::format("  Hinweis bei neuer Nachricht: {}", yesNo(s.notifyOnMessage)));
    say(fmt::format("  Ton:                         {}", yesNo(s.soundEnabled)));
    say(fmt::format("  Sprache:                     {}", s.language));
    say(fmt::format("  Entwicklermodus:             {}", yesNo(s.developerModeEnabled)));
    say(fmt::format("  CDJ-Bibliothek:              {}", s.cdjLibraryEnabled ? "an" : "aus"));
    say(fmt::format("  Gespeicherte Events:         {}", SavedEvents::loadAll().size()));
}

void setSetting(const std::string& key, const std::string& valueText) {
    json value;
    try {
        value = json::parse(valueText);
    } catch (const json::exception&) {
        // A bare word is meant as a string.
        value = valueText;
    }
    AppSettings::migrateIfNeeded();
    std::string problem;
    bool saved = false;
    AppSettings::modify([&](AppSettings& s) {
        json doc = json::parse(s.toJson().dump());
        if (!doc.contains(key) || key == "settingsVersion") {
            problem = fmt::format("Unbekannte Einstellung: {}\nBekannte Einstellungen: {}", key, knownKeys(doc));
            return;
        }
        doc[key] = value;
        try {
            AppSettings next = AppSettings::fromJson(doc);
            next.settingsVersion = s.settingsVersion;
            s = std::move(next);
        } catch (const DecodeError& e) {
            problem = fmt::format("Ungültiger Wert für {}: {}", key, e.what());
        }
    }, &saved);
    if (!problem.empty()) throw CommandFailed{2, problem};
    if (!saved) throw CommandFailed{1, "Die Einstellungen konnten nicht gespeichert werden."};
    say(fmt::format("{} gespeichert.", key));
}

CommandRegistrar reg(10, [](CLI::App& root) {
    auto* status = root.add_subcommand("status", "Anmeldung, aktives Event und Einstellungen anzeigen");
    status->callback(showStatus);
    root.callback([&root] {
        if (root.get_subcommands().empty()) showStatus();
    });

    auto* settings = root.add_subcommand("settings", "Einstellungen anzeigen und ändern");
    settings->require_subcommand(1);
    settings->add_subcommand("show", "Gespeicherte Einstellungen als JSON ausgeben (PIN und Geheimnisse verdeckt)")->callback([] {
        AppSettings::migrateIfNeeded();
        say(maskedSettings(AppSettings::load()).dump(2));
    });
    auto* set = settings->add_subcommand("set", "Eine Einstellung setzen (WERT ist JSON)");
    static std::string key, value;
    set->add_option("KEY", key, "Name der Einstellung")->required();
    set->add_option("VALUE", value, "Neuer Wert als JSON")->required();
    set->callback([] { setSetting(key, value); });

    auto* events = root.add_subcommand("events", "Events");
    auto* saved = events->add_subcommand("saved", "Gespeicherte Events anzeigen");
    saved->callback([] {
        AppSettings::migrateIfNeeded();
        auto list = SavedEvents::loadAll();
        auto active = AppSettings::load().activeEventId;
        if (list.empty()) {
            say("Keine gespeicherten Events.");
            return;
        }
        for (const auto& e : list) {
            say(fmt::format("{} {}  {}  (DJ: {}, angelegt {}{})", e.id == active ? "*" : " ", e.id, e.eventName,
                            e.djName.empty() ? "–" : e.djName, e.createdAt,
                            e.lastUsedAt ? ", zuletzt " + *e.lastUsedAt : ""));
        }
    });
});

}  // namespace
}  // namespace fv::app
