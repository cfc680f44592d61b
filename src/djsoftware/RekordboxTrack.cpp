#include "djsoftware/RekordboxTrack.hpp"

#include "core/Uuid.hpp"

namespace fv {

namespace J = jsonx;

RekordboxTrack RekordboxTrack::fromJson(const json& j) {
    try {
        J::requireObject(j, "RekordboxTrack");
        RekordboxTrack t;
        t.id = makeUuid();
        t.title = J::required<std::string>(j, "title");
        t.artist = J::required<std::string>(j, "artist");
        t.genre = J::required<std::string>(j, "genre");
        t.duration = J::required<int64_t>(j, "duration");
        t.bpm = J::optional<double>(j, "bpm");
        t.key = J::optional<std::string>(j, "key");
        t.contentId = J::optional<std::string>(j, "contentId");
        t.folderPath = J::optional<std::string>(j, "folderPath");
        t.streamingService = J::optional<std::string>(j, "streamingService");
        t.streamingServiceId = J::optional<std::string>(j, "streamingServiceId");
        t.isrc = J::optional<std::string>(j, "isrc");
        return t;
    } catch (const DecodeError& e) {
        throw DecodeError(std::string("RekordboxTrack: ") + e.what());
    }
}

json RekordboxTrack::toJson() const {
    json o = {{"title", title}, {"artist", artist}, {"genre", genre}, {"duration", duration}};
    J::putOptional(o, "bpm", bpm);
    J::putOptional(o, "key", key);
    J::putOptional(o, "contentId", contentId);
    J::putOptional(o, "folderPath", folderPath);
    J::putOptional(o, "streamingService", streamingService);
    J::putOptional(o, "streamingServiceId", streamingServiceId);
    J::putOptional(o, "isrc", isrc);
    return o;
}

std::vector<RekordboxTrack> rekordboxTracksFromJson(const json& j) {
    if (!j.is_array()) throw DecodeError("RekordboxTrack list: expected array");
    std::vector<RekordboxTrack> out;
    out.reserve(j.size());
    for (const auto& e : j) out.push_back(RekordboxTrack::fromJson(e));
    return out;
}

}  // namespace fv
