// floorvote run (the live session with terminal commands) and the one-shot actions
// confirm, decline, played, reply, broadcast, online, offline.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <csignal>
#include <iostream>
#include <sstream>

#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "app/CommandSupport.hpp"
#include "app/ExportSupport.hpp"
#include "app/SessionCDJ.hpp"
#include "app/SessionOverlay.hpp"
#include "app/SessionPanel.hpp"
#include "app/Commands.hpp"
#include "core/ErrorText.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "platform/Notifier.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"
#include "session/AppStore.hpp"
#include "session/AuthStore.hpp"
#include "session/PlanStore.hpp"

namespace fv::app {
namespace {

// Arrivals show in the terminal as well as on the desktop.
class TerminalNotifier : public Notifier {
public:
    explicit TerminalNotifier(std::shared_ptr<Notifier> desktop) : desktop_(std::move(desktop)) {
        // Without a desktop service the fallback would only print the same line again.
        if (dynamic_cast<ConsoleNotifier*>(desktop_.get())) desktop_.reset();
    }
    void notify(const std::string& title, const std::string& body, bool withSound) override {
        say("🔔 " + title + ": " + body);
        if (desktop_) desktop_->notify(title, body, withSound);
    }

private:
    std::shared_ptr<Notifier> desktop_;
};

std::string requestLine(const MusicRequest& r) {
    return fmt::format("#{}  {} – {}  [{}]  {} {}", r.id, r.artist, r.title, statusLabel(r.status), r.voteCount,
                       r.voteCount == 1 ? "Stimme" : "Stimmen");
}

void printRequests(const std::string& heading, const std::vector<MusicRequest>& list) {
    say(fmt::format("{} ({}):", heading, list.size()));
    for (const auto& r : list) say("  " + requestLine(r));
}

void printMessages(const std::vector<GuestMessage>& list) {
    say(fmt::format("Nachrichten ({}):", list.size()));
    for (const auto& m : list)
        say(fmt::format("  #{}  {}{}: {}", m.id, m.isDjReply ? "DJ" : (m.guestName.empty() ? "Gast" : m.guestName),
                        m.isRead ? "" : " (neu)", m.content));
}

const char* kHelp =
    "Befehle:\n"
    "  offen                 offene Wünsche (nach Stimmen)\n"
    "  queue                 bestätigte Wünsche in Reihenfolge\n"
    "  top                   die meistgewünschten Titel\n"
    "  ok ID...              Wünsche bestätigen\n"
    "  nein ID...            Wünsche ablehnen\n"
    "  gespielt ID...        Wünsche als gespielt markieren\n"
    "  nachrichten           Nachrichten anzeigen\n"
    "  antwort ID TEXT       einer Nachricht antworten\n"
    "  löschen ID... | alle  Nachrichten löschen\n"
    "  rundruf TEXT          Nachricht an alle Gäste\n"
    "  online | offline      Event für Gäste öffnen oder schließen\n"
    "  laden ID DECK         Titel eines Wunschs auf ein VirtualDJ-Deck laden\n"
    "  export ZIEL NAME      bestätigte Wünsche als Playlist exportieren (rekordbox, serato,\n"
    "                        virtualdj, mixxx, spotify, applemusic)\n"
    "  status                Verbindung und Zähler\n"
    "  hilfe                 diese Liste\n"
    "  ende                  beenden";

std::vector<int64_t> parseIds(std::istringstream& in, std::string& bad) {
    std::vector<int64_t> ids;
    std::string word;
    while (in >> word) {
        if (!word.empty() && word[0] == '#') word.erase(0, 1);
        try {
            size_t used = 0;
            long long v = std::stoll(word, &used);
            if (used != word.size()) throw std::invalid_argument(word);
            ids.push_back(v);
        } catch (const std::exception&) {
            bad = word;
            return {};
        }
    }
    return ids;
}

std::string restOf(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    size_t start = rest.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : rest.substr(start);
}

const char* doneWord(RequestStatus s) {
    switch (s) {
        case RequestStatus::confirmed: return "Bestätigt";
        case RequestStatus::declined: return "Abgelehnt";
        case RequestStatus::played: return "Gespielt";
        default: return "Geändert";
    }
}

// Carries out one status change for several ids and reports each one; false if any failed.
asio::awaitable<bool> changeStatus(AppStore& store, RequestStatus status, std::vector<int64_t> ids) {
    std::vector<ActionFailure> failures;
    if (status == RequestStatus::confirmed) failures = co_await store.confirm(ids);
    else if (status == RequestStatus::declined) failures = co_await store.decline(ids);
    else failures = co_await store.markPlayed(ids);
    for (int64_t id : ids) {
        auto f = std::find_if(failures.begin(), failures.end(), [&](const ActionFailure& a) { return a.id == id; });
        if (f == failures.end()) say(fmt::format("{}: #{}", doneWord(status), id));
        else complain(fmt::format("#{}: {}", id, germanError(f->error)));
    }
    co_return failures.empty();
}

class RunSession {
public:
    RunSession()
        : notifier_(std::make_shared<TerminalNotifier>(Notifier::makeDefault())),
          store_(APIClient::shared(), notifier_, dj_),
          overlay_(store_, APIClient::shared()),
          cdj_(store_),
          panel_(store_, overlay_, &cdj_) {}

