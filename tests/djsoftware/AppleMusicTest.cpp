// The Music library from XML files written by Python's plistlib (the reference writer of the
// format), hostile and broken plists, the playlist file the Music application imports, and library
// playlists created against a local peer of Apple's REST API (tests/peers/applemusic/library.js).
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "djsoftware/AppleMusic.hpp"
#include "djsoftware/Plist.hpp"
#include "core/Json.hpp"
#include "session/ApiTestService.hpp"
#include "session/HttpClient.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
namespace fs = std::filesystem;

namespace {

// Runs a Python snippet with `out` bound to the file to write.
void python(const std::string& code, const fs::path& out) {
    auto r = test::runProcess({"python3", "-c", "import plistlib, sys\nout = sys.argv[1]\n" + code, out.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

// A library as the Music application exports it: tracks keyed by track id, playlists with items.
const char* libraryScript = R"(
tracks = {
  '101': {'Track ID': 101, 'Persistent ID': '00000000000000FF', 'Name': 'Über den Wolken', 'Artist': 'Reinhard Mey',
          'Album': 'Live', 'Genre': 'Schlager', 'Total Time': 215480, 'BPM': 98,
          'Location': 'file:///Users/dj/Music/%C3%9Cber%20den%20Wolken.m4a'},
  '102': {'Track ID': 102, 'Persistent ID': 'A1B2C3D4E5F60718', 'Name': 'Song & "Quote"', 'Artist': 'Band <X>',
          'Total Time': 180000, 'Location': 'file://localhost/C:/Music/a%20b.mp3'},
  '103': {'Track ID': 103, 'Persistent ID': '0000000000000ABC', 'Name': 'In keiner Playlist', 'Artist': 'Solo'},
  '104': {'Track ID': 104, 'Name': 'Ohne Persistent ID'},
}
playlists = [
  {'Name': 'Mediathek', 'Master': True, 'Playlist ID': 1, 'Playlist Persistent ID': '1000000000000001',
   'Visible': False, 'All Items': True, 'Playlist Items': [{'Track ID': 101}, {'Track ID': 102}, {'Track ID': 103}]},
  {'Name': 'Musik', 'Distinguished Kind': 4, 'Playlist ID': 2, 'Playlist Persistent ID': '1000000000000002',
   'Playlist Items': [{'Track ID': 101}]},
  {'Name': 'Sets', 'Folder': True, 'Playlist ID': 3, 'Playlist Persistent ID': '1000000000000003'},
  {'Name': 'Schlau', 'Playlist ID': 4, 'Playlist Persistent ID': '1000000000000004', 'Smart Info': b'\x00\x01',
   'Smart Criteria': b'\x02', 'Playlist Items': [{'Track ID': 102}]},
  {'Name': 'Samstag', 'Description': 'Die Party', 'Playlist ID': 5, 'Playlist Persistent ID': '00000000000000FF',
   'Parent Persistent ID': '1000000000000003',
   'Playlist Items': [{'Track ID': 102}, {'Track ID': 999}, {'Track ID': 101}]},
]
with open(out, 'wb') as f:
    plistlib.dump({'Major Version': 1, 'Minor Version': 1, 'Application Version': '1.4.5.7',
                   'Music Folder': 'file:///Users/dj/Music/', 'Tracks': tracks, 'Playlists': playlists}, f)
)";

AppleMusicError::Kind loadError(const std::string& xml) {
    ITunesLibraryService lib("mem");
    try {
        lib.load(xml);
    } catch (const AppleMusicError& e) {
        EXPECT_NE(std::string(e.what()).find("Musikbibliothek nicht lesbar"), std::string::npos) << e.what();
        return e.kind();
    }
    ADD_FAILURE() << "no error for " << xml.substr(0, 80);
    return AppleMusicError::Kind::notAvailable;
}

}  // namespace

TEST(ITunesLibrary, ReadsTracksPlaylistsAndKindsOfAnExport) {
    test::TempDir dir;
    python(libraryScript, dir / "Library.xml");
    ITunesLibraryService lib(dir / "Library.xml");
    EXPECT_FALSE(lib.isConnected());
    lib.connect();
    ASSERT_TRUE(lib.isConnected());
    EXPECT_EQ(lib.skippedTracks(), 1u);

    auto pls = lib.playlists();
    ASSERT_EQ(pls.size(), 5u);
    EXPECT_EQ(pls[0].kind, AppleMusicPlaylistKind::system);
    EXPECT_EQ(pls[1].kind, AppleMusicPlaylistKind::system);
    EXPECT_EQ(pls[2].kind, AppleMusicPlaylistKind::folder);
    EXPECT_EQ(pls[3].kind, AppleMusicPlaylistKind::smart);
    EXPECT_EQ(pls[4].kind, AppleMusicPlaylistKind::regular);
    EXPECT_EQ(pls[4].id, "255");  // the persistent ID in decimal
    EXPECT_EQ(pls[4].name, "Samstag");
    EXPECT_EQ(pls[4].description, std::optional<std::string>("Die Party"));
    EXPECT_EQ(pls[4].trackCount, 3);
    EXPECT_EQ(pls[0].id, std::to_string(0x1000000000000001ULL));

    // Items in playlist order; an id without a track is left out.
    auto party = lib.tracks("255");
    ASSERT_EQ(party.size(), 2u);
    EXPECT_EQ(party[0].title, "Song & \"Quote\"");
    EXPECT_EQ(party[0].artist, "Band <X>");
    EXPECT_EQ(party[0].id, std::to_string(0xA1B2C3D4E5F60718ULL));
    EXPECT_EQ(party[1].title, "Über den Wolken");
    EXPECT_EQ(party[1].album, "Live");
    EXPECT_EQ(party[1].durationMs, 215480);
    EXPECT_EQ(party[1].genre, std::optional<std::string>("Schlager"));
    EXPECT_FALSE(party[1].isrc);
    EXPECT_TRUE(lib.tracks("12345").empty());

    // The whole library includes tracks in no playlist.
    auto all = lib.tracks(ITunesLibraryService::allTracks);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].title, "In keiner Playlist");
    EXPECT_EQ(all[2].durationMs, 0);

