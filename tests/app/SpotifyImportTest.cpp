// floorvote import spotify as a DJ runs it: a 250-track playlist of the DJ, read through Spotify's
// contract (a validating proxy in front of the scripted peer), matched against a Serato, a VirtualDJ
// and a Music library built here, as a table and as JSON.
#include <sys/stat.h>

#include <cstdlib>
#include <map>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/Json.hpp"
#include "djsoftware/TextCodec.hpp"
#include "session/ApiTestService.hpp"
#include "support/SeratoBytes.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using ::testing::HasSubstr;

namespace {

constexpr auto field = test::seratoField;
constexpr auto text = test::seratoText;

// Made-up words of random letters: two of them share hardly a letter pair, so a track can only
// match its own entries.
std::string word(int n) {
    uint32_t x = 2654435761u * static_cast<uint32_t>(n + 1);
    std::string w;
    for (int i = 0; i < 7; ++i) {
        x = x * 1664525u + 1013904223u;
        w += static_cast<char>('a' + (x >> 16) % 26);
    }
    return w;
}

struct Wanted {
    std::string title, artist;
    int seconds;
};

Wanted wanted(int i) {
    return {word(i) + " " + word(i + 1000) + " " + std::to_string(i), word(i + 2000), 180 + i % 120};
}

std::string mmss(int seconds) { return fmt::format("{:02}:{:02}.00", seconds / 60, seconds % 60); }

std::string xmlEscape(std::string s) {
    std::string out;
    for (char c : s) out += c == '&' ? "&amp;" : c == '"' ? "&quot;" : c == '<' ? "&lt;" : std::string(1, c);
    return out;
}

}  // namespace

