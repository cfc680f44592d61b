// The database server over real TCP on loopback, driven by a client that speaks as a player does.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "cdjlink/AnlzTestFiles.hpp"
#include "cdjlink/CDJDbServer.hpp"
#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJSockets.hpp"
#include "cdjlink/DbTestClient.hpp"
#include "core/SerialQueue.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace fv::cdj::dbtest;
using namespace std::chrono_literals;
namespace at = fv::cdj::anlztest;

namespace {

bool logged(const std::string& text) {
    for (const auto& e : cdjLog().entries())
        if (e.message == text) return true;
    return false;
}

bool loggedWithPrefix(const std::string& tag, const std::string& prefix) {
    for (const auto& e : cdjLog().entries())
        if (e.tag == tag && e.message.rfind(prefix, 0) == 0) return true;
    return false;
}

template <typename P>
bool waitFor(P pred, std::chrono::milliseconds timeout = 5000ms) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

CDJTrack track(uint32_t id, std::string title, std::string artist, std::string key, int64_t bpm100,
               int64_t duration = 240) {
    CDJTrack t;
    t.id = id;
    t.title = std::move(title);
    t.artist = std::move(artist);
    t.album = "Album " + std::to_string(id);
    t.genre = id % 2 ? "Techno" : "House";
    t.key = std::move(key);
    t.bpm100 = bpm100;
    t.duration = duration;
    t.filePath = "/music/" + std::to_string(id) + ".mp3";
    t.fileSize = 8'000'000;
    t.fileType = "mp3";
    t.comment = "Kommentar " + std::to_string(id);
    t.rating = id % 6;
    t.color = 2;
    t.year = 2000 + id;
    return t;
}

struct Fixture {
    test::TempDir dir;
    SerialQueue queue{"floorvote.cdjlink.test"};
    std::shared_ptr<CDJLibrary> library = std::make_shared<CDJLibrary>();
    CDJAnlzCache anlz;
    std::shared_ptr<CDJDbServer> server;
    std::mutex tagMutex;
    std::vector<std::vector<uint32_t>> tagReports;
    Bytes art, dat, ext;

