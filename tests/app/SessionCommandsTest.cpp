// The login and event commands as a DJ runs them, against the test service.
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using fv::test::runFloorvote;
using fv::test::TestService;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class SessionCommands : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);
        // `--code` is for a code that already arrived, so the service knows it without a send.
        service.account({{"email", "dj@example.invalid"}, {"role", "user"}, {"displayName", "DJ Test"}, {"code", "123456"}});
        service.event({{"id", "ev1"}, {"dj_pin", "1234"}, {"dj_name", "Kai"}, {"event_name", "Sommerfest"},
                       {"ownerEmail", "dj@example.invalid"},
                       {"requests", json::array({{{"id", 7}, {"title", "Song"}, {"artist", "Band"}, {"status", "pending"},
                                                  {"vote_count", 3}, {"created_at", "2026-01-01T20:00:00Z"}},
                                                 {{"id", 8}, {"title", "Other"}, {"artist", "Act"}, {"status", "played"},
                                                  {"created_at", "2026-01-01T20:01:00Z"}}})},
                       {"messages", json::array({{{"id", 3}, {"content", "Hallo DJ"}, {"guest_name", "Mia"},
                                                  {"created_at", "2026-01-01T20:02:00Z"}, {"session_id", "s1"}}})}});
    }
    void TearDown() override { unsetenv("FLOORVOTE_PRODUCTION_URL"); }

    void login() {
        auto r = runFloorvote({"login", "dj@example.invalid", "--code", "123456"});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }

    // What the program keeps about the DJ (settings, saved events, login), to check that a failure
    // changed none of it.
    static std::string storedState() {
        return runFloorvote({"settings", "show"}).out + runFloorvote({"events", "saved"}).out +
               runFloorvote({"whoami"}).out;
    }

    TestService service;
    std::unique_ptr<fv::test::TempDir> home;
};

}  // namespace

TEST_F(SessionCommands, LoginWhoamiLogout) {
    auto before = runFloorvote({"whoami"});
    EXPECT_EQ(before.exitCode, 0);
    EXPECT_THAT(before.out, HasSubstr("Anmeldung: nicht angemeldet"));

    // The code is read from standard input when not given.
    auto r = runFloorvote({"login", "dj@example.invalid"}, "123456\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Ein Anmeldecode wurde an dj@example.invalid gesendet."));
    EXPECT_THAT(r.out, HasSubstr("Angemeldet als dj@example.invalid"));

    auto who = runFloorvote({"whoami"});
    EXPECT_THAT(who.out, HasSubstr("Anmeldung: angemeldet"));
    EXPECT_THAT(who.out, HasSubstr("Rolle:     user"));
    EXPECT_THAT(who.out, HasSubstr("Server:    " + service.url()));

    auto out = runFloorvote({"logout"});
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_THAT(out.out, HasSubstr("Abgemeldet."));
    EXPECT_THAT(runFloorvote({"whoami"}).out, HasSubstr("nicht angemeldet"));
}

TEST_F(SessionCommands, WrongCodeFailsAndStoresNothing) {
    std::string state = storedState();
    auto r = runFloorvote({"login", "dj@example.invalid", "--code", "000000"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_THAT(r.err, HasSubstr("Invalid code"));
    EXPECT_THAT(runFloorvote({"whoami"}).out, HasSubstr("nicht angemeldet"));
    EXPECT_EQ(storedState(), state);
}

TEST_F(SessionCommands, EventsUseAndTheEventsData) {
    login();
    auto events = runFloorvote({"events"});
    ASSERT_EQ(events.exitCode, 0) << events.err;
    EXPECT_THAT(events.out, HasSubstr("ev1  Sommerfest"));

    auto use = runFloorvote({"use", "ev1", "--pin", "1234"});
    ASSERT_EQ(use.exitCode, 0) << use.err;
    EXPECT_THAT(use.out, HasSubstr("Aktives Event: ev1 (Sommerfest)"));
    EXPECT_THAT(runFloorvote({"events"}).out, HasSubstr("* ev1"));

    auto list = runFloorvote({"requests"});
    EXPECT_THAT(list.out, HasSubstr("#7  Band – Song"));
    EXPECT_THAT(list.out, HasSubstr("3 Stimmen"));
    auto pending = runFloorvote({"requests", "--status", "pending", "--json"});
    ASSERT_EQ(pending.exitCode, 0) << pending.err;
    auto j = json::parse(pending.out);
    ASSERT_EQ(j["requests"].size(), 1u);
    EXPECT_EQ(j["requests"][0]["id"], 7);
    EXPECT_EQ(j["requests"][0]["status"], "pending");
    auto bad = runFloorvote({"requests", "--status", "later"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_THAT(bad.err, HasSubstr("Unbekannter Status: later"));

    auto messages = json::parse(runFloorvote({"messages", "--json"}).out);
    ASSERT_EQ(messages["messages"].size(), 1u);
    EXPECT_EQ(messages["messages"][0]["content"], "Hallo DJ");
    EXPECT_THAT(runFloorvote({"messages"}).out, HasSubstr("#3  Mia (neu): Hallo DJ"));

    auto stats = runFloorvote({"stats", "--json"});
    ASSERT_EQ(stats.exitCode, 0) << stats.err;
    EXPECT_TRUE(json::parse(stats.out).is_object());
    EXPECT_THAT(runFloorvote({"stats"}).out, HasSubstr("Offen:"));
}

TEST_F(SessionCommands, FailingCallsPrintTheErrorAndChangeNothing) {
    login();
    ASSERT_EQ(runFloorvote({"use", "ev1"}).exitCode, 0);
    std::string state = storedState();

    auto unknown = runFloorvote({"use", "nope"});
    EXPECT_NE(unknown.exitCode, 0);
    EXPECT_THAT(unknown.err, Not(HasSubstr("Aktives Event")));
    auto wrongPin = runFloorvote({"use", "ev1", "--pin", "9999"});
    EXPECT_NE(wrongPin.exitCode, 0);
    EXPECT_FALSE(wrongPin.err.empty());

    service.script({{"action", "status"}, {"status", 500}, {"body", "{\"error\":\"Datenbank weg\"}"}});
    auto failed = runFloorvote({"requests"});
    EXPECT_NE(failed.exitCode, 0);
    EXPECT_THAT(failed.err, HasSubstr("Serverfehler (500)"));

    EXPECT_EQ(storedState(), state);

    // Without network the login stays stored for the next start.
    service.stop();
    auto down = runFloorvote({"messages"});
    EXPECT_NE(down.exitCode, 0);
    // The library's English is translated for the DJ.
    EXPECT_THAT(down.err, HasSubstr("Keine Verbindung zu 127.0.0.1:"));
    EXPECT_THAT(down.err, HasSubstr("Verbindung abgelehnt"));
    EXPECT_THAT(down.err, Not(HasSubstr("Could not")));
    EXPECT_THAT(runFloorvote({"whoami"}).out, HasSubstr("Anmeldung: gespeichert, Server nicht erreichbar"));
}
