#pragma once
// Artwork, previews and service ids for tracks from streaming catalogues: the ISRC from the track,
// Beatport or TIDAL; the recording from the Apple Music catalogue and Spotify. Look-ups run one
// at a time on the main loop; every failure of one look-up is "no result" for that service.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/Json.hpp"
#include "session/Records.hpp"

namespace fv {

class HttpClient;
class DefaultsStore;
struct HttpResponse;

struct StreamingEnrichmentData {
    using Clock = std::chrono::system_clock;
    std::optional<std::string> artworkUrl;
    std::optional<std::string> previewUrl;
    std::optional<std::string> appleMusicId;
    std::optional<std::string> spotifyId;
    Clock::time_point enrichedAt{};

    // enrichedAt is stored as seconds since 2001-01-01, as the cache has always held it.
    json toJson() const;
    static StreamingEnrichmentData fromJson(const json& j);  // throws DecodeError
    bool operator==(const StreamingEnrichmentData&) const = default;
};

// One recording in a catalogue.
struct StreamingSong {
    std::string id;
    std::optional<std::string> artworkUrl;  // 1000 x 1000 where the service gives a template
    std::optional<std::string> previewUrl;
    std::optional<std::string> isrc;
};

// Where the catalogues are: documented defaults, each overridable by an environment variable so
// tests and proxies can stand in.
struct StreamingEndpoints {
    std::string beatportBase = "https://api.beatport.com/v4/catalog/tracks";  // FLOORVOTE_BEATPORT_API_URL
    std::string tidalBase = "https://openapi.tidal.com/v2/tracks";            // FLOORVOTE_TIDAL_API_URL
    std::string appleMusicBase = "https://api.music.apple.com";               // FLOORVOTE_APPLE_MUSIC_API_URL
    std::string spotifyBase = "https://api.spotify.com/v1";                   // FLOORVOTE_SPOTIFY_API_URL (the base)
    static StreamingEndpoints fromEnvironment();
};

// What the DJ has entered. No token, no look-up at that service.
struct StreamingCredentials {
    std::optional<std::string> beatportToken;         // keychain "beatportAccessToken"
    std::optional<std::string> tidalToken;            // settings tidalClientToken
    std::optional<std::string> appleDeveloperToken;   // keychain "appleMusicDeveloperToken"
    std::optional<std::string> spotifyAccessToken;    // a current Spotify access token
    std::string appleStorefront = "de";
    std::string tidalCountry = "US";
};

class StreamingEnrichmentService {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    StreamingEnrichmentService(HttpClient& http, StreamingEndpoints endpoints, StreamingCredentials credentials);

    Task<std::optional<std::string>> beatportIsrc(std::string trackId);
    Task<std::optional<std::string>> tidalIsrc(std::string trackId);
    Task<std::optional<StreamingSong>> appleMusicByIsrc(std::string isrc);
    // Songs for "title artist", limit 5; only one whose ISRC is the wanted one is taken.
    Task<std::optional<StreamingSong>> appleMusicSearch(std::string title, std::string artist, std::string isrc);
    // Spotify's search by ISRC.
    Task<std::optional<StreamingSong>> spotifyByIsrc(std::string isrc);

    // Requests sent so far (a run on a fresh cache sends none).
    std::size_t requestsSent() const { return requestsSent_; }
    // How long a 429 answer is waited for at most, and how often it is retried.
    std::chrono::seconds maxRetryAfter{30};
    int maxRetries = 3;

private:
    Task<std::optional<HttpResponse>> get(std::string url, std::vector<std::pair<std::string, std::string>> headers,
                                          std::chrono::milliseconds timeout);

    HttpClient& http_;
    StreamingEndpoints endpoints_;
    StreamingCredentials credentials_;
    std::size_t requestsSent_ = 0;
};

// Walks a track list and keeps what the catalogues know in a cache under "streamingEnrichmentCache".
class TrackEnrichmentManager {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;
    using Clock = StreamingEnrichmentData::Clock;

    static constexpr std::string_view cacheKeyName = "streamingEnrichmentCache";
    static constexpr std::chrono::seconds maxAge{604800};  // 7 days

    TrackEnrichmentManager(StreamingEnrichmentService& service, DefaultsStore& store);

    bool isRunning() const { return isRunning_; }
    double progress() const { return progress_; }
    const std::string& statusText() const { return statusText_; }
    int enrichedCount() const { return enrichedCount_; }
    int failedCount() const { return failedCount_; }

    // Pause between tracks, to keep the request rate of the services low.
    std::chrono::milliseconds delay{200};
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
    // Called after each track and at the end.
    std::function<void()> onChange;

    // Runs until every track is done or cancel() is called; the cache is saved at the end.
    Task<void> enrich(std::vector<Track> tracks);
    void cancel() { cancelled_ = true; }

    std::optional<StreamingEnrichmentData> data(const Track& track) const;
    static std::string cacheKey(const Track& track);
    // An unreadable stored cache gives an empty one.
    void loadCache();
    bool saveCache() const;
    const std::map<std::string, StreamingEnrichmentData>& cache() const { return cache_; }

private:
    Task<std::optional<StreamingEnrichmentData>> lookUp(const Track& track);

    StreamingEnrichmentService& service_;
    DefaultsStore& store_;
    std::map<std::string, StreamingEnrichmentData> cache_;
    bool isRunning_ = false;
    bool cancelled_ = false;
    double progress_ = 0;
    std::string statusText_;
    int enrichedCount_ = 0;
    int failedCount_ = 0;
};

}  // namespace fv