    explicit Fixture(CDJLinkSettings settings = {}) {
        std::vector<CDJTrack> tracks{
            track(1, "Apfelbaum", "Kraftklub", "Am", 12800, 200),
            track(2, "ABCD", "Band", "C", 12000),
            track(3, "Zebra", "xabc", "H", 9000, 0),
            track(4, "Äpfel", "Öl", " Am ", 17400),
            track(5, "banane", "Die Ärzte", "F#m", 12500),
        };
        for (uint32_t id = 6; id <= 12; ++id) tracks.push_back(track(id, "Track " + std::to_string(id), "DJ", "G", 12600));
        CDJTrack message = blankTrack();
        message.id = 99;
        message.title = "Gruß von Tisch 4";
        tracks.push_back(message);

        art = Bytes{0xff, 0xd8, 0xff, 0xe0, 1, 2, 3, 0xff, 0xd9};
        at::writeBytes(dir / "art1.jpg", art);
        at::writeBytes(dir / "art2.jpg", Bytes(40 * 1024, 0xab));
        tracks[0].artwork = (dir / "art1.jpg").string();
        tracks[1].artwork = (dir / "art2.jpg").string();
        Bytes cols(400);
        for (size_t i = 0; i < cols.size(); ++i) cols[i] = uint8_t(i);
        dat = at::anlzFile({at::previewSection("PWAV", 400, cols), at::pqtz(2, {{1, 12800, 100}, {2, 12800, 569}})});
        ext = at::anlzFile({at::pwv3(1, 5, {1, 2, 3, 4, 5}),
                            at::pco2(1, {at::pcp2(1, 1, 1000, 0, 0, u"", 1), at::pcp2(2, 2, 2000, 4000, 0, u"", 9)})});
        at::writeBytes(dir / "ANLZ0000.DAT", dat);
        at::writeBytes(dir / "ANLZ0000.EXT", ext);
        tracks[0].anlz = {{"DAT", (dir / "ANLZ0000.DAT").string()}, {"EXT", (dir / "ANLZ0000.EXT").string()}};

        std::vector<uint32_t> confirmed{12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
        library->replaceContent(tracks, {{4711, "Bestätigte Wünsche", confirmed}, {4716, "Nachrichten", {99}}});

        settings.dbPort = 0;
        server = std::make_shared<CDJDbServer>(queue, library, settings, 0, anlz);
        server->onTagListChanged = [this](const std::vector<uint32_t>& list) {
            std::lock_guard g(tagMutex);
            tagReports.push_back(list);
        };
        server->start();
    }
    ~Fixture() {
        server->stop();
        server.reset();
        queue.stop();
    }

    std::unique_ptr<Client> connect() {
        auto c = std::make_unique<Client>(server->dbPort());
        c->greet();
        return c;
    }
};

// The fields of a 0x4101 item, by their meaning.
struct Item {
    uint32_t parent, id;
    std::string label1, label2;
    uint32_t type, flags, art, pos, f11, keyPos, f13;
    std::string further;
    uint32_t f16;
};

Item item(const Answer& a) {
    // Each text's byte length comes right before it.
    EXPECT_EQ(a.num(2), (a.args[3].units.size() + 1) * 2);
    EXPECT_EQ(a.num(4), (a.args[5].units.size() + 1) * 2);
    EXPECT_EQ(a.num(13), (a.args[14].units.size() + 1) * 2);
    return {a.num(0), a.num(1), a.args[3].text(), a.args[5].text(), a.num(6), a.num(7), a.num(8),
            a.num(9), a.num(10), a.num(11), a.num(12), a.args[14].text(), a.num(15)};
}

std::vector<std::string> titles(const std::vector<Answer>& items) {
    std::vector<std::string> out;
    for (const auto& a : items) out.push_back(item(a).label1);
    return out;
}

const std::string wrapOpen = "\xEF\xBF\xBA";   // U+FFFA
const std::string wrapClose = "\xEF\xBF\xBB";  // U+FFFB

}  // namespace

TEST(DbSession, PlayerBrowsesMenusOverLoopback) {
    Fixture fx;
    // Port query, as players send it, then the greeting and the setup.
    Raw name{'R', 'e', 'm', 'o', 't', 'e', 'D', 'B', 'S', 'e', 'r', 'v', 'e', 'r', 0};
    EXPECT_EQ(askPort(fx.server->queryPort(), name), fx.server->dbPort());
    EXPECT_TRUE(logged("CDJ 127.0.0.1 fragt DB-Port (\"RemoteDBServer\") → " + std::to_string(fx.server->dbPort())));

    auto c = fx.connect();
    c->setTxid(0xfffffffd);
    auto setup = c->request(0x0000, {n(2)});
    EXPECT_EQ(setup.type, 0x4000);
    EXPECT_EQ(setup.nums(), (std::vector<uint32_t>{0, 17}));
    c->setTxid(0);

    // Root menu: count, then rows rebuilt from the settings, texts wrapped.
    auto root = c->request(0x1000, {n(dmst(2, 1)), n(0), n(0x00ffffff)});
    EXPECT_EQ(root.nums(), (std::vector<uint32_t>{0x1000, 3}));
    auto rootItems = c->render(1, 0, 3, 3);
    ASSERT_EQ(rootItems.size(), 3u);
    Item playlistRoot = item(rootItems[0]);
    EXPECT_EQ(playlistRoot.id, 5u);
    EXPECT_EQ(playlistRoot.type, 0x84u);
    EXPECT_EQ(playlistRoot.label1, wrapOpen + "PLAYLIST" + wrapClose);
    EXPECT_EQ(rootItems[0].num(2), 2u * 11u);  // 8 letters, 2 markers, the zero unit
    EXPECT_EQ(item(rootItems[1]).id, 4u);
    EXPECT_EQ(item(rootItems[1]).type, 0x83u);
    EXPECT_EQ(item(rootItems[2]).id, 0x12u);
    EXPECT_EQ(item(rootItems[2]).type, 0x91u);
    EXPECT_EQ(item(rootItems[2]).flags, 0u);

    // All tracks, alphabetically: case and umlauts fold ("Äpfel" with the a's), the message entry too.
    auto all = c->request(0x1004, {n(dmst(2, 1)), n(1)});
    EXPECT_EQ(all.nums(), (std::vector<uint32_t>{0x1004, 13}));
    auto rows = c->render(1, 0, 64, 13);
    EXPECT_EQ(titles(rows), (std::vector<std::string>{"ABCD", "Äpfel", "Apfelbaum", "banane", "Gruß von Tisch 4",
                                                      "Track 10", "Track 11", "Track 12", "Track 6", "Track 7",
                                                      "Track 8", "Track 9", "Zebra"}));
    Item apfel = item(rows[2]);
    EXPECT_EQ(apfel.parent, 0u);
    EXPECT_EQ(apfel.id, 1u);
    EXPECT_EQ(apfel.label2, "Kraftklub");  // the configured column: artist
    EXPECT_EQ(apfel.type, 0x04u);
    EXPECT_EQ(apfel.flags, 0x01000000u);
    EXPECT_EQ(apfel.art, 1u);  // artwork present: its id is the track's
    EXPECT_EQ(apfel.pos, 0u);
    EXPECT_EQ(apfel.f11, 0x100u);
    EXPECT_EQ(apfel.further, "Am");
    EXPECT_EQ(apfel.keyPos, 15u);
    EXPECT_EQ(apfel.f13, 12800u);
    EXPECT_EQ(apfel.f16, 0x07u);
    EXPECT_EQ(item(rows[1]).keyPos, 15u);  // " Am " trimmed
    EXPECT_EQ(item(rows[12]).keyPos, 0u);  // "H" is no key
    EXPECT_EQ(item(rows[4]).flags, 0u);    // the message entry cannot be loaded
    EXPECT_EQ(item(rows[0]).art, 2u);

    // Every other sort order: BPM ascending, artist (label2 shows the artist), key position.
    c->request(0x1004, {n(dmst(2, 1)), n(4)});
    auto byBpm = c->render(1, 0, 0, 13);
    ASSERT_EQ(byBpm.size(), 13u);
    EXPECT_EQ(item(byBpm[0]).label1, "Gruß von Tisch 4");
    EXPECT_EQ(item(byBpm[1]).label1, "Zebra");
    EXPECT_EQ(item(byBpm[1]).label2, "90.00");
    EXPECT_EQ(item(byBpm[1]).f16, 0x0du);
    EXPECT_EQ(item(byBpm[12]).label1, "Äpfel");
    c->request(0x1004, {n(dmst(2, 1)), n(2)});
    auto byArtist = c->render(1, 0, 3, 13);
    EXPECT_EQ(titles(byArtist), (std::vector<std::string>{"Gruß von Tisch 4", "ABCD", "banane"}));
    EXPECT_EQ(item(byArtist[2]).label2, "Die Ärzte");
    c->request(0x1004, {n(dmst(2, 1)), n(12)});
    auto byKey = c->render(1, 0, 0, 13);
    EXPECT_EQ(item(byKey[0]).keyPos, 0u);
    EXPECT_EQ(item(byKey[12]).keyPos, 21u);

    // Paging: offset and limit; limit 0 is the rest; past the end only header and footer.
    c->request(0x1004, {n(dmst(2, 1)), n(1)});
    EXPECT_EQ(titles(c->render(1, 10, 2, 13)), (std::vector<std::string>{"Track 8", "Track 9"}));
    c->request(0x1004, {n(dmst(2, 1)), n(1)});
    EXPECT_EQ(titles(c->render(1, 11, 0, 13)), (std::vector<std::string>{"Track 9", "Zebra"}));
    c->request(0x1004, {n(dmst(2, 1)), n(1)});
    EXPECT_TRUE(c->render(1, 20, 5, 13).empty());

    // Playlists: the folder, then one playlist in its own order with positions.
    auto folder = c->request(0x1105, {n(dmst(2, 1)), n(0), n(0), n(1)});
    EXPECT_EQ(folder.nums(), (std::vector<uint32_t>{0x1105, 2}));
    auto lists = c->render(1, 0, 2, 2);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(item(lists[0]).id, 4711u);
    EXPECT_EQ(item(lists[0]).label1, "Bestätigte Wünsche");
    EXPECT_EQ(item(lists[0]).type, 0x08u);
    EXPECT_EQ(item(lists[0]).art, 0u);
    EXPECT_EQ(item(lists[1]).label1, "Nachrichten");
    auto confirmed = c->request(0x1105, {n(dmst(2, 1)), n(0), n(4711), n(0)});
    EXPECT_EQ(confirmed.nums(), (std::vector<uint32_t>{0x1105, 12}));
    auto inOrder = c->render(1, 0, 12, 12);
    ASSERT_EQ(inOrder.size(), 12u);
    EXPECT_EQ(item(inOrder[0]).id, 12u);
    EXPECT_EQ(item(inOrder[0]).pos, 1u);
    EXPECT_EQ(item(inOrder[11]).id, 1u);
    EXPECT_EQ(item(inOrder[11]).pos, 12u);
    EXPECT_TRUE(logged("#1 0x1105 Playlist 4711 \"Bestätigte Wünsche\" (sort 0)  [0x2010401, 0x0, 0x1267, 0x0]"));
    // The list position of a track in the session's current list.
    auto position = c->request(0x3100, {n(dmst(2, 1)), n(3)});
    EXPECT_EQ(position.nums(), (std::vector<uint32_t>{0x3100, 9}));

    // Search: lower-cased in title + artist; players send upper case.
    auto found = c->request(0x1300, {n(dmst(2, 1)), n(1), n(8), s(u"ABC"), n(0)});
    EXPECT_EQ(found.nums(), (std::vector<uint32_t>{0x1300, 2}));
    EXPECT_EQ(titles(c->render(1, 0, 2, 2)), (std::vector<std::string>{"ABCD", "Zebra"}));
    EXPECT_TRUE(logged("#1 0x1300 Suche \"ABC\"  [0x2010401, 0x1, 0x8, \"ABC\", 0x0]"));
    auto umlaut = c->request(0x1300, {n(dmst(2, 1)), n(1), n(8), s(u"ÄRZTE"), n(0)});
    EXPECT_EQ(umlaut.num(1), 1u);
    c->render(1, 0, 1, 1);

    // Sort menu with the default ids.
    c->request(0x1400, {n(dmst(2, 2)), n(0)});
    std::vector<std::string> sorts;
    for (const auto& a : c->render(2, 0, 0, 8)) sorts.push_back(item(a).label1);
    EXPECT_EQ(sorts, (std::vector<std::string>{wrapOpen + "DEFAULT" + wrapClose, wrapOpen + "ALPHABET" + wrapClose,
                                               wrapOpen + "ARTIST" + wrapClose, wrapOpen + "ALBUM" + wrapClose,
                                               wrapOpen + "BPM" + wrapClose, wrapOpen + "RATING" + wrapClose,
                                               wrapOpen + "GENRE" + wrapClose, wrapOpen + "KEY" + wrapClose}));

    // Metadata of track 1: sixteen rows with the texts of the record.
    auto meta = c->request(0x2002, {n(dmst(2, 1)), n(1)});
    EXPECT_EQ(meta.nums(), (std::vector<uint32_t>{0x2002, 16}));
    auto metaRows = c->render(1, 0, 16, 16);
    ASSERT_EQ(metaRows.size(), 16u);
    std::vector<uint32_t> types;
    for (const auto& a : metaRows) types.push_back(item(a).type);
    EXPECT_EQ(types, (std::vector<uint32_t>{0x04, 0x07, 0x02, 0x0b, 0x0d, 0x0f, 0x0a, 0x13, 0x06, 0x2e, 0x23, 0x0e,
                                            0x10, 0x11, 0x28, 0x29}));
    EXPECT_EQ(item(metaRows[0]).label1, "Apfelbaum");
    EXPECT_EQ(item(metaRows[0]).id, 1u);
    EXPECT_EQ(item(metaRows[0]).art, 1u);
    EXPECT_EQ(item(metaRows[0]).flags, 0u);
    EXPECT_EQ(item(metaRows[1]).label1, "Kraftklub");
    EXPECT_EQ(item(metaRows[2]).label1, "Album 1");
    EXPECT_EQ(item(metaRows[3]).id, 200u);
    EXPECT_EQ(item(metaRows[3]).label1, "3:20");
    EXPECT_EQ(item(metaRows[4]).id, 12800u);
    EXPECT_EQ(item(metaRows[5]).label1, "Am");
    EXPECT_EQ(item(metaRows[6]).id, 1u);
    EXPECT_EQ(item(metaRows[7]).label1, "Rot");
    EXPECT_EQ(item(metaRows[8]).label1, "Techno");
    EXPECT_EQ(item(metaRows[10]).label1, "Kommentar 1");
    EXPECT_EQ(item(metaRows[12]).id, 320u);  // 8 MB over 200 s
    EXPECT_EQ(item(metaRows[13]).label1, "2001");
    auto unknown = c->request(0x2002, {n(dmst(2, 1)), n(777)});
    EXPECT_EQ(unknown.nums(), (std::vector<uint32_t>{0x2002, 0}));
    EXPECT_TRUE(c->render(1, 0, 0, 0).empty());
    EXPECT_TRUE(logged("#1 0x2002 Metadata → Track unbekannt  [0x2010401, 0x309]"));

    // Track information: seven rows; a length of 0 shows as 180 s.
    auto info = c->request(0x2102, {n(dmst(2, 3)), n(3)});
    EXPECT_EQ(info.nums(), (std::vector<uint32_t>{0x2102, 7}));
    auto infoRows = c->render(3, 0, 7, 7);
    ASSERT_EQ(infoRows.size(), 7u);
    types.clear();
    for (const auto& a : infoRows) types.push_back(item(a).type);
    EXPECT_EQ(types, (std::vector<uint32_t>{0x04, 0x0b, 0x0d, 0x23, 0x00, 0x2f, 0x0f}));
    EXPECT_EQ(item(infoRows[1]).id, 180u);
    EXPECT_EQ(item(infoRows[2]).id, 9000u);
    EXPECT_EQ(item(infoRows[4]).label1, "MP3");
    EXPECT_EQ(item(infoRows[4]).label2, "3.mp3");
    EXPECT_EQ(c->request(0x2102, {n(dmst(2, 3)), n(99)}).num(1), 0u);
    EXPECT_TRUE(loggedWithPrefix("DB", "#1 0x2102 TrackInfo → virtueller Eintrag (Nachricht), nicht ladbar"));

    // Track detail: thirteen rows in their order.
    EXPECT_EQ(c->request(0x2602, {n(dmst(2, 3)), n(2)}).num(1), 13u);
    types.clear();
    for (const auto& a : c->render(3, 0, 0, 13)) types.push_back(item(a).type);
    EXPECT_EQ(types, (std::vector<uint32_t>{0x4f, 0x04, 0x07, 0x12, 0x06, 0x0f, 0x0b, 0x02, 0x0d, 0x37, 0x36, 0x0e,
                                            0x23}));

    // Artwork: the image as blob; over 32 KB or missing: length 0 and an empty blob.
    auto image = c->request(0x2003, {n(dmst(2, 8)), n(1)});
    EXPECT_EQ(image.type, 0x4002);
    ASSERT_EQ(image.args.size(), 4u);
    EXPECT_EQ(image.num(0), 0x2003u);
    EXPECT_EQ(image.num(1), 0u);
    EXPECT_EQ(image.num(2), fx.art.size());
    EXPECT_EQ(image.args[3].blob, fx.art);
    auto big = c->request(0x2003, {n(dmst(2, 8)), n(2)});
    EXPECT_EQ(big.nums(), (std::vector<uint32_t>{0x2003, 0, 0}));
    EXPECT_TRUE(logged("#1 0x2003 Artwork 2 → 40960 B > 32 KB – übersprungen  [0x2080401, 0x2]"));
    EXPECT_EQ(c->request(0x2003, {n(dmst(2, 8)), n(3)}).nums(), (std::vector<uint32_t>{0x2003, 0, 0}));

    // Waveform preview: the request announces a blob it leaves out.
    auto preview = c->request(0x2004, {n(dmst(2, 8)), n(4), n(1), n(0), omittedBlob()});
    EXPECT_EQ(preview.type, 0x4402);
    ASSERT_EQ(preview.args.size(), 4u);
    EXPECT_EQ(preview.num(2), 900u);
    ASSERT_EQ(preview.args[3].blob.size(), 900u);
    EXPECT_EQ(preview.args[3].blob[2 * 37], 37 & 0x1f);
    EXPECT_EQ(preview.args[3].blob[2 * 37 + 1], 37 >> 5);
    EXPECT_EQ(c->request(0x2004, {n(dmst(2, 8)), n(4), n(2), n(0), omittedBlob()}).nums(),
              (std::vector<uint32_t>{0x2004, 0, 0}));

    // Waveform detail, beat grid and cues of the analysis files.
    auto detail = c->request(0x2904, {n(dmst(2, 1)), n(1), n(0)});
    EXPECT_EQ(detail.type, 0x4a02);
    ASSERT_EQ(detail.args.size(), 5u);
    EXPECT_EQ(detail.num(2), 5u);
    EXPECT_EQ(detail.args[3].blob, (Raw{1, 2, 3, 4, 5}));
    EXPECT_EQ(detail.num(4), 0u);
    auto grid = c->request(0x2204, {n(dmst(2, 8)), n(1)});
    EXPECT_EQ(grid.type, 0x4602);
    ASSERT_EQ(grid.args.size(), 5u);
    EXPECT_EQ(grid.num(2), 0u);  // the beat grid answer sends 0 here, not the length
    ASSERT_EQ(grid.args[3].blob.size(), 52u);
    EXPECT_EQ(at::le32(grid.args[3].blob, 4), 2u);
    EXPECT_EQ(at::le32(grid.args[3].blob, 24 + 16), 569u);
    EXPECT_TRUE(logged("#1 0x2204 Beatgrid → 2 Beats  [0x2080401, 0x1]"));
    EXPECT_EQ(c->request(0x2204, {n(dmst(2, 8)), n(2)}).nums(), (std::vector<uint32_t>{0x2204, 0, 0, 0}));
    EXPECT_TRUE(logged("#1 0x2204 Beatgrid → keins  [0x2080401, 0x2]"));
    auto cues = c->request(0x2b04, {n(dmst(2, 8)), n(1), n(0)});
    EXPECT_EQ(cues.type, 0x4e02);
    ASSERT_EQ(cues.args.size(), 5u);
    EXPECT_EQ(cues.num(2), 248u);
    EXPECT_EQ(cues.num(4), 2u);
    const Raw& cueBytes = cues.args[3].blob;
    EXPECT_EQ(cueBytes[4], 1);
    EXPECT_EQ(at::le32(cueBytes, 12), 1000u);
    EXPECT_EQ(cueBytes[124 + 6], 2);
    EXPECT_EQ(at::le32(cueBytes, 124 + 16), 4000u);
    EXPECT_EQ(c->request(0x2b04, {n(dmst(2, 8)), n(2), n(0)}).nums(), (std::vector<uint32_t>{0x2b04, 0, 0, 0}));
    EXPECT_TRUE(logged("#1 0x2b04 Cues (NXS2) → leer  [0x2080401, 0x2, 0x0]"));

    // Any section by tag: PWV3 of the extended file, PQTZ of the base file, a missing one.
    auto section = c->request(0x2c04, {n(dmst(2, 1)), n(1), n(fourcc("PWV3")), n(fourcc("EXT"))});
    EXPECT_EQ(section.type, 0x4f02);
    ASSERT_EQ(section.args.size(), 5u);
    Raw pwv3 = at::pwv3(1, 5, {1, 2, 3, 4, 5});
    EXPECT_EQ(section.num(2), pwv3.size());
    EXPECT_EQ(section.args[3].blob, pwv3);
    EXPECT_EQ(section.num(4), 1u);
    auto fromDat = c->request(0x2c04, {n(dmst(2, 1)), n(1), n(fourcc("PQTZ")), n(fourcc("DAT"))});
    EXPECT_EQ(fromDat.args[3].blob, at::pqtz(2, {{1, 12800, 100}, {2, 12800, 569}}));
    EXPECT_EQ(c->request(0x2c04, {n(dmst(2, 1)), n(1), n(fourcc("PWV5")), n(fourcc("EXT"))}).nums(),
              (std::vector<uint32_t>{0x2c04, 0, 0, 1}));
    EXPECT_TRUE(logged("#1 0x2c04 ANLZ PWV5/EXT → nicht vorhanden  [0x2010401, 0x1, 0x35565750, 0x545845]"));
    c->request(0x2c04, {n(dmst(2, 1)), n(500), n(fourcc("PWV5")), n(fourcc("2EX"))});
    EXPECT_TRUE(loggedWithPrefix("DB", "#1 0x2c04 ANLZ PWV5/2EX (Track unbekannt)"));

    // Tag List: add, list (flag +1 in the row), remove; each change is reported.
    EXPECT_EQ(c->request(0x3002, {n(dmst(2, 1)), n(3), n(1)}).nums(), (std::vector<uint32_t>{0x3002, 0}));
    EXPECT_EQ(c->request(0x3002, {n(dmst(2, 1)), n(5), n(1)}).nums(), (std::vector<uint32_t>{0x3002, 0}));
    EXPECT_EQ(c->request(0x100f, {n(dmst(2, 1)), n(0)}).nums(), (std::vector<uint32_t>{0x100f, 2}));
    auto tagged = c->render(1, 0, 0, 2);
    ASSERT_EQ(tagged.size(), 2u);
    EXPECT_EQ(item(tagged[0]).id, 3u);
    EXPECT_EQ(item(tagged[0]).flags, 0x01000001u);
    EXPECT_EQ(c->request(0x3002, {n(dmst(2, 1)), n(3), n(0)}).nums(), (std::vector<uint32_t>{0x3002, 0}));
    EXPECT_EQ(fx.library->tagList(), (std::vector<uint32_t>{5}));
    {
        std::lock_guard g(fx.tagMutex);
        EXPECT_EQ(fx.tagReports, (std::vector<std::vector<uint32_t>>{{3}, {3, 5}, {5}}));
    }

    // The small acknowledgements, and an unknown type.
    EXPECT_EQ(c->request(0x2104, {n(dmst(2, 8)), n(1)}).nums(), (std::vector<uint32_t>{0x2104, 0}));
    EXPECT_EQ(c->request(0x2504, {n(dmst(2, 8)), n(1)}).nums(), (std::vector<uint32_t>{0x2504, 0, 0, 0}));
    EXPECT_EQ(c->request(0x3d03, {n(dmst(2, 8))}).nums(), (std::vector<uint32_t>{0x3d03, 6}));
    auto extension = c->request(0x3e03, {n(dmst(2, 8))});
    EXPECT_EQ(extension.type, 0x4b02);
    EXPECT_EQ(extension.nums(), (std::vector<uint32_t>{0x3e03, 2, 0, 0}));
    EXPECT_EQ(c->request(0x3006, {n(dmst(2, 1)), n(1)}).type, 0x4d02);
    auto media = c->request(0x3007, {n(dmst(2, 1))});
    EXPECT_EQ(media.type, 0x4002);
    EXPECT_EQ(media.args[3].text(), "Floorvote Library");
    EXPECT_EQ(media.num(4), 13u);
    EXPECT_EQ(media.num(5), 2u);
    EXPECT_EQ(c->request(0x110f, {n(dmst(2, 1))}).type, 0x4003);
    EXPECT_EQ(c->request(0x2107, {n(dmst(2, 1)), n(1), n(3)}).nums(), (std::vector<uint32_t>{0x2107, 1}));
    EXPECT_EQ(c->request(0x2705, {n(dmst(2, 1)), n(1), n(0), omittedBlob()}).type, 0x4000);
    EXPECT_EQ(c->request(0x7777, {n(dmst(2, 1))}).nums(), (std::vector<uint32_t>{0x7777, 0}));
    EXPECT_TRUE(logged("#1 0x7777 unbehandelt  [0x2010401]"));
    EXPECT_EQ(fx.library->track(1)->rating, 1);  // the rating write stored nothing

    // Requests without an answer: the next answer belongs to the next request.
    c->send(encodeRequest(c->nextTxid(), 0x3001, {n(dmst(2, 1))}));
    c->setTxid(c->nextTxid());
    auto after = c->request(0x0000, {n(2)});
    EXPECT_EQ(after.nums(), (std::vector<uint32_t>{0, 17}));
    c->send(encodeRequest(c->nextTxid(), 0x0100, {}));
    EXPECT_TRUE(c->quiet(100ms));
}

// Clients read the data answers by fixed argument positions: the blob is there even when empty.
TEST(DbSession, DataAnswersKeepTheirArgumentKindsWithAndWithoutData) {
    Fixture fx;
    auto c = fx.connect();
    struct Case {
        const char* what;
        uint16_t request;
        std::vector<Arg> withData, without;
        uint16_t answer;
        std::vector<uint8_t> kinds;  // 0x11 number, 0x14 blob
    };
    const std::vector<uint8_t> four{0x11, 0x11, 0x11, 0x14};
    const std::vector<uint8_t> five{0x11, 0x11, 0x11, 0x14, 0x11};
    std::vector<Case> cases{
        {"artwork", 0x2003, {n(dmst(2, 8)), n(1)}, {n(dmst(2, 8)), n(3)}, 0x4002, four},
        {"waveform preview", 0x2004, {n(dmst(2, 8)), n(4), n(1), n(0), omittedBlob()},
         {n(dmst(2, 8)), n(4), n(2), n(0), omittedBlob()}, 0x4402, four},
        {"waveform detail", 0x2904, {n(dmst(2, 1)), n(1), n(0)}, {n(dmst(2, 1)), n(2), n(0)}, 0x4a02, five},
        {"beat grid", 0x2204, {n(dmst(2, 8)), n(1)}, {n(dmst(2, 8)), n(2)}, 0x4602, five},
        {"cues", 0x2b04, {n(dmst(2, 8)), n(1), n(0)}, {n(dmst(2, 8)), n(2), n(0)}, 0x4e02, five},
        {"analysis section", 0x2c04, {n(dmst(2, 1)), n(1), n(fourcc("PWV3")), n(fourcc("EXT"))},
         {n(dmst(2, 1)), n(2), n(fourcc("PWV3")), n(fourcc("EXT"))}, 0x4f02, five},
    };
    auto kindsOf = [](const Answer& a) {
        std::vector<uint8_t> k;
        for (const auto& f : a.args) k.push_back(f.type);
        return k;
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.what);
        auto full = c->request(cs.request, cs.withData);
        EXPECT_EQ(full.type, cs.answer);
        EXPECT_EQ(kindsOf(full), cs.kinds);
        ASSERT_EQ(full.args.size(), cs.kinds.size());
        EXPECT_FALSE(full.args[3].blob.empty());
        auto empty = c->request(cs.request, cs.without);
        EXPECT_EQ(empty.type, cs.answer);
        EXPECT_EQ(kindsOf(empty), cs.kinds);
        ASSERT_EQ(empty.args.size(), cs.kinds.size());
        EXPECT_TRUE(empty.args[3].blob.empty());
        EXPECT_EQ(empty.num(2), 0u);
        // The tag list announces the same kinds: 0x06 number, 0x03 blob.
        for (size_t i = 0; i < cs.kinds.size(); ++i)
            EXPECT_EQ(empty.tags.at(i), cs.kinds[i] == 0x14 ? 0x03 : 0x06) << i;
    }
}

