// The REST client against the Node test service over real HTTP on loopback.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <cstdlib>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/Base64.hpp"
#include "core/Log.hpp"
#include "session/APIClient.hpp"
#include "session/AppSettings.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"
#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::runOnMain;
using fv::test::TestService;
using ::testing::HasSubstr;

namespace {

struct Tokens : AccessTokenHolder {
    std::optional<std::string> token;
    std::optional<std::string> accessToken() const override { return token; }
    void setAccessToken(std::string t) override { token = std::move(t); }
};

template <typename F>
APIError apiErrorOf(F&& f) {
    try {
        f();
    } catch (const APIError& e) {
        return e;
    }
    ADD_FAILURE() << "no APIError thrown";
    return APIError(APIError::Kind::unknownError);
}

class ApiClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { service = new TestService("production"); }
    static void TearDownTestSuite() {
        delete service;
        service = nullptr;
    }

    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        setenv("FLOORVOTE_PRODUCTION_URL", service->url().c_str(), 1);
        AppSettings::setDedicatedOverride(std::nullopt);
        service->reset();
        email = "dj@example.invalid";
        uuid = service->account({{"email", email}, {"accessToken", "good-token"}, {"refreshToken", "good-refresh"},
                                 {"role", "admin"}, {"displayName", "DJ Test"}});
        service->event({{"id", "ev1"}, {"dj_pin", "1234"}, {"dj_name", "Test"}, {"event_name", "Party"},
                        {"ownerEmail", email},
                        {"requests", json::array({{{"id", 7}, {"title", "Song"}, {"artist", "Band"}, {"status", "pending"},
                                                   {"created_at", "2026-01-01T20:00:00Z"}},
                                                  {{"id", 8}, {"title", "Other"}, {"artist", "Act"}, {"status", "played"},
                                                   {"created_at", "2026-01-01T20:01:00Z"}}})},
                        {"messages", json::array({{{"id", 3}, {"content", "Hallo"}, {"created_at", "2026-01-01T20:02:00Z"},
                                                   {"session_id", "s1"}}})}});
        tokens.token = "good-token";
    }

    json received() const { return service->received(); }

    static TestService* service;
    std::unique_ptr<fv::test::TempDir> home;
    std::string email, uuid;
    Tokens tokens;
    KeychainService keychain;
    HttpClient http;
    APIClient api{tokens, keychain, http};
};

TestService* ApiClientTest::service = nullptr;

}  // namespace

TEST(APIErrorText, CasesCarryTheirFixedTexts) {
    EXPECT_STREQ(APIError::serverError(500).what(), "Server error (500)");
    EXPECT_STREQ(APIError::serverMessage(409, "Taken").what(), "Taken");
    EXPECT_STREQ(APIError(APIError::Kind::invalidResponse).what(), "Invalid server response");
    EXPECT_STREQ(APIError(APIError::Kind::unauthorized).what(), "Authentication failed – check your DJ PIN");
    EXPECT_STREQ(APIError(APIError::Kind::notFound).what(), "Event not found");
    EXPECT_STREQ(APIError(APIError::Kind::noActiveEvent).what(), "Kein aktives Event ausgewählt");
    EXPECT_STREQ(APIError(APIError::Kind::notAuthenticated).what(), "Not authenticated");
    EXPECT_STREQ(APIError(APIError::Kind::invalidURL).what(), "Invalid server URL");
    EXPECT_STREQ(APIError(APIError::Kind::unknownError).what(), "An unknown error occurred");
}

TEST(APIClientRules, ValidateResponseStatusRules) {
    EXPECT_NO_THROW(APIClient::validateResponse(200, "", true));
    EXPECT_NO_THROW(APIClient::validateResponse(204, "garbage", true));
    auto err = [](int status, std::string body, bool read) {
        return apiErrorOf([&] { APIClient::validateResponse(status, body, read); });
    };
    EXPECT_EQ(err(404, R"({"error":"No such request"})", true), APIError(APIError::Kind::notFound));
    EXPECT_EQ(err(401, R"({"error":"Token expired"})", true), APIError::serverMessage(401, "Token expired"));
    EXPECT_EQ(err(401, "", true), APIError(APIError::Kind::unauthorized));
    EXPECT_EQ(err(401, R"({"error":42})", true), APIError(APIError::Kind::unauthorized));
    EXPECT_EQ(err(401, R"({"error":"x"})", false), APIError(APIError::Kind::unauthorized));
    EXPECT_EQ(err(500, "<html>boom</html>", true), APIError::serverError(500));
    EXPECT_EQ(err(503, R"({"error":"Wartung"})", true), APIError::serverMessage(503, "Wartung"));
    EXPECT_EQ(err(503, R"({"error":"Wartung"})", false), APIError::serverError(503));
    EXPECT_EQ(err(302, "", true), APIError::serverError(302));
}

