#include "session/Records.hpp"

#include <chrono>
#include <ctime>

#include <fmt/format.h>

#include "core/Files.hpp"
#include "core/Paths.hpp"

namespace fv {

namespace J = jsonx;
using std::optional;
using std::string;

namespace {
const json& obj(const json& j, const char* what) { return J::requireObject(j, what); }

template <typename T>
void opt(json& o, const char* key, const optional<T>& v) {
    if (v) o[key] = *v;
}

// Record errors name the record, so "missing key" says where.
template <typename F>
auto decoding(const char* what, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const DecodeError& e) {
        string msg = e.what();
        if (msg.rfind(what, 0) == 0) throw;
        throw DecodeError(string(what) + ": " + msg);
    }
}

bool startsWith(const string& s, const string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

// ---------------------------------------------------------------- Track

Track Track::fromJson(const json& j) {
    return decoding("Track", [&] {
        obj(j, "Track");
        Track t;
        t.id = J::required<int64_t>(j, "id");
        t.title = J::required<string>(j, "title");
        t.artist = J::required<string>(j, "artist");
        t.genre = J::defaulted<string>(j, "genre", "");
        t.bpm = J::defaulted<double>(j, "bpm", 0);
        t.keyNotation = J::defaulted<string>(j, "key_notation", "");
        t.durationSeconds = J::defaulted<int64_t>(j, "duration_seconds", 0);
        t.requestCount = J::defaulted<int64_t>(j, "request_count", 0);
        t.voteCount = J::defaulted<int64_t>(j, "vote_count", 0);
        t.hidden = J::boolOrInt(j, "hidden", false);
        t.isHotlist = J::boolOrInt(j, "is_hotlist", false);
        t.hotlistPosition = J::optional<int64_t>(j, "hotlist_position");
        t.position = J::optional<int64_t>(j, "position");
        t.folderPath = J::optional<string>(j, "folder_path");
        t.streamingService = J::optional<string>(j, "streaming_service");
        t.streamingServiceId = J::optional<string>(j, "streaming_service_id");
        t.isrc = J::optional<string>(j, "isrc");
        t.rekordboxId = J::optional<string>(j, "rekordbox_id");
        t.externalId = J::optional<string>(j, "external_id");
        // "source" wins when present; else a rekordbox id, else the read-only Serato path.
        if (auto src = j.find("source"); src != j.end() && !src->is_null()) {
            t.source = J::defaulted<string>(j, "source", "");
            t.sourceId = J::defaulted<string>(j, "source_id", "");
        } else if (t.rekordboxId && !t.rekordboxId->empty()) {
            t.source = "rekordbox";
            t.sourceId = *t.rekordboxId;
        } else if (auto sp = J::optional<string>(j, "serato_path"); sp && !sp->empty()) {
            t.source = "serato";
            t.sourceId = *sp;
        }
        return t;
    });
}

json Track::toJson() const {
    json o = {{"id", id},
              {"title", title},
              {"artist", artist},
              {"genre", genre},
              {"bpm", bpm},
              {"key_notation", keyNotation},
              {"duration_seconds", durationSeconds},
              {"source", source},
              {"source_id", sourceId},
              {"request_count", requestCount},
              {"vote_count", voteCount},
              {"hidden", hidden},
              {"is_hotlist", isHotlist}};
    opt(o, "hotlist_position", hotlistPosition);
    opt(o, "position", position);
    opt(o, "folder_path", folderPath);
    opt(o, "streaming_service", streamingService);
    opt(o, "streaming_service_id", streamingServiceId);
    opt(o, "isrc", isrc);
    opt(o, "rekordbox_id", rekordboxId);
    opt(o, "external_id", externalId);
    return o;
}

string resolveLocalPath(const string& p0, const std::filesystem::path& home) {
    string h = home.string();
    while (h.size() > 1 && h.back() == '/') h.pop_back();
    string p;
    if (startsWith(p0, "/"))
        p = p0;
    else if (startsWith(p0, "Users/") || startsWith(p0, "Library/") || startsWith(p0, "Volumes/"))
        p = "/" + p0;
    else
        p = h + "/" + p0;
    const string d1 = h + "/Dropbox/";
    const string d2 = h + "/Library/CloudStorage/Dropbox/";
    if (startsWith(p, d2)) {
        string cand = d1 + p.substr(d2.size());
        return fileExists(cand) ? cand : p;
    }
    if (startsWith(p, d1)) {
        if (fileExists(p)) return p;
        string cand = d2 + p.substr(d1.size());
        return fileExists(cand) ? cand : p;
    }
    return p;
}

optional<string> Track::resolvedFilePath() const { return resolvedFilePath(realHomeDirectory()); }

optional<string> Track::resolvedFilePath(const std::filesystem::path& home) const {
    if (folderPath && !folderPath->empty()) {
        string r = resolveLocalPath(*folderPath, home);
        if (isDirectory(r)) return std::nullopt;
        return r;
    }
    if ((source == "serato" || source == "virtualdj") && !sourceId.empty()) return resolveLocalPath(sourceId, home);
    return std::nullopt;
}

// ---------------------------------------------------------------- TrackInput

TrackInput TrackInput::fromJson(const json& j) {
    return decoding("TrackInput", [&] {
        obj(j, "TrackInput");
        TrackInput t;
        t.title = J::required<string>(j, "title");
        t.artist = J::required<string>(j, "artist");
        t.genre = J::optional<string>(j, "genre");
        t.bpm = J::optional<double>(j, "bpm");
        t.key = J::optional<string>(j, "key");
        t.duration = J::optional<int64_t>(j, "duration");
        t.source = J::optional<string>(j, "source");
        t.sourceId = J::optional<string>(j, "sourceId");
        t.folderPath = J::optional<string>(j, "folderPath");
        t.rekordboxId = J::optional<string>(j, "rekordboxId");
        t.externalId = J::optional<string>(j, "externalId");
        t.streamingService = J::optional<string>(j, "streamingService");
        t.streamingServiceId = J::optional<string>(j, "streamingServiceId");
        t.isrc = J::optional<string>(j, "isrc");
        return t;
    });
}

json TrackInput::toJson() const {
    json o = {{"title", title}, {"artist", artist}};
    opt(o, "genre", genre);
    opt(o, "bpm", bpm);
    opt(o, "key", key);
    opt(o, "duration", duration);
    opt(o, "source", source);
    opt(o, "sourceId", sourceId);
    opt(o, "folderPath", folderPath);
    opt(o, "rekordboxId", rekordboxId);
    opt(o, "externalId", externalId);
    opt(o, "streamingService", streamingService);
    opt(o, "streamingServiceId", streamingServiceId);
    opt(o, "isrc", isrc);
    return o;
}

// ---------------------------------------------------------------- RequestStatus, MusicRequest

std::string_view toString(RequestStatus s) {
    switch (s) {
        case RequestStatus::pending: return "pending";
        case RequestStatus::confirmed: return "confirmed";
        case RequestStatus::declined: return "declined";
        case RequestStatus::played: return "played";
    }
    return "pending";
}

optional<RequestStatus> requestStatusFromString(std::string_view s) {
    for (auto st : allRequestStatuses)
        if (toString(st) == s) return st;
    return std::nullopt;
}

MusicRequest MusicRequest::fromJson(const json& j) {
    return decoding("MusicRequest", [&] {
        obj(j, "MusicRequest");
        MusicRequest r;
        r.id = J::required<int64_t>(j, "id");
        r.trackId = J::defaulted<int64_t>(j, "track_id", 0);
        r.title = J::required<string>(j, "title");
        r.artist = J::required<string>(j, "artist");
        r.bpm = J::defaulted<double>(j, "bpm", 0);
        r.keyNotation = J::defaulted<string>(j, "key_notation", "");
        r.voteCount = J::defaulted<int64_t>(j, "vote_count", 0);
        string st = J::required<string>(j, "status");
        auto status = requestStatusFromString(st);
        if (!status) throw DecodeError("unknown value \"" + st + "\" for key \"status\"");
        r.status = *status;
        r.createdAt = J::required<string>(j, "created_at");
        r.confirmedAt = J::optional<string>(j, "confirmed_at");
        r.guestName = J::defaulted<string>(j, "guest_name", "");
        return r;
    });
}

json MusicRequest::toJson() const {
    json o = {{"id", id},
              {"track_id", trackId},
              {"title", title},
              {"artist", artist},
              {"bpm", bpm},
              {"key_notation", keyNotation},
              {"vote_count", voteCount},
              {"status", string(toString(status))},
              {"created_at", createdAt},
              {"guest_name", guestName}};
    opt(o, "confirmed_at", confirmedAt);
    return o;
}

// ---------------------------------------------------------------- GuestMessage

GuestMessage GuestMessage::fromJson(const json& j) {
    return decoding("GuestMessage", [&] {
        obj(j, "GuestMessage");
        GuestMessage m;
        m.id = J::required<int64_t>(j, "id");
        m.content = J::required<string>(j, "content");
        m.isRead = J::boolOrInt(j, "is_read", false);
        m.createdAt = J::required<string>(j, "created_at");
        m.guestName = J::defaulted<string>(j, "guest_name", "");
        m.sessionId = J::defaulted<string>(j, "session_id", "");
        m.deviceId = J::defaulted<string>(j, "device_id", "");
        m.isDjReply = J::boolOrInt(j, "is_dj_reply", false);
        m.messageType = J::defaulted<string>(j, "message_type", "message");
        return m;
    });
}

json GuestMessage::toJson() const {
    return {{"id", id},
            {"content", content},
            {"is_read", isRead},
            {"created_at", createdAt},
            {"guest_name", guestName},
            {"session_id", sessionId},
            {"device_id", deviceId},
            {"is_dj_reply", isDjReply},
            {"message_type", messageType}};
}

// ---------------------------------------------------------------- NowPlayingInfo, DJEvent

NowPlayingInfo NowPlayingInfo::fromJson(const json& j) {
    return decoding("NowPlayingInfo", [&] {
        obj(j, "NowPlayingInfo");
        return NowPlayingInfo{J::required<string>(j, "track_title"), J::required<string>(j, "track_artist"),
                              J::required<string>(j, "updated_at")};
    });
}

json NowPlayingInfo::toJson() const {
    return {{"track_title", trackTitle}, {"track_artist", trackArtist}, {"updated_at", updatedAt}};
}

DJEvent DJEvent::fromJson(const json& j) {
    return decoding("DJEvent", [&] {
        obj(j, "DJEvent");
        DJEvent e;
        e.id = J::required<string>(j, "id");
        e.djName = J::defaulted<string>(j, "dj_name", "");
        e.eventName = J::defaulted<string>(j, "event_name", "");
        e.isActive = J::boolOrInt(j, "is_active", false);
        e.isLive = J::boolOrIntLenient(j, "isLive", true);
        e.nowPlaying = J::optionalRecord<NowPlayingInfo>(j, "nowPlaying");
        e.guestCount = J::defaulted<int64_t>(j, "guestCount", 0);
        return e;
    });
}

json DJEvent::toJson() const {
    json o = {{"id", id},           {"dj_name", djName}, {"event_name", eventName},
              {"is_active", isActive}, {"isLive", isLive}, {"guestCount", guestCount}};
    if (nowPlaying) o["nowPlaying"] = nowPlaying->toJson();
    return o;
}

// ---------------------------------------------------------------- stats

EventStats EventStats::fromJson(const json& j) {
    return decoding("EventStats", [&] {
        obj(j, "EventStats");
        EventStats s;
        s.pendingCount = J::defaulted<int64_t>(j, "pending_count", 0);
        s.confirmedCount = J::defaulted<int64_t>(j, "confirmed_count", 0);
        s.declinedCount = J::defaulted<int64_t>(j, "declined_count", 0);
        s.playedCount = J::defaulted<int64_t>(j, "played_count", 0);
        s.totalVotes = J::defaulted<int64_t>(j, "total_votes", 0);
        s.messageCount = J::defaulted<int64_t>(j, "message_count", 0);
        s.uniqueGuests = J::defaulted<int64_t>(j, "unique_guests", 0);
        s.guestCount = J::defaulted<int64_t>(j, "guest_count", 0);
        s.guestActive = J::defaulted<int64_t>(j, "guest_active", 0);
        s.guestIdle = J::defaulted<int64_t>(j, "guest_idle", 0);
        s.guestHidden = J::defaulted<int64_t>(j, "guest_hidden", 0);
        return s;
    });
}

json EventStats::toJson() const {
    return {{"pending_count", pendingCount}, {"confirmed_count", confirmedCount}, {"declined_count", declinedCount},
            {"played_count", playedCount},   {"total_votes", totalVotes},         {"message_count", messageCount},
            {"unique_guests", uniqueGuests}, {"guest_count", guestCount},         {"guest_active", guestActive},
            {"guest_idle", guestIdle},       {"guest_hidden", guestHidden}};
}

SingleEventStats SingleEventStats::fromJson(const json& j) {
    return decoding("SingleEventStats", [&] {
        obj(j, "SingleEventStats");
        SingleEventStats s;
        s.eventId = J::required<string>(j, "eventId");
        s.eventName = J::defaulted<string>(j, "eventName", "");
        s.djName = J::defaulted<string>(j, "djName", "");
        s.createdAt = J::optional<string>(j, "createdAt");
        s.pendingCount = J::defaulted<int64_t>(j, "pending_count", 0);
        s.confirmedCount = J::defaulted<int64_t>(j, "confirmed_count", 0);
        s.playedCount = J::defaulted<int64_t>(j, "played_count", 0);
        s.declinedCount = J::defaulted<int64_t>(j, "declined_count", 0);
        s.totalVotes = J::defaulted<int64_t>(j, "total_votes", 0);
        s.messageCount = J::defaulted<int64_t>(j, "message_count", 0);
        s.uniqueGuests = J::defaulted<int64_t>(j, "unique_guests", 0);
        s.guestCount = J::defaulted<int64_t>(j, "guest_count", 0);
        return s;
    });
}

json SingleEventStats::toJson() const {
    json o = {{"eventId", eventId},          {"eventName", eventName},         {"djName", djName},
              {"pending_count", pendingCount}, {"confirmed_count", confirmedCount}, {"played_count", playedCount},
              {"declined_count", declinedCount}, {"total_votes", totalVotes},     {"message_count", messageCount},
              {"unique_guests", uniqueGuests}, {"guest_count", guestCount}};
    opt(o, "createdAt", createdAt);
    return o;
}

namespace {
template <typename T>
json arrayJson(const std::vector<T>& v) {
    json a = json::array();
    for (const auto& e : v) a.push_back(e.toJson());
    return a;
}
}  // namespace

AllEventStatsResponse AllEventStatsResponse::fromJson(const json& j) {
    obj(j, "AllEventStatsResponse");
    return {J::recordArray<SingleEventStats>(j, "events")};
}
json AllEventStatsResponse::toJson() const { return {{"events", arrayJson(events)}}; }

// ---------------------------------------------------------------- EventPreferences

const std::array<std::string_view, 5>& EventPreferences::eventTypes() {
    static const std::array<std::string_view, 5> t = {"club", "wedding", "corporate", "festival", "private"};
    return t;
}

EventPreferences EventPreferences::fromJson(const json& j) {
    return decoding("EventPreferences", [&] {
        obj(j, "EventPreferences");
        EventPreferences p;
        p.eventName = J::defaulted<string>(j, "eventName", "");
        p.djName = J::defaulted<string>(j, "djName", "");
        p.eventType = J::defaulted<string>(j, "eventType", "club");
        bool known = false;
        for (auto t : eventTypes()) known = known || t == p.eventType;
        if (!known) p.eventType = "club";
        p.bannerUrl = J::optional<string>(j, "bannerUrl");
        p.logoUrl = J::optional<string>(j, "logoUrl");
        p.accentColor = J::optional<string>(j, "accentColor");
        p.welcomeMessage = J::optional<string>(j, "welcomeMessage");
        p.maxRequestsPerGuest = J::defaulted<int64_t>(j, "maxRequestsPerGuest", 3);
        p.maxVotesPerGuest = J::defaulted<int64_t>(j, "maxVotesPerGuest", 15);
        p.tipEnabled = J::defaulted<bool>(j, "tipEnabled", false);
        p.tipPaypalLink = J::defaulted<string>(j, "tipPaypalLink", "");
        p.tipAmounts = J::defaulted<std::vector<int64_t>>(j, "tipAmounts", {1, 2, 5});
        p.djProfileId = J::optional<int64_t>(j, "djProfileId");
        p.activeDjSoftware = J::optional<string>(j, "activeDjSoftware");
        p.activePlaylistId = J::optional<int64_t>(j, "activePlaylistId");
        p.djSoftwarePlaylistId = J::optional<string>(j, "djSoftwarePlaylistId");
        p.djSoftwarePlaylistIds = J::defaulted<std::map<string, string>>(j, "djSoftwarePlaylistIds", {});
        p.showNowPlaying = J::defaulted<bool>(j, "showNowPlaying", true);
        p.voteOnlyMode = J::defaulted<bool>(j, "voteOnlyMode", false);
        p.voteOnlyThreshold = J::defaulted<int64_t>(j, "voteOnlyThreshold", 0);
        p.voteOnlyCustomThreshold = J::defaulted<int64_t>(j, "voteOnlyCustomThreshold", 0);
        p.activityVoteOnlyEnabled = J::defaulted<bool>(j, "activityVoteOnlyEnabled", false);
        p.activityVoteOnlyThreshold = J::defaulted<int64_t>(j, "activityVoteOnlyThreshold", 50);
        p.activityVoteOnlyWindowMinutes = J::defaulted<int64_t>(j, "activityVoteOnlyWindowMinutes", 5);
        p.messageCooldownSeconds = J::defaulted<int64_t>(j, "messageCooldownSeconds", 30);
        p.guestMessageCooldownMinutes = J::defaulted<int64_t>(j, "guestMessageCooldownMinutes", 0);
        p.planVoteOnlyLimit = J::defaulted<int64_t>(j, "planVoteOnlyLimit", 0);
        p.startsAt = J::optional<string>(j, "startsAt");
        p.activeLibraryId = J::optional<int64_t>(j, "activeLibraryId");
        p.libraryIds = J::defaulted<std::vector<int64_t>>(j, "libraryIds", {});
        return p;
    });
}

json EventPreferences::toJson() const {
    json o = {{"eventName", eventName},
              {"djName", djName},
              {"eventType", eventType},
              {"maxRequestsPerGuest", maxRequestsPerGuest},
              {"maxVotesPerGuest", maxVotesPerGuest},
              {"tipEnabled", tipEnabled},
              {"tipPaypalLink", tipPaypalLink},
              {"tipAmounts", tipAmounts},
              {"djSoftwarePlaylistIds", djSoftwarePlaylistIds},
              {"showNowPlaying", showNowPlaying},
              {"voteOnlyMode", voteOnlyMode},
              {"voteOnlyThreshold", voteOnlyThreshold},
              {"voteOnlyCustomThreshold", voteOnlyCustomThreshold},
              {"activityVoteOnlyEnabled", activityVoteOnlyEnabled},
              {"activityVoteOnlyThreshold", activityVoteOnlyThreshold},
              {"activityVoteOnlyWindowMinutes", activityVoteOnlyWindowMinutes},
              {"messageCooldownSeconds", messageCooldownSeconds},
              {"guestMessageCooldownMinutes", guestMessageCooldownMinutes},
              {"planVoteOnlyLimit", planVoteOnlyLimit},
              {"libraryIds", libraryIds}};
    opt(o, "bannerUrl", bannerUrl);
    opt(o, "logoUrl", logoUrl);
    opt(o, "accentColor", accentColor);
    opt(o, "welcomeMessage", welcomeMessage);
    opt(o, "djProfileId", djProfileId);
    opt(o, "activeDjSoftware", activeDjSoftware);
    opt(o, "activePlaylistId", activePlaylistId);
    opt(o, "djSoftwarePlaylistId", djSoftwarePlaylistId);
    opt(o, "startsAt", startsAt);
    opt(o, "activeLibraryId", activeLibraryId);
    return o;
}

PreferencesResponse PreferencesResponse::fromJson(const json& j) {
    obj(j, "PreferencesResponse");
    return {J::requiredRecord<EventPreferences>(j, "preferences")};
}
json PreferencesResponse::toJson() const { return {{"preferences", preferences.toJson()}}; }

// ---------------------------------------------------------------- events

SavedEvent SavedEvent::fromJson(const json& j) {
    return decoding("SavedEvent", [&] {
        obj(j, "SavedEvent");
        SavedEvent e;
        e.id = J::required<string>(j, "id");
        e.eventName = J::required<string>(j, "eventName");
        e.djName = J::required<string>(j, "djName");
        e.createdAt = J::required<string>(j, "createdAt");
        e.lastUsedAt = J::optional<string>(j, "lastUsedAt");
        e.startsAt = J::optional<string>(j, "startsAt");
        e.preferences = J::optionalRecord<EventPreferences>(j, "preferences");
        return e;
    });
}

json SavedEvent::toJson() const {
    json o = {{"id", id}, {"eventName", eventName}, {"djName", djName}, {"createdAt", createdAt}};
    opt(o, "lastUsedAt", lastUsedAt);
    opt(o, "startsAt", startsAt);
    if (preferences) o["preferences"] = preferences->toJson();
    return o;
}

DJOwnedEvent DJOwnedEvent::fromJson(const json& j) {
    return decoding("DJOwnedEvent", [&] {
        obj(j, "DJOwnedEvent");
        DJOwnedEvent e;
        e.id = J::required<string>(j, "id");
        e.eventName = J::defaulted<string>(j, "event_name", "");
        e.djName = J::defaulted<string>(j, "dj_name", "");
        e.djPin = J::defaulted<string>(j, "dj_pin", "");
        e.isActive = J::boolOrInt(j, "is_active", false);
        e.createdAt = J::optional<string>(j, "created_at");
        e.startsAt = J::optional<string>(j, "starts_at");
        return e;
    });
}

json DJOwnedEvent::toJson() const {
    json o = {{"id", id}, {"event_name", eventName}, {"dj_name", djName}, {"dj_pin", djPin}, {"is_active", isActive}};
    opt(o, "created_at", createdAt);
    opt(o, "starts_at", startsAt);
    return o;
}

DJEventsResponse DJEventsResponse::fromJson(const json& j) {
    obj(j, "DJEventsResponse");
    return {J::recordArray<DJOwnedEvent>(j, "events")};
}
json DJEventsResponse::toJson() const { return {{"events", arrayJson(events)}}; }

CreateEventResponse CreateEventResponse::fromJson(const json& j) {
    return decoding("CreateEventResponse", [&] {
        obj(j, "CreateEventResponse");
        return CreateEventResponse{J::required<string>(j, "id"), J::required<string>(j, "djName"),
                                   J::required<string>(j, "eventName")};
    });
}
json CreateEventResponse::toJson() const { return {{"id", id}, {"djName", djName}, {"eventName", eventName}}; }

// ---------------------------------------------------------------- auth

DJAuthResponse DJAuthResponse::fromJson(const json& j) {
    return decoding("DJAuthResponse", [&] {
        obj(j, "DJAuthResponse");
        return DJAuthResponse{J::required<bool>(j, "success"), J::optional<string>(j, "eventName"),
                              J::optional<string>(j, "djName")};
    });
}
json DJAuthResponse::toJson() const {
    json o = {{"success", success}};
    opt(o, "eventName", eventName);
    opt(o, "djName", djName);
    return o;
}

OTPVerifyResponse OTPVerifyResponse::fromJson(const json& j) {
    return decoding("OTPVerifyResponse", [&] {
        obj(j, "OTPVerifyResponse");
        return OTPVerifyResponse{J::required<bool>(j, "success"), J::required<string>(j, "djUuid"),
                                 J::required<string>(j, "accessToken"), J::required<string>(j, "refreshToken")};
    });
}
json OTPVerifyResponse::toJson() const {
    return {{"success", success}, {"djUuid", djUuid}, {"accessToken", accessToken}, {"refreshToken", refreshToken}};
}

HandoffResponse HandoffResponse::fromJson(const json& j) {
    return decoding("HandoffResponse", [&] {
        obj(j, "HandoffResponse");
        HandoffResponse h;
        h.success = J::required<bool>(j, "success");
        h.djUuid = J::required<string>(j, "djUuid");
        h.accessToken = J::required<string>(j, "accessToken");
        h.refreshToken = J::required<string>(j, "refreshToken");
        h.isEmpty = J::required<bool>(j, "isEmpty");
        h.displayName = J::optional<string>(j, "displayName");
        h.role = J::optional<string>(j, "role");
        return h;
    });
}
json HandoffResponse::toJson() const {
    json o = {{"success", success},
              {"djUuid", djUuid},
              {"accessToken", accessToken},
              {"refreshToken", refreshToken},
              {"isEmpty", isEmpty}};
    opt(o, "displayName", displayName);
    opt(o, "role", role);
    return o;
}

DedicatedServerResponse DedicatedServerResponse::fromJson(const json& j) {
    return decoding("DedicatedServerResponse", [&] {
        obj(j, "DedicatedServerResponse");
        DedicatedServerResponse d;
        d.hasDedicatedServer = J::defaulted<bool>(j, "has_dedicated_server", false);
        d.serverIp = J::optional<string>(j, "server_ip");
        d.serverUrl = J::optional<string>(j, "server_url");
        d.status = J::optional<string>(j, "status");
        d.suspended = J::defaulted<bool>(j, "suspended", false);
        d.suspendReason = J::optional<string>(j, "suspend_reason");
        d.suspendedAt = J::optional<string>(j, "suspended_at");
        return d;
    });
}
json DedicatedServerResponse::toJson() const {
    json o = {{"has_dedicated_server", hasDedicatedServer}, {"suspended", suspended}};
    opt(o, "server_ip", serverIp);
    opt(o, "server_url", serverUrl);
    opt(o, "status", status);
    opt(o, "suspend_reason", suspendReason);
    opt(o, "suspended_at", suspendedAt);
    return o;
}

DJProfile DJProfile::fromJson(const json& j) {
    return decoding("DJProfile", [&] {
        obj(j, "DJProfile");
        DJProfile p;
        p.uuid = J::required<string>(j, "uuid");
        p.email = J::optional<string>(j, "email");
        p.displayName = J::optional<string>(j, "displayName");
        p.role = J::optional<string>(j, "role");
        p.createdAt = J::optional<string>(j, "createdAt");
        p.lastLogin = J::optional<string>(j, "lastLogin");
        return p;
    });
}
json DJProfile::toJson() const {
    json o = {{"uuid", uuid}};
    opt(o, "email", email);
    opt(o, "displayName", displayName);
    opt(o, "role", role);
    opt(o, "createdAt", createdAt);
    opt(o, "lastLogin", lastLogin);
    return o;
}

// ---------------------------------------------------------------- notifications

DJNotification DJNotification::fromJson(const json& j) {
    return decoding("DJNotification", [&] {
        obj(j, "DJNotification");
        DJNotification n;
        n.id = J::required<int64_t>(j, "id");
        n.type = J::defaulted<string>(j, "type", "");
        n.title = J::defaulted<string>(j, "title", "");
        n.message = J::defaulted<string>(j, "message", "");
        n.severity = J::defaulted<string>(j, "severity", "info");
        n.isRead = J::intOrBoolLenient(j, "is_read", false);
        n.actionUrl = J::optional<string>(j, "action_url");
        n.expiresAt = J::optional<string>(j, "expires_at");
        n.createdAt = J::defaulted<string>(j, "created_at", "");
        return n;
    });
}
json DJNotification::toJson() const {
    json o = {{"id", id},           {"type", type},     {"title", title}, {"message", message},
              {"severity", severity}, {"is_read", isRead}, {"created_at", createdAt}};
    opt(o, "action_url", actionUrl);
    opt(o, "expires_at", expiresAt);
    return o;
}

DJNotificationsResponse DJNotificationsResponse::fromJson(const json& j) {
    obj(j, "DJNotificationsResponse");
    return {J::recordArray<DJNotification>(j, "notifications"), J::required<int64_t>(j, "unread_count")};
}
json DJNotificationsResponse::toJson() const {
    return {{"notifications", arrayJson(notifications)}, {"unread_count", unreadCount}};
}

// ---------------------------------------------------------------- libraries, playlists

DJLibrary DJLibrary::fromJson(const json& j) {
    return decoding("DJLibrary", [&] {
        obj(j, "DJLibrary");
        return DJLibrary{J::required<int64_t>(j, "id"), J::required<string>(j, "name"),
                         J::required<int64_t>(j, "track_count"), J::optional<string>(j, "created_at")};
    });
}
json DJLibrary::toJson() const {
    json o = {{"id", id}, {"name", name}, {"track_count", trackCount}};
    opt(o, "created_at", createdAt);
    return o;
}

LibrariesResponse LibrariesResponse::fromJson(const json& j) {
    obj(j, "LibrariesResponse");
    return {J::recordArray<DJLibrary>(j, "libraries")};
}
json LibrariesResponse::toJson() const { return {{"libraries", arrayJson(libraries)}}; }

ImportTracksResponse ImportTracksResponse::fromJson(const json& j) {
    obj(j, "ImportTracksResponse");
    return {J::required<int64_t>(j, "imported"), J::optional<int64_t>(j, "library_id")};
}
json ImportTracksResponse::toJson() const {
    json o = {{"imported", imported}};
    opt(o, "library_id", libraryId);
    return o;
}

ServerPlaylist ServerPlaylist::fromJson(const json& j) {
    return decoding("ServerPlaylist", [&] {
        obj(j, "ServerPlaylist");
        ServerPlaylist p;
        p.id = J::required<int64_t>(j, "id");
        p.eventId = J::defaulted<string>(j, "event_id", "");
        p.name = J::defaulted<string>(j, "name", "");
        p.source = J::defaulted<string>(j, "source", "");
        p.sourcePlaylistId = J::defaulted<string>(j, "source_playlist_id", "");
        p.trackCount = J::defaulted<int64_t>(j, "track_count", 0);
        p.createdAt = J::optional<string>(j, "created_at");
        if (J::find(j, "tracks")) p.tracks = J::recordArray<Track>(j, "tracks");
        if (p.source.empty()) {
            if (auto rb = J::optional<string>(j, "rekordbox_playlist_id"); rb && !rb->empty()) {
                p.source = "rekordbox";
                p.sourcePlaylistId = *rb;
            }
        }
        return p;
    });
}
json ServerPlaylist::toJson() const {
    json o = {{"id", id},         {"event_id", eventId},
              {"name", name},     {"source", source},
              {"source_playlist_id", sourcePlaylistId}, {"track_count", trackCount}};
    opt(o, "created_at", createdAt);
    if (tracks) o["tracks"] = arrayJson(*tracks);
    return o;
}

PlaylistsResponse PlaylistsResponse::fromJson(const json& j) {
    obj(j, "PlaylistsResponse");
    return {J::recordArray<ServerPlaylist>(j, "playlists")};
}
json PlaylistsResponse::toJson() const { return {{"playlists", arrayJson(playlists)}}; }

PlaylistPayload PlaylistPayload::fromJson(const json& j) {
    return decoding("PlaylistPayload", [&] {
        obj(j, "PlaylistPayload");
        return PlaylistPayload{J::required<int64_t>(j, "id"),          J::required<string>(j, "name"),
                               J::optional<string>(j, "source"),       J::optional<string>(j, "source_playlist_id"),
                               J::optional<int64_t>(j, "track_count"), J::optional<string>(j, "created_at")};
    });
}
json PlaylistPayload::toJson() const {
    json o = {{"id", id}, {"name", name}};
    opt(o, "source", source);
    opt(o, "source_playlist_id", sourcePlaylistId);
    opt(o, "track_count", trackCount);
    opt(o, "created_at", createdAt);
    return o;
}

CreatePlaylistResponse CreatePlaylistResponse::fromJson(const json& j) {
    obj(j, "CreatePlaylistResponse");
    return {J::optional<bool>(j, "success"), J::requiredRecord<PlaylistPayload>(j, "playlist")};
}
json CreatePlaylistResponse::toJson() const {
    json o = {{"playlist", playlist.toJson()}};
    opt(o, "success", success);
    return o;
}

// ---------------------------------------------------------------- envelopes

RequestsResponse RequestsResponse::fromJson(const json& j) {
    obj(j, "RequestsResponse");
    return {J::recordArray<MusicRequest>(j, "requests")};
}
json RequestsResponse::toJson() const { return {{"requests", arrayJson(requests)}}; }

MessagesResponse MessagesResponse::fromJson(const json& j) {
    obj(j, "MessagesResponse");
    return {J::recordArray<GuestMessage>(j, "messages")};
}
json MessagesResponse::toJson() const { return {{"messages", arrayJson(messages)}}; }

TracksResponse TracksResponse::fromJson(const json& j) {
    obj(j, "TracksResponse");
    return {J::recordArray<Track>(j, "tracks"), J::optional<int64_t>(j, "library_id")};
}
json TracksResponse::toJson() const {
    json o = {{"tracks", arrayJson(tracks)}};
    opt(o, "library_id", libraryId);
    return o;
}

HealthResponse HealthResponse::fromJson(const json& j) {
    obj(j, "HealthResponse");
    return {J::required<string>(j, "status")};
}
json HealthResponse::toJson() const { return {{"status", status}}; }

UploadImageResponse UploadImageResponse::fromJson(const json& j) {
    obj(j, "UploadImageResponse");
    return {J::required<string>(j, "url")};
}
json UploadImageResponse::toJson() const { return {{"url", url}}; }

DeleteResponse DeleteResponse::fromJson(const json& j) {
    obj(j, "DeleteResponse");
    return {J::required<int64_t>(j, "deleted")};
}
json DeleteResponse::toJson() const { return {{"deleted", deleted}}; }

// ---------------------------------------------------------------- moderation (field by field, never failing)

namespace {
template <typename T>
T field(const json& j, const char* key, T def) {
    if (!j.is_object()) return def;
    try {
        return J::defaulted<T>(j, key, def);
    } catch (const DecodeError&) {
        return def;
    }
}
template <typename T>
optional<T> optField(const json& j, const char* key) {
    if (!j.is_object()) return std::nullopt;
    try {
        return J::optional<T>(j, key);
    } catch (const DecodeError&) {
        return std::nullopt;
    }
}
}  // namespace

GuestBan GuestBan::fromJson(const json& j) {
    GuestBan b;
    b.id = field<int64_t>(j, "id", 0);
    b.deviceId = field<string>(j, "device_id", "");
    b.eventId = optField<string>(j, "event_id");
    b.reason = field<string>(j, "reason", "");
    b.banType = field<string>(j, "ban_type", "temp");
    b.expiresAt = optField<int64_t>(j, "expires_at");
    b.createdBy = field<string>(j, "created_by", "dj");
    b.createdAt = field<int64_t>(j, "created_at", 0);
    return b;
}
json GuestBan::toJson() const {
    json o = {{"id", id},        {"device_id", deviceId},   {"reason", reason},
              {"ban_type", banType}, {"created_by", createdBy}, {"created_at", createdAt}};
    opt(o, "event_id", eventId);
    opt(o, "expires_at", expiresAt);
    return o;
}

GuestDevice GuestDevice::fromJson(const json& j) {
    GuestDevice d;
    d.id = field<string>(j, "id", "");
    d.deviceId = field<string>(j, "deviceId", "");
    d.requestCount = field<int64_t>(j, "requestCount", 0);
    d.lastSeen = field<string>(j, "lastSeen", "");
    d.guestNames = field<std::vector<string>>(j, "guestNames", {});
    d.isBanned = j.is_object() ? J::boolOrIntLenient(j, "isBanned", false) : false;
    return d;
}
json GuestDevice::toJson() const {
    return {{"id", id},         {"deviceId", deviceId},     {"requestCount", requestCount},
            {"lastSeen", lastSeen}, {"guestNames", guestNames}, {"isBanned", isBanned}};
}

ModerationSettings ModerationSettings::fromJson(const json& j) {
    return decoding("ModerationSettings", [&] {
        obj(j, "ModerationSettings");
        ModerationSettings m;
        m.autoBanEnabled = J::required<bool>(j, "autoBanEnabled");
        m.requestsPerWindow = J::required<int64_t>(j, "requestsPerWindow");
        m.messagesPerWindow = J::required<int64_t>(j, "messagesPerWindow");
        m.windowMinutes = J::required<int64_t>(j, "windowMinutes");
        m.banDurationMinutes = J::required<int64_t>(j, "banDurationMinutes");
        m.nameBlocklist = J::required<std::vector<string>>(j, "nameBlocklist");
        return m;
    });
}
json ModerationSettings::toJson() const {
    return {{"autoBanEnabled", autoBanEnabled},   {"requestsPerWindow", requestsPerWindow},
            {"messagesPerWindow", messagesPerWindow}, {"windowMinutes", windowMinutes},
            {"banDurationMinutes", banDurationMinutes}, {"nameBlocklist", nameBlocklist}};
}

std::string isoNow() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&t, &tm);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
}

}  // namespace fv

namespace {
template <typename T>
size_t hashOf(const T& v) {
    return std::hash<std::string>{}(v.toJson().dump(-1, ' ', false, fv::json::error_handler_t::replace));
}
}  // namespace

// Hashing over all fields: the canonical JSON carries every field, so equal records hash equally.
size_t std::hash<fv::Track>::operator()(const fv::Track& t) const noexcept { return hashOf(t); }
size_t std::hash<fv::MusicRequest>::operator()(const fv::MusicRequest& r) const noexcept { return hashOf(r); }
size_t std::hash<fv::GuestMessage>::operator()(const fv::GuestMessage& m) const noexcept { return hashOf(m); }
size_t std::hash<fv::DJNotification>::operator()(const fv::DJNotification& n) const noexcept { return hashOf(n); }
