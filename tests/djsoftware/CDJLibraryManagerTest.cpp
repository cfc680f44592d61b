// The library manager without a network: the served lists and their order, requests served from
// their own file, the cache files, a bad rekordbox answer, a local rekordbox holding the ports.
#include <gtest/gtest.h>

#include <chrono>

#include <fmt/format.h>

#include "cdjlink/CDJLog.hpp"
#include "core/Files.hpp"
#include "core/MainLoop.hpp"
#include "djsoftware/CDJLibraryManager.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/RekordboxTestDb.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;

namespace {

struct Rig {
    fv::test::TempDir dir;
    std::unique_ptr<fv::test::RekordboxTestDb> db;
    std::vector<std::string> ids;
    std::vector<std::string> logLines;

    Rig() {
        db = std::make_unique<fv::test::RekordboxTestDb>(dir / "rekordbox");
        for (int i = 0; i < 30; ++i)
            ids.push_back(db->addTrack(fv::test::rbTrack("Titel " + std::to_string(i), "Künstler", "", "", "",
                                                      "/music/t" + std::to_string(i) + ".mp3")));
        db->close();
        RekordboxService::shared().keyProvider = [] { return std::nullopt; };
        cdjLog().setFilePath(dir / "cdjlink.log");
    }
    CDJLibraryManager::Options options() const {
        CDJLibraryManager::Options o;
        o.cacheFolder = dir / "cache";
        o.isRekordboxRunning = [] { return false; };
        o.timings.debounce = 10ms;
        return o;
    }
    std::function<CDJLibraryManager::RekordboxPaths()> paths() const {
        return [this] { return CDJLibraryManager::RekordboxPaths{db->file().string(), ""}; };
    }
    static Track track(int64_t id) {
        Track t;
        t.id = id;
        t.title = "Titel " + std::to_string(id);
        t.artist = "Künstler";
        return t;
    }
    static MusicRequest request(int64_t id, int64_t trackId, RequestStatus s, int64_t votes, std::string created,
                                std::optional<std::string> confirmed = std::nullopt) {
        MusicRequest r;
        r.id = id;
        r.trackId = trackId;
        r.status = s;
        r.voteCount = votes;
        r.createdAt = std::move(created);
        r.confirmedAt = std::move(confirmed);
        return r;
    }
};

bool built(CDJLibraryManager& m, int64_t count) {
    return MainLoop::shared().runUntil([&] { return m.buildCount() >= count; }, 20s);
}

std::vector<uint32_t> listIds(const CDJLibraryManager& m, uint32_t list) {
    for (const auto& p : m.library()->playlists())
        if (p.id == list) return p.trackIds;
    return {};
}

uint32_t rb(const Rig& rig, int i) { return static_cast<uint32_t>(std::stoul(rig.ids[size_t(i)])); }

}  // namespace

