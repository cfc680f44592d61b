// The values every bridge shares and the manager over a scripted bridge: statuses, the event
// playlist, polling and the track identifier per program.
// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/Json.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/DJSoftwareManager.hpp"
#include "djsoftware/ScriptedBridge.hpp"
#include "session/AppSettings.hpp"
#include "session/ApiTestService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace std::chrono_literals;
using fv::test::runOnMain;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(DJSoftwareTypeTest, RawValuesDisplayNamesAndOrder) {
    std::vector<std::string> raws, names;
    for (auto t : allDJSoftwareTypes) {
        raws.emplace_back(rawValue(t));
        names.emplace_back(displayName(t));
        EXPECT_EQ(djSoftwareTypeFromRaw(rawValue(t)), t);
    }
    EXPECT_THAT(raws, ElementsAre("rekordbox", "serato", "virtualdj", "spotify", "applemusic", "mixxx"));
    EXPECT_THAT(names, ElementsAre("Rekordbox", "Serato DJ", "VirtualDJ", "Spotify", "Apple Music", "Mixxx"));
    EXPECT_EQ(djSoftwareTypeFromRaw("VirtualDJ"), std::nullopt);
    EXPECT_EQ(djSoftwareTypeFromRaw(""), std::nullopt);

    json j = DJSoftwareType::virtualDJ;
    EXPECT_EQ(j, "virtualdj");
    EXPECT_EQ(json("mixxx").get<DJSoftwareType>(), DJSoftwareType::mixxx);
    EXPECT_THROW(json("traktor").get<DJSoftwareType>(), DecodeError);
    EXPECT_THROW(json(3).get<DJSoftwareType>(), DecodeError);
}

TEST(BridgeStatusTest, LabelsAndEquality) {
    EXPECT_EQ(BridgeStatus::connected("").label(), "Verbunden");
    EXPECT_EQ(BridgeStatus::connected("12 Crates").label(), "Verbunden (12 Crates)");
    EXPECT_EQ(BridgeStatus::notConfigured().labelKey(), "rekordbox_status_not_configured");
    EXPECT_EQ(BridgeStatus::dbAccessFailed().labelKey(), "rekordbox_status_db_failed");
    EXPECT_EQ(BridgeStatus::connected("a"), BridgeStatus::connected("a"));
    EXPECT_NE(BridgeStatus::connected("a"), BridgeStatus::connected("b"));
    EXPECT_NE(BridgeStatus::configured(), BridgeStatus::autoDetected());
    EXPECT_EQ(BridgeStatus(), BridgeStatus::notConfigured());
}

TEST(DJBridgeErrorTest, GermanDescriptions) {
    EXPECT_STREQ(DJBridgeError::softwareNotAvailable(DJSoftwareType::serato).what(),
                 "Serato DJ ist nicht verfügbar oder nicht konfiguriert.");
    EXPECT_STREQ(DJBridgeError::softwareRunning(DJSoftwareType::mixxx).what(),
                 "Mixxx ist geöffnet. Bitte schließe Mixxx vor Schreiboperationen.");
    EXPECT_STREQ(DJBridgeError::playlistCreationFailed("x").what(), "Playlist konnte nicht erstellt werden: x");
    EXPECT_STREQ(DJBridgeError::trackNotFound("7").what(), "Track nicht in der DJ-Software gefunden (ID: 7)");
    EXPECT_STREQ(DJBridgeError::playlistNotFound("p").what(), "Playlist nicht in der DJ-Software gefunden (ID: p)");
    EXPECT_STREQ(DJBridgeError::writeAccessDenied("w").what(), "Kein Schreibzugriff auf DJ-Software: w");
    EXPECT_STREQ(DJBridgeError::networkError("n").what(), "Verbindungsfehler zur DJ-Software: n");
    EXPECT_EQ(DJBridgeError::softwareRunning(DJSoftwareType::mixxx).software(), DJSoftwareType::mixxx);
}

