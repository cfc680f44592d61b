#include <cstdlib>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "core/Json.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/AppSettings.hpp"
#include "support/TestSupport.hpp"

using namespace fv;

TEST(Cli, VersionAndStatusInGerman) {
    auto v = test::runFloorvote({"--version"});
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_NE(v.out.find("floorvote "), std::string::npos);
    auto s = test::runFloorvote({});
    EXPECT_EQ(s.exitCode, 0);
    EXPECT_NE(s.out.find("nicht angemeldet"), std::string::npos);
    EXPECT_NE(s.out.find("Aktives Event"), std::string::npos);
}

TEST(Cli, SettingsSetValidatesAndLeavesTheDocumentOnError) {
    auto ok = test::runFloorvote({"settings", "set", "pollIntervalSecs", "7"});
    ASSERT_EQ(ok.exitCode, 0) << ok.err;
    auto bad = test::runFloorvote({"settings", "set", "serverMode", "\"staging\""});
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_NE(bad.err.find("serverMode"), std::string::npos);
    auto unknown = test::runFloorvote({"settings", "set", "noSuchKey", "1"});
    EXPECT_NE(unknown.exitCode, 0);
    auto show = test::runFloorvote({"settings", "show"});
    ASSERT_EQ(show.exitCode, 0);
    auto doc = json::parse(show.out);
    EXPECT_EQ(doc["pollIntervalSecs"], 7);
    EXPECT_EQ(doc["serverMode"], "production");
}

TEST(Cli, ProcessesChangingSettingsOneAfterAnotherStayConsistent) {
    // Many processes at once, each changing a different field: every change must survive.
    std::vector<std::thread> threads;
    const std::vector<std::pair<std::string, std::string>> changes = {
        {"djName", "\"DJ Eins\""}, {"djPin", "\"1234\""},       {"language", "\"en\""},
        {"djEmail", "\"a@b.de\""}, {"soundEnabled", "false"}, {"activeEventId", "\"ev-7\""}};
    std::vector<int> codes(changes.size());
    for (size_t i = 0; i < changes.size(); ++i)
        threads.emplace_back([&, i] {
            codes[i] = test::runFloorvote({"settings", "set", changes[i].first, changes[i].second}).exitCode;
        });
    for (auto& t : threads) t.join();
    for (int c : codes) EXPECT_EQ(c, 0);
    DefaultsStore::resetStandard();
    auto s = AppSettings::load();
    EXPECT_EQ(s.djName, "DJ Eins");
    EXPECT_EQ(s.djPin, "1234");
    EXPECT_EQ(s.language, "en");
    EXPECT_EQ(s.djEmail, "a@b.de");
    EXPECT_FALSE(s.soundEnabled);
    EXPECT_EQ(s.activeEventId, "ev-7");
}

TEST(Cli, StoredFilesStayInTheTemporaryHome) {
    test::runFloorvote({"settings", "set", "djName", "\"x\""});
    EXPECT_TRUE(std::filesystem::exists(test::testHome() / ".config/floorvote/defaults.sqlite3"));
    auto saved = test::runFloorvote({"events", "saved"});
    EXPECT_EQ(saved.exitCode, 0);
    EXPECT_NE(saved.out.find("Keine gespeicherten Events"), std::string::npos);
}

TEST(Cli, ConfigFolderFollowsXdgAndAFailedWriteIsNoSuccess) {
    const std::string saved = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    auto elsewhere = test::testHome() / "elsewhere-config";
    ::setenv("XDG_CONFIG_HOME", elsewhere.c_str(), 1);
    auto ok = test::runFloorvote({"settings", "set", "djName", "\"y\""});
    EXPECT_EQ(ok.exitCode, 0) << ok.out << ok.err;
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "floorvote/defaults.sqlite3"));

    // A config "folder" that is a file: nothing can be stored, and the command must say so.
    auto blocked = test::testHome() / "blocked-config";
    { std::ofstream(blocked) << "x"; }
    ::setenv("XDG_CONFIG_HOME", blocked.c_str(), 1);
    auto failed = test::runFloorvote({"settings", "set", "djName", "\"z\""});
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    EXPECT_NE(failed.exitCode, 0) << failed.out;
    EXPECT_EQ(failed.out.find("gespeichert."), std::string::npos) << failed.out;
    EXPECT_NE((failed.out + failed.err).find("nicht gespeichert werden"), std::string::npos) << failed.out << failed.err;
}

TEST(Cli, HelpAndUsageErrorsInGerman) {
    auto help = test::runFloorvote({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Aufruf:"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("Befehle:"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("Optionen:"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("Usage"), std::string::npos) << help.out;

    auto missing = test::runFloorvote({"reply", "5"});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.err.find("Angabe fehlt: TEXT"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("zeigt --help"), std::string::npos) << missing.err;
    auto extra = test::runFloorvote({"settings", "show", "zuviel"});
    EXPECT_NE(extra.err.find("Unerwartete Argumente: zuviel"), std::string::npos) << extra.err;
}
