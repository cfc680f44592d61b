// The presence's and the passive listener's reactions to datagrams, without sockets: replies are
// captured through the send observer, time comes from a hand-moved clock.
#include <mutex>

#include <gtest/gtest.h>

#include "cdjlink/CDJDiscovery.hpp"
#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJProDJLink.hpp"
#include "core/Log.hpp"
#include "core/SerialQueue.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;

namespace {

struct Sent {
    Bytes data;
    std::string address;
    uint16_t port;
};

Bytes packet(uint8_t type, size_t size, uint8_t byte33 = 0) {
    Bytes b(size, 0);
    std::copy(linkpkt::magic.begin(), linkpkt::magic.end(), b.begin());
    b[10] = type;
    if (size > 33) b[33] = byte33;
    return b;
}

Bytes keepaliveFrom(const std::string& name, uint8_t number, uint8_t typeByte) {
    Bytes b = packet(0x06, 54);
    writeFixedText(b, 12, 20, name);
    b[36] = number;
    b[52] = typeByte;
    return b;
}

Bytes playerStatus(uint8_t player, uint8_t srcDev, uint8_t slot, uint32_t track, uint8_t state, uint8_t flags,
                   uint16_t tempo) {
    Bytes b = packet(0x0A, 212, player);
    b[40] = srcDev;
    b[41] = slot;
    writeBE32(b, 44, track);
    b[123] = state;
    b[137] = flags;
    writeBE16(b, 146, tempo);
    return b;
}

// Collects the link log lines written during the test.
struct LogTap {
    std::mutex m;
    std::vector<std::string> lines;
    LogTap() {
        setLogToStdout(false);
        cdjLog().setOnEntry([this](const CDJLogEntry& e) {
            std::lock_guard g(m);
            lines.push_back(e.tag + " " + e.message);
        });
    }
    ~LogTap() {
        cdjLog().setOnEntry(nullptr);
        setLogToStdout(true);
    }
    std::vector<std::string> take() {
        std::lock_guard g(m);
        return std::exchange(lines, {});
    }
};

struct Fixture {
    SerialQueue q{"test.cdjlink"};
    std::shared_ptr<CDJLibrary> lib = std::make_shared<CDJLibrary>();
    std::shared_ptr<CDJProDJLink> link;
    std::vector<Sent> sent;
    std::vector<std::vector<CDJPeer>> peerReports;
    std::vector<CDJDeckState> deckReports;
    CDJProDJLink::Clock::time_point now{std::chrono::seconds(1000)};

    Fixture() {
        CDJLinkSettings s;
        s.deviceName = "Floorvote Library";
        s.deviceNumber = 17;
        link = std::make_shared<CDJProDJLink>(q, CDJInterface{"veth0", "10.99.0.1", "255.255.255.0", {2, 0, 0, 0, 0, 1}},
                                              s, lib);
        link->setSendObserver([this](std::span<const uint8_t> d, const std::string& a, uint16_t p) {
            sent.push_back({Bytes(d.begin(), d.end()), a, p});
        });
        link->setClock([this] { return now; });
        link->onPeersChanged = [this](const std::vector<CDJPeer>& p) { peerReports.push_back(p); };
        link->onDeckChanged = [this](const CDJDeckState& d) { deckReports.push_back(d); };
    }
    void status(const Bytes& b, const std::string& from = "10.99.0.2") {
        q.dispatchSync([&] { link->handleStatus(b, from); });
    }
    void announce(const Bytes& b, const std::string& from = "10.99.0.2") {
        q.dispatchSync([&] { link->handleAnnounce(b, from); });
    }
    std::vector<Sent> takeSent() { return std::exchange(sent, {}); }
};

}  // namespace