TEST(APIClientRules, QueryValuesCannotBreakTheQuery) {
    EXPECT_EQ(APIClient::queryEncode("AC/DC & Friends=1+2#x ü"), "AC%2FDC%20%26%20Friends%3D1%2B2%23x%20%C3%BC");
    EXPECT_EQ(APIClient::queryEncode("a-b_c.d~"), "a-b_c.d~");
}

TEST(APIClientRules, UrlsParseWithPortsAndRejectOtherSchemes) {
    auto u = parseURL("http://127.0.0.1:8080/api/x?y=1");
    EXPECT_EQ(u.host, "127.0.0.1");
    EXPECT_EQ(u.port, "8080");
    EXPECT_EQ(u.target, "/api/x?y=1");
    EXPECT_EQ(u.hostHeader, "127.0.0.1:8080");
    auto s = parseURL("https://api.example.com");
    EXPECT_TRUE(s.https);
    EXPECT_EQ(s.port, "443");
    EXPECT_EQ(s.hostHeader, "api.example.com");
    EXPECT_EQ(parseURL("http://[::1]:9/").host, "::1");
    EXPECT_THROW(parseURL("ftp://x"), HttpError);
    EXPECT_THROW(parseURL("http://"), HttpError);
    EXPECT_THROW(parseURL("http://h:99999/"), HttpError);
    EXPECT_THROW(parseURL("http://h/a b"), HttpError);
}

TEST_F(ApiClientTest, StatusRulesOverRealHttp) {
    // 401 with an "error" text on a PATCH, then without.
    service->script({{"action", "status"}, {"status", 401}, {"body", R"({"error":"Token revoked"})"}});
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.setEventActive("ev1", true)); }), APIError::serverMessage(401, "Token revoked"));
    service->script({{"action", "status"}, {"status", 401}, {"body", ""}});
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.setEventActive("ev1", true)); }), APIError(APIError::Kind::unauthorized));
    // 404 whatever the body says.
    service->script({{"action", "status"}, {"status", 404}, {"body", R"({"error":"Gone fishing"})"}});
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.replyToMessage("ev1", 3, "Danke", "s1")); }), APIError(APIError::Kind::notFound));
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.getEvent("nope")); }), APIError(APIError::Kind::notFound));
    // 500 with a body that is not JSON.
    service->script({{"action", "status"}, {"status", 500}, {"body", "<html>Internal</html>"}, {"contentType", "text/html"}});
    auto e = apiErrorOf([&] { runOnMain(api.getRequests("ev1")); });
    EXPECT_EQ(e, APIError::serverError(500));
    EXPECT_STREQ(e.what(), "Server error (500)");
    // A public GET does not read the error text.
    service->script({{"action", "status"}, {"status", 503}, {"body", R"({"error":"Wartung"})"}});
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.getStats("ev1")); }), APIError::serverError(503));
    // The service's own error text on a POST.
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.sendOTP("not-an-address")); }), APIError::serverMessage(400, "Invalid email"));
}

TEST_F(ApiClientTest, ExpiredTokenIsRefreshedOnceAndTheRequestSentAgain) {
    keychain.save("refreshToken", "good-refresh");
    service->expireAccessTokens();
    service->clearReceived();
    DJProfile p = runOnMain(api.getProfile());
    EXPECT_EQ(p.uuid, uuid);
    auto r = received();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0]["target"], "/api/dj/profile");
    EXPECT_EQ(r[0]["headers"]["authorization"], "Bearer good-token");
    EXPECT_EQ(r[1]["target"], "/api/auth/refresh");
    EXPECT_EQ(r[1]["body"], R"({"refreshToken":"good-refresh"})");
    EXPECT_FALSE(r[1]["headers"].contains("authorization"));
    EXPECT_EQ(r[2]["target"], "/api/dj/profile");
    ASSERT_TRUE(tokens.token);
    EXPECT_NE(*tokens.token, "good-token");
    EXPECT_EQ(r[2]["headers"]["authorization"], "Bearer " + *tokens.token);
}

