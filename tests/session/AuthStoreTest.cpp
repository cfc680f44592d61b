// Login flows and the dedicated-server switch, end to end against the Node test service.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <cstdlib>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/Log.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"
#include "session/AuthStore.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"
#include "session/PlanStore.hpp"
#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using fv::test::runOnMain;
using fv::test::TestService;
using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

class AuthStoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        service = new TestService("production");
        dedicated = new TestService("dedicated");
    }
    static void TearDownTestSuite() {
        delete service;
        delete dedicated;
    }

    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        setenv("FLOORVOTE_PRODUCTION_URL", service->url().c_str(), 1);
        AppSettings::setDedicatedOverride(std::nullopt);
        service->reset();
        dedicated->reset();
        service->account({{"email", email}, {"code", "424242"}, {"role", "admin"}, {"displayName", "DJ Nova"}});
        auth.setClient(&api);
        setLogSink([this](const std::string& l) { lines.push_back(l); });
    }
    void TearDown() override {
        setLogSink(nullptr);
        AppSettings::setDedicatedOverride(std::nullopt);
    }

    void login() {
        ASSERT_TRUE(runOnMain(auth.sendOTP(email)));
        ASSERT_TRUE(runOnMain(auth.verifyOTP(email, "424242")));
    }

    static TestService* service;
    static TestService* dedicated;
    std::unique_ptr<fv::test::TempDir> home;
    std::string email = "nova@example.invalid";
    KeychainService keychain;
    HttpClient http;
    AuthStore auth{keychain};
    APIClient api{auth, keychain, http};
    PlanStore plan{auth, api};
    std::vector<std::string> lines;
};

TestService* AuthStoreTest::service = nullptr;
TestService* AuthStoreTest::dedicated = nullptr;

}  // namespace

TEST_F(AuthStoreTest, OtpLoginStoresPlainAndPerServerItems) {
    EXPECT_EQ(auth.state(), AuthStore::State::loading);
    login();
    EXPECT_EQ(auth.state(), AuthStore::State::authenticated);
    auto refresh = keychain.read("refreshToken");
    ASSERT_TRUE(refresh);
    EXPECT_EQ(keychain.read("refreshToken_production"), refresh);
    EXPECT_EQ(keychain.read("djUuid"), auth.djUuid());
    EXPECT_EQ(keychain.read("djUuid_production"), auth.djUuid());
    EXPECT_EQ(keychain.read("loginMethod"), "otp");
    EXPECT_FALSE(keychain.read("refreshToken_development"));
    EXPECT_EQ(auth.userRole(), "admin");
    EXPECT_EQ(AppSettings::load().lastKnownRole, "admin");
    EXPECT_THAT(lines, Contains("[AuthStore] fetchRole: server returned role='admin' (was 'user')"));
}

TEST_F(AuthStoreTest, WrongCodeKeepsTheDjLoggedOut) {
    EXPECT_FALSE(runOnMain(auth.verifyOTP(email, "000000")));
    EXPECT_EQ(auth.state(), AuthStore::State::unauthenticated);
    EXPECT_EQ(auth.errorMessage(), "Invalid code");
    EXPECT_FALSE(keychain.read("refreshToken"));
    EXPECT_FALSE(auth.isBusy());
}

TEST_F(AuthStoreTest, RestoreAtStartResumesTheLogin) {
    login();
    AuthStore later(keychain);
    APIClient laterApi(later, keychain, http);
    later.setClient(&laterApi);
    lines.clear();
    runOnMain(later.restoreSession());
    EXPECT_EQ(later.state(), AuthStore::State::authenticated);
    EXPECT_EQ(later.djUuid(), auth.djUuid());
    EXPECT_TRUE(later.accessToken());
    EXPECT_THAT(lines, Contains("[AuthStore] restoreSession: method=otp"));
    EXPECT_THAT(lines, Contains("[AuthStore] restoreOTPSession: target server=" + service->url() +
                                ", devMode=false, mode=production"));
    EXPECT_THAT(lines, Contains("[AuthStore] restoreOTPSession: SUCCESS, fetching role..."));
}

