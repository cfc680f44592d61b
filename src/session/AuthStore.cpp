#include "session/AuthStore.hpp"
#include "session/HttpClient.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "core/Log.hpp"
#include "session/AppSettings.hpp"
#include "session/KeychainService.hpp"

namespace fv {

namespace {
constexpr const char* kRefreshToken = "refreshToken";
constexpr const char* kDjUuid = "djUuid";
constexpr const char* kLoginMethod = "loginMethod";
constexpr const char* kDedicatedServer = "dedicatedServerOverride";

void log(const std::string& msg) { logLine("AuthStore", msg); }
const char* boolText(bool b) { return b ? "true" : "false"; }
}  // namespace

AuthStore::AuthStore(KeychainService& keychain) : keychain_(keychain) {}

AuthStore& AuthStore::shared() {
    static KeychainService keychain;
    static AuthStore store(keychain);
    return store;
}

APIClient& AuthStore::api() { return api_ ? *api_ : APIClient::shared(); }

std::string AuthStore::currentBackendName() {
    if (AppSettings::dedicatedOverride()) return "dedicated";
    AppSettings s = AppSettings::load();
    if (!s.developerModeEnabled) return "production";
    switch (s.serverMode) {
        case ServerMode::production: return "production";
        case ServerMode::development: return "development";
        case ServerMode::dedicated: return s.dedicatedServerURL.empty() ? "production" : "dedicated";
    }
    return "production";
}

void AuthStore::rememberDedicatedServer(std::optional<std::string> url) {
    AppSettings::setDedicatedOverride(url);
    if (url) keychain_.save(kDedicatedServer, *url);
    else keychain_.remove(kDedicatedServer);
}

void AuthStore::restoreDedicatedServer() {
    if (AppSettings::dedicatedOverride()) return;
    auto url = keychain_.read(kDedicatedServer);
    if (url && !url->empty()) AppSettings::setDedicatedOverride(*url);
}

AuthStore::Task<void> AuthStore::restoreSession() {
    restoreDedicatedServer();
    auto token = keychain_.read(kRefreshToken);
    if (!token) {
        log("restoreSession: no refresh token → unauthenticated");
        if (state_ != State::unauthenticated) state_ = State::unauthenticated;
        co_return;
    }
    std::string method = keychain_.read(kLoginMethod).value_or("otp");
    log("restoreSession: method=" + method);
    if (method == "apple")
        restoreAppleSession(*token);
    else
        co_await restoreOTPSession();
}

void AuthStore::restoreAppleSession(const std::string& refreshToken) {
    const std::string prefix = "apple:";
    if (refreshToken.rfind(prefix, 0) != 0) {
        clearSession();
        return;
    }
    std::string userId = refreshToken.substr(prefix.size());
    if (appleCredentialAuthorized && appleCredentialAuthorized(userId)) {
        accessToken_ = "apple-" + userId;
        state_ = State::authenticated;
    } else {
        clearSession();
    }
}

AuthStore::Task<void> AuthStore::restoreOTPSession() {
    AppSettings s = AppSettings::load();
    log("restoreOTPSession: target server=" + s.serverURL() + ", devMode=" + boolText(s.developerModeEnabled) +
        ", mode=" + std::string(toString(s.serverMode)));
    std::string failure;
    bool unreachable = false;
    serverUnreachable_ = false;
    try {
        bool refreshed = co_await api().refreshAccessToken();
        if (!refreshed) throw APIError(APIError::Kind::notAuthenticated);
        djUuid_ = keychain_.read(kDjUuid);
        state_ = State::authenticated;
        log("restoreOTPSession: SUCCESS, fetching role...");
    } catch (const HttpError& e) {
        failure = e.what();
        unreachable = true;
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (unreachable) {
        // No answer is not a rejected token: a venue without network must not log the DJ out.
        log("restoreOTPSession: FAILED — " + failure + ". Server not reachable, stored login kept.");
        serverUnreachable_ = true;
        errorMessage_ = failure;
        state_ = State::unauthenticated;
        co_return;
    }
    if (!failure.empty() || state_ != State::authenticated) {
        log("restoreOTPSession: FAILED — " + failure + ". Clearing session (server mode preserved).");
        clearSession();
        co_return;
    }
    co_await fetchRole();
}

AuthStore::Task<bool> AuthStore::sendOTP(std::string email) {
    isBusy_ = true;
    errorMessage_.reset();
    bool ok = false;
    try {
        bool sent = co_await api().sendOTP(email);
        ok = sent;
    } catch (const std::exception& e) {
        errorMessage_ = e.what();
    }
    isBusy_ = false;
    co_return ok;
}

AuthStore::Task<bool> AuthStore::verifyOTP(std::string email, std::string code) {
    isBusy_ = true;
    errorMessage_.reset();
    std::optional<OTPVerifyResponse> answer;
    try {
        OTPVerifyResponse r = co_await api().verifyOTP(email, code);
        answer = std::move(r);
        if (!answer->success) throw APIError(APIError::Kind::unauthorized);
    } catch (const std::exception& e) {
        errorMessage_ = e.what();
        answer.reset();
    }
    isBusy_ = false;
    if (!answer) {
        if (state_ == State::loading) state_ = State::unauthenticated;
        co_return false;
    }
    const std::string backend = currentBackendName();
    keychain_.save(kRefreshToken, answer->refreshToken);
    keychain_.save(kDjUuid, answer->djUuid);
    keychain_.save(kLoginMethod, "otp");
    keychain_.save(std::string(kRefreshToken) + "_" + backend, answer->refreshToken);
    keychain_.save(std::string(kDjUuid) + "_" + backend, answer->djUuid);
    accessToken_ = answer->accessToken;
    djUuid_ = answer->djUuid;
    state_ = State::authenticated;
    co_await fetchRole();
    co_return true;
}

AuthStore::Task<bool> AuthStore::switchToStoredServerToken(ServerMode mode) {
    const std::string name(toString(mode));
    auto token = keychain_.read(std::string(kRefreshToken) + "_" + name);
    if (!token || token->empty()) co_return false;
    std::string access;
    try {
        access = co_await api().refreshToken(*token);
    } catch (const std::exception& e) {
        log("Stored server token failed for " + name + ": " + e.what());
        co_return false;
    }
    keychain_.save(kRefreshToken, *token);
    if (auto id = keychain_.read(std::string(kDjUuid) + "_" + name)) {
        keychain_.save(kDjUuid, *id);
        djUuid_ = *id;
    }
    accessToken_ = access;
    if (state_ != State::authenticated) state_ = State::authenticated;
    co_await fetchRole();
    co_return true;
}

AuthStore::Task<void> AuthStore::fetchRole() {
    try {
        DJProfile profile = co_await api().getProfile();
        std::string role = profile.role.value_or("user");
        if (role != userRole_) log("fetchRole: server returned role='" + role + "' (was '" + userRole_ + "')");
        userRole_ = role;
        displayName_ = profile.displayName;
        AppSettings::modify([&](AppSettings& s) { s.lastKnownRole = role; });
    } catch (const std::exception& e) {
        log(std::string("fetchRole failed: ") + e.what());
    }
}

void AuthStore::applyHandoffTokens(const HandoffResponse& response, const std::string& /*serverURL*/) {
    keychain_.save("refreshToken_dedicated", response.refreshToken);
    keychain_.save("djUuid_dedicated", response.djUuid);
    keychain_.save(kRefreshToken, response.refreshToken);
    keychain_.save(kDjUuid, response.djUuid);
    accessToken_ = response.accessToken;
    djUuid_ = response.djUuid;
    log("Handoff tokens applied for djUuid=" + response.djUuid);
}

void AuthStore::clearSession() {
    keychain_.remove(kRefreshToken);
    keychain_.remove(kDjUuid);
    keychain_.remove(kLoginMethod);
    rememberDedicatedServer(std::nullopt);
    accessToken_.reset();
    djUuid_.reset();
    userRole_ = "user";
    state_ = State::unauthenticated;
    log("clearSession: tokens cleared, state=unauthenticated (server mode preserved)");
}

AuthStore::Task<void> AuthStore::logout() {
    auto token = keychain_.read(kRefreshToken);
    if (token && token->rfind("apple:", 0) != 0) {
        try {
            co_await api().logout(*token);
        } catch (const std::exception&) {
            // the service forgets the token on its own in time
        }
    }
    clearSession();
    AppSettings::modify([](AppSettings& s) {
        s.developerModeEnabled = false;
        s.serverMode = ServerMode::production;
        s.dedicatedServerURL.clear();
    });
    log("logout: developer mode reset to production");
}

std::optional<std::string> AuthStore::consoleLoginQuery(const std::string& eventId) const {
    if (!accessToken_ || accessToken_->rfind("apple-", 0) == 0 || eventId.empty()) return std::nullopt;
    std::string q = "fvAccess=" + APIClient::queryEncode(*accessToken_) + "&fvEvent=" + APIClient::queryEncode(eventId);
    if (djUuid_) q += "&fvUuid=" + APIClient::queryEncode(*djUuid_);
    return q;
}

}  // namespace fv
