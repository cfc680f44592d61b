// The request handler driven directly, for the choices behind the answers.
#include <gtest/gtest.h>

#include "cdjlink/CDJDbMenus.hpp"
#include "cdjlink/CDJDbServer.hpp"
#include "core/SerialQueue.hpp"

using namespace fv;
using namespace fv::cdj;

namespace {

struct Handler {
    SerialQueue queue{"floorvote.cdjlink.menus"};
    std::shared_ptr<CDJLibrary> library = std::make_shared<CDJLibrary>();
    std::shared_ptr<CDJDbServer> server;
    std::unique_ptr<CDJDbSession> session;

    explicit Handler(CDJLinkSettings settings = {}) {
        std::vector<CDJTrack> tracks;
        std::vector<uint32_t> ids;
        for (uint32_t id = 1; id <= 12; ++id) {
            CDJTrack t;
            t.id = id;
            t.title = "T" + std::to_string(100 + id);
            t.filePath = "/m/" + std::to_string(id);
            tracks.push_back(t);
            ids.push_back(id);
        }
        library->replaceContent(tracks, {{1, "Zwölf", ids}});
        server = std::make_shared<CDJDbServer>(queue, library, settings, 0);
        session = std::make_unique<CDJDbSession>(1, *server, "10.99.0.2");
    }
    ~Handler() { queue.stop(); }

    std::vector<CDJDbResponse> send(uint32_t txid, uint16_t type, std::vector<uint32_t> nums) {
        CDJDbMessage m;
        m.txid = txid;
        m.type = type;
        for (uint32_t v : nums) m.args.push_back(CDJDbArg::n(v));
        m.argc = static_cast<uint8_t>(m.args.size());
        return handleDbRequest(*session, m);
    }

    // Ids of the rendered items.
    std::vector<uint32_t> render(uint32_t txid, uint8_t menu, uint32_t offset, uint32_t limit, uint32_t expected,
                                 bool full = true) {
        std::vector<uint32_t> args{uint32_t(menu) << 16, offset, limit, 0, expected};
        if (full) args.insert(args.end(), {0, 0, 0});
        auto out = send(txid, 0x3000, args);
        EXPECT_GE(out.size(), 2u);
        EXPECT_EQ(out.front().type, 0x4001);
        EXPECT_EQ(out.back().type, 0x4201);
        std::vector<uint32_t> ids;
        for (size_t i = 1; i + 1 < out.size(); ++i) {
            EXPECT_EQ(out[i].type, 0x4101);
            ids.push_back(out[i].args[1].number);
        }
        return ids;
    }
};

std::vector<uint32_t> range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> v;
    for (uint32_t i = from; i <= to; ++i) v.push_back(i);
    return v;
}

}  // namespace

TEST(DbMenus, RenderChoosesThePreparedListAndPages) {
    Handler h;
    // A playlist of 12 prepared at menu 1: offset 10 with limit 0 gives the last two.
    auto count = h.send(1, 0x1105, {1u << 16, 0, 1, 0});
    ASSERT_EQ(count.size(), 1u);
    EXPECT_EQ(count[0].type, 0x4000);
    EXPECT_EQ(count[0].args[1].number, 12u);
    EXPECT_EQ(h.render(2, 1, 10, 0, 12), (std::vector<uint32_t>{11, 12}));
    EXPECT_TRUE(h.render(3, 1, 12, 5, 12).empty());
    EXPECT_EQ(h.render(4, 1, 0, 3, 12), range(1, 3));

    // Menu 1 with an expected total that is not the last list's: the root menu when it fits.
    EXPECT_EQ(h.render(5, 1, 0, 0, 3), (std::vector<uint32_t>{5, 4, 0x12}));
    // With fewer than six arguments that rule does not apply: the menu's own list.
    EXPECT_EQ(h.render(6, 1, 0, 2, 3, false), range(1, 2));

    // By transaction id first (taken away once rendered), then by menu location, then the last.
    h.send(10, 0x2002, {2u << 16, 4});  // 16 metadata rows at menu 2
    h.send(11, 0x2102, {2u << 16, 4});  // 7 track information rows at menu 2
    EXPECT_EQ(h.render(10, 2, 0, 0, 16).size(), 16u);
    EXPECT_EQ(h.render(10, 2, 0, 0, 16).size(), 7u);
    EXPECT_EQ(h.render(12, 5, 0, 0, 0).size(), 7u);  // nothing at menu 5: the last list

    // Nothing prepared at all: header and footer only.
    Handler fresh;
    EXPECT_TRUE(fresh.render(1, 3, 0, 0, 0).empty());

    // Prepared lists that are never rendered do not pile up.
    for (uint32_t tx = 100; tx < 200; ++tx) h.send(tx, 0x1004, {1u << 16, 0});
    EXPECT_EQ(h.session->pendingByTx.size(), CDJDbSession::maxPendingByTx);
    EXPECT_EQ(h.session->pendingOrder.size(), CDJDbSession::maxPendingByTx);
    EXPECT_EQ(h.session->pendingByTx.begin()->first, 200u - CDJDbSession::maxPendingByTx);
}