TEST(PresenceHandlers, AnswersEachStatusRequestToTheSender) {
    LogTap tap;
    Fixture f;
    CDJTrack t;
    t.id = 7;
    f.lib->replaceContent({t}, {});

    f.status(packet(0x10, 40, 2));
    auto s = f.takeSent();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].address, "10.99.0.2");
    EXPECT_EQ(s[0].port, 50002);
    auto hostname = linkpkt::hostnameReply(f.link->settings());
    EXPECT_EQ(s[0].data, Bytes(hostname.begin(), hostname.end()));

    Bytes query = packet(0x05, 48, 3);
    query[47] = 3;  // asks for USB; the answer is about slot 4 all the same
    f.status(query, "10.99.0.3");
    s = f.takeSent();
    ASSERT_EQ(s.size(), 1u);
    auto media = linkpkt::mediaResponse(f.link->settings(), 1, 0);
    EXPECT_EQ(s[0].data, Bytes(media.begin(), media.end()));
    EXPECT_EQ(s[0].address, "10.99.0.3");

    f.status(packet(0x35, 40));
    f.status(packet(0x37, 40));
    f.status(packet(0x48, 40));
    s = f.takeSent();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].data.size(), 120u);
    EXPECT_EQ(s[0].data[10], 0x36);
    EXPECT_EQ(s[1].data.size(), 40u);
    EXPECT_EQ(s[1].data[10], 0x38);
    EXPECT_EQ(s[2].data[10], 0x49);

    // Link handshake: the first 0x46 ends the burst and is answered with 0x16, later ones with 0x47.
    EXPECT_FALSE(f.q.dispatchSync([&] { return f.link->claimDone(); }));
    f.status(packet(0x46, 40));
    EXPECT_TRUE(f.q.dispatchSync([&] { return f.link->claimDone(); }));
    f.status(packet(0x46, 40));
    cdjLog().setVerbose(true);
    f.status(packet(0x46, 40));
    cdjLog().setVerbose(false);
    s = f.takeSent();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].data.size(), 48u);
    EXPECT_EQ(s[0].data[10], 0x16);
    EXPECT_EQ(s[1].data.size(), 72u);
    EXPECT_EQ(s[1].data[10], 0x47);
    EXPECT_EQ(s[2].data[10], 0x47);

    f.status(packet(0x1A, 40));
    f.status(packet(0x1C, 40));
    // Ignored types, the own address, short or foreign datagrams: no answer and no line.
    f.status(packet(0x03, 40));
    f.status(packet(0x29, 56));
    f.status(packet(0x30, 40));
    f.status(packet(0x10, 40), "10.99.0.1");
    f.status(packet(0x10, 33));
    Bytes foreign = packet(0x10, 40);
    foreign[3] = 'x';
    f.status(foreign);
    f.status(packet(0x05, 47));
    f.status(packet(0x0A, 203));
    f.status(packet(0x0B, 40));  // unknown: only when verbose
    f.status(packet(0x80, 60));  // unusual: only when verbose
    EXPECT_TRUE(f.takeSent().empty());
    cdjLog().setVerbose(true);
    Bytes odd = packet(0x80, 60);
    f.status(odd, "10.99.0.4");
    f.status(odd, "10.99.0.4");  // once per sender
    f.status(packet(0x0B, 40), "10.99.0.4");
    cdjLog().setVerbose(false);

    EXPECT_EQ(tap.take(), (std::vector<std::string>{
                              "LINK ← 0x10 Hello von 10.99.0.2",
                              "LINK → 0x11 (Hostname) an 10.99.0.2",
                              "LINK ← 0x05 Media-Query von Nr. 3 (Slot 3) @ 10.99.0.3",
                              "LINK → 0x06 Media-Response (1 Tracks, Slot 4) an 10.99.0.3",
                              "LINK → 0x36 My Settings an 10.99.0.2",
                              "LINK → 0x38 Ack (MySetting write) an 10.99.0.2",
                              "LINK → 0x49 Ack (DevSetting write) an 10.99.0.2",
                              "LINK Erstes 0x46 – Claim-Burst beendet, 0x29-Status startet",
                              "LINK ← 0x46 #1 von 10.99.0.2",
                              "LINK → 0x16 an 10.99.0.2",
                              "LINK ← 0x46 #3 von 10.99.0.2 → 0x47",
                              "LINK ← 0x1a Load-Ack von 10.99.0.2",
                              "WARN ← 0x1c \"media unavailable\" von 10.99.0.2 (Load abgelehnt)",
                              "LINK ← 0x80 (60 B) von 10.99.0.4: " + hexDump(odd, 44),
                              "LINK ← unbekannter Typ 0x0B (40 B) von 10.99.0.4",
                          }));
}

