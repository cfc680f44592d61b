// The track lists' orders, sorted once per library content, against sorting the rows directly
// with the sort keys, as the lists were made before.
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cdjlink/CDJDbCodec.hpp"
#include "cdjlink/CDJDbMenus.hpp"
#include "cdjlink/CDJNfsServer.hpp"

using namespace fv::cdj;

namespace {

// The folding as it was first written: every unit lowered with the C.UTF-8 locale, then Latin-1
// and Latin Extended-A letters replaced by their base letters.
std::string referenceSortKey(std::string_view text) {
    static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    auto lower = [](char16_t u) -> char16_t {
        if (u >= 0xd800 && u <= 0xdfff) return u;
        if (u < 0x80) return (u >= 'A' && u <= 'Z') ? static_cast<char16_t>(u + 32) : u;
        return loc ? static_cast<char16_t>(towlower_l(u, loc)) : u;
    };
    auto fold = [](char16_t u) -> std::u16string {
        static const std::array<std::u16string, 32> latin1{
            u"a", u"a", u"a", u"a", u"a", u"a", u"ae", u"c", u"e", u"e", u"e", u"e", u"i", u"i", u"i", u"i",
            u"d", u"n", u"o", u"o", u"o", u"o", u"o", u"\u00f7", u"o", u"u", u"u", u"u", u"u", u"y", u"th", u"y"};
        if (u == 0xdf) return u"ss";
        if (u >= 0xe0 && u <= 0xff) return latin1[u - 0xe0];
        struct Range {
            char16_t from, to;
            const char16_t* base;
        };
        static const Range extA[] = {
            {0x100, 0x105, u"a"}, {0x106, 0x10d, u"c"},  {0x10e, 0x111, u"d"}, {0x112, 0x11b, u"e"},
            {0x11c, 0x123, u"g"}, {0x124, 0x127, u"h"},  {0x128, 0x131, u"i"}, {0x132, 0x133, u"ij"},
            {0x134, 0x135, u"j"}, {0x136, 0x138, u"k"},  {0x139, 0x142, u"l"}, {0x143, 0x14b, u"n"},
            {0x14c, 0x151, u"o"}, {0x152, 0x153, u"oe"}, {0x154, 0x159, u"r"}, {0x15a, 0x161, u"s"},
            {0x162, 0x167, u"t"}, {0x168, 0x173, u"u"},  {0x174, 0x175, u"w"}, {0x176, 0x178, u"y"},
            {0x179, 0x17e, u"z"}, {0x17f, 0x17f, u"s"}};
        for (const auto& r : extA)
            if (u >= r.from && u <= r.to) return r.base;
        return {};
    };
    std::u16string folded;
    for (char16_t c : utf8ToUtf16(text)) {
        char16_t l = lower(c);
        auto base = fold(l);
        folded += base.empty() ? std::u16string(1, l) : base;
    }
    std::string key = utf16ToUtf8(folded);
    key += '\0';
    key += text;
    return key;
}

// Texts a library holds: umlauts and ß in both cases, other Latin letters, other scripts, emoji,
// equal texts in different cases, the separator and control characters, broken UTF-8.
std::vector<std::string> variedTexts() {
    return {"Ähnlich", "Ahnung", "apfel", "Äpfel", "Apfelbaum", "ÄPFEL", "Straße", "STRASSE", "Strasser", "Zoë",
            "Zorro", "émile", "Émile", "Fabian", "Øresund", "Œuvre", "œuvre", "Łódź", "Ĳssel", "ǅemal",
            "\u1e9e", "ΑΘΗΝΑ", "αθηνα", "Москва", "москва", "東京", "🎵 Tanz", "🎵 tanz", "", " ", "a\x01" "b",
            "a", "A", "ab", "a b", "\x7f", std::string("nul\0l", 5), "\xc3", "\xff\xfe broken", "\xed\xa0\x80",
            "Über", "über", "Ueber", "Œ", "ſ", "ÿ", "Ÿ", "İstanbul", "ı", "Ǆ", "Ω", "K", "Å", "Ⅻ", "Ⓐ"};
}

std::vector<CDJTrack> variedTracks(uint32_t seed, size_t count) {
    auto texts = variedTexts();
    std::mt19937 rng(seed);
    auto pick = [&] { return texts[rng() % texts.size()]; };
    std::vector<uint32_t> ids(count * 4);
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<uint32_t>(i + 1);
    std::shuffle(ids.begin(), ids.end(), rng);
    const char* keys[] = {"Am", " C ", "G#m", "H", "", "Dbm", "E"};
    std::vector<CDJTrack> out;
    for (size_t i = 0; i < count; ++i) {
        CDJTrack t;
        t.id = ids[i];
        t.title = pick() + (rng() % 3 ? "" : " " + pick());
        t.artist = pick();
        t.album = pick();
        t.genre = rng() % 4 ? pick() : std::string();
        t.key = keys[rng() % 7];
        t.bpm100 = static_cast<int64_t>(rng() % 5) * 1000;  // many equal tempos
        t.rating = static_cast<int64_t>(rng() % 6);
        t.duration = static_cast<int64_t>(rng() % 4) * 60;
        t.filePath = "/musik/" + std::to_string(i) + (rng() % 2 ? ".mp3" : ".AIF");
        t.fileType = rng() % 3 ? "mp3" : "";
        out.push_back(t);
    }
    return out;
}

// The all-tracks list as it was made: rows in id order, each given its sort key or number,
// then a stable sort.
std::vector<uint32_t> referenceOrder(const CDJLibrary& library, int64_t sortId) {
    std::vector<CDJMenuItem> rows;
    for (const auto& t : library.tracks()) {
        CDJMenuItem it;
        it.id = t.id;
        switch (sortId) {
            case 2: it.sortKey = referenceSortKey(t.artist + '\x01' + t.title); break;
            case 3: it.sortKey = referenceSortKey(t.album + '\x01' + t.title); break;
            case 4: it.sortNum = t.bpm100; break;
            case 5: it.sortNum = -t.rating; break;
            case 6: it.sortKey = referenceSortKey(t.genre + '\x01' + t.title); break;
            case 8: it.sortNum = t.duration; break;
            case 12: it.sortNum = keyPosition(t.key); break;
            case 17: it.sortNum = t.id; break;
            default: it.sortKey = referenceSortKey(t.title); break;
        }
        rows.push_back(it);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const CDJMenuItem& a, const CDJMenuItem& b) {
        if (a.sortNum && b.sortNum) return *a.sortNum < *b.sortNum;
        return a.sortKey < b.sortKey;
    });
    std::vector<uint32_t> ids;
    for (const auto& r : rows) ids.push_back(r.id);
    return ids;
}

