// Serato: crates and history sessions byte for byte, the crates folder's case, the backup copy.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Files.hpp"
#include "djsoftware/SeratoBridge.hpp"
#include "djsoftware/SeratoFiles.hpp"
#include "djsoftware/TextCodec.hpp"
#include "session/ApiTestService.hpp"
#include "session/AppSettings.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::runOnMain;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::string be32(uint32_t n) { return {char(n >> 24), char(n >> 16), char(n >> 8), char(n)}; }
// ASCII as UTF-16 big-endian, worked out by hand: a zero byte before each character.
std::string u16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string(1, '\0') + c;
    return out;
}
std::string field(const std::string& tag, const std::string& value) {
    return tag + be32(uint32_t(value.size())) + value;
}
std::string read(const fs::path& p) { return readFile(p).value_or("<missing>"); }

const std::string header = "vrsn" + std::string("\0\0\0\x38", 4) + u16("1.0/Serato ScratchLive Crate");

}  // namespace

TEST(SeratoCrate, ExactBytes) {
    EXPECT_EQ(seratoCrateBytes({}), header);
    EXPECT_EQ(seratoCrateBytes({}).size(), 64u) << "\"vrsn\", length 56 and the 28 characters";
    std::string one =
        header + "otrk" + std::string("\0\0\0\x12", 4) + "ptrk" + std::string("\0\0\0\x0a", 4) + u16("a/b.m");
    EXPECT_EQ(seratoCrateBytes({"a/b.m"}), one);
    EXPECT_EQ(seratoCrateBytes({"", "a/b.m", std::string("\xff\xfe")}), one)
        << "empty and non-UTF-8 paths are left out";
}

TEST(SeratoCrate, ReadsBothHeadersAndKeepsFileOrder) {
    std::string old = field("vrsn", u16("/Serato ScratchLive Crate"));
    std::string tracks = field("otrk", field("ptrk", u16("Music/b.mp3"))) + field("osrt", field("tvcn", u16("song"))) +
                         field("otrk", field("ptrk", u16("Music/a.mp3")));
    EXPECT_THAT(seratoCratePaths(old + tracks, "x"), ElementsAre("Music/b.mp3", "Music/a.mp3"));
    EXPECT_THAT(seratoCratePaths(header + tracks, "x"), ElementsAre("Music/b.mp3", "Music/a.mp3"));
    // Control characters around a path are padding.
    EXPECT_THAT(seratoCratePaths(header + field("ptrk", u16("\tMusic/c.mp3\n")), "x"), ElementsAre("Music/c.mp3"));
}

TEST(SeratoCrate, NonAsciiPathsRoundTrip) {
    std::vector<std::string> paths = {"Users/dj/Musik/Café del Mar.mp3", "Musik/Straße/Groß – Maß.flac",
                                      "Musik/🎧 Emoji 🎶/Lied 💃.m4a", "Musik/日本語.wav",
                                      "Musik/灴牫.mp3"};  // UTF-16 of these two spells "ptrk"
    std::string bytes = seratoCrateBytes(paths);
    EXPECT_EQ(seratoCratePaths(bytes, "x"), paths);
    // The emoji are surrogate pairs: U+1F3A7 is D83C DFA7.
    EXPECT_NE(bytes.find(std::string("\xD8\x3C\xDF\xA7", 4)), std::string::npos);
}

TEST(SeratoCrate, DamagedCrates) {
    for (std::string bad : {std::string(), std::string("garbage that is no crate"), std::string("vrsn\0\0\x10\0", 8),
                            std::string("otrk\0\0\0\0", 8)}) {
        try {
            (void)seratoCratePaths(bad, "Die Datei /x.crate");
            ADD_FAILURE() << "accepted " << bad.size() << " bytes";
        } catch (const SeratoFileError& e) {
            EXPECT_STREQ(e.what(), "Die Datei /x.crate ist keine Serato-Crate oder beschädigt");
        }
    }
    // A cut crate keeps what is whole; zero-length, overlong and odd-length values are skipped.
    std::string whole = field("otrk", field("ptrk", u16("Music/a.mp3")));
    std::string cut = header + whole + "otrk" + be32(40) + "ptrk" + be32(30) + u16("Music/b");
    EXPECT_THAT(seratoCratePaths(cut, "x"), ElementsAre("Music/a.mp3"));
    EXPECT_THAT(seratoCratePaths(header + "ptrk" + be32(0) + whole + "ptrk" + be32(3) + "abc", "x"),
                ElementsAre("Music/a.mp3"));
    // A lone surrogate is no text.
    EXPECT_TRUE(seratoCratePaths(header + field("ptrk", std::string("\xD8\x3C\0a", 4)), "x").empty());
}