    int run() {
        auto& loop = MainLoop::shared();
        asio::signal_set signals(loop.context(), SIGINT, SIGTERM);
        signals.async_wait([this](const boost::system::error_code& ec, int sig) {
            if (ec) return;
            logLine("App", sig == SIGINT ? "Ctrl-C — stopping" : "SIGTERM — stopping");
            stop_ = true;
        });

        // The panel is there from the start, so it shows the connection being made.
        panel_.start();
        channelWatch_ = store_.observe([this] { reportChannel(); });
        spawnOnMain(start(), "run");
        if (isatty(STDIN_FILENO)) readTerminal();
        while (!stop_) loop.runUntil([this] { return stop_; }, std::chrono::hours(1));

        channelWatch_.reset();
        panel_.stop();
        cdj_.stop();
        overlay_.stop();
        store_.shutdown();
        // Every settings change was saved when it was made; nothing is left to write.
        loop.runUntil([] { return false; }, std::chrono::milliseconds(100));
        say("Floorvote beendet.");
        return exitCode_;
    }

private:
    asio::awaitable<void> start() {
        auto& auth = AuthStore::shared();
        co_await auth.restoreSession();
        if (auth.state() == AuthStore::State::authenticated) {
            // The account may have been moved to a dedicated server (or back) since the last start.
            co_await checkPlan();
            if (stop_) co_return;
        }
        AppSettings s = AppSettings::load();
        if (auth.state() != AuthStore::State::authenticated && s.djPin.empty()) {
            complain(auth.serverUnreachable()
                         ? "Server nicht erreichbar; die gespeicherte Anmeldung bleibt erhalten. Bitte später erneut starten."
                         : "Nicht angemeldet. Bitte zuerst „floorvote login E-MAIL“ ausführen.");
            exitCode_ = 1;
            stop_ = true;
            co_return;
        }
        if (s.activeEventId.empty()) {
            complain("Kein aktives Event ausgewählt. Bitte zuerst „floorvote use EVENT_ID“ ausführen.");
            exitCode_ = 1;
            stop_ = true;
            co_return;
        }
        store_.webSocket.onPlanUpdated = [this] { spawnOnMain(checkPlan(), "plan"); };
        co_await store_.connectToEvent();
        if (store_.connectionError()) {
            complain("Verbindung fehlgeschlagen: " + germanError(*store_.connectionError()));
            exitCode_ = 1;
            stop_ = true;
            co_return;
        }
        overlay_.start();
        cdj_.start();
        say(fmt::format("Verbunden mit „{}“: {} offene, {} bestätigte Wünsche, {} Nachrichten.",
                        store_.event() ? store_.event()->eventName : s.activeEventId, store_.requestStore.pending().size(),
                        store_.requestStore.queue().size(), store_.messageStore.messages().size()));
        if (isatty(STDIN_FILENO)) say("„hilfe“ zeigt die Befehle.");
    }

