// The presence and the passive listener against a simulated player in a second network namespace,
// over a real veth link: timing of the claim, keepalives, burst and status, the answers, peer ageing,
// port sharing with another process, and a flood of garbage.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "cdjlink/CDJDiscovery.hpp"
#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJProDJLink.hpp"
#include "core/Log.hpp"
#include "core/SerialQueue.hpp"
#include "Netns.hpp"
#include "VirtualClock.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;
using fv::test::NetnsPair;
using fv::cdj::test::VirtualClock;
using Clock = std::chrono::steady_clock;

namespace {

double secs(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int udpSocket(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        throw std::runtime_error("bind " + std::to_string(port) + ": " + std::strerror(errno));
    }
    return fd;
}

// A player on the other end: sockets on 50000-50002 inside its namespace, every datagram recorded.
class SimPlayer {
public:
    struct Packet {
        Clock::time_point at;
        uint16_t port;  // local port it arrived on
        std::string from;
        Bytes data;
        uint8_t type() const { return data.size() > 10 ? data[10] : 0xFF; }
    };

    explicit SimPlayer(const NetnsPair::Side& side) {
        NetnsPair::runInside(side, [&] {
            for (uint16_t p : {announcePort, beatPort, statusPort}) fds_.push_back({udpSocket(p), p});
        });
        reader_ = std::thread([this] { readLoop(); });
    }
    ~SimPlayer() {
        done_ = true;
        reader_.join();
        for (auto& [fd, p] : fds_) ::close(fd);
    }

    void send(uint16_t fromPort, std::span<const uint8_t> d, const std::string& to, uint16_t toPort) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(toPort);
        ::inet_pton(AF_INET, to.c_str(), &sa.sin_addr);
        for (auto& [fd, p] : fds_)
            if (p == fromPort) ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }

    std::vector<Packet> packets() {
        std::lock_guard g(m_);
        return got_;
    }
    // Packets from `from` matching a type and size.
    std::vector<Packet> select(const std::string& from, uint16_t port, uint8_t type, size_t size) {
        std::vector<Packet> out;
        for (auto& p : packets())
            if (p.from == from && p.port == port && p.type() == type && p.data.size() == size) out.push_back(p);
        return out;
    }
    template <typename P>
    bool waitFor(P pred, Clock::duration timeout) {
        auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            if (pred()) return true;
            std::this_thread::sleep_for(10ms);
        }
        return pred();
    }

private:
    void readLoop() {
        std::vector<pollfd> pf;
        for (auto& [fd, p] : fds_) pf.push_back({fd, POLLIN, 0});
        std::array<uint8_t, 65536> buf;
        while (!done_) {
            if (::poll(pf.data(), pf.size(), 50) <= 0) continue;
            for (size_t i = 0; i < pf.size(); ++i) {
                if (!(pf[i].revents & POLLIN)) continue;
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n = ::recvfrom(pf[i].fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n <= 0) continue;
                char addr[INET_ADDRSTRLEN];
                ::inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
                std::lock_guard g(m_);
                got_.push_back({Clock::now(), fds_[i].second, addr, Bytes(buf.begin(), buf.begin() + n)});
            }
        }
    }

    std::vector<std::pair<int, uint16_t>> fds_;
    std::thread reader_;
    std::atomic<bool> done_{false};
    std::mutex m_;
    std::vector<Packet> got_;
};

Bytes header(uint8_t type, size_t size, uint8_t number = 2) {
    Bytes b(size, 0);
    std::copy(linkpkt::magic.begin(), linkpkt::magic.end(), b.begin());
    b[10] = type;
    if (size >= 34) {
        writeFixedText(b, 11, 20, "CDJ-3000");
        b[33] = number;
    }
    return b;
}

Bytes playerKeepalive(const std::string& name, uint8_t number) {
    Bytes b(54, 0);
    std::copy(linkpkt::magic.begin(), linkpkt::magic.end(), b.begin());
    b[10] = 0x06;
    writeFixedText(b, 12, 20, name);
    b[32] = 1;
    b[33] = 2;
    writeBE16(b, 34, 54);
    b[36] = number;
    b[52] = 1;
    return b;
}