namespace {

class SeratoFolder : public ::testing::Test {
protected:
    void SetUp() override { bridge.customBasePath = dir.path().string(); }
    fv::test::TempDir dir;
    SeratoBridge bridge;
};

std::string sessionEntry(const std::string& title, const std::string& artist) {
    std::string adat = field(std::string("\0\0\0\x02", 4), u16(std::string(300, 'p')));
    if (!title.empty()) adat += field(std::string("\0\0\0\x06", 4), *utf8ToUtf16BE(title));
    if (!artist.empty()) adat += field(std::string("\0\0\0\x07", 4), *utf8ToUtf16BE(artist));
    return field("oent", field("adat", adat));
}

}  // namespace

TEST_F(SeratoFolder, CreatePlaylistMakesParentAndSubCrate) {
    std::string crate = runOnMain(bridge.createPlaylist("Sommerfest"));
    EXPECT_EQ(crate, (dir / "Subcrates" / "Floorvote%%Sommerfest.crate").string());
    EXPECT_EQ(read(crate), header);
    EXPECT_EQ(read(dir / "Subcrates" / "Floorvote.crate"), header);
    runOnMain(bridge.addTrackToPlaylist("Music/a.mp3", crate, 0));
    std::string before = read(crate);
    EXPECT_EQ(runOnMain(bridge.createPlaylist("Sommerfest")), crate) << "same name, same crate";
    EXPECT_EQ(read(crate), before) << "its contents stay";
    EXPECT_EQ(runOnMain(bridge.createPlaylist("a/../b")), (dir / "Subcrates" / "Floorvote%%a_.._b.crate").string());

    SeratoBridge none;
    none.customBasePath = (dir / "missing").string();
    EXPECT_THROW((void)runOnMain(none.createPlaylist("X")), DJBridgeError);
    EXPECT_FALSE(fileExists(dir / "missing"));
}

TEST_F(SeratoFolder, AnExistingCratesFolderIsUsedWhateverItsCase) {
    fs::create_directories(dir / "SubCrates");
    fv::test::writeFile(dir / "SubCrates" / "House.crate", seratoCrateBytes({"Music/h.mp3"}));
    std::string crate = runOnMain(bridge.createPlaylist("X"));
    EXPECT_EQ(crate, (dir / "SubCrates" / "Floorvote%%X.crate").string());
    EXPECT_FALSE(fileExists(dir / "Subcrates"));
    EXPECT_EQ(runOnMain(bridge.refreshStatus(BridgeStatus::configured())), BridgeStatus::connected("3 Crates"));
}

TEST_F(SeratoFolder, AddingExistingPathMovesIt) {
    std::string crate = runOnMain(bridge.createPlaylist("S"));
    runOnMain(bridge.addTrackToPlaylist("Music/a.mp3", crate, 0));
    runOnMain(bridge.addTrackToPlaylist("Music/b.mp3", crate, 0));
    runOnMain(bridge.addTrackToPlaylist("Music/c.mp3", crate, 7));
    EXPECT_THAT(bridge.readCrate(crate), ElementsAre("Music/b.mp3", "Music/a.mp3", "Music/c.mp3"));
    runOnMain(bridge.addTrackToPlaylist("Music/c.mp3", crate, 0));
    EXPECT_THAT(bridge.readCrate(crate), ElementsAre("Music/c.mp3", "Music/b.mp3", "Music/a.mp3"));
    runOnMain(bridge.removeTrackFromPlaylist("Music/b.mp3", crate));
    EXPECT_THAT(bridge.readCrate(crate), ElementsAre("Music/c.mp3", "Music/a.mp3"));
    runOnMain(bridge.reorderPlaylist(crate, {"Music/a.mp3"}));
    EXPECT_EQ(read(crate), seratoCrateBytes({"Music/a.mp3"})) << "exactly the given list";
    EXPECT_TRUE(runOnMain(bridge.playlistExists(crate)));
    EXPECT_FALSE(runOnMain(bridge.playlistExists(crate + "x")));
}

