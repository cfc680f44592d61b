// The library manager end to end in two network namespaces: a simulated player appears, the
// library built through the real rekordbox module goes active, the player loads and plays a served
// track (with and without a mixer whose on-air flag counts), tags a track, then leaves again.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "cdjlink/DbTestClient.hpp"
#include "cdjlink/Netns.hpp"
#include "cdjlink/NfsTestSupport.hpp"
#include "core/MainLoop.hpp"
#include "core/SerialQueue.hpp"
#include "djsoftware/CDJLibraryManager.hpp"
#include "djsoftware/RekordboxService.hpp"
#include "djsoftware/RekordboxTestDb.hpp"
#include "djsoftware/SimulatedPlayer.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;
using fv::test::NetnsPair;
using namespace fv::test::link;

namespace {

bool waitMain(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    return MainLoop::shared().runUntil(pred, limit);
}

}  // namespace

TEST(CDJLibraryManagerNetns, FollowsThePlayersFromStandbyToActiveAndBack) {
    std::string why;
    auto ns = NetnsPair::create(&why);
    if (!ns) GTEST_SKIP() << why;

    // rekordbox knows two of the requested tracks; the third is only a file of the DJ.
    fv::test::TempDir dir;
    fv::test::RekordboxTestDb db(dir / "rekordbox");
    fv::test::writeFile(dir / "music/a.mp3", std::string(4000, 'a'));
    fv::test::writeFile(dir / "music/own.mp3", std::string(3000, 'o'));
    const std::string a = db.addTrack(fv::test::rbTrack("Alpha", "Künstler A", "", "House", "Am", (dir / "music/a.mp3").string()));
    const std::string b = db.addTrack(fv::test::rbTrack("Beta", "Künstler B", "", "Techno", "Fm", "/elsewhere/b.mp3"));
    db.close();
    RekordboxService::shared().keyProvider = [] { return std::nullopt; };

    CDJLibraryManager::Options options;
    options.cacheFolder = dir / "cache";
    options.isRekordboxRunning = [] { return false; };
    options.prepareQueue = [&](SerialQueue& q) { q.dispatchSync([&] { NetnsPair::enter(ns->a()); }); };
    options.timings.retry = 500ms;
    options.timings.idle = 1500ms;
    options.timings.playTick = 1000ms;
    options.timings.debounce = 50ms;
    CDJLibraryManager manager(RekordboxService::shared(), [&] {
        return CDJLibraryManager::RekordboxPaths{db.file().string(), (dir / "support").string()};
    }, options);
    std::vector<std::string> nowPlaying, played, tagged;
    manager.onNowPlaying = [&](const std::string& t, const std::string& ar, const std::string& id) {
        nowPlaying.push_back(ar + " – " + t + " #" + id);
    };
    manager.onTrackPlayed = [&](const std::string& id) { played.push_back(id); };
    manager.onTagAdded = [&](const std::string& id) { tagged.push_back(id); };

    CDJLinkSettings settings;
    settings.interfaceName = ns->a().veth;
    settings.playedAfterSeconds = 0;  // counts as 5 s
    manager.applySettings(true, settings);
    EXPECT_EQ(manager.mode(), CDJLibraryManager::Mode::standby);
    EXPECT_EQ(manager.statusText(), "Bereitschaft – warte auf CDJs im Netzwerk");

    auto track = [](int64_t id, std::string title, std::string artist, std::optional<std::string> path,
                    int64_t duration = 0) {
        Track t;
        t.id = id;
        t.title = std::move(title);
        t.artist = std::move(artist);
        t.folderPath = std::move(path);
        t.durationSeconds = duration;
        return t;
    };
    auto request = [](int64_t id, int64_t trackId, int64_t votes, RequestStatus s, std::string created,
                      std::optional<std::string> confirmed = std::nullopt) {
        MusicRequest r;
        r.id = id;
        r.trackId = trackId;
        r.voteCount = votes;
        r.status = s;
        r.createdAt = std::move(created);
        r.confirmedAt = std::move(confirmed);
        return r;
    };
    const Track ta = track(1, "Alpha", "Künstler A", (dir / "music/a.mp3").string());
    const Track tb = track(2, "beta", "KÜNSTLER B", std::nullopt);
    const Track tc = track(3, "Eigenes", "DJ", (dir / "music/own.mp3").string(), 200);
    const MusicRequest ra = request(11, 1, 2, RequestStatus::confirmed, "2024-05-01T20:00:00Z", "2024-05-01T20:01:00Z");
    const MusicRequest rb = request(12, 2, 5, RequestStatus::pending, "2024-05-01T20:02:00Z");
    const MusicRequest rc = request(13, 3, 0, RequestStatus::pending, "2024-05-01T20:03:00Z");
    manager.update({ra, rb, rc}, {ta, tb, tc});

    // A player appears while the event is offline: standby says so; online activates at once.
    // The mixer gets an address of its own beside the player's.
    const std::string cdjIp = ns->b().address, mixerIp = "10.99.0.3";
    ASSERT_EQ(fv::test::runProcess({"ip", "-n", ns->b().ns, "addr", "add", mixerIp + "/24", "dev", ns->b().veth})
                  .exitCode, 0);
    const Send cdjAlive{cdjIp, 50000, keepalive("CDJ-3000", 2, 1, cdjIp)};
    const Send mixerAlive{mixerIp, 50000, keepalive("DJM-900NXS2", 33, 3, mixerIp)};
    Player player(*ns);
    player.set({cdjAlive});
    ASSERT_TRUE(waitMain([&] { return manager.standbyPeers().size() == 1; }, 10s)) << manager.statusText();
    EXPECT_EQ(manager.statusText(), "Bereitschaft – Veranstaltung ist offline (1 CDJ im Netz)");
    manager.setEventOnline(true);
    EXPECT_EQ(manager.mode(), CDJLibraryManager::Mode::active);
    EXPECT_TRUE(manager.isRunning());
    EXPECT_EQ(manager.statusText(), "Aktiv als „Floorvote Library“ auf " + ns->a().veth + " 10.99.0.1");

    // The library: rekordbox tracks by path and by name, the own file beside them.
    ASSERT_TRUE(waitMain([&] { return manager.buildCount() >= 1 && manager.servedTrackCount() == 3; }, 20s));
    const uint32_t idA = std::stoul(a), idB = std::stoul(b), idOwn = cdjOwnFileIdBase | 3;
    auto lists = manager.library()->playlists();
    ASSERT_GE(lists.size(), 4u);
    EXPECT_EQ(lists[0], (CDJPlaylist{4711, "Bestätigte Wünsche", {idA}}));
    EXPECT_EQ(lists[1], (CDJPlaylist{4712, "Wunschliste", {idB, idOwn}}));
    EXPECT_EQ(lists[2], (CDJPlaylist{4713, "Top Votes", {idB, idA}}));
    EXPECT_EQ(lists[3].name, "Gespielt");
    EXPECT_EQ(manager.library()->track(idA)->filePath, (dir / "music/a.mp3").string());
    EXPECT_EQ(manager.library()->track(idOwn)->filePath, (dir / "music/own.mp3").string());
    EXPECT_EQ(manager.library()->track(idOwn)->duration, 200);
    EXPECT_TRUE(manager.library()->track(idOwn)->anlz.empty());
    EXPECT_TRUE(std::filesystem::exists(dir / "cache/tracks.json"));
    EXPECT_TRUE(std::filesystem::exists(dir / "cache/idmap.json"));

    // The player plays A on air: now playing once, played after five seconds.
    player.set({cdjAlive, {cdjIp, 50002, status(2, idA, true, true)}});
    ASSERT_TRUE(waitMain([&] { return !nowPlaying.empty(); }, 10s));
    EXPECT_EQ(nowPlaying, (std::vector<std::string>{"Künstler A – Alpha #" + a}));
    ASSERT_TRUE(waitMain([&] { return !played.empty(); }, 15s));
    EXPECT_EQ(played, (std::vector<std::string>{a}));
    EXPECT_TRUE(manager.library()->played().count(idA));
    EXPECT_EQ(nowPlaying.size(), 1u);

    // With a mixer on the link, B on deck 3 counts only once its channel is on air.
    player.set({cdjAlive, mixerAlive});
    ASSERT_TRUE(waitMain([&] {
        return std::any_of(manager.peers().begin(), manager.peers().end(),
                           [](const CDJPeer& p) { return p.kind == "Mixer"; });
    }, 10s));
    player.set({cdjAlive, mixerAlive, {cdjIp, 50002, status(3, idB, true, false)}});
    waitMain([] { return false; }, 6500ms);
    EXPECT_EQ(nowPlaying.size(), 1u);
    EXPECT_EQ(played.size(), 1u);
    player.set({cdjAlive, mixerAlive, {cdjIp, 50002, status(3, idB, true, true)}});
    ASSERT_TRUE(waitMain([&] { return nowPlaying.size() == 2; }, 10s));
    EXPECT_EQ(nowPlaying[1], "Künstler B – Beta #" + b);
    ASSERT_TRUE(waitMain([&] { return played.size() == 2; }, 15s));
    EXPECT_EQ(played[1], b);

    // A track tagged at a player reaches the manager's callback once.
    NetnsPair::runInside(ns->a(), [&] {
        using namespace fv::cdj::dbtest;
        Client client(1051);
        client.greet();
        client.request(0x0000, {n(2)});
        client.request(0x3002, {n(dmst(2, 1)), n(idB), n(1)});
    });
    ASSERT_TRUE(waitMain([&] { return !tagged.empty(); }, 10s));
    EXPECT_EQ(tagged, (std::vector<std::string>{b}));
    EXPECT_EQ(manager.requestTrackIdsFor(idB), (std::vector<int64_t>{2}));

    // The player leaves: its entry expires, and after the idle time the library waits again.
    player.set({});
    ASSERT_TRUE(waitMain([&] { return manager.mode() == CDJLibraryManager::Mode::standby; }, 20s));
    EXPECT_FALSE(manager.isRunning());
    EXPECT_EQ(manager.statusText(), "Bereitschaft – warte auf CDJs im Netzwerk");

    manager.applySettings(false, settings);
    EXPECT_EQ(manager.mode(), CDJLibraryManager::Mode::off);
    EXPECT_EQ(manager.statusText(), "Aus");
}