TEST_F(AuthStoreTest, NothingStoredMeansUnauthenticated) {
    runOnMain(auth.restoreSession());
    EXPECT_EQ(auth.state(), AuthStore::State::unauthenticated);
    EXPECT_THAT(lines, Contains("[AuthStore] restoreSession: no refresh token → unauthenticated"));
}

TEST_F(AuthStoreTest, FailedRefreshClearsOnlyThePlainItems) {
    login();
    keychain.remove("loginMethod");  // a missing method counts as an e-mail login
    service->admin("POST", "/__admin/expire", {{"refreshTokens", true}});
    AuthStore later(keychain);
    APIClient laterApi(later, keychain, http);
    later.setClient(&laterApi);
    runOnMain(later.restoreSession());
    EXPECT_EQ(later.state(), AuthStore::State::unauthenticated);
    EXPECT_FALSE(keychain.read("refreshToken"));
    EXPECT_FALSE(keychain.read("djUuid"));
    EXPECT_FALSE(keychain.read("loginMethod"));
    EXPECT_TRUE(keychain.read("refreshToken_production"));
    EXPECT_TRUE(keychain.read("djUuid_production"));
    EXPECT_THAT(lines, Contains("[AuthStore] restoreOTPSession: FAILED — Invalid refresh token. Clearing session (server mode preserved)."));
    EXPECT_THAT(lines, Contains("[AuthStore] clearSession: tokens cleared, state=unauthenticated (server mode preserved)"));
}

TEST_F(AuthStoreTest, UnreachableServerKeepsTheStoredLogin) {
    login();
    auto token = keychain.read("refreshToken");
    AuthStore later(keychain);
    APIClient laterApi(later, keychain, http);
    later.setClient(&laterApi);
    setenv("FLOORVOTE_PRODUCTION_URL", "http://127.0.0.1:1", 1);
    runOnMain(later.restoreSession());
    EXPECT_EQ(later.state(), AuthStore::State::unauthenticated);
    EXPECT_TRUE(later.serverUnreachable());
    EXPECT_EQ(keychain.read("refreshToken"), token);
    EXPECT_TRUE(keychain.read("djUuid"));
    // Once the network is back, the same login resumes.
    setenv("FLOORVOTE_PRODUCTION_URL", service->url().c_str(), 1);
    runOnMain(later.restoreSession());
    EXPECT_EQ(later.state(), AuthStore::State::authenticated);
    EXPECT_FALSE(later.serverUnreachable());
}

TEST_F(AuthStoreTest, AppleLoginsCannotBeConfirmedOnLinux) {
    keychain.save("refreshToken", "no-prefix");
    keychain.save("loginMethod", "apple");
    runOnMain(auth.restoreSession());
    EXPECT_EQ(auth.state(), AuthStore::State::unauthenticated);
    EXPECT_FALSE(keychain.read("refreshToken"));

    keychain.save("refreshToken", "apple:001.abc");
    keychain.save("loginMethod", "apple");
    runOnMain(auth.restoreSession());
    EXPECT_EQ(auth.state(), AuthStore::State::unauthenticated);

    // Were it authorized, the in-memory token takes the "apple-" form; logout sends nothing then.
    auth.appleCredentialAuthorized = [](const std::string& id) { return id == "001.abc"; };
    keychain.save("refreshToken", "apple:001.abc");
    keychain.save("loginMethod", "apple");
    runOnMain(auth.restoreSession());
    EXPECT_EQ(auth.state(), AuthStore::State::authenticated);
    EXPECT_EQ(auth.accessToken(), "apple-001.abc");
    EXPECT_FALSE(auth.consoleLoginQuery("ev1"));
    service->clearReceived();
    runOnMain(auth.logout());
    EXPECT_TRUE(service->received().empty());
}

