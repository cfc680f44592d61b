// floorvote login, logout, whoami, events (from the service), use, requests, messages, stats.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <exception>
#include <iostream>
#include <optional>

#include <boost/asio/co_spawn.hpp>
#include <fmt/format.h>

#include "app/CommandSupport.hpp"
#include "app/Commands.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"
#include "session/AuthStore.hpp"
#include "session/KeychainService.hpp"
#include "session/PlanStore.hpp"

namespace fv::app {
namespace {

void login(const std::string& email, std::optional<std::string> code) {
    start();
    auto& auth = AuthStore::shared();
    if (!code) {
        bool sent = await(auth.sendOTP(email));
        if (!sent) throw CommandFailed{1, auth.errorMessage().value_or("Der Code konnte nicht gesendet werden.")};
        say(fmt::format("Ein Anmeldecode wurde an {} gesendet. Bitte den Code eingeben:", email));
        std::string line;
        if (!std::getline(std::cin, line)) throw CommandFailed{1, "Kein Code eingegeben."};
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        while (!line.empty() && line.front() == ' ') line.erase(line.begin());
        code = line;
    }
    bool ok = await(auth.verifyOTP(email, *code));
    if (!ok) throw CommandFailed{1, auth.errorMessage().value_or("Anmeldung fehlgeschlagen.")};
    AppSettings::modify([&](AppSettings& s) { s.djEmail = email; });
    say(fmt::format("Angemeldet als {} (Konto {}, Rolle {}).", email, auth.djUuid().value_or("?"), auth.userRole()));
    // An account with a dedicated server works there from now on.
    await(PlanStore::shared().refresh());
    if (auto server = AppSettings::dedicatedOverride()) say("Dein Konto arbeitet auf einem eigenen Server: " + *server);
}

void whoami() {
    start();
    auto& auth = AuthStore::shared();
    AppSettings s = AppSettings::load();
    if (KeychainService().read("refreshToken")) await(auth.restoreSession());
    if (auth.state() == AuthStore::State::authenticated) {
        say("Anmeldung: angemeldet");
        say(fmt::format("Konto:     {}", auth.djUuid().value_or("unbekannt")));
        say(fmt::format("Rolle:     {}", auth.userRole()));
    } else if (auth.serverUnreachable()) {
        say("Anmeldung: gespeichert, Server nicht erreichbar (" + auth.errorMessage().value_or("") + ")");
    } else {
        say("Anmeldung: nicht angemeldet");
    }
    if (!s.djEmail.empty()) say(fmt::format("E-Mail:    {}", s.djEmail));
    say(fmt::format("Server:    {}", AppSettings::load().serverURL()));
}

void listEvents(bool asJson) {
    start();
    requireLogin();
    auto events = call(APIClient::shared().getDJEvents());
    if (asJson) {
        say(events.toJson().dump(2));
        return;
    }
    if (events.events.empty()) {
        say("Keine Events auf dem Server.");
        return;
    }
    auto active = AppSettings::load().activeEventId;
    for (const auto& e : events.events)
        say(fmt::format("{} {}  {}  (DJ: {}{})", e.id == active ? "*" : " ", e.id, e.eventName.empty() ? "–" : e.eventName,
                        e.djName.empty() ? "–" : e.djName, e.isActive ? ", online" : ""));
}

void useEvent(const std::string& id, std::optional<std::string> pin, std::optional<std::string> djName) {
    start();
    auto& api = APIClient::shared();
    DJEvent ev = call(api.getEvent(id));
    if (pin) {
        DJAuthResponse a = call(api.verifyDJPin(id, *pin));
        if (!a.success) throw CommandFailed{1, APIError(APIError::Kind::unauthorized).what()};
    }
    // Only after the service confirmed the event is anything stored.
    AppSettings::modify([&](AppSettings& s) {
        s.activeEventId = id;
        if (pin) s.djPin = *pin;
        if (djName) s.djName = *djName;
        else if (!ev.djName.empty() && s.djName.empty()) s.djName = ev.djName;
    });
    SavedEvent saved;
    bool found = false;
    for (const auto& e : SavedEvents::loadAll())
        if (e.id == id) {
            saved = e;
            found = true;
        }
    if (!found) {
        saved.id = id;
        saved.createdAt = isoNow();
    }
    saved.eventName = ev.eventName.empty() ? (saved.eventName.empty() ? id : saved.eventName) : ev.eventName;
    saved.djName = djName ? *djName : (ev.djName.empty() ? saved.djName : ev.djName);
    saved.lastUsedAt = isoNow();
    SavedEvents::upsert(saved);
    say(fmt::format("Aktives Event: {} ({})", id, saved.eventName));
}

void showRequests(std::optional<std::string> statusText, bool asJson) {
    start();
    std::optional<RequestStatus> status;
    if (statusText) {
        status = requestStatusFromString(*statusText);
        if (!status) throw CommandFailed{2, fmt::format("Unbekannter Status: {} (pending, confirmed, declined, played)", *statusText)};
    }
    auto r = call(APIClient::shared().getRequests(activeEventOrFail(), status));
    if (asJson) {
        json out = json::array();
        for (const auto& q : r.requests) out.push_back(q.toJson());
        say(json{{"requests", out}}.dump(2));
        return;
    }
    if (r.requests.empty()) {
        say("Keine Musikwünsche.");
        return;
    }
    for (const auto& q : r.requests)
        say(fmt::format("#{}  {} – {}  [{}]  {} {}{}", q.id, q.artist, q.title, statusLabel(q.status), q.voteCount,
                        q.voteCount == 1 ? "Stimme" : "Stimmen",
                        q.guestName.empty() ? "" : ", von " + q.guestName));
}

void showMessages(bool asJson) {
    start();
    auto r = call(APIClient::shared().getMessages(activeEventOrFail()));
    if (asJson) {
        json out = json::array();
        for (const auto& m : r.messages) out.push_back(m.toJson());
        say(json{{"messages", out}}.dump(2));
        return;
    }
    if (r.messages.empty()) {
        say("Keine Nachrichten.");
        return;
    }
    for (const auto& m : r.messages)
        say(fmt::format("#{}  {}{}: {}", m.id, m.isDjReply ? "DJ" : (m.guestName.empty() ? "Gast" : m.guestName),
                        m.isRead ? "" : " (neu)", m.content));
}

void showStats(bool asJson) {
    start();
    auto s = call(APIClient::shared().getStats(activeEventOrFail()));
    if (asJson) {
        say(s.toJson().dump(2));
        return;
    }
    say(fmt::format("Offen:       {}", s.pendingCount));
    say(fmt::format("Bestätigt:   {}", s.confirmedCount));
    say(fmt::format("Abgelehnt:   {}", s.declinedCount));
    say(fmt::format("Gespielt:    {}", s.playedCount));
    say(fmt::format("Stimmen:     {}", s.totalVotes));
    say(fmt::format("Nachrichten: {}", s.messageCount));
    say(fmt::format("Gäste:       {}", s.guestCount));
}

CommandRegistrar reg(20, [](CLI::App& root) {
    static std::string email;
    static std::optional<std::string> code;
    auto* login = root.add_subcommand("login", "Mit E-Mail und Einmalcode anmelden");
    login->add_option("EMAIL", email, "E-Mail-Adresse")->required();
    login->add_option("--code", code, "Einmalcode (sonst von der Standardeingabe)");
    login->callback([] { fv::app::login(email, code); });

    root.add_subcommand("logout", "Abmelden")->callback([] {
        start();
        auto& auth = AuthStore::shared();
        await(auth.logout());
        say("Abgemeldet.");
    });
    static bool storedOnly = false;
    auto* who = root.add_subcommand("whoami", "Anmeldung, Konto, Rolle und Server anzeigen");
    who->add_flag("--stored", storedOnly,
                  "Nur prüfen, ob eine Anmeldung (oder ein Event mit PIN) gespeichert ist, ohne Server; "
                  "Exit-Code 0 = ja, 3 = nein");
    who->callback([] {
        if (!storedOnly) return whoami();
        AppSettings::migrateIfNeeded();
        AppSettings s = AppSettings::load();
        if (KeychainService().read("refreshToken") || (!s.djPin.empty() && !s.activeEventId.empty()))
            return say("Anmeldung gespeichert.");
        throw CommandFailed{3, "Keine Anmeldung gespeichert."};
    });

    static bool eventsJson = false;
    CLI::App* events = nullptr;
    for (auto* sub : root.get_subcommands([](CLI::App* a) { return a->get_name() == "events"; })) events = sub;
    if (!events) events = root.add_subcommand("events", "Events");
    events->description("Events des DJs vom Server anzeigen");
    events->add_flag("--json", eventsJson, "Als JSON ausgeben");
    events->callback([events] {
        if (events->get_subcommands().empty()) listEvents(eventsJson);
    });

    static std::string useId;
    static std::optional<std::string> pin, djName;
    auto* use = root.add_subcommand("use", "Ein Event zum aktiven Event machen");
    use->add_option("EVENT_ID", useId, "Event-ID")->required();
    use->add_option("--pin", pin, "DJ-PIN des Events");
    use->add_option("--dj-name", djName, "DJ-Name");
    use->callback([] { useEvent(useId, pin, djName); });

    static std::optional<std::string> status;
    static bool requestsJson = false, messagesJson = false, statsJson = false;
    auto* requests = root.add_subcommand("requests", "Musikwünsche des aktiven Events laden");
    requests->add_option("--status", status, "Nur diesen Status (pending, confirmed, declined, played)");
    requests->add_flag("--json", requestsJson, "Als JSON ausgeben");
    requests->callback([] { showRequests(status, requestsJson); });
    auto* messages = root.add_subcommand("messages", "Nachrichten des aktiven Events laden");
    messages->add_flag("--json", messagesJson, "Als JSON ausgeben");
    messages->callback([] { showMessages(messagesJson); });
    auto* stats = root.add_subcommand("stats", "Statistik des aktiven Events laden");
    stats->add_flag("--json", statsJson, "Als JSON ausgeben");
    stats->callback([] { showStats(statsJson); });
});

}  // namespace
}  // namespace fv::app