    // A change of server ends the session: the events of one server are not those of the other.
    asio::awaitable<void> checkPlan() {
        const std::string before = AppSettings::load().serverURL();
        co_await PlanStore::shared().refresh();
        const std::string now = AppSettings::load().serverURL();
        if (now == before) co_return;
        if (AppSettings::dedicatedOverride())
            complain("Dein Konto arbeitet jetzt auf einem eigenen Server (" + now +
                     "). Bitte dort ein Event wählen („floorvote events“, „floorvote use EVENT_ID“) und neu starten.");
        else
            complain("Dein Konto arbeitet wieder mit dem Hauptserver (" + now + "). " +
                     (AuthStore::shared().state() == AuthStore::State::authenticated
                          ? "Bitte neu starten."
                          : "Bitte neu anmelden („floorvote login E-MAIL“)."));
        stop_ = true;
    }

    // Lines are read on the main loop through the descriptor itself: a thread blocked in stdio
    // would hold the stdin lock that exit() takes to flush.
    void readTerminal() { spawnOnMain(readLines(), "terminal"); }

    asio::awaitable<void> readLines() {
        asio::posix::stream_descriptor in(MainLoop::shared().context(), ::dup(STDIN_FILENO));
        std::string buffer;
        for (;;) {
            boost::system::error_code ec;
            size_t n = co_await asio::async_read_until(in, asio::dynamic_buffer(buffer), '\n',
                                                       asio::redirect_error(asio::use_awaitable, ec));
            if (ec) break;
            std::string line = buffer.substr(0, n - 1);
            buffer.erase(0, n);
            spawnOnMain(handle(line), "command");
        }
        stop_ = true;
    }