TEST_F(ApiClientTest, SecondAnswerIsCheckedWithoutAnotherRefresh) {
    keychain.save("refreshToken", "good-refresh");
    service->script({{"action", "status"}, {"status", 401}, {"body", R"({"error":"first"})"}, {"path", "/api/dj/events"}, {"times", 2}});
    service->clearReceived();
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.getDJEvents()); }), APIError(APIError::Kind::unauthorized));
    auto r = received();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[1]["target"], "/api/auth/refresh");
}

TEST_F(ApiClientTest, NoRetryWithoutRefreshTokenOrWhenTheRefreshFails) {
    service->expireAccessTokens();
    service->clearReceived();
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.getProfile()); }), APIError(APIError::Kind::unauthorized));
    EXPECT_EQ(received().size(), 1u);

    keychain.save("refreshToken", "unknown-refresh");
    service->clearReceived();
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.getProfile()); }), APIError(APIError::Kind::unauthorized));
    EXPECT_EQ(received().size(), 2u);  // the call and the failed refresh
    EXPECT_EQ(tokens.token, "good-token");
}

TEST_F(ApiClientTest, RefreshAccessTokenReportsWhatHappened) {
    service->clearReceived();
    EXPECT_FALSE(runOnMain(api.refreshAccessToken()));
    EXPECT_TRUE(received().empty());
    keychain.save("refreshToken", "bad");
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.refreshAccessToken()); }), APIError::serverMessage(401, "Invalid refresh token"));
    keychain.save("refreshToken", "good-refresh");
    EXPECT_TRUE(runOnMain(api.refreshAccessToken()));
    EXPECT_THAT(*tokens.token, HasSubstr("access-"));
}

TEST_F(ApiClientTest, BodiesPathsAndHeadersAreExact) {
    service->set({{"playlists", json::array({{{"id", 5}, {"name", "Set"}}})}});
    service->clearReceived();
    runOnMain(api.updateRequestStatus("ev1", 7, RequestStatus::confirmed));
    runOnMain(api.replyToMessage("ev1", 3, "Kommt gleich", "s1"));
    runOnMain(api.changeEventPin("ev1", "9999"));
    runOnMain(api.markAllNotificationsRead());
    runOnMain(api.markNotificationRead(12));
    runOnMain(api.deleteMessage("ev1", 3));
    (void)runOnMain(api.searchTracks("ev1", std::string("AC/DC & Co"), std::string("rekordbox")));
    auto reqs = runOnMain(api.getRequests("ev1", RequestStatus::played));
    ASSERT_EQ(reqs.requests.size(), 1u);
    EXPECT_EQ(reqs.requests[0].id, 8);
    runOnMain(api.reorderPlaylist(5, {3, 1, 2}));
    (void)runOnMain(api.getPlaylists());

    auto r = received();
    ASSERT_EQ(r.size(), 10u);
    auto expect = [&](size_t i, const char* method, const char* target, const char* body) {
        SCOPED_TRACE(target);
        EXPECT_EQ(r[i]["method"], method);
        EXPECT_EQ(r[i]["target"], target);
        EXPECT_EQ(r[i]["body"], body);
    };
    expect(0, "PATCH", "/api/events/ev1/requests/7", R"({"status":"confirmed"})");
    expect(1, "POST", "/api/events/ev1/messages/3/reply", R"({"content":"Kommt gleich","sessionId":"s1"})");
    expect(2, "PATCH", "/api/events/ev1/preferences", R"({"djPin":"9999"})");
    expect(3, "POST", "/api/dj/notifications/mark-read", R"({"all":true})");
    expect(4, "POST", "/api/dj/notifications/mark-read", R"({"notificationId":12})");
    expect(5, "DELETE", "/api/events/ev1/messages/3", "");
    expect(6, "GET", "/api/events/ev1/tracks?q=AC%2FDC%20%26%20Co&source=rekordbox", "");
    expect(7, "GET", "/api/events/ev1/requests?status=played", "");
    expect(8, "PUT", "/api/playlists/5/reorder", R"({"trackIds":[3,1,2]})");
    expect(9, "GET", "/api/playlists?includeTracks=true", "");

    EXPECT_EQ(r[0]["headers"]["content-type"], "application/json");
    EXPECT_EQ(r[0]["headers"]["authorization"], "Bearer good-token");
    EXPECT_FALSE(r[5]["headers"].contains("content-type"));
    EXPECT_FALSE(r[6]["headers"].contains("authorization"));  // public GET
    EXPECT_FALSE(r[7]["headers"].contains("authorization"));
    EXPECT_EQ(r[9]["headers"]["authorization"], "Bearer good-token");
    // Nothing but Host, Content-Type, Content-Length and Authorization.
    for (const auto& one : r)
        for (const auto& name : one["rawHeaderNames"])
            EXPECT_THAT((std::vector<std::string>{"Host", "Content-Type", "Content-Length", "Authorization"}),
                        ::testing::Contains(name.get<std::string>()));
    // The service applied them.
    auto st = service->state();
    EXPECT_EQ(st["events"]["ev1"]["requests"][0]["status"], "confirmed");
    EXPECT_EQ(st["events"]["ev1"]["dj_pin"], "9999");
}