TEST(PresenceHandlers, DeckStatesReportOnlyRealChanges) {
    LogTap tap;
    Fixture f;
    CDJTrack t;
    t.id = 4242;
    t.artist = "Daft Punk";
    t.title = "One More Time";
    f.lib->replaceContent({t}, {});

    f.status(playerStatus(2, 17, 4, 4242, 3, 0x08 | 0x20, 12800));
    ASSERT_EQ(f.deckReports.size(), 1u);
    const auto& d = f.deckReports[0];
    EXPECT_EQ(d.player, 2);
    EXPECT_EQ(d.address, "10.99.0.2");
    EXPECT_EQ(d.trackId, 4242u);
    EXPECT_TRUE(d.isPlaying);
    EXPECT_TRUE(d.onAir);
    EXPECT_TRUE(d.isMaster);
    EXPECT_TRUE(d.fromLibrary);
    EXPECT_EQ(d.bpm, 128.0);
    EXPECT_EQ(d.updatedAt, f.now);

    // Same track, play state and on-air flag: tempo and master changes stay silent.
    f.status(playerStatus(2, 17, 4, 4242, 3, 0x08, 12950));
    f.status(playerStatus(2, 17, 4, 4242, 3, 0x08 | 0x20, 0xFFFF));
    f.status(playerStatus(2, 17, 4, 4242, 3, 0x08, 0x0001));
    EXPECT_EQ(f.deckReports.size(), 1u);
    // ...but the stored state follows.
    auto decks = f.q.dispatchSync([&] { return f.link->decks(); });
    EXPECT_EQ(decks.at(2).bpm, 0.01);

    // Short status packets change nothing.
    Bytes shortStatus = playerStatus(2, 17, 4, 1, 5, 0, 12800);
    shortStatus.resize(203);
    f.status(shortStatus);
    EXPECT_EQ(f.deckReports.size(), 1u);

    f.status(playerStatus(2, 17, 4, 4242, 5, 0x08, 12800));   // pause
    f.status(playerStatus(2, 17, 4, 4242, 5, 0x00, 0xFFFF));  // off air
    f.status(playerStatus(3, 2, 3, 99, 7, 0, 12000));         // other deck, USB of player 2
    f.status(playerStatus(3, 2, 3, 99, 7, 0, 12000), "10.99.0.3");  // same state from another address: silent
    f.status(playerStatus(4, 0, 0, 0, 0, 0, 0xFFFF));
    f.status(playerStatus(1, 17, 4, 5, 0x1F, 0, 0xFFFF));  // from us, but not in the library
    EXPECT_EQ(f.deckReports.size(), 6u);
    EXPECT_FALSE(f.deckReports[2].isPlaying);
    EXPECT_FALSE(f.deckReports[2].onAir);
    EXPECT_FALSE(f.deckReports[2].bpm);
    EXPECT_FALSE(f.deckReports[3].fromLibrary);
    EXPECT_TRUE(f.deckReports[3].isPlaying);

    EXPECT_EQ(tap.take(), (std::vector<std::string>{
                              "NOW Player 2: PLAY Daft Punk – One More Time (ID 4242) ON-AIR MASTER 128.0 BPM",
                              "NOW Player 2: PAUSE Daft Punk – One More Time (ID 4242) ON-AIR 128.0 BPM",
                              "NOW Player 2: PAUSE Daft Punk – One More Time (ID 4242) ",
                              "NOW Player 3: CUE-PLAY ID 99 von Nr. 2/USB 120.0 BPM",
                              "NOW Player 4: leer kein Track ",
                              "NOW Player 1: 0x1F ID 5 von Nr. 17/rekordbox ",
                          }));
}

