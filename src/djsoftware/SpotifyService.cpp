// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "djsoftware/SpotifyService.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <thread>

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fmt/format.h>

#include "core/Base64.hpp"
#include "core/ErrorText.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "core/Strings.hpp"
#include "core/Url.hpp"
#include "djsoftware/SpotifyCallback.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/AppSettings.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"

extern char** environ;

namespace fv {

namespace {

constexpr const char* component = "Spotify";
using Headers = std::vector<std::pair<std::string, std::string>>;
using Kind = SpotifyError::Kind;

// Pages asked at most: a playlist holds at most 10,000 items, so this is only a guard against a
// server that never ends its list.
constexpr int maxPages = 400;
constexpr int pageLimit = 50;  // the largest page the API gives
constexpr size_t addChunk = 100;

std::string describe(Kind kind, int status, const std::string& detail) {
    auto withDetail = [&](std::string text) { return detail.empty() ? text : text + ": " + detail; };
    switch (kind) {
        case Kind::apiError: return fmt::format("Spotify API ({}): {}", status, detail);
        case Kind::authFailed: return withDetail(tr("spotify_error_auth"));
        case Kind::notLoggedIn: return tr("spotify_error_not_logged_in");
        case Kind::invalidPlaylistUrl: return tr("spotify_error_invalid_url");
        case Kind::playlistNotFound: return tr("spotify_error_not_found");
        case Kind::spotifyOwnedPlaylist: return tr("spotify_error_spotify_owned");
        case Kind::foreignPlaylist: return tr("spotify_error_foreign_playlist");
        case Kind::rateLimited: return withDetail(tr("spotify_error_rate_limit"));
        case Kind::configMissing: return tr("spotify_error_config_missing");
        case Kind::unreachable: return withDetail("Spotify ist nicht erreichbar");
        case Kind::invalidResponse: return withDetail("Unerwartete Antwort von Spotify");
    }
    return "Spotify";
}

std::string randomBytes(size_t n) {
    std::string out(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
        throw SpotifyError(Kind::authFailed, 0, "kein Zufall vom System");
    return out;
}

std::string base64Url(std::string_view bytes) {
    std::string s = base64Encode(bytes);
    for (char& c : s) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    s.erase(std::remove(s.begin(), s.end(), '='), s.end());
    return s;
}

std::string sha256(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), len);
}

std::string formBody(std::initializer_list<std::pair<std::string_view, std::string_view>> fields) {
    std::string out;
    for (const auto& [k, v] : fields) {
        if (!out.empty()) out += '&';
        out += percentEncode(k);
        out += '=';
        out += percentEncode(v);
    }
    return out;
}

std::string headerValue(const HttpResponse& r, std::string_view name) {
    for (const auto& [k, v] : r.headers)
        if (k.size() == name.size() && std::equal(k.begin(), k.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
            return v;
    return {};
}

// A body shown in a log line or a message: one line, not endless.
std::string excerpt(std::string_view body, size_t max = 300) {
    std::string s(body.substr(0, max));
    for (char& c : s)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (body.size() > max) s += "…";
    return s;
}

// The message of an error answer: Web API {"error": {"status", "message"}}, accounts service
// {"error", "error_description"}; else the start of the body.
std::string errorMessage(const HttpResponse& r) {
    auto j = json::parse(r.body, nullptr, false);
    if (j.is_object()) {
        if (auto e = j.find("error"); e != j.end()) {
            if (e->is_object()) {
                if (auto m = e->find("message"); m != e->end() && m->is_string() && !m->get<std::string>().empty())
                    return m->get<std::string>();
            } else if (e->is_string()) {
                if (auto d = j.find("error_description"); d != j.end() && d->is_string() && !d->get<std::string>().empty())
                    return d->get<std::string>();
                return e->get<std::string>();
            }
        }
    }
    if (r.body.empty()) return "HTTP " + std::to_string(r.status);
    return excerpt(r.body, 120);
}

json parseObject(const HttpResponse& r, const char* what) {
    auto j = json::parse(r.body, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        throw SpotifyError(Kind::invalidResponse, r.status, std::string(what) + " ist kein JSON-Objekt");
    return j;
}

const json* member(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<std::string> optString(const json& j, const char* key) {
    const json* v = member(j, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::string reqString(const json& j, const char* key, const char* what) {
    const json* v = member(j, key);
    if (!v || !v->is_string())
        throw SpotifyError(Kind::invalidResponse, 0, fmt::format("{}: \"{}\" fehlt oder ist kein Text", what, key));
    return v->get<std::string>();
}

int64_t reqInteger(const json& j, const char* key, const char* what) {
    const json* v = member(j, key);
    if (!v || !v->is_number_integer())
        throw SpotifyError(Kind::invalidResponse, 0, fmt::format("{}: \"{}\" fehlt oder ist keine ganze Zahl", what, key));
    return v->get<int64_t>();
}

// One track object (an item's `item`, or the deprecated `track`); nothing for episodes and
// objects that are not tracks. Throws for a track that is not readable.
std::optional<SpotifyTrack> decodeTrack(const json& t) {
    if (!t.is_object()) throw SpotifyError(Kind::invalidResponse, 0, "Titel ist kein Objekt");
    if (auto type = optString(t, "type"); type && *type != "track") return std::nullopt;
    SpotifyTrack s;
    // Local files in a playlist carry no id.
    if (const json* id = member(t, "id")) {
        if (!id->is_string()) throw SpotifyError(Kind::invalidResponse, 0, "Titel: \"id\" ist kein Text");
        s.id = id->get<std::string>();
    }
    s.title = reqString(t, "name", "Titel");
    const json* artists = member(t, "artists");
    if (!artists || !artists->is_array()) throw SpotifyError(Kind::invalidResponse, 0, "Titel: \"artists\" fehlt");
    for (const auto& a : *artists) s.allArtists.push_back(reqString(a, "name", "Künstler"));
    if (!s.allArtists.empty()) s.artist = s.allArtists.front();
    if (const json* album = member(t, "album")) s.album = optString(*album, "name").value_or("");
    int64_t ms = reqInteger(t, "duration_ms", "Titel");
    if (ms < 0) throw SpotifyError(Kind::invalidResponse, 0, "Titel: negative Dauer");
    s.durationMs = ms;
    if (const json* ids = member(t, "external_ids"); ids && ids->is_object())
        if (auto isrc = optString(*ids, "isrc"); isrc && !isrc->empty()) s.isrc = isrc;
    if (const json* urls = member(t, "external_urls"); urls && urls->is_object())
        s.spotifyUrl = optString(*urls, "spotify").value_or("");
    return s;
}

// The next page of a list at offset + items received, on our own host, so the token never goes
// anywhere else; `next` only says whether there is one.
struct Pager {
    std::string path;  // without query
    std::string query;  // without limit/offset
    int offset = 0;
    int pages = 0;
    std::string url() const {
        return path + "?" + query + (query.empty() ? "" : "&") + "limit=" + std::to_string(pageLimit) +
               "&offset=" + std::to_string(offset);
    }
    // Advances from one page's JSON; false at the end.
    bool advance(const json& page) {
        const json* items = member(page, "items");
        if (!items || !items->is_array()) throw SpotifyError(Kind::invalidResponse, 0, "Seite ohne \"items\"");
        const json* next = member(page, "next");
        if (!next) return false;
        if (!next->is_string()) throw SpotifyError(Kind::invalidResponse, 0, "\"next\" ist kein Text");
        if (items->empty()) throw SpotifyError(Kind::invalidResponse, 0, "leere Seite mit Folgeseite");
        offset += static_cast<int>(items->size());
        if (++pages >= maxPages) throw SpotifyError(Kind::invalidResponse, 0, "die Liste endet nicht");
        return true;
    }
};

bool isSpotifyEditorialId(std::string_view id) {
    // Spotify's own (editorial and generated) playlists all begin with this prefix.
    return id.rfind("37i9dQZ", 0) == 0;
}

double secondsSinceEpoch(SpotifyService::Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

SpotifyError::SpotifyError(Kind kind, int status, std::string detail)
    : std::runtime_error(describe(kind, status, detail)), kind_(kind), status_(status), detail_(std::move(detail)) {}

SpotifyEndpoints SpotifyEndpoints::fromEnvironment() {
    SpotifyEndpoints e;
    auto take = [](const char* var, std::string& into) {
        const char* v = std::getenv(var);
        if (!v || !*v) return;
        std::string s(v);
        while (!s.empty() && s.back() == '/') s.pop_back();
        into = s;
    };
    take("FLOORVOTE_SPOTIFY_API_URL", e.apiBase);
    take("FLOORVOTE_SPOTIFY_ACCOUNTS_URL", e.accountsBase);
    return e;
}

bool openWithXdgOpen(const std::string& url) {
    std::vector<std::string> args = {"xdg-open", url};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    // Some desktops keep xdg-open running as long as the browser: reap it whenever it ends.
    std::thread([pid] {
        int st;
        waitpid(pid, &st, 0);
    }).detach();
    return true;
}

SpotifyService::SpotifyService(HttpClient& http, DefaultsStore& store, KeychainService& keychain,
                               SpotifyEndpoints endpoints)
    : http_(http), store_(store), keychain_(keychain), endpoints_(std::move(endpoints)) {
    refreshToken_ = keychain_.read(refreshTokenKey);
    if (refreshToken_ && refreshToken_->empty()) refreshToken_.reset();
    if (!refreshToken_) {
        // Earlier sign-ins kept the refresh token in the plain settings store: move it.
        if (auto old = store_.get(refreshTokenKey); old && !old->empty()) {
            keychain_.save(refreshTokenKey, *old);
            if (keychain_.read(refreshTokenKey) == old) {
                store_.remove(refreshTokenKey);
                refreshToken_ = old;
            }
        }
    }
    if (!refreshToken_) return;
    userName_ = store_.get(userNameKey);
    userId_ = store_.get(userIdKey);
    readStoredAccessToken();
}

void SpotifyService::readStoredAccessToken() {
    if (auto stored = keychain_.read(accessTokenKey)) {
        auto j = json::parse(*stored, nullptr, false);
        if (auto token = optString(j, "accessToken"); token && !token->empty())
            if (const json* at = member(j, "expiresAt"); at && at->is_number()) {
                double s = at->get<double>();
                if (std::isfinite(s) && s > 0 && s < 1e11) {
                    accessToken_ = token;
                    tokenExpiresAt_ = Clock::time_point(
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)));
                }
            }
    }
}

void SpotifyService::loadConfig() {
    AppSettings s = AppSettings::load();
    setCredentials(s.spotifyClientId, s.spotifyClientSecret);
    if (!clientId_.empty()) logLine(component, "Lokale Credentials geladen (Client ID: " + clientId_);
}

void SpotifyService::setCredentials(std::string clientId, std::string clientSecret) {
    auto trim = [](std::string s) {
        auto notBlank = [](unsigned char c) { return !std::isspace(c); };
        s.erase(s.begin(), std::find_if(s.begin(), s.end(), notBlank));
        s.erase(std::find_if(s.rbegin(), s.rend(), notBlank).base(), s.end());
        return s;
    };
    clientId_ = trim(std::move(clientId));
    clientSecret_ = trim(std::move(clientSecret));
    configLoaded_ = !clientId_.empty();
    ccToken_.reset();
}

// ---- HTTP

boost::asio::awaitable<HttpResponse> SpotifyService::send(std::string method, std::string url, Headers headers,
                                                          std::string body) {
    for (int attempt = 0;; ++attempt) {
        HttpRequest req;
        req.method = method;
        req.url = url;
        req.headers = headers;
        req.body = body;
        req.timeout = requestTimeout;
        ++requestsSent_;
        HttpResponse r;
        try {
            r = co_await http_.send(std::move(req));
        } catch (const HttpError& e) {
            logLine(component, std::string("Anfrage fehlgeschlagen: ") + e.what());
            if (e.kind() == HttpError::Kind::tooLarge || e.kind() == HttpError::Kind::notHttp)
                throw SpotifyError(Kind::invalidResponse, 0, germanError(e.what()));
            throw SpotifyError(Kind::unreachable, 0, germanError(e.what()));
        }
        if (r.status != 429) co_return r;
        // Retry-After in seconds; without one (or as a date) one second.
        std::string after = headerValue(r, "Retry-After");
        long secs = 1;
        bool digits = !after.empty() && after.size() <= 9 &&
                      std::all_of(after.begin(), after.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        if (digits) secs = std::strtol(after.c_str(), nullptr, 10);
        if (attempt >= maxRetries || secs > maxRetryAfter.count()) {
            logLine(component, fmt::format("Zu viele Anfragen (429, Retry-After {}), aufgegeben", after));
            throw SpotifyError(Kind::rateLimited, 429,
                               secs > maxRetryAfter.count() ? fmt::format("erst in {} s wieder möglich", secs) : "");
        }
        logLine(component, fmt::format("Zu viele Anfragen (429), neuer Versuch in {} s", secs));
        co_await sleepFor(std::chrono::seconds(secs));
    }
}

boost::asio::awaitable<HttpResponse> SpotifyService::api(std::string method, std::string path, Auth auth,
                                                         std::string body) {
    std::string token = co_await tokenFor(auth, false);
    for (int round = 0;; ++round) {
        Headers h{{"Authorization", "Bearer " + token}, {"Accept", "application/json"}};
        if (!body.empty()) h.emplace_back("Content-Type", "application/json");
        auto r = co_await send(method, endpoints_.apiBase + path, h, body);
        if (r.status == 401 && round == 0) {
            // An expired or revoked token: one fresh one, one more try.
            logLine(component, "401 für " + path + ", neues Token");
            token = co_await tokenFor(auth, true);
            continue;
        }
        if (r.status == 401) {
            logLine(component, "Response: " + excerpt(r.body));
            throw SpotifyError(Kind::authFailed, 401, errorMessage(r));
        }
        co_return r;
    }
}

void SpotifyService::failWith(const HttpResponse& r, const char* what) {
    logLine(component, fmt::format("{} fehlgeschlagen: HTTP {}", what, r.status));
    logLine(component, "Response: " + excerpt(r.body));
    if (r.status >= 200 && r.status < 300) throw SpotifyError(Kind::invalidResponse, r.status, errorMessage(r));
    throw SpotifyError(Kind::apiError, r.status, errorMessage(r));
}

boost::asio::awaitable<std::string> SpotifyService::tokenFor(Auth auth, bool fresh) {
    if (auth == Auth::userOrApp) auth = isLoggedIn() ? Auth::user : Auth::app;
    if (auth == Auth::user) {
        if (!isLoggedIn()) throw SpotifyError(Kind::notLoggedIn);
        if (fresh) {
            co_await refreshAccessToken();
            co_return *accessToken_;
        }
        co_return co_await validAccessToken();
    }
    if (fresh) ccToken_.reset();
    co_return co_await clientCredentialsToken();
}

// ---- tokens

boost::asio::awaitable<SpotifyService::TokenAnswer> SpotifyService::tokenRequest(std::string form,
                                                                                std::optional<std::string> basicAuth) {
    Headers h{{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}};
    if (basicAuth) h.emplace_back("Authorization", "Basic " + *basicAuth);
    auto r = co_await send("POST", endpoints_.accountsBase + "/api/token", h, std::move(form));
    TokenAnswer answer;
    answer.status = r.status;
    answer.message = errorMessage(r);
    if (r.status == 200) answer.token = parseObject(r, "Token-Antwort");
    else logLine(component, "Response: " + excerpt(r.body));
    co_return answer;
}

void SpotifyService::storeUserToken(const json& token) {
    std::string access = reqString(token, "access_token", "Token-Antwort");
    int64_t expires = reqInteger(token, "expires_in", "Token-Antwort");
    if (access.empty() || expires <= 0 || expires > 10 * 365 * 86400LL)
        throw SpotifyError(Kind::invalidResponse, 0, "Token-Antwort: ungültiges Token");
    std::optional<std::string> refresh;
    if (const json* rt = member(token, "refresh_token")) {
        if (!rt->is_string()) throw SpotifyError(Kind::invalidResponse, 0, "Token-Antwort: \"refresh_token\" ist kein Text");
        if (!rt->get<std::string>().empty()) refresh = rt->get<std::string>();
    }
    accessToken_ = access;
    tokenExpiresAt_ = now() + std::chrono::seconds(expires) - std::chrono::seconds(60);
    // The refresh token rotates: a new one replaces the old, which no longer works.
    if (refresh) refreshToken_ = refresh;
}

void SpotifyService::saveSession() {
    if (!refreshToken_) return;
    keychain_.save(refreshTokenKey, *refreshToken_);
    if (accessToken_) {
        json j = {{"accessToken", *accessToken_}, {"expiresAt", secondsSinceEpoch(tokenExpiresAt_)}};
        keychain_.save(accessTokenKey, j.dump());
    }
    if (userName_) store_.set(userNameKey, *userName_);
    if (userId_) store_.set(userIdKey, *userId_);
}

boost::asio::awaitable<void> SpotifyService::login() {
    if (clientId_.empty()) throw SpotifyError(Kind::configMissing);
    std::string verifier = base64Url(randomBytes(64));
    std::string challenge = base64Url(sha256(verifier));
    std::string state = base64Url(randomBytes(16));
    codeVerifier_ = verifier;
    struct Forget {
        std::optional<std::string>& v;
        ~Forget() { v.reset(); }
    } forget{codeVerifier_};

    std::unique_ptr<SpotifyCallbackListener> listener;
    try {
        listener = std::make_unique<SpotifyCallbackListener>();
    } catch (const std::exception& e) {
        throw SpotifyError(Kind::authFailed, 0, germanError(e.what()));
    }
    std::string redirect = listener->redirectUri();
    std::string url = endpoints_.accountsBase + "/authorize?client_id=" + percentEncode(clientId_) +
                      "&response_type=code&scope=" + percentEncode(scopes) +
                      "&code_challenge_method=S256&code_challenge=" + challenge + "&state=" + state +
                      "&redirect_uri=" + percentEncode(redirect);
    logLine(component, "Anmeldung: warte auf " + redirect);
    if (onAuthorizeUrl) onAuthorizeUrl(url);
    bool opened = openBrowser ? openBrowser(url) : openWithXdgOpen(url);
    if (!opened) logLine(component, "Browser konnte nicht geöffnet werden");

    auto items = co_await listener->wait(state, loginTimeout);
    listener.reset();
    if (!items) throw SpotifyError(Kind::authFailed, 0, "keine Antwort vom Browser (Zeit abgelaufen)");
    if (auto e = items->find("error"); e != items->end())
        throw SpotifyError(Kind::authFailed, 0, e->second == "access_denied" ? "im Browser abgelehnt" : e->second);
    auto code = items->find("code");
    if (code == items->end() || code->second.empty()) throw SpotifyError(Kind::authFailed);

    // (Built before the co_await: GCC 12 cannot keep a braced list across it.)
    std::string form = formBody({{"grant_type", "authorization_code"},
                                 {"code", code->second},
                                 {"client_id", clientId_},
                                 {"code_verifier", verifier},
                                 {"redirect_uri", redirect}});
    auto answer = co_await tokenRequest(std::move(form), std::nullopt);
    if (answer.status != 200) throw SpotifyError(Kind::authFailed, answer.status, answer.message);
    logout();  // a new sign-in replaces whatever was there
    storeUserToken(answer.token);
    if (!refreshToken_) {
        accessToken_.reset();
        throw SpotifyError(Kind::invalidResponse, 0, "Token-Antwort ohne \"refresh_token\"");
    }
    try {
        auto r = co_await api("GET", "/me", Auth::user, "");
        if (r.status != 200) failWith(r, "Profil");
        json me = parseObject(r, "Profil");
        userId_ = reqString(me, "id", "Profil");
        auto display = optString(me, "display_name");
        userName_ = display && !display->empty() ? *display : *userId_;
    } catch (...) {
        logout();
        throw;
    }
    saveSession();
    logLine(component, "Angemeldet als " + *userName_);
}

void SpotifyService::logout() {
    accessToken_.reset();
    refreshToken_.reset();
    userName_.reset();
    userId_.reset();
    tokenExpiresAt_ = {};
    keychain_.remove(refreshTokenKey);
    keychain_.remove(accessTokenKey);
    store_.remove(refreshTokenKey);
    store_.remove(userNameKey);
    store_.remove(userIdKey);
}

// Another floorvote process (the session beside an import, say) may have refreshed since this one
// read the keychain. The refresh token rotates, so the one held here is then dead and the stored one
// is the sign-in: take it, with its access token.
bool SpotifyService::adoptStoredSession() {
    auto stored = keychain_.read(refreshTokenKey);
    if (!stored || stored->empty() || stored == refreshToken_) return false;
    refreshToken_ = std::move(stored);
    accessToken_.reset();
    tokenExpiresAt_ = {};
    readStoredAccessToken();
    return true;
}

boost::asio::awaitable<void> SpotifyService::refreshAccessToken() {
    if (!refreshToken_) throw SpotifyError(Kind::notLoggedIn);
    if (clientId_.empty()) throw SpotifyError(Kind::configMissing);
    if (adoptStoredSession() && accessToken_ && now() < tokenExpiresAt_) {
        logLine(component, "Token von einem anderen Floorvote-Prozess übernommen");
        co_return;
    }
    for (bool retried = false;; retried = true) {
        std::string form =
            formBody({{"grant_type", "refresh_token"}, {"refresh_token", *refreshToken_}, {"client_id", clientId_}});
        auto answer = co_await tokenRequest(std::move(form), std::nullopt);
        int status = answer.status;
        if (status == 200) {
            storeUserToken(answer.token);
            saveSession();
            logLine(component, "Token erneuert");
            co_return;
        }
        std::string message = answer.message;
        if (status == 400 || status == 401) {
            // Refused while another process rotated the token: go on with the one it stored.
            if (!retried && adoptStoredSession()) {
                if (accessToken_ && now() < tokenExpiresAt_) co_return;
                continue;
            }
            // The refresh token is no longer valid (revoked, or rotated away): the sign-in is over.
            logLine(component, "Token-Erneuerung abgelehnt, abgemeldet: " + message);
            logout();
            throw SpotifyError(Kind::authFailed, status, message);
        }
        // A server fault: the sign-in stays for the next try.
        throw SpotifyError(Kind::apiError, status, message);
    }
}

boost::asio::awaitable<std::string> SpotifyService::validAccessToken() {
    if (!isLoggedIn()) throw SpotifyError(Kind::notLoggedIn);
    if (!accessToken_ || now() >= tokenExpiresAt_) co_await refreshAccessToken();
    co_return *accessToken_;
}

boost::asio::awaitable<std::string> SpotifyService::clientCredentialsToken() {
    if (ccToken_ && now() < ccTokenExpiresAt_) co_return *ccToken_;
    if (clientId_.empty() || clientSecret_.empty()) throw SpotifyError(Kind::configMissing);
    auto answer = co_await tokenRequest("grant_type=client_credentials", base64Encode(clientId_ + ":" + clientSecret_));
    if (answer.status != 200) {
        logLine(component, "CC Token Fehler: " + answer.message);
        throw SpotifyError(Kind::authFailed, answer.status, answer.message);
    }
    const json& token = answer.token;
    std::string access = reqString(token, "access_token", "Token-Antwort");
    int64_t expires = reqInteger(token, "expires_in", "Token-Antwort");
    if (access.empty() || expires <= 0 || expires > 10 * 365 * 86400LL)
        throw SpotifyError(Kind::invalidResponse, 0, "Token-Antwort: ungültiges Token");
    ccToken_ = access;
    ccTokenExpiresAt_ = now() + std::chrono::seconds(expires) - std::chrono::seconds(60);
    logLine(component, fmt::format("Client Credentials Token erhalten (gültig für {}s)", expires));
    co_return access;
}

// ---- reads and writes

boost::asio::awaitable<std::vector<SpotifyPlaylistInfo>> SpotifyService::fetchUserPlaylists() {
    std::vector<SpotifyPlaylistInfo> out;
    Pager pager{"/me/playlists", ""};
    for (;;) {
        auto r = co_await api("GET", pager.url(), Auth::user, "");
        if (r.status != 200) failWith(r, "Playlists laden");
        json page = parseObject(r, "Playlist-Seite");
        bool more = pager.advance(page);
        for (const auto& p : page["items"]) {
            if (p.is_null()) continue;  // the API leaves holes for playlists it no longer shows
            SpotifyPlaylistInfo info;
            info.id = reqString(p, "id", "Playlist");
            info.name = optString(p, "name").value_or("");
            if (const json* owner = member(p, "owner"))
                info.ownerName = optString(*owner, "display_name").value_or(optString(*owner, "id").value_or(""));
            // `items` now, `tracks` before.
            for (const char* key : {"items", "tracks"})
                if (const json* ref = member(p, key); ref && ref->is_object())
                    if (const json* total = member(*ref, "total"); total && total->is_number_integer()) {
                        info.trackCount = total->get<int>();
                        break;
                    }
            if (const json* images = member(p, "images"); images && images->is_array() && !images->empty())
                info.imageUrl = optString((*images)[0], "url");
            if (const json* c = member(p, "collaborative"); c && c->is_boolean()) info.isCollaborative = c->get<bool>();
            if (const json* pub = member(p, "public"); pub && pub->is_boolean()) info.isPublic = pub->get<bool>();
            out.push_back(std::move(info));
        }
        if (!more) break;
    }
    co_return out;
}

boost::asio::awaitable<SpotifyPlaylistMeta> SpotifyService::fetchPlaylistMeta(std::string playlistId) {
    auto r = co_await api("GET", "/playlists/" + percentEncode(playlistId) + "?fields=" + percentEncode("name,owner(id,display_name)"),
                          Auth::userOrApp, "");
    logLine(component, fmt::format("Playlist-Meta Status: {}", r.status));
    if (r.status == 404)
        throw SpotifyError(isSpotifyEditorialId(playlistId) ? Kind::spotifyOwnedPlaylist : Kind::playlistNotFound, 404);
    if (r.status != 200) failWith(r, "Playlist-Meta");
    json j = parseObject(r, "Playlist");
    SpotifyPlaylistMeta meta;
    meta.name = reqString(j, "name", "Playlist");
    if (const json* owner = member(j, "owner"))
        meta.ownerName = optString(*owner, "display_name").value_or(optString(*owner, "id").value_or(""));
    co_return meta;
}

boost::asio::awaitable<SpotifyTrackList> SpotifyService::fetchPlaylistTracks(std::string playlistId) {
    SpotifyTrackList out;
    Pager pager{"/playlists/" + percentEncode(playlistId) + "/items", ""};
    for (;;) {
        auto r = co_await api("GET", pager.url(), Auth::user, "");
        if (r.status == 403) {
            logLine(component, "Titel laden verweigert (403): " + errorMessage(r));
            throw SpotifyError(Kind::foreignPlaylist, 403, errorMessage(r));
        }
        if (r.status == 404)
            throw SpotifyError(isSpotifyEditorialId(playlistId) ? Kind::spotifyOwnedPlaylist : Kind::playlistNotFound, 404);
        if (r.status != 200) failWith(r, "Titel laden");
        json page = parseObject(r, "Titel-Seite");
        bool more = pager.advance(page);
        for (const auto& entry : page["items"]) {
            const json* t = member(entry, "item");
            if (!t) t = member(entry, "track");  // older answers
            if (!t) {
                ++out.skipped;  // a track that is no longer available
                continue;
            }
            try {
                if (auto track = decodeTrack(*t)) out.tracks.push_back(std::move(*track));
                else ++out.skipped;
            } catch (const SpotifyError& e) {
                logLine(component, std::string("Eintrag übersprungen: ") + e.what());
                ++out.skipped;
            }
        }
        if (!more) break;
    }
    logLine(component, fmt::format("{} Titel geladen, {} übersprungen", out.tracks.size(), out.skipped));
    co_return out;
}

boost::asio::awaitable<std::string> SpotifyService::createPlaylist(std::string name) {
    if (!isLoggedIn()) throw SpotifyError(Kind::notLoggedIn);
    json body = {{"name", name}, {"public", false}, {"description", "Erstellt von Floorvote"}};
    std::string text = body.dump();
    auto r = co_await api("POST", "/me/playlists", Auth::user, std::move(text));
    if (r.status != 200 && r.status != 201) failWith(r, "Playlist anlegen");
    json j = parseObject(r, "Neue Playlist");
    std::string id = reqString(j, "id", "Neue Playlist");
    if (id.empty()) throw SpotifyError(Kind::invalidResponse, r.status, "Neue Playlist ohne id");
    co_return id;
}

boost::asio::awaitable<void> SpotifyService::addTracks(std::string playlistId, std::vector<std::string> uris) {
    for (size_t at = 0; at < uris.size(); at += addChunk) {
        size_t end = std::min(uris.size(), at + addChunk);
        json body = {{"uris", std::vector<std::string>(uris.begin() + static_cast<std::ptrdiff_t>(at),
                                                       uris.begin() + static_cast<std::ptrdiff_t>(end))}};
        std::string text = body.dump();
        auto r = co_await api("POST", "/playlists/" + percentEncode(playlistId) + "/items", Auth::user, std::move(text));
        if (r.status != 200 && r.status != 201) {
            logLine(component, fmt::format("Tracks hinzufügen fehlgeschlagen: HTTP {}", r.status));
            logLine(component, "Response: " + excerpt(r.body));
            throw SpotifyError(Kind::apiError, r.status, errorMessage(r));
        }
    }
}

boost::asio::awaitable<std::optional<SpotifySearchHit>> SpotifyService::searchTrack(std::string isrc) {
    auto r = co_await api("GET", "/search?q=" + percentEncode("isrc:" + isrc) + "&type=track&limit=1", Auth::userOrApp, "");
    if (r.status != 200) failWith(r, "Suche");
    json j = parseObject(r, "Suchergebnis");
    const json* tracks = member(j, "tracks");
    const json* items = tracks ? member(*tracks, "items") : nullptr;
    if (!items || !items->is_array() || items->empty()) co_return std::nullopt;
    const json& t = (*items)[0];
    auto id = optString(t, "id");
    if (!id || id->empty()) co_return std::nullopt;
    SpotifySearchHit hit;
    hit.id = *id;
    hit.previewUrl = optString(t, "preview_url");
    if (const json* album = member(t, "album"))
        if (const json* images = member(*album, "images"); images && images->is_array() && !images->empty())
            hit.artworkUrl = optString((*images)[0], "url");
    co_return hit;
}

std::optional<std::string> SpotifyService::extractPlaylistId(std::string_view input) {
    std::string s(input);
    auto fail = [&] {
        logLine(component, "extractPlaylistId FAILED for input: '" + excerpt(s, 200) + "'");
        return std::nullopt;
    };
    // std::regex recurses per character: a pasted novel must not reach it.
    if (s.size() > 2048) return fail();
    static const std::regex link(R"(open\.spotify\.com/(?:[A-Za-z-]+/)?playlist/([A-Za-z0-9]+))");
    static const std::regex uri(R"(spotify:playlist:([A-Za-z0-9]+))");
    static const std::regex bare(R"([A-Za-z0-9]{22})");
    std::smatch m;
    if (std::regex_search(s, m, link)) return m[1].str();
    if (std::regex_search(s, m, uri)) return m[1].str();
    if (std::regex_match(s, bare)) return s;
    return fail();
}

}  // namespace fv
