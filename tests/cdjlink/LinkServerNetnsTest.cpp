// The whole media source in a network namespace on its production ports: start order, the second
// start, interface errors, the same-subnet warning, rollback on a taken port, forwarding of what
// the presence sees, settings on the fly.
#include <arpa/inet.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "DbTestClient.hpp"
#include "Netns.hpp"
#include "cdjlink/CDJLinkServer.hpp"
#include "cdjlink/CDJLog.hpp"
#include "cdjlink/NfsTestSupport.hpp"
#include "core/SerialQueue.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;
using fv::test::NetnsPair;
using fv::test::RpcUdpClient;
using fv::test::Wire;

namespace {

class LogCapture {
public:
    LogCapture() {
        cdjLog().setOnEntry([this](const CDJLogEntry& e) {
            std::lock_guard<std::mutex> l(m_);
            lines_.push_back(e.tag + " " + e.message);
        });
    }
    ~LogCapture() { cdjLog().setOnEntry(nullptr); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> l(m_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> l(m_);
        lines_.clear();
    }
    // Index of the first line containing text, or -1.
    int find(const std::string& text) const {
        auto all = lines();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].find(text) != std::string::npos) return static_cast<int>(i);
        return -1;
    }

private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

template <typename P>
bool waitFor(P pred, std::chrono::milliseconds timeout = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return pred();
}

// Nobody holds the port in the namespace (TCP: nobody listens).
bool portFree(const NetnsPair::Side& side, int type, uint16_t port) {
    return NetnsPair::runInside(side, [&] {
        const int fd = ::socket(AF_INET, type, 0);
        int one = 1;
        if (type == SOCK_STREAM) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = fv::test::socketAddress("0.0.0.0", port);
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
                        (type != SOCK_STREAM || ::listen(fd, 1) == 0);
        ::close(fd);
        return ok;
    });
}

// Every port of the three services is free again.
void expectNothingOpen(const NetnsPair::Side& side, const char* when) {
    for (uint16_t p : {50111, 38251, 2049, 50000, 50001, 50002})
        EXPECT_TRUE(portFree(side, SOCK_DGRAM, p)) << "UDP " << p << " " << when;
    for (uint16_t p : {2049, 12523, 1051}) EXPECT_TRUE(portFree(side, SOCK_STREAM, p)) << "TCP " << p << " " << when;
}

// A socket held in the namespace without reuse, as another program would hold the port.
struct HeldPort {
    int fd = -1;
    HeldPort(const NetnsPair::Side& side, int type, uint16_t port) {
        fd = NetnsPair::runInside(side, [&] {
            const int s = ::socket(AF_INET, type, 0);
            sockaddr_in sa = fv::test::socketAddress("0.0.0.0", port);
            if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) ADD_FAILURE() << "bind " << port;
            if (type == SOCK_STREAM) ::listen(s, 4);
            return s;
        });
    }
    ~HeldPort() { ::close(fd); }
};

bool tcpConnects(const NetnsPair::Side& from, const std::string& host, uint16_t port) {
    return NetnsPair::runInside(from, [&] { return fv::test::RpcTcpClient(port, host).connected(); });
}

struct Rig {
    std::unique_ptr<NetnsPair> ns;
    std::string skip;
    std::shared_ptr<CDJLibrary> library = std::make_shared<CDJLibrary>();
    std::shared_ptr<CDJLinkServer> server;
    std::mutex m;
    std::vector<CDJDeckState> deckEvents;
    std::vector<std::vector<CDJPeer>> peerEvents;
    std::vector<std::vector<uint32_t>> tagEvents;

    explicit Rig(CDJLinkSettings settings = {}, CDJLinkServerOptions options = {}) {
        ns = NetnsPair::create(&skip);
        if (!ns) return;
        CDJTrack t;
        t.id = 9;
        t.title = "Titel";
        t.artist = "Künstler";
        t.fileType = "mp3";
        library->replaceContent({t}, {});
        if (settings.interfaceName.empty()) settings.interfaceName = ns->a().veth;
        server = std::make_shared<CDJLinkServer>(library, settings, std::move(options));
        // Interface choice and sockets happen on the link's queue: it lives in namespace a.
        server->queue().dispatchSync([&] { NetnsPair::enter(ns->a()); });
        server->onDeckChanged = [this](const CDJDeckState& d) {
            std::lock_guard<std::mutex> l(m);
            deckEvents.push_back(d);
        };
        server->onPeersChanged = [this](const std::vector<CDJPeer>& p) {
            std::lock_guard<std::mutex> l(m);
            peerEvents.push_back(p);
        };
        server->onTagListChanged = [this](const std::vector<uint32_t>& t) {
            std::lock_guard<std::mutex> l(m);
            tagEvents.push_back(t);
        };
    }
    ~Rig() {
        if (server) server->stop();
        server.reset();
    }
};

