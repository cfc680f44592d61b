// The playlist export: files read back byte for byte or with the programs' readers, the messages,
// and the counts when part of a list cannot go.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gtest/gtest.h>

#include "core/Files.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/PlaylistExportService.hpp"
#include "djsoftware/SeratoFiles.hpp"
#include "djsoftware/VDJFiles.hpp"
#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using fv::test::runOnMain;
namespace fs = std::filesystem;

namespace {

Track fileTrack(const fs::path& file, std::string title, std::string artist, double bpm = 0, std::string key = {}) {
    Track t;
    t.title = std::move(title);
    t.artist = std::move(artist);
    t.bpm = bpm;
    t.keyNotation = std::move(key);
    t.folderPath = file.string();
    return t;
}

Track sourceTrack(std::string source, std::string id, std::string title = "T") {
    Track t;
    t.title = std::move(title);
    t.artist = "A";
    t.source = std::move(source);
    t.sourceId = std::move(id);
    return t;
}

ExportResult run(PlaylistExportService& s, std::vector<Track> tracks, DJSoftwareType sw, std::string name,
                 const fs::path& folder) {
    return runOnMain(s.exportTracks(std::move(tracks), sw, std::move(name), folder.string()));
}

}  // namespace

TEST(PlaylistExport, NamesAndWhatEachTargetTakes) {
    EXPECT_EQ(PlaylistExportService::sanitizedName("  a/b:c  "), "a_b_c");
    EXPECT_EQ(PlaylistExportService::sanitizedName("x\\y*z?\"<>|"), "x_y_z_____");
    EXPECT_EQ(PlaylistExportService::sanitizedName("Sommer 2026"), "Sommer 2026");

    fv::test::TempDir dir;
    fs::path song = dir / "song.mp3";
    fv::test::writeFile(song, "x");
    fs::create_directories(dir / "folder.mp3");
    // folderPath before sourceId; a folder is no file; a vanished file with a file source still goes.
    auto both = fileTrack(song, "T", "A");
    both.source = "serato";
    both.sourceId = "/elsewhere/other.mp3";
    EXPECT_EQ(PlaylistExportService::filePath(both), song.string());
    auto dirTrack = fileTrack(dir / "folder.mp3", "T", "A");
    dirTrack.source = "spotify";
    dirTrack.sourceId = "abc";
    auto vanished = sourceTrack("virtualdj", "/weg/song.mp3");
    std::vector<Track> mixed{both, dirTrack, vanished, sourceTrack("spotify", "sp1"), sourceTrack("applemusic", "am1"),
                             sourceTrack("rekordbox", "42"), sourceTrack("spotify", "")};
    auto count = [&](DJSoftwareType t) { return PlaylistExportService::exportableTracks(mixed, t).size(); };
    EXPECT_EQ(count(DJSoftwareType::serato), 2u);
    EXPECT_EQ(count(DJSoftwareType::virtualDJ), 2u);
    EXPECT_EQ(count(DJSoftwareType::mixxx), 2u);
    EXPECT_EQ(count(DJSoftwareType::rekordbox), 3u);
    EXPECT_EQ(count(DJSoftwareType::spotify), 2u);  // the directory track has a Spotify id too
    EXPECT_EQ(count(DJSoftwareType::appleMusic), 1u);
}