// A link queue living in namespace A, with the presence of the test on it, on virtual time: real
// sockets and packets, but the test moves the clock, and every packet sent is recorded with the
// virtual time it left at.
struct LinkInNamespace {
    struct Sent {
        int64_t ms;  // virtual time since the clock was made
        Bytes data;
        uint16_t port;
    };

    SerialQueue queue{std::string(linkQueueName)};
    VirtualClock clock{queue};
    CDJInterface iface;
    std::shared_ptr<CDJProDJLink> link;

    LinkInNamespace(const NetnsPair& ns, CDJLinkSettings settings, std::shared_ptr<CDJLibrary> lib) {
        queue.dispatchSync([&] { NetnsPair::enter(ns.a()); });
        auto ifaces = queue.dispatchSync([] { return availableInterfaces(); });
        if (ifaces.size() != 1) throw std::runtime_error("expected the one veth interface");
        iface = ifaces[0];
        link = std::make_shared<CDJProDJLink>(queue, iface, std::move(settings), std::move(lib));
        clock.attach(*link);
        link->setSendObserver([this](std::span<const uint8_t> d, const std::string&, uint16_t port) {
            std::lock_guard g(m_);
            sent_.push_back({clock.ms(), Bytes(d.begin(), d.end()), port});
        });
    }
    ~LinkInNamespace() {
        if (link) link->stop();
    }

    // Packets sent of a type and size, in order.
    std::vector<Sent> sent(uint8_t type, size_t size) {
        std::lock_guard g(m_);
        std::vector<Sent> out;
        for (const auto& p : sent_)
            if (p.data.size() > 10 && p.data[10] == type && p.data.size() == size) out.push_back(p);
        return out;
    }
    std::vector<Sent> all() {
        std::lock_guard g(m_);
        return sent_;
    }

private:
    std::mutex m_;
    std::vector<Sent> sent_;
};

struct QuietLog {
    QuietLog() { setLogToStdout(false); }
    ~QuietLog() {
        setLogToStdout(true);
        cdjLog().setOnEntry(nullptr);
    }
};

#define MAKE_NETNS(var)                              \
    std::string why;                                 \
    auto var = NetnsPair::create(&why);              \
    if (!var) GTEST_SKIP() << why;

}  // namespace