#define NETNS_RIG(var, ...) \
    Rig var{__VA_ARGS__};   \
    if (!var.ns) GTEST_SKIP() << var.skip;

std::vector<uint8_t> linkPacket(uint8_t type, size_t size) {
    std::vector<uint8_t> p(size, 0);
    const char* magic = "Qspt1WmJOL";
    std::copy(magic, magic + 10, p.begin());
    p[10] = type;
    return p;
}

}  // namespace

TEST(LinkServer, StartsTheServicesInOrderForwardsAndStopsThemAll) {
    LogCapture log;
    NETNS_RIG(rig);
    const std::string host = rig.ns->a().address;
    EXPECT_FALSE(rig.server->isRunning());
    EXPECT_TRUE(rig.server->decks().empty());

    rig.server->start();
    EXPECT_TRUE(rig.server->isRunning());
    EXPECT_EQ(rig.server->iface().name, rig.ns->a().veth);
    EXPECT_EQ(rig.server->iface().address, host);
    EXPECT_EQ(log.find("INFO CDJ-Library \"Floorvote Library\" startet auf " + rig.ns->a().veth +
                       " 10.99.0.1/255.255.255.0 → 10.99.0.255"),
              0);
    // File service, then database, then presence.
    const int nfs = log.find("OK Lausche UDP :50111 "), nfsTcp = log.find("OK Lausche TCP :2049 ");
    const int query = log.find("OK Lausche TCP :12523 "), db = log.find("OK Lausche TCP :1051 ");
    const int presence = log.find("OK Lausche UDP :50000 ");
    ASSERT_GE(nfs, 0);
    EXPECT_LT(nfs, nfsTcp);
    EXPECT_LT(nfsTcp, query);
    EXPECT_LT(query, db);
    EXPECT_LT(db, presence);
    EXPECT_EQ(log.find("WARN Weitere Interfaces"), -1);

    // Reachable from the player's side.
    NetnsPair::runInside(rig.ns->b(), [&] {
        RpcUdpClient udp(host);
        EXPECT_EQ(udp.call(50111, rpcCallMessage(1, 100000, 2, 3, Wire().ws({100005, 1, 17, 0}).b)),
                  Wire().ok(1).w(38251).b);
        EXPECT_EQ(udp.call(2049, rpcCallMessage(2, 100003, 2, 0, {})), Wire().ok(2).b);
    });
    EXPECT_TRUE(tcpConnects(rig.ns->b(), host, 12523));
    EXPECT_TRUE(tcpConnects(rig.ns->b(), host, 1051));

    // A second start fails and leaves the running services alone.
    const size_t linesBefore = log.lines().size();
    try {
        rig.server->start();
        ADD_FAILURE() << "second start must fail";
    } catch (const CDJLinkServerError& e) {
        EXPECT_EQ(e.kind(), CDJLinkServerError::Kind::alreadyRunning);
        EXPECT_STREQ(e.what(), "CDJ-Library läuft bereits.");
    }
    EXPECT_TRUE(rig.server->isRunning());
    for (size_t i = linesBefore; i < log.lines().size(); ++i)
        EXPECT_EQ(log.lines()[i].find("Lausche"), std::string::npos) << log.lines()[i];
    NetnsPair::runInside(rig.ns->b(), [&] {
        RpcUdpClient udp(host);
        EXPECT_EQ(udp.call(2049, rpcCallMessage(3, 100003, 2, 0, {})), Wire().ok(3).b);
    });

    // What the presence sees reaches the server's callbacks and the decks accessor.
    NetnsPair::runInside(rig.ns->b(), [&] {
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        auto keepalive = linkPacket(0x06, 54);
        const char* name = "CDJ-3000";
        std::copy(name, name + 8, keepalive.begin() + 12);
        keepalive[36] = 2;
        keepalive[52] = 1;
        sockaddr_in announce = fv::test::socketAddress(host, 50000);
        ::sendto(s, keepalive.data(), keepalive.size(), 0, reinterpret_cast<sockaddr*>(&announce), sizeof announce);
        auto status = linkPacket(0x0A, 212);
        status[33] = 2;      // player
        status[40] = 17;     // loaded from our device number
        status[41] = 4;      // rekordbox slot
        status[47] = 9;      // track id 9
        status[123] = 3;     // playing
        status[137] = 0x08;  // on air
        status[146] = 0x32;
        status[147] = 0x00;  // 128.00 BPM
        sockaddr_in statusPort = fv::test::socketAddress(host, 50002);
        ::sendto(s, status.data(), status.size(), 0, reinterpret_cast<sockaddr*>(&statusPort), sizeof statusPort);
        ::close(s);
    });
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> l(rig.m);
        return !rig.deckEvents.empty() && !rig.peerEvents.empty();
    }));
    {
        std::lock_guard<std::mutex> l(rig.m);
        EXPECT_EQ(rig.deckEvents.front().player, 2);
        EXPECT_EQ(rig.deckEvents.front().trackId, 9u);
        EXPECT_TRUE(rig.deckEvents.front().fromLibrary);
        EXPECT_TRUE(rig.deckEvents.front().onAir);
        ASSERT_EQ(rig.peerEvents.front().size(), 1u);
        EXPECT_EQ(rig.peerEvents.front()[0].name, "CDJ-3000");
        EXPECT_EQ(rig.peerEvents.front()[0].address, rig.ns->b().address);
    }
    const auto decks = rig.server->decks();
    ASSERT_EQ(decks.count(2), 1u);
    EXPECT_TRUE(decks.at(2).isPlaying);

    // A player tagging a track on the database reaches the server's callback.
    NetnsPair::runInside(rig.ns->a(), [&] {
        using namespace fv::cdj::dbtest;
        Client db(1051);
        db.greet();
        EXPECT_EQ(db.request(0x0000, {n(2)}).type, 0x4000);
        EXPECT_EQ(db.request(0x3002, {n(dmst(2, 1)), n(9), n(1)}).nums(), (std::vector<uint32_t>{0x3002, 0}));
    });
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> l(rig.m);
        return !rig.tagEvents.empty();
    }));
    {
        std::lock_guard<std::mutex> l(rig.m);
        EXPECT_EQ(rig.tagEvents.front(), (std::vector<uint32_t>{9}));
    }
    EXPECT_EQ(rig.library->tagList(), (std::vector<uint32_t>{9}));

    // Settings on the fly reach the database server; presence and file service keep theirs.
    CDJLinkSettings changed = rig.server->settings();
    changed.column = CDJColumn::bpm;
    changed.showMessagesList = true;
    rig.server->updateSettings(changed);
    EXPECT_EQ(rig.server->settings(), changed);
    ASSERT_TRUE(rig.server->databaseSettings());
    EXPECT_EQ(rig.server->databaseSettings()->column, CDJColumn::bpm);
    EXPECT_TRUE(rig.server->databaseSettings()->showMessagesList);

    // Stop: everything closed, nothing known any more; the same server starts again.
    log.clear();
    rig.server->stop();
    EXPECT_EQ(log.find("INFO CDJ-Library wird beendet (CDJs verlieren die Quelle nach ~5 s Keepalive-Timeout)"), 0);
    EXPECT_FALSE(rig.server->isRunning());
    EXPECT_TRUE(rig.server->decks().empty());
    EXPECT_FALSE(rig.server->databaseSettings());
    expectNothingOpen(rig.ns->a(), "after stop");
    rig.server->stop();  // nothing when not running
    EXPECT_EQ(log.lines().size(), 1u);

    rig.server->start();
    EXPECT_TRUE(rig.server->isRunning());
    EXPECT_EQ(rig.server->databaseSettings()->column, CDJColumn::bpm);
    rig.server->stop();
    expectNothingOpen(rig.ns->a(), "after the second stop");
}