TEST_F(SeratoFolder, BackupFirstAndAFailedWriteLeavesTheCrate) {
    std::string crate = runOnMain(bridge.createPlaylist("S"));
    runOnMain(bridge.addTrackToPlaylist("Music/a.mp3", crate, 0));
    std::string one = read(crate);
    runOnMain(bridge.addTrackToPlaylist("Music/b.mp3", crate, 1));
    EXPECT_EQ(read(crate + ".floorvote.bak"), one) << "the crate as it was before the write";
    std::string two = read(crate);

    // The backup cannot be made: nothing is written.
    fs::remove(crate + ".floorvote.bak");
    fs::create_directories(crate + ".floorvote.bak/inside");
    try {
        runOnMain(bridge.addTrackToPlaylist("Music/c.mp3", crate, 0));
        ADD_FAILURE() << "wrote without a backup";
    } catch (const DJBridgeError& e) {
        EXPECT_EQ(e.kind(), DJBridgeError::Kind::writeAccessDenied);
        EXPECT_THAT(e.what(), HasSubstr("Kein Schreibzugriff auf DJ-Software: " + crate + ".floorvote.bak"));
    }
    EXPECT_EQ(read(crate), two);

    // A damaged crate is not rewritten from what little could be read.
    fs::remove_all(crate + ".floorvote.bak");
    std::string garbage = "this is no crate at all";
    fv::test::writeFile(crate, garbage);
    EXPECT_THROW(runOnMain(bridge.addTrackToPlaylist("Music/c.mp3", crate, 0)), SeratoFileError);
    EXPECT_EQ(read(crate), garbage);
    // No temporary files are left behind.
    for (const auto& e : fs::directory_iterator(dir / "Subcrates"))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST_F(SeratoFolder, StatusCountsCrates) {
    AppSettings s;
    s.lastSeratoPath = dir.path().string();
    EXPECT_EQ(bridge.configure(s), BridgeStatus::configured());
    EXPECT_EQ(runOnMain(bridge.refreshStatus(BridgeStatus::configured())), BridgeStatus::unreachable())
        << "a chosen folder without crates";
    (void)runOnMain(bridge.createPlaylist("S"));
    EXPECT_EQ(runOnMain(bridge.refreshStatus(BridgeStatus::configured())), BridgeStatus::connected("2 Crates"));
}

TEST_F(SeratoFolder, NowPlayingFromTheNewestSession) {
    EXPECT_EQ(runOnMain(bridge.getCurrentlyPlaying()), std::nullopt) << "no History/Sessions";
    fs::path sessions = dir / "History" / "Sessions";
    fs::create_directories(sessions);
    fv::test::writeFile(sessions / "12.txt", sessionEntry("Not a session", "x"));
    EXPECT_EQ(runOnMain(bridge.getCurrentlyPlaying()), std::nullopt) << "only files not ending in .session";

    fv::test::writeFile(sessions / "9.session", sessionEntry("Old", "Band"));
    fv::test::writeFile(sessions / "10.session", field("vrsn", u16("1.0/Serato Scratch LIVE Review")) +
                                                     sessionEntry("Erster", "Band") +
                                                     sessionEntry("Café Straße 🎶", "Künstlerin"));
    auto now = runOnMain(bridge.getCurrentlyPlaying());
    ASSERT_TRUE(now);
    EXPECT_EQ(now->title, "Café Straße 🎶") << "the last entry of session 10, which is newer than 9";
    EXPECT_EQ(now->artist, "Künstlerin");

    fv::test::writeFile(sessions / "11.session", sessionEntry("Erster", "Band") + sessionEntry("", "Nur Artist"));
    EXPECT_EQ(runOnMain(bridge.getCurrentlyPlaying()), std::nullopt) << "an entry without a title";
    fv::test::writeFile(sessions / "11.session", sessionEntry("Ohne Artist", ""));
    now = runOnMain(bridge.getCurrentlyPlaying());
    ASSERT_TRUE(now);
    EXPECT_EQ(now->artist, "");
    fv::test::writeFile(sessions / "11.session", "garbage\x01\x02 oent\x00\x00");
    EXPECT_EQ(runOnMain(bridge.getCurrentlyPlaying()), std::nullopt);
}

TEST_F(SeratoFolder, AHangingReadIsAbandoned) {
    fs::path sessions = dir / "History" / "Sessions";
    fs::create_directories(sessions);
    // A pipe nobody writes to blocks its reader the way a dead network volume does.
    fs::path fifo = sessions / "99.session";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    bridge.readTimeout = 200ms;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(runOnMain(bridge.getCurrentlyPlaying()), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    // Let the reader left behind finish.
    int fd = ::open(fifo.c_str(), O_WRONLY);
    if (fd >= 0) ::close(fd);
}

TEST(SeratoSession, FindTextField) {
    std::string bytes = std::string("xx") + field(std::string("\0\0\0\x06", 4), u16("Titel")) +
                        field(std::string("\0\0\0\x06", 4), u16("Zweiter"));
    EXPECT_EQ(seratoFindTextField(bytes, 6), "Titel") << "the first hit wins";
    EXPECT_EQ(seratoFindTextField(bytes, 7), std::nullopt);
    // A value running past the end is taken up to the end.
    EXPECT_EQ(seratoFindTextField(std::string("\0\0\0\x07\0\0\x01\0", 8) + u16("Kurz"), 7), "Kurz");
    EXPECT_EQ(seratoFindTextField(std::string("\0\0\0\x07\0\0\0\x03"
                                              "abc",
                                              11),
                                  7),
              std::nullopt)
        << "odd length";
}