TEST_F(ApiClientTest, WithoutAccessTokenTheHeaderIsLeftOut) {
    tokens.token.reset();
    service->clearReceived();
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.setEventActive("ev1", false)); }),
              APIError::serverMessage(401, "Authentication required"));
    auto r = received();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FALSE(r[0]["headers"].contains("authorization"));
    EXPECT_EQ(r[0]["body"], R"({"active":false})");
}

TEST_F(ApiClientTest, MultipartUploadsAreByteExact) {
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR--\r\n--end", 25);
    service->clearReceived();
    auto up = runOnMain(api.uploadEventImage("ev1", png, "logo"));
    EXPECT_EQ(up.url, "http://127.0.0.1/uploads/ev1.png");
    auto logo = runOnMain(api.uploadProfileLogo("p9", png));
    EXPECT_EQ(logo.url, "http://127.0.0.1/uploads/profile-p9.png");

    auto r = received();
    ASSERT_EQ(r.size(), 2u);
    auto boundaryOf = [](const json& one) {
        std::string ct = one["headers"]["content-type"];
        const std::string prefix = "multipart/form-data; boundary=";
        EXPECT_EQ(ct.rfind(prefix, 0), 0u);
        return ct.substr(prefix.size());
    };
    std::string b1 = boundaryOf(r[0]);
    EXPECT_THAT(b1, ::testing::MatchesRegex("Boundary-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"));
    std::string expected1 = "--" + b1 + "\r\nContent-Disposition: form-data; name=\"type\"\r\n\r\nlogo\r\n--" + b1 +
                            "\r\nContent-Disposition: form-data; name=\"image\"; filename=\"logo.png\"\r\n"
                            "Content-Type: image/png\r\n\r\n" + png + "\r\n--" + b1 + "--";
    EXPECT_EQ(base64Decode(r[0]["bodyBase64"].get<std::string>()), expected1);
    EXPECT_EQ(r[0]["target"], "/api/events/ev1/upload");
    EXPECT_EQ(r[0]["headers"]["authorization"], "Bearer good-token");

    std::string b2 = boundaryOf(r[1]);
    EXPECT_NE(b1, b2);
    std::string expected2 = "--" + b2 + "\r\nContent-Disposition: form-data; name=\"image\"; filename=\"logo.png\"\r\n"
                            "Content-Type: image/png\r\n\r\n" + png + "\r\n--" + b2 + "--";
    EXPECT_EQ(base64Decode(r[1]["bodyBase64"].get<std::string>()), expected2);
    EXPECT_EQ(r[1]["target"], "/api/dj/profiles/p9/upload-logo");
}

TEST_F(ApiClientTest, HealthCheckWantsExactlyOkAndNeverThrows) {
    EXPECT_TRUE(runOnMain(api.healthCheck()));
    service->set({{"health", "OK"}});
    EXPECT_FALSE(runOnMain(api.healthCheck()));
    service->script({{"action", "status"}, {"status", 500}, {"body", "x"}});
    EXPECT_FALSE(runOnMain(api.healthCheck()));
    service->script({{"action", "malformed"}, {"body", "{\"status\": "}});
    EXPECT_FALSE(runOnMain(api.healthCheck()));
    setenv("FLOORVOTE_PRODUCTION_URL", "http://127.0.0.1:1", 1);
    EXPECT_FALSE(runOnMain(api.healthCheck()));
}

