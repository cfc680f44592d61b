#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cdjlink/CDJBytes.hpp"
#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJSockets.hpp"
#include "core/Log.hpp"
#include "core/SerialQueue.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;

namespace {

template <typename P>
bool waitFor(P pred, std::chrono::milliseconds timeout = 5000ms) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

CDJInterfaceAddress v4(std::string name, std::string addr, std::string mask = "255.255.255.0", bool up = true,
                       bool loopback = false) {
    CDJInterfaceAddress e;
    e.name = std::move(name);
    e.family = CDJInterfaceAddress::Family::ipv4;
    e.address = std::move(addr);
    e.netmask = std::move(mask);
    e.up = up;
    e.loopback = loopback;
    return e;
}
CDJInterfaceAddress link(std::string name, std::vector<uint8_t> hw) {
    CDJInterfaceAddress e;
    e.name = std::move(name);
    e.family = CDJInterfaceAddress::Family::link;
    e.hwaddr = std::move(hw);
    return e;
}

// A socket held without address reuse, as another program would hold it.
struct PlainSocket {
    int fd = -1;
    uint16_t port = 0;
    explicit PlainSocket(int type) {
        fd = ::socket(AF_INET, type, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        if (type == SOCK_STREAM) ::listen(fd, 4);
    }
    ~PlainSocket() { ::close(fd); }
};

}  // namespace

TEST(CDJInterfaces, ChoiceFiltersAndOrder) {
    std::vector<uint8_t> mac1{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::vector<uint8_t> mac2{0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};

    // Only the loopback: nothing to offer.
    EXPECT_TRUE(selectInterfaces({v4("lo", "127.0.0.1", "255.0.0.0", true, true), link("lo", {0, 0, 0, 0, 0, 0})})
                    .empty());
    EXPECT_TRUE(selectInterfaces({}).empty());

    // Tunnel without a hardware address, one with zeros, one down, one with an 8-byte address.
    EXPECT_TRUE(selectInterfaces({v4("tun0", "10.8.0.2"), v4("wg0", "10.9.0.2"), link("wg0", {0, 0, 0, 0, 0, 0}),
                                  v4("eth9", "10.1.0.2", "255.255.0.0", false), link("eth9", mac1),
                                  v4("ib0", "10.2.0.2"), link("ib0", {1, 2, 3, 4, 5, 6, 7, 8})})
                    .empty());

    // Routable before link-local, then by name; the link entry may come before or after the address.
    auto got = selectInterfaces({link("en0", mac1), v4("en0", "169.254.3.3", "255.255.0.0"), v4("en1", "192.168.1.5"),
                                 link("en1", mac2), v4("en2", "10.0.0.7", ""), link("en2", mac1)});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].name, "en1");
    EXPECT_EQ(got[0].address, "192.168.1.5");
    EXPECT_EQ(got[0].mac, (std::array<uint8_t, 6>{0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee}));
    EXPECT_EQ(got[1].name, "en2");
    EXPECT_EQ(got[1].netmask, "0.0.0.0");
    EXPECT_EQ(got[2].name, "en0");
    EXPECT_EQ(got[2].address, "169.254.3.3");

    // Several addresses on one interface give several entries; a later MAC replaces an earlier one.
    auto multi = selectInterfaces({link("eth0", mac1), v4("eth0", "10.0.0.2"), v4("eth0", "10.0.1.2"),
                                   link("eth0", mac2)});
    ASSERT_EQ(multi.size(), 2u);
    EXPECT_EQ(multi[0].address, "10.0.0.2");
    EXPECT_EQ(multi[1].address, "10.0.1.2");
    EXPECT_EQ(multi[1].mac[0], 0x02);
    EXPECT_EQ(macText(multi[0].mac), "02:aa:bb:cc:dd:ee");

    // The machine's own list obeys the same rules.
    auto real = availableInterfaces();
    bool seenLinkLocal = false;
    for (size_t i = 0; i < real.size(); ++i) {
        EXPECT_NE(real[i].address.rfind("127.", 0), 0u) << real[i].name;
        EXPECT_NE(real[i].mac, (std::array<uint8_t, 6>{}));
        bool ll = real[i].address.rfind("169.254", 0) == 0;
        EXPECT_FALSE(seenLinkLocal && !ll);
        seenLinkLocal |= ll;
    }
}

