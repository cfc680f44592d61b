#include "session/RealtimeProtocol.hpp"

#include <algorithm>

namespace fv::realtime {
namespace {
bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
}  // namespace

std::string webSocketURL(std::string_view base) {
    std::string rest;
    std::string scheme;
    if (startsWith(base, "https://")) {
        scheme = "wss://";
        rest = base.substr(8);
    } else if (startsWith(base, "http://")) {
        scheme = "ws://";
        rest = base.substr(7);
    } else {
        return {};
    }
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    // A host is needed, and nothing that would break the request line.
    if (rest.empty() || rest.front() == '/' ||
        std::any_of(rest.begin(), rest.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; }))
        return {};
    return scheme + rest + "/ws/?EIO=4&transport=websocket";
}

std::string joinFrame(std::string_view eventId) {
    // The id goes through the JSON encoder so quotes or backslashes in it cannot break the frame.
    return "42[\"join-dj\"," + json{{"eventId", std::string(eventId)}}.dump(-1, ' ', false, json::error_handler_t::replace) + "]";
}

std::optional<Event> decodeEvent(std::string_view text) {
    json frame;
    try {
        frame = json::parse(text);
    } catch (const json::exception&) {
        return std::nullopt;
    }
    if (!frame.is_array() || frame.empty() || !frame[0].is_string()) return std::nullopt;
    const std::string name = frame[0].get<std::string>();
    const json* payload = frame.size() > 1 ? &frame[1] : nullptr;
    try {
        if (name == "ad-hide") return AdHide{};
        if (name == "plan-updated") return PlanUpdated{};
        if (!payload) return std::nullopt;
        if (name == "requests-updated") return RequestsUpdated{RequestsWrapper::fromJson(*payload).requests};
        if (name == "new-request") return NewRequest{RequestsWrapper::fromJson(*payload).requests};
        if (name == "new-message") return NewMessage{MessagesWrapper::fromJson(*payload).messages};
        if (name == "guest-count") {
            if (!payload->is_number_integer()) return std::nullopt;
            return GuestCount{payload->get<int64_t>()};
        }
        if (name == "now-playing") return NowPlaying{NowPlayingInfo::fromJson(*payload)};
        if (name == "preferences-updated" || name == "contest-updated" || name == "contest-winner" ||
            name == "contest-entry" || name == "ad-show") {
            if (!payload->is_object()) return std::nullopt;
            return ObjectEvent{name, *payload};
        }
    } catch (const DecodeError&) {
        return std::nullopt;
    } catch (const json::exception&) {
        return std::nullopt;
    }
    return std::nullopt;
}

std::vector<Action> handleFrame(std::string_view text) {
    std::vector<Action> out;
    if (startsWith(text, "0")) {
        // Absent or non-positive values fall back to the Engine.IO defaults; a value no timer can
        // hold (beyond a day, or not finite) is the server breaking the protocol.
        constexpr double maxMs = 24.0 * 3600 * 1000;
        std::optional<std::string> bad;
        auto ms = [&](const json& o, const char* key, int64_t def) {
            auto it = o.find(key);
            if (it == o.end() || !it->is_number()) return std::chrono::milliseconds(def);
            double v = it->get<double>();
            if (!(v > 0)) return std::chrono::milliseconds(def);
            if (!(v <= maxMs)) {
                bad = std::string("Invalid open frame: ") + key + " out of range";
                return std::chrono::milliseconds(def);
            }
            return std::chrono::milliseconds(static_cast<int64_t>(v));
        };
        try {
            json open = json::parse(text.substr(1));
            if (open.is_object()) {
                SetTimings t{ms(open, "pingInterval", 25000), ms(open, "pingTimeout", 20000)};
                if (bad) {
                    out.push_back(ProtocolError{*bad});
                    return out;
                }
                out.push_back(t);
            }
        } catch (const json::exception&) {
        }
        out.push_back(Send{"40"});
        return out;
    }
    if (text == "2") {
        out.push_back(Send{"3"});
        return out;
    }
    if (text == "3") return out;
    if (startsWith(text, "40")) {
        out.push_back(Connected{});
        return out;
    }
    if (startsWith(text, "42")) {
        if (auto e = decodeEvent(text.substr(2))) out.push_back(std::move(*e));
        return out;
    }
    if (startsWith(text, "41")) out.push_back(ServerClosed{});
    return out;
}

std::chrono::seconds reconnectDelay(int attempts) {
    if (attempts <= 1) return std::chrono::seconds(1);
    if (attempts >= 5) return std::chrono::seconds(10);
    return std::chrono::seconds(std::min(10, 1 << (attempts - 1)));
}

}  // namespace fv::realtime
