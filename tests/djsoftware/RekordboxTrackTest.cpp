#include <gtest/gtest.h>

#include "djsoftware/RekordboxTrack.hpp"

using namespace fv;

TEST(RekordboxTrack, DecodesModuleJsonWithFreshIdsAndNoSource) {
    auto j = jsonx::parse(R"([
        {"title":"Song","artist":"Artist","genre":"House","duration":245,"bpm":124.5,"key":"8A",
         "contentId":"12345","folderPath":"/music/song.mp3","streamingService":null,"isrc":"DEABC1234567"},
        {"title":"Other","artist":"B","genre":"","duration":60}
    ])");
    auto tracks = rekordboxTracksFromJson(j);
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].title, "Song");
    EXPECT_EQ(tracks[0].duration, 245);
    EXPECT_EQ(tracks[0].bpm, 124.5);
    EXPECT_EQ(tracks[0].key, "8A");
    EXPECT_EQ(tracks[0].contentId, "12345");
    EXPECT_EQ(tracks[0].folderPath, "/music/song.mp3");
    EXPECT_FALSE(tracks[0].streamingService);
    EXPECT_EQ(tracks[0].isrc, "DEABC1234567");
    EXPECT_TRUE(tracks[0].djSource.empty());
    EXPECT_FALSE(tracks[1].bpm);
    EXPECT_FALSE(tracks[1].key);
    EXPECT_FALSE(tracks[0].id.empty());
    EXPECT_NE(tracks[0].id, tracks[1].id);

    // Written back, the record carries the module's keys only and decodes to the same fields.
    json back = tracks[0].toJson();
    EXPECT_FALSE(back.contains("id"));
    EXPECT_FALSE(back.contains("djSource"));
    auto again = RekordboxTrack::fromJson(back);
    again.id = tracks[0].id;
    EXPECT_EQ(again, tracks[0]);
}

TEST(RekordboxTrack, WrongTypesAndMissingKeysFailDecoding) {
    EXPECT_THROW(RekordboxTrack::fromJson(jsonx::parse(R"({"title":"a","artist":"b","genre":""})")), DecodeError);
    EXPECT_THROW(RekordboxTrack::fromJson(jsonx::parse(R"({"title":"a","artist":"b","genre":"","duration":"60"})")),
                 DecodeError);
    EXPECT_THROW(
        RekordboxTrack::fromJson(jsonx::parse(R"({"title":"a","artist":"b","genre":"","duration":60,"bpm":"x"})")),
        DecodeError);
    EXPECT_THROW(rekordboxTracksFromJson(jsonx::parse(R"({"title":"a"})")), DecodeError);
    EXPECT_THROW(rekordboxTracksFromJson(jsonx::parse("[1]")), DecodeError);
}
