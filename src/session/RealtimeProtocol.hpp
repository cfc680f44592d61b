#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/Json.hpp"
#include "session/Records.hpp"

namespace fv {

// Engine.IO 4 / Socket.IO text framing, free of sockets and clocks: the channel feeds each
// received frame in and carries out what comes back.
namespace realtime {

std::string webSocketURL(std::string_view baseUrl);  // empty when the base URL is not usable

struct Send {
    std::string text;
};
struct Connected {};     // "40": the namespace is joined; send the join frame next
struct ServerClosed {};  // "41"
struct SetTimings {
    std::chrono::milliseconds pingInterval;
    std::chrono::milliseconds pingTimeout;
};
// The server broke the protocol (for example timings no clock can hold): drop the connection.
struct ProtocolError {
    std::string reason;
};

struct RequestsUpdated {
    std::vector<MusicRequest> requests;
};
struct NewRequest {
    std::vector<MusicRequest> requests;
};
struct NewMessage {
    std::vector<GuestMessage> messages;
};
struct GuestCount {
    int64_t count;
};
struct NowPlaying {
    NowPlayingInfo info;
};
struct ObjectEvent {
    std::string name;  // preferences-updated, contest-updated, contest-winner, contest-entry, ad-show
    json object;
};
struct AdHide {};
// The account's plan or dedicated server changed; the program checks again.
struct PlanUpdated {};

using Event = std::variant<RequestsUpdated, NewRequest, NewMessage, GuestCount, NowPlaying, ObjectEvent, AdHide, PlanUpdated>;
using Action = std::variant<Send, Connected, ServerClosed, SetTimings, ProtocolError, Event>;

// The join frame for an event id.
std::string joinFrame(std::string_view eventId);

// What one received text frame asks for, in order. Malformed frames, unknown events and
// undecodable payloads give nothing.
std::vector<Action> handleFrame(std::string_view text);

// Decodes the "42" event frame on its own; nothing when it is dropped.
std::optional<Event> decodeEvent(std::string_view payloadAfter42);

// The reconnect delay after `attempts` consecutive failures (1, 2, 4, 8, 10, 10 ... seconds).
std::chrono::seconds reconnectDelay(int attempts);

}  // namespace realtime
}  // namespace fv