TEST_F(ApiClientTest, BaseUrlIsTakenAfreshAndLogged) {
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    (void)runOnMain(api.getStats("ev1"));
    TestService other("development");
    other.event({{"id", "ev1"}});
    setenv("FLOORVOTE_DEVELOPMENT_URL", other.url().c_str(), 1);
    AppSettings s = AppSettings::load();
    s.developerModeEnabled = true;
    s.serverMode = ServerMode::development;
    s.save();
    other.clearReceived();
    (void)runOnMain(api.getStats("ev1"));
    setLogSink(nullptr);
    EXPECT_EQ(other.received().size(), 1u);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[APIClient] serverUrl: " + service->url() + " (devMode=false, mode=production)");
    EXPECT_EQ(lines[1], "[APIClient] serverUrl: " + other.url() + " (devMode=true, mode=development)");
}

TEST_F(ApiClientTest, DedicatedServerStatusIsAlwaysAskedOfProduction) {
    TestService dedicated("dedicated");
    service->set({{"dedicated", {{"has_dedicated_server", true}, {"server_url", dedicated.url()}, {"status", "active"}}}});
    AppSettings::setDedicatedOverride(dedicated.url());
    service->clearReceived();
    auto d = runOnMain(api.getDedicatedServer());
    AppSettings::setDedicatedOverride(std::nullopt);
    EXPECT_TRUE(d.hasDedicatedServer);
    EXPECT_EQ(d.serverUrl, dedicated.url());
    EXPECT_EQ(service->received().size(), 1u);
    EXPECT_TRUE(dedicated.received().empty());
}

TEST_F(ApiClientTest, ConnectionsToTheSameHostAreReused) {
    auto before = http.connectionsOpened();
    for (int i = 0; i < 5; ++i) (void)runOnMain(api.getStats("ev1"));
    EXPECT_EQ(http.connectionsOpened() - before, 1u);
    auto sockets = received();
    EXPECT_EQ(sockets.front()["socket"], sockets.back()["socket"]);
}

TEST_F(ApiClientTest, BroadcastWithoutEventFailsBeforeAnyRequest) {
    service->clearReceived();
    EXPECT_EQ(apiErrorOf([&] { runOnMain(api.broadcast("", "Hallo")); }), APIError(APIError::Kind::noActiveEvent));
    EXPECT_TRUE(received().empty());
    runOnMain(api.broadcast("ev1", "Hallo", std::string("http://img")));
    EXPECT_EQ(service->lastReceived()["body"], R"({"content":"Hallo","imageUrl":"http://img"})");
}

TEST_F(ApiClientTest, InvalidBaseUrlIsTyped) {
    setenv("FLOORVOTE_PRODUCTION_URL", "not a url", 1);
    EXPECT_EQ(apiErrorOf([&] { (void)runOnMain(api.getStats("ev1")); }), APIError(APIError::Kind::invalidURL));
}

// Bad answers: typed errors, never a crash, never a hang past the timeout.

TEST_F(ApiClientTest, UndecodableAnswersAreDecodeErrors) {
    service->script({{"action", "malformed"}, {"body", R"({"requests": [{"id": 1, "title": "x")"}});
    EXPECT_THROW((void)runOnMain(api.getRequests("ev1")), DecodeError);
    service->script({{"action", "malformed"}, {"body", R"({"requests": [{"id": "1", "title": "x", "artist": "y", "status": "pending", "created_at": "t"}]})"}});
    EXPECT_THROW((void)runOnMain(api.getRequests("ev1")), DecodeError);
    service->script({{"action", "malformed"}, {"body", R"({"requests": [{"id": 1, "title": "x", "artist": "y", "status": "archived", "created_at": "t"}]})"}});
    try {
        (void)runOnMain(api.getRequests("ev1"));
        ADD_FAILURE() << "decoded an unknown status";
    } catch (const DecodeError& e) {
        EXPECT_THAT(e.what(), HasSubstr("status"));
    }
    service->script({{"action", "malformed"}, {"body", R"([1, 2, 3])"}});
    EXPECT_THROW((void)runOnMain(api.getStats("ev1")), DecodeError);
    service->script({{"action", "malformed"}, {"body", ""}});
    EXPECT_THROW((void)runOnMain(api.getMessages("ev1")), DecodeError);
}

TEST_F(ApiClientTest, EnormousResetAndNonHttpAnswersAreTransportErrors) {
    http.setMaxBodyBytes(1 << 20);
    service->script({{"action", "huge"}, {"size", 4 << 20}});
    try {
        (void)runOnMain(api.getRequests("ev1"));
        ADD_FAILURE() << "took an enormous body";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::tooLarge);
        EXPECT_THAT(e.what(), HasSubstr("larger than 1048576 bytes"));
    }
    service->script({{"action", "reset"}});
    try {
        (void)runOnMain(api.getRequests("ev1"));
        ADD_FAILURE() << "took a cut answer";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::receive);
        EXPECT_THAT(e.what(), HasSubstr("closed before the answer was complete"));
    }
    service->script({{"action", "garbage"}});
    EXPECT_EQ(apiErrorOf([&] { (void)runOnMain(api.getRequests("ev1")); }), APIError(APIError::Kind::invalidResponse));
    // The client is still fine afterwards.
    EXPECT_EQ(runOnMain(api.getRequests("ev1")).requests.size(), 2u);
}

