// floorvote dj …: status per program (none set up, each set up, a folder that cannot be read),
// choosing the program, paths, the VirtualDJ port and password, reading now playing once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "core/Files.hpp"
#include "core/Paths.hpp"
#include "djsoftware/SeratoFiles.hpp"
#include "djsoftware/VDJFiles.hpp"
#include "session/ApiTestService.hpp"
#include "session/KeychainService.hpp"
#include "support/TestSupport.hpp"

using fv::test::runFloorvote;
using fv::test::runProcess;
using fv::test::TestService;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

class DJCommands : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
    }
    void makeMixxx(const fs::path& folder) {
        fs::create_directories(folder);
        sqlite3* db = nullptr;
        sqlite3_open((folder / "mixxxdb.sqlite").c_str(), &db);
        auto sql = fv::readFile(std::string(FLOORVOTE_SOURCE_DIR) + "/tests/data/mixxx/mixxxdb-2.3.3.sql");
        ASSERT_TRUE(sql);
        ASSERT_EQ(sqlite3_exec(db, sql->c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    std::unique_ptr<fv::test::TempDir> home;
};

}  // namespace

TEST_F(DJCommands, StatusWithNothingSetUp) {
    fs::path real = fv::realHomeDirectory();
    for (const char* p : {"Music/_Serato_", "Documents/VirtualDJ", ".mixxx/mixxxdb.sqlite"})
        if (fv::fileExists(real / p)) GTEST_SKIP() << "this computer has " << (real / p);
    auto r = runFloorvote({"dj", "status"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("  Rekordbox: Nicht eingerichtet\n"));
    EXPECT_THAT(r.out, HasSubstr("  Serato DJ: Nicht eingerichtet\n"));
    EXPECT_THAT(r.out, HasSubstr("  VirtualDJ: Nicht eingerichtet\n"));
    EXPECT_THAT(r.out, HasSubstr("  Mixxx:     Nicht eingerichtet\n"));
    EXPECT_THAT(r.out, HasSubstr("Aktives Event: keines"));
}

TEST_F(DJCommands, StatusWithEachProgramSetUp) {
    fv::test::TempDir serato, vdj, mixxx;
    fv::test::writeFile(serato / "Subcrates" / "House.crate", fv::seratoCrateBytes({"Music/a.mp3"}));
    fv::test::writeFile(vdj / "MyLists" / "Eins.vdjfolder", fv::vdjFolderDocument({}));
    fv::test::writeFile(vdj / "MyLists" / "Zwei.m3u", "");
    makeMixxx(mixxx.path());
    EXPECT_EQ(runFloorvote({"dj", "path", "serato", serato.path().string()}).exitCode, 0);
    auto set = runFloorvote({"dj", "path", "virtualdj", vdj.path().string()});
    EXPECT_EQ(set.exitCode, 0) << set.err;
    EXPECT_THAT(set.out, HasSubstr("Ordner für VirtualDJ: " + vdj.path().string()));
    EXPECT_THAT(set.out, HasSubstr("Status: Verbunden (2 Playlisten · Now Playing)"));
    EXPECT_EQ(runFloorvote({"dj", "path", "mixxx", mixxx.path().string()}).exitCode, 0);

    auto r = runFloorvote({"dj", "status"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("  Serato DJ: Verbunden (1 Crates)  (" + serato.path().string() + ")\n"));
    EXPECT_THAT(r.out,
                HasSubstr("  VirtualDJ: Verbunden (2 Playlisten · Now Playing)  (" + vdj.path().string() + ")\n"));
    EXPECT_THAT(r.out, HasSubstr("  Mixxx:     Verbunden (0 Playlisten · Now Playing)  (" +
                                 (mixxx / "mixxxdb.sqlite").string() + ")\n"));

    // A chosen folder that is gone.
    fs::remove_all(serato.path() / "Subcrates");
    r = runFloorvote({"dj", "status"});
    EXPECT_THAT(r.out, HasSubstr("  Serato DJ: Nicht erreichbar"));

    auto bad = runFloorvote({"dj", "path", "traktor", "/x"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_THAT(bad.err, HasSubstr("Unbekanntes DJ-Programm: traktor"));
    bad = runFloorvote({"dj", "path", "spotify", "/x"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_THAT(bad.err, HasSubstr("Spotify ist ein Streamingdienst"));
}

TEST_F(DJCommands, StatusWithFoldersThatCannotBeRead) {
    fv::test::TempDir serato, vdj, mixxx;
    fs::create_directories(serato / "Subcrates");
    fs::create_directories(vdj / "MyLists");
    makeMixxx(mixxx.path());
    EXPECT_EQ(runFloorvote({"dj", "path", "serato", serato.path().string()}).exitCode, 0);
    EXPECT_EQ(runFloorvote({"dj", "path", "virtualdj", vdj.path().string()}).exitCode, 0);
    EXPECT_EQ(runFloorvote({"dj", "path", "mixxx", mixxx.path().string()}).exitCode, 0);
    for (const auto* d : {&serato, &vdj, &mixxx}) ::chmod(d->path().c_str(), 0);

    std::vector<std::string> cmd{FLOORVOTE_BINARY, "dj", "status"};
    if (geteuid() == 0) {
        // root reads everything: ask as an ordinary user, who may use this home but not the folders.
        if (runProcess({"setpriv", "--version"}).exitCode != 0) GTEST_SKIP() << "setpriv is not installed";
        runProcess({"chmod", "-R", "a+rwX", home->path().string()});
        ::chmod(home->path().c_str(), 0777);
        cmd.insert(cmd.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    }
    auto r = runProcess(cmd);
    for (const auto* d : {&serato, &vdj, &mixxx}) ::chmod(d->path().c_str(), 0700);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("  Serato DJ: Kein Zugriff"));
    EXPECT_THAT(r.out, HasSubstr("  VirtualDJ: Kein Zugriff"));
    EXPECT_THAT(r.out, HasSubstr("  Mixxx:     Kein Zugriff"));
}

TEST_F(DJCommands, UseChoosesTheEventsProgram) {
    TestService service(TestService::serviceArgs("production"));
    setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);
    service.account({{"email", "dj@example.invalid"}, {"code", "123456"}});
    service.event({{"id", "ev1"},
                   {"dj_pin", "1234"},
                   {"event_name", "Sommerfest"},
                   {"ownerEmail", "dj@example.invalid"},
                   {"preferences", {{"eventName", "Sommerfest"}, {"showNowPlaying", false}}}});
    auto none = runFloorvote({"dj", "use", "serato"});
    EXPECT_NE(none.exitCode, 0) << "no active event";
    ASSERT_EQ(runFloorvote({"login", "dj@example.invalid", "--code", "123456"}).exitCode, 0);
    ASSERT_EQ(runFloorvote({"use", "ev1", "--pin", "1234"}).exitCode, 0);

    auto r = runFloorvote({"dj", "use", "mixxx"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("DJ-Software für das Event: Mixxx."));
    json prefs = service.state()["events"]["ev1"]["preferences"];
    EXPECT_EQ(prefs["activeDjSoftware"], "mixxx");
    EXPECT_EQ(prefs["showNowPlaying"], false) << "the other preferences stay";
    auto status = runFloorvote({"dj", "status"});
    EXPECT_THAT(status.out, HasSubstr("  DJ-Software:    Mixxx"));

    EXPECT_EQ(runFloorvote({"dj", "use", "winamp"}).exitCode, 2);
    EXPECT_EQ(runFloorvote({"dj", "use", "spotify"}).exitCode, 0);
    status = runFloorvote({"dj", "status"});
    EXPECT_THAT(status.out, HasSubstr("  DJ-Software:    Spotify"));
    EXPECT_THAT(status.out, HasSubstr("Spotify hat keine Playlist auf diesem Computer"));
    auto sync = runFloorvote({"dj", "sync"});
    EXPECT_NE(sync.exitCode, 0);
    EXPECT_THAT(sync.err, HasSubstr("Spotify hat keine Playlist auf diesem Computer."));
    unsetenv("FLOORVOTE_PRODUCTION_URL");
}

TEST_F(DJCommands, VirtualDJPortPasswordAndNowPlaying) {
    TestService peer(
        {"node", std::string(TEST_PEERS_DIR) + "/virtualdj/server.js", "--port", "0", "--password", "geheim"});
    peer.admin("POST", "/__admin/deck", {{"deck", 3}, {"title", "Lied"}, {"artist", "Künstlerin"}, {"master", true}});
    EXPECT_EQ(runFloorvote({"dj", "port", "0"}).exitCode, 2);
    auto port = runFloorvote({"dj", "port", std::to_string(peer.port())});
    EXPECT_EQ(port.exitCode, 0) << port.err;
    EXPECT_THAT(port.out, HasSubstr("VirtualDJ-Netzwerksteuerung auf Port " + std::to_string(peer.port())));

    auto denied = runFloorvote({"dj", "now", "virtualdj"});
    EXPECT_NE(denied.exitCode, 0);
    EXPECT_THAT(denied.err, HasSubstr("Passwort der Netzwerksteuerung prüfen"));

    auto pw = runFloorvote({"dj", "password"}, "geheim\n");
    EXPECT_EQ(pw.exitCode, 0) << pw.err;
    EXPECT_THAT(pw.out, Not(HasSubstr("geheim")));
    auto now = runFloorvote({"dj", "now", "virtualdj"});
    EXPECT_EQ(now.exitCode, 0) << now.err;
    EXPECT_THAT(now.out, HasSubstr("VirtualDJ: Künstlerin – Lied"));

    EXPECT_EQ(runFloorvote({"dj", "password"}, "\n").exitCode, 0);
    EXPECT_EQ(fv::KeychainService().read("virtualDJPassword"), std::nullopt);
    peer.stop();
    auto gone = runFloorvote({"dj", "now", "virtualdj"});
    EXPECT_NE(gone.exitCode, 0);
    EXPECT_THAT(gone.err, HasSubstr("Verbindungsfehler zur DJ-Software: keine Verbindung zu VirtualDJ auf 127.0.0.1:"));
}