    asio::awaitable<void> handle(std::string line) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (confirmation_) {
            // The answer to a question asked before something that cannot be undone.
            auto act = std::move(confirmation_);
            confirmation_ = nullptr;
            if (cmd == "ja" || cmd == "j" || cmd == "yes" || cmd == "y") {
                try {
                    co_await act();
                } catch (const std::exception& e) {
                    complain("Fehler: " + germanError(e.what()));
                }
            } else {
                say("Abgebrochen, nichts gelöscht.");
            }
            co_return;
        }
        if (cmd.empty()) co_return;
        try {
            if (cmd == "hilfe" || cmd == "help") {
                say(kHelp);
            } else if (cmd == "ende" || cmd == "quit" || cmd == "exit") {
                stop_ = true;
            } else if (cmd == "offen" || cmd == "pending") {
                printRequests("Offene Wünsche", store_.requestStore.pending());
            } else if (cmd == "queue" || cmd == "warteschlange") {
                printRequests("Bestätigte Wünsche", store_.requestStore.queue());
            } else if (cmd == "top") {
                printRequests("Meiste Stimmen", store_.requestStore.topVotes());
            } else if (cmd == "ok" || cmd == "confirm" || cmd == "nein" || cmd == "decline" || cmd == "gespielt" ||
                       cmd == "played") {
                std::string bad;
                auto ids = parseIds(in, bad);
                RequestStatus status = (cmd == "ok" || cmd == "confirm")    ? RequestStatus::confirmed
                                       : (cmd == "nein" || cmd == "decline") ? RequestStatus::declined
                                                                             : RequestStatus::played;
                if (!bad.empty()) complain("Keine gültige ID: " + bad);
                else if (ids.empty()) complain("Bitte mindestens eine ID angeben, z. B. „" + cmd + " 12“.");
                else (void)co_await changeStatus(store_, status, ids);
            } else if (cmd == "nachrichten" || cmd == "messages") {
                printMessages(store_.messageStore.messages());
            } else if (cmd == "antwort" || cmd == "reply") {
                std::string bad;
                int64_t id = 0;
                std::string idText;
                in >> idText;
                std::istringstream idIn(idText);
                auto ids = parseIds(idIn, bad);
                std::string text = restOf(in);
                if (ids.size() != 1 || text.empty()) {
                    complain("Aufruf: antwort NACHRICHTEN-ID TEXT");
                } else {
                    id = ids[0];
                    co_await store_.reply(id, text);
                    say(fmt::format("Antwort auf #{} gesendet.", id));
                }
            } else if (cmd == "löschen" || cmd == "delete") {
                std::string rest = restOf(in);
                if (rest == "alle" || rest == "all") {
                    say(fmt::format("Wirklich alle {} Nachrichten löschen? (ja/nein)", store_.messageStore.messages().size()));
                    confirmation_ = [this]() -> asio::awaitable<void> {
                        co_await store_.deleteAllMessages();
                        say("Alle Nachrichten gelöscht.");
                    };
                } else {
                    std::string bad;
                    std::istringstream idsIn(rest);
                    auto ids = parseIds(idsIn, bad);
                    if (!bad.empty()) complain("Keine gültige ID: " + bad);
                    else if (ids.empty()) complain("Aufruf: löschen NACHRICHTEN-ID… oder löschen alle");
                    else
                        for (int64_t id : ids) {
                            co_await store_.deleteMessage(id);
                            say(fmt::format("Nachricht #{} gelöscht.", id));
                        }
                }
            } else if (cmd == "rundruf" || cmd == "broadcast") {
                std::string text = restOf(in);
                if (text.empty()) {
                    complain("Aufruf: rundruf TEXT");
                } else {
                    co_await store_.broadcast(text);
                    say("Rundruf gesendet.");
                }
            } else if (cmd == "online") {
                co_await store_.setEventOnline();
                say(store_.event() && store_.event()->isActive ? "Event ist online." : "Event konnte nicht online gehen.");
            } else if (cmd == "offline") {
                co_await store_.setEventOffline();
                say(store_.event() && !store_.event()->isActive ? "Event ist offline." : "Event konnte nicht offline gehen.");
            } else if (cmd == "laden" || cmd == "load") {
                std::string bad;
                auto args = parseIds(in, bad);
                if (!bad.empty() || args.size() != 2) {
                    complain("Aufruf: laden WUNSCH-ID DECK, z. B. „laden 12 1“");
                } else if (const MusicRequest* r = store_.requestStore.find(args[0]); !r) {
                    complain(fmt::format("Wunsch #{} nicht gefunden.", args[0]));
                } else {
                    MusicRequest request = *r;
                    std::string eventId = store_.event() ? store_.event()->id : "";
                    std::vector<Track> tracks = store_.cachedTracks();
                    bool ok = co_await dj_.loadTrackToDeck(eventId, request.trackId, tracks, int(args[1]));
                    if (ok)
                        say(fmt::format("Wunsch #{} ({} – {}) auf Deck {} geladen.", request.id, request.artist,
                                        request.title, args[1]));
                    else
                        complain(dj_.lastError().value_or("Der Titel konnte nicht geladen werden."));
                }
            } else if (cmd == "export") {
                std::string target, name;
                in >> target;
                std::getline(in, name);
                while (!name.empty() && name.front() == ' ') name.erase(name.begin());
                auto software = djSoftwareTypeFromRaw(target);
                if (!software || name.empty()) {
                    complain("Aufruf: export ZIEL NAME, z. B. „export serato Sommerfest“");
                } else {
                    auto tracks = tracksOfRequests(store_.requestStore.queue(), store_.cachedTracks(), "confirmed");
                    auto result = co_await exportWithSettings(tracks, *software, name, std::nullopt);
                    if (result.error && result.exported == 0) complain(result.summary());
                    else say(result.summary());
                }
            } else if (cmd == "status") {
                const char* states[] = {"getrennt", "verbindet", "verbunden", "Fehler"};
                auto& st = store_.webSocket.state();
                say(fmt::format("Echtzeitkanal: {}{}; {} offene, {} bestätigte Wünsche; {} Gäste.",
                                states[int(st.kind)], st.message.empty() ? "" : " (" + st.message + ")",
                                store_.requestStore.pending().size(), store_.requestStore.queue().size(),
                                store_.guestCount()));
            } else {
                complain("Unbekannter Befehl: " + cmd + " („hilfe“ zeigt alle Befehle)");
            }
        } catch (const std::exception& e) {
            complain("Fehler: " + germanError(e.what()));
        }
    }