TEST(LinkServer, InterfaceErrorsAndTheSameSubnetWarning) {
    LogCapture log;
    {
        CDJLinkSettings s;
        s.interfaceName = "fvnope0";
        NETNS_RIG(rig, s);
        try {
            rig.server->start();
            ADD_FAILURE() << "start must fail";
        } catch (const CDJLinkServerError& e) {
            EXPECT_EQ(e.kind(), CDJLinkServerError::Kind::noInterface);
            EXPECT_EQ(e.interfaceName(), "fvnope0");
            EXPECT_STREQ(e.what(), "Interface fvnope0 nicht gefunden.");
        }
        EXPECT_FALSE(rig.server->isRunning());
        expectNothingOpen(rig.ns->a(), "after a missing interface");
    }
    {
        // No usable interface at all (the choice itself is tested with the socket toolkit).
        CDJLinkServerOptions none;
        none.interfaces = [] { return std::vector<CDJInterface>{}; };
        auto server = std::make_shared<CDJLinkServer>(std::make_shared<CDJLibrary>(), CDJLinkSettings{}, none);
        try {
            server->start();
            ADD_FAILURE() << "start must fail";
        } catch (const CDJLinkServerError& e) {
            EXPECT_EQ(e.kind(), CDJLinkServerError::Kind::noInterface);
            EXPECT_STREQ(e.what(), "Kein Netzwerk-Interface mit IPv4-Adresse gefunden.");
        }
        EXPECT_FALSE(server->isRunning());
        EXPECT_STREQ(CDJLinkServerError::rekordboxRunning().what(),
                     "rekordbox läuft – bitte beenden, die CDJ-Library braucht dieselben Netzwerk-Ports.");
    }
    {
        // A second interface in the same subnet (Wi-Fi beside Ethernet): a warning, then a normal start.
        NETNS_RIG(rig);
        // A veth pair with both ends in namespace a; one end gets an address in the same subnet.
        const std::string dummy = rig.ns->a().veth + "w";
        const std::string peer = rig.ns->a().veth + "p";
        for (const std::vector<std::string>& cmd : std::vector<std::vector<std::string>>{
                 {"ip", "-n", rig.ns->a().ns, "link", "add", dummy, "type", "veth", "peer", "name", peer},
                 {"ip", "-n", rig.ns->a().ns, "addr", "add", "10.99.0.7/24", "dev", dummy},
                 {"ip", "-n", rig.ns->a().ns, "link", "set", dummy, "up"},
                 {"ip", "-n", rig.ns->a().ns, "link", "set", peer, "up"}}) {
            auto r = fv::test::runProcess(cmd);
            ASSERT_EQ(r.exitCode, 0) << r.err;
        }
        log.clear();
        rig.server->start();
        EXPECT_TRUE(rig.server->isRunning());
        EXPECT_GE(log.find("WARN Weitere Interfaces im selben Subnetz: " + dummy +
                           " 10.99.0.7 – CDJ-Antworten können über das falsche Interface eintreffen (WLAN aus oder "
                           "anderes Netz empfohlen)"),
                  0);
        EXPECT_LT(log.find("INFO CDJ-Library"), log.find("WARN Weitere Interfaces"));
        EXPECT_EQ(rig.server->iface().name, rig.ns->a().veth);
        rig.server->stop();
    }
}

