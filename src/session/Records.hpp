#pragma once
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Json.hpp"

namespace fv {

// Records exchanged with the service as JSON. Each has fromJson (strict: a missing required key,
// a wrong type or an unknown enumeration value throws DecodeError) and toJson (optional fields
// only when set).

struct Track {
    int64_t id = 0;
    std::string title;
    std::string artist;
    std::string genre;
    double bpm = 0;
    std::string keyNotation;
    int64_t durationSeconds = 0;
    std::string source;
    std::string sourceId;
    int64_t requestCount = 0;
    int64_t voteCount = 0;
    bool hidden = false;
    bool isHotlist = false;
    std::optional<int64_t> hotlistPosition;
    std::optional<int64_t> position;
    std::optional<std::string> folderPath;
    std::optional<std::string> streamingService;
    std::optional<std::string> streamingServiceId;
    std::optional<std::string> isrc;
    std::optional<std::string> rekordboxId;
    std::optional<std::string> externalId;

    static Track fromJson(const json& j);
    json toJson() const;
    bool operator==(const Track&) const = default;

    // The local audio file, with home-relative and Dropbox-location fallbacks.
    std::optional<std::string> resolvedFilePath() const;
    std::optional<std::string> resolvedFilePath(const std::filesystem::path& home) const;
};

// Makes a stored path absolute against home and tries the other Dropbox location when it is missing.
std::string resolveLocalPath(const std::string& p, const std::filesystem::path& home);

struct TrackInput {
    std::string title;
    std::string artist;
    std::optional<std::string> genre;
    std::optional<double> bpm;
    std::optional<std::string> key;
    std::optional<int64_t> duration;
    std::optional<std::string> source;
    std::optional<std::string> sourceId;
    std::optional<std::string> folderPath;
    std::optional<std::string> rekordboxId;
    std::optional<std::string> externalId;
    std::optional<std::string> streamingService;
    std::optional<std::string> streamingServiceId;
    std::optional<std::string> isrc;

    static TrackInput fromJson(const json& j);
    json toJson() const;
    bool operator==(const TrackInput&) const = default;
};

enum class RequestStatus { pending, confirmed, declined, played };
inline constexpr std::array<RequestStatus, 4> allRequestStatuses = {RequestStatus::pending, RequestStatus::confirmed,
                                                                      RequestStatus::declined, RequestStatus::played};
std::string_view toString(RequestStatus s);
std::optional<RequestStatus> requestStatusFromString(std::string_view s);

struct MusicRequest {
    int64_t id = 0;
    int64_t trackId = 0;
    std::string title;
    std::string artist;
    double bpm = 0;
    std::string keyNotation;
    int64_t voteCount = 0;
    RequestStatus status = RequestStatus::pending;
    std::string createdAt;
    std::optional<std::string> confirmedAt;
    std::string guestName;

    static MusicRequest fromJson(const json& j);
    json toJson() const;
    bool operator==(const MusicRequest&) const = default;
};

struct GuestMessage {
    int64_t id = 0;
    std::string content;
    bool isRead = false;
    std::string createdAt;
    std::string guestName;
    std::string sessionId;
    std::string deviceId;
    bool isDjReply = false;
    std::string messageType = "message";

    static GuestMessage fromJson(const json& j);
    json toJson() const;
    bool operator==(const GuestMessage&) const = default;
};

struct NowPlayingInfo {
    std::string trackTitle;
    std::string trackArtist;
    std::string updatedAt;

    static NowPlayingInfo fromJson(const json& j);
    json toJson() const;
    bool operator==(const NowPlayingInfo&) const = default;
};

struct DJEvent {
    std::string id;
    std::string djName;
    std::string eventName;
    bool isActive = false;
    bool isLive = true;
    std::optional<NowPlayingInfo> nowPlaying;
    int64_t guestCount = 0;

    static DJEvent fromJson(const json& j);
    json toJson() const;
    bool operator==(const DJEvent&) const = default;
};

struct EventStats {
    int64_t pendingCount = 0, confirmedCount = 0, declinedCount = 0, playedCount = 0, totalVotes = 0,
            messageCount = 0, uniqueGuests = 0, guestCount = 0, guestActive = 0, guestIdle = 0, guestHidden = 0;

    static EventStats fromJson(const json& j);
    json toJson() const;
    bool operator==(const EventStats&) const = default;
    // All counters 0 stands for no stats loaded yet.
    bool isEmpty() const { return *this == EventStats{}; }
};

struct SingleEventStats {
    std::string eventId;
    std::string eventName;
    std::string djName;
    std::optional<std::string> createdAt;
    int64_t pendingCount = 0, confirmedCount = 0, playedCount = 0, declinedCount = 0, totalVotes = 0,
            messageCount = 0, uniqueGuests = 0, guestCount = 0;

