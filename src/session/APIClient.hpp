#pragma once
// The one client of the backend's REST interface. Calls are coroutines on the caller's executor
// (the main loop); failures are thrown: APIError for statuses, HttpError for the transport,
// DecodeError for answers that do not decode.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/Json.hpp"
#include "session/APIError.hpp"
#include "session/Records.hpp"

namespace fv {

class HttpClient;
struct HttpRequest;
struct HttpResponse;
class KeychainService;
struct AppSettings;
struct ReplyTemplate;

// Where the client reads the bearer token and writes a refreshed one (the authentication store).
class AccessTokenHolder {
public:
    virtual ~AccessTokenHolder() = default;
    virtual std::optional<std::string> accessToken() const = 0;
    virtual void setAccessToken(std::string token) = 0;
};

// Answer of go-live and extend.
struct LivePeriodResponse {
    bool success = false;
    std::optional<std::string> startedAt;
    std::optional<std::string> expiresAt;
    static LivePeriodResponse fromJson(const json& j);
};

// Answer of the live status call.
struct LiveStatusResponse {
    std::string eventId;
    bool isLive = false;
    std::optional<std::string> startedAt;
    std::optional<std::string> expiresAt;
    bool isExpired = false;
    int64_t remainingSeconds = 0;
    static LiveStatusResponse fromJson(const json& j);
};

class APIClient {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    static constexpr std::chrono::milliseconds requestTimeout{60000};
    static constexpr std::chrono::milliseconds handoffTimeout{15000};

    APIClient(AccessTokenHolder& tokens, KeychainService& keychain, HttpClient& http);
    // Wired to the authentication store, the standard keychain and the shared transport.
    static APIClient& shared();

    // The timeout of every call but the handoff (tests shorten it).
    void setRequestTimeout(std::chrono::milliseconds t) { timeout_ = t; }

    // The status rules: 2xx passes; 404 is notFound; 401 is serverMessage with the body's "error"
    // text (when read and present) or unauthorized; others serverMessage or serverError.
    static void validateResponse(int status, std::string_view body, bool readErrorText);

    // Multipart bodies, exactly as they go on the wire.
    static std::string eventImageBody(const std::string& boundary, const std::string& imageType, std::string_view png);
    static std::string profileLogoBody(const std::string& boundary, std::string_view png);

    // Percent-encodes a query value; everything but the unreserved characters is escaped so that
    // "&", "=", "+" and "#" inside a value cannot change the query.
    static std::string queryEncode(std::string_view value);

    // The base URL of the moment, with its log line.
    static std::string currentBaseURL();

    // Account and login.
    Task<bool> healthCheck();  // never throws
    Task<bool> refreshAccessToken();
    // Exchanges a refresh token for an access token (at baseURL, else the base URL of the moment).
    Task<std::string> refreshToken(const std::string& refreshToken, std::optional<std::string> baseURL = std::nullopt);
    Task<bool> sendOTP(const std::string& email);
    Task<OTPVerifyResponse> verifyOTP(const std::string& email, const std::string& code);
    Task<void> logout(const std::string& refreshToken);
    Task<DJProfile> getProfile();
    Task<DJEventsResponse> getDJEvents();
    // Always asked of the production service, whatever the base URL.
    // With a bearer token given, that token is sent and no refresh is tried.
    Task<DedicatedServerResponse> getDedicatedServer(std::optional<std::string> bearer = std::nullopt);
    Task<HandoffResponse> handoff(const std::string& serverURL, const std::string& displayName, const std::string& email);
    Task<DJNotificationsResponse> getNotifications();
    Task<void> markNotificationRead(int64_t notificationId);
    Task<void> markAllNotificationsRead();

    // Event and requests.
    Task<DJAuthResponse> verifyDJPin(const std::string& eventId, const std::string& pin);
    Task<CreateEventResponse> createEvent(const std::string& djName, const std::string& eventName, const std::string& djPin);
    Task<CreateEventResponse> recreateEvent(const std::string& id, const std::string& djName, const std::string& eventName,
                                            const std::string& djPin);
    Task<DJEvent> getEvent(const std::string& eventId);
    Task<void> setEventActive(const std::string& eventId, bool active);
    Task<RequestsResponse> getRequests(const std::string& eventId, std::optional<RequestStatus> status = std::nullopt);
    Task<void> updateRequestStatus(const std::string& eventId, int64_t requestId, RequestStatus status);
    Task<MessagesResponse> getMessages(const std::string& eventId);
    Task<void> deleteMessage(const std::string& eventId, int64_t messageId);
    Task<void> deleteAllMessages(const std::string& eventId);
    Task<void> replyToMessage(const std::string& eventId, int64_t messageId, const std::string& content,
                              const std::string& sessionId);
    Task<void> broadcast(const std::string& eventId, const std::string& content,
                         std::optional<std::string> imageUrl = std::nullopt);
    Task<void> broadcastAd(const std::string& eventId, const std::string& content, const std::string& adHtml);
    Task<void> reportNowPlaying(const std::string& eventId, const std::string& title, const std::string& artist);
    Task<EventStats> getStats(const std::string& eventId);
    Task<AllEventStatsResponse> getAllEventStats();
    Task<PreferencesResponse> getPreferences(const std::string& eventId);
    Task<void> savePreferences(const std::string& eventId, const EventPreferences& prefs, const AppSettings& settings,
                               std::optional<int64_t> activePlaylistId);
    Task<void> changeEventPin(const std::string& eventId, const std::string& pin);
    Task<UploadImageResponse> uploadEventImage(const std::string& eventId, std::string png, const std::string& imageType);
    Task<LivePeriodResponse> goLive(const std::string& eventId);
    Task<LivePeriodResponse> extendLive(const std::string& eventId);
    Task<LiveStatusResponse> liveStatus(const std::string& eventId);