TEST(CDJInterfaces, BroadcastAddress) {
    EXPECT_EQ(broadcastAddress("192.168.1.20", "255.255.255.0"), "192.168.1.255");
    EXPECT_EQ(broadcastAddress("10.99.0.1", "255.255.255.0"), "10.99.0.255");
    EXPECT_EQ(broadcastAddress("169.254.3.3", "255.255.0.0"), "169.254.255.255");
    EXPECT_EQ(broadcastAddress("10.1.2.3", "255.255.255.252"), "10.1.2.3");
    EXPECT_EQ(broadcastAddress("10.1.2.3", "0.0.0.0"), "255.255.255.255");
    EXPECT_EQ(broadcastAddress("192.168.1.20", "garbage"), "255.255.255.255");
    EXPECT_EQ(broadcastAddress("192.168.1.20", "255.255.255"), "255.255.255.255");
    EXPECT_EQ(broadcastAddress("192.168.1.20", "255.255.255.0.0"), "255.255.255.255");
    EXPECT_EQ(broadcastAddress("192.168.1.256", "255.255.255.0"), "255.255.255.255");
    EXPECT_EQ(broadcastAddress("", ""), "255.255.255.255");
    CDJInterface i{"eth0", "192.168.1.20", "255.255.255.0", {}};
    EXPECT_EQ(broadcastAddress(i), "192.168.1.255");
}

TEST(CDJBytesUtil, WritersReadersTextAndHex) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::array<uint8_t, 12> b{};
    writeBE16(b, 0, 0x1234);
    writeBE32(b, 2, 0xdeadbeef);
    writeLE16(b, 6, 0x1234);
    writeLE32(b, 8, 0x01020304);
    EXPECT_EQ(hexDump(b, 12), "12 34 de ad be ef 34 12 04 03 02 01");
    EXPECT_EQ(readBE32(b, 2), 0xdeadbeefu);
    EXPECT_EQ(readBE16(b, 0), 0x1234);
    EXPECT_EQ(readLE32(b, 8), 0x01020304u);
    EXPECT_EQ(readLE16(b, 6), 0x1234);
    EXPECT_EQ(hexDump(b, 2), "12 34");
    EXPECT_EQ(hexDump(b, 100).size(), 12u * 3 - 1);
    EXPECT_EQ(hexDump(b, 0), "");

    std::array<uint8_t, 8> t;
    t.fill(0xff);
    writeFixedText(t, 1, 5, "abcdefgh");
    EXPECT_EQ(hexDump(t, 8), "ff 61 62 63 64 65 ff ff");
    writeFixedText(t, 1, 5, "ab");
    EXPECT_EQ(hexDump(t, 8), "ff 61 62 00 00 00 ff ff");

    EXPECT_DEATH(writeBE32(b, 10, 1), "past buffer");
    EXPECT_DEATH(writeFixedText(t, 4, 5, "x"), "past buffer");
}