TEST(CDJLibraryManager, ServedListsFollowTheirOrderAndLimits) {
    Rig rig;
    CDJLibraryManager m(RekordboxService::shared(), rig.paths(), rig.options());
    std::vector<Track> tracks;
    for (int i = 0; i < 30; ++i) tracks.push_back(Rig::track(i));
    std::vector<MusicRequest> requests;
    // 25 pending with votes 0..4, oldest first within a vote count.
    for (int i = 0; i < 25; ++i)
        requests.push_back(Rig::request(100 + i, i, RequestStatus::pending, i % 5, fmt::format("2024-05-01T20:{:02}", i)));
    requests.push_back(Rig::request(200, 25, RequestStatus::confirmed, 1, "2024-05-01T19:00", "2024-05-01T21:05"));
    requests.push_back(Rig::request(201, 26, RequestStatus::confirmed, 1, "2024-05-01T19:00", std::nullopt));
    requests.push_back(Rig::request(202, 27, RequestStatus::confirmed, 9, "2024-05-01T19:00", "2024-05-01T21:09"));
    requests.push_back(Rig::request(203, 28, RequestStatus::played, 0, "2024-05-01T19:00", "2024-05-01T20:00"));
    requests.push_back(Rig::request(204, 29, RequestStatus::played, 0, "2024-05-01T19:30", std::nullopt));
    requests.push_back(Rig::request(205, 24, RequestStatus::declined, 50, "2024-05-01T19:30"));
    m.update(requests, tracks);
    ASSERT_TRUE(built(m, 1));

    EXPECT_EQ(listIds(m, 4711), (std::vector<uint32_t>{rb(rig, 27), rb(rig, 26), rb(rig, 25)}));
    const auto wish = listIds(m, 4712);
    ASSERT_EQ(wish.size(), 20u);
    // Votes 4 first (tracks 4, 9, 14, 19, 24 by age), then 3, …
    EXPECT_EQ(std::vector<uint32_t>(wish.begin(), wish.begin() + 6),
              (std::vector<uint32_t>{rb(rig, 4), rb(rig, 9), rb(rig, 14), rb(rig, 19), rb(rig, 24), rb(rig, 3)}));
    const auto top = listIds(m, 4713);
    ASSERT_EQ(top.size(), 20u);
    EXPECT_EQ(top[0], rb(rig, 27));  // 9 votes, confirmed
    EXPECT_EQ(top[1], rb(rig, 4));
    EXPECT_EQ(listIds(m, 4714), (std::vector<uint32_t>{rb(rig, 28), rb(rig, 29)}));  // latest first
    EXPECT_EQ(m.library()->playlists().size(), 4u);  // no event playlist, no messages by default
    // Pending without votes beyond the first 20 are in no list (tracks 0, 5, 10, 15, 20).
    EXPECT_EQ(m.servedTrackCount(), 25u);

    // Messages and the played list follow the settings; no server runs while off.
    CDJLinkSettings s;
    s.showMessagesList = true;
    s.showPlayedList = false;
    m.applySettings(false, s);
    GuestMessage msg;
    msg.id = 1;
    msg.content = "Bitte mehr Bass!";
    msg.guestName = "Mia";
    m.setMessages({msg});
    ASSERT_TRUE(built(m, 2));
    auto lists = m.library()->playlists();
    ASSERT_EQ(lists.size(), 4u);
    EXPECT_EQ(lists[3].name, "Nachrichten");
    ASSERT_EQ(lists[3].trackIds.size(), 1u);
    auto entry = m.library()->track(lists[3].trackIds[0]);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->title, "Bitte mehr Bass!");
    EXPECT_EQ(entry->artist, "Mia");
    EXPECT_EQ(entry->filePath, "");
}

TEST(CDJLibraryManager, RequestsWithoutRekordboxTrackAreServedFromTheirOwnFile) {
    Rig rig;
    fv::test::writeFile(rig.dir / "own.flac", std::string(777, 'x'));
    CDJLibraryManager m(RekordboxService::shared(), rig.paths(), rig.options());
    Track own = Rig::track(500);
    own.title = "Nicht in rekordbox";
    own.folderPath = (rig.dir / "own.flac").string();
    own.durationSeconds = 321;
    own.bpm = 124.5;
    Track lost = Rig::track(501);
    lost.title = "Nirgends";
    m.update({Rig::request(1, 500, RequestStatus::confirmed, 0, "a", "b"),
              Rig::request(2, 501, RequestStatus::confirmed, 0, "a", "c")},
             {own, lost});
    ASSERT_TRUE(built(m, 1));
    const uint32_t id = cdjOwnFileIdBase | 500;
    EXPECT_EQ(listIds(m, 4711), (std::vector<uint32_t>{id}));
    auto t = m.library()->track(id);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->title, "Nicht in rekordbox");
    EXPECT_EQ(t->filePath, (rig.dir / "own.flac").string());
    EXPECT_EQ(t->fileSize, 777);
    EXPECT_EQ(t->fileType, "flac");
    EXPECT_EQ(t->duration, 321);
    EXPECT_EQ(t->bpm100, 12450);
    EXPECT_EQ(m.requestTrackIdsFor(id), (std::vector<int64_t>{500}));
}

