#pragma once
// The control panel of the live session: serves the page (PanelServer), pushes what the session
// shows to every open tab as it changes and carries out what the DJ taps. Main loop only.
//
// The panel grows with the program: a subsystem that has something to show adds a card, and the
// buttons on it name actions it registers. A card is plain data, rendered by the page as text:
//   {"id": "djsoftware", "title": "DJ-Software",
//    "rows": [["Aktiv", "rekordbox"], ["Playlist", "gefunden"]],
//    "lists": [{"title": "Decks", "items": ["1: Titel – Künstler (on air)"]}],
//    "actions": [{"name": "overlay.showAd", "label": "Werbung zeigen",
//                 "choices": [{"value": "ad-1", "label": "Happy Hour"}]}]}
// A card producer returns nothing while its subsystem is not there; changed() tells the panel to
// look again. Wiring a subsystem in:
//   panel.addCard("cdj", [&]() -> std::optional<json> { return cdjCard(manager); });
//   panel.addAction("cdj.restart", [&](const json& args) -> Task<std::string> { ...; co_return "Neu gestartet."; });
//   manager.onChange = [&] { panel.changed(); };
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/Json.hpp"
#include "panel/PanelProtocol.hpp"
#include "panel/PanelServer.hpp"

namespace fv {
class AppStore;
}

namespace fv::panel {

class PanelManager {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;
    using Card = std::function<std::optional<json>()>;
    // Carries out an action; the text it returns is shown to the DJ, a thrown error too.
    using Action = std::function<Task<std::string>(const json& args)>;

    PanelManager(AppStore& store, PanelServer::Limits limits = {});
    ~PanelManager();
    PanelManager(const PanelManager&) = delete;
    PanelManager& operator=(const PanelManager&) = delete;

    // Starts the server; false with lastError() when the port is taken.
    bool start(uint16_t port);
    void stop();
    PanelServer& server() { return server_; }
    const std::string& lastError() const { return server_.lastError(); }

    void addCard(std::string id, Card card);
    void addAction(std::string name, Action action);
    // Something a card shows changed; the tabs get the new state on the next turn of the loop.
    void changed();

    // The state as the pages see it (also for tests).
    PanelStateTracker::Snapshot snapshot() const;

private:
    void flushSoon();
    void flush();
    void opened(uint64_t tab);
    void received(uint64_t tab, const std::string& text);
    Task<void> carryOut(uint64_t tab, PanelCommand command);
    Task<std::string> changeStatus(const PanelCommand& c, std::vector<std::pair<int64_t, std::string>>& failures);
    json cards() const;
    // Throws the German error for a message the session does not hold.
    void requireMessage(int64_t id) const;

    AppStore& store_;
    PanelServer server_;
    PanelStateTracker tracker_;
    std::vector<std::pair<std::string, Card>> cards_;
    std::map<std::string, Action> actions_;
    std::set<int64_t> inFlight_;  // requests whose change is on its way to the service
    bool flushQueued_ = false;
    std::shared_ptr<void> observation_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace fv::panel
