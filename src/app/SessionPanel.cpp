// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "app/SessionPanel.hpp"

#include <fmt/format.h>

#include "app/Commands.hpp"
#include "app/PanelCards.hpp"
#include "app/SessionCDJ.hpp"
#include "app/SessionOverlay.hpp"
#include "core/ErrorText.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "core/SerialQueue.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "overlay/OverlayEvent.hpp"
#include "panel/PanelLink.hpp"
#include "session/AppStore.hpp"

namespace fv::app {

namespace {

// The DJ programs on this computer, in the order `floorvote dj status` shows them.
constexpr DJSoftwareType djPrograms[] = {DJSoftwareType::rekordbox, DJSoftwareType::serato, DJSoftwareType::virtualDJ,
                                         DJSoftwareType::mixxx};

}  // namespace

SessionPanel::SessionPanel(AppStore& store, SessionOverlay& overlay, SessionCDJ* cdj)
    : store_(store), overlay_(overlay), cdj_(cdj), manager_(store) {
    addOverlay();
    addDJSoftware();
    if (cdj_) addCDJ();
}

SessionPanel::~SessionPanel() { stop(); }

void SessionPanel::start() {
    const int64_t port = store_.settings().panelPort;
    if (!manager_.start(static_cast<uint16_t>(port))) {
        complain("Bedienfeld nicht verfügbar: Port " + std::to_string(port) + " auf 127.0.0.1 lässt sich nicht öffnen (" +
                 germanError(manager_.lastError()) + "). Anderer Port: „floorvote settings set panelPort 8767“.");
        return;
    }
    const std::string url = manager_.server().url();
    try {
        panel::writePanelLink(manager_.server().port(), url);
        linkPort_ = manager_.server().port();
    } catch (const std::exception& e) {
        logLine("Panel", std::string("link file not written: ") + e.what());
    }
    say("Bedienfeld: " + url + "  („floorvote panel“ öffnet es im Browser)");
    ticker_ = Timer::repeating(MainLoop::shared().executor(), std::chrono::seconds(1), [this] { manager_.changed(); });
}

void SessionPanel::stop() {
    if (ticker_) ticker_->cancel();
    ticker_.reset();
    if (linkPort_) panel::removePanelLink(linkPort_);
    linkPort_ = 0;
    manager_.stop();
}

json SessionPanel::overlayCard() {
    auto& server = overlay_.server();
    auto& ads = overlay_.ads();
    json rows = json::array();
    json actions = json::array();
    if (server.isRunning()) {
        rows.push_back({"Status", "läuft"});
        rows.push_back({"Adresse", "http://127.0.0.1:" + std::to_string(server.port()) + "/"});
        rows.push_back({"Seiten verbunden", std::to_string(server.connectedClients())});
        actions.push_back({{"name", "overlay.nowPlaying"}, {"label", "Now Playing im Overlay zeigen"}});
    } else {
        rows.push_back({"Status", "aus (einschalten: floorvote overlay config set enabled true)"});
    }
    std::string active = "–";
    json choices = json::array();
    for (const auto& ad : ads.ads) {
        if (ads.activeAdId && *ads.activeAdId == ad.id) active = ad.name.empty() ? ad.id : ad.name;
        if (ad.isEnabled) choices.push_back({{"value", ad.id}, {"label", ad.name.empty() ? ad.id : ad.name}});
    }
    rows.push_back({"Werbung aktiv", active});
    if (!choices.empty()) actions.push_back({{"name", "overlay.showAd"}, {"label", "Werbung zeigen"}, {"choices", choices}});
    if (ads.activeAdId) actions.push_back({{"name", "overlay.hideAd"}, {"label", "Werbung ausblenden"}});
    return {{"title", "Stream-Overlay"}, {"rows", rows}, {"actions", actions}};
}

void SessionPanel::addOverlay() {
    manager_.addCard("overlay", [this]() -> std::optional<json> { return overlayCard(); });
    overlay_.onChange = [this] { manager_.changed(); };
    overlay_.server().setOnChange([this] { manager_.changed(); });

    manager_.addAction("overlay.nowPlaying", [this](const json&) -> panel::PanelManager::Task<std::string> {
        const auto& ev = store_.event();
        if (!overlay_.server().isRunning()) throw std::runtime_error("Das Stream-Overlay ist aus.");
        if (!ev || !ev->nowPlaying || ev->nowPlaying->trackTitle.empty())
            throw std::runtime_error("Es ist kein Titel als „läuft gerade“ gemeldet.");
        auto [up, down] = store_.messageStore.voteTally(ev->nowPlaying->trackTitle);
        overlay_.server().send(
            overlay::OverlayEvent::nowPlaying(ev->nowPlaying->trackTitle, ev->nowPlaying->trackArtist, up, down), true);
        co_return "Now Playing im Overlay gezeigt.";
    });
    manager_.addAction("overlay.showAd", [this](const json& args) -> panel::PanelManager::Task<std::string> {
        auto v = args.find("value");
        if (v == args.end() || !v->is_string() || !overlay_.ads().find(v->get<std::string>()))
            throw std::runtime_error("Diese Werbung gibt es nicht (mehr).");
        if (!store_.event()) throw std::runtime_error("Noch nicht mit dem Event verbunden.");
        std::string id = v->get<std::string>();
        bool shown = co_await overlay_.ads().activate(id, store_.event()->id);
        manager_.changed();
        if (!shown) throw std::runtime_error("Es wird gerade schon eine Werbung eingeblendet.");
        co_return "Werbung wird gezeigt.";
    });
    manager_.addAction("overlay.hideAd", [this](const json&) -> panel::PanelManager::Task<std::string> {
        if (!store_.event()) throw std::runtime_error("Noch nicht mit dem Event verbunden.");
        co_await overlay_.ads().hide(store_.event()->id);
        manager_.changed();
        co_return "Werbung ausgeblendet.";
    });
}

json SessionPanel::djSoftwareCard() {
    DJSoftwareManager& dj = store_.djManager();
    json rows = json::array();
    const auto& active = store_.activeDjSoftware();
    // A plain flag and value: GCC 12 takes an optional enum here for uninitialised.
    bool known = false;
    DJSoftwareType type = DJSoftwareType::rekordbox;
    if (active)
        if (auto t = djSoftwareTypeFromRaw(*active)) known = true, type = *t;
    const bool hasBridge = known && dj.bridge(type) != nullptr;
    rows.push_back({"Aktiv", known ? std::string(displayName(type)) : active ? *active + " (unbekannt)" : "keine gewählt"});
    if (known && !hasBridge)
        rows.push_back({"Event-Playlist", std::string(displayName(type)) + " hat keine Playlist auf diesem Computer"});
    else if (known)
        rows.push_back({"Event-Playlist", dj.playlistStatus().value_or("–")});
    if (hasBridge) {
        const size_t exported = store_.exportedRequestIds().size();
        rows.push_back({"In der Playlist", exported == 1 ? std::string("1 Wunsch") : std::to_string(exported) + " Wünsche"});
    }
    std::string playing = "–";
    if (const auto& np = dj.currentlyPlaying(); np && !np->title.empty())
        playing = np->artist.empty() ? np->title : np->artist + " – " + np->title;
    rows.push_back({"Läuft laut DJ-Software", playing});
    rows.push_back({"Now-Playing-Abfrage", dj.isPolling() ? "an" : "aus"});
    if (dj.lastError()) rows.push_back({"Letzter Fehler", germanError(*dj.lastError())});

    json programs = json::array();
    for (auto t : djPrograms) {
        auto bridge = dj.bridge(t);
        if (!bridge) continue;
        const BridgeStatus st = dj.status(t);
        std::string where = st.kind() != BridgeStatus::Kind::notConfigured ? bridge->location() : std::string();
        programs.push_back(fmt::format("{}: {}{}", displayName(t), st.label(), where.empty() ? "" : " (" + where + ")"));
    }
    json actions = json::array();
    if (hasBridge) {
        actions.push_back({{"name", "dj.sync"}, {"label", "Bestätigte Wünsche in die Playlist schreiben"}});
    }
    actions.push_back({{"name", "dj.refresh"}, {"label", "Status neu prüfen"}});
    return {{"title", "DJ-Software"},
            {"rows", rows},
            {"lists", json::array({{{"title", "Programme"}, {"items", programs}, {"empty", "keine"}}})},
            {"actions", actions}};
}

void SessionPanel::addDJSoftware() {
    manager_.addCard("djsoftware", [this]() -> std::optional<json> { return djSoftwareCard(); });
    manager_.addAction("dj.sync", [this](const json&) -> panel::PanelManager::Task<std::string> {
        if (!store_.event()) throw std::runtime_error("Noch nicht mit dem Event verbunden.");
        auto written = co_await store_.syncToDJSoftware();
        manager_.changed();
        if (!written) {
            const auto& error = store_.djManager().lastError();
            throw std::runtime_error(error ? "Nichts geschrieben: " + germanError(*error)
                                           : std::string("Nichts geschrieben: keine DJ-Software mit Playlist gewählt."));
        }
        co_return *written == 1 ? std::string("1 Wunsch steht in der Playlist.")
                                : std::to_string(*written) + " Wünsche stehen in der Playlist.";
    });
    manager_.addAction("dj.refresh", [this](const json&) -> panel::PanelManager::Task<std::string> {
        store_.configureBridges();
        co_await store_.djManager().refreshBridgeStatuses();
        manager_.changed();
        co_return "Status der DJ-Software neu geprüft.";
    });
}

void SessionPanel::addCDJ() {
    manager_.addCard("cdj", [this]() -> std::optional<json> { return cdjLibraryCard(cdj_ ? cdj_->manager() : nullptr); });
}

}  // namespace fv::app