TEST(DJTrackIdentifierTest, PerProgram) {
    fv::test::TempDir dir;
    fv::test::writeFile(dir / "a.mp3", "x");
    Track t;
    t.folderPath = (dir / "a.mp3").string();
    auto serato = DJSoftwareManager::djTrackIdentifier(t, DJSoftwareType::serato);
    ASSERT_TRUE(serato);
    EXPECT_EQ("/" + *serato, (dir / "a.mp3").string()) << "crate entries carry no leading slash";
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(t, DJSoftwareType::virtualDJ), (dir / "a.mp3").string());
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(t, DJSoftwareType::mixxx), (dir / "a.mp3").string());
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(t, DJSoftwareType::spotify), std::nullopt);
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(t, DJSoftwareType::appleMusic), std::nullopt);

    // A folder is no track file.
    Track folder;
    folder.folderPath = dir.path().string();
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(folder, DJSoftwareType::virtualDJ), std::nullopt);

    Track rb;
    rb.source = "spotify";
    rb.sourceId = "sp1";
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(rb, DJSoftwareType::rekordbox), std::nullopt)
        << "a track of another source without rekordboxId";
    rb.rekordboxId = "42";
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(rb, DJSoftwareType::rekordbox), "42");
    Track own;
    own.source = "rekordbox";
    own.sourceId = "9";
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(own, DJSoftwareType::rekordbox), "9");
    own.source = "";
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(own, DJSoftwareType::rekordbox), "9");

    Track vdj;
    vdj.source = "virtualdj";
    vdj.sourceId = (dir / "b.mp3").string();
    EXPECT_EQ(DJSoftwareManager::djTrackIdentifier(vdj, DJSoftwareType::serato), (dir / "b.mp3").string().substr(1));
}

namespace {

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        setLogSink([this](const std::string& line) { logLines.push_back(line); });
    }
    void TearDown() override { setLogSink(nullptr); }

    void useSoftware(const std::string& eventId, const std::string& raw) {
        SavedEvent e;
        e.id = eventId;
        e.eventName = "Sommerfest";
        e.createdAt = "2026-01-01T00:00:00Z";
        e.preferences = EventPreferences{};
        e.preferences->activeDjSoftware = raw;
        SavedEvents::upsert(e);
    }
    bool logged(const std::string& text) const {
        for (const auto& l : logLines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }

    std::unique_ptr<fv::test::TempDir> home;
    std::vector<std::string> logLines;
};

}  // namespace

TEST_F(ManagerTest, ActiveBridgeFollowsTheSavedEvent) {
    DJSoftwareManager m;
    auto vdj = std::make_shared<fv::test::ScriptedBridge>(DJSoftwareType::virtualDJ);
    m.setBridge(vdj);
    EXPECT_EQ(m.activeBridge("ev1"), nullptr) << "unknown event";
    useSoftware("ev1", "virtualdj");
    EXPECT_EQ(m.activeBridge("ev1"), vdj);
    useSoftware("ev1", "spotify");
    EXPECT_EQ(m.activeBridge("ev1"), nullptr);
    useSoftware("ev1", "traktor");
    EXPECT_EQ(m.activeBridge("ev1"), nullptr);
    m.setSessionSoftware("ev1", DJSoftwareType::virtualDJ);
    EXPECT_EQ(m.activeBridge("ev1"), vdj) << "the session's choice wins";
    m.setSessionSoftware("ev1", std::nullopt);
    EXPECT_EQ(m.activeBridge("ev1"), nullptr);
}

TEST_F(ManagerTest, PollingSkipsWithoutBridgeAndForProgramsWithoutNowPlaying) {
    DJSoftwareManager m;
    auto serato = std::make_shared<fv::test::ScriptedBridge>(DJSoftwareType::serato);
    serato->polls = false;
    m.setBridge(serato);
    useSoftware("ev1", "applemusic");
    m.startPolling("ev1", 1);
    EXPECT_FALSE(m.isPolling());
    EXPECT_TRUE(logged("[DJManager] polling skipped — no active bridge"));
    useSoftware("ev1", "serato");
    m.startPolling("ev1", 1);
    EXPECT_FALSE(m.isPolling());
    EXPECT_TRUE(logged("[DJManager] polling skipped — Serato does not support Now Playing"));
    // The playlist operations still work for it.
    EXPECT_EQ(runOnMain(m.ensurePlaylist("ev1", "Sommerfest")), "playlist:Sommerfest");
}