TEST(CDJLogRing, KeepsTheLast500MirrorsAndAppendsToTheFile) {
    test::TempDir dir;
    CDJLog log;
    log.setFilePath(dir / "cdjlink.log");
    std::mutex m;
    std::vector<std::string> console;
    setLogSink([&](const std::string& line) {
        std::lock_guard g(m);
        console.push_back(line);
    });
    setLogToStdout(false);
    std::atomic<int> callbacks{0};
    log.setOnEntry([&](const CDJLogEntry& e) {
        if (e.tag == "INFO") ++callbacks;
    });

    for (int i = 1; i <= 501; ++i) log.log("INFO", "Zeile " + std::to_string(i));
    auto entries = log.entries();
    ASSERT_EQ(entries.size(), 500u);
    EXPECT_EQ(entries.front().message, "Zeile 2");
    EXPECT_EQ(entries.back().message, "Zeile 501");
    EXPECT_EQ(entries.back().tag, "INFO");
    EXPECT_NE(entries[0].id, entries[1].id);
    EXPECT_EQ(callbacks, 501);
    log.log("WARN", "Gerät weg: CDJ-3000 @ 10.99.0.2");
    EXPECT_EQ(log.entries().size(), 500u);
    EXPECT_EQ(log.entries().back().message, "Gerät weg: CDJ-3000 @ 10.99.0.2");
    {
        std::lock_guard g(m);
        ASSERT_GE(console.size(), 502u);
        EXPECT_EQ(console[0], "[CDJLink INFO] Zeile 1");
        EXPECT_EQ(console.back(), "[CDJLink WARN] Gerät weg: CDJ-3000 @ 10.99.0.2");
    }
    setLogSink(nullptr);
    setLogToStdout(true);

    auto text = test::runProcess({"/bin/cat", (dir / "cdjlink.log").string()}).out;
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(in, line)) lines.push_back(line);
    ASSERT_EQ(lines.size(), 502u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d \[INFO\] Zeile 1)"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[501], std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d \[WARN\] Gerät weg: CDJ-3000 @ 10\.99\.0\.2)")));

    EXPECT_FALSE(log.verbose());
    log.setVerbose(true);
    EXPECT_TRUE(log.verbose());
}

TEST(CDJLogRing, FileRotatesAndFailuresAreSwallowed) {
    test::TempDir dir;
    CDJLog log;
    setLogToStdout(false);
    auto path = dir / "cdjlink.log";
    log.setFilePath(path);
    log.setRotateBytes(4096);
    // Two threads at once: every line arrives whole.
    std::thread a([&] {
        for (int i = 0; i < 300; ++i) log.log("NFS", "A-" + std::string(40, 'a'));
    });
    std::thread b([&] {
        for (int i = 0; i < 300; ++i) log.log("DB", "B-" + std::string(40, 'b'));
    });
    a.join();
    b.join();
    ASSERT_TRUE(std::filesystem::exists(path));
    ASSERT_TRUE(std::filesystem::exists(path.string() + ".1"));
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".2"));
    EXPECT_LE(std::filesystem::file_size(path), 4096u);
    EXPECT_LE(std::filesystem::file_size(path.string() + ".1"), 4096u);
    for (auto p : {path.string(), path.string() + ".1"}) {
        std::ifstream in(p);
        std::string line;
        std::regex whole(R"(\d\d:\d\d:\d\d\.\d\d\d \[(NFS\] A-a{40}|DB\] B-b{40}))");
        while (std::getline(in, line)) EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }

    // A file that cannot be written never stops logging.
    log.setFilePath(dir / "missing" / "folder" / "cdjlink.log");
    EXPECT_NO_THROW(log.log("ERR", "weiter"));
    EXPECT_EQ(log.entries().back().message, "weiter");
    setLogToStdout(true);

    // The default file lives in the state folder.
    EXPECT_EQ(CDJLog::defaultFilePath().filename(), "cdjlink.log");
    EXPECT_EQ(CDJLog::defaultFilePath().parent_path().filename(), "Logs");
    EXPECT_TRUE(std::filesystem::is_directory(CDJLog::defaultFilePath().parent_path()));
}