TEST_F(AuthStoreTest, LogoutResetsDeveloperModeToProduction) {
    login();
    setenv("FLOORVOTE_DEVELOPMENT_URL", service->url().c_str(), 1);
    AppSettings::modify([](AppSettings& s) {
        s.developerModeEnabled = true;
        s.serverMode = ServerMode::development;
        s.dedicatedServerURL = "http://127.0.0.1:9";
    });
    service->clearReceived();
    std::string refresh = *keychain.read("refreshToken");
    runOnMain(auth.logout());
    auto r = service->received();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["target"], "/api/auth/logout");
    EXPECT_EQ(r[0]["body"], json({{"refreshToken", refresh}}).dump());
    AppSettings s = AppSettings::load();
    EXPECT_FALSE(s.developerModeEnabled);
    EXPECT_EQ(s.serverMode, ServerMode::production);
    EXPECT_TRUE(s.dedicatedServerURL.empty());
    EXPECT_EQ(auth.state(), AuthStore::State::unauthenticated);
    EXPECT_THAT(lines, Contains("[AuthStore] logout: developer mode reset to production"));
}

TEST_F(AuthStoreTest, ConsoleQueryCarriesTheLogin) {
    EXPECT_FALSE(auth.consoleLoginQuery("ev1"));
    login();
    auto q = auth.consoleLoginQuery("ev 1");
    ASSERT_TRUE(q);
    EXPECT_EQ(*q, "fvAccess=" + *auth.accessToken() + "&fvEvent=ev%201&fvUuid=" + *auth.djUuid());
    EXPECT_FALSE(auth.consoleLoginQuery(""));
}

TEST_F(AuthStoreTest, StoredServerTokenResumesAnotherBackend) {
    EXPECT_FALSE(runOnMain(auth.switchToStoredServerToken(ServerMode::development)));
    keychain.save("refreshToken_development", "stale");
    setenv("FLOORVOTE_DEVELOPMENT_URL", dedicated->url().c_str(), 1);
    AppSettings::modify([](AppSettings& s) {
        s.developerModeEnabled = true;
        s.serverMode = ServerMode::development;
    });
    EXPECT_FALSE(runOnMain(auth.switchToStoredServerToken(ServerMode::development)));
    EXPECT_THAT(lines, Contains("[AuthStore] Stored server token failed for development: Invalid refresh token"));
    std::string uuid = dedicated->account({{"email", email}, {"refreshToken", "dev-refresh"}});
    keychain.save("refreshToken_development", "dev-refresh");
    keychain.save("djUuid_development", uuid);
    EXPECT_TRUE(runOnMain(auth.switchToStoredServerToken(ServerMode::development)));
    EXPECT_EQ(auth.state(), AuthStore::State::authenticated);
    EXPECT_EQ(keychain.read("refreshToken"), "dev-refresh");
    EXPECT_EQ(auth.djUuid(), uuid);
}

TEST_F(AuthStoreTest, HandoffMovesToTheDedicatedServerAndEmptiesLocalEvents) {
    login();
    AppSettings::modify([](AppSettings& s) {
        s.activeEventId = "ev1";
        s.djEmail = "nova@example.invalid";
    });
    SavedEvents::upsert(SavedEvent{"ev1", "Party", "Nova", "2026-01-01T00:00:00Z", {}, {}, {}});
    service->set({{"dedicated", {{"has_dedicated_server", true}, {"server_url", dedicated->url() + "/"}, {"status", "active"}}}});
    runOnMain(plan.refresh());
    EXPECT_EQ(AppSettings::dedicatedOverride(), dedicated->url());
    EXPECT_TRUE(SavedEvents::loadAll().empty());
    EXPECT_TRUE(AppSettings::load().activeEventId.empty());
    EXPECT_TRUE(plan.dedicatedServerIsEmpty);
    EXPECT_EQ(plan.dedicatedServerStatus, "active");
    EXPECT_EQ(keychain.read("refreshToken_dedicated"), keychain.read("refreshToken"));
    auto h = dedicated->lastReceived();
    EXPECT_EQ(h["target"], "/api/auth/handoff");
    EXPECT_EQ(h["body"], R"({"displayName":"DJ Nova","email":"nova@example.invalid"})");
    EXPECT_THAT(lines, Contains("[PlanStore] Checking for dedicated server... (alreadyOnDedicated=false)"));
    EXPECT_THAT(lines, Contains("[PlanStore] Starting handoff to dedicated server: " + dedicated->url()));
    EXPECT_THAT(lines, Contains("[PlanStore] Cleared local SavedEvents cache for clean dedicated server start"));
    EXPECT_THAT(lines, Contains("[PlanStore] Handoff successful! isEmpty=true, switched to " + dedicated->url()));

    // Requests now go to the dedicated server with its token.
    dedicated->clearReceived();
    auto events = runOnMain(api.getDJEvents());
    EXPECT_TRUE(events.events.empty());
    EXPECT_EQ(dedicated->received().size(), 1u);

    // Once it holds events, the next check notices.
    dedicated->event({{"id", "d1"}, {"ownerEmail", email}});
    runOnMain(plan.refresh());
    EXPECT_FALSE(plan.dedicatedServerIsEmpty);
    EXPECT_THAT(lines, Contains("[PlanStore] Dedicated server is no longer empty (1 events found)"));

    // Withdrawn: back to the main service with the login remembered for it.
    service->set({{"dedicated", {{"has_dedicated_server", false}}}});
    runOnMain(plan.refresh());
    EXPECT_FALSE(AppSettings::dedicatedOverride());
    EXPECT_THAT(lines, Contains("[PlanStore] ⚠️ Dedicated server no longer assigned — switching back to main server"));
    EXPECT_EQ(auth.state(), AuthStore::State::authenticated);
    service->clearReceived();
    (void)runOnMain(api.getProfile());
    EXPECT_EQ(service->received().size(), 1u);
}

