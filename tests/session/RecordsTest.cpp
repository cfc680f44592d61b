#include <unordered_set>

#include <gtest/gtest.h>

#include "session/Records.hpp"
#include "support/TestSupport.hpp"

using namespace fv;

TEST(TrackDecoding, SourceRule) {
    auto rb = Track::fromJson(json::parse(R"({"id":1,"title":"T","artist":"A","rekordbox_id":"123"})"));
    EXPECT_EQ(rb.source, "rekordbox");
    EXPECT_EQ(rb.sourceId, "123");
    EXPECT_EQ(rb.genre, "");
    EXPECT_EQ(rb.bpm, 0);

    auto se = Track::fromJson(json::parse(R"({"id":1,"title":"T","artist":"A","serato_path":"/m/x.mp3"})"));
    EXPECT_EQ(se.source, "serato");
    EXPECT_EQ(se.sourceId, "/m/x.mp3");
    // A null "source" counts as absent, as null does for every other key.
    auto nullSource = Track::fromJson(json::parse(R"({"id":1,"title":"T","artist":"A","source":null,"rekordbox_id":"9"})"));
    EXPECT_EQ(nullSource.source, "rekordbox");
    EXPECT_EQ(nullSource.sourceId, "9");
    // The Serato path is read only: it never comes back out.
    EXPECT_FALSE(se.toJson().contains("serato_path"));

    auto empty = Track::fromJson(json::parse(R"({"id":1,"title":"T","artist":"A","source":"","rekordbox_id":"9"})"));
    EXPECT_EQ(empty.source, "");
    EXPECT_EQ(empty.sourceId, "");

    auto none = Track::fromJson(json::parse(R"({"id":1,"title":"T","artist":"A","rekordbox_id":""})"));
    EXPECT_EQ(none.source, "");
}

TEST(TrackDecoding, LenientBooleansAndStrictTypes) {
    auto t = Track::fromJson(json::parse(R"({"id":1,"title":"T","artist":"A","hidden":1,"is_hotlist":false})"));
    EXPECT_TRUE(t.hidden);
    EXPECT_FALSE(t.isHotlist);
    EXPECT_THROW(Track::fromJson(json::parse(R"({"id":"1","title":"T","artist":"A"})")), DecodeError);
    EXPECT_THROW(Track::fromJson(json::parse(R"({"id":1,"title":null,"artist":"A"})")), DecodeError);
    EXPECT_THROW(Track::fromJson(json::parse(R"({"id":1,"title":"T","artist":"A","hidden":"yes"})")), DecodeError);
    EXPECT_THROW(Track::fromJson(json::parse(R"([1,2])")), DecodeError);
}

TEST(TrackEncoding, OptionalFieldsOnlyWhenSetAndRoundTrip) {
    Track t;
    t.id = 7;
    t.title = "Ä";
    t.artist = "B";
    json j = t.toJson();
    EXPECT_FALSE(j.contains("folder_path"));
    EXPECT_FALSE(j.contains("position"));
    t.folderPath = "Music/x.mp3";
    t.position = 3;
    EXPECT_EQ(Track::fromJson(t.toJson()), t);
    std::unordered_set<Track> set{t, t};
    EXPECT_EQ(set.size(), 1u);

    TrackInput in;
    in.title = "x";
    in.artist = "y";
    in.bpm = 128;
    EXPECT_EQ(in.toJson().dump(), R"({"artist":"y","bpm":128.0,"title":"x"})");
}