TEST_F(ApiClientTest, ServerThatNeverAnswersTimesOut) {
    api.setRequestTimeout(1500ms);
    service->script({{"action", "hang"}});
    auto start = std::chrono::steady_clock::now();
    try {
        (void)runOnMain(api.getRequests("ev1"));
        ADD_FAILURE() << "no timeout";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::timeout);
        EXPECT_THAT(e.what(), HasSubstr("timed out after 1500 ms"));
    }
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1400ms);
    EXPECT_LT(took, 5s);
    // A slow answer inside the limit still arrives.
    service->script({{"action", "delay"}, {"delayMs", 300}});
    EXPECT_EQ(runOnMain(api.getRequests("ev1")).requests.size(), 2u);
}

TEST_F(ApiClientTest, HandoffGivesUpAfterFifteenSeconds) {
    TestService dedicated("dedicated");
    dedicated.script({{"action", "hang"}, {"path", "/api/auth/handoff"}});
    auto start = std::chrono::steady_clock::now();
    try {
        (void)runOnMain(api.handoff(dedicated.url(), "DJ", email));
        ADD_FAILURE() << "no timeout";
    } catch (const HttpError& e) {
        EXPECT_EQ(e.kind(), HttpError::Kind::timeout);
        EXPECT_THAT(e.what(), HasSubstr("after 15 s"));
    }
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 14900ms);
    EXPECT_LT(took, 20s);
    auto r = dedicated.received();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["body"], R"({"displayName":"DJ","email":"dj@example.invalid"})");
    EXPECT_EQ(r[0]["headers"]["authorization"], "Bearer good-token");
}

TEST_F(ApiClientTest, EventAndAccountCallsDecodeTheServiceAnswers) {
    auto auth = runOnMain(api.verifyDJPin("ev1", "1234"));
    EXPECT_TRUE(auth.success);
    EXPECT_EQ(auth.eventName, "Party");
    EXPECT_EQ(apiErrorOf([&] { (void)runOnMain(api.verifyDJPin("ev1", "0000")); }), APIError::serverMessage(401, "Wrong PIN"));
    auto created = runOnMain(api.recreateEvent("ev-old", "DJ", "Alt", "1111"));
    EXPECT_EQ(created.id, "ev-old");
    auto ev = runOnMain(api.getEvent("ev1"));
    EXPECT_EQ(ev.eventName, "Party");
    EXPECT_TRUE(ev.isLive);
    auto msgs = runOnMain(api.getMessages("ev1"));
    ASSERT_EQ(msgs.messages.size(), 1u);
    EXPECT_EQ(msgs.messages[0].sessionId, "s1");
    auto stats = runOnMain(api.getStats("ev1"));
    EXPECT_EQ(stats.pendingCount, 1);
    EXPECT_EQ(stats.playedCount, 1);
    auto events = runOnMain(api.getDJEvents());
    ASSERT_EQ(events.events.size(), 1u);
    EXPECT_EQ(events.events[0].djPin, "1234");
    auto prefs = runOnMain(api.getPreferences("ev1"));
    EXPECT_EQ(prefs.preferences.maxVotesPerGuest, 15);
    EXPECT_TRUE(runOnMain(api.goLive("ev1")).success);
    EXPECT_EQ(runOnMain(api.liveStatus("ev1")).eventId, "ev1");
    EXPECT_TRUE(runOnMain(api.listBans()).empty());
    EXPECT_EQ(runOnMain(api.resetAccountData())["success"], true);
    EXPECT_EQ(service->lastReceived()["body"], R"({"confirm":"RESET"})");
}