TEST(DbMenus, SortMenuKeyTableAndFolders) {
    CDJLinkSettings settings;
    Handler h(settings);
    h.send(1, 0x1400, {2u << 16});
    auto out = h.send(2, 0x3000, {2u << 16, 0, 0, 0, 8, 0, 0, 0});
    std::vector<std::pair<uint32_t, uint32_t>> entries;  // id, item type
    for (size_t i = 1; i + 1 < out.size(); ++i) entries.push_back({out[i].args[1].number, out[i].args[6].number});
    EXPECT_EQ(entries, (std::vector<std::pair<uint32_t, uint32_t>>{
                           {0, 0xa1}, {1, 0xa2}, {2, 0x81}, {3, 0x82}, {4, 0x85}, {5, 0x86}, {6, 0x80}, {12, 0x8b}}));
    EXPECT_EQ(out[1].args[3], CDJOutArg::strWrapped("DEFAULT"));
    EXPECT_EQ(out[1].args[2].number, 2u * (7 + 1) + 4);

    // TIME, LABEL and DATE ADDED only when configured; always in table order.
    settings.sortMenuIds = {17, 8, 10, 0};
    Handler more(settings);
    more.send(1, 0x1400, {2u << 16});
    auto four = more.send(2, 0x3000, {2u << 16, 0, 0, 0, 4, 0, 0, 0});
    ASSERT_EQ(four.size(), 6u);
    EXPECT_EQ(four[1].args[3], CDJOutArg::strWrapped("DEFAULT"));
    EXPECT_EQ(four[2].args[3], CDJOutArg::strWrapped("TIME"));
    EXPECT_EQ(four[3].args[3], CDJOutArg::strWrapped("LABEL"));
    EXPECT_EQ(four[4].args[3], CDJOutArg::strWrapped("DATE ADDED"));
    EXPECT_EQ(four[4].args[6].number, 0x8cu);

    // Key table: trimmed, both spellings, unknown texts 0.
    EXPECT_EQ(keyPosition("  Am "), 15u);
    EXPECT_EQ(keyPosition("H"), 0u);
    EXPECT_EQ(keyPosition(""), 0u);
    EXPECT_EQ(keyPosition("am"), 0u);
    const std::vector<std::pair<std::string, uint32_t>> wheel{
        {"Abm", 1}, {"G#m", 1}, {"B", 2},    {"Ebm", 3}, {"D#m", 3}, {"F#", 4},  {"Gb", 4},   {"Bbm", 5},  {"A#m", 5},
        {"Db", 6},  {"C#", 6},  {"Fm", 7},   {"Ab", 8},  {"G#", 8},  {"Cm", 9},  {"Eb", 10},  {"D#", 10},  {"Gm", 11},
        {"Bb", 12}, {"A#", 12}, {"Dm", 13},  {"F", 14},  {"Am", 15}, {"C", 16},  {"Em", 17},  {"G", 18},   {"Bm", 19},
        {"D", 20},  {"F#m", 21}, {"Gbm", 21}, {"A", 22}, {"Dbm", 23}, {"C#m", 23}, {"E", 24}};
    for (const auto& [text, pos] : wheel) EXPECT_EQ(keyPosition(text), pos) << text;

    // Column codes as sent.
    EXPECT_EQ(columnCode(CDJColumn::none), 0u);
    EXPECT_EQ(columnCode(CDJColumn::color), 0x17u);
    EXPECT_EQ(columnCode(CDJColumn::dateAdded), 0x2eu);

    // The playlist folder with fewer than four arguments; an unknown playlist is empty.
    EXPECT_EQ(h.send(3, 0x1005, {1u << 16, 0, 1})[0].args[1].number, 1u);
    EXPECT_EQ(h.send(4, 0x1105, {1u << 16, 0, 77, 0})[0].args[1].number, 0u);
    // The search hit selection: one row, or none for an unknown id.
    EXPECT_EQ(h.send(5, 0x1200, {1u << 16, 0, 7})[0].args[1].number, 1u);
    EXPECT_EQ(h.send(6, 0x1200, {1u << 16, 0, 70})[0].args[1].number, 0u);
    // Requests that answer nothing.
    EXPECT_TRUE(h.send(7, 0x0100, {}).empty());
    EXPECT_TRUE(h.send(8, 0x2005, {1u << 16}).empty());
    EXPECT_TRUE(h.send(9, 0x0001, {}).empty());
}