    // The DJ hears of the realtime channel dropping and coming back.
    void reportChannel() {
        auto kind = store_.webSocket.state().kind;
        if (kind == channelKind_) return;
        auto before = channelKind_;
        channelKind_ = kind;
        if (kind == ConnectionState::Kind::connected) {
            if (channelLost_) say("Echtzeitkanal wieder verbunden.");
            channelLost_ = false;
        } else if (kind == ConnectionState::Kind::error && before == ConnectionState::Kind::connected) {
            channelLost_ = true;
            say("Echtzeitkanal unterbrochen – verbinde neu …");
        }
    }

    DJSoftwareManager dj_;
    std::function<asio::awaitable<void>()> confirmation_;
    std::shared_ptr<void> channelWatch_;
    ConnectionState::Kind channelKind_ = ConnectionState::Kind::disconnected;
    bool channelLost_ = false;
    std::shared_ptr<Notifier> notifier_;
    AppStore store_;
    SessionOverlay overlay_;
    SessionCDJ cdj_;
    SessionPanel panel_;
    bool stop_ = false;
    int exitCode_ = 0;
};

}  // namespace

int runLiveSession() {
    RunSession session;
    return session.run();
}

namespace {

// One-shot actions: log in, act on the active event, report.
void oneShotStatus(RequestStatus status, const std::vector<int64_t>& ids) {
    start();
    requireLogin();
    activeEventOrFail();
    DJSoftwareManager dj;
    AppStore store(APIClient::shared(), nullptr, dj);
    if (!await(changeStatus(store, status, ids))) throw CommandFailed{1, ""};
}

void addStatusCommand(CLI::App& root, const char* name, const char* help, RequestStatus status) {
    auto ids = std::make_shared<std::vector<int64_t>>();
    auto* c = root.add_subcommand(name, help);
    c->add_option("ID", *ids, "Wunsch-IDs")->required();
    c->callback([ids, status] { oneShotStatus(status, *ids); });
}

const CommandRegistrar reg(40, [](CLI::App& root) {
    root.add_subcommand("run", "Live-Sitzung: mit dem aktiven Event verbinden und Wünsche verfolgen")->callback([] {
        AppSettings::migrateIfNeeded();
        int code = runLiveSession();
        if (code != 0) throw CommandFailed{code, ""};
    });

    addStatusCommand(root, "confirm", "Wünsche bestätigen", RequestStatus::confirmed);
    addStatusCommand(root, "decline", "Wünsche ablehnen", RequestStatus::declined);
    addStatusCommand(root, "played", "Wünsche als gespielt markieren", RequestStatus::played);

    static int64_t replyId = 0;
    static std::string replyText, broadcastText;
    auto* reply = root.add_subcommand("reply", "Einer Gastnachricht antworten");
    reply->add_option("MESSAGE_ID", replyId, "Nachrichten-ID")->required();
    reply->add_option("TEXT", replyText, "Antworttext")->required();
    reply->callback([] {
        start();
        requireLogin();
        activeEventOrFail();
        DJSoftwareManager dj;
        AppStore store(APIClient::shared(), nullptr, dj);
        call(store.reply(replyId, replyText));
        say(fmt::format("Antwort auf #{} gesendet.", replyId));
    });
    auto* broadcast = root.add_subcommand("broadcast", "Nachricht an alle Gäste des aktiven Events");
    broadcast->add_option("TEXT", broadcastText, "Text")->required();
    broadcast->callback([] {
        start();
        requireLogin();
        std::string id = activeEventOrFail();
        call(APIClient::shared().broadcast(id, broadcastText));
        say("Rundruf gesendet.");
    });
    for (bool online : {true, false}) {
        root.add_subcommand(online ? "online" : "offline",
                            online ? "Das aktive Event für Gäste öffnen" : "Das aktive Event für Gäste schließen")
            ->callback([online] {
                start();
                requireLogin();
                std::string id = activeEventOrFail();
                call(APIClient::shared().setEventActive(id, online));
                say(online ? "Event ist online." : "Event ist offline.");
            });
    }
});

}  // namespace
}  // namespace fv::app