std::vector<uint32_t> idsOf(const CDJLibraryContent& content, const std::vector<uint32_t>& order) {
    std::vector<uint32_t> ids;
    for (uint32_t i : order) ids.push_back(content.tracks[i]->track.id);
    return ids;
}

const std::vector<int64_t> allSortIds{0, 1, 2, 3, 4, 5, 6, 8, 10, 12, 17, 99};

}  // namespace

TEST(DbSort, KeysFoldAsBeforeForEveryKindOfText) {
    for (const auto& a : variedTexts()) {
        EXPECT_EQ(sortKeyOf(a), referenceSortKey(a)) << a;
        for (const auto& b : variedTexts()) {
            std::string joined = a + '\x01' + b;
            EXPECT_EQ(sortKeyOf(joined), referenceSortKey(joined)) << joined;
        }
    }
    // Every Latin-1 and Latin Extended-A letter, and the letters that lower into that range.
    for (char32_t cp : {U'\u1e9e', U'\u0178', U'\u212a', U'\u212b', U'\u0130'}) {
        std::u16string u(1, static_cast<char16_t>(cp));
        EXPECT_EQ(sortKeyOf(utf16ToUtf8(u)), referenceSortKey(utf16ToUtf8(u)));
    }
    for (char16_t cp = 0x80; cp < 0x250; ++cp) {
        std::string text = utf16ToUtf8(std::u16string{u'x', cp, u'Y'});
        EXPECT_EQ(sortKeyOf(text), referenceSortKey(text)) << static_cast<int>(cp);
    }
}

TEST(DbSort, AllTracksListsMatchSortingTheRowsDirectly) {
    CDJLibrary library;
    auto tracks = variedTracks(7, 400);
    library.replaceContent(tracks, {});
    CDJDbTrackIndex index;
    const CDJLibraryContent& content = index.refresh(library);
    for (int64_t sortId : allSortIds)
        EXPECT_EQ(idsOf(content, *index.allTracks(sortId)), referenceOrder(library, sortId)) << "sort " << sortId;
}