TEST(CDJSocketErrors, TextsAndBindConflicts) {
    EXPECT_STREQ(CDJSocketError::create("Too many open files").what(),
                 "Socket konnte nicht erstellt werden: Too many open files");
    EXPECT_STREQ(CDJSocketError::bind(50000, "Address already in use").what(),
                 "Port 50000 belegt oder nicht bindbar (Address already in use) – läuft rekordbox?");
    EXPECT_STREQ(CDJSocketError::listen(1051, "Invalid argument").what(), "TCP 1051: Invalid argument");

    SerialQueue q("test.cdj.sockets");
    setLogToStdout(false);
    PlainSocket udpHolder(SOCK_DGRAM);
    try {
        CDJUdpSocket::open(udpHolder.port, q, "Test", nullptr);
        FAIL() << "bind succeeded on a port held without reuse";
    } catch (const CDJSocketError& e) {
        EXPECT_EQ(e.kind(), CDJSocketError::Kind::bind);
        EXPECT_EQ(e.port(), udpHolder.port);
        EXPECT_EQ(e.message(), std::strerror(EADDRINUSE));
        EXPECT_EQ(std::string(e.what()), "Port " + std::to_string(udpHolder.port) + " belegt oder nicht bindbar (" +
                                             std::strerror(EADDRINUSE) + ") – läuft rekordbox?");
    }
    PlainSocket tcpHolder(SOCK_STREAM);
    try {
        CDJTcpListener::open(tcpHolder.port, q, "Test", nullptr);
        FAIL() << "listen succeeded on a held port";
    } catch (const CDJSocketError& e) {
        EXPECT_EQ(e.kind(), CDJSocketError::Kind::bind);
        EXPECT_NE(std::string(e.what()).find("(" + std::string(std::strerror(EADDRINUSE)) + ")"), std::string::npos);
    }
    setLogToStdout(true);
}

TEST(CDJUdp, DeliversOnTheQueueSharesPortsAndReportsSendFailures) {
    SerialQueue q("test.cdj.udp");
    setLogToStdout(false);
    std::mutex m;
    std::vector<std::pair<std::string, std::string>> got;  // payload, "addr:port"
    std::atomic<bool> offQueue{false};
    auto handler = [&](const std::string& who) {
        return [&, who](std::span<const uint8_t> d, const std::string& addr, uint16_t port) {
            if (!q.isCurrent()) offQueue = true;
            std::lock_guard g(m);
            got.emplace_back(who + ":" + std::string(d.begin(), d.end()), addr + ":" + std::to_string(port));
        };
    };
    using Sharing = CDJUdpSocket::PortSharing;
    auto a = CDJUdpSocket::open(0, q, "A", handler("a"), Sharing::shared);
    // A listening socket shares its port with another listener.
    auto a2 = CDJUdpSocket::open(a->port(), q, "A2", handler("a2"), Sharing::shared);
    auto b = CDJUdpSocket::open(0, q, "B", handler("b"));
    EXPECT_NE(a->port(), 0);
    EXPECT_EQ(a2->port(), a->port());
    auto entries = cdjLog().entries();
    EXPECT_EQ(entries.back().tag, "OK");
    EXPECT_EQ(entries.back().message, "Lausche UDP :" + std::to_string(b->port()) + " (B)");

    std::string payload = "Qspt1WmJOL";
    ASSERT_TRUE(b->send({reinterpret_cast<const uint8_t*>(payload.data()), payload.size()}, "127.0.0.1", a2->port()));
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard g(m);
        return !got.empty();
    }));
    {
        std::lock_guard g(m);
        // Unicast to a shared port reaches one of the two sockets.
        EXPECT_TRUE(got[0].first == "a:" + payload || got[0].first == "a2:" + payload) << got[0].first;
        EXPECT_EQ(got[0].second, "127.0.0.1:" + std::to_string(b->port()));
    }
    EXPECT_FALSE(offQueue);

    // A failed send is logged and reported, and the socket stays usable.
    std::array<uint8_t, 3> three{1, 2, 3};
    EXPECT_FALSE(b->send(three, "kein.host", 9));
    EXPECT_EQ(cdjLog().entries().back().tag, "ERR");
    EXPECT_EQ(cdjLog().entries().back().message, "UDP send 3 B → kein.host:9: " + std::string(std::strerror(EINVAL)));
    EXPECT_TRUE(b->send(three, "127.0.0.1", a->port()));

    // After close nothing is delivered and sends fail.
    a->close();
    a2->close();
    a->close();
    EXPECT_FALSE(a->isOpen());
    {
        std::lock_guard g(m);
        got.clear();
    }
    b->send(three, "127.0.0.1", a->port());
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard g(m);
        EXPECT_TRUE(got.empty());
    }
    EXPECT_FALSE(a->send(three, "127.0.0.1", b->port()));
    // The port is free again for a socket that does not share.
    {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(a->port());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        ::close(fd);
    }
    // A serving socket binds exclusively: neither a second floorvote nor a program that asks for
    // address and port reuse gets its port, and a taken port is reported.
    EXPECT_THROW(CDJUdpSocket::open(b->port(), q, "B2", nullptr), CDJSocketError);
    EXPECT_THROW(CDJUdpSocket::open(b->port(), q, "B3", nullptr, Sharing::shared), CDJSocketError);
    {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(b->port());
        EXPECT_NE(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        EXPECT_EQ(errno, EADDRINUSE);
        ::close(fd);
    }
    // Releasing an open socket from another thread is safe.
    b.reset();
    setLogToStdout(true);
}