TEST(LinkServer, ATakenPortStopsWhatHadStartedAndNamesThePort) {
    LogCapture log;
    NETNS_RIG(rig);
    struct Case {
        int type;
        uint16_t port;
        const char* startedBefore;  // a service that had started and must be closed again
    };
    const Case cases[] = {
        {SOCK_STREAM, 1051, "OK Lausche TCP :2049 (NFS/TCP)"},  // database: the file service is stopped again
        {SOCK_DGRAM, 50002, "OK Lausche TCP :1051 "},           // presence: file service and database
        {SOCK_DGRAM, 2049, nullptr},                            // the first service itself
    };
    for (const Case& c : cases) {
        log.clear();
        {
            HeldPort held(rig.ns->a(), c.type, c.port);
            try {
                rig.server->start();
                ADD_FAILURE() << "start must fail with port " << c.port << " taken";
            } catch (const CDJSocketError& e) {
                EXPECT_EQ(e.kind(), CDJSocketError::Kind::bind);
                EXPECT_EQ(e.port(), c.port);
                EXPECT_EQ(std::string(e.what()),
                          fmt::format("Port {} belegt oder nicht bindbar (Address already in use) – läuft rekordbox?",
                                      c.port));
            }
            EXPECT_FALSE(rig.server->isRunning());
            EXPECT_TRUE(rig.server->decks().empty());
            if (c.startedBefore) {
                EXPECT_GE(log.find(c.startedBefore), 0) << c.port;
            }
        }
        expectNothingOpen(rig.ns->a(), fmt::format("after port {} was taken", c.port).c_str());
    }
    // With the ports free again the same server starts.
    rig.server->start();
    EXPECT_TRUE(rig.server->isRunning());
    rig.server->stop();
}