TEST(SpotifyImport, A250TrackPlaylistIsMatchedAgainstSeratoVirtualDJAndTheMusicLibrary) {
    test::TempDir home;
    test::useHome(home.path());
    test::TempDir tools;

    // The playlist: 0–99 in Serato as they are; 100–149 in VirtualDJ with a letter missing and
    // another length (similar); 150–179 in the Music library; 180–199 in Serato and in VirtualDJ
    // alike (several candidates); 200–249 nowhere.
    json playlist = json::array();
    for (int i = 0; i < 250; ++i) {
        auto w = wanted(i);
        playlist.push_back({{"title", w.title}, {"artist", w.artist}, {"durationMs", w.seconds * 1000},
                            {"isrc", fmt::format("DEFV{:08}", i)}});
    }
    test::writeFile(tools / "playlist.json", playlist.dump());

    std::string serato = text("vrsn", "2.0/Serato Scratch LIVE Database");
    std::string vdj = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VirtualDJ_Database Version=\"8.5\">\n";
    json music = json::object();
    auto vdjSong = [&](int i, const std::string& title, int seconds) {
        vdj += fmt::format("<Song FilePath=\"/m/{}.mp3\"><Tags Author=\"{}\" Title=\"{}\" Bpm=\"0.5\"/>"
                           "<Infos SongLength=\"{}\"/></Song>\n",
                           i, xmlEscape(wanted(i).artist), xmlEscape(title), seconds);
    };
    for (int i = 0; i < 200; ++i) {
        auto w = wanted(i);
        if (i < 100 || i >= 180)
            serato += field("otrk", text("pfil", fmt::format("Music/{}.mp3", i)) + text("tsng", w.title) +
                                        text("tart", w.artist) + text("tlen", mmss(w.seconds)));
        if (i >= 100 && i < 150) {
            std::string typo = w.title;
            typo.erase(2, 1);
            vdjSong(i, typo, w.seconds + 30);
        }
        if (i >= 180) vdjSong(i, w.title, w.seconds);
        if (i >= 150 && i < 180)
            music[std::to_string(i)] = {{"Track ID", i}, {"Persistent ID", fmt::format("{:016X}", i)},
                                        {"Name", w.title}, {"Artist", w.artist}, {"Total Time", w.seconds * 1000}};
    }
    vdj += "</VirtualDJ_Database>\n";
    test::writeFile(home / "serato" / "database V2", serato);
    test::writeFile(home / "vdj" / "database.xml", vdj);
    test::writeFile(tools / "music.json", music.dump());
    auto py = test::runProcess({"python3", "-c",
                                "import json, plistlib, sys\n"
                                "tracks = json.load(open(sys.argv[1]))\n"
                                "plistlib.dump({'Tracks': tracks, 'Playlists': []}, open(sys.argv[2], 'wb'))\n",
                                (tools / "music.json").string(), (home / "Library.xml").string()});
    ASSERT_EQ(py.exitCode, 0) << py.err;
    for (auto [key, value] : {std::pair{"lastSeratoPath", home / "serato"}, std::pair{"lastVirtualDJPath", home / "vdj"},
                              std::pair{"musicLibraryPath", home / "Library.xml"}})
        ASSERT_EQ(test::runFloorvote({"settings", "set", key, json(value.string()).dump()}).exitCode, 0);

    // Spotify: the peer with this playlist behind the contract; the sign-in through the browser stand-in.
    test::TestService peer({"node", std::string(TEST_PEERS_DIR) + "/spotify/spotify.js", "--tracks",
                            (tools / "playlist.json").string()});
    test::TestService contract({"node", std::string(TEST_PEERS_DIR) + "/spotify/contract.js", "proxy", peer.url()});
    auto bin = tools / "bin";
    std::filesystem::create_directories(bin);
    test::writeFile(bin / "xdg-open", "#!/bin/sh\nexec node '" + std::string(TEST_PEERS_DIR) +
                                          "/spotify/browser.js' \"$1\" > /dev/null 2>&1\n");
    chmod((bin / "xdg-open").c_str(), 0755);
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (bin.string() + ":" + oldPath).c_str(), 1);
    setenv("FLOORVOTE_SPOTIFY_API_URL", contract.url().c_str(), 1);
    setenv("FLOORVOTE_SPOTIFY_ACCOUNTS_URL", peer.url().c_str(), 1);
    ASSERT_EQ(test::runFloorvote({"settings", "set", "spotifyClientId", "\"floorvote-test-client\""}).exitCode, 0);

    auto notYet = test::runFloorvote({"import", "spotify", "4rOwn250TracksPlaylist", "--library", "serato"});
    EXPECT_EQ(notYet.exitCode, 1);
    EXPECT_THAT(notYet.err, HasSubstr("Nicht bei Spotify angemeldet (floorvote spotify login)"));
    auto login = test::runFloorvote({"spotify", "login"});
    ASSERT_EQ(login.exitCode, 0) << login.out << login.err;

    std::vector<std::string> args = {"import", "spotify", "https://open.spotify.com/playlist/4rOwn250TracksPlaylist?si=x1",
                                     "--library", "serato", "--library", "virtualdj", "--library", "applemusic"};
    auto table = test::runFloorvote(args);
    ASSERT_EQ(table.exitCode, 0) << table.out << table.err;
    EXPECT_THAT(table.out, HasSubstr("Playlist „Letzte Woche“ von DJ Floor: 250 Titel"));
    EXPECT_THAT(table.out, HasSubstr("130 gefunden, 50 ähnlich, 20 mehrdeutig, 50 fehlen"));
    EXPECT_THAT(table.out, HasSubstr(wanted(0).artist + " – " + wanted(0).title.substr(0, 10)));
    EXPECT_THAT(table.out, HasSubstr("2 Kandidaten"));

    args.push_back("--json");
    auto r = test::runFloorvote(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["totalTracks"], 250);
    EXPECT_EQ(j["playlistOwner"], "DJ Floor");
    ASSERT_EQ(j["results"].size(), 250u);
    std::map<std::string, int> sourceOfFound;
    for (int i = 0; i < 250; ++i) {
        const json& row = j["results"][i];
        SCOPED_TRACE(i);
        EXPECT_EQ(row["spotifyTrack"]["title"], wanted(i).title);
        if (i < 100 || (i >= 150 && i < 180)) {
            EXPECT_EQ(row["status"], "fuzzyMatch");
            EXPECT_EQ(row["score"], 1.0);
            ++sourceOfFound[row["track"]["djSource"]];
        } else if (i < 150) {
            EXPECT_EQ(row["status"], "fuzzyMatch");
            EXPECT_LT(row["score"].get<double>(), 1.0);
            EXPECT_GE(row["score"].get<double>(), 0.65);
            EXPECT_EQ(row["track"]["djSource"], "VirtualDJ");
        } else if (i < 200) {
            EXPECT_EQ(row["status"], "multipleMatches");
            EXPECT_EQ(row["candidates"].size(), 2u);
        } else {
            EXPECT_EQ(row["status"], "notFound");
        }
    }
    EXPECT_EQ(sourceOfFound["Serato"], 100);
    EXPECT_EQ(sourceOfFound.size(), 2u);

    // Someone else's playlist: its own message, no table.
    auto foreign = test::runFloorvote({"import", "spotify", "spotify:playlist:3xForeignPlaylistAbCdE", "--library", "serato"});
    EXPECT_EQ(foreign.exitCode, 1);
    EXPECT_THAT(foreign.err, HasSubstr("Spotify gibt die Titel dieser Playlist nicht heraus"));
    auto bad = test::runFloorvote({"import", "spotify", "keine-playlist", "--library", "serato"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_THAT(bad.err, HasSubstr("Ungültiger Spotify-Link"));

    setenv("PATH", oldPath.c_str(), 1);
    unsetenv("FLOORVOTE_SPOTIFY_API_URL");
    unsetenv("FLOORVOTE_SPOTIFY_ACCOUNTS_URL");
}