TEST(CDJTcp, AcceptDataAndExactlyOnceClose) {
    SerialQueue q("test.cdj.tcp");
    setLogToStdout(false);
    std::mutex m;
    std::shared_ptr<CDJTcpConnection> server;
    std::string received;
    std::atomic<int> closes{0};
    auto listener = CDJTcpListener::open(0, q, "Test", [&](const std::shared_ptr<CDJTcpConnection>& c) {
        EXPECT_TRUE(q.isCurrent());
        c->onData = [&, w = std::weak_ptr<CDJTcpConnection>(c)](std::span<const uint8_t> d) {
            {
                std::lock_guard g(m);
                received.append(d.begin(), d.end());
            }
            if (auto s = w.lock()) s->send(d);  // echo
        };
        c->onClose = [&] { ++closes; };
        std::lock_guard g(m);
        server = c;
    });
    EXPECT_EQ(cdjLog().entries().back().message, "Lausche TCP :" + std::to_string(listener->port()) + " (Test)");

    // Echo through a client connection.
    auto client = CDJTcpConnection::connect("127.0.0.1", listener->port(), q);
    std::string echoed;
    std::atomic<int> clientCloses{0};
    client->onData = [&](std::span<const uint8_t> d) {
        std::lock_guard g(m);
        echoed.append(d.begin(), d.end());
    };
    client->onClose = [&] { ++clientCloses; };
    client->start();
    std::string hello = "hallo";
    client->send({reinterpret_cast<const uint8_t*>(hello.data()), hello.size()});
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard g(m);
        return echoed == hello;
    }));
    {
        std::lock_guard g(m);
        ASSERT_TRUE(server);
        EXPECT_EQ(server->peer(), "127.0.0.1");
        EXPECT_EQ(received, hello);
    }

    // The peer vanishes with a reset while the server keeps sending: one onClose, however it is noticed.
    linger lg{1, 0};
    ::setsockopt(client->fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    client->close();
    EXPECT_EQ(clientCloses, 1);
    std::vector<uint8_t> big(256 * 1024, 0x55);
    std::thread sender([&] {
        for (int i = 0; i < 20; ++i) server->send(big);
    });
    std::thread closer([&] {
        for (int i = 0; i < 20; ++i) server->close();
    });
    sender.join();
    closer.join();
    ASSERT_TRUE(waitFor([&] { return closes.load() >= 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(server->isOpen());
    server->send(big);  // closed: nothing happens
    EXPECT_EQ(closes, 1);
    client->close();
    EXPECT_EQ(clientCloses, 1);

    // A peer that just closes: exactly one onClose from the read side.
    {
        std::lock_guard g(m);
        server.reset();
    }
    closes = 0;
    int raw = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(listener->port());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard g(m);
        return server != nullptr;
    }));
    ::close(raw);
    ASSERT_TRUE(waitFor([&] { return closes.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(closes, 1);

    // Destroying an open connection closes it without onClose.
    std::atomic<int> dropCloses{0};
    {
        auto c2 = CDJTcpConnection::connect("127.0.0.1", listener->port(), q);
        c2->onClose = [&] { ++dropCloses; };
        c2->start();
    }
    EXPECT_EQ(dropCloses, 0);
    listener->close();
    EXPECT_THROW(CDJTcpConnection::connect("127.0.0.1", listener->port(), q), CDJSocketError);
    {
        std::lock_guard g(m);
        server.reset();
    }
    setLogToStdout(true);
}