TEST_F(AuthStoreTest, SuspendedServerSendsRequestsBackOrOnlyShowsTheSuspension) {
    login();
    service->set({{"dedicated", {{"has_dedicated_server", true}, {"server_url", dedicated->url()}, {"suspended", true},
                                 {"suspend_reason", "unpaid"}}}});
    runOnMain(plan.refresh());
    EXPECT_FALSE(AppSettings::dedicatedOverride());
    EXPECT_TRUE(plan.isDedicatedServerSuspended);
    EXPECT_EQ(plan.dedicatedServerSuspendReason, "unpaid");
    EXPECT_TRUE(dedicated->received().empty());
    EXPECT_THAT(lines, Contains("[PlanStore] ⚠️ Dedicated server is SUSPENDED: unpaid"));

    service->set({{"dedicated", {{"has_dedicated_server", true}, {"server_url", dedicated->url()}}}});
    runOnMain(plan.refresh());
    ASSERT_EQ(AppSettings::dedicatedOverride(), dedicated->url());
    service->set({{"dedicated", {{"has_dedicated_server", true}, {"server_url", dedicated->url()}, {"suspended", true}}}});
    runOnMain(plan.refresh());
    EXPECT_FALSE(AppSettings::dedicatedOverride());
    EXPECT_THAT(lines, Contains("[PlanStore] ⚠️ Dedicated server is SUSPENDED: unknown reason"));
    EXPECT_THAT(lines, Contains("[PlanStore] Switching back to main server due to suspension"));
    EXPECT_EQ(auth.state(), AuthStore::State::authenticated);
}

TEST_F(AuthStoreTest, FailedHandoffStaysOnTheCurrentServer) {
    login();
    SavedEvents::upsert(SavedEvent{"ev1", "Party", "Nova", "2026-01-01T00:00:00Z", {}, {}, {}});
    dedicated->set({{"handoff", {{"success", false}, {"djUuid", ""}, {"accessToken", ""}, {"refreshToken", ""}, {"isEmpty", true}}}});
    runOnMain(plan.startHandoff(dedicated->url()));
    EXPECT_THAT(lines, Contains("[PlanStore] Handoff failed: success=false"));
    dedicated->script({{"action", "status"}, {"status", 500}, {"body", "down"}});
    dedicated->set({{"handoff", nullptr}});
    runOnMain(plan.startHandoff(dedicated->url()));
    EXPECT_THAT(lines, Contains("[PlanStore] Handoff error: Server error (500) — staying on current server"));
    EXPECT_FALSE(AppSettings::dedicatedOverride());
    EXPECT_EQ(SavedEvents::loadAll().size(), 1u);
    service->script({{"action", "status"}, {"status", 502}, {"body", ""}, {"path", "/api/dj/dedicated-server"}});
    runOnMain(plan.refresh());
    EXPECT_THAT(lines, Contains("[PlanStore] Error fetching dedicated server: Server error (502)"));
}