TEST(PresenceNetns, ClaimKeepalivesAndABurstThatEndsAfter200) {
    MAKE_NETNS(ns);
    QuietLog quiet;
    SimPlayer player(ns->b());
    CDJLinkSettings settings;
    settings.deviceNumber = 17;
    LinkInNamespace l(*ns, settings, std::make_shared<CDJLibrary>());

    // The interface as the link sees it inside the namespace: the veth with its real MAC.
    EXPECT_EQ(l.iface.name, ns->a().veth);
    EXPECT_EQ(l.iface.address, "10.99.0.1");
    EXPECT_EQ(l.iface.netmask, "255.255.255.0");
    EXPECT_EQ(macText(l.iface.mac), NetnsPair::macOf(ns->a()));
    EXPECT_EQ(broadcastAddress(l.iface), "10.99.0.255");

    l.link->start();
    for (int i = 0; i < 145; ++i) l.clock.advance(100ms);  // 14.5 s
    EXPECT_TRUE(l.queue.dispatchSync([&] { return l.link->peers().empty(); }));
    EXPECT_FALSE(l.queue.dispatchSync([&] { return l.link->claimDone(); }));
    EXPECT_EQ(l.queue.dispatchSync([&] { return l.link->burstCount(); }), 200);

    // First-stage claims: three steps 300 ms apart, each sent twice.
    auto first = l.sent(0x00, 44);
    ASSERT_EQ(first.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(first[i].data[36], i / 2 + 1);
        EXPECT_EQ(first[i].ms, 300 * int64_t(i / 2 + 1)) << i;
    }
    // The first keepalive 3 s after start, with the end of the claim, then every 1.5 s.
    auto keepalives = l.sent(0x06, 54);
    ASSERT_EQ(keepalives.size(), 8u);  // 3.0, 4.5 … 13.5
    for (size_t i = 0; i < keepalives.size(); ++i) EXPECT_EQ(keepalives[i].ms, 3000 + 1500 * int64_t(i)) << i;
    EXPECT_EQ(keepalives[0].data[48], 1);  // no peers known
    auto mine = linkpkt::keepalive(settings, l.iface, 0);
    EXPECT_EQ(keepalives[0].data, Bytes(mine.begin(), mine.end()));

    // Second-stage claims: 6 steps x 6 numbers x 2, the closing one, then the burst of 200.
    auto second = l.sent(0x02, 50);
    ASSERT_EQ(second.size(), 72u + 1 + 200);
    for (size_t i = 0; i < 72; ++i) {
        EXPECT_EQ(second[i].data[46], claimNumbers[(i / 2) % 6]) << i;
        EXPECT_EQ(second[i].data[47], i / 12 + 1) << i;
        EXPECT_EQ(second[i].ms, 1200 + 300 * int64_t(i / 12)) << i;
    }
    EXPECT_EQ(second[72].data[46], 18);
    EXPECT_EQ(second[72].data[47], 6);
    EXPECT_EQ(second[72].ms, 3000);
    for (size_t k = 0; k < 200; ++k) {
        const auto& p = second[73 + k];
        auto expect = linkpkt::claimSecondStage(settings, l.iface, claimNumbers[(k / 2) % 6],
                                                static_cast<uint8_t>(k / 12 + 1));
        EXPECT_EQ(p.data, Bytes(expect.begin(), expect.end())) << k;
        // Twenty a second, the last ten seconds after the claim; keepalives go on meanwhile.
        EXPECT_EQ(p.ms, 3050 + 50 * int64_t(k)) << k;
    }
    // Without a handshake the status never starts.
    EXPECT_TRUE(l.sent(0x29, 56).empty());

    // What left reached the player's namespace, every packet in the order sent.
    auto sentAll = l.all();
    ASSERT_TRUE(player.waitFor([&] { return player.packets().size() >= sentAll.size(); }, 10s));
    l.link->stop();
    auto got = player.packets();
    ASSERT_EQ(got.size(), sentAll.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].from, "10.99.0.1") << i;
        EXPECT_EQ(got[i].port, sentAll[i].port) << i;
        EXPECT_EQ(got[i].data, sentAll[i].data) << i;
    }
    // Nothing after stop, however long the clock runs on.
    l.clock.advance(5s);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(player.packets().size(), got.size());
    EXPECT_EQ(l.all().size(), sentAll.size());
}