TEST(PlaylistExport, VirtualDJFolderAndOrderFileAsWorkedOutByHand) {
    fv::test::TempDir dir;
    fs::path a = dir / "Musik" / "A & B.mp3", b = dir / "Musik" / "\"Zitat\" <1>.flac";
    fv::test::writeFile(a, "x");
    fv::test::writeFile(b, "x");
    PlaylistExportService s;
    std::vector<Track> tracks{fileTrack(a, "Titel & Co", "Künstler", 124.5, "Am"), sourceTrack("spotify", "sp1"),
                              fileTrack(b, "Zwei", "B", 0)};
    auto r = run(s, tracks, DJSoftwareType::virtualDJ, "Gig: 12/06", dir / "VirtualDJ");
    EXPECT_EQ(r, (ExportResult{DJSoftwareType::virtualDJ, 2, 1, std::nullopt}));
    auto text = readFile(dir / "VirtualDJ" / "MyLists" / "Gig_ 12_06.vdjfolder");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<VirtualFolder noDuplicates=\"yes\">\n"
                     "  <song path=\"" + vdjEscape(a.string()) + "\" artist=\"Künstler\" title=\"Titel &amp; Co\" bpm=\"124.500\" key=\"Am\" />\n"
                     "  <song path=\"" + (dir / "Musik").string() + "/&quot;Zitat&quot; &lt;1&gt;.flac\" artist=\"B\" title=\"Zwei\" bpm=\"0.000\" />\n"
                     "</VirtualFolder>\n");
    // VirtualDJ's own reader takes it back.
    VDJFolderParser parser;
    parser.parse(*text, "Gig");
    ASSERT_EQ(parser.songs.size(), 2u);
    EXPECT_EQ(parser.songs[1].path, b.string());
    EXPECT_EQ(*readFile(dir / "VirtualDJ" / "MyLists" / "order"), "Gig_ 12_06.vdjfolder");

    // Twice under one name: one entry in the order file, the folder holds only the second export;
    // another list already in the order file keeps its place.
    writeFileAtomically(dir / "VirtualDJ" / "MyLists" / "order", "Alt.vdjfolder\n\nGig_ 12_06.vdjfolder\n");
    auto again = run(s, {fileTrack(a, "Nur", "Einer")}, DJSoftwareType::virtualDJ, "Gig: 12/06", dir / "VirtualDJ");
    EXPECT_EQ(again.exported, 1);
    EXPECT_EQ(*readFile(dir / "VirtualDJ" / "MyLists" / "order"), "Alt.vdjfolder\nGig_ 12_06.vdjfolder");
    VDJFolderParser second;
    second.parse(*readFile(dir / "VirtualDJ" / "MyLists" / "Gig_ 12_06.vdjfolder"), "Gig");
    ASSERT_EQ(second.songs.size(), 1u);
    EXPECT_EQ(second.songs[0].title, "Nur");

    // Spotify-only lists touch no file; an unwritable folder is a failure with nothing exported.
    auto none = run(s, {sourceTrack("spotify", "x")}, DJSoftwareType::virtualDJ, "Leer", dir / "VirtualDJ");
    EXPECT_EQ(none, (ExportResult{DJSoftwareType::virtualDJ, 0, 1, "Keine exportierbaren Tracks (kein Dateipfad)"}));
    EXPECT_FALSE(fileExists(dir / "VirtualDJ" / "MyLists" / "Leer.vdjfolder"));
    fv::test::writeFile(dir / "blocked", "a file where the folder should be");
    auto blocked = run(s, {fileTrack(a, "T", "A")}, DJSoftwareType::virtualDJ, "X", dir / "blocked");
    EXPECT_EQ(blocked.exported, 0);
    EXPECT_EQ(blocked.skipped, 1);
    ASSERT_TRUE(blocked.error);
    EXPECT_EQ(blocked.error->rfind("Export fehlgeschlagen: ", 0), 0u) << *blocked.error;
}

TEST(PlaylistExport, SeratoCrateReadBackWithNonAsciiPathsAndTheFolderCase) {
    fv::test::TempDir dir;
    std::vector<Track> tracks;
    std::vector<std::string> expected;
    for (std::string name : {"Café.mp3", "Straße.flac", "🎵 Party.m4a"}) {
        fs::path p = dir / "Musik" / name;
        fv::test::writeFile(p, "x");
        tracks.push_back(fileTrack(p, name, "A"));
        expected.push_back(p.string());
    }
    tracks.push_back(sourceTrack("serato", "/Volumes/USB/weg.mp3"));  // a vanished file still goes, as its path
    expected.push_back("/Volumes/USB/weg.mp3");
    tracks.push_back(sourceTrack("applemusic", "123"));
    // An existing crates folder in the other spelling is used, not a second one made.
    fs::create_directories(dir / "_Serato_" / "SubCrates");
    PlaylistExportService s;
    auto r = run(s, tracks, DJSoftwareType::serato, "Wünsche/Nacht", dir / "_Serato_");
    EXPECT_EQ(r, (ExportResult{DJSoftwareType::serato, 4, 1, std::nullopt}));
    EXPECT_FALSE(fs::exists(dir / "_Serato_" / "Subcrates"));
    auto bytes = readFile(dir / "_Serato_" / "SubCrates" / "Wünsche_Nacht.crate");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(seratoCratePaths(*bytes, "crate"), expected);
    EXPECT_EQ(bytes->substr(0, 4), "vrsn");
    // A second export replaces the crate whole.
    auto again = run(s, {tracks[1]}, DJSoftwareType::serato, "Wünsche/Nacht", dir / "_Serato_");
    EXPECT_EQ(again.exported, 1);
    EXPECT_EQ(seratoCratePaths(*readFile(dir / "_Serato_" / "SubCrates" / "Wünsche_Nacht.crate"), "crate"),
              std::vector<std::string>{expected[1]});
    // Without a folder of either spelling, "Subcrates" is made.
    auto fresh = run(s, {tracks[0]}, DJSoftwareType::serato, "Neu", dir / "Frisch");
    EXPECT_EQ(fresh.exported, 1);
    EXPECT_TRUE(fileExists(dir / "Frisch" / "Subcrates" / "Neu.crate"));
}

