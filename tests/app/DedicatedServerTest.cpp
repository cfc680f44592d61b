// An account handed off to a dedicated server stays there for every later command of the same
// login, `floorvote run` checks again at start and when the service pushes a plan change, and
// logout goes back to the main service. Two local services play the main and the dedicated server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "service/Terminal.hpp"
#include "session/ApiTestService.hpp"
#include "session/KeychainService.hpp"
#include "support/TestSupport.hpp"

using fv::test::runFloorvote;
using fv::test::Terminal;
using fv::test::TestService;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

namespace {

class DedicatedServer : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        setenv("FLOORVOTE_PRODUCTION_URL", main.url().c_str(), 1);
        main.account({{"email", email}, {"code", "123456"}, {"displayName", "DJ Nova"}});
        main.set({{"dedicated", {{"has_dedicated_server", true}, {"server_url", dedicated.url()}, {"status", "active"}}}});
        dedicated.event({{"id", "d1"}, {"dj_pin", "1234"}, {"event_name", "Eigener Server"}, {"ownerEmail", email}});
    }
    void TearDown() override { unsetenv("FLOORVOTE_PRODUCTION_URL"); }

    std::string server() {
        auto r = runFloorvote({"whoami"});
        auto at = r.out.find("Server:");
        return at == std::string::npos ? r.out : r.out.substr(at + 7, r.out.find('\n', at) - at - 7);
    }
    static bool received(const TestService& s, const std::string& target) {
        for (const auto& r : s.received())
            if (r["target"] == target) return true;
        return false;
    }

    std::string email = "nova@example.invalid";
    std::unique_ptr<fv::test::TempDir> home;
    TestService main{"production"};
    TestService dedicated{"dedicated"};
};

}  // namespace

TEST_F(DedicatedServer, TheHandoffHoldsForEveryLaterCommandUntilLogout) {
    auto login = runFloorvote({"login", email, "--code", "123456"});
    ASSERT_EQ(login.exitCode, 0) << login.err;
    EXPECT_THAT(login.out, HasSubstr("Dein Konto arbeitet auf einem eigenen Server: " + dedicated.url()));
    EXPECT_TRUE(received(dedicated, "/api/auth/handoff"));

    // A new process, the same login: the dedicated server answers.
    dedicated.clearReceived();
    EXPECT_THAT(server(), HasSubstr(dedicated.url()));
    EXPECT_TRUE(received(dedicated, "/api/auth/refresh"));
    main.clearReceived();
    ASSERT_EQ(runFloorvote({"use", "d1", "--pin", "1234"}).exitCode, 0);
    EXPECT_TRUE(received(dedicated, "/api/events/d1"));
    EXPECT_FALSE(received(main, "/api/events/d1"));

    auto logout = runFloorvote({"logout"});
    ASSERT_EQ(logout.exitCode, 0) << logout.err;
    EXPECT_THAT(server(), HasSubstr(main.url()));
    EXPECT_FALSE(fv::KeychainService().read("dedicatedServerOverride"));
}

TEST_F(DedicatedServer, TheLiveSessionChecksAtStartAndWhenThePlanChanges) {
    if (!Terminal::available()) GTEST_SKIP() << "tmux is not installed";
    ASSERT_EQ(runFloorvote({"login", email, "--code", "123456"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"use", "d1", "--pin", "1234"}).exitCode, 0);

    Terminal t("dedicated");
    t.start(Terminal::withEnvironment(FLOORVOTE_BINARY + std::string(" run -v")));
    ASSERT_TRUE(t.waitFor("„Eigener Server“")) << t.screen();
    EXPECT_THAT(t.screen(), HasSubstr("[PlanStore] Checking for dedicated server... (alreadyOnDedicated=true)"));

    // The assignment is withdrawn; the server the session is connected to says so.
    main.set({{"dedicated", {{"has_dedicated_server", false}}}});
    dedicated.admin("POST", "/__admin/emit", {{"event", "plan-updated"}, {"eventId", "d1"}});
    ASSERT_TRUE(t.waitFor("Dein Konto arbeitet wieder mit dem Hauptserver (" + main.url() + ").")) << t.screen();
    ASSERT_TRUE(t.waitDead()) << t.screen();
    EXPECT_THAT(server(), HasSubstr(main.url()));
    EXPECT_FALSE(fv::KeychainService().read("dedicatedServerOverride"));
}