TEST(RequestsDecoding, UnknownStatusFailsTheWholeResponse) {
    const char* ok = R"({"requests":[{"id":1,"title":"a","artist":"b","status":"pending","created_at":"t"},
                                     {"id":2,"title":"c","artist":"d","status":"played","created_at":"t","vote_count":4}]})";
    auto r = decode<RequestsResponse>(ok);
    ASSERT_EQ(r.requests.size(), 2u);
    EXPECT_EQ(r.requests[1].status, RequestStatus::played);
    EXPECT_EQ(r.requests[1].voteCount, 4);
    EXPECT_EQ(r.requests[0].guestName, "");
    EXPECT_FALSE(r.requests[0].confirmedAt);

    const char* bad = R"({"requests":[{"id":1,"title":"a","artist":"b","status":"pending","created_at":"t"},
                                      {"id":2,"title":"c","artist":"d","status":"archived","created_at":"t"}]})";
    try {
        decode<RequestsResponse>(bad);
        FAIL() << "archived must not decode";
    } catch (const DecodeError& e) {
        EXPECT_NE(std::string(e.what()).find("archived"), std::string::npos);
    }
    EXPECT_THROW(decode<RequestsResponse>(R"({"requests":[{"id":1,"title":"a","artist":"b","status":"pending"}]})"),
                 DecodeError);
    EXPECT_THROW(decode<RequestsResponse>(R"({"requests":[)"), DecodeError);
    EXPECT_THROW(decode<RequestsResponse>(R"({})"), DecodeError);
    EXPECT_EQ(allRequestStatuses.size(), 4u);
}

TEST(MessagesDecoding, DefaultsAndIntegerBooleans) {
    auto m = GuestMessage::fromJson(
        json::parse(R"({"id":5,"content":"Hi","created_at":"t","is_read":1,"is_dj_reply":0})"));
    EXPECT_TRUE(m.isRead);
    EXPECT_FALSE(m.isDjReply);
    EXPECT_EQ(m.messageType, "message");
    EXPECT_EQ(GuestMessage::fromJson(m.toJson()), m);
}

TEST(EventDecoding, LiveFlagAndStats) {
    auto e = DJEvent::fromJson(json::parse(R"({"id":"e1"})"));
    EXPECT_TRUE(e.isLive);
    EXPECT_FALSE(e.isActive);
    EXPECT_FALSE(DJEvent::fromJson(json::parse(R"({"id":"e1","isLive":0})")).isLive);
    EXPECT_TRUE(DJEvent::fromJson(json::parse(R"({"id":"e1","is_live":false})")).isLive);
    EXPECT_TRUE(DJEvent::fromJson(json::parse(R"({"id":"e1","isLive":"nope"})")).isLive);
    auto np = DJEvent::fromJson(
        json::parse(R"({"id":"e1","nowPlaying":{"track_title":"x","track_artist":"y","updated_at":"z"}})"));
    ASSERT_TRUE(np.nowPlaying);
    EXPECT_EQ(np.nowPlaying->trackArtist, "y");

    auto s = EventStats::fromJson(json::parse(R"({"pending_count":4})"));
    EXPECT_EQ(s.pendingCount, 4);
    EXPECT_EQ(s.guestHidden, 0);
    EXPECT_FALSE(s.isEmpty());
    EXPECT_TRUE(EventStats{}.isEmpty());
}

TEST(PreferencesDecoding, EmptyObjectGivesDefaultsAndUnknownTypeIsReplaced) {
    auto p = EventPreferences::fromJson(json::object());
    EXPECT_EQ(p.eventType, "club");
    EXPECT_EQ(p.maxRequestsPerGuest, 3);
    EXPECT_EQ(p.maxVotesPerGuest, 15);
    EXPECT_EQ(p.tipAmounts, (std::vector<int64_t>{1, 2, 5}));
    EXPECT_TRUE(p.showNowPlaying);
    EXPECT_EQ(p.activityVoteOnlyThreshold, 50);
    EXPECT_EQ(p.activityVoteOnlyWindowMinutes, 5);
    EXPECT_EQ(p.messageCooldownSeconds, 30);
    EXPECT_EQ(EventPreferences::fromJson(json::parse(R"({"eventType":"birthday"})")).eventType, "club");
    EXPECT_EQ(EventPreferences::fromJson(json::parse(R"({"eventType":"wedding"})")).eventType, "wedding");
    p.activeDjSoftware = "serato";
    p.djSoftwarePlaylistIds = {{"serato", "Floorvote"}};
    EXPECT_EQ(EventPreferences::fromJson(p.toJson()), p);
    EXPECT_FALSE(EventPreferences{}.toJson().contains("bannerUrl"));
}

