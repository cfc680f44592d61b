// floorvote library sources and floorvote import applemusic as a DJ runs them: a Music library
// exported as XML (written by Python's plistlib), matched against a Serato and a VirtualDJ library
// in the test's home, as a table and as JSON; and floorvote export applemusic against a local peer of
// Apple's REST API (tests/peers/applemusic/library.js).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/Json.hpp"
#include "djsoftware/RekordboxTestDb.hpp"
#include "djsoftware/TextCodec.hpp"
#include "session/ApiTestService.hpp"
#include "support/SeratoBytes.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

constexpr auto field = test::seratoField;
constexpr auto text = test::seratoText;

struct Libraries {
    test::TempDir home;
    Libraries() {
        test::useHome(home.path());
        // The playlist: in Serato exactly, in VirtualDJ with another mix, twice with close titles, nowhere.
        auto r = test::runProcess(
            {"python3", "-c", R"(
import plistlib, sys
t = lambda i, pid, name, artist, ms: {'Track ID': i, 'Persistent ID': pid, 'Name': name, 'Artist': artist, 'Total Time': ms}
tracks = {'1': t(1, '00000000000000A1', 'Army of Me', 'Björk', 234000),
          '2': t(2, '00000000000000A2', 'Blue Monday (Radio Edit)', 'New Order', 242000),
          '3': t(3, '00000000000000A3', 'Sandstorm', 'Darude', 225000),
          '4': t(4, '00000000000000A4', 'Gibt es nicht', 'Niemand', 200000)}
items = [{'Track ID': i} for i in (1, 2, 3, 4)]
pl = [{'Name': 'Samstag', 'Playlist Persistent ID': '00000000000000FF', 'Playlist Items': items},
      {'Name': 'Leer', 'Playlist Persistent ID': '00000000000000FE'}]
plistlib.dump({'Tracks': tracks, 'Playlists': pl}, open(sys.argv[1], 'wb'))
)",
             (home / "Library.xml").string()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string db = text("vrsn", "2.0/Serato Scratch LIVE Database");
        db += field("otrk", text("pfil", "Music/army.mp3") + text("tsng", "Army of Me") + text("tart", "Björk") +
                                text("tlen", "03:54.00"));
        db += field("otrk", text("pfil", "Music/storm1.mp3") + text("tsng", "Sandstorm (Original)") +
                                text("tart", "Darude") + text("tlen", "07:25"));
        test::writeFile(home / "serato" / "database V2", db);
        test::writeFile(home / "vdj" / "database.xml",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VirtualDJ_Database Version=\"8.5\">\n"
                        "<Song FilePath=\"/m/bm.mp3\"><Tags Author=\"New Order\" Title=\"Blue Monday '88\" "
                        "Bpm=\"0.454545\"/><Infos SongLength=\"250.0\"/></Song>\n"
                        "<Song FilePath=\"/m/storm2.mp3\"><Tags Author=\"Darude\" Title=\"Sandstorm (Radio)\"/>"
                        "<Infos SongLength=\"226\"/></Song>\n</VirtualDJ_Database>\n");
        for (auto [key, value] : {std::pair{"lastSeratoPath", home / "serato"}, std::pair{"lastVirtualDJPath", home / "vdj"},
                                  std::pair{"musicLibraryPath", home / "Library.xml"}}) {
            auto s = test::runFloorvote({"settings", "set", key, json(value.string()).dump()});
            EXPECT_EQ(s.exitCode, 0) << s.out << s.err;
        }
    }
};

}  // namespace