TEST(DbSort, OrdersAfterEachChangeMatchAFreshSort) {
    CDJLibrary library;
    auto tracks = variedTracks(11, 300);
    library.replaceContent(tracks, {});
    CDJDbTrackIndex index;
    index.refresh(library);
    for (int64_t sortId : allSortIds) index.allTracks(sortId);

    std::mt19937 rng(5);
    auto texts = variedTexts();
    for (int round = 0; round < 30; ++round) {
        // Tracks go, come (some with the text of one that went), get edited; sometimes nothing
        // changes but the order of the list handed in.
        for (int k = static_cast<int>(rng() % 4); k > 0 && !tracks.empty(); --k)
            tracks.erase(tracks.begin() + static_cast<std::ptrdiff_t>(rng() % tracks.size()));
        for (int k = static_cast<int>(rng() % 4); k > 0; --k) {
            CDJTrack t = tracks[rng() % tracks.size()];
            t.id = 5000 + static_cast<uint32_t>(rng() % 5000);
            if (rng() % 2) t.title = texts[rng() % texts.size()];
            tracks.push_back(t);
        }
        for (int k = static_cast<int>(rng() % 3); k > 0; --k) {
            auto& t = tracks[rng() % tracks.size()];
            if (rng() % 2) t.artist = texts[rng() % texts.size()];
            t.bpm100 += 100;
            t.key = "Am";
        }
        std::shuffle(tracks.begin(), tracks.end(), rng);
        library.replaceContent(tracks, {});

        // Only some orders are asked for after each change.
        const CDJLibraryContent& content = index.refresh(library);
        for (int64_t sortId : allSortIds) {
            if (rng() % 3 == 0) continue;
            ASSERT_EQ(idsOf(content, *index.allTracks(sortId)), referenceOrder(library, sortId))
                << "round " << round << ", sort " << sortId;
        }
    }
    const CDJLibraryContent& content = index.refresh(library);
    for (int64_t sortId : allSortIds)
        EXPECT_EQ(idsOf(content, *index.allTracks(sortId)), referenceOrder(library, sortId)) << "sort " << sortId;
}

TEST(DbSort, ListsOfAPlaylistAndASearchKeepTheirOrderOnEqualKeys) {
    CDJLibrary library;
    auto tracks = variedTracks(3, 200);
    library.replaceContent(tracks, {});
    auto content = library.content();
    // A playlist holding one track twice and tracks of equal tempo, in reverse id order.
    std::vector<uint32_t> rows;
    for (size_t i = content->tracks.size(); i-- > 0;) rows.push_back(static_cast<uint32_t>(i));
    rows.push_back(rows[3]);
    for (int64_t sortId : allSortIds) {
        auto perm = sortedPermutation(*content, trackOrderFor(sortId), rows);
        std::vector<CDJMenuItem> items;
        for (uint32_t r = 0; r < rows.size(); ++r) {
            CDJMenuItem it;
            it.pos = r;
            const CDJTrack& t = content->tracks[rows[r]]->track;
            std::string text = sortId == 2   ? t.artist + '\x01' + t.title
                               : sortId == 3 ? t.album + '\x01' + t.title
                               : sortId == 6 ? t.genre + '\x01' + t.title
                                             : t.title;
            switch (sortId) {
                case 4: it.sortNum = t.bpm100; break;
                case 5: it.sortNum = -t.rating; break;
                case 8: it.sortNum = t.duration; break;
                case 12: it.sortNum = keyPosition(t.key); break;
                case 17: it.sortNum = t.id; break;
                default: it.sortKey = referenceSortKey(text); break;
            }
            items.push_back(it);
        }
        sortMenuItems(items);
        std::vector<uint32_t> expected;
        for (const auto& it : items) expected.push_back(static_cast<uint32_t>(it.pos));
        EXPECT_EQ(perm, expected) << "sort " << sortId;
    }
}