TEST(PresenceNetns, AnswersThePlayerAndFollowsIt) {
    MAKE_NETNS(ns);
    QuietLog quiet;
    std::mutex m;
    std::vector<std::string> lines;
    cdjLog().setOnEntry([&](const CDJLogEntry& e) {
        std::lock_guard g(m);
        lines.push_back(e.tag + " " + e.message);
    });
    SimPlayer player(ns->b());
    auto lib = std::make_shared<CDJLibrary>();
    CDJTrack t;
    t.id = 77;
    t.artist = "Kraftwerk";
    t.title = "Computerliebe";
    lib->replaceContent({t}, {CDJPlaylist{1, "Wünsche", {77}}});
    CDJLinkSettings settings;
    settings.deviceName = "Café Bar";
    LinkInNamespace l(*ns, settings, lib);

    std::vector<std::pair<int64_t, std::vector<CDJPeer>>> peerReports;  // virtual ms
    std::vector<CDJDeckState> decks;
    l.link->onPeersChanged = [&](const std::vector<CDJPeer>& p) {
        std::lock_guard g(m);
        peerReports.emplace_back(l.clock.ms(), p);
    };
    l.link->onDeckChanged = [&](const CDJDeckState& d) {
        std::lock_guard g(m);
        decks.push_back(d);
    };
    auto peerReportCount = [&] {
        std::lock_guard g(m);
        return peerReports.size();
    };
    // Waits (in real time, generously) until the player has received n packets of a type.
    auto received = [&](uint8_t type, size_t size, size_t n) {
        return player.waitFor([&] { return player.select("10.99.0.1", statusPort, type, size).size() >= n; }, 10s);
    };

    const std::string me = "10.99.0.1", bcast = "10.99.0.255";
    l.link->start();
    l.clock.advance(3500ms);  // claimed, keepalives running

    // The player announces itself: the link learns it.
    auto k = playerKeepalive("CDJ-3000", 2);
    player.send(announcePort, k, bcast, announcePort);
    ASSERT_TRUE(player.waitFor([&] { return peerReportCount() == 1; }, 10s));
    int64_t lastSeen = l.clock.ms();

    // The link handshake ends the burst and starts the status at once; 0x16 goes back at once.
    l.clock.advance(500ms);
    size_t burstBefore = l.sent(0x02, 50).size();
    player.send(statusPort, header(0x46, 48), me, statusPort);
    ASSERT_TRUE(received(0x16, linkpkt::linkReply(settings).size(), 1));
    int64_t t46 = l.clock.ms();
    player.send(statusPort, header(0x46, 48), me, statusPort);
    ASSERT_TRUE(received(0x47, linkpkt::linkAck(settings).size(), 1));
    player.send(statusPort, header(0x10, 44), me, statusPort);
    Bytes query = header(0x05, 48);
    query[47] = 2;
    player.send(statusPort, query, me, statusPort);
    player.send(statusPort, header(0x35, 40), me, statusPort);
    player.send(statusPort, header(0x37, 40), me, statusPort);
    player.send(statusPort, header(0x48, 40), me, statusPort);
    Bytes status = header(0x0A, 212);
    status[40] = 17;
    status[41] = 4;
    writeBE32(status, 44, 77);
    status[123] = 3;
    status[137] = 0x08;
    writeBE16(status, 146, 12400);
    player.send(statusPort, status, me, statusPort);
    writeBE16(status, 146, 12410);  // tempo only: no new report
    player.send(statusPort, status, me, statusPort);
    ASSERT_TRUE(received(0x49, linkpkt::writeAck(settings, 0x49).size(), 1));  // the last answer: the others are in
    ASSERT_TRUE(player.waitFor(
        [&] {
            std::lock_guard g(m);
            return !decks.empty();
        },
        10s));

    // Announcing every 1.5 s until 6 s after start keeps the player known.
    while (l.clock.ms() + 1500 <= 6000) {
        l.clock.advance(1500ms);
        player.send(announcePort, k, bcast, announcePort);
        lastSeen = l.clock.ms();
        ASSERT_TRUE(player.waitFor(
            [&] {
                return l.queue.dispatchSync([&] {
                    auto p = l.link->peers();
                    return !p.empty() && p[0].lastSeen == l.clock.now();
                });
            },
            10s));
    }
    // Then silence: removed at the first 2 s sweep more than 8 s after the last keepalive.
    l.clock.advance(12s);
    ASSERT_EQ(peerReportCount(), 2u);
    l.link->stop();

    std::lock_guard g(m);
    ASSERT_EQ(peerReports[0].second.size(), 1u);
    EXPECT_EQ(peerReports[0].second[0].address, "10.99.0.2");
    EXPECT_EQ(peerReports[0].second[0].name, "CDJ-3000");
    EXPECT_EQ(peerReports[0].second[0].deviceNumber, 2);
    EXPECT_TRUE(peerReports[1].second.empty());
    int64_t silent = peerReports[1].first - lastSeen;
    EXPECT_GT(silent, 8000);
    EXPECT_LE(silent, 10000);
    EXPECT_EQ(peerReports[1].first % 2000, 1000);  // the sweep runs every 2 s from the end of the claim

    // The burst stopped at the first 0x46, and the status runs from there, ten pairs a second.
    EXPECT_EQ(l.sent(0x02, 50).size(), burstBefore);
    auto status29 = l.sent(0x29, 56);
    ASSERT_FALSE(status29.empty());
    EXPECT_GT(status29.front().ms, t46);
    EXPECT_LE(status29.front().ms, t46 + 100);
    auto exp29 = linkpkt::status(settings);
    EXPECT_EQ(status29.front().data, Bytes(exp29.begin(), exp29.end()));
    size_t inWindow = 0;
    for (auto& p : status29)
        if (p.ms >= t46 + 1000 && p.ms < t46 + 3000) ++inWindow;
    EXPECT_EQ(inWindow, 40u);

    // 0x16 at once and again 3 s later; 0x47 for the second handshake.
    auto replies16 = l.sent(0x16, linkpkt::linkReply(settings).size());
    ASSERT_EQ(replies16.size(), 2u);
    EXPECT_EQ(replies16[0].ms, t46);
    EXPECT_EQ(replies16[1].ms, t46 + 3000);
    auto exp16 = linkpkt::linkReply(settings);
    EXPECT_EQ(replies16[1].data, Bytes(exp16.begin(), exp16.end()));
    auto expect = [&](uint8_t type, auto bytes) {
        auto got = player.select(me, statusPort, type, bytes.size());
        ASSERT_EQ(got.size(), 1u) << int(type);
        EXPECT_EQ(got[0].data, Bytes(bytes.begin(), bytes.end())) << int(type);
    };
    expect(0x47, linkpkt::linkAck(settings));
    expect(0x11, linkpkt::hostnameReply(settings));
    expect(0x06, linkpkt::mediaResponse(settings, 1, 1));
    expect(0x36, linkpkt::mySettings(settings));
    expect(0x38, linkpkt::writeAck(settings, 0x38));
    expect(0x49, linkpkt::writeAck(settings, 0x49));

    // Keepalives count the player while it is known.
    bool countedPeer = false;
    for (auto& ka : l.sent(0x06, 54)) countedPeer |= ka.data[48] == 2;
    EXPECT_TRUE(countedPeer);

    ASSERT_EQ(decks.size(), 1u);
    EXPECT_TRUE(decks[0].fromLibrary);
    EXPECT_TRUE(decks[0].onAir);
    EXPECT_EQ(decks[0].bpm, 124.0);

    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has("INFO Claim-Sequenz als \"Caf Bar\" (Nr. 17) auf " + l.iface.name + " 10.99.0.1 → 10.99.0.255"));
    EXPECT_TRUE(has("OK Claim abgeschlossen – Keepalive läuft"));
    EXPECT_TRUE(has("OK Lausche UDP :50000 (Announce)"));
    EXPECT_TRUE(has("OK Lausche UDP :50001 (Beat (nur mithören))"));
    EXPECT_TRUE(has("INFO Gerät: CDJ-3000 (CDJ, Nr. 2, Typbyte 0x1) @ 10.99.0.2"));
    EXPECT_TRUE(has("LINK ← 0x05 Media-Query von Nr. 2 (Slot 2) @ 10.99.0.2"));
    EXPECT_TRUE(has("NOW Player 2: PLAY Kraftwerk – Computerliebe (ID 77) ON-AIR 124.0 BPM"));
    EXPECT_TRUE(has("WARN Gerät weg: CDJ-3000 @ 10.99.0.2"));
}

