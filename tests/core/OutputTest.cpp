// The program's log file and the German form of error texts.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/ErrorText.hpp"
#include "core/Log.hpp"
#include "support/TestSupport.hpp"

using namespace fv;

namespace {
std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

TEST(LogFile, RotatesAtItsSizeKeepingOneOlderFile) {
    test::TempDir dir;
    auto file = dir / "floorvote.log";
    const std::string line(100, 'x');
    for (int i = 0; i < 25; ++i) ASSERT_TRUE(appendRotated(file, line + std::to_string(i % 10) + "\n", 1000));
    // 102 bytes a line: nine fit under 1000, the tenth starts a new file.
    EXPECT_LE(std::filesystem::file_size(file), 1000u);
    EXPECT_LE(std::filesystem::file_size(dir / "floorvote.log.1"), 1000u);
    EXPECT_FALSE(std::filesystem::exists(dir / "floorvote.log.1.1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "floorvote.log.2"));
    // The newest line is the last of the current file; every line is whole.
    std::string now = slurp(file);
    EXPECT_EQ(now.substr(now.size() - 3), "x4\n");
    for (const auto& text : {now, slurp(dir / "floorvote.log.1")}) EXPECT_EQ(text.size() % 102, 0u) << text;
}

TEST(LogFile, LinesFromManyThreadsStayWholeWithTheirTimeStamp) {
    test::TempDir dir;
    setLogToStdout(false);
    setLogFile(dir / "sub" / "floorvote.log");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) logf("Test", "thread {} line {} – äöü", t, i);
        });
    for (auto& t : threads) t.join();
    setLogFile(std::nullopt);
    setLogToStdout(true);
    std::ifstream in(dir / "sub" / "floorvote.log");
    std::string l;
    int count = 0;
    while (std::getline(in, l)) {
        ++count;
        // "2026-12-07 21:15:07.123 [Test] thread 1 line 5 – äöü"
        ASSERT_GT(l.size(), 24u) << l;
        EXPECT_EQ(l[4], '-') << l;
        EXPECT_EQ(l.substr(23, 7), " [Test]") << l;
        EXPECT_NE(l.find(" – äöü"), std::string::npos) << l;
    }
    EXPECT_EQ(count, 800);
}

TEST(ErrorText, ClientAndSystemErrorsReadGerman) {
    EXPECT_EQ(germanError("Could not connect to 127.0.0.1:9: Connection refused"),
              "Keine Verbindung zu 127.0.0.1:9: Verbindung abgelehnt");
    EXPECT_EQ(germanError("Verbindung fehlgeschlagen: Request to api.floorvote.app:443 timed out after 15 s"),
              "Verbindung fehlgeschlagen: Anfrage an api.floorvote.app:443 nach 15 s ohne Antwort");
    EXPECT_EQ(germanError("Could not resolve nowhere.invalid: Host not found (authoritative)"),
              "nowhere.invalid konnte nicht aufgelöst werden: Rechner nicht gefunden");
    EXPECT_EQ(germanError("Server error (502)"), "Serverfehler (502)");
    EXPECT_EQ(germanError("Authentication failed – check your DJ PIN"),
              "Anmeldung fehlgeschlagen – bitte die DJ-PIN prüfen");
    // German texts and unknown ones pass unchanged.
    EXPECT_EQ(germanError("Kein aktives Event ausgewählt"), "Kein aktives Event ausgewählt");
    EXPECT_EQ(germanError("Irgendwas Neues"), "Irgendwas Neues");
}
