#include "overlay/OverlayEvent.hpp"

namespace fv::overlay {

namespace J = jsonx;
using std::string;

OverlayEvent OverlayEvent::nowPlaying(string title, string artist, std::optional<int64_t> up,
                                      std::optional<int64_t> down) {
    OverlayEvent e;
    e.type = OverlayEventType::nowPlaying;
    e.title = std::move(title);
    e.artist = std::move(artist);
    e.upVotes = up;
    e.downVotes = down;
    return e;
}

OverlayEvent OverlayEvent::nowPlayingVotes(int64_t up, int64_t down) {
    OverlayEvent e;
    e.type = OverlayEventType::nowPlayingVotes;
    e.upVotes = up;
    e.downVotes = down;
    return e;
}

OverlayEvent OverlayEvent::requestAccepted(string title, string artist, std::optional<string> guestName) {
    OverlayEvent e;
    e.type = OverlayEventType::requestAccepted;
    e.title = std::move(title);
    e.artist = std::move(artist);
    e.guestName = std::move(guestName);
    return e;
}

OverlayEvent OverlayEvent::broadcast(string content) {
    OverlayEvent e;
    e.type = OverlayEventType::broadcast;
    e.content = std::move(content);
    return e;
}

OverlayEvent OverlayEvent::guestCountChanged(int64_t count) {
    OverlayEvent e;
    e.type = OverlayEventType::guestCount;
    e.guestCount = count;
    return e;
}

OverlayEvent OverlayEvent::configChanged(const OverlayConfig& config) {
    OverlayEvent e;
    e.type = OverlayEventType::config;
    e.config = config;
    return e;
}

OverlayEvent OverlayEvent::adShow(string html) {
    OverlayEvent e;
    e.type = OverlayEventType::adShow;
    e.adHtml = std::move(html);
    return e;
}

OverlayEvent OverlayEvent::initialState(const OverlayConfig& config, std::optional<string> title,
                                        std::optional<string> artist, std::optional<int64_t> guestCount,
                                        std::optional<int64_t> up, std::optional<int64_t> down) {
    OverlayEvent e;
    e.type = OverlayEventType::initialState;
    e.config = config;
    e.title = std::move(title);
    e.artist = std::move(artist);
    e.guestCount = guestCount;
    e.upVotes = up;
    e.downVotes = down;
    return e;
}

OverlayEvent OverlayEvent::fromJson(const json& j) {
    J::requireObject(j, "OverlayEvent");
    OverlayEvent e;
    auto raw = J::required<string>(j, "type");
    auto type = fromRaw<OverlayEventType>(raw);
    if (!type) throw DecodeError("unknown value \"" + raw + "\" for key \"type\"");
    e.type = *type;
    e.title = J::optional<string>(j, "title");
    e.artist = J::optional<string>(j, "artist");
    e.guestName = J::optional<string>(j, "guestName");
    e.content = J::optional<string>(j, "content");
    e.guestCount = J::optional<int64_t>(j, "guestCount");
    e.config = J::optionalRecord<OverlayConfig>(j, "config");
    e.adHtml = J::optional<string>(j, "adHtml");
    e.upVotes = J::optional<int64_t>(j, "upVotes");
    e.downVotes = J::optional<int64_t>(j, "downVotes");
    return e;
}

ordered_json OverlayEvent::toJson() const {
    ordered_json o;
    o["type"] = rawValue(type);
    J::putOptional(o, "title", title);
    J::putOptional(o, "artist", artist);
    J::putOptional(o, "guestName", guestName);
    J::putOptional(o, "content", content);
    J::putOptional(o, "guestCount", guestCount);
    if (config) o["config"] = config->toJson();
    J::putOptional(o, "adHtml", adHtml);
    J::putOptional(o, "upVotes", upVotes);
    J::putOptional(o, "downVotes", downVotes);
    return o;
}

string OverlayEvent::encode() const { return toJson().dump(-1, ' ', false, ordered_json::error_handler_t::replace); }

}  // namespace fv::overlay
