#include <chrono>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "cdjlink/CDJAnlz.hpp"
#include "cdjlink/AnlzTestFiles.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace fv::cdj::anlztest;


TEST(AnlzSections, SplitsFilesAndRejectsBrokenOnes) {
    Bytes a = previewSection("PWAV", 2, {1, 2});
    Bytes b = pqtz(0, {});
    auto secs = parseAnlzSections(anlzFile({a, b}));
    ASSERT_EQ(secs.size(), 2u);
    EXPECT_EQ(secs[0], (CDJAnlzSection{"PWAV", a}));
    EXPECT_EQ(secs[1].fourcc, "PQTZ");
    EXPECT_EQ(findAnlzSection(secs, "PQTZ"), &secs[1]);
    EXPECT_EQ(findAnlzSection(secs, "PWV3"), nullptr);

    // Missing magic, too short, a section running past the end (the ones before it stay), a
    // section length below 12.
    Bytes noMagic = anlzFile({a});
    noMagic[0] = 'X';
    EXPECT_TRUE(parseAnlzSections(noMagic).empty());
    EXPECT_TRUE(parseAnlzSections(Bytes{'P', 'M', 'A', 'I', 0, 0, 0, 12}).empty());
    Bytes truncated = anlzFile({a, b});
    truncated.resize(truncated.size() - 1);
    auto kept = parseAnlzSections(truncated);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].fourcc, "PWAV");
    Bytes tiny = anlzFile({a, b});
    tiny[0x1c + a.size() + 11] = 11;  // PQTZ claims 11 bytes
    EXPECT_EQ(parseAnlzSections(tiny).size(), 1u);
    Bytes farHeader = anlzFile({a});
    farHeader[7] = 0xff;  // header length beyond the file
    EXPECT_TRUE(parseAnlzSections(farHeader).empty());
}