TEST(DbSession, GreetingAndRequestsArriveInAnyPieces) {
    CDJLinkSettings settings;
    settings.rootCategories = {CDJRootCategory::search};
    settings.deviceNumber = 23;
    Fixture fx(settings);

    // The greeting together with the first request: echo, then the answer, in order.
    {
        Client c(fx.server->dbPort());
        Raw both{0x11, 0, 0, 0, 1};
        Raw setup = encodeRequest(1, 0x0000, {n(3)});
        both.insert(both.end(), setup.begin(), setup.end());
        c.send(both);
        EXPECT_EQ(c.read(5), (Raw{0x11, 0, 0, 0, 1}));
        auto a = c.answer();
        EXPECT_EQ(a.txid, 1u);
        EXPECT_EQ(a.nums(), (std::vector<uint32_t>{0, 23}));
    }
    // Greeting and a framed request, one byte per segment: one answer, when the last byte is in.
    {
        Client c(fx.server->dbPort());
        Raw body = encodeRequest(7, 0x1000, {n(dmst(2, 1)), n(0), n(0x00ffffff)});
        Raw stream{0x11, 0, 0, 0, 1, 0, 0, 0, uint8_t(body.size())};
        stream.insert(stream.end(), body.begin(), body.end());
        for (size_t i = 0; i < stream.size(); ++i) {
            c.send(Raw{stream[i]});
            if (i == 4) {
                EXPECT_EQ(c.read(5), (Raw{0x11, 0, 0, 0, 1}));
            }
            if (i + 1 < stream.size() && i > 4 && i % 16 == 0) {
                EXPECT_TRUE(c.quiet(5ms)) << i;
            }
        }
        auto a = c.answer();
        EXPECT_EQ(a.txid, 7u);
        EXPECT_EQ(a.nums(), (std::vector<uint32_t>{0x1000, 1}));
        // Root with only "search": one row, SEARCH with id 0x12 and type 0x91.
        c.setTxid(7);
        auto rows = c.render(1, 0, 1, 1);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(item(rows[0]).id, 0x12u);
        EXPECT_EQ(item(rows[0]).type, 0x91u);
        EXPECT_EQ(item(rows[0]).label1, wrapOpen + "SEARCH" + wrapClose);
    }
    // Several requests in one segment: all answered, in order.
    {
        auto c = fx.connect();
        Raw three;
        for (uint32_t tx = 1; tx <= 3; ++tx) {
            Raw r = encodeRequest(tx, 0x2002, {n(dmst(2, 1)), n(tx)});
            three.insert(three.end(), r.begin(), r.end());
        }
        c->send(three);
        for (uint32_t tx = 1; tx <= 3; ++tx) {
            auto a = c->answer();
            EXPECT_EQ(a.txid, tx);
            EXPECT_EQ(a.nums(), (std::vector<uint32_t>{0x2002, 16}));
        }
    }
    EXPECT_TRUE(waitFor([&] { return fx.server->openSessions() == 0; }));
    EXPECT_TRUE(loggedWithPrefix("DB", "#1 Handshake 11 00 00 00 01"));
    EXPECT_TRUE(logged("Session #1 von 127.0.0.1"));
    EXPECT_TRUE(waitFor([] { return logged("Session #1 von 127.0.0.1 beendet"); }));
}

