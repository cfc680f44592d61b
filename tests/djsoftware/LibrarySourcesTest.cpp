// The DJ's libraries as track records for matching: Serato's database and crates, VirtualDJ's
// database.xml (tempo stored as seconds per beat), Mixxx's library database and a folder of audio
// files with tags written by TagLib, including files whose tags cannot be read.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

#include "core/Files.hpp"
#include "djsoftware/LibrarySources.hpp"
#include "djsoftware/SeratoFiles.hpp"
#include "djsoftware/TextCodec.hpp"
#include "support/SeratoBytes.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
namespace fs = std::filesystem;

namespace {

constexpr auto field = test::seratoField;
constexpr auto text = test::seratoText;

const RekordboxTrack* byTitle(const LibrarySource& s, const std::string& title) {
    for (const auto& t : s.tracks)
        if (t.title == title) return &t;
    return nullptr;
}

void exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
}

}  // namespace

TEST(LibrarySources, SeratoDatabaseAndCratesGiveEveryTrackOnce) {
    test::TempDir dir;
    std::string db = text("vrsn", "2.0/Serato Scratch LIVE Database");
    db += field("otrk", text("ttyp", "mp3") + text("pfil", "Users/dj/Music/Björk - Army.mp3") + text("tsng", "Army of Me") +
                            text("tart", "Björk") + text("tgen", "Electronic") + text("tlen", "03:54.12") +
                            text("tbpm", "96.00") + text("tkey", "Am") + field("bmis", std::string(1, '\0')));
    db += field("otrk", text("pfil", "Users/dj/Music/ohne.mp3") + text("tlen", "1:02:03"));
    db += field("otrk", field("uadd", "\x01\x02\x03\x04"));  // neither path nor title
    db += field("otrk", text("tsng", "abgeschnitten")).substr(0, 20);
    test::writeFile(dir / "_Serato_" / "database V2", db);
    test::writeFile(dir / "_Serato_" / "Subcrates" / "Party.crate",
                    seratoCrateBytes({"Users/dj/Music/Björk - Army.mp3", "Users/dj/Music/Nur Crate.mp3"}));
    test::writeFile(dir / "_Serato_" / "Subcrates" / "kaputt.crate", "no crate");

    auto s = seratoLibrary(dir / "_Serato_");
    EXPECT_TRUE(s.error.empty()) << s.error;
    ASSERT_EQ(s.tracks.size(), 3u);
    EXPECT_EQ(s.skipped, 2u);  // the record without path and title, the broken crate
    const auto* army = byTitle(s, "Army of Me");
    ASSERT_TRUE(army);
    EXPECT_EQ(army->artist, "Björk");
    EXPECT_EQ(army->genre, "Electronic");
    EXPECT_EQ(army->duration, 234);
    EXPECT_EQ(army->bpm, std::optional<double>(96));
    EXPECT_EQ(army->key, std::optional<std::string>("Am"));
    EXPECT_EQ(army->djSource, "Serato");
    const auto* untitled = byTitle(s, "ohne");
    ASSERT_TRUE(untitled);
    EXPECT_EQ(untitled->duration, 3723);
    ASSERT_TRUE(byTitle(s, "Nur Crate"));
    EXPECT_FALSE(seratoLibrary(dir / "nichts").error.empty());
}

