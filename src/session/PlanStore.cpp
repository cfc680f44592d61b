#include "session/PlanStore.hpp"

// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "core/Log.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"
#include "session/AuthStore.hpp"
#include "session/KeychainService.hpp"

namespace fv {

namespace {
void log(const std::string& msg) { logLine("PlanStore", msg); }
const char* boolText(bool b) { return b ? "true" : "false"; }
std::string trimmed(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}
}  // namespace

PlanStore::PlanStore(AuthStore& auth, APIClient& api) : auth_(auth), api_(api) {}

PlanStore& PlanStore::shared() {
    static PlanStore store(AuthStore::shared(), APIClient::shared());
    return store;
}

PlanStore::Task<void> PlanStore::refresh() {
    isLoading = true;
    AppSettings s = AppSettings::load();
    auto live = AppSettings::dedicatedOverride();
    log("refresh() START — effectiveServerURL=" + s.serverURL() + ", devMode=" + boolText(s.developerModeEnabled) +
        ", serverMode=" + std::string(toString(s.serverMode)) + ", liveDedicatedURL=" + live.value_or("nil"));
    co_await checkDedicatedServer();
    isLoading = false;
}

// While on a dedicated server the access token in memory belongs to it; the main service is asked
// with a token of its own, from the refresh token remembered for it.
PlanStore::Task<std::optional<std::string>> PlanStore::mainServiceToken() {
    if (!AppSettings::dedicatedOverride()) co_return std::nullopt;
    auto token = auth_.keychain().read("refreshToken_production");
    if (!token || token->empty()) co_return std::nullopt;
    try {
        std::string access = co_await api_.refreshToken(*token, AppSettings::productionURL());
        co_return access;
    } catch (const std::exception&) {
        co_return std::nullopt;
    }
}

PlanStore::Task<void> PlanStore::checkDedicatedServer() {
    const auto live = AppSettings::dedicatedOverride();
    log(std::string("Checking for dedicated server... (alreadyOnDedicated=") + boolText(live.has_value()) + ")");
    std::optional<DedicatedServerResponse> answer;
    try {
        std::optional<std::string> mainToken = co_await mainServiceToken();
        answer = co_await api_.getDedicatedServer(mainToken);
    } catch (const std::exception& e) {
        log(std::string("Error fetching dedicated server: ") + e.what());
        lastError = e.what();
        co_return;
    }
    const auto& r = *answer;
    log(std::string("getDedicatedServer response: hasDedicated=") + boolText(r.hasDedicatedServer) +
        ", url=" + r.serverUrl.value_or("nil") + ", status=" + r.status.value_or("nil") +
        ", suspended=" + boolText(r.suspended));

    if (!r.hasDedicatedServer || !r.serverUrl || r.serverUrl->empty()) {
        if (live) {
            log("⚠️ Dedicated server no longer assigned — switching back to main server");
            co_await switchBackToMainServer();
        }
        co_return;
    }

    const std::string url = trimmed(*r.serverUrl);
    dedicatedServerURL = url;
    dedicatedServerStatus = r.status.value_or("active");
    isDedicatedServerSuspended = r.suspended;
    dedicatedServerSuspendReason = r.suspendReason;
    dedicatedServerSuspendedAt = r.suspendedAt;

    if (r.suspended) {
        log("⚠️ Dedicated server is SUSPENDED: " + r.suspendReason.value_or("unknown reason"));
        if (live) {
            log("Switching back to main server due to suspension");
            co_await switchBackToMainServer();
        }
        co_return;
    }
    if (!live || trimmed(*live) != url) {
        co_await startHandoff(url);
        co_return;
    }
    if (dedicatedServerIsEmpty) {
        try {
            auto events = co_await api_.getDJEvents();
            if (!events.events.empty()) {
                log("Dedicated server is no longer empty (" + std::to_string(events.events.size()) + " events found)");
                dedicatedServerIsEmpty = false;
            }
        } catch (const std::exception& e) {
            log(std::string("Could not re-check isEmpty: ") + e.what());
        }
    }
}

PlanStore::Task<void> PlanStore::switchBackToMainServer() {
    auth_.rememberDedicatedServer(std::nullopt);
    AppSettings::modify([](AppSettings& s) { s.dedicatedServerURL.clear(); });
    // The login in memory is the dedicated server's; resume the one remembered for the main
    // service, or ask for a new login.
    ServerMode mode = AuthStore::currentBackendName() == "development" ? ServerMode::development : ServerMode::production;
    bool resumed = co_await auth_.switchToStoredServerToken(mode);
    if (!resumed) auth_.clearSession();
}

PlanStore::Task<void> PlanStore::startHandoff(std::string serverURL) {
    serverURL = trimmed(serverURL);
    log("Starting handoff to dedicated server: " + serverURL);
    try {
        AppSettings s = AppSettings::load();
        HandoffResponse r = co_await api_.handoff(serverURL, auth_.displayName().value_or("DJ"), s.djEmail);
        if (!r.success) {
            log("Handoff failed: success=false");
            co_return;
        }
        auth_.applyHandoffTokens(r, serverURL);
        auth_.rememberDedicatedServer(serverURL);
        dedicatedServerIsEmpty = r.isEmpty;
        SavedEvents::saveAll({});
        AppSettings::modify([](AppSettings& st) { st.activeEventId.clear(); });
        log("Cleared local SavedEvents cache for clean dedicated server start");
        log(std::string("Handoff successful! isEmpty=") + boolText(r.isEmpty) + ", switched to " + serverURL);
    } catch (const std::exception& e) {
        log(std::string("Handoff error: ") + e.what() + " — staying on current server");
        lastError = e.what();
    }
}

}  // namespace fv