    static SingleEventStats fromJson(const json& j);
    json toJson() const;
    bool operator==(const SingleEventStats&) const = default;
};

struct AllEventStatsResponse {
    std::vector<SingleEventStats> events;
    static AllEventStatsResponse fromJson(const json& j);
    json toJson() const;
};

struct EventPreferences {
    std::string eventName;
    std::string djName;
    std::string eventType = "club";
    std::optional<std::string> bannerUrl;
    std::optional<std::string> logoUrl;
    std::optional<std::string> accentColor;
    std::optional<std::string> welcomeMessage;
    int64_t maxRequestsPerGuest = 3;
    int64_t maxVotesPerGuest = 15;
    bool tipEnabled = false;
    std::string tipPaypalLink;
    std::vector<int64_t> tipAmounts = {1, 2, 5};
    std::optional<int64_t> djProfileId;
    std::optional<std::string> activeDjSoftware;
    std::optional<int64_t> activePlaylistId;
    std::optional<std::string> djSoftwarePlaylistId;
    std::map<std::string, std::string> djSoftwarePlaylistIds;
    bool showNowPlaying = true;
    bool voteOnlyMode = false;
    int64_t voteOnlyThreshold = 0;
    int64_t voteOnlyCustomThreshold = 0;
    bool activityVoteOnlyEnabled = false;
    int64_t activityVoteOnlyThreshold = 50;
    int64_t activityVoteOnlyWindowMinutes = 5;
    int64_t messageCooldownSeconds = 30;
    int64_t guestMessageCooldownMinutes = 0;
    int64_t planVoteOnlyLimit = 0;
    std::optional<std::string> startsAt;
    std::optional<int64_t> activeLibraryId;
    std::vector<int64_t> libraryIds;

    static const std::array<std::string_view, 5>& eventTypes();
    static EventPreferences fromJson(const json& j);
    json toJson() const;
    bool operator==(const EventPreferences&) const = default;
};

struct PreferencesResponse {
    EventPreferences preferences;
    static PreferencesResponse fromJson(const json& j);
    json toJson() const;
};

struct SavedEvent {
    std::string id;
    std::string eventName;
    std::string djName;
    std::string createdAt;
    std::optional<std::string> lastUsedAt;
    std::optional<std::string> startsAt;
    std::optional<EventPreferences> preferences;

    static SavedEvent fromJson(const json& j);
    json toJson() const;
    bool operator==(const SavedEvent&) const = default;
};

struct DJOwnedEvent {
    std::string id;
    std::string eventName;
    std::string djName;
    std::string djPin;
    bool isActive = false;
    std::optional<std::string> createdAt;
    std::optional<std::string> startsAt;

