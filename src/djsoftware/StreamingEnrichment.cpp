// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "djsoftware/StreamingEnrichment.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "core/MainLoop.hpp"
#include "core/Url.hpp"
#include "djsoftware/SpotifyService.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/HttpClient.hpp"

namespace fv {

namespace {

// Seconds between 1970-01-01 and 2001-01-01: the epoch of the stored dates.
constexpr double referenceDateOffset = 978307200.0;

std::optional<std::string> nonEmpty(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    auto s = it->get<std::string>();
    if (s.empty()) return std::nullopt;
    return s;
}

const json* child(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

std::string headerValue(const HttpResponse& r, std::string_view name) {
    for (const auto& [k, v] : r.headers) {
        if (k.size() != name.size()) continue;
        bool same = std::equal(k.begin(), k.end(), name.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
        if (same) return v;
    }
    return {};
}

using Headers = std::vector<std::pair<std::string, std::string>>;

Headers bearer(const std::string& token, std::string accept = "application/json") {
    Headers h;
    h.emplace_back("Authorization", "Bearer " + token);
    h.emplace_back("Accept", std::move(accept));
    return h;
}

std::optional<json> jsonBody(const std::optional<HttpResponse>& r) {
    if (!r || r->status != 200) return std::nullopt;
    auto j = json::parse(r->body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    return j;
}

// An Apple Music song resource: id, the artwork template at 1000 x 1000, the first preview.
std::optional<StreamingSong> appleSong(const json& resource) {
    if (!resource.is_object()) return std::nullopt;
    auto id = nonEmpty(resource, "id");
    if (!id) return std::nullopt;
    StreamingSong s;
    s.id = *id;
    const json* attributes = child(resource, "attributes");
    if (!attributes || !attributes->is_object()) return s;
    s.isrc = nonEmpty(*attributes, "isrc");
    if (const json* artwork = child(*attributes, "artwork"))
        if (auto url = nonEmpty(*artwork, "url")) {
            std::string u = *url;
            for (const char* field : {"{w}", "{h}"})
                for (auto at = u.find(field); at != std::string::npos; at = u.find(field)) u.replace(at, 3, "1000");
            s.artworkUrl = u;
        }
    if (const json* previews = child(*attributes, "previews"); previews && previews->is_array() && !previews->empty())
        s.previewUrl = nonEmpty((*previews)[0], "url");
    return s;
}

}  // namespace

// ---- data

json StreamingEnrichmentData::toJson() const {
    json j = json::object();
    auto put = [&](const char* key, const std::optional<std::string>& v) {
        if (v) j[key] = *v;
    };
    put("artworkUrl", artworkUrl);
    put("previewUrl", previewUrl);
    put("appleMusicId", appleMusicId);
    put("spotifyId", spotifyId);
    double unix = std::chrono::duration<double>(enrichedAt.time_since_epoch()).count();
    j["enrichedAt"] = unix - referenceDateOffset;
    return j;
}

StreamingEnrichmentData StreamingEnrichmentData::fromJson(const json& j) {
    namespace J = jsonx;
    if (!j.is_object()) throw DecodeError("enrichment entry is not an object");
    StreamingEnrichmentData d;
    d.artworkUrl = J::optional<std::string>(j, "artworkUrl");
    d.previewUrl = J::optional<std::string>(j, "previewUrl");
    d.appleMusicId = J::optional<std::string>(j, "appleMusicId");
    d.spotifyId = J::optional<std::string>(j, "spotifyId");
    double s = J::required<double>(j, "enrichedAt");
    if (!std::isfinite(s) || std::fabs(s) > 1e11) throw DecodeError("enrichedAt out of range");
    d.enrichedAt = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(s + referenceDateOffset)));
    return d;
}

StreamingEndpoints StreamingEndpoints::fromEnvironment() {
    StreamingEndpoints e;
    // The variables name the hosts (a local peer in tests); the paths stay the services' own.
    auto host = [](const char* var, const std::string& fallback, std::string_view path) {
        const char* v = std::getenv(var);
        if (!v || !*v) return fallback;
        std::string base(v);
        while (!base.empty() && base.back() == '/') base.pop_back();
        return base + std::string(path);
    };
    e.beatportBase = host("FLOORVOTE_BEATPORT_API_URL", e.beatportBase, "/v4/catalog/tracks");
    e.tidalBase = host("FLOORVOTE_TIDAL_API_URL", e.tidalBase, "/v2/tracks");
    e.appleMusicBase = host("FLOORVOTE_APPLE_MUSIC_API_URL", e.appleMusicBase, "");
    // Spotify's variable names the API base itself, as the sign-in and the import use it.
    e.spotifyBase = SpotifyEndpoints::fromEnvironment().apiBase;
    return e;
}

// ---- service

StreamingEnrichmentService::StreamingEnrichmentService(HttpClient& http, StreamingEndpoints endpoints,
                                                       StreamingCredentials credentials)
    : http_(http), endpoints_(std::move(endpoints)), credentials_(std::move(credentials)) {}

boost::asio::awaitable<std::optional<HttpResponse>> StreamingEnrichmentService::get(
    std::string url, std::vector<std::pair<std::string, std::string>> headers, std::chrono::milliseconds timeout) {
    for (int attempt = 0;; ++attempt) {
        HttpRequest req;
        req.url = url;
        req.headers = headers;
        req.timeout = timeout;
        ++requestsSent_;
        HttpResponse r;
        try {
            r = co_await http_.send(std::move(req));
        } catch (const HttpError&) {
            co_return std::nullopt;
        }
        if (r.status != 429) co_return r;
        if (attempt >= maxRetries) co_return std::nullopt;
        // Retry-After in seconds; a date or nothing waits one second.
        std::string after = headerValue(r, "Retry-After");
        long secs = 1;
        if (!after.empty() && std::all_of(after.begin(), after.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
            secs = after.size() > 6 ? maxRetryAfter.count() : std::strtol(after.c_str(), nullptr, 10);
        secs = std::clamp<long>(secs, 0, static_cast<long>(maxRetryAfter.count()));
        co_await sleepFor(std::chrono::seconds(secs));
    }
}

boost::asio::awaitable<std::optional<std::string>> StreamingEnrichmentService::beatportIsrc(std::string trackId) {
    if (!credentials_.beatportToken || trackId.empty()) co_return std::nullopt;
    auto r = co_await get(endpoints_.beatportBase + "/" + percentEncode(trackId),
                          bearer(*credentials_.beatportToken),
                          std::chrono::seconds(30));
    auto j = jsonBody(r);
    if (!j) co_return std::nullopt;
    co_return nonEmpty(*j, "isrc");
}

boost::asio::awaitable<std::optional<std::string>> StreamingEnrichmentService::tidalIsrc(std::string trackId) {
    if (!credentials_.tidalToken || trackId.empty()) co_return std::nullopt;
    auto r = co_await get(
        endpoints_.tidalBase + "/" + percentEncode(trackId) + "?countryCode=" + percentEncode(credentials_.tidalCountry),
        bearer(*credentials_.tidalToken, "application/vnd.api+json"),
        std::chrono::seconds(60));
    auto j = jsonBody(r);
    if (!j) co_return std::nullopt;
    const json* data = child(*j, "data");
    const json* attributes = data ? child(*data, "attributes") : nullptr;
    if (!attributes || !attributes->is_object()) co_return std::nullopt;
    if (auto isrc = nonEmpty(*attributes, "isrc")) co_return isrc;
    // Older answers listed it among the external ids.
    if (const json* ids = child(*attributes, "externalIds"); ids && ids->is_array())
        for (const auto& e : *ids)
            if (e.is_object() && nonEmpty(e, "sourceName") == std::optional<std::string>("ISRC"))
                if (auto id = nonEmpty(e, "id")) co_return id;
    co_return std::nullopt;
}

boost::asio::awaitable<std::optional<StreamingSong>> StreamingEnrichmentService::appleMusicByIsrc(std::string isrc) {
    if (!credentials_.appleDeveloperToken || isrc.empty()) co_return std::nullopt;
    auto r = co_await get(endpoints_.appleMusicBase + "/v1/catalog/" + percentEncode(credentials_.appleStorefront) +
                              "/songs?filter[isrc]=" + percentEncode(isrc),
                          bearer(*credentials_.appleDeveloperToken), std::chrono::seconds(30));
    auto j = jsonBody(r);
    if (!j) co_return std::nullopt;
    const json* data = child(*j, "data");
    if (!data || !data->is_array() || data->empty()) co_return std::nullopt;
    co_return appleSong((*data)[0]);
}

boost::asio::awaitable<std::optional<StreamingSong>> StreamingEnrichmentService::appleMusicSearch(std::string title,
                                                                                                 std::string artist,
                                                                                                 std::string isrc) {
    if (!credentials_.appleDeveloperToken || isrc.empty()) co_return std::nullopt;
    auto r = co_await get(endpoints_.appleMusicBase + "/v1/catalog/" + percentEncode(credentials_.appleStorefront) +
                              "/search?types=songs&limit=5&term=" + percentEncode(title + " " + artist),
                          bearer(*credentials_.appleDeveloperToken), std::chrono::seconds(30));
    auto j = jsonBody(r);
    if (!j) co_return std::nullopt;
    const json* results = child(*j, "results");
    const json* songs = results ? child(*results, "songs") : nullptr;
    const json* data = songs ? child(*songs, "data") : nullptr;
    if (!data || !data->is_array()) co_return std::nullopt;
    for (const auto& resource : *data)
        if (auto s = appleSong(resource); s && s->isrc && *s->isrc == isrc) co_return s;
    co_return std::nullopt;
}

boost::asio::awaitable<std::optional<StreamingSong>> StreamingEnrichmentService::spotifyByIsrc(std::string isrc) {
    if (!credentials_.spotifyAccessToken || isrc.empty()) co_return std::nullopt;
    auto r = co_await get(endpoints_.spotifyBase + "/search?q=" + percentEncode("isrc:" + isrc) + "&type=track&limit=1",
                          bearer(*credentials_.spotifyAccessToken), std::chrono::seconds(30));
    auto j = jsonBody(r);
    if (!j) co_return std::nullopt;
    const json* tracks = child(*j, "tracks");
    const json* items = tracks ? child(*tracks, "items") : nullptr;
    if (!items || !items->is_array() || items->empty() || !(*items)[0].is_object()) co_return std::nullopt;
    const json& t = (*items)[0];
    auto id = nonEmpty(t, "id");
    if (!id) co_return std::nullopt;
    StreamingSong s;
    s.id = *id;
    s.previewUrl = nonEmpty(t, "preview_url");
    if (const json* album = child(t, "album"))
        if (const json* images = child(*album, "images"); images && images->is_array() && !images->empty())
            s.artworkUrl = nonEmpty((*images)[0], "url");  // the largest comes first
    if (const json* ids = child(t, "external_ids")) s.isrc = nonEmpty(*ids, "isrc");
    co_return s;
}

// ---- manager

TrackEnrichmentManager::TrackEnrichmentManager(StreamingEnrichmentService& service, DefaultsStore& store)
    : service_(service), store_(store) {
    loadCache();
}

std::string TrackEnrichmentManager::cacheKey(const Track& track) { return std::to_string(track.id); }

std::optional<StreamingEnrichmentData> TrackEnrichmentManager::data(const Track& track) const {
    auto it = cache_.find(cacheKey(track));
    if (it == cache_.end()) return std::nullopt;
    return it->second;
}

void TrackEnrichmentManager::loadCache() {
    cache_.clear();
    auto stored = store_.get(cacheKeyName);
    if (!stored) return;
    auto j = json::parse(*stored, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return;
    std::map<std::string, StreamingEnrichmentData> loaded;
    try {
        for (auto it = j.begin(); it != j.end(); ++it) loaded.emplace(it.key(), StreamingEnrichmentData::fromJson(it.value()));
    } catch (const DecodeError&) {
        return;  // undecodable: start empty
    }
    cache_ = std::move(loaded);
}

bool TrackEnrichmentManager::saveCache() const {
    json j = json::object();
    for (const auto& [k, v] : cache_) j[k] = v.toJson();
    return store_.set(cacheKeyName, j.dump());
}

boost::asio::awaitable<std::optional<StreamingEnrichmentData>> TrackEnrichmentManager::lookUp(const Track& track) {
    std::optional<std::string> isrc;
    if (track.isrc && !track.isrc->empty()) isrc = track.isrc;
    std::string service = track.streamingService.value_or("");
    std::string serviceId = track.streamingServiceId.value_or("");
    if (!isrc && (service == "beatport" || service == "beatport_legacy")) isrc = co_await service_.beatportIsrc(serviceId);
    if (!isrc && service == "tidal") isrc = co_await service_.tidalIsrc(serviceId);
    if (!isrc) co_return std::nullopt;

    auto apple = co_await service_.appleMusicByIsrc(*isrc);
    if (!apple) apple = co_await service_.appleMusicSearch(track.title, track.artist, *isrc);
    auto spotify = co_await service_.spotifyByIsrc(*isrc);
    if (!apple && !spotify) co_return std::nullopt;

    StreamingEnrichmentData d;
    // Apple Music's 1000 x 1000 artwork and its preview first; Spotify's where Apple Music had none.
    if (apple) {
        d.appleMusicId = apple->id;
        d.artworkUrl = apple->artworkUrl;
        d.previewUrl = apple->previewUrl;
    }
    if (spotify) {
        d.spotifyId = spotify->id;
        if (!d.artworkUrl) d.artworkUrl = spotify->artworkUrl;
        if (!d.previewUrl) d.previewUrl = spotify->previewUrl;
    }
    d.enrichedAt = now();
    co_return d;
}

boost::asio::awaitable<void> TrackEnrichmentManager::enrich(std::vector<Track> tracks) {
    isRunning_ = true;
    cancelled_ = false;
    enrichedCount_ = 0;
    failedCount_ = 0;
    progress_ = 0;
    statusText_.clear();
    const size_t total = tracks.size();
    size_t done = 0;
    for (const auto& track : tracks) {
        if (cancelled_) break;
        auto key = cacheKey(track);
        auto cached = cache_.find(key);
        bool fresh = cached != cache_.end() && now() - cached->second.enrichedAt < maxAge;
        bool asked = false;
        if (!fresh) {
            asked = true;
            if (auto d = co_await lookUp(track)) {
                cache_[key] = *d;
                ++enrichedCount_;
            } else {
                ++failedCount_;
            }
        }
        ++done;
        progress_ = static_cast<double>(done) / static_cast<double>(total);
        statusText_ = fmt::format("{} / {}", done, total);
        if (onChange) onChange();
        // Only tracks that went to the services are followed by the pause.
        if (asked && done < total && delay.count() > 0) co_await sleepFor(delay);
    }
    statusText_ = fmt::format("{} angereichert, {} ohne Match.", enrichedCount_, failedCount_);
    saveCache();
    isRunning_ = false;
    if (onChange) onChange();
}

}  // namespace fv