    auto records = lib.libraryTracks();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].djSource, "Apple Music");
    EXPECT_EQ(records[0].duration, 215);
    EXPECT_EQ(records[0].bpm, std::optional<double>(98));
    EXPECT_EQ(records[0].folderPath, std::optional<std::string>("/Users/dj/Music/Über den Wolken.m4a"));
    EXPECT_EQ(records[1].folderPath, std::optional<std::string>("C:/Music/a b.mp3"));
    EXPECT_EQ(records[0].contentId, std::optional<std::string>("255"));
    EXPECT_NE(records[0].id, records[1].id);
}

TEST(ITunesLibrary, HostileAndBrokenFilesGiveAClearErrorQuickly) {
    using K = AppleMusicError::Kind;
    auto start = std::chrono::steady_clock::now();
    const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    // Deep nesting.
    std::string deep = head + "<dict><key>Tracks</key><dict/><key>x</key>";
    for (int i = 0; i < 100000; ++i) deep += "<array>";
    EXPECT_EQ(loadError(deep), K::libraryUnreadable);
    // A string far beyond any title.
    EXPECT_EQ(loadError(head + "<dict><key>Tracks</key><dict/><key>x</key><string>" + std::string(20 << 20, 'a') +
                        "</string></dict></plist>"),
              K::libraryUnreadable);
    // Entities: the billion laughs and a harmless-looking one are both refused.
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\">";
    for (char c = 'b'; c <= 'k'; ++c) {
        laughs += std::string("<!ENTITY ") + c + " \"";
        for (int i = 0; i < 10; ++i) laughs += std::string("&") + static_cast<char>(c - 1) + ";";
        laughs += "\">";
    }
    laughs += "]><plist><dict><key>Tracks</key><dict/><key>x</key><string>&k;</string></dict></plist>";
    EXPECT_EQ(loadError(laughs), K::libraryUnreadable);
    EXPECT_EQ(loadError("<!DOCTYPE plist SYSTEM \"file:///etc/passwd\" [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>"
                        "<plist><dict><key>Tracks</key><dict/><key>x</key><string>&e;</string></dict></plist>"),
              K::libraryUnreadable);
    // Not a library, not a plist, wrong structure, bad numbers.
    EXPECT_EQ(loadError(""), K::libraryUnreadable);
    EXPECT_EQ(loadError("{\"Tracks\": {}}"), K::libraryUnreadable);
    EXPECT_EQ(loadError(head + "<dict><key>Playlists</key><array/></dict></plist>"), K::libraryUnreadable);
    EXPECT_EQ(loadError(head + "<dict><key>Tracks</key><dict><dict/></dict></dict></plist>"), K::libraryUnreadable);
    EXPECT_EQ(loadError(head + "<dict><key>Tracks</key><dict/><key>n</key><integer>12x</integer></dict></plist>"),
              K::libraryUnreadable);
    EXPECT_EQ(loadError(head + "<dict><key>Tracks</key><dict/><key>n</key><integer>99999999999999999999</integer>"
                               "</dict></plist>"),
              K::libraryUnreadable);
    EXPECT_EQ(loadError(head + "<dict><key>Tracks</key><dict/></dict><dict/></plist>"), K::libraryUnreadable);
    EXPECT_EQ(loadError(head + "<dict><key>Tracks</key><dict/><video/></dict></plist>"), K::libraryUnreadable);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(ITunesLibrary, ATruncatedExportFailsAndAMissingFileSaysWhere) {
    test::TempDir dir;
    python(libraryScript, dir / "Library.xml");
    std::ifstream in(dir / "Library.xml", std::ios::binary);
    std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t cut : {whole.size() / 3, whole.size() / 2, whole.size() - 10}) {
        test::writeFile(dir / "cut.xml", whole.substr(0, cut));
        ITunesLibraryService lib(dir / "cut.xml");
        EXPECT_THROW(lib.connect(), AppleMusicError) << cut;
        EXPECT_FALSE(lib.isConnected());
    }
    ITunesLibraryService missing(dir / "nope.xml");
    try {
        missing.connect();
        FAIL();
    } catch (const AppleMusicError& e) {
        EXPECT_NE(std::string(e.what()).find("nope.xml"), std::string::npos);
    }
    ITunesLibraryService folder(dir.path());
    EXPECT_THROW(folder.connect(), AppleMusicError);
}