TEST(PresenceNetns, PassiveListenerSharesThePortAndSendsNothing) {
    MAKE_NETNS(ns);
    QuietLog quiet;
    SimPlayer player(ns->b());

    // Another program on port 50000 in the same namespace: a second floorvote watching.
    fv::test::ProcessResult other;
    std::thread otherProgram([&] {
        other = fv::test::runProcess(NetnsPair::exec(ns->a(), {FLOORVOTE_BINARY, "cdj", "watch", "--seconds", "5"}));
    });
    std::this_thread::sleep_for(700ms);

    SerialQueue q{std::string(discoveryQueueName)};
    q.dispatchSync([&] { NetnsPair::enter(ns->a()); });
    auto discovery = std::make_shared<CDJDiscovery>(q);
    std::mutex m;
    std::vector<std::pair<Clock::time_point, std::vector<CDJPeer>>> reports;
    discovery->onDevicesChanged = [&](const std::vector<CDJPeer>& p) {
        std::lock_guard g(m);
        reports.emplace_back(Clock::now(), p);
    };
    discovery->start();

    Clock::time_point last;
    for (int i = 0; i < 4; ++i) {
        player.send(announcePort, playerKeepalive("XDJ-1000MK2", 3), "10.99.0.255", announcePort);
        last = Clock::now();
        std::this_thread::sleep_for(1s);
    }
    ASSERT_TRUE(player.waitFor(
        [&] {
            std::lock_guard g(m);
            return reports.size() >= 2;
        },
        20s));
    otherProgram.join();
    discovery->stop();

    std::lock_guard g(m);
    ASSERT_EQ(reports.size(), 2u);
    ASSERT_EQ(reports[0].second.size(), 1u);
    EXPECT_EQ(reports[0].second[0].name, "XDJ-1000MK2");
    EXPECT_EQ(reports[0].second[0].kind, "CDJ");
    EXPECT_EQ(reports[0].second[0].address, "10.99.0.2");
    EXPECT_TRUE(reports[1].second.empty());
    // Dropped at the first 2 s sweep after 8 s of silence; generous above for a busy machine.
    double silent = secs(reports[1].first - last);
    EXPECT_GE(silent, 8.0 - 0.05);
    EXPECT_LT(silent, 10.0 + 4.0);
    // The other program heard the same keepalives.
    EXPECT_EQ(other.exitCode, 0) << other.err;
    EXPECT_NE(other.out.find("+ Gerät erschienen: XDJ-1000MK2 (CDJ) @ 10.99.0.2"), std::string::npos) << other.out;
    // The listener only listens.
    for (auto& p : player.packets()) EXPECT_NE(p.from, "10.99.0.1");
}

