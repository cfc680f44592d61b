#include <gtest/gtest.h>

#include "cdjlink/CDJModels.hpp"

using namespace fv;
using namespace fv::cdj;

TEST(CDJTrackJson, DecodesLenientlyAndEncodesEveryKeyInOrder) {
    // Only an id, larger than 32 bits: the low 32 bits are the id, all else defaults.
    CDJTrack t = CDJTrack::fromJson(json::parse(R"({"id":4294967297})"));
    EXPECT_EQ(t.id, 1u);
    CDJTrack defaults;
    defaults.id = 1;
    EXPECT_EQ(t, defaults);

    CDJTrack five = CDJTrack::fromJson(json::parse(R"({"id":5,"artwork":null,"title":"Sonne","keyId":4294967298,
        "anlz":{"DAT":"/a/ANLZ0000.DAT","EXT":null},"cues":[{"kind":1,"inMs":1500,"outMs":0,"colorIndex":3,"comment":"Drop"}]})"));
    EXPECT_EQ(five.id, 5u);
    EXPECT_EQ(five.keyId, 2u);
    EXPECT_FALSE(five.artwork);
    ASSERT_EQ(five.anlz.size(), 2u);
    EXPECT_EQ(five.anlz.at("DAT"), "/a/ANLZ0000.DAT");
    EXPECT_EQ(five.anlz.at("EXT"), std::nullopt);
    ASSERT_EQ(five.cues.size(), 1u);
    EXPECT_EQ(five.cues[0], (CDJCue{1, 1500, 0, 3, "Drop"}));

    EXPECT_EQ(five.toJson().dump(),
              R"({"id":5,"title":"Sonne","artist":"","album":"","genre":"","key":"","keyId":2,"bpm100":0,)"
              R"("duration":0,"filePath":"","fileSize":0,"fileType":"","anlz":{"DAT":"/a/ANLZ0000.DAT","EXT":null},)"
              R"("comment":"","rating":0,"color":0,"year":0,)"
              R"("cues":[{"kind":1,"inMs":1500,"outMs":0,"colorIndex":3,"comment":"Drop"}]})");
    // Round trip, artwork included when set.
    five.artwork = "cover.jpg";
    EXPECT_EQ(CDJTrack::fromJson(json::parse(five.toJson().dump())), five);

    // Failures: no id, wrong types anywhere, incomplete cue.
    EXPECT_THROW(CDJTrack::fromJson(json::parse(R"({"title":"x"})")), DecodeError);
    EXPECT_THROW(CDJTrack::fromJson(json::parse(R"({"id":"5"})")), DecodeError);
    EXPECT_THROW(CDJTrack::fromJson(json::parse(R"({"id":5,"title":3})")), DecodeError);
    EXPECT_THROW(CDJTrack::fromJson(json::parse(R"({"id":5,"anlz":{"DAT":1}})")), DecodeError);
    EXPECT_THROW(CDJTrack::fromJson(json::parse(R"({"id":5,"anlz":[]})")), DecodeError);
    EXPECT_THROW(CDJTrack::fromJson(json::parse(R"({"id":5,"cues":[{"kind":1,"inMs":2}]})")), DecodeError);
    EXPECT_THROW(CDJTrack::fromJson(json::parse(R"({"id":5,"cues":{}})")), DecodeError);
    EXPECT_THROW(CDJTrack::fromJson(json::parse(R"([5])")), DecodeError);

    // Arrays of records, as a library file holds them.
    auto list = parseTracks(R"([{"id":1,"title":"A"},{"id":2,"fileType":"aiff"}])");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].fileType, "aiff");
    EXPECT_THROW(parseTracks(R"([{"id":1},{"title":"no id"}])"), DecodeError);
    EXPECT_THROW(parseTracks(R"({"id":1})"), DecodeError);
    EXPECT_THROW(parseTracks("[{"), DecodeError);
}

TEST(CDJTrackJson, BlankTrackIsAnEmptyMp3) {
    const CDJTrack& b = blankTrack();
    EXPECT_EQ(b.id, 0u);
    EXPECT_EQ(b.fileType, "mp3");
    EXPECT_TRUE(b.title.empty());
    EXPECT_TRUE(b.cues.empty());
    EXPECT_TRUE(b.anlz.empty());
    EXPECT_FALSE(b.artwork);
}