    // Tracks, libraries and playlists.
    Task<TracksResponse> searchTracks(const std::string& eventId, std::optional<std::string> text = std::nullopt,
                                      std::optional<std::string> source = std::nullopt);
    Task<ImportTracksResponse> importTracks(const std::string& eventId, const std::vector<TrackInput>& tracks,
                                            const std::string& libraryName, const std::string& playlistName);
    Task<DeleteResponse> deleteTracks(const std::string& eventId, const std::string& source);
    Task<void> setTrackHidden(const std::string& eventId, int64_t trackId, bool hidden);
    Task<LibrariesResponse> getLibraries();
    Task<TracksResponse> getLibraryTracks(int64_t libraryId);
    Task<void> renameLibrary(int64_t libraryId, const std::string& name);
    Task<void> deleteLibrary(int64_t libraryId);
    Task<PlaylistsResponse> getPlaylists();
    Task<CreatePlaylistResponse> createPlaylist(const std::string& name, const std::string& sourcePlaylistId,
                                                const std::vector<int64_t>& trackIds);
    Task<void> deletePlaylist(int64_t playlistId);
    Task<void> reorderPlaylist(int64_t playlistId, const std::vector<int64_t>& trackIds);

    // Event extras: thin calls; answers are handed back as parsed JSON where not modelled.
    Task<json> listContests();
    Task<json> setContestActive(const std::string& contestId, bool active);
    Task<json> drawContestWinner(const std::string& contestId);
    Task<json> pickContestWinner(const std::string& contestId, const json& entryId);
    Task<json> duplicateContest(const std::string& contestId);
    Task<json> resetContest(const std::string& contestId);
    Task<void> deleteContest(const std::string& contestId);
    Task<void> clearContestHistory(const std::string& contestId);
    Task<json> setContestDesign(const std::string& contestId, const json& design);
    Task<json> setContestMeta(const std::string& contestId, const std::string& title, bool notifyAllOnWin);
    Task<std::vector<GuestBan>> listBans();
    Task<json> banDevice(const std::string& deviceId, const std::string& reason, const std::string& banType,
                         std::optional<std::string> eventId, std::optional<int64_t> durationMinutes);
    Task<void> liftBan(const std::string& banId);
    Task<ModerationSettings> getModerationSettings();
    Task<json> updateModerationSettings(const ModerationSettings& settings);
    Task<std::vector<GuestDevice>> getEventGuests(const std::string& eventId);
    Task<json> listProfiles();
    Task<json> createProfile(const json& profile);
    Task<json> updateProfile(const std::string& profileId, const json& profile);
    Task<void> deleteProfile(const std::string& profileId);
    Task<UploadImageResponse> uploadProfileLogo(const std::string& profileId, std::string png);
    Task<json> listBackups();
    Task<json> createBackup(const std::string& action);
    Task<json> restoreBackup(const std::string& backupId, const json& body);
    Task<json> sendMigrationSourceOTP(const std::string& email);
    Task<json> importFromAccount(const std::string& sourceEmail, const std::string& otpCode, const std::string& mode);
    Task<json> resetAccountData();
    Task<json> listAds();
    Task<json> createAd(const json& ad);
    Task<json> duplicateAd(const std::string& adId);
    Task<json> showAd(const std::string& eventId, const std::string& html, const std::string& type, int64_t durationSeconds);
    Task<void> hideAd(const std::string& eventId);

private:
    enum class Kind { publicGet, get, send, publicPost, multipart };
    struct Call {
        Call(Kind k, std::string m, std::string p, std::optional<json> b = std::nullopt,
             std::optional<std::string> base = std::nullopt)
            : kind(k), method(std::move(m)), path(std::move(p)), body(std::move(b)), baseURL(std::move(base)) {}
        Kind kind;
        std::string method;
        std::string path;
        std::optional<json> body;
        std::string rawBody;
        std::string contentType;
        std::optional<std::string> baseURL;  // when not the base URL of the moment
        std::optional<std::string> bearer;   // instead of the store's access token
        std::optional<std::chrono::milliseconds> timeout;  // else the client's request timeout
    };
    HttpRequest buildRequest(const Call& call, const std::string& base, const std::optional<std::string>& token) const;
    Task<HttpResponse> transport(HttpRequest request);
    Task<std::string> perform(Call call);
    Task<std::string> publicGet(std::string path);
    Task<std::string> get(std::string path);
    Task<std::string> send(std::string method, std::string path, std::optional<json> body);
    Task<std::string> publicPost(std::string path, json body);
    Task<std::string> multipart(std::string path, std::string boundary, std::string body);

    AccessTokenHolder& tokens_;
    KeychainService& keychain_;
    HttpClient& http_;
    std::chrono::milliseconds timeout_ = requestTimeout;
};

}  // namespace fv