// A database client that asks for big lists and stops reading must not hold the link's queue:
// the players drop a source whose keepalives pause for about 5 s.
TEST(LinkServer, AStalledDatabaseClientDoesNotHoldTheKeepalives) {
    LogCapture log;
    NETNS_RIG(rig);
    {
        std::vector<CDJTrack> tracks;
        for (uint32_t id = 1; id <= 2000; ++id) {
            CDJTrack t;
            t.id = id;
            t.title = fmt::format("Ein ziemlich langer Titel für Nummer {}", id);
            t.artist = "Künstler mit einem langen Namen";
            t.fileType = "mp3";
            tracks.push_back(t);
        }
        rig.library->replaceContent(tracks, {});
    }
    const std::string host = rig.ns->a().address;

    // The player's announce port: keepalive arrival times.
    const int player = NetnsPair::runInside(rig.ns->b(), [] {
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa = fv::test::socketAddress("0.0.0.0", 50000);
        if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) ADD_FAILURE() << "bind 50000";
        return s;
    });
    std::mutex m;
    std::vector<std::chrono::steady_clock::time_point> keepalives;
    std::atomic<bool> listening{true};
    std::thread reader([&] {
        uint8_t buf[2048];
        while (listening) {
            pollfd p{player, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(player, buf, sizeof buf, 0);
            if (n == 54 && buf[10] == 0x06) {
                std::lock_guard<std::mutex> l(m);
                keepalives.push_back(std::chrono::steady_clock::now());
            }
        }
    });
    auto keepaliveCount = [&] {
        std::lock_guard<std::mutex> l(m);
        return keepalives.size();
    };

    rig.server->start();
    ASSERT_TRUE(waitFor([&] { return keepaliveCount() >= 1; }, 15000ms));

    // The stalled client: a small receive buffer, forty whole-list renders, and never a read.
    using namespace fv::cdj::dbtest;
    auto stalled = NetnsPair::runInside(rig.ns->b(), [&] { return std::make_unique<Client>(1051, host, 4096); });
    stalled->greet();
    Raw burst = encodeRequest(1, 0x1004, {n(dmst(2, 1)), n(0)});
    for (uint32_t tx = 2; tx < 42; ++tx) {
        Raw r = encodeRequest(tx, 0x3000, {n(dmst(2, 1)), n(0), n(0), n(0), n(2000), n(0), n(0), n(0)});
        burst.insert(burst.end(), r.begin(), r.end());
    }
    stalled->send(burst);
    const size_t before = keepaliveCount();

    // Meanwhile another player's session is answered at once.
    auto other = NetnsPair::runInside(rig.ns->b(), [&] { return std::make_unique<Client>(1051, host); });
    other->greet();
    EXPECT_EQ(other->request(0x0000, {n(dmst(2, 0))}).type, 0x4000);

    // Keepalives go on every 1.5 s (generously bounded for a busy machine) for the next 8 s.
    std::this_thread::sleep_for(8s);
    listening = false;
    reader.join();
    ::close(player);
    std::vector<std::chrono::steady_clock::time_point> seen;
    {
        std::lock_guard<std::mutex> l(m);
        seen.assign(keepalives.begin() + static_cast<std::ptrdiff_t>(before - 1), keepalives.end());
    }
    EXPECT_GE(seen.size(), 5u);
    for (size_t i = 1; i < seen.size(); ++i) {
        const double gap = std::chrono::duration<double>(seen[i] - seen[i - 1]).count();
        EXPECT_LT(gap, 3.0) << "keepalive " << i << " after " << gap << " s";
    }
    // The stalled connection alone is closed once its outbox overflows.
    EXPECT_TRUE(waitFor([&] { return log.find("Gegenstelle liest nicht") >= 0; }, 10000ms));
    EXPECT_EQ(other->request(0x0000, {n(dmst(2, 0))}).type, 0x4000);
}