TEST(CDJLinkSettingsJson, DefaultsRawValuesAndFailures) {
    CDJLinkSettings d = CDJLinkSettings::fromJson(json::object());
    EXPECT_EQ(d, CDJLinkSettings{});
    EXPECT_EQ(d.deviceName, "Floorvote Library");
    EXPECT_EQ(d.deviceNumber, 17);
    EXPECT_EQ(d.dbPort, 1051);
    EXPECT_EQ(d.column, CDJColumn::artist);
    EXPECT_EQ(d.waveColor, CDJWaveColor::threeBand);
    EXPECT_EQ(d.overview, CDJOverview::half);
    EXPECT_EQ(d.keyDisplay, CDJKeyDisplay::classic);
    EXPECT_EQ(d.wavePosition, CDJWavePosition::left);
    EXPECT_EQ(d.sortMenuIds, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 12}));
    EXPECT_EQ(d.rootCategories,
              (std::vector<CDJRootCategory>{CDJRootCategory::playlist, CDJRootCategory::track, CDJRootCategory::search}));
    EXPECT_TRUE(d.showPlayedList);
    EXPECT_FALSE(d.showEventPlaylist);
    EXPECT_FALSE(d.showMessagesList);
    EXPECT_EQ(d.playedAfterSeconds, 60);

    EXPECT_EQ(d.toJson().dump(),
              R"({"deviceName":"Floorvote Library","deviceNumber":17,"interfaceName":"","dbPort":1051,)"
              R"("column":"artist","waveColor":"3band","overview":"half","keyDisplay":"classic","wavePosition":"left",)"
              R"("sortMenuIds":[0,1,2,3,4,5,6,12],"rootCategories":["playlist","track","search"],)"
              R"("showPlayedList":true,"showEventPlaylist":false,"showMessagesList":false,"playedAfterSeconds":60})");

    auto s = CDJLinkSettings::fromJson(json::parse(
        R"({"waveColor":"3band","column":"date_added","rootCategories":["search","playlist"],"deviceNumber":255,"dbPort":65535})"));
    EXPECT_EQ(s.waveColor, CDJWaveColor::threeBand);
    EXPECT_EQ(s.column, CDJColumn::dateAdded);
    EXPECT_EQ(s.rootCategories, (std::vector<CDJRootCategory>{CDJRootCategory::search, CDJRootCategory::playlist}));
    auto back = s.toJson();
    EXPECT_EQ(back["waveColor"], "3band");
    EXPECT_EQ(back["column"], "date_added");
    EXPECT_EQ(CDJLinkSettings::fromJson(json::parse(back.dump())), s);

    // Every case round-trips through its raw value, in table order.
    std::vector<std::string> raws;
    for (auto c : allCases<CDJColumn>()) {
        raws.emplace_back(rawValue(c));
        EXPECT_EQ(fromRawValue<CDJColumn>(rawValue(c)), c);
    }
    EXPECT_EQ(raws, (std::vector<std::string>{"none", "artist", "album", "genre", "key", "bpm", "rating", "time",
                                              "label", "comments", "color", "date_added"}));
    EXPECT_EQ(fromRawValue<CDJWaveColor>("threeBand"), std::nullopt);

    // An unknown raw value, a wrong type or an out-of-range number fails the whole object.
    for (const char* bad : {R"({"waveColor":"green"})", R"({"rootCategories":["playlist","history"]})",
                            R"({"overview":1})", R"({"deviceNumber":256})", R"({"deviceNumber":-1})",
                            R"({"dbPort":70000})", R"({"showPlayedList":"yes"})", R"({"sortMenuIds":[1,"2"]})",
                            R"({"deviceName":null,"keyDisplay":"Camelot"})", R"([])"}) {
        EXPECT_THROW(CDJLinkSettings::fromJson(json::parse(bad)), DecodeError) << bad;
    }
    // null counts as absent.
    EXPECT_EQ(CDJLinkSettings::fromJson(json::parse(R"({"deviceName":null})")).deviceName, "Floorvote Library");
}

TEST(CDJLibraryOps, TagListPlayedAndVersion) {
    CDJLibrary lib;
    EXPECT_EQ(lib.version(), 0);
    CDJTrack a, b, c;
    a.id = 10;
    a.title = "A";
    b.id = 20;
    c.id = 30;
    lib.replaceContent({a, b, c}, {CDJPlaylist{1, "Wünsche", {10, 30}}});
    EXPECT_EQ(lib.version(), 1);
    EXPECT_EQ(lib.trackCount(), 3u);
    EXPECT_EQ(lib.playlistCount(), 1u);
    EXPECT_EQ(lib.track(10)->title, "A");
    EXPECT_FALSE(lib.track(11));

    lib.setTagged(20, true);
    lib.setTagged(10, true);
    lib.setTagged(20, true);
    lib.setTagged(30, true);
    EXPECT_EQ(lib.tagList(), (std::vector<uint32_t>{20, 10, 30}));
    lib.setTagged(10, false);
    EXPECT_EQ(lib.tagList(), (std::vector<uint32_t>{20, 30}));
    lib.markPlayed(30);
    lib.markPlayed(30);

    // A new content drops tags of vanished tracks and keeps the played set.
    lib.replaceContent({a, c}, {});
    EXPECT_EQ(lib.version(), 2);
    EXPECT_EQ(lib.tagList(), (std::vector<uint32_t>{30}));
    EXPECT_EQ(lib.played(), (std::set<uint32_t>{30}));
    EXPECT_EQ(lib.tracks().size(), 2u);
    EXPECT_EQ(lib.tracks()[0].id, 10u);
    EXPECT_TRUE(lib.playlists().empty());
}