TEST(DbMenus, TextsFoldForSortingAndSearch) {
    EXPECT_EQ(lowerText("ÄÖÜ ABC ß"), "äöü abc ß");
    EXPECT_LT(sortKeyOf("Ähnlich"), sortKeyOf("Ahnung"));
    EXPECT_LT(sortKeyOf("apfel"), sortKeyOf("Äpfel"));  // equal letters: the original text decides
    EXPECT_LT(sortKeyOf("Äpfel"), sortKeyOf("Apfelbaum"));
    EXPECT_LT(sortKeyOf("Straße"), sortKeyOf("Strasser"));
    EXPECT_LT(sortKeyOf("Zoë"), sortKeyOf("Zorro"));
    EXPECT_LT(sortKeyOf("émile"), sortKeyOf("Fabian"));

    std::vector<CDJMenuItem> rows(4);
    rows[0].sortNum = 5;
    rows[1].sortNum = 2;
    rows[2].sortNum = 5;
    rows[3].sortNum = 1;
    for (size_t i = 0; i < rows.size(); ++i) rows[i].id = static_cast<uint32_t>(i);
    sortMenuItems(rows);
    EXPECT_EQ((std::vector<uint32_t>{rows[0].id, rows[1].id, rows[2].id, rows[3].id}),
              (std::vector<uint32_t>{3, 1, 0, 2}));  // stable among equal numbers

    // Item arguments: texts of menu entries (type 0x80 and above) wrapped, f8Override wins.
    CDJMenuItem entry;
    entry.itemType = 0x91;
    entry.label1 = "SEARCH";
    entry.artId = 9;
    entry.f8Override = 0x1234;
    auto args = menuItemArgs(entry, true);
    ASSERT_EQ(args.size(), 16u);
    EXPECT_EQ(args[2].number, 2u * 7 + 4);
    EXPECT_EQ(args[3], CDJOutArg::strWrapped("SEARCH"));
    EXPECT_EQ(args[5], CDJOutArg::strWrapped(""));
    EXPECT_EQ(args[4].number, 2u);
    EXPECT_EQ(args[7].number, 0u);  // not a track row: no flags
    EXPECT_EQ(args[8].number, 0x1234u);
    EXPECT_EQ(args[10].number, 0u);
    EXPECT_EQ(args[14], CDJOutArg::str(""));
    EXPECT_EQ(args[13].number, 2u);
    CDJMenuItem info = entry;
    info.isTrackInfo = true;
    info.f8Override.reset();
    EXPECT_EQ(menuItemArgs(info, false)[8].number, 0u);
}