TEST(PresenceNetns, GarbageOnAllPortsLeavesItAnswering) {
    MAKE_NETNS(ns);
    QuietLog quiet;
    SimPlayer player(ns->b());
    LinkInNamespace l(*ns, CDJLinkSettings{}, std::make_shared<CDJLibrary>());
    l.link->start();

    std::mt19937 rng(20240611);
    const std::string me = "10.99.0.1";
    auto valid = [&](uint8_t type, size_t size) {
        Bytes b = header(type, size);
        for (size_t i = 11; i < size; ++i) b[i] = static_cast<uint8_t>(rng());
        return b;
    };
    const std::array<uint8_t, 14> types{0x03, 0x05, 0x06, 0x0A, 0x10, 0x1A, 0x1C, 0x29,
                                        0x35, 0x37, 0x46, 0x48, 0x80, 0x99};
    int sent = 0;
    auto flood = [&](int count) {
        for (int i = 0; i < count; ++i) {
            Bytes b;
            switch (i % 4) {
                case 0: {  // pure noise
                    b.resize(rng() % 300);
                    for (auto& x : b) x = static_cast<uint8_t>(rng());
                    break;
                }
                case 1:  // a known type, truncated anywhere
                    b = valid(types[rng() % types.size()], 11 + rng() % 60);
                    break;
                case 2:  // a known type at full length with random content
                    b = valid(types[rng() % types.size()], 34 + rng() % 250);
                    break;
                default:  // header only, or nearly
                    b = valid(types[rng() % types.size()], 48);
                    b.resize(rng() % 12);
            }
            uint16_t port = static_cast<uint16_t>(announcePort + i % 3);
            player.send(statusPort, b, me, port);
            ++sent;
            if (i % 200 == 0) std::this_thread::sleep_for(5ms);  // keep within the socket buffers
        }
    };
    // Once while it claims its number, once while it announces (keepalives, burst timers running).
    flood(1500);
    l.clock.advance(3500ms);
    flood(1500);
    EXPECT_EQ(sent, 3000);
    // Still alive: it answers a hello sent after the flood.
    std::this_thread::sleep_for(500ms);  // let the answers to the flood's own hellos arrive
    auto before = player.select(me, statusPort, 0x11, 296).size();
    player.send(statusPort, header(0x10, 44), me, statusPort);
    EXPECT_TRUE(player.waitFor([&] { return player.select(me, statusPort, 0x11, 296).size() > before; }, 10s));
    // And its schedule goes on: the next keepalive leaves and reaches the player.
    auto keepalivesBefore = player.select(me, announcePort, 0x06, 54).size();
    l.clock.advance(1500ms);
    EXPECT_TRUE(player.waitFor(
        [&] { return player.select(me, announcePort, 0x06, 54).size() > keepalivesBefore; }, 10s))
        << "keepalives stopped after the flood";
    EXPECT_LE(l.queue.dispatchSync([&] { return l.link->peers().size(); }), 1u);
    l.link->stop();
}