    static DJOwnedEvent fromJson(const json& j);
    json toJson() const;
    bool operator==(const DJOwnedEvent&) const = default;
};

struct DJEventsResponse {
    std::vector<DJOwnedEvent> events;
    static DJEventsResponse fromJson(const json& j);
    json toJson() const;
};

struct CreateEventResponse {
    std::string id;
    std::string djName;
    std::string eventName;
    static CreateEventResponse fromJson(const json& j);
    json toJson() const;
    bool operator==(const CreateEventResponse&) const = default;
};

struct DJAuthResponse {
    bool success = false;
    std::optional<std::string> eventName;
    std::optional<std::string> djName;
    static DJAuthResponse fromJson(const json& j);
    json toJson() const;
    bool operator==(const DJAuthResponse&) const = default;
};

struct OTPVerifyResponse {
    bool success = false;
    std::string djUuid;
    std::string accessToken;
    std::string refreshToken;
    static OTPVerifyResponse fromJson(const json& j);
    json toJson() const;
    bool operator==(const OTPVerifyResponse&) const = default;
};

struct HandoffResponse {
    bool success = false;
    std::string djUuid;
    std::string accessToken;
    std::string refreshToken;
    bool isEmpty = false;
    std::optional<std::string> displayName;
    std::optional<std::string> role;
    static HandoffResponse fromJson(const json& j);
    json toJson() const;
    bool operator==(const HandoffResponse&) const = default;
};

struct DedicatedServerResponse {
    bool hasDedicatedServer = false;
    std::optional<std::string> serverIp;
    std::optional<std::string> serverUrl;
    std::optional<std::string> status;
    bool suspended = false;
    std::optional<std::string> suspendReason;
    std::optional<std::string> suspendedAt;
    static DedicatedServerResponse fromJson(const json& j);
    json toJson() const;
    bool operator==(const DedicatedServerResponse&) const = default;
};

struct DJProfile {
    std::string uuid;
    std::optional<std::string> email;
    std::optional<std::string> displayName;
    std::optional<std::string> role;
    std::optional<std::string> createdAt;
    std::optional<std::string> lastLogin;
    static DJProfile fromJson(const json& j);
    json toJson() const;
    bool operator==(const DJProfile&) const = default;
};

struct DJNotification {
    int64_t id = 0;
    std::string type;
    std::string title;
    std::string message;
    std::string severity = "info";
    bool isRead = false;
    std::optional<std::string> actionUrl;
    std::optional<std::string> expiresAt;
    std::string createdAt;
    static DJNotification fromJson(const json& j);
    json toJson() const;
    bool operator==(const DJNotification&) const = default;
};

struct DJNotificationsResponse {
    std::vector<DJNotification> notifications;
    int64_t unreadCount = 0;
    static DJNotificationsResponse fromJson(const json& j);
    json toJson() const;
};

struct DJLibrary {
    int64_t id = 0;
    std::string name;
    int64_t trackCount = 0;
    std::optional<std::string> createdAt;
    static DJLibrary fromJson(const json& j);
    json toJson() const;
    bool operator==(const DJLibrary&) const = default;
};

struct LibrariesResponse {
    std::vector<DJLibrary> libraries;
    static LibrariesResponse fromJson(const json& j);
    json toJson() const;
};

struct ImportTracksResponse {
    int64_t imported = 0;
    std::optional<int64_t> libraryId;
    static ImportTracksResponse fromJson(const json& j);
    json toJson() const;
};

struct ServerPlaylist {
    int64_t id = 0;
    std::string eventId;
    std::string name;
    std::string source;
    std::string sourcePlaylistId;
    int64_t trackCount = 0;
    std::optional<std::string> createdAt;
    std::optional<std::vector<Track>> tracks;
    static ServerPlaylist fromJson(const json& j);
    json toJson() const;
    bool operator==(const ServerPlaylist&) const = default;
};

struct PlaylistsResponse {
    std::vector<ServerPlaylist> playlists;
    static PlaylistsResponse fromJson(const json& j);
    json toJson() const;
};

struct PlaylistPayload {
    int64_t id = 0;
    std::string name;
    std::optional<std::string> source;
    std::optional<std::string> sourcePlaylistId;
    std::optional<int64_t> trackCount;
    std::optional<std::string> createdAt;
    static PlaylistPayload fromJson(const json& j);
    json toJson() const;
};

struct CreatePlaylistResponse {
    std::optional<bool> success;
    PlaylistPayload playlist;
    static CreatePlaylistResponse fromJson(const json& j);
    json toJson() const;
};

struct RequestsResponse {
    std::vector<MusicRequest> requests;
    static RequestsResponse fromJson(const json& j);
    json toJson() const;
};
using RequestsWrapper = RequestsResponse;

struct MessagesResponse {
    std::vector<GuestMessage> messages;
    static MessagesResponse fromJson(const json& j);
    json toJson() const;
};
using MessagesWrapper = MessagesResponse;

struct TracksResponse {
    std::vector<Track> tracks;
    std::optional<int64_t> libraryId;
    static TracksResponse fromJson(const json& j);
    json toJson() const;
};

struct HealthResponse {
    std::string status;
    static HealthResponse fromJson(const json& j);
    json toJson() const;
};

struct UploadImageResponse {
    std::string url;
    static UploadImageResponse fromJson(const json& j);
    json toJson() const;
};

struct DeleteResponse {
    int64_t deleted = 0;
    static DeleteResponse fromJson(const json& j);
    json toJson() const;
};

// Moderation records are read field by field: a missing field yields its default.
struct GuestBan {
    int64_t id = 0;
    std::string deviceId;
    std::optional<std::string> eventId;
    std::string reason;
    std::string banType = "temp";
    std::optional<int64_t> expiresAt;
    std::string createdBy = "dj";
    int64_t createdAt = 0;
    static GuestBan fromJson(const json& j);
    json toJson() const;
    bool operator==(const GuestBan&) const = default;
};

struct GuestDevice {
    std::string id;
    std::string deviceId;
    int64_t requestCount = 0;
    std::string lastSeen;
    std::vector<std::string> guestNames;
    bool isBanned = false;
    static GuestDevice fromJson(const json& j);
    json toJson() const;
    bool operator==(const GuestDevice&) const = default;
};

struct ModerationSettings {
    bool autoBanEnabled = false;
    int64_t requestsPerWindow = 0;
    int64_t messagesPerWindow = 0;
    int64_t windowMinutes = 0;
    int64_t banDurationMinutes = 0;
    std::vector<std::string> nameBlocklist;
    static ModerationSettings fromJson(const json& j);
    json toJson() const;
    bool operator==(const ModerationSettings&) const = default;
};

// Decodes a record from JSON text; syntax and record errors both throw DecodeError.
template <typename T>
T decode(std::string_view text) {
    return T::fromJson(jsonx::parse(text));
}

// The current time as ISO 8601 in UTC with the Z suffix.
std::string isoNow();

}  // namespace fv

template <>
struct std::hash<fv::Track> {
    size_t operator()(const fv::Track& t) const noexcept;
};
template <>
struct std::hash<fv::MusicRequest> {
    size_t operator()(const fv::MusicRequest& r) const noexcept;
};
template <>
struct std::hash<fv::GuestMessage> {
    size_t operator()(const fv::GuestMessage& m) const noexcept;
};
template <>
struct std::hash<fv::DJNotification> {
    size_t operator()(const fv::DJNotification& n) const noexcept;
};