TEST(DbMenus, ListsFollowTheLibraryVersion) {
    Handler h;
    EXPECT_EQ(h.send(1, 0x1004, {1u << 16, 1})[0].args[1].number, 12u);
    auto before = h.session->last;
    EXPECT_EQ(h.send(2, 0x1004, {1u << 16, 1})[0].args[1].number, 12u);
    EXPECT_EQ(h.session->last, before);  // the same sorted list, not rebuilt

    // New content: the next request sees it, in every list.
    CDJTrack t;
    t.id = 50;
    t.title = "Neu";
    t.filePath = "/m/50";
    h.library->replaceContent({t}, {{1, "Eins", {50, 3}}});
    EXPECT_EQ(h.send(3, 0x1004, {1u << 16, 1})[0].args[1].number, 1u);
    EXPECT_EQ(h.render(4, 1, 0, 0, 1), (std::vector<uint32_t>{50}));
    EXPECT_EQ(h.send(5, 0x1105, {1u << 16, 0, 1, 0})[0].args[1].number, 1u);  // 3 is gone
    EXPECT_EQ(h.send(6, 0x2002, {1u << 16, 3})[0].args[1].number, 0u);
    EXPECT_EQ(h.send(7, 0x2002, {1u << 16, 50})[0].args[1].number, 16u);
}

// The small requests a player sends around browsing and loading: each gets the answer it waits
// for (or none where players expect none), never the catch-all.
TEST(DbMenus, SmallRequestsGetTheirOwnAnswers) {
    Handler h;
    auto answer = [&](uint16_t type, std::vector<uint32_t> args = {0x01010101}) {
        auto out = h.send(7, type, std::move(args));
        return out;
    };
    auto isOk = [](const std::vector<CDJDbResponse>& out, uint32_t request, uint32_t value) {
        return out.size() == 1 && out[0].type == 0x4000 && out[0].args.size() == 2 && out[0].args[0].number == request &&
               out[0].args[1].number == value;
    };
    // Preflight and the date-added lists prepare an empty list: rendering it gives no items.
    for (uint16_t type : {0x1602, 0x1708, 0x1808}) {
        auto out = answer(type);
        ASSERT_EQ(out.size(), 1u) << std::hex << type;
        EXPECT_EQ(out[0].type, 0x4000) << std::hex << type;
        EXPECT_EQ(out[0].args[0].number, type);
        EXPECT_EQ(out[0].args[1].number, 0u) << std::hex << type;
        EXPECT_TRUE(h.render(8, 1, 0, 64, 0).empty()) << std::hex << type;
    }
    for (uint16_t type : {0x3304, 0x3404, 0x110f}) {
        auto out = answer(type);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].type, 0x4003);
        ASSERT_EQ(out[0].args.size(), 1u);
        EXPECT_EQ(out[0].args[0].number, type);
    }
    // Artwork through its second request type: a track without a picture gives an empty data answer.
    auto art = answer(0x2103, {0x01010101, 5});
    ASSERT_EQ(art.size(), 1u);
    EXPECT_EQ(art[0].type, 0x4002);
    EXPECT_EQ(art[0].args[0].number, 0x2103u);
    EXPECT_TRUE(isOk(answer(0x2104), 0x2104, 0));
    EXPECT_TRUE(isOk(answer(0x3d03), 0x3d03, 6));
    for (uint16_t type : {0x2107, 0x2705, 0x2805}) EXPECT_TRUE(isOk(answer(type), type, 1)) << std::hex << type;
    auto structure = answer(0x2504);
    ASSERT_EQ(structure.size(), 1u);
    EXPECT_EQ(structure[0].type, 0x4502);
    EXPECT_EQ(structure[0].args[0].number, 0x2504u);
    auto load = answer(0x3006, {0x01010101, 3});
    ASSERT_EQ(load.size(), 1u);
    EXPECT_EQ(load[0].type, 0x4d02);
    EXPECT_EQ(load[0].args[1].number, 3u);
    for (uint16_t type : {0x0001, 0x2005, 0x3001}) EXPECT_TRUE(answer(type).empty()) << std::hex << type;
    EXPECT_TRUE(isOk(answer(0x7777), 0x7777, 0));
}