TEST(DbSession, DesynchronisedSessionEndsAloneWhileOthersAreServed) {
    Fixture fx;
    auto good = fx.connect();
    auto bad = fx.connect();
    EXPECT_EQ(fx.server->openSessions(), 2u);

    // A stream that begins with a blob field instead of the magic.
    bad->send(Raw{0x14, 0, 0, 0, 0x0c, 6, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(bad->closedByPeer());
    EXPECT_TRUE(waitFor([] {
        return logged("#2 Parser: Magic falsch: 14 00 00 00 0c 06 06 00 00 00 00 00 00 00 00 00 – Session beendet");
    }));
    EXPECT_TRUE(waitFor([&] { return fx.server->openSessions() == 1; }));

    // An answer already due is still sent before the session ends on the garbage after it.
    auto late = fx.connect();
    Raw ok = encodeRequest(1, 0x0000, {n(2)});
    Raw garbage{0x11, 0x87, 0x23, 0x49, 0xae, 0x10, 1, 2, 3, 4};
    ok.insert(ok.end(), garbage.begin(), garbage.end());
    late->send(ok);
    EXPECT_EQ(late->answer().nums(), (std::vector<uint32_t>{0, 17}));
    EXPECT_TRUE(late->closedByPeer());
    EXPECT_TRUE(waitFor([] { return logged("#3 Parser: txid-Feld erwartet – Session beendet"); }));

    // The other session is still answered, and new ones are accepted.
    EXPECT_EQ(good->request(0x2002, {n(dmst(2, 1)), n(1)}).nums(), (std::vector<uint32_t>{0x2002, 16}));
    EXPECT_EQ(good->render(1, 0, 1, 16).size(), 1u);
    auto fresh = fx.connect();
    EXPECT_EQ(fresh->request(0x0000, {n(2)}).nums(), (std::vector<uint32_t>{0, 17}));
}

TEST(DbServer, PortQueryListenersAndLifecycle) {
    Fixture fx;
    uint16_t dbPort = fx.server->dbPort();
    // A name sent as UTF-16 with its zero bytes.
    EXPECT_EQ(askPort(fx.server->queryPort(), Raw{0, 'R', 0, 'D', 0, 'B', 0, 0}), dbPort);
    EXPECT_TRUE(logged("CDJ 127.0.0.1 fragt DB-Port (\"RDB\") → " + std::to_string(dbPort)));
    // A query connection that goes away early leaves nothing behind; a half query is kept waiting.
    {
        Client early(fx.server->queryPort());
        early.send(Raw{0, 0, 0, 20, 'R'});
        EXPECT_TRUE(early.quiet(50ms));
    }
    EXPECT_EQ(askPort(fx.server->queryPort(), Raw{'x'}), dbPort);
    // A query length beyond reason is closed without an answer.
    {
        Client huge(fx.server->queryPort());
        huge.send(Raw{0x7f, 0, 0, 0});
        EXPECT_TRUE(huge.closedByPeer());
    }

    // Settings take effect for the next request.
    auto c = fx.connect();
    CDJLinkSettings s = fx.server->settings();
    s.deviceNumber = 31;
    s.column = CDJColumn::bpm;
    fx.server->updateSettings(s);
    EXPECT_EQ(c->request(0x0000, {n(2)}).num(1), 31u);
    c->request(0x1004, {n(dmst(2, 1)), n(0)});
    EXPECT_EQ(item(c->render(1, 0, 1, 13)[0]).label2, "120.00");

    // Stop closes listeners and sessions; a second stop does nothing; start again serves again.
    fx.server->stop();
    EXPECT_TRUE(c->closedByPeer());
    EXPECT_FALSE(fx.server->isRunning());
    fx.server->stop();
    EXPECT_THROW((void)Client(dbPort), std::runtime_error);
    fx.server->start();
    auto again = fx.connect();
    EXPECT_EQ(again->request(0x0000, {n(2)}).num(1), 31u);
    EXPECT_GE(fx.server->sessionCount(), 2);

    // A database port that is taken: the error names it, and the query listener is closed again.
    fx.server->stop();
    auto holder = CDJTcpListener::open(0, fx.queue, "holder", [](const std::shared_ptr<CDJTcpConnection>&) {});
    CDJLinkSettings taken;
    taken.dbPort = holder->port();
    auto blocked = std::make_shared<CDJDbServer>(fx.queue, fx.library, taken, 0, fx.anlz);
    try {
        blocked->start();
        ADD_FAILURE() << "start should fail";
    } catch (const CDJSocketError& e) {
        EXPECT_EQ(e.kind(), CDJSocketError::Kind::bind);
        EXPECT_EQ(e.port(), holder->port());
    }
    EXPECT_FALSE(blocked->isRunning());
    EXPECT_EQ(blocked->queryPort(), 0u);  // no query listener left open
    holder->close();
}

// Idle and hostile connections from the LAN: capped, bounded and timed out, while the player's
// session keeps being answered.
TEST(DbServer, FloodsOfIdleAndOversizedConnectionsLeaveThePlayerServed) {
    Fixture fx;
    CDJDbServer::Limits limits;
    limits.queryTimeout = 300ms;
    limits.greetingTimeout = 300ms;
    limits.idleTimeout = 60s;
    limits.evictAfterIdle = 100ms;
    limits.sweepInterval = 50ms;
    fx.server->stop();
    fx.server->setLimits(limits);
    fx.server->start();

    auto player = fx.connect();
    EXPECT_EQ(player->request(0x0000, {n(dmst(2, 0))}).type, 0x4000);

    auto rawConnect = [](uint16_t port) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        return fd;
    };
    auto closedByServer = [](int fd) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return false;
        char b[64];
        return ::recv(fd, b, sizeof b, MSG_DONTWAIT) <= 0;
    };
    std::vector<int> idle, oversized, queries;
    for (int i = 0; i < 60; ++i) idle.push_back(rawConnect(fx.server->dbPort()));
    for (int i = 0; i < 20; ++i) queries.push_back(rawConnect(fx.server->queryPort()));
    // Greeting, then a frame or a blob that claims gigabytes.
    const Raw frame{0x11, 0, 0, 0, 1, 0x00, 0x7f, 0xff, 0xff, 0xff};
    Raw blob{0x11, 0, 0, 0, 1};
    Raw head = encodeRequest(7, 0x2805, std::vector<Arg>{Arg{Raw{}}});
    blob.insert(blob.end(), head.begin(), head.end() - 5);
    blob.insert(blob.end(), {0x14, 0xff, 0xff, 0xff, 0xf0});
    for (int i = 0; i < 10; ++i) {
        int fd = rawConnect(fx.server->dbPort());
        const Raw& b = i % 2 ? frame : blob;
        EXPECT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
        oversized.push_back(fd);
    }

    // The player is answered throughout, and no more than the cap are ever open.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(player->request(0x0000, {n(dmst(2, 0))}).type, 0x4000);
        EXPECT_LE(fx.server->openSessions(), 32u);
        std::this_thread::sleep_for(20ms);
    }
    // The oversized ones end at once, the idle ones and the silent port queries after their time-out.
    EXPECT_TRUE(waitFor([&] {
        for (int fd : oversized)
            if (!closedByServer(fd)) return false;
        return true;
    }));
    EXPECT_TRUE(waitFor([&] { return fx.server->openSessions() == 1; }));
    EXPECT_TRUE(waitFor([&] {
        for (int fd : queries)
            if (!closedByServer(fd)) return false;
        return true;
    }));
    EXPECT_TRUE(loggedWithPrefix("WARN", "DB-Verbindung von 127.0.0.1 abgelehnt"));
    EXPECT_EQ(player->request(0x0000, {n(dmst(2, 0))}).type, 0x4000);
    // A new player gets in once the flood is gone.
    auto second = fx.connect();
    EXPECT_EQ(second->request(0x0000, {n(dmst(3, 0))}).type, 0x4000);
    for (auto* list : {&idle, &oversized, &queries})
        for (int fd : *list) ::close(fd);
}