TEST_F(ManagerTest, PollingReportsEachChangeOnceAndAbandonsAHangingRead) {
    DJSoftwareManager m;
    m.setNowPlayingTimeout(300ms);
    auto vdj = std::make_shared<fv::test::ScriptedBridge>(DJSoftwareType::virtualDJ);
    m.setBridge(vdj);
    useSoftware("ev1", "virtualdj");
    std::vector<NowPlayingInfo> seen;
    m.onNowPlayingUpdated = [&](const NowPlayingInfo& i) { seen.push_back(i); };
    vdj->nowPlaying = {DJNowPlaying{"Song A", "Band", {}}, DJNowPlaying{"Song A", "Band", {}}, std::nullopt,
                       DJNowPlaying{"Song A", "Other", {}}};
    vdj->hangOnRead = 2;  // the third read never answers
    m.startPolling("ev1", 1);
    EXPECT_TRUE(m.isPolling());
    EXPECT_TRUE(logged("[DJManager] polling starting for virtualdj, interval=1s"));
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return seen.size() >= 2; }, 10s)) << seen.size();
    EXPECT_EQ(seen[0].trackTitle, "Song A");
    EXPECT_EQ(seen[0].trackArtist, "Band");
    EXPECT_FALSE(seen[0].updatedAt.empty());
    EXPECT_EQ(seen[1].trackArtist, "Other") << "the same title and artist twice is reported once";
    EXPECT_GE(vdj->reads, 4);
    m.stopPolling();
    EXPECT_FALSE(m.isPolling());
    int reads = vdj->reads;
    MainLoop::shared().runUntil([] { return false; }, 1500ms);
    EXPECT_EQ(vdj->reads, reads) << "no reads after stopPolling";
}

TEST_F(ManagerTest, EnsurePlaylistKeepsTheIdInTheEventPreferences) {
    DJSoftwareManager m;
    auto vdj = std::make_shared<fv::test::ScriptedBridge>(DJSoftwareType::virtualDJ);
    m.setBridge(vdj);
    EXPECT_EQ(runOnMain(m.ensurePlaylist("ev1", "X")), std::nullopt);
    EXPECT_EQ(m.playlistStatus(), "DJ-Software nicht erreichbar");
    useSoftware("ev1", "virtualdj");
    EXPECT_EQ(runOnMain(m.ensurePlaylist("ev1", "Sommerfest")), "playlist:Sommerfest");
    EXPECT_EQ(m.playlistStatus(), "Playlist erstellt");
    EXPECT_EQ(DJSoftwareManager::storedPlaylistId("ev1", DJSoftwareType::virtualDJ), "playlist:Sommerfest");
    EXPECT_EQ(DJSoftwareManager::storedPlaylistId("ev1", DJSoftwareType::serato), std::nullopt);
    EXPECT_EQ(vdj->created, 1);

    EXPECT_EQ(runOnMain(m.ensurePlaylist("ev1", "Sommerfest")), "playlist:Sommerfest");
    EXPECT_EQ(m.playlistStatus(), "Playlist vorhanden");
    EXPECT_EQ(vdj->created, 1) << "an existing playlist is not created again";
    EXPECT_EQ(runOnMain(m.checkPlaylist("ev1")), "playlist:Sommerfest");
    EXPECT_EQ(m.playlistStatus(), "Playlist vorhanden (playlist:Sommerfest)");

    // The DJ deleted it in the program.
    vdj->playlists.clear();
    EXPECT_EQ(runOnMain(m.checkPlaylist("ev1")), std::nullopt);
    EXPECT_EQ(m.playlistStatus(), "Playlist nicht gefunden");
    EXPECT_FALSE(m.playlistFound());
    EXPECT_EQ(runOnMain(m.ensurePlaylist("ev1", "Sommerfest")), "playlist:Sommerfest");
    EXPECT_EQ(vdj->created, 2);

    vdj->failWrites = "Platte voll";
    vdj->playlists.clear();
    EXPECT_EQ(runOnMain(m.ensurePlaylist("ev1", "Sommerfest")), std::nullopt);
    EXPECT_EQ(m.lastError(), "Platte voll");
    EXPECT_FALSE(m.playlistFound());
}