TEST(CDJLibraryContent, UnchangedTracksAreSharedAndOldContentStaysReadable) {
    CDJLibrary library;
    auto tracks = variedTracks(21, 50);
    library.replaceContent(tracks, {});
    auto first = library.content();
    EXPECT_EQ(first->version, 1);
    ASSERT_TRUE(std::is_sorted(first->tracks.begin(), first->tracks.end(),
                               [](const auto& a, const auto& b) { return a->track.id < b->track.id; }));

    // The same tracks in another order, one edited, one gone, one duplicate id (the later wins).
    auto next = tracks;
    std::reverse(next.begin(), next.end());
    uint32_t edited = next[0].id, gone = next[1].id;
    next[0].comment = "neu";
    next.erase(next.begin() + 1);
    CDJTrack twin = next[2];
    twin.title = "Zwilling";
    next.push_back(twin);
    library.replaceContent(next, {});
    auto second = library.content();
    EXPECT_EQ(second->version, 2);
    for (const auto& e : second->tracks) {
        uint32_t id = e->track.id;
        if (id == edited || id == twin.id) {
            EXPECT_NE(first->findShared(id), e) << id;
        } else {
            EXPECT_EQ(first->findShared(id), e) << id;  // the same object, not a copy
        }
    }
    EXPECT_EQ(second->find(twin.id)->track.title, "Zwilling");
    EXPECT_EQ(second->find(gone), nullptr);
    EXPECT_EQ(second->find(edited)->track.comment, "neu");
    EXPECT_EQ(second->find(edited)->searchText, lowerText(second->find(edited)->track.title + " " +
                                                          second->find(edited)->track.artist));
    // A reader of the first content still reads it whole.
    EXPECT_NE(first->find(gone), nullptr);
    EXPECT_EQ(first->tracks.size(), tracks.size());
}

TEST(CDJLibraryContent, ContentLetGoByAReaderIsFreedByTheNextReplacement) {
    CDJLibrary library;
    library.replaceContent(variedTracks(1, 20), {});
    auto held = library.content();
    std::weak_ptr<const CDJLibraryTrack> onlyInOld = held->tracks.front();
    auto other = variedTracks(1, 20);
    for (auto& t : other) t.comment = "anders";  // no track in common
    library.replaceContent(other, {});
    ASSERT_FALSE(onlyInOld.expired());
    // The server queue lets go of the last reference: nothing is freed on its thread...
    held.reset();
    EXPECT_FALSE(onlyInOld.expired());
    // ...but with the next replacement.
    library.replaceContent(other, {});
    EXPECT_TRUE(onlyInOld.expired());
}

TEST(NfsLibraryFiles, LookUpAndListLikeTheFullList) {
    CDJLibrary library;
    auto tracks = variedTracks(9, 60);
    CDJTrack zero;
    zero.id = 0;
    zero.fileType = "mp3";
    tracks.push_back(zero);
    CDJTrack top;
    top.id = 4294967295u;
    top.filePath = "/x/Song.Flac";
    tracks.push_back(top);
    library.replaceContent(tracks, {});
    std::vector<CDJNfsFile> all;
    for (const auto& t : library.tracks()) all.push_back({t.id, cdjVirtualFileName(t), t.filePath});
    auto list = cdjNfsFileList(all);
    auto shared = cdjNfsLibraryFiles(library.content());
    EXPECT_EQ(shared->size(), list->size());

    std::vector<std::string> names;
    for (const auto& f : all) names.push_back(f.name);
    for (std::string odd : {"", ".", "..", "0", "0.mp3", "00.mp3", "4294967295.flac", "4294967296.mp3",
                            "99999999999999999999.mp3", "-1.mp3", "+5.mp3", " 5.mp3", "5", "5.", "/5.mp3"})
        names.push_back(odd);
    for (const auto& f : all) {
        names.push_back(f.name + "x");
        names.push_back("0" + f.name);
        names.push_back(f.name.substr(0, f.name.find('.')) + ".wav");
    }
    for (const auto& name : names) {
        auto a = list->find(name), b = shared->find(name);
        ASSERT_EQ(a.has_value(), b.has_value()) << name;
        if (a) {
            EXPECT_EQ(a->trackId, b->trackId);
            EXPECT_EQ(a->name, b->name);
            EXPECT_EQ(a->realPath, b->realPath);
        }
    }

    auto listed = [](const CDJNfsFiles& files, std::optional<uint32_t> after, size_t max) {
        std::vector<std::string> out;
        files.list(after, [&](const CDJNfsFile& f) {
            out.push_back(std::to_string(f.trackId) + " " + f.name + " " + f.realPath);
            return out.size() < max;
        });
        return out;
    };
    for (std::optional<uint32_t> after : {std::optional<uint32_t>{}, std::optional<uint32_t>{0u},
                                          std::optional<uint32_t>{all[5].trackId}, std::optional<uint32_t>{all[5].trackId + 1},
                                          std::optional<uint32_t>{4294967295u}})
        for (size_t max : {size_t{1}, size_t{7}, size_t{1000}})
            EXPECT_EQ(listed(*shared, after, max), listed(*list, after, max));
}