TEST(AnlzPayloads, WaveformPreviewDetailAndBeatGrid) {
    // 600 columns: only 400 are taken; height is the low 5 bits, whiteness the top 3.
    Bytes cols(600);
    for (size_t i = 0; i < cols.size(); ++i) cols[i] = static_cast<uint8_t>(i * 7);
    auto preview = anlzWaveformPreview(parseAnlzSections(anlzFile({previewSection("PWAV", 600, cols)})));
    ASSERT_TRUE(preview);
    ASSERT_EQ(preview->size(), 900u);
    for (size_t i = 0; i < 400; ++i) {
        ASSERT_EQ((*preview)[2 * i], cols[i] & 0x1f) << i;
        ASSERT_EQ((*preview)[2 * i + 1], cols[i] >> 5) << i;
    }
    for (size_t i = 800; i < 900; ++i) ASSERT_EQ((*preview)[i], 0) << i;

    // A count beyond the data stops at the data; PWV2 fills bytes 800 on.
    Bytes tinyCols(120, 0x0a);
    auto both = anlzWaveformPreview(parseAnlzSections(
        anlzFile({previewSection("PWAV", 400, Bytes{0xe3, 0x41}), previewSection("PWV2", 150, tinyCols)})));
    ASSERT_TRUE(both);
    EXPECT_EQ((*both)[0], 0x03);
    EXPECT_EQ((*both)[1], 0x07);
    EXPECT_EQ((*both)[2], 0x01);
    EXPECT_EQ((*both)[3], 0x02);
    EXPECT_EQ((*both)[4], 0);
    EXPECT_EQ((*both)[899], 0x0a);
    EXPECT_FALSE(anlzWaveformPreview(parseAnlzSections(anlzFile({previewSection("PWV2", 1, {1})}))));

    // Detail: n * e bytes from the header on, cut at the section end; nothing when empty.
    Bytes detail(300);
    for (size_t i = 0; i < detail.size(); ++i) detail[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(anlzWaveformDetail(parseAnlzSections(anlzFile({pwv3(1, 300, detail)}))), detail);
    EXPECT_EQ(anlzWaveformDetail(parseAnlzSections(anlzFile({pwv3(1, 200, detail)}))),
              Bytes(detail.begin(), detail.begin() + 200));
    EXPECT_EQ(anlzWaveformDetail(parseAnlzSections(anlzFile({pwv3(2, 1000, detail)}))), detail);
    EXPECT_FALSE(anlzWaveformDetail(parseAnlzSections(anlzFile({pwv3(1, 0, detail)}))));

    // Beat grid: 20-byte header, then 16 bytes per beat, little-endian, 8 bytes of 0xff.
    auto grid = anlzBeatGrid(parseAnlzSections(anlzFile({pqtz(3, {{1, 12800, 120}, {2, 12800, 589}, {3, 12850, 1058}})})));
    ASSERT_TRUE(grid);
    EXPECT_EQ(grid->beats, 3u);
    ASSERT_EQ(grid->bytes.size(), 20u + 48u);
    const Bytes& g = grid->bytes;
    EXPECT_EQ(le32(g, 0), 0x00080000u);
    EXPECT_EQ(le32(g, 4), 3u);
    EXPECT_EQ(le32(g, 8), 48u);
    EXPECT_EQ(le32(g, 12), 1u);
    EXPECT_EQ(le32(g, 16), 1u);
    EXPECT_EQ(le16(g, 20 + 32), 3);
    EXPECT_EQ(le16(g, 22 + 32), 12850);
    EXPECT_EQ(le32(g, 24 + 32), 1058u);
    EXPECT_EQ(le32(g, 24 + 16), 589u);
    for (size_t k = 0; k < 8; ++k) EXPECT_EQ(g[28 + 16 + k], 0xff);
    // No beats, or fewer entries than announced: no grid.
    EXPECT_FALSE(anlzBeatGrid(parseAnlzSections(anlzFile({pqtz(0, {})}))));
    EXPECT_FALSE(anlzBeatGrid(parseAnlzSections(anlzFile({pqtz(10, {{1, 12000, 0}})}))));
}

TEST(AnlzPayloads, CueEntriesFromTheRecordAndFromTheFile) {
    // A track cue of kind 3 with outMs 0: hot cue 2, type 1, loop end 0xffffffff.
    auto points = cuePointsFromTrack({{3, 1500, 0, 22, "Drop"}, {0, -5, 4000, 7, ""}, {10, 1, 2, 3, "not a cue"}});
    ASSERT_EQ(points.size(), 2u);
    Bytes e = encodeCueEntries(points);
    ASSERT_EQ(e.size(), 248u);
    EXPECT_EQ(le32(e, 0), 124u);
    EXPECT_EQ(e[4], 2);
    EXPECT_EQ(e[6], 1);
    EXPECT_EQ(le16(e, 10), 1000);
    EXPECT_EQ(le32(e, 12), 1500u);
    EXPECT_EQ(le32(e, 16), 0xffffffffu);
    EXPECT_EQ(le32(e, 32), 0xffffffffu);
    EXPECT_EQ(e[34], 0xff);
    EXPECT_EQ(e[52], 0x42);
    EXPECT_EQ(e[74], 0x2c);
    EXPECT_EQ(e[78], 22);
    EXPECT_EQ((std::array<uint8_t, 3>{e[79], e[80], e[81]}), (std::array<uint8_t, 3>{0x28, 0xe2, 0x14}));
    // The second: a memory loop starting before 0 (sent as 0), colour in byte 34, no hot cue colour.
    const size_t o = 124;
    EXPECT_EQ(e[o + 4], 0);
    EXPECT_EQ(e[o + 6], 2);
    EXPECT_EQ(le32(e, o + 12), 0u);
    EXPECT_EQ(le32(e, o + 16), 4000u);
    EXPECT_EQ(e[o + 32], 0xa0);  // low byte of 4000, byte 34 is the colour
    EXPECT_EQ(e[o + 34], 7);
    EXPECT_EQ(e[o + 78], 0);
    EXPECT_EQ(e[o + 79], 0);

    // Colours: the four special indices first, then the palette, else green.
    EXPECT_EQ(hotCueColor(0), (CDJRgb{0xff, 0xe8, 0x00}));
    EXPECT_EQ(hotCueColor(32), (CDJRgb{0xff, 0xe8, 0x00}));
    EXPECT_EQ(hotCueColor(38), (CDJRgb{0xff, 0x5e, 0x00}));
    EXPECT_EQ(hotCueColor(42), (CDJRgb{0xff, 0x00, 0x00}));
    EXPECT_EQ(hotCueColor(1), (CDJRgb{0x30, 0x5a, 0xff}));
    EXPECT_EQ(hotCueColor(9), (CDJRgb{0x00, 0xe0, 0xff}));
    EXPECT_EQ(hotCueColor(34), (CDJRgb{0xff, 0xa0, 0x00}));
    EXPECT_EQ(hotCueColor(53), (CDJRgb{0xe6, 0x00, 0xff}));
    EXPECT_EQ(hotCueColor(62), (CDJRgb{0x64, 0x73, 0xff}));
    EXPECT_EQ(hotCueColor(63), (CDJRgb{0x00, 0xff, 0x00}));
    EXPECT_EQ(hotCueColor(-1), (CDJRgb{0x00, 0xff, 0x00}));

    // From the extended file: memory cues and hot cues in two PCO2 sections; the hot cue colour
    // code follows the comment; an entry cut before it has colour 0; entries under 44 bytes are
    // not cue points.
    Bytes ext = anlzFile({pco2(0, {pcp2(0, 1, 1000, 0, 5, u"", 0), pcp2(0, 2, 2000, 6000, 9, u"Loop", 0)}),
                          pco2(1, {pcp2(1, 1, 3000, 0, 0, u"Hi", 53), pcp2(2, 1, 4000, 0, 0, u"", 9, 44),
                                   pcp2(3, 1, 5000, 0, 0, u"", 9, 40)})});
    auto fromFile = cuePointsFromAnlz(parseAnlzSections(ext));
    ASSERT_EQ(fromFile.size(), 4u);
    EXPECT_EQ(fromFile[0], (CDJCuePoint{0, false, 1000, 0xffffffff, 5}));
    EXPECT_EQ(fromFile[1], (CDJCuePoint{0, true, 2000, 6000, 9}));
    EXPECT_EQ(fromFile[2], (CDJCuePoint{1, false, 3000, 0xffffffff, 53}));
    EXPECT_EQ(fromFile[3], (CDJCuePoint{2, false, 4000, 0xffffffff, 0}));
    Bytes fe = encodeCueEntries({fromFile[2]});
    EXPECT_EQ(fe[4], 1);
    EXPECT_EQ(fe[78], 53);
    EXPECT_EQ(fe[81], 0xff);
}

TEST(AnlzCache, ReadsByModificationTimeAndPrefersTheRecordsCues) {
    test::TempDir dir;
    auto dat = dir / "ANLZ0000.DAT";
    auto ext = dir / "ANLZ0000.EXT";
    writeBytes(dat, anlzFile({previewSection("PWAV", 1, {0x21}), pqtz(1, {{1, 12000, 50}})}));
    writeBytes(ext, anlzFile({pwv3(1, 2, {7, 8}), pco2(1, {pcp2(1, 1, 900, 0, 0, u"", 1)})}));

    CDJAnlzCache cache;
    CDJTrack t;
    t.id = 9;
    t.anlz = {{"DAT", dat.string()}, {"EXT", ext.string()}, {"2EX", std::nullopt}};
    EXPECT_EQ((*cache.waveformPreview(t))[0], 1);
    EXPECT_EQ(cache.waveformDetail(t), (Bytes{7, 8}));
    EXPECT_EQ(cache.beatGrid(t)->beats, 1u);
    EXPECT_EQ(cache.cuePoints(t).size(), 1u);
    EXPECT_EQ(cache.fileReads(), 2u);
    EXPECT_EQ(cache.size(), 2u);
    // Unchanged files come from the cache.
    EXPECT_EQ(cache.trackSection(t, "DAT", "PQTZ")->fourcc, "PQTZ");
    EXPECT_EQ(cache.trackSection(t, "EXT", "PWV3")->bytes.size(), 12u + 12u + 2u);
    EXPECT_FALSE(cache.trackSection(t, "2EX", "PWV3"));
    EXPECT_FALSE(cache.trackSection(t, "EXT", "PWV5"));
    EXPECT_EQ(cache.fileReads(), 2u);

    // A new modification time makes the next request read the file again.
    writeBytes(dat, anlzFile({previewSection("PWAV", 1, {0x3f})}));
    auto later = std::filesystem::last_write_time(ext) + std::chrono::seconds(10);
    std::filesystem::last_write_time(dat, later);
    EXPECT_EQ((*cache.waveformPreview(t))[0], 0x1f);
    EXPECT_FALSE(cache.beatGrid(t));
    EXPECT_EQ(cache.fileReads(), 3u);

    // Cues of the record win over the file's.
    t.cues = {{2, 100, 0, 1, ""}, {1, 200, 0, 0, ""}};
    auto cues = cache.cuePoints(t);
    ASSERT_EQ(cues.size(), 2u);
    EXPECT_EQ(cues[0].startMs, 100u);

    // A file that disappears, an absent kind, a file that is no analysis file: no data.
    std::filesystem::remove(dat);
    EXPECT_FALSE(cache.waveformPreview(t));
    EXPECT_EQ(cache.size(), 1u);
    writeBytes(dat, Bytes{'n', 'o', 'p', 'e'});
    EXPECT_FALSE(cache.waveformPreview(t));
    CDJTrack bare;
    EXPECT_FALSE(cache.waveformDetail(bare));
    EXPECT_TRUE(cache.sections((dir / "missing.DAT").string())->empty());
}