TEST(Plist, WrittenDocumentsReadBackAndPythonReadsThem) {
    PlistValue root;
    root.type = PlistValue::Type::dict;
    PlistValue name;
    name.text = "Tür & <Tor> \"1\"";
    PlistValue n;
    n.type = PlistValue::Type::integer;
    n.integer = -42;
    PlistValue list;
    list.type = PlistValue::Type::array;
    list.array = {name, n};
    root.dict = {{"Name", name}, {"Zahl", n}, {"Liste", list}};
    std::string doc = plistDocument(root);
    PlistReader reader({}, {});
    PlistValue back = reader.read(doc);
    ASSERT_EQ(back.type, PlistValue::Type::dict);
    EXPECT_EQ(*back.string("Name"), name.text);
    EXPECT_EQ(*back.integerValue("Zahl"), -42);
    EXPECT_EQ(back.find("Liste")->array.size(), 2u);

    test::TempDir dir;
    test::writeFile(dir / "doc.plist", doc);
    auto r = test::runProcess({"python3", "-c",
                               "import plistlib,sys,json; print(json.dumps(plistlib.load(open(sys.argv[1],'rb')), "
                               "ensure_ascii=False, sort_keys=True))",
                               (dir / "doc.plist").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{\"Liste\": [\"Tür & <Tor> \\\"1\\\"\", -42], \"Name\": \"Tür & <Tor> \\\"1\\\"\", \"Zahl\": -42}\n");
}

namespace {

struct ApplePeer {
    test::TestService peer{{"node", std::string(TEST_PEERS_DIR) + "/applemusic/library.js"}};
    HttpClient http;
    std::string base() const { return "http://127.0.0.1:" + std::to_string(peer.port()); }
    AppleMusicService service(AppleMusicCredentials c = {"apple-dev-token", "music-user-token"}) {
        return AppleMusicService(http, base() + "/", c);
    }
    json last() {
        HttpClient h;
        HttpRequest r;
        r.url = base() + "/__last";
        return json::parse(test::runOnMain(h.send(r)).body);
    }
};

std::string failureOf(AppleMusicService& s, const std::string& name, AppleMusicError::Kind expected) {
    try {
        test::runOnMain(s.createLibraryPlaylist(name, {"1440857781"}));
    } catch (const AppleMusicError& e) {
        EXPECT_EQ(e.kind(), expected) << e.what();
        return e.what();
    }
    ADD_FAILURE() << "no error for " << name;
    return {};
}

}  // namespace

TEST(AppleMusicService, CreatesALibraryPlaylistWithBothTokens) {
    ApplePeer apple;
    auto service = apple.service();
    std::string id = test::runOnMain(service.createLibraryPlaylist("Samstag \"Live\"", {"1440857781", "203709340"}));
    EXPECT_EQ(id.rfind("p.", 0), 0u) << id;
    json last = apple.last();
    EXPECT_EQ(last["method"], "POST");
    EXPECT_EQ(last["url"], "/v1/me/library/playlists");
    EXPECT_EQ(last["headers"]["content-type"], "application/json");
    json body = json::parse(last["body"].get<std::string>());
    EXPECT_EQ(body, json::parse(R"({"attributes": {"name": "Samstag \"Live\""},
        "relationships": {"tracks": {"data": [{"id": "1440857781", "type": "songs"}, {"id": "203709340", "type": "songs"}]}}})"));
}

TEST(AppleMusicService, FailuresAreAppleMusicErrorsWithTheStatus) {
    using K = AppleMusicError::Kind;
    ApplePeer apple;
    auto noUser = apple.service({"apple-dev-token", std::nullopt});
    EXPECT_EQ(failureOf(noUser, "x", K::notAvailable), "Kein Zugriff auf Apple Music");
    auto wrongUser = apple.service({"apple-dev-token", "expired"});
    EXPECT_EQ(failureOf(wrongUser, "x", K::requestFailed).rfind("HTTP 403", 0), 0u);
    auto wrongDev = apple.service({"other", "music-user-token"});
    EXPECT_EQ(failureOf(wrongDev, "x", K::requestFailed).rfind("HTTP 401", 0), 0u);
    auto ok = apple.service();
    EXPECT_EQ(failureOf(ok, "FAIL", K::requestFailed), "HTTP 500 – Internal Server Error: try later");
    EXPECT_EQ(failureOf(ok, "BAD", K::requestFailed), "HTTP 201 – Antwort ohne Playlist-ID");
    EXPECT_NE(failureOf(ok, "CUT", K::requestFailed).find("Apple Music nicht erreichbar"), std::string::npos);
    AppleMusicService nowhere(apple.http, "http://127.0.0.1:1", {"a", "b"});
    EXPECT_NE(failureOf(nowhere, "x", K::requestFailed).find("nicht erreichbar"), std::string::npos);
}

TEST(AppleMusicService, LocalPlaylistFileHoldsTheFoundTracksInOrder) {
    test::TempDir dir;
    python(libraryScript, dir / "Library.xml");
    ITunesLibraryService lib(dir / "Library.xml");
    lib.connect();
    EXPECT_EQ(AppleMusicService::persistentIdText(255), "00000000000000FF");
    auto file = dir / "out" / "Samstag.xml";
    EXPECT_THROW(AppleMusicService::createLocalPlaylist("x", {}, lib, file), AppleMusicError);
    int added = AppleMusicService::createLocalPlaylist("Die \"beste\" Nacht", {0xA1B2C3D4E5F60718ULL, 42, 255}, lib, file);
    EXPECT_EQ(added, 2);
    // Python's reader sees a playlist of the two tracks, the quote in the name, the locations kept.
    auto r = test::runProcess({"python3", "-c",
                               "import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); p=d['Playlists'][0]; "
                               "print(p['Name']); print([d['Tracks'][str(i['Track ID'])]['Persistent ID'] for i in "
                               "p['Playlist Items']]); print(d['Tracks']['101']['Location'])",
                               file.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Die \"beste\" Nacht\n['A1B2C3D4E5F60718', '00000000000000FF']\n"
                     "file:///Users/dj/Music/%C3%9Cber%20den%20Wolken.m4a\n");
    // The file is a library our own reader takes as well.
    ITunesLibraryService again(file);
    again.connect();
    ASSERT_EQ(again.playlists().size(), 0u);  // a playlist without a persistent ID is not listed
    EXPECT_EQ(again.tracks(ITunesLibraryService::allTracks).size(), 2u);
}
