#pragma once
// What the control panel page and the program say to each other over the panel's WebSocket, as
// pure code: decoding the page's commands (untrusted input) and building the program's messages.
//
// Page to program, one JSON object per text message; "req" is the page's number for the answer:
//   {"t":"confirm"|"decline"|"played", "req":1, "ids":[12, 13]}
//   {"t":"reply", "req":2, "messageId":5, "text":"Kommt gleich!"}
//   {"t":"deleteMessage", "req":3, "messageId":5}      {"t":"deleteAllMessages", "req":4}
//   {"t":"broadcast", "req":5, "text":"Letzte Runde!"} {"t":"online", "req":6, "on":true}
//   {"t":"action", "req":7, "name":"overlay.showAd", "args":{"id":"ad-1"}}
// Program to page:
//   {"t":"state", "full":true|false, "sections":{...}, "requests":{"upsert":[...], "remove":[ids]},
//    "messages":{"upsert":[...], "remove":[ids]}}
//   {"t":"result", "req":1, "ok":false, "text":"…", "failures":[{"id":13, "text":"…"}]}
//   {"t":"error", "text":"…"}                           (a message that could not be understood)
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/Json.hpp"
#include "session/Records.hpp"

namespace fv::panel {

// Limits on what the page may send; a real page stays far below them.
inline constexpr size_t maxCommandBytes = 16 * 1024;
inline constexpr size_t maxIdsPerCommand = 500;
inline constexpr size_t maxTextBytes = 2000;
inline constexpr size_t maxActionNameBytes = 64;

struct PanelCommand {
    enum class Kind { confirm, decline, played, reply, deleteMessage, deleteAllMessages, broadcast, online, action };
    Kind kind = Kind::confirm;
    int64_t req = 0;
    std::vector<int64_t> ids;  // confirm, decline, played: positive, each once, in the page's order
    int64_t messageId = 0;     // reply, deleteMessage
    std::string text;          // reply, broadcast: trimmed, not empty
    bool on = false;           // online
    std::string action;        // action: its registered name
    json args = json::object();  // action: an object
};

// A command the page sent that cannot be carried out as it stands. The text is German, for the
// panel; req is the page's number when it could be read (0 otherwise).
class PanelCommandError : public std::runtime_error {
public:
    PanelCommandError(std::string text, int64_t req) : std::runtime_error(std::move(text)), req_(req) {}
    int64_t req() const { return req_; }

private:
    int64_t req_;
};

// Decodes one message of the page. Throws PanelCommandError for anything malformed: not JSON, not
// an object, too large, an unknown "t", a missing or mistyped field, ids that are not positive
// integers, empty or overlong texts, invalid UTF-8.
PanelCommand decodeCommand(std::string_view message);

// The page's form of the records (only what the panel shows).
json requestForPanel(const MusicRequest& r);
json messageForPanel(const GuestMessage& m);

// German label of a connection state of the realtime channel.
const char* channelStateLabel(int kind);

// The answer to one command.
std::string resultMessage(int64_t req, bool ok, const std::string& text = {},
                          const std::vector<std::pair<int64_t, std::string>>& failures = {});
std::string errorMessage(const std::string& text);

// Keeps what the pages were last sent and works out what changed: sections whole, requests and
// messages by id. Pure bookkeeping; the caller builds the current values.
class PanelStateTracker {
public:
    struct Snapshot {
        json sections = json::object();  // name -> value
        std::vector<MusicRequest> requests;
        std::vector<GuestMessage> messages;
    };

    // The message for the pages that already have the last state; nothing when nothing changed.
    // The tracker then holds `now` as the last state.
    std::optional<std::string> update(const Snapshot& now);
    // The whole last state, for a page that has just connected.
    std::string full() const;
    // Forgets everything (the next update is a complete one).
    void reset();

private:
    std::map<std::string, std::string> sections_;                // name -> compact JSON
    std::map<int64_t, std::string> requests_, messages_;         // id -> compact JSON of the record
    json sectionValues_ = json::object();
};

}  // namespace fv::panel
