#include "session/APIClient.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <boost/asio/use_awaitable.hpp>

#include "core/Log.hpp"
#include "core/Uuid.hpp"
#include "session/AppSettings.hpp"
#include "session/AuthStore.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"

namespace fv {

namespace {

json parseBody(std::string_view body) { return jsonx::parse(body); }

template <typename T>
T decodeBody(std::string_view body) {
    return T::fromJson(parseBody(body));
}

std::string idText(int64_t id) { return std::to_string(id); }

json templatesJson(const std::vector<ReplyTemplate>& list) {
    json out = json::array();
    for (const auto& t : list) out.push_back({{"text", t.text}, {"language", t.language}});
    return out;
}

}  // namespace

LivePeriodResponse LivePeriodResponse::fromJson(const json& j) {
    jsonx::requireObject(j, "LivePeriodResponse");
    LivePeriodResponse r;
    r.success = jsonx::defaulted<bool>(j, "success", false);
    r.startedAt = jsonx::optional<std::string>(j, "startedAt");
    r.expiresAt = jsonx::optional<std::string>(j, "expiresAt");
    return r;
}

LiveStatusResponse LiveStatusResponse::fromJson(const json& j) {
    jsonx::requireObject(j, "LiveStatusResponse");
    LiveStatusResponse r;
    r.eventId = jsonx::defaulted<std::string>(j, "eventId", "");
    r.isLive = jsonx::boolOrInt(j, "isLive", false);
    r.startedAt = jsonx::optional<std::string>(j, "startedAt");
    r.expiresAt = jsonx::optional<std::string>(j, "expiresAt");
    r.isExpired = jsonx::boolOrInt(j, "isExpired", false);
    r.remainingSeconds = jsonx::defaulted<int64_t>(j, "remainingSeconds", 0);
    return r;
}

APIClient::APIClient(AccessTokenHolder& tokens, KeychainService& keychain, HttpClient& http)
    : tokens_(tokens), keychain_(keychain), http_(http) {}

APIClient& APIClient::shared() {
    static KeychainService keychain;
    static APIClient client(AuthStore::shared(), keychain, HttpClient::shared());
    return client;
}

void APIClient::validateResponse(int status, std::string_view body, bool readErrorText) {
    if (status < 100 || status > 999) throw APIError(APIError::Kind::invalidResponse);
    if (status >= 200 && status <= 299) return;
    if (status == 404) throw APIError(APIError::Kind::notFound);
    std::optional<std::string> text;
    if (readErrorText) {
        json j = json::parse(body, nullptr, false);
        if (j.is_object()) {
            auto it = j.find("error");
            if (it != j.end() && it->is_string()) text = it->get<std::string>();
        }
    }
    if (status == 401) {
        if (text) throw APIError::serverMessage(401, *text);
        throw APIError(APIError::Kind::unauthorized);
    }
    if (text) throw APIError::serverMessage(status, *text);
    throw APIError::serverError(status);
}

std::string APIClient::queryEncode(std::string_view value) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string APIClient::eventImageBody(const std::string& boundary, const std::string& imageType, std::string_view png) {
    std::string b;
    b.reserve(png.size() + 256);
    b += "--" + boundary + "\r\n";
    b += "Content-Disposition: form-data; name=\"type\"\r\n";
    b += "\r\n";
    b += imageType + "\r\n";
    b += "--" + boundary + "\r\n";
    b += "Content-Disposition: form-data; name=\"image\"; filename=\"" + imageType + ".png\"\r\n";
    b += "Content-Type: image/png\r\n";
    b += "\r\n";
    b.append(png);
    b += "\r\n--" + boundary + "--";
    return b;
}

std::string APIClient::profileLogoBody(const std::string& boundary, std::string_view png) {
    std::string b;
    b.reserve(png.size() + 192);
    b += "--" + boundary + "\r\n";
    b += "Content-Disposition: form-data; name=\"image\"; filename=\"logo.png\"\r\n";
    b += "Content-Type: image/png\r\n";
    b += "\r\n";
    b.append(png);
    b += "\r\n--" + boundary + "--";
    return b;
}

std::string APIClient::currentBaseURL() {
    AppSettings s = AppSettings::load();
    std::string url = s.serverURL();
    logLine("APIClient", "serverUrl: " + url + " (devMode=" + (s.developerModeEnabled ? "true" : "false") +
                             ", mode=" + std::string(toString(s.serverMode)) + ")");
    return url;
}

HttpRequest APIClient::buildRequest(const Call& call, const std::string& base, const std::optional<std::string>& token) const {
    const bool authenticated = call.kind == Kind::get || call.kind == Kind::send || call.kind == Kind::multipart;
    HttpRequest r;
    r.method = call.method;
    r.url = base + call.path;
    r.timeout = call.timeout.value_or(timeout_);
    if (call.kind == Kind::multipart) {
        r.headers.emplace_back("Content-Type", call.contentType);
        r.body = call.rawBody;
    } else if (call.body) {
        r.headers.emplace_back("Content-Type", "application/json");
        r.body = call.body->dump();
    }
    if (authenticated && call.bearer)
        r.headers.emplace_back("Authorization", "Bearer " + *call.bearer);
    else if (authenticated && token)
        r.headers.emplace_back("Authorization", "Bearer " + *token);
    return r;
}

APIClient::Task<HttpResponse> APIClient::transport(HttpRequest request) {
    std::optional<APIError> mapped;
    try {
        HttpResponse res = co_await http_.send(std::move(request));
        co_return res;
    } catch (const HttpError& e) {
        if (e.kind() == HttpError::Kind::invalidURL) mapped = APIError(APIError::Kind::invalidURL);
        else if (e.kind() == HttpError::Kind::notHttp) mapped = APIError(APIError::Kind::invalidResponse);
        else throw;
    }
    throw *mapped;
}

APIClient::Task<std::string> APIClient::perform(Call call) {
    std::string base;
    if (call.baseURL)
        base = *call.baseURL;
    else
        base = currentBaseURL();
    std::optional<std::string> token;
    if (call.kind != Kind::publicGet && call.kind != Kind::publicPost) token = tokens_.accessToken();

    HttpRequest first = buildRequest(call, base, token);
    HttpResponse res = co_await transport(std::move(first));
    // A token given for this call belongs to another backend than the stored refresh token.
    if (call.kind == Kind::get && res.status == 401 && !call.bearer) {
        bool refreshed = false;
        try {
            refreshed = co_await refreshAccessToken();
        } catch (const std::exception&) {
            refreshed = false;  // the first answer decides then
        }
        if (refreshed) {
            std::optional<std::string> fresh = tokens_.accessToken();
            HttpRequest again = buildRequest(call, base, fresh);
            HttpResponse second = co_await transport(std::move(again));
            validateResponse(second.status, second.body, false);
            co_return std::move(second.body);
        }
    }
    const bool readErrorText = call.kind == Kind::send || call.kind == Kind::publicPost || call.kind == Kind::multipart;
    validateResponse(res.status, res.body, readErrorText);
    co_return std::move(res.body);
}

APIClient::Task<std::string> APIClient::publicGet(std::string path) {
    Call c(Kind::publicGet, "GET", std::move(path), std::nullopt, std::nullopt);
    std::string body_ = co_await perform(std::move(c));
    co_return body_;
}

APIClient::Task<std::string> APIClient::get(std::string path) {
    Call c(Kind::get, "GET", std::move(path), std::nullopt, std::nullopt);
    std::string body_ = co_await perform(std::move(c));
    co_return body_;
}

APIClient::Task<std::string> APIClient::send(std::string method, std::string path, std::optional<json> body) {
    Call c(Kind::send, std::move(method), std::move(path), std::move(body), std::nullopt);
    std::string body_ = co_await perform(std::move(c));
    co_return body_;
}

APIClient::Task<std::string> APIClient::publicPost(std::string path, json body) {
    Call c(Kind::publicPost, "POST", std::move(path), std::move(body), std::nullopt);
    std::string body_ = co_await perform(std::move(c));
    co_return body_;
}

APIClient::Task<std::string> APIClient::multipart(std::string path, std::string boundary, std::string body) {
    Call c(Kind::multipart, "POST", std::move(path));
    c.rawBody = std::move(body);
    c.contentType = "multipart/form-data; boundary=" + boundary;
    std::string answer = co_await perform(std::move(c));
    co_return answer;
}

// Account and login.

APIClient::Task<bool> APIClient::healthCheck() {
    try {
        auto body = co_await publicGet("/api/health");
        co_return decodeBody<HealthResponse>(body).status == "ok";
    } catch (...) {
        co_return false;
    }
}

APIClient::Task<bool> APIClient::refreshAccessToken() {
    auto token = keychain_.read("refreshToken");
    if (!token) co_return false;
    std::string access = co_await refreshToken(*token);
    tokens_.setAccessToken(std::move(access));
    co_return true;
}

APIClient::Task<std::string> APIClient::refreshToken(const std::string& refreshToken, std::optional<std::string> baseURL) {
    Call c(Kind::publicPost, "POST", "/api/auth/refresh", json{{"refreshToken", refreshToken}}, std::move(baseURL));
    auto j = parseBody(co_await perform(std::move(c)));
    jsonx::requireObject(j, "refresh response");
    co_return jsonx::required<std::string>(j, "accessToken");
}

APIClient::Task<bool> APIClient::sendOTP(const std::string& email) {
    json body1 = json{{"email", email}};
    auto body = co_await publicPost("/api/auth/otp/send", std::move(body1));
    auto j = parseBody(body);
    jsonx::requireObject(j, "OTP response");
    co_return jsonx::required<bool>(j, "success");
}

APIClient::Task<OTPVerifyResponse> APIClient::verifyOTP(const std::string& email, const std::string& code) {
    json body2 = json{{"email", email}, {"code", code}};
    co_return decodeBody<OTPVerifyResponse>(co_await publicPost("/api/auth/otp/verify", std::move(body2)));
}

APIClient::Task<void> APIClient::logout(const std::string& refreshToken) {
    json body3 = json{{"refreshToken", refreshToken}};
    co_await publicPost("/api/auth/logout", std::move(body3));
}

APIClient::Task<DJProfile> APIClient::getProfile() { co_return decodeBody<DJProfile>(co_await get("/api/dj/profile")); }

APIClient::Task<DJEventsResponse> APIClient::getDJEvents() {
    co_return decodeBody<DJEventsResponse>(co_await get("/api/dj/events"));
}

APIClient::Task<DedicatedServerResponse> APIClient::getDedicatedServer(std::optional<std::string> bearer) {
    Call c(Kind::get, "GET", "/api/dj/dedicated-server", std::nullopt, AppSettings::productionURL());
    c.bearer = std::move(bearer);
    co_return decodeBody<DedicatedServerResponse>(co_await perform(std::move(c)));
}

APIClient::Task<HandoffResponse> APIClient::handoff(const std::string& serverURL, const std::string& displayName,
                                                    const std::string& email) {
    std::string base = serverURL;
    while (!base.empty() && base.back() == '/') base.pop_back();
    Call c(Kind::send, "POST", "/api/auth/handoff", json{{"displayName", displayName}, {"email", email}}, base);
    c.timeout = handoffTimeout;
    co_return decodeBody<HandoffResponse>(co_await perform(std::move(c)));
}

APIClient::Task<DJNotificationsResponse> APIClient::getNotifications() {
    co_return decodeBody<DJNotificationsResponse>(co_await get("/api/dj/notifications"));
}

APIClient::Task<void> APIClient::markNotificationRead(int64_t notificationId) {
    json body4 = json{{"notificationId", notificationId}};
    co_await send("POST", "/api/dj/notifications/mark-read", std::move(body4));
}

APIClient::Task<void> APIClient::markAllNotificationsRead() {
    json body5 = json{{"all", true}};
    co_await send("POST", "/api/dj/notifications/mark-read", std::move(body5));
}

// Event and requests.

APIClient::Task<DJAuthResponse> APIClient::verifyDJPin(const std::string& eventId, const std::string& pin) {
    json body6 = json{{"pin", pin}};
    co_return decodeBody<DJAuthResponse>(co_await publicPost("/api/events/" + eventId + "/dj-auth", std::move(body6)));
}

APIClient::Task<CreateEventResponse> APIClient::createEvent(const std::string& djName, const std::string& eventName,
                                                            const std::string& djPin) {
    json body7 = json{{"djName", djName}, {"eventName", eventName}, {"djPin", djPin}};
    co_return decodeBody<CreateEventResponse>(
        co_await publicPost("/api/events", std::move(body7)));
}

APIClient::Task<CreateEventResponse> APIClient::recreateEvent(const std::string& id, const std::string& djName,
                                                              const std::string& eventName, const std::string& djPin) {
    json body8 = json{{"id", id}, {"djName", djName}, {"eventName", eventName}, {"djPin", djPin}};
    co_return decodeBody<CreateEventResponse>(co_await publicPost(
        "/api/events", std::move(body8)));
}

APIClient::Task<DJEvent> APIClient::getEvent(const std::string& eventId) {
    co_return decodeBody<DJEvent>(co_await publicGet("/api/events/" + eventId));
}

APIClient::Task<void> APIClient::setEventActive(const std::string& eventId, bool active) {
    json body9 = json{{"active", active}};
    co_await send("PATCH", "/api/events/" + eventId + "/active", std::move(body9));
}

APIClient::Task<RequestsResponse> APIClient::getRequests(const std::string& eventId, std::optional<RequestStatus> status) {
    std::string path = "/api/events/" + eventId + "/requests";
    if (status) path += "?status=" + std::string(toString(*status));
    co_return decodeBody<RequestsResponse>(co_await publicGet(std::move(path)));
}

APIClient::Task<void> APIClient::updateRequestStatus(const std::string& eventId, int64_t requestId, RequestStatus status) {
    json body10 = json{{"status", std::string(toString(status))}};
    co_await send("PATCH", "/api/events/" + eventId + "/requests/" + idText(requestId),
                  std::move(body10));
}

APIClient::Task<MessagesResponse> APIClient::getMessages(const std::string& eventId) {
    co_return decodeBody<MessagesResponse>(co_await publicGet("/api/events/" + eventId + "/messages"));
}

APIClient::Task<void> APIClient::deleteMessage(const std::string& eventId, int64_t messageId) {
    co_await send("DELETE", "/api/events/" + eventId + "/messages/" + idText(messageId), std::nullopt);
}

APIClient::Task<void> APIClient::deleteAllMessages(const std::string& eventId) {
    co_await send("DELETE", "/api/events/" + eventId + "/messages", std::nullopt);
}

APIClient::Task<void> APIClient::replyToMessage(const std::string& eventId, int64_t messageId, const std::string& content,
                                                const std::string& sessionId) {
    json body11 = json{{"content", content}, {"sessionId", sessionId}};
    co_await send("POST", "/api/events/" + eventId + "/messages/" + idText(messageId) + "/reply",
                  std::move(body11));
}

APIClient::Task<void> APIClient::broadcast(const std::string& eventId, const std::string& content,
                                           std::optional<std::string> imageUrl) {
    if (eventId.empty()) throw APIError(APIError::Kind::noActiveEvent);
    json body{{"content", content}};
    if (imageUrl) body["imageUrl"] = *imageUrl;
    co_await send("POST", "/api/events/" + eventId + "/broadcast", std::move(body));
}

APIClient::Task<void> APIClient::broadcastAd(const std::string& eventId, const std::string& content,
                                             const std::string& adHtml) {
    if (eventId.empty()) throw APIError(APIError::Kind::noActiveEvent);
    json body12 = json{{"content", content}, {"ad_html", adHtml}};
    co_await send("POST", "/api/events/" + eventId + "/broadcast", std::move(body12));
}

APIClient::Task<void> APIClient::reportNowPlaying(const std::string& eventId, const std::string& title,
                                                  const std::string& artist) {
    json body13 = json{{"title", title}, {"artist", artist}};
    co_await send("POST", "/api/events/" + eventId + "/now-playing", std::move(body13));
}

APIClient::Task<EventStats> APIClient::getStats(const std::string& eventId) {
    co_return decodeBody<EventStats>(co_await publicGet("/api/events/" + eventId + "/stats"));
}

APIClient::Task<AllEventStatsResponse> APIClient::getAllEventStats() {
    co_return decodeBody<AllEventStatsResponse>(co_await get("/api/dj/stats"));
}

APIClient::Task<PreferencesResponse> APIClient::getPreferences(const std::string& eventId) {
    co_return decodeBody<PreferencesResponse>(co_await publicGet("/api/events/" + eventId + "/preferences"));
}

APIClient::Task<void> APIClient::savePreferences(const std::string& eventId, const EventPreferences& prefs,
                                                 const AppSettings& settings, std::optional<int64_t> activePlaylistId) {
    json body = prefs.toJson();
    body["replyTemplates"] = templatesJson(settings.replyTemplates);
    body["guestMessageTemplates"] = templatesJson(settings.guestMessageTemplates);
    body["broadcastTemplates"] = templatesJson(settings.broadcastTemplates);
    if (activePlaylistId) body["activePlaylistId"] = *activePlaylistId;
    co_await send("PATCH", "/api/events/" + eventId + "/preferences", std::move(body));
}

APIClient::Task<void> APIClient::changeEventPin(const std::string& eventId, const std::string& pin) {
    json body14 = json{{"djPin", pin}};
    co_await send("PATCH", "/api/events/" + eventId + "/preferences", std::move(body14));
}

APIClient::Task<UploadImageResponse> APIClient::uploadEventImage(const std::string& eventId, std::string png,
                                                                 const std::string& imageType) {
    std::string boundary = "Boundary-" + makeUuid();
    std::string body = eventImageBody(boundary, imageType, png);
    co_return decodeBody<UploadImageResponse>(co_await multipart("/api/events/" + eventId + "/upload", boundary, std::move(body)));
}

APIClient::Task<LivePeriodResponse> APIClient::goLive(const std::string& eventId) {
    json body15 = json{{"eventId", eventId}};
    co_return decodeBody<LivePeriodResponse>(co_await send("POST", "/api/dj/event/" + eventId + "/go-live", std::move(body15)));
}

APIClient::Task<LivePeriodResponse> APIClient::extendLive(const std::string& eventId) {
    json body16 = json{{"eventId", eventId}};
    co_return decodeBody<LivePeriodResponse>(co_await send("POST", "/api/dj/event/" + eventId + "/extend", std::move(body16)));
}

APIClient::Task<LiveStatusResponse> APIClient::liveStatus(const std::string& eventId) {
    co_return decodeBody<LiveStatusResponse>(co_await get("/api/dj/event/" + eventId + "/status"));
}

// Tracks, libraries and playlists.

APIClient::Task<TracksResponse> APIClient::searchTracks(const std::string& eventId, std::optional<std::string> text,
                                                        std::optional<std::string> source) {
    std::vector<std::string> parts;
    if (text) parts.push_back("q=" + queryEncode(*text));
    if (source) parts.push_back("source=" + queryEncode(*source));
    std::string path = "/api/events/" + eventId + "/tracks";
    for (size_t i = 0; i < parts.size(); ++i) path += (i == 0 ? "?" : "&") + parts[i];
    co_return decodeBody<TracksResponse>(co_await publicGet(std::move(path)));
}

APIClient::Task<ImportTracksResponse> APIClient::importTracks(const std::string& eventId, const std::vector<TrackInput>& tracks,
                                                              const std::string& libraryName, const std::string& playlistName) {
    json list = json::array();
    for (const auto& t : tracks) list.push_back(t.toJson());
    json body{{"tracks", std::move(list)}, {"libraryName", libraryName}, {"playlistName", playlistName}};
    co_return decodeBody<ImportTracksResponse>(co_await send("POST", "/api/events/" + eventId + "/tracks", std::move(body)));
}

APIClient::Task<DeleteResponse> APIClient::deleteTracks(const std::string& eventId, const std::string& source) {
    co_return decodeBody<DeleteResponse>(co_await send("DELETE", "/api/events/" + eventId + "/tracks?source=" + source, std::nullopt));
}

APIClient::Task<void> APIClient::setTrackHidden(const std::string& eventId, int64_t trackId, bool hidden) {
    json body17 = json{{"hidden", hidden}};
    co_await send("PATCH", "/api/events/" + eventId + "/tracks/" + idText(trackId), std::move(body17));
}

APIClient::Task<LibrariesResponse> APIClient::getLibraries() {
    co_return decodeBody<LibrariesResponse>(co_await get("/api/libraries"));
}

APIClient::Task<TracksResponse> APIClient::getLibraryTracks(int64_t libraryId) {
    co_return decodeBody<TracksResponse>(co_await get("/api/libraries/" + idText(libraryId) + "/tracks"));
}

APIClient::Task<void> APIClient::renameLibrary(int64_t libraryId, const std::string& name) {
    json body18 = json{{"name", name}};
    co_await send("PATCH", "/api/libraries/" + idText(libraryId), std::move(body18));
}

APIClient::Task<void> APIClient::deleteLibrary(int64_t libraryId) {
    co_await send("DELETE", "/api/libraries/" + idText(libraryId), std::nullopt);
}

APIClient::Task<PlaylistsResponse> APIClient::getPlaylists() {
    co_return decodeBody<PlaylistsResponse>(co_await get("/api/playlists?includeTracks=true"));
}

APIClient::Task<CreatePlaylistResponse> APIClient::createPlaylist(const std::string& name, const std::string& sourcePlaylistId,
                                                                  const std::vector<int64_t>& trackIds) {
    json body{{"name", name}, {"sourcePlaylistId", sourcePlaylistId}, {"trackIds", trackIds}};
    co_return decodeBody<CreatePlaylistResponse>(co_await send("POST", "/api/playlists", std::move(body)));
}

APIClient::Task<void> APIClient::deletePlaylist(int64_t playlistId) {
    co_await send("DELETE", "/api/playlists/" + idText(playlistId), std::nullopt);
}

APIClient::Task<void> APIClient::reorderPlaylist(int64_t playlistId, const std::vector<int64_t>& trackIds) {
    json body19 = json{{"trackIds", trackIds}};
    co_await send("PUT", "/api/playlists/" + idText(playlistId) + "/reorder", std::move(body19));
}

// Event extras.

namespace {
json parsedOrEmpty(const std::string& body) {
    if (body.empty()) return json::object();
    return jsonx::parse(body);
}
}  // namespace

APIClient::Task<json> APIClient::listContests() { co_return parsedOrEmpty(co_await get("/api/dj/contests")); }

APIClient::Task<json> APIClient::setContestActive(const std::string& contestId, bool active) {
    co_return parsedOrEmpty(co_await send("PATCH", "/api/dj/contests/" + contestId + (active ? "/activate" : "/deactivate"),
                                          json::object()));
}

APIClient::Task<json> APIClient::drawContestWinner(const std::string& contestId) {
    co_return parsedOrEmpty(co_await send("POST", "/api/dj/contests/" + contestId + "/draw", json::object()));
}

APIClient::Task<json> APIClient::pickContestWinner(const std::string& contestId, const json& entryId) {
    json body20 = json{{"entryId", entryId}};
    co_return parsedOrEmpty(co_await send("POST", "/api/dj/contests/" + contestId + "/pick-winner", std::move(body20)));
}

APIClient::Task<json> APIClient::duplicateContest(const std::string& contestId) {
    co_return parsedOrEmpty(co_await send("POST", "/api/dj/contests/" + contestId + "/duplicate", json::object()));
}

APIClient::Task<json> APIClient::resetContest(const std::string& contestId) {
    co_return parsedOrEmpty(co_await send("POST", "/api/dj/contests/" + contestId + "/reset", json::object()));
}

APIClient::Task<void> APIClient::deleteContest(const std::string& contestId) {
    co_await send("DELETE", "/api/dj/contests/" + contestId, std::nullopt);
}

APIClient::Task<void> APIClient::clearContestHistory(const std::string& contestId) {
    co_await send("DELETE", "/api/dj/contests/" + contestId + "/history", std::nullopt);
}

APIClient::Task<json> APIClient::setContestDesign(const std::string& contestId, const json& design) {
    co_return parsedOrEmpty(co_await send("PATCH", "/api/dj/contests/" + contestId + "/design", design));
}

APIClient::Task<json> APIClient::setContestMeta(const std::string& contestId, const std::string& title, bool notifyAllOnWin) {
    json body21 = json{{"title", title}, {"notifyAllOnWin", notifyAllOnWin}};
    co_return parsedOrEmpty(co_await send("PATCH", "/api/dj/contests/" + contestId + "/meta",
                                          std::move(body21)));
}

APIClient::Task<std::vector<GuestBan>> APIClient::listBans() {
    json j = parseBody(co_await get("/api/moderation/bans"));
    jsonx::requireObject(j, "bans response");
    std::vector<GuestBan> out;
    if (const json* bans = jsonx::find(j, "bans"); bans && bans->is_array())
        for (const auto& b : *bans) out.push_back(GuestBan::fromJson(b));
    co_return out;
}

APIClient::Task<json> APIClient::banDevice(const std::string& deviceId, const std::string& reason, const std::string& banType,
                                           std::optional<std::string> eventId, std::optional<int64_t> durationMinutes) {
    json body{{"deviceId", deviceId}, {"reason", reason}, {"banType", banType}};
    body["eventId"] = eventId ? json(*eventId) : json(nullptr);
    body["durationMinutes"] = durationMinutes ? json(*durationMinutes) : json(nullptr);
    co_return parsedOrEmpty(co_await send("POST", "/api/moderation/bans", std::move(body)));
}

APIClient::Task<void> APIClient::liftBan(const std::string& banId) {
    co_await send("DELETE", "/api/moderation/bans/" + banId, std::nullopt);
}

APIClient::Task<ModerationSettings> APIClient::getModerationSettings() {
    co_return decodeBody<ModerationSettings>(co_await get("/api/moderation/settings"));
}

APIClient::Task<json> APIClient::updateModerationSettings(const ModerationSettings& settings) {
    co_return parsedOrEmpty(co_await send("PATCH", "/api/moderation/settings", settings.toJson()));
}

APIClient::Task<std::vector<GuestDevice>> APIClient::getEventGuests(const std::string& eventId) {
    json j = parseBody(co_await get("/api/events/" + eventId + "/moderation/guests"));
    jsonx::requireObject(j, "guests response");
    std::vector<GuestDevice> out;
    if (const json* devices = jsonx::find(j, "devices"); devices && devices->is_array())
        for (const auto& d : *devices) out.push_back(GuestDevice::fromJson(d));
    co_return out;
}

APIClient::Task<json> APIClient::listProfiles() { co_return parsedOrEmpty(co_await get("/api/dj/profiles")); }

APIClient::Task<json> APIClient::createProfile(const json& profile) {
    co_return parsedOrEmpty(co_await send("POST", "/api/dj/profiles", profile));
}

APIClient::Task<json> APIClient::updateProfile(const std::string& profileId, const json& profile) {
    co_return parsedOrEmpty(co_await send("PATCH", "/api/dj/profiles/" + profileId, profile));
}

APIClient::Task<void> APIClient::deleteProfile(const std::string& profileId) {
    co_await send("DELETE", "/api/dj/profiles/" + profileId, std::nullopt);
}

APIClient::Task<UploadImageResponse> APIClient::uploadProfileLogo(const std::string& profileId, std::string png) {
    std::string boundary = "Boundary-" + makeUuid();
    std::string body = profileLogoBody(boundary, png);
    co_return decodeBody<UploadImageResponse>(
        co_await multipart("/api/dj/profiles/" + profileId + "/upload-logo", boundary, std::move(body)));
}

APIClient::Task<json> APIClient::listBackups() { co_return parsedOrEmpty(co_await get("/api/backups")); }

APIClient::Task<json> APIClient::createBackup(const std::string& action) {
    json body22 = json{{"action", action}};
    co_return parsedOrEmpty(co_await send("POST", "/api/backups/create", std::move(body22)));
}

APIClient::Task<json> APIClient::restoreBackup(const std::string& backupId, const json& body) {
    co_return parsedOrEmpty(co_await send("POST", "/api/backups/" + backupId + "/restore", body.is_null() ? json::object() : body));
}

APIClient::Task<json> APIClient::sendMigrationSourceOTP(const std::string& email) {
    json body23 = json{{"email", email}};
    co_return parsedOrEmpty(co_await send("POST", "/api/migrate/send-source-otp", std::move(body23)));
}

APIClient::Task<json> APIClient::importFromAccount(const std::string& sourceEmail, const std::string& otpCode,
                                                   const std::string& mode) {
    json body24 = json{{"sourceEmail", sourceEmail}, {"otpCode", otpCode}, {"mode", mode}};
    co_return parsedOrEmpty(co_await send("POST", "/api/migrate/import-from-email",
                                          std::move(body24)));
}

APIClient::Task<json> APIClient::resetAccountData() {
    json body25 = json{{"confirm", "RESET"}};
    co_return parsedOrEmpty(co_await send("POST", "/api/migrate/reset", std::move(body25)));
}

APIClient::Task<json> APIClient::listAds() { co_return parsedOrEmpty(co_await get("/api/dj/ads")); }

APIClient::Task<json> APIClient::createAd(const json& ad) { co_return parsedOrEmpty(co_await send("POST", "/api/dj/ads", ad)); }

APIClient::Task<json> APIClient::duplicateAd(const std::string& adId) {
    co_return parsedOrEmpty(co_await send("POST", "/api/dj/ads/" + adId + "/duplicate", json::object()));
}

APIClient::Task<json> APIClient::showAd(const std::string& eventId, const std::string& html, const std::string& type,
                                        int64_t durationSeconds) {
    json body26 = json{{"html", html}, {"type", type}, {"durationSeconds", durationSeconds}};
    co_return parsedOrEmpty(co_await send("POST", "/api/events/" + eventId + "/ads/active",
                                          std::move(body26)));
}

APIClient::Task<void> APIClient::hideAd(const std::string& eventId) {
    co_await send("DELETE", "/api/events/" + eventId + "/ads/active", std::nullopt);
}

}  // namespace fv