TEST(ImportCommand, SourcesAreListedWithTheirTrackCounts) {
    Libraries libs;
    auto r = test::runFloorvote({"library", "sources", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json j = json::parse(r.out);
    std::map<std::string, json> byKey;
    for (const auto& s : j) byKey[s["key"]] = s;
    EXPECT_EQ(byKey["serato"]["trackCount"], 2);
    EXPECT_EQ(byKey["virtualdj"]["trackCount"], 2);
    EXPECT_EQ(byKey["applemusic"]["trackCount"], 4);
    EXPECT_EQ(byKey["mixxx"]["found"], false);
    auto table = test::runFloorvote({"library", "sources"});
    ASSERT_EQ(table.exitCode, 0) << table.err;
    EXPECT_THAT(table.out, HasSubstr("VirtualDJ"));
    EXPECT_THAT(table.out, HasSubstr("2 Titel"));
    EXPECT_THAT(table.out, HasSubstr("nicht gefunden"));
}

TEST(ImportCommand, AnAppleMusicPlaylistIsMatchedAgainstSeratoAndVirtualDJ) {
    Libraries libs;
    auto r = test::runFloorvote({"import", "applemusic", "Samstag", "--library", "serato", "--library", "virtualdj",
                                 "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["playlistName"], "Samstag");
    EXPECT_EQ(j["totalTracks"], 4);
    ASSERT_EQ(j["results"].size(), 4u);
    const json& army = j["results"][0];
    EXPECT_EQ(army["status"], "fuzzyMatch");
    EXPECT_EQ(army["score"], 1.0);
    EXPECT_EQ(army["track"]["djSource"], "Serato");
    EXPECT_EQ(army["confirmedTrack"]["title"], "Army of Me");
    const json& monday = j["results"][1];
    EXPECT_EQ(monday["status"], "fuzzyMatch");
    EXPECT_LT(monday["score"].get<double>(), 1.0);
    EXPECT_EQ(monday["track"]["djSource"], "VirtualDJ");
    EXPECT_NEAR(monday["track"]["bpm"].get<double>(), 132.0, 0.01);
    const json& storm = j["results"][2];
    EXPECT_EQ(storm["status"], "multipleMatches");
    EXPECT_EQ(storm["candidates"].size(), 2u);
    EXPECT_EQ(storm["confirmedTrack"], nullptr);
    EXPECT_EQ(j["results"][3]["status"], "notFound");
    EXPECT_EQ(j["counts"]["notFound"], 1);

    auto table = test::runFloorvote({"import", "applemusic", "255", "--library", "serato", "--library", "virtualdj"});
    ASSERT_EQ(table.exitCode, 0) << table.err;
    EXPECT_THAT(table.out, HasSubstr("Playlist „Samstag“: 4 Titel"));
    EXPECT_THAT(table.out, HasSubstr("Björk – Army of Me [Serato]"));
    EXPECT_THAT(table.out, HasSubstr("2 Kandidaten"));
    EXPECT_THAT(table.out, HasSubstr("1 gefunden, 1 ähnlich, 1 mehrdeutig, 1 fehlen"));
}

TEST(ImportCommand, UnknownPlaylistsEmptyOnesAndBadLibrariesFailClearly) {
    Libraries libs;
    auto unknown = test::runFloorvote({"import", "applemusic", "Sonntag"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_THAT(unknown.err, HasSubstr("Playlist nicht gefunden: Sonntag"));
    auto empty = test::runFloorvote({"import", "applemusic", "Leer"});
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_THAT(empty.err, HasSubstr("Die Playlist enthält keine Titel"));
    auto folder = test::runFloorvote({"import", "applemusic", "Samstag", "--library", (libs.home / "fehlt").string()});
    EXPECT_EQ(folder.exitCode, 1);
    EXPECT_THAT(folder.err, HasSubstr("Kein Ordner"));
    test::writeFile(libs.home / "Library.xml", "<?xml version=\"1.0\"?><plist><dict><key>Tracks</key><dict>");
    auto broken = test::runFloorvote({"import", "applemusic", "Samstag"});
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_THAT(broken.err, HasSubstr("Musikbibliothek nicht lesbar"));
}

TEST(ImportCommand, ExportToAppleMusicCreatesALibraryPlaylistWithBothTokens) {
    test::TempDir home;
    test::useHome(home.path());
    test::TestService service;
    test::TestService apple{{"node", std::string(TEST_PEERS_DIR) + "/applemusic/library.js"}};
    std::string appleUrl = "http://127.0.0.1:" + std::to_string(apple.port());
    setenv("FLOORVOTE_PRODUCTION_URL", service.url().c_str(), 1);
    setenv("FLOORVOTE_APPLE_MUSIC_API_URL", appleUrl.c_str(), 1);
    json tracks = json::array(), requests = json::array();
    const char* ids[] = {"1440857781", "203709340"};
    for (int i = 0; i < 2; ++i) {
        tracks.push_back({{"id", i + 1}, {"title", "Titel"}, {"artist", "X"}, {"source", "applemusic"}, {"source_id", ids[i]}});
        requests.push_back({{"id", 100 + i}, {"track_id", i + 1}, {"title", "Titel"}, {"artist", "X"},
                            {"status", "confirmed"}, {"created_at", "2026-12-06T22:00:00Z"}});
    }
    service.account({{"email", "dj@example.invalid"}, {"role", "user"}, {"code", "123456"}});
    service.event({{"id", "ev1"}, {"dj_pin", "1234"}, {"dj_name", "Kai"}, {"event_name", "Sommerfest"},
                   {"ownerEmail", "dj@example.invalid"}, {"tracks", tracks}, {"requests", requests}});
    ASSERT_EQ(test::runFloorvote({"login", "dj@example.invalid", "--code", "123456"}).exitCode, 0);
    ASSERT_EQ(test::runFloorvote({"use", "ev1", "--pin", "1234"}).exitCode, 0);
    ASSERT_EQ(test::runFloorvote({"enrich", "token", "applemusic", "apple-dev-token"}).exitCode, 0);

    // Without the Music-User-Token Apple Music is not reachable for writing.
    auto r = test::runFloorvote({"export", "applemusic", "Sommerfest"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.out + r.err, HasSubstr("Kein Zugriff auf Apple Music"));

    ASSERT_EQ(test::runFloorvote({"applemusic", "token", "music-user-token"}).exitCode, 0);
    r = test::runFloorvote({"export", "applemusic", "Sommerfest"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("2 Tracks nach Apple Music exportiert"));
    auto last = test::runProcess({"node", "-e",
                                  "require('http').get(process.argv[1] + '/__last', r => { let b = ''; "
                                  "r.on('data', c => b += c); r.on('end', () => process.stdout.write(b)); })",
                                  appleUrl});
    json body = json::parse(json::parse(last.out)["body"].get<std::string>());
    EXPECT_EQ(body["attributes"]["name"], "Sommerfest");
    EXPECT_EQ(body["relationships"]["tracks"]["data"],
              json::parse(R"([{"id": "1440857781", "type": "songs"}, {"id": "203709340", "type": "songs"}])"));

    // The service's refusal reaches the DJ with its status.
    ASSERT_EQ(test::runFloorvote({"applemusic", "token", "expired"}).exitCode, 0);
    r = test::runFloorvote({"export", "applemusic", "Sommerfest"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.out + r.err, HasSubstr("HTTP 403"));
    unsetenv("FLOORVOTE_PRODUCTION_URL");
    unsetenv("FLOORVOTE_APPLE_MUSIC_API_URL");
}

TEST(ImportCommand, RekordboxTracksComeThroughItsBridge) {
    Libraries libs;
    {
        test::RekordboxTestDb db(libs.home / "rekordbox");
        db.addTrack(test::rbTrack("Blue Monday", "New Order", "Power", "Synth", "Dm", "/m/bm.flac", {}, {}, {}, 13000, 242));
        db.addTrack(test::rbTrack("Anderes", "Jemand", "", "", "", "/m/x.flac"));
        db.close();
    }
    fs::create_directories(libs.home / "support");
    ASSERT_EQ(test::runFloorvote({"settings", "set", "lastRekordboxPath", (libs.home / "rekordbox" / "master.db").string()}).exitCode, 0);
    ASSERT_EQ(test::runFloorvote({"settings", "set", "lastRekordboxAppSupportPath", (libs.home / "support").string()}).exitCode, 0);
    auto r = test::runFloorvote({"import", "applemusic", "Samstag", "--library", "rekordbox", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["sources"][0]["trackCount"], 2);
    const json& monday = j["results"][1];
    EXPECT_EQ(monday["status"], "fuzzyMatch");
    EXPECT_EQ(monday["score"], 1.0);
    EXPECT_EQ(monday["track"]["djSource"], "rekordbox");
    EXPECT_EQ(monday["track"]["bpm"], 130.0);
    EXPECT_EQ(j["counts"]["notFound"], 3);
}