TEST(CDJLibraryManager, CacheFilesCarryOverAndABadAnswerKeepsTheLibrary) {
    Rig rig;
    std::vector<std::string> lines;
    {
        CDJLibraryManager m(RekordboxService::shared(), rig.paths(), rig.options());
        m.update({Rig::request(1, 3, RequestStatus::confirmed, 0, "a", "b")}, {Rig::track(3)});
        ASSERT_TRUE(built(m, 1));
        EXPECT_EQ(m.cacheCount(), 1u);
        EXPECT_EQ(m.idMap().at(3), rb(rig, 3));
    }
    auto cached = readFile(rig.dir / "cache/tracks.json");
    ASSERT_TRUE(cached);
    EXPECT_EQ(parseTracks(*cached).at(0).title, "Titel 3");
    EXPECT_EQ(readFile(rig.dir / "cache/idmap.json"), "{\"3\":" + rig.ids[3] + "}");

    // A new manager starts from the cache: no rekordbox needed for the known track.
    cdjLog().setOnEntry(nullptr);
    auto before = cdjLog().entries().size();
    CDJLibraryManager m(RekordboxService::shared(), [] { return CDJLibraryManager::RekordboxPaths{}; },
                        rig.options());
    auto entries = cdjLog().entries();
    ASSERT_GT(entries.size(), before);
    EXPECT_EQ(entries.back().message, "rekordbox-Cache: 1 Tracks geladen, 0 fehlen");
    m.update({Rig::request(1, 3, RequestStatus::confirmed, 0, "a", "b")}, {Rig::track(3)});
    ASSERT_TRUE(built(m, 1));
    EXPECT_EQ(listIds(m, 4711), (std::vector<uint32_t>{rb(rig, 3)}));

    // Without a configured database a new track cannot be exported: logged, the rest stays.
    Track t4 = Rig::track(4);
    t4.rekordboxId = rig.ids[4];
    m.update({Rig::request(1, 3, RequestStatus::confirmed, 0, "a", "b"),
              Rig::request(2, 4, RequestStatus::confirmed, 0, "a", "c")},
             {Rig::track(3), t4});
    ASSERT_TRUE(built(m, 2));
    bool logged = false;
    for (const auto& e : cdjLog().entries())
        logged |= e.tag == "ERR" && e.message == "rekordbox-Datenbank nicht konfiguriert (Einstellungen → DJ-Software)";
    EXPECT_TRUE(logged);
    EXPECT_EQ(listIds(m, 4711), (std::vector<uint32_t>{rb(rig, 3)}));

    // A damaged cache file counts as empty.
    fv::test::writeFile(rig.dir / "cache/tracks.json", "[{\"id\": \"kaputt\"}]");
    CDJLibraryManager fresh(RekordboxService::shared(), rig.paths(), rig.options());
    EXPECT_EQ(fresh.cacheCount(), 0u);
}

TEST(CDJLibraryManager, ALocalRekordboxKeepsItInStandbyAndOffTurnsEverythingOff) {
    Rig rig;
    auto o = rig.options();
    bool running = true;
    o.isRekordboxRunning = [&] { return running; };
    CDJLibraryManager m(RekordboxService::shared(), rig.paths(), o);
    EXPECT_EQ(m.mode(), CDJLibraryManager::Mode::off);
    EXPECT_EQ(m.statusText(), "Aus");
    m.applySettings(true, CDJLinkSettings{});
    EXPECT_EQ(m.mode(), CDJLibraryManager::Mode::standby);
    EXPECT_EQ(m.statusText(), "Bereitschaft – rekordbox läuft (belegt die Link-Ports), prüfe erneut in 10 s");
    EXPECT_FALSE(m.isRunning());
    m.applySettings(false, CDJLinkSettings{});
    EXPECT_EQ(m.mode(), CDJLibraryManager::Mode::off);
    EXPECT_EQ(m.statusText(), "Aus");
    EXPECT_EQ(m.statusJson()["mode"], "off");
}