TEST(LibrarySources, VirtualDJTempoIsConvertedAndMixxxSkipsDeletedTracks) {
    test::TempDir dir;
    test::writeFile(dir / "database.xml",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VirtualDJ_Database Version=\"8.5\">\n"
                    "<Song FilePath=\"/m/a.mp3\"><Tags Author=\"Künstler\" Title=\"Titel\" Genre=\"House\" "
                    "Bpm=\"0.468750\"/><Infos SongLength=\"245.9\"/></Song>\n"
                    "<Song FilePath=\"/m/Nur Pfad.mp3\"/>\n</VirtualDJ_Database>\n");
    auto v = virtualDJLibrary(dir / "database.xml");
    ASSERT_TRUE(v.error.empty()) << v.error;
    ASSERT_EQ(v.tracks.size(), 2u);
    const auto* a = byTitle(v, "Titel");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->bpm, std::optional<double>(128));
    EXPECT_EQ(a->duration, 245);
    EXPECT_EQ(a->djSource, "VirtualDJ");
    EXPECT_TRUE(byTitle(v, "Nur Pfad"));
    test::writeFile(dir / "broken.xml", "<VirtualDJ_Database><Song FilePath=\"x\">");
    EXPECT_FALSE(virtualDJLibrary(dir / "broken.xml").error.empty());

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "mixxxdb.sqlite").c_str(), &db), SQLITE_OK);
    exec(db, "CREATE TABLE track_locations (id INTEGER PRIMARY KEY, location TEXT);"
             "CREATE TABLE library (id INTEGER PRIMARY KEY, artist TEXT, title TEXT, genre TEXT, duration REAL,"
             " bpm REAL, key TEXT, location INTEGER, mixxx_deleted INTEGER DEFAULT 0);"
             "INSERT INTO track_locations VALUES (1, '/m/one.flac'), (2, '/m/two.flac'), (3, '/m/gone.flac');"
             "INSERT INTO library VALUES (1, 'A', 'One', 'Techno', 301.7, 130.0, '8A', 1, 0),"
             " (2, NULL, NULL, NULL, NULL, NULL, NULL, 2, 0), (3, 'C', 'Gone', '', 10, 0, '', 3, 1);");
    sqlite3_close(db);
    auto m = mixxxLibrary(dir / "mixxxdb.sqlite");
    ASSERT_TRUE(m.error.empty()) << m.error;
    ASSERT_EQ(m.tracks.size(), 2u);
    EXPECT_EQ(m.tracks[0].title, "One");
    EXPECT_EQ(m.tracks[0].duration, 301);
    EXPECT_EQ(m.tracks[0].bpm, std::optional<double>(130));
    EXPECT_EQ(m.tracks[0].folderPath, std::optional<std::string>("/m/one.flac"));
    EXPECT_EQ(m.tracks[1].title, "two");
    test::writeFile(dir / "nodb.sqlite", "not a database at all, just text that is long enough to be read");
    EXPECT_FALSE(mixxxLibrary(dir / "nodb.sqlite").error.empty());
}

TEST(LibrarySources, AFolderOfAudioFilesSkipsThoseWithoutReadableTags) {
    test::TempDir dir;
    // Two seconds of silence as WAV, written by Python's wave module, then tagged by TagLib.
    for (const char* name : {"eins.wav", "Unterordner/zwei.wav"}) {
        fs::create_directories((dir / name).parent_path());
        auto r = test::runProcess({"python3", "-c",
                                   "import wave,sys\nw=wave.open(sys.argv[1],'wb')\nw.setnchannels(1)\nw.setsampwidth(2)\n"
                                   "w.setframerate(8000)\nw.writeframes(b'\\0\\0'*16000)\nw.close()",
                                   (dir / name).string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    {
        TagLib::FileRef f((dir / "eins.wav").c_str());
        ASSERT_FALSE(f.isNull());
        f.tag()->setTitle(TagLib::String("Grüße", TagLib::String::UTF8));
        f.tag()->setArtist(TagLib::String("Die Ärzte", TagLib::String::UTF8));
        f.tag()->setGenre("Rock");
        ASSERT_TRUE(f.save());
    }
    test::writeFile(dir / "kaputt.m4a", "garbage that is no MP4 atom at all");
    test::writeFile(dir / "leer.flac", "fLaC");
    test::writeFile(dir / "notiz.txt", "kein Audio");

    auto s = folderLibrary(dir.path());
    ASSERT_TRUE(s.error.empty()) << s.error;
    EXPECT_EQ(s.skipped, 2u);
    ASSERT_EQ(s.tracks.size(), 2u);
    const auto* one = byTitle(s, "Grüße");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->artist, "Die Ärzte");
    EXPECT_EQ(one->genre, "Rock");
    EXPECT_EQ(one->duration, 2);
    EXPECT_EQ(one->djSource, s.name);
    EXPECT_TRUE(byTitle(s, "zwei"));  // untagged: the file name
    EXPECT_FALSE(folderLibrary(dir / "fehlt").error.empty());
}