TEST(OtherRecords, RequiredFieldsAndReadOnlyKeys) {
    auto pl = ServerPlaylist::fromJson(json::parse(R"({"id":3,"rekordbox_playlist_id":"77"})"));
    EXPECT_EQ(pl.source, "rekordbox");
    EXPECT_EQ(pl.sourcePlaylistId, "77");
    EXPECT_FALSE(pl.toJson().contains("rekordbox_playlist_id"));
    EXPECT_FALSE(pl.tracks);

    auto n = DJNotification::fromJson(json::parse(R"({"id":1,"is_read":"x"})"));
    EXPECT_FALSE(n.isRead);
    EXPECT_EQ(n.severity, "info");
    EXPECT_TRUE(DJNotification::fromJson(json::parse(R"({"id":1,"is_read":true})")).isRead);

    EXPECT_THROW(OTPVerifyResponse::fromJson(json::parse(R"({"success":true,"djUuid":"u","accessToken":"a"})")),
                 DecodeError);
    auto d = DedicatedServerResponse::fromJson(json::object());
    EXPECT_FALSE(d.hasDedicatedServer);
    EXPECT_FALSE(d.suspended);

    // Moderation records never fail: a wrong field falls back to its default.
    auto ban = GuestBan::fromJson(json::parse(R"({"id":"x","device_id":"d"})"));
    EXPECT_EQ(ban.id, 0);
    EXPECT_EQ(ban.deviceId, "d");
    EXPECT_EQ(ban.banType, "temp");
    EXPECT_EQ(ban.createdBy, "dj");

    auto big = Track::fromJson(json::parse(R"({"id":9007199254740993,"title":"T","artist":"A"})"));
    EXPECT_EQ(big.id, 9007199254740993LL);
}

TEST(ResolvedFilePath, HomeRelativeAndDropboxFallbacks) {
    test::TempDir home;
    Track t;
    t.folderPath = "Users/a/x.mp3";
    EXPECT_EQ(t.resolvedFilePath(home.path()), "/Users/a/x.mp3");
    t.folderPath = "Music/x.mp3";
    EXPECT_EQ(t.resolvedFilePath(home.path()), home.path().string() + "/Music/x.mp3");

    // Missing under ~/Dropbox but present under CloudStorage: the latter.
    test::writeFile(home / "Library/CloudStorage/Dropbox/set/a.mp3", "x");
    t.folderPath = (home / "Dropbox/set/a.mp3").string();
    EXPECT_EQ(t.resolvedFilePath(home.path()), (home / "Library/CloudStorage/Dropbox/set/a.mp3").string());
    // And the other way round.
    test::writeFile(home / "Dropbox/set/b.mp3", "x");
    t.folderPath = (home / "Library/CloudStorage/Dropbox/set/b.mp3").string();
    EXPECT_EQ(t.resolvedFilePath(home.path()), (home / "Dropbox/set/b.mp3").string());
    // Neither exists: the path as given.
    t.folderPath = (home / "Dropbox/none.mp3").string();
    EXPECT_EQ(t.resolvedFilePath(home.path()), (home / "Dropbox/none.mp3").string());

    // A folder is no audio file.
    t.folderPath = (home / "Dropbox/set").string();
    EXPECT_FALSE(t.resolvedFilePath(home.path()));

    Track v;
    v.source = "virtualdj";
    v.sourceId = "Music/y.mp3";
    EXPECT_EQ(v.resolvedFilePath(home.path()), home.path().string() + "/Music/y.mp3");
    v.source = "rekordbox";
    EXPECT_FALSE(v.resolvedFilePath(home.path()));
}