TEST(PresenceHandlers, PeersComeAndGoButNeverTheOwnAddress) {
    LogTap tap;
    Fixture f;
    f.announce(keepaliveFrom("CDJ-3000", 2, 1));
    f.announce(keepaliveFrom("CDJ-3000", 3, 1));  // known: number updated, nothing reported
    f.announce(keepaliveFrom("Floorvote Library", 17, 4), "10.99.0.1");
    f.announce(keepaliveFrom("rekordbox", 5, 4), "10.99.0.9");
    f.announce(keepaliveFrom("rekordbox", 5, 4), "10.99.0.9");
    f.announce(keepaliveFrom("DJM-900NXS2", 33, 3), "10.99.0.5");
    Bytes shortKeepalive = keepaliveFrom("CDJ-2000", 4, 1);
    shortKeepalive.resize(53);
    f.announce(shortKeepalive, "10.99.0.6");
    Bytes notKeepalive = keepaliveFrom("CDJ-2000", 4, 1);
    notKeepalive[10] = 0x0A;
    f.announce(notKeepalive, "10.99.0.6");

    auto peers = f.q.dispatchSync([&] { return f.link->peers(); });
    ASSERT_EQ(peers.size(), 3u);
    EXPECT_EQ(peers[0], (CDJPeer{"10.99.0.2", "CDJ-3000", 3, "CDJ", f.now}));
    EXPECT_EQ(peers[2].kind, "rekordbox");
    ASSERT_EQ(f.peerReports.size(), 3u);
    EXPECT_EQ(f.peerReports.back().size(), 3u);
    EXPECT_EQ(tap.take(), (std::vector<std::string>{
                              "INFO Gerät: CDJ-3000 (CDJ, Nr. 2, Typbyte 0x1) @ 10.99.0.2",
                              "INFO Gerät: rekordbox (rekordbox, Nr. 5, Typbyte 0x4) @ 10.99.0.9",
                              "WARN Ein anderes rekordbox ist im Netz – zwei rekordbox-Quellen blockieren das Laden am CDJ!",
                              "INFO Gerät: DJM-900NXS2 (Mixer, Nr. 33, Typbyte 0x3) @ 10.99.0.5",
                          }));

    // Ageing: exactly 8 s stays, more goes; a fresh keepalive keeps a peer.
    f.now += 5s;
    f.announce(keepaliveFrom("CDJ-3000", 3, 1));
    f.now += 3s;
    f.q.dispatchSync([&] { f.link->expirePeers(); });
    EXPECT_EQ(f.peerReports.size(), 3u);
    f.now += 1ms;
    f.q.dispatchSync([&] { f.link->expirePeers(); });
    ASSERT_EQ(f.peerReports.size(), 4u);
    ASSERT_EQ(f.peerReports.back().size(), 1u);
    EXPECT_EQ(f.peerReports.back()[0].address, "10.99.0.2");
    auto lines = tap.take();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"WARN Gerät weg: DJM-900NXS2 @ 10.99.0.5",
                                               "WARN Gerät weg: rekordbox @ 10.99.0.9"}));
    f.q.dispatchSync([&] { f.link->expirePeers(); });
    EXPECT_EQ(f.peerReports.size(), 4u);
}

TEST(DiscoveryHandlers, SeesDevicesAndAgesThem) {
    LogTap tap;
    SerialQueue q("test.cdjlink.discovery");
    auto d = std::make_shared<CDJDiscovery>(q);
    CDJDiscovery::Clock::time_point now{std::chrono::seconds(50)};
    d->setClock([&] { return now; });
    std::vector<std::vector<CDJPeer>> reports;
    d->onDevicesChanged = [&](const std::vector<CDJPeer>& p) { reports.push_back(p); };
    auto feed = [&](const Bytes& b, const std::string& from) { q.dispatchSync([&] { d->handleDatagram(b, from); }); };

    feed(keepaliveFrom("XDJ-XZ", 1, 2), "10.99.0.2");
    feed(keepaliveFrom("XDJ-XZ", 1, 2), "10.99.0.2");
    feed(packet(0x0A, 212), "10.99.0.3");
    now += 4s;
    feed(keepaliveFrom("DJM-V10", 33, 3), "10.99.0.3");
    ASSERT_EQ(reports.size(), 2u);
    ASSERT_EQ(reports[1].size(), 2u);
    EXPECT_EQ(reports[0][0], (CDJPeer{"10.99.0.2", "XDJ-XZ", 0, "CDJ", std::chrono::steady_clock::time_point(50s)}));

    now += 3999ms;
    q.dispatchSync([&] { d->expire(); });
    EXPECT_EQ(reports.size(), 2u);
    now += 1ms;  // 8 s since the XDJ-XZ was seen: gone
    q.dispatchSync([&] { d->expire(); });
    ASSERT_EQ(reports.size(), 3u);
    ASSERT_EQ(reports[2].size(), 1u);
    EXPECT_EQ(reports[2][0].name, "DJM-V10");
    EXPECT_EQ(tap.take(), (std::vector<std::string>{"INFO Gerät im Netz: XDJ-XZ (CDJ, Typbyte 0x2) @ 10.99.0.2",
                                                    "INFO Gerät im Netz: DJM-V10 (Mixer, Typbyte 0x3) @ 10.99.0.3"}));
}
