// floorvote overlay serve | send | config show|set
#include <fmt/format.h>

#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "app/Commands.hpp"
#include "core/Json.hpp"
#include "core/MainLoop.hpp"
#include "overlay/AdService.hpp"
#include "overlay/EventAd.hpp"
#include "overlay/OverlayConfig.hpp"
#include "overlay/OverlayControl.hpp"
#include "overlay/OverlayEvent.hpp"
#include "overlay/OverlayServer.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/AppSettings.hpp"

namespace fv::app {
namespace {

using namespace fv::overlay;

OverlayConfig storedConfig() {
    AppSettings::migrateIfNeeded();
    AppSettings s = AppSettings::load();
    try {
        return OverlayConfig::fromData(s.overlayConfigData);
    } catch (const DecodeError& e) {
        throw CommandFailed{2, fmt::format("Die gespeicherte Overlay-Konfiguration ist ungültig: {}", e.what())};
    }
}

// ---- serve ----------------------------------------------------------------------------------

// What the pages should see when they (re)connect: the configuration and the last values the
// DJ pushed.
struct ServeState {
    std::optional<std::string> title, artist;
    std::optional<int64_t> up, down, guestCount;
};

json handleControl(OverlayServer& server, ServeState& state, const json& request) {
    return handleOverlayControl(server, request, storedConfig, [&](const OverlayEvent& ev) {
        if (ev.type == OverlayEventType::nowPlaying) {
            state.title = ev.title;
            state.artist = ev.artist;
            state.up = ev.upVotes;
            state.down = ev.downVotes;
        } else if (ev.type == OverlayEventType::nowPlayingVotes) {
            state.up = ev.upVotes;
            state.down = ev.downVotes;
        } else if (ev.type == OverlayEventType::guestCount) {
            state.guestCount = ev.guestCount;
        }
    });
}

void serve(std::optional<int> portOption, bool noLiveData) {
    OverlayConfig config = storedConfig();
    if (portOption) {
        if (*portOption < 0 || *portOption > 65535)
            throw CommandFailed{2, "Der Port muss zwischen 0 und 65535 liegen."};
        config.port = static_cast<uint16_t>(*portOption);
    }
    OverlayServer server;
    ServeState state;
    server.setLiveDataEnabled(!noLiveData);
    server.setListenAddress(AppSettings::load().overlayListenAddress);
    server.setInitialStateProvider([&]() -> std::optional<OverlayEvent> {
        return OverlayEvent::initialState(server.overlayConfig(), state.title, state.artist, state.guestCount, state.up,
                                          state.down);
    });
    if (!server.start(config))
        throw CommandFailed{
            1, fmt::format("Der Overlay-Server konnte Port {} nicht öffnen: {}", config.port, server.lastError())};

    OverlayControlServer control;
    std::string controlError;
    auto socketPath = controlSocketPath(server.port());
    if (!control.start(
            socketPath, [&](const json& r) { return handleControl(server, state, r); }, controlError)) {
        server.stop();
        throw CommandFailed{1, fmt::format("Der Steuer-Socket konnte nicht angelegt werden: {}", controlError)};
    }

    say(fmt::format("Overlay läuft: http://127.0.0.1:{}/", server.port()));
    if (server.reachableBeyondLoopback())
        say("Auch im Netzwerk erreichbar (overlayListenAddress " + server.listenAddress() + ").");
    say(fmt::format("Als Browser-Quelle in der Streaming-Software eintragen. Live-Daten: {}. Beenden mit Strg+C.",
                    noLiveData ? "aus" : "an"));

    auto& loop = MainLoop::shared();
    boost::asio::signal_set signals(loop.context(), SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (ec) return;
        control.stop();
        server.stop();
        loop.stop();
    });
    loop.run();
    control.stop();
    server.stop();
    say("Overlay beendet.");
}

// ---- send -----------------------------------------------------------------------------------

struct SendOptions {
    std::string type;
    std::optional<std::string> title, artist, guest, content, html, ad;
    std::optional<int64_t> count, up, down;
    std::optional<int> port;
    bool force = false;
};

std::string allowedTypes() {
    std::string s;
    for (const auto& c : enumCases<OverlayEventType>()) s += (s.empty() ? "" : ", ") + std::string(c.raw);
    return s;
}

void send(const SendOptions& o) {
    auto type = fromRaw<OverlayEventType>(o.type);
    if (!type) throw CommandFailed{2, fmt::format("Unbekannter Ereignistyp: {} (möglich: {})", o.type, allowedTypes())};
    if (o.port && (*o.port < 1 || *o.port > 65535)) throw CommandFailed{2, "Der Port muss zwischen 1 und 65535 liegen."};
    OverlayConfig config = storedConfig();
    uint16_t port = o.port ? static_cast<uint16_t>(*o.port) : config.port;

    json request;
    if (*type == OverlayEventType::config) {
        request = {{"reloadConfig", true}};
    } else {
        OverlayEvent ev;
        ev.type = *type;
        ev.title = o.title;
        ev.artist = o.artist;
        ev.guestName = o.guest;
        ev.content = o.content;
        ev.guestCount = o.count;
        ev.upVotes = o.up;
        ev.downVotes = o.down;
        if (*type == OverlayEventType::adShow) {
            if (o.ad) {
                AdService ads(DefaultsStore::standard(), nullptr);
                const EventAd* ad = ads.find(*o.ad);
                if (!ad) throw CommandFailed{2, fmt::format("Keine Werbung mit der ID {} gespeichert.", *o.ad)};
                try {
                    ev.adHtml = overlayAdHtml(*ad, config);
                } catch (const AdError& e) {
                    throw CommandFailed{2, e.what()};
                }
            } else if (o.html) {
                ev.adHtml = o.html;
            } else {
                throw CommandFailed{2, "adShow braucht --html oder --ad."};
            }
        }
        if (*type == OverlayEventType::guestCount && !o.count) throw CommandFailed{2, "guestCount braucht --count."};
        request = {{"event", json::parse(ev.encode())}, {"force", o.force}};
    }

    json answer;
    try {
        answer = overlayControlRequest(controlSocketPath(port), request);
    } catch (const std::runtime_error&) {
        throw CommandFailed{
            1, fmt::format("Kein Overlay-Server auf Port {} erreichbar (läuft „floorvote overlay serve“?).", port)};
    }
    if (!answer.value("ok", false))
        throw CommandFailed{
            1, fmt::format("Der Overlay-Server hat das Ereignis abgelehnt: {}", answer.value("error", "?"))};
    if (!answer.value("sent", false)) {
        say(fmt::format("Ereignis „{}“ verworfen: Live-Daten sind aus (mit --force trotzdem senden).", o.type));
        return;
    }
    say(fmt::format("Ereignis „{}“ an {} Overlay-Seite(n) gesendet.", o.type, answer.value("clients", 0)));
}

// ---- config ---------------------------------------------------------------------------------

// Enumerations may be given by their case name ("topRight") as well as by the stored text.
std::optional<std::string> rawForCaseName(const std::string& key, const std::string& value) {
    auto ends = [&](std::string_view suffix) {
        return key.size() >= suffix.size() && key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    auto lookup = [&](auto tag) -> std::optional<std::string> {
        using E = decltype(tag);
        if (auto e = fromCaseName<E>(value)) return std::string(rawValue(*e));
        return std::nullopt;
    };
    if (ends("Position")) return lookup(WidgetPosition{});
    if (key == "selectedPreset") return lookup(OverlayThemePreset{});
    if (ends("animationStyle")) return lookup(OverlayAnimation{});
    if (key == "ambientStyle") return lookup(OverlayAmbient{});
    if (key == "nowPlayingVoteStyle") return lookup(NowPlayingVoteStyle{});
    if (key == "sponsorMode") return lookup(SponsorDisplayMode{});
    if (ends("fontTitle") || ends("fontBody") || ends("fontMeta")) return lookup(OverlayFont{});
    return std::nullopt;
}

// Values the page could not show sensibly.
std::optional<std::string> checkRanges(const OverlayConfig& c) {
    for (double d : {c.nowPlayingDuration, c.requestDuration, c.broadcastDuration, c.adWidgetDuration})
        if (d < 0) return "Anzeigedauern dürfen nicht negativ sein.";
    for (double s : {c.nowPlayingScale, c.requestScale, c.broadcastScale, c.guestCountScale, c.sponsorScale})
        if (s < 0.3 || s > 3.0) return "Skalierungen müssen zwischen 0,3 und 3,0 liegen.";
    for (double p : {c.nowPlayingCustomX, c.nowPlayingCustomY, c.requestCustomX, c.requestCustomY, c.broadcastCustomX,
                     c.broadcastCustomY, c.guestCountCustomX, c.guestCountCustomY, c.sponsorCustomX, c.sponsorCustomY})
        if (p < 0 || p > 100) return "Positionen sind Prozentwerte zwischen 0 und 100.";
    if (c.port == 0) return "Der Port muss zwischen 1 und 65535 liegen.";
    if (c.sponsorTextSize <= 0) return "Die Schriftgröße des Sponsors muss größer als 0 sein.";
    if (c.customTheme.backgroundOpacity < 0 || c.customTheme.backgroundOpacity > 1)
        return "Die Deckkraft liegt zwischen 0 und 1.";
    return std::nullopt;
}

void configSet(const std::string& key, const std::string& valueText) {
    json value;
    try {
        value = json::parse(valueText);
    } catch (const json::exception&) {
        value = valueText;  // a bare word is meant as a string
    }
    std::vector<std::string> path;
    for (size_t start = 0;;) {
        auto dot = key.find('.', start);
        path.push_back(key.substr(start, dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (value.is_string())
        if (auto raw = rawForCaseName(path.back(), value.get<std::string>())) value = *raw;

    AppSettings::migrateIfNeeded();
    std::string problem;
    bool saved = false;
    AppSettings::modify([&](AppSettings& s) {
        OverlayConfig current;
        try {
            current = OverlayConfig::fromData(s.overlayConfigData);
        } catch (const DecodeError& e) {
            problem = fmt::format("Die gespeicherte Overlay-Konfiguration ist ungültig: {}", e.what());
            return;
        }
        json doc = json::parse(current.toJson().dump());
        json* node = &doc;
        for (const auto& part : path) {
            if (!node->is_object() || !node->contains(part)) {
                problem = fmt::format("Unbekannte Overlay-Einstellung: {}", key);
                return;
            }
            node = &(*node)[part];
        }
        *node = value;
        try {
            OverlayConfig next = OverlayConfig::fromJson(doc);
            if (auto p = checkRanges(next)) {
                problem = fmt::format("Ungültiger Wert für {}: {}", key, *p);
                return;
            }
            s.overlayConfigData = next.toData();
        } catch (const DecodeError& e) {
            problem = fmt::format("Ungültiger Wert für {}: {}", key, e.what());
        }
    }, &saved);
    if (!problem.empty()) throw CommandFailed{2, problem};
    if (!saved) throw CommandFailed{1, "Die Einstellungen konnten nicht gespeichert werden."};
    say(fmt::format("{} gespeichert.", key));
    // A running server picks the change up and makes its pages reload.
    try {
        auto answer = overlayControlRequest(controlSocketPath(storedConfig().port), {{"reloadConfig", true}},
                                            std::chrono::seconds(2));
        if (answer.value("ok", false)) say("Der laufende Overlay-Server hat die Konfiguration neu geladen.");
    } catch (const std::runtime_error&) {
    }
}

CommandRegistrar reg(40, [](CLI::App& root) {
    auto* overlay = root.add_subcommand("overlay", "Stream-Overlay für die Streaming-Software");
    overlay->require_subcommand(1);

    auto* serveCmd = overlay->add_subcommand("serve", "Overlay-Seite ausliefern, bis Strg+C gedrückt wird");
    static std::optional<int> port;
    static bool noLive = false;
    serveCmd->add_option("--port", port, "Port statt des gespeicherten");
    serveCmd->add_flag("--no-live-data", noLive, "Nur Konfiguration senden, keine Live-Daten");
    serveCmd->callback([] { serve(port, noLive); });

    auto* sendCmd = overlay->add_subcommand("send", "Ein Ereignis an einen laufenden Overlay-Server schicken");
    static SendOptions so;
    sendCmd->add_option("TYPE", so.type, "Ereignistyp: " + allowedTypes())->required();
    sendCmd->add_option("--title", so.title, "Titel");
    sendCmd->add_option("--artist", so.artist, "Interpret");
    sendCmd->add_option("--guest", so.guest, "Name des Gastes");
    sendCmd->add_option("--content", so.content, "Nachrichtentext");
    sendCmd->add_option("--count", so.count, "Anzahl der Gäste");
    sendCmd->add_option("--up", so.up, "Positive Stimmen");
    sendCmd->add_option("--down", so.down, "Negative Stimmen");
    sendCmd->add_option("--html", so.html, "HTML der Werbung (adShow)");
    sendCmd->add_option("--ad", so.ad, "ID einer gespeicherten Werbung (adShow)");
    sendCmd->add_option("--port", so.port, "Port des Servers statt des gespeicherten");
    sendCmd->add_flag("--force", so.force, "Auch senden, wenn Live-Daten aus sind");
    sendCmd->callback([] { send(so); });

    auto* config = overlay->add_subcommand("config", "Overlay-Konfiguration anzeigen und ändern");
    config->require_subcommand(1);
    config->add_subcommand("show", "Gespeicherte Overlay-Konfiguration als JSON ausgeben")->callback([] {
        say(storedConfig().toJson().dump(2, ' ', false, ordered_json::error_handler_t::replace));
    });
    auto* set = config->add_subcommand("set", "Eine Overlay-Einstellung setzen (WERT ist JSON oder ein Wort)");
    static std::string key, value;
    set->add_option("KEY", key, "Name der Einstellung, verschachtelt mit Punkt (customTheme.primaryColor)")->required();
    set->add_option("VALUE", value, "Neuer Wert")->required();
    set->callback([] { configSet(key, value); });
});

}  // namespace
}  // namespace fv::app