TEST(PlaylistExport, StreamingTargetsChunksMessagesAndFailuresHalfway) {
    std::vector<std::vector<std::string>> chunks;
    std::string createdName;
    int failAfter = -1;
    PlaylistExportService::Targets targets;
    targets.spotifyCreatePlaylist = [&](std::string name) -> boost::asio::awaitable<std::string> {
        createdName = name;
        co_return "pl1";
    };
    targets.spotifyAddItems = [&](std::string, std::vector<std::string> uris) -> boost::asio::awaitable<void> {
        if (failAfter >= 0 && static_cast<int>(chunks.size()) == failAfter) throw std::runtime_error("HTTP 502");
        chunks.push_back(uris);
        co_return;
    };
    std::vector<std::string> appleIds;
    targets.appleMusicCreatePlaylist = [&](std::string, std::vector<std::string> ids) -> boost::asio::awaitable<void> {
        appleIds = ids;
        co_return;
    };
    PlaylistExportService s(targets);
    std::vector<Track> tracks;
    for (int i = 0; i < 250; ++i) tracks.push_back(sourceTrack("spotify", "id" + std::to_string(i)));
    tracks.push_back(sourceTrack("applemusic", "am1"));
    fv::test::TempDir dir;
    auto r = run(s, tracks, DJSoftwareType::spotify, "Nacht", dir.path());
    EXPECT_EQ(r, (ExportResult{DJSoftwareType::spotify, 250, 1, std::nullopt}));
    EXPECT_EQ(createdName, "Nacht");
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].size(), 100u);
    EXPECT_EQ(chunks[2].size(), 50u);
    EXPECT_EQ(chunks[0][0], "spotify:track:id0");
    // A service failing halfway: what went is counted, the rest skipped, the message says why.
    chunks.clear();
    failAfter = 1;
    auto half = run(s, tracks, DJSoftwareType::spotify, "Nacht", dir.path());
    EXPECT_EQ(half, (ExportResult{DJSoftwareType::spotify, 100, 151, "Export fehlgeschlagen: HTTP 502"}));

    EXPECT_EQ(run(s, tracks, DJSoftwareType::appleMusic, "N", dir.path()),
              (ExportResult{DJSoftwareType::appleMusic, 1, 250, std::nullopt}));
    EXPECT_EQ(appleIds, std::vector<std::string>{"am1"});
    std::vector<Track> files{sourceTrack("serato", "/a.mp3")};
    EXPECT_EQ(run(s, files, DJSoftwareType::spotify, "N", dir.path()).error, "Keine Spotify-Tracks in dieser Playlist");
    EXPECT_EQ(run(s, files, DJSoftwareType::appleMusic, "N", dir.path()).error,
              "Keine Apple Music-Tracks in dieser Playlist");
    EXPECT_EQ(run(s, {sourceTrack("spotify", "x")}, DJSoftwareType::rekordbox, "N", dir.path()).error,
              "Keine exportierbaren Tracks (kein Dateipfad)");
    // Without a signed-in service the export says so instead of failing silently.
    PlaylistExportService bare;
    auto unset = run(bare, tracks, DJSoftwareType::spotify, "N", dir.path());
    EXPECT_EQ(unset.exported, 0);
    EXPECT_EQ(unset.error, "Export fehlgeschlagen: Spotify ist nicht angemeldet");
}
