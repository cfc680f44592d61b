// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "panel/PanelManager.hpp"

#include <algorithm>

#include "core/ErrorText.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "session/AppStore.hpp"

namespace fv::panel {

namespace {

constexpr std::string_view component = "Panel";

json idList(const std::vector<MusicRequest>& list) {
    json a = json::array();
    for (const auto& r : list) a.push_back(r.id);
    return a;
}

const char* statusWord(RequestStatus s) {
    switch (s) {
        case RequestStatus::pending: return "offen";
        case RequestStatus::confirmed: return "bestätigt";
        case RequestStatus::declined: return "abgelehnt";
        case RequestStatus::played: return "gespielt";
    }
    return "";
}

json templates(const std::vector<ReplyTemplate>& list) {
    json a = json::array();
    for (const auto& t : list)
        if (!t.text.empty()) a.push_back(t.text);
    return a;
}

}  // namespace

PanelManager::PanelManager(AppStore& store, PanelServer::Limits limits) : store_(store), server_(limits) {
    server_.onOpen = [this](uint64_t tab) { opened(tab); };
    server_.onMessage = [this](uint64_t tab, const std::string& text) { received(tab, text); };
}

PanelManager::~PanelManager() {
    *alive_ = false;
    stop();
}

bool PanelManager::start(uint16_t port) {
    if (!server_.start(port)) return false;
    tracker_.reset();
    (void)tracker_.update(snapshot());
    observation_ = store_.observe([this] { flushSoon(); });
    return true;
}

void PanelManager::stop() {
    observation_.reset();
    server_.stop();
}

void PanelManager::addCard(std::string id, Card card) {
    cards_.emplace_back(std::move(id), std::move(card));
    changed();
}

void PanelManager::addAction(std::string name, Action action) { actions_[std::move(name)] = std::move(action); }

void PanelManager::changed() { flushSoon(); }

void PanelManager::flushSoon() {
    // Many changes in one turn of the loop (a reload, a burst of votes) go out as one message.
    if (flushQueued_ || !server_.isRunning()) return;
    flushQueued_ = true;
    std::weak_ptr<bool> alive = alive_;
    MainLoop::shared().post([this, alive] {
        if (alive.expired()) return;
        flushQueued_ = false;
        flush();
    });
}

void PanelManager::flush() {
    if (!server_.isRunning()) return;
    if (auto update = tracker_.update(snapshot())) server_.broadcast(*update);
}

json PanelManager::cards() const {
    json list = json::array();
    for (const auto& [id, card] : cards_) {
        std::optional<json> c;
        try {
            c = card();
        } catch (const std::exception& e) {
            logf(component, "card {} failed: {}", id, e.what());
        }
        if (!c || !c->is_object()) continue;
        (*c)["id"] = id;
        list.push_back(std::move(*c));
    }
    return list;
}

PanelStateTracker::Snapshot PanelManager::snapshot() const {
    PanelStateTracker::Snapshot s;
    const auto& ev = store_.event();
    const AppSettings& settings = store_.settings();
    s.sections["event"] = {
        {"id", ev ? ev->id : settings.activeEventId},
        {"name", ev ? ev->eventName : ""},
        {"djName", ev && !ev->djName.empty() ? ev->djName : settings.djName},
        {"online", ev && ev->isActive},
        {"loaded", ev.has_value()},
        {"connecting", store_.isConnecting()},
        {"connectionError", store_.connectionError() ? germanError(*store_.connectionError()) : ""},
    };
    const auto& channel = store_.webSocket.state();
    s.sections["channel"] = {{"state", static_cast<int>(channel.kind)},
                             {"label", channelStateLabel(static_cast<int>(channel.kind))},
                             {"message", germanError(channel.message)}};

    json nowPlaying = nullptr;
    if (ev && ev->nowPlaying && !ev->nowPlaying->trackTitle.empty()) {
        auto [up, down] = store_.messageStore.voteTally(ev->nowPlaying->trackTitle);
        nowPlaying = {{"title", ev->nowPlaying->trackTitle},
                      {"artist", ev->nowPlaying->trackArtist},
                      {"up", up},
                      {"down", down}};
    }
    s.sections["nowPlaying"] = nowPlaying;

    const auto& rs = store_.requestStore;
    auto pending = rs.pending(), queue = rs.queue(), declined = rs.declined(), played = rs.played();
    const auto& stats = store_.stats();
    int64_t votes = 0;
    for (const auto& r : rs.requests()) votes += r.voteCount;
    s.sections["counts"] = {{"guests", store_.guestCount()},
                            {"pending", pending.size()},
                            {"confirmed", queue.size()},
                            {"declined", declined.size()},
                            {"played", played.size()},
                            {"votes", votes},
                            {"messages", store_.messageStore.messages().size()},
                            {"unread", store_.messageStore.unread().size()},
                            {"uniqueGuests", stats.uniqueGuests}};
    json messageOrder = json::array();
    for (const auto& m : store_.messageStore.messages()) messageOrder.push_back(m.id);
    s.sections["lists"] = {{"pending", idList(pending)},   {"queue", idList(queue)},
                           {"top", idList(rs.topVotes())}, {"declined", idList(declined)},
                           {"played", idList(played)},     {"messages", std::move(messageOrder)}};
    s.sections["templates"] = {{"reply", templates(settings.replyTemplates)},
                               {"broadcast", templates(settings.broadcastTemplates)}};
    s.sections["cards"] = cards();
    s.requests = rs.requests();
    s.messages = store_.messageStore.messages();
    return s;
}

void PanelManager::opened(uint64_t tab) {
    // The tab starts from everything as it stands now; the others get what changed meanwhile.
    flush();
    server_.sendTo(tab, tracker_.full());
}

void PanelManager::received(uint64_t tab, const std::string& text) {
    PanelCommand command;
    try {
        command = decodeCommand(text);
    } catch (const PanelCommandError& e) {
        logf(component, "unreadable message from a panel tab: {}", e.what());
        server_.sendTo(tab, e.req() ? resultMessage(e.req(), false, e.what()) : errorMessage(e.what()));
        return;
    }
    spawnOnMain(carryOut(tab, std::move(command)), "panel command");
}

PanelManager::Task<std::string> PanelManager::changeStatus(const PanelCommand& c,
                                                           std::vector<std::pair<int64_t, std::string>>& failures) {
    const RequestStatus target = c.kind == PanelCommand::Kind::confirm   ? RequestStatus::confirmed
                                 : c.kind == PanelCommand::Kind::decline ? RequestStatus::declined
                                                                         : RequestStatus::played;
    std::vector<int64_t> todo;
    size_t already = 0;
    for (int64_t id : c.ids) {
        const MusicRequest* r = store_.requestStore.find(id);
        if (!r) {
            failures.emplace_back(id, "Wunsch #" + std::to_string(id) + " gibt es nicht (mehr).");
        } else if (r->status == target || inFlight_.count(id)) {
            // A second click, or another tab was quicker: nothing more to do.
            ++already;
        } else {
            todo.push_back(id);
        }
    }
    if (todo.empty()) co_return failures.empty() ? std::string("Schon erledigt.") : std::string();
    for (int64_t id : todo) inFlight_.insert(id);
    auto alive = alive_;
    std::vector<ActionFailure> failed;
    try {
        if (target == RequestStatus::confirmed) failed = co_await store_.confirm(todo);
        else if (target == RequestStatus::declined) failed = co_await store_.decline(todo);
        else failed = co_await store_.markPlayed(todo);
    } catch (...) {
        if (*alive)
            for (int64_t id : todo) inFlight_.erase(id);
        throw;
    }
    if (!*alive) co_return std::string();
    for (int64_t id : todo) inFlight_.erase(id);
    for (const auto& f : failed) failures.emplace_back(f.id, "#" + std::to_string(f.id) + ": " + germanError(f.error));
    const size_t done = todo.size() - failed.size();
    co_return done == 0 ? std::string()
                        : (done == 1 ? std::string("1 Wunsch ") : std::to_string(done) + " Wünsche ") + statusWord(target) +
                              ".";
}

void PanelManager::requireMessage(int64_t id) const {
    const auto& list = store_.messageStore.messages();
    if (std::none_of(list.begin(), list.end(), [&](const GuestMessage& m) { return m.id == id; }))
        throw std::runtime_error("Die Nachricht gibt es nicht (mehr).");
}

PanelManager::Task<void> PanelManager::carryOut(uint64_t tab, PanelCommand c) {
    auto alive = alive_;
    bool ok = true;
    std::string text;
    std::vector<std::pair<int64_t, std::string>> failures;
    try {
        switch (c.kind) {
            case PanelCommand::Kind::confirm:
            case PanelCommand::Kind::decline:
            case PanelCommand::Kind::played:
                text = co_await changeStatus(c, failures);
                ok = failures.empty();
                break;
            case PanelCommand::Kind::reply:
                requireMessage(c.messageId);
                co_await store_.reply(c.messageId, c.text);
                text = "Antwort gesendet.";
                break;
            case PanelCommand::Kind::deleteMessage:
                // The service answers success for any id; "deleted" for one that was not there would be a lie.
                requireMessage(c.messageId);
                co_await store_.deleteMessage(c.messageId);
                text = "Nachricht gelöscht.";
                break;
            case PanelCommand::Kind::deleteAllMessages:
                co_await store_.deleteAllMessages();
                text = "Alle Nachrichten gelöscht.";
                break;
            case PanelCommand::Kind::broadcast:
                co_await store_.broadcast(c.text);
                text = "Rundruf gesendet.";
                break;
            case PanelCommand::Kind::online:
                if (!store_.event()) throw std::runtime_error("Noch nicht mit dem Event verbunden.");
                if (c.on) co_await store_.setEventOnline();
                else co_await store_.setEventOffline();
                if (!*alive) co_return;
                // The store keeps the old state when the service refused; its reason is in the log.
                ok = store_.event() && store_.event()->isActive == c.on;
                text = ok ? (c.on ? "Event ist online." : "Event ist offline.")
                          : (c.on ? "Das Event konnte nicht online gehen (Einzelheiten im Protokoll)."
                                  : "Das Event konnte nicht offline gehen (Einzelheiten im Protokoll).");
                break;
            case PanelCommand::Kind::action: {
                auto it = actions_.find(c.action);
                if (it == actions_.end()) throw std::runtime_error("Diese Aktion gibt es hier nicht: " + c.action);
                Action action = it->second;
                text = co_await action(c.args);
                break;
            }
        }
    } catch (const std::exception& e) {
        ok = false;
        text = germanError(e.what());
    }
    if (!*alive) co_return;
    // The new state first, so the answer never arrives before the lists that it speaks of.
    flush();
    server_.sendTo(tab, resultMessage(c.req, ok, text, failures));
}

}  // namespace fv::panel
