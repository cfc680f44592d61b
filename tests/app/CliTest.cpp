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
    EXPECT_NE(missing.err.find("Hilfe: „floorvote reply --help“"), std::string::npos) << missing.err;
    auto extra = test::runFloorvote({"settings", "show", "zuviel"});
    EXPECT_NE(extra.err.find("Unerwartete Argumente: zuviel"), std::string::npos) << extra.err;
    EXPECT_NE(extra.err.find("Hilfe: „floorvote settings show --help“"), std::string::npos) << extra.err;

    // The help of a nested command, and a value of the wrong kind: no English left.
    auto sub = test::runFloorvote({"cdj", "watch", "--help"});
    EXPECT_EQ(sub.exitCode, 0);
    for (const char* english : {"Options", "INT", "NONNEGATIVE", "Usage", "TEXT:"})
        EXPECT_EQ(sub.out.find(english), std::string::npos) << english << " in:\n" << sub.out;
    EXPECT_NE(sub.out.find("--seconds ZAHL"), std::string::npos) << sub.out;
    auto bad = test::runFloorvote({"cdj", "watch", "--seconds", "abc"});
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_NE(bad.err.find("Ungültiger Wert für --seconds: „abc“ ist keine ganze Zahl ab 0"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("Hilfe: „floorvote cdj watch --help“"), std::string::npos) << bad.err;
    auto conversion = test::runFloorvote({"overlay", "send", "guestCount", "--count", "viele"});
    EXPECT_NE(conversion.err.find("Ungültiger Wert für --count: „viele“"), std::string::npos) << conversion.err;
    EXPECT_EQ(conversion.err.find("Could not"), std::string::npos) << conversion.err;
    auto typo = test::runFloorvote({"confim", "1"});
    EXPECT_NE(typo.err.find("Unbekannter Befehl: confim"), std::string::npos) << typo.err;
    auto nested = test::runFloorvote({"settings", "zeigen"});
    EXPECT_NE(nested.err.find("Unbekannter Befehl: zeigen"), std::string::npos) << nested.err;
    EXPECT_NE(nested.err.find("Hilfe: „floorvote settings --help“"), std::string::npos) << nested.err;
}

TEST(Cli, SettingsShowMasksSecretsAndSetListsTheKnownKeys) {
    ASSERT_EQ(test::runFloorvote({"settings", "set", "djPin", "\"4711\""}).exitCode, 0);
    ASSERT_EQ(test::runFloorvote({"settings", "set", "spotifyClientSecret", "\"geheim-123\""}).exitCode, 0);
    auto show = test::runFloorvote({"settings", "show"});
    ASSERT_EQ(show.exitCode, 0) << show.err;
    EXPECT_EQ(show.out.find("4711"), std::string::npos) << show.out;
    EXPECT_EQ(show.out.find("geheim-123"), std::string::npos) << show.out;
    auto doc = json::parse(show.out);
    EXPECT_EQ(doc["djPin"], "********");
    EXPECT_EQ(doc["spotifyClientSecret"], "********");
    EXPECT_EQ(doc["tidalClientToken"], "") << "an empty secret shows as empty";
    // Masking is only for the eyes: the stored values are untouched.
    DefaultsStore::resetStandard();
    EXPECT_EQ(AppSettings::load().djPin, "4711");

    auto unknown = test::runFloorvote({"settings", "set", "djPIN", "\"1\""});
    EXPECT_NE(unknown.exitCode, 0);
    EXPECT_NE(unknown.err.find("Unbekannte Einstellung: djPIN"), std::string::npos) << unknown.err;
    EXPECT_NE(unknown.err.find("Bekannte Einstellungen: "), std::string::npos) << unknown.err;
    for (const char* key : {"djPin", "notifyOnNewRequest", "pollIntervalSecs"})
        EXPECT_NE(unknown.err.find(key), std::string::npos) << key;
    EXPECT_EQ(unknown.err.find("settingsVersion"), std::string::npos) << unknown.err;
}

TEST(Cli, LogLinesGoToTheRotatedLogFileAndToTheTerminalOnlyWhenVerbose) {
    // A command that logs: the session restore without a login.
    auto quiet = test::runFloorvote({"events"});
    EXPECT_EQ(quiet.err.find("[AuthStore]"), std::string::npos) << quiet.err;
    EXPECT_EQ(quiet.out.find("[AuthStore]"), std::string::npos) << quiet.out;
    auto verbose = test::runFloorvote({"-v", "events"});
    EXPECT_NE(verbose.err.find("[AuthStore] restoreSession: no refresh token"), std::string::npos) << verbose.err;
    auto after = test::runFloorvote({"events", "--verbose"});
    EXPECT_NE(after.err.find("[AuthStore] restoreSession"), std::string::npos) << after.err;

    auto file = test::testHome() / ".local/state/floorvote/floorvote.log";
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find(" [AuthStore] restoreSession: no refresh token → unauthenticated\n"), std::string::npos) << text;
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::others_read, std::filesystem::perms::none);
}

