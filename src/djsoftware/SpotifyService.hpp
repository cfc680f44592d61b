#pragma once
// The Spotify Web API with the DJ's own developer credentials: sign-in (authorization code with
// PKCE, the code taken on a loopback listener), the DJ's playlists, the tracks of a playlist for
// matching, playlists for exports and the search by ISRC. Lives on the main loop.
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/Json.hpp"
#include "djsoftware/PlaylistMatchingEngine.hpp"

namespace fv {

class HttpClient;
class DefaultsStore;
class KeychainService;
struct HttpResponse;

// Every failure of the service. what() is the German text the DJ sees.
class SpotifyError : public std::runtime_error {
public:
    enum class Kind {
        apiError,              // "Spotify API (STATUS): MESSAGE"
        authFailed,            // spotify_error_auth
        notLoggedIn,           // spotify_error_not_logged_in
        invalidPlaylistUrl,    // spotify_error_invalid_url
        playlistNotFound,      // spotify_error_not_found
        spotifyOwnedPlaylist,  // spotify_error_spotify_owned
        foreignPlaylist,       // spotify_error_foreign_playlist: neither owned nor collaborative
        rateLimited,           // spotify_error_rate_limit
        configMissing,         // spotify_error_config_missing
        unreachable,           // no answer: name lookup, connection, timeout
        invalidResponse,       // an answer that is not what the API documents
    };
    explicit SpotifyError(Kind kind, int status = 0, std::string detail = {});
    Kind kind() const { return kind_; }
    int status() const { return status_; }
    const std::string& detail() const { return detail_; }

private:
    Kind kind_;
    int status_;
    std::string detail_;
};

// The documented hosts; FLOORVOTE_SPOTIFY_API_URL (the API base, ".../v1" for Spotify itself) and
// FLOORVOTE_SPOTIFY_ACCOUNTS_URL replace them so tests and proxies can stand in.
struct SpotifyEndpoints {
    std::string apiBase = "https://api.spotify.com/v1";
    std::string accountsBase = "https://accounts.spotify.com";
    static SpotifyEndpoints fromEnvironment();
};

struct SpotifyPlaylistInfo {
    std::string id;
    std::string name;
    std::string ownerName;
    int trackCount = 0;
    std::optional<std::string> imageUrl;
    bool isCollaborative = false;
    bool isPublic = false;
};

struct SpotifyPlaylistMeta {
    std::string name;
    std::string ownerName;
};

struct SpotifyTrackList {
    std::vector<SpotifyTrack> tracks;
    int skipped = 0;  // items that were no track (episodes) or could not be read
};

struct SpotifySearchHit {
    std::string id;
    std::optional<std::string> artworkUrl;
    std::optional<std::string> previewUrl;
};

class SpotifyService {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;
    using Clock = std::chrono::system_clock;

    static constexpr std::string_view scopes =
        "playlist-read-private playlist-read-collaborative playlist-modify-private playlist-modify-public";
    // Keychain items: the refresh token, and the current access token with its expiry.
    static constexpr std::string_view refreshTokenKey = "spotifyRefreshToken";
    static constexpr std::string_view accessTokenKey = "spotifyAccessToken";
    // Defaults store keys.
    static constexpr std::string_view userNameKey = "spotifyUserName";
    static constexpr std::string_view userIdKey = "spotifyUserId";

    // Restores a previous sign-in from the keychain and the defaults store.
    SpotifyService(HttpClient& http, DefaultsStore& store, KeychainService& keychain, SpotifyEndpoints endpoints);

    // Client id and secret from the settings.
    void loadConfig();
    void setCredentials(std::string clientId, std::string clientSecret);
    bool configLoaded() const { return configLoaded_; }
    const std::string& clientId() const { return clientId_; }

    bool isLoggedIn() const { return refreshToken_.has_value(); }
    const std::optional<std::string>& userName() const { return userName_; }
    const std::optional<std::string>& userId() const { return userId_; }

    // Interactive sign-in: opens the authorisation page and waits for the browser's redirect.
    Task<void> login();
    void logout();
    Task<void> refreshAccessToken();
    // The user's token, refreshed when it has expired.
    Task<std::string> validAccessToken();
    Task<std::string> clientCredentialsToken();

    Task<std::vector<SpotifyPlaylistInfo>> fetchUserPlaylists();
    Task<SpotifyPlaylistMeta> fetchPlaylistMeta(std::string playlistId);
    Task<SpotifyTrackList> fetchPlaylistTracks(std::string playlistId);
    Task<std::string> createPlaylist(std::string name);
    // URIs "spotify:track:ID", sent in chunks of 100 in order.
    Task<void> addTracks(std::string playlistId, std::vector<std::string> uris);
    Task<std::optional<SpotifySearchHit>> searchTrack(std::string isrc);

    static std::optional<std::string> extractPlaylistId(std::string_view input);

    // Opens the authorisation page; false when no browser could be started. Default: xdg-open.
    std::function<bool(const std::string& url)> openBrowser;
    // Told the authorisation address, so a terminal can show it for a browser on another screen.
    std::function<void(const std::string& url)> onAuthorizeUrl;
    std::chrono::seconds loginTimeout{300};
    std::chrono::milliseconds requestTimeout{30000};
    // 429 answers: Retry-After is waited for and the request sent again, at most maxRetries
    // times; a longer wait than maxRetryAfter is not sat out but reported.
    int maxRetries = 3;
    std::chrono::seconds maxRetryAfter{120};
    std::function<Clock::time_point()> now = [] { return Clock::now(); };

    // Requests sent so far.
    std::size_t requestsSent() const { return requestsSent_; }
    Clock::time_point tokenExpiresAt() const { return tokenExpiresAt_; }

private:
    enum class Auth { user, app, userOrApp };
    struct TokenAnswer {
        int status = 0;
        std::string message;
        json token;
    };
    Task<HttpResponse> send(std::string method, std::string url, std::vector<std::pair<std::string, std::string>> headers,
                            std::string body);
    // body: JSON text, empty for none. (No defaulted parameters: GCC 12 coroutines mishandle them.)
    Task<HttpResponse> api(std::string method, std::string path, Auth auth, std::string body);
    Task<std::string> tokenFor(Auth auth, bool fresh);
    Task<TokenAnswer> tokenRequest(std::string form, std::optional<std::string> basicAuth);
    void storeUserToken(const json& token);
    void saveSession();
    void readStoredAccessToken();
    bool adoptStoredSession();
    [[noreturn]] void failWith(const HttpResponse& r, const char* what);

    HttpClient& http_;
    DefaultsStore& store_;
    KeychainService& keychain_;
    SpotifyEndpoints endpoints_;
    std::string clientId_;
    std::string clientSecret_;
    bool configLoaded_ = false;
    std::optional<std::string> userName_;
    std::optional<std::string> userId_;
    std::optional<std::string> accessToken_;
    std::optional<std::string> refreshToken_;
    Clock::time_point tokenExpiresAt_{};
    std::optional<std::string> codeVerifier_;
    std::optional<std::string> ccToken_;
    Clock::time_point ccTokenExpiresAt_{};
    std::size_t requestsSent_ = 0;
};

// Starts the system's browser on a URL (xdg-open, without a shell); false when it cannot be run.
bool openWithXdgOpen(const std::string& url);

}  // namespace fv