TEST_F(ManagerTest, SyncWritesConfirmedRequestsInRequestOrder) {
    fv::test::TempDir music;
    std::vector<Track> tracks;
    for (int i = 1; i <= 4; ++i) {
        fv::test::writeFile(music / ("t" + std::to_string(i) + ".mp3"), "x");
        Track t;
        t.id = i;
        t.folderPath = (music / ("t" + std::to_string(i) + ".mp3")).string();
        tracks.push_back(t);
    }
    Track streaming;
    streaming.id = 9;
    streaming.source = "spotify";
    streaming.sourceId = "abc";
    tracks.push_back(streaming);
    auto req = [](int64_t id, int64_t track, RequestStatus s) {
        MusicRequest r;
        r.id = id;
        r.trackId = track;
        r.status = s;
        return r;
    };
    std::vector<MusicRequest> requests = {req(10, 3, RequestStatus::confirmed), req(11, 1, RequestStatus::pending),
                                          req(12, 1, RequestStatus::confirmed), req(13, 9, RequestStatus::confirmed),
                                          req(14, 3, RequestStatus::confirmed), req(15, 2, RequestStatus::declined)};

    DJSoftwareManager m;
    auto vdj = std::make_shared<fv::test::ScriptedBridge>(DJSoftwareType::virtualDJ);
    m.setBridge(vdj);
    useSoftware("ev1", "virtualdj");
    DJSyncResult r = runOnMain(m.syncConfirmedRequests("ev1", requests, tracks));
    ASSERT_TRUE(r.ok) << m.lastError().value_or("");
    EXPECT_THAT(r.writtenRequestIds, ElementsAre(10, 12, 14));
    EXPECT_EQ(r.skipped, 1u);
    EXPECT_EQ(r.playlistId, "playlist:Sommerfest") << "named after the event";
    EXPECT_THAT(vdj->playlists["playlist:Sommerfest"], ElementsAre(tracks[2].folderPath, tracks[0].folderPath));

    // Again, with one more: still no duplicates, and in request order.
    requests.push_back(req(16, 4, RequestStatus::confirmed));
    r = runOnMain(m.syncConfirmedRequests("ev1", requests, tracks));
    ASSERT_TRUE(r.ok);
    EXPECT_THAT(vdj->playlists["playlist:Sommerfest"],
                ElementsAre(tracks[2].folderPath, tracks[0].folderPath, tracks[3].folderPath));

    // Nothing with a file for the program.
    r = runOnMain(m.syncConfirmedRequests("ev1", {req(20, 9, RequestStatus::confirmed)}, tracks));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(m.lastError(), "Keine Tracks mit passender DJ-Software-Zuordnung gefunden.");

    // A failing write is reported, nothing counts as written.
    vdj->failWrites = "Schreibschutz";
    r = runOnMain(m.syncConfirmedRequests("ev1", requests, tracks));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.writtenRequestIds.empty());
    EXPECT_EQ(m.lastError(), "Schreibschutz");
}

TEST_F(ManagerTest, StatusesComeFromTheBridges) {
    DJSoftwareManager m;
    auto vdj = std::make_shared<fv::test::ScriptedBridge>(DJSoftwareType::virtualDJ);
    vdj->configuredStatus = BridgeStatus::configured();
    vdj->refreshedStatus = BridgeStatus::connected("3 Playlisten · Now Playing");
    m.setBridge(vdj);
    EXPECT_EQ(m.virtualDJBridgeStatus(), BridgeStatus::notConfigured());
    AppSettings s;
    s.activeEventId = "ev1";
    m.configureBridges(s);
    EXPECT_EQ(m.virtualDJBridgeStatus(), BridgeStatus::configured());
    EXPECT_EQ(m.seratoBridgeStatus(), BridgeStatus::notConfigured()) << "no bridge, no status";
    EXPECT_TRUE(runOnMain(m.isConfigured(DJSoftwareType::virtualDJ)));
    EXPECT_FALSE(runOnMain(m.isConfigured(DJSoftwareType::serato)));

    useSoftware("ev1", "virtualdj");
    runOnMain(m.refreshBridgeStatuses());
    EXPECT_EQ(m.virtualDJBridgeStatus(), BridgeStatus::connected("3 Playlisten · Now Playing"));
    EXPECT_EQ(m.playlistStatus(), "Keine Playlist zugewiesen");
    EXPECT_TRUE(logged("[DJManager] refreshBridgeStatuses START"));
    EXPECT_TRUE(logged("[DJManager] refreshBridgeStatuses DONE"));
}

TEST_F(ManagerTest, DeckLoadingNeedsVirtualDJAndAFile) {
    DJSoftwareManager m;
    auto serato = std::make_shared<fv::test::ScriptedBridge>(DJSoftwareType::serato);
    m.setBridge(serato);
    useSoftware("ev1", "serato");
    Track t;
    t.id = 1;
    t.title = "Song";
    EXPECT_FALSE(runOnMain(m.loadTrackToDeck("ev1", 1, {t}, 1)));
    EXPECT_EQ(m.lastError(), "Deck-Loading nur mit VirtualDJ verfuegbar");
    EXPECT_TRUE(logged("[DJManager] loadTrackToDeck called: deck=1, trackId=1, title=Song, tracks=1"));
    EXPECT_TRUE(logged("[DJManager] FAIL: activeBridge=serato, activeEventId=ev1"));

    m.setBridge(std::make_shared<fv::test::ScriptedBridge>(DJSoftwareType::virtualDJ));
    useSoftware("ev1", "virtualdj");
    EXPECT_FALSE(runOnMain(m.loadTrackToDeck("ev1", 1, {t}, 1)));
    EXPECT_EQ(m.lastError(), "Dateipfad fuer Track nicht gefunden");
    EXPECT_TRUE(logged("[DJManager] FAIL: track=Song, resolvedFilePath=nil"));
}
