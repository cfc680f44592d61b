// The file service on real loopback sockets: UDP and TCP clients as a player would be.
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJNfsServer.hpp"
#include "cdjlink/NfsTestSupport.hpp"
#include "core/SerialQueue.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;
using fv::test::RpcTcpClient;
using fv::test::RpcUdpClient;
using fv::test::TempDir;
using fv::test::Wire;

namespace {

constexpr const char* kHandle7 = "db34af574a452f7b8bbb56ad4a117d755748b82ea2af7760911ad833675b29c3";  // "/7.mp3"
constexpr uint32_t kFileId7 = 0xdb34af57;
constexpr uint32_t kMtime = 1600000000;

// Collects the link log's lines while alive.
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
    bool contains(const std::string& line) const {
        auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

std::vector<uint8_t> call(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, const std::vector<uint8_t>& args) {
    return rpcCallMessage(xid, prog, vers, proc, args);
}

Wire fileAttrs(uint32_t size, uint32_t fileId) {
    Wire a;
    a.ws({1, 0100444, 1, 0, 0, size, 512, 1, size / 512, 1, fileId});
    for (int i = 0; i < 3; ++i) a.ws({kMtime, 0});
    return a;
}

// A bind without port reuse: succeeds only when nobody holds the port (TCP: when nobody listens;
// connections the server closed may linger in TIME_WAIT).
bool portFree(int type, uint16_t port) {
    const int fd = ::socket(AF_INET, type, 0);
    if (type == SOCK_STREAM) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in sa = fv::test::socketAddress("0.0.0.0", port);
    const bool ok =
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && (type != SOCK_STREAM || ::listen(fd, 1) == 0);
    ::close(fd);
    return ok;
}

struct HeldPort {
    int fd = -1;
    uint16_t port = 0;
    explicit HeldPort(int type) {
        fd = ::socket(AF_INET, type, 0);
        sockaddr_in sa = fv::test::socketAddress("0.0.0.0", 0);
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        if (type == SOCK_STREAM) ::listen(fd, 4);
    }
    ~HeldPort() { ::close(fd); }
};

struct Rig {
    TempDir dir;
    SerialQueue queue{"floorvote.cdjlink"};
    std::shared_ptr<CDJLibrary> library = std::make_shared<CDJLibrary>();
    CDJInterface iface{"lo", "127.0.0.1", "255.0.0.0", {0x02, 0, 0, 0, 0, 1}};
    std::unique_ptr<CDJNfsServer> server;
    CDJNfsPorts ports;

    Rig() {
        std::string data;
        for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i % 251));
        fv::test::writeFile(dir / "song.mp3", data);
        struct timespec ts[2] = {{kMtime, 0}, {kMtime, 0}};
        utimensat(AT_FDCWD, (dir / "song.mp3").c_str(), ts, 0);
        setTracks({{7, "mp3", (dir / "song.mp3").string()}});
    }
    ~Rig() {
        if (server) server->stop();
        queue.stop();
    }
    struct T {
        uint32_t id;
        std::string type;
        std::string path;
    };
    void setTracks(const std::vector<T>& ts) {
        std::vector<CDJTrack> tracks;
        for (const T& t : ts) {
            CDJTrack track;
            track.id = t.id;
            track.fileType = t.type;
            track.filePath = t.path;
            tracks.push_back(track);
        }
        library->replaceContent(tracks, {});
    }
    void start(CDJNfsPorts requested = {0, 0, 0}) {
        server = std::make_unique<CDJNfsServer>(queue, iface, library, requested);
        server->start();
        ports = server->ports();
    }
};

// Every procedure of the file port, with its exact answer; the same table runs over UDP and TCP.
struct Exchange {
    const char* what;
    std::vector<uint8_t> request;
    std::vector<uint8_t> reply;
};

std::vector<Exchange> filePortExchanges() {
    const Wire h = Wire().hex(kHandle7);
    std::vector<Exchange> x;
    x.push_back({"NFS NULL", call(1, 100003, 2, 0, {}), Wire().ok(1)});
    x.push_back({"MOUNT NULL", call(2, 100005, 1, 0, {}), Wire().ok(2)});
    x.push_back({"MNT", call(3, 100005, 1, 1, Wire().str("/C/")), Wire().ok(3).w(0).zeros(32)});
    x.push_back({"EXPORT", call(4, 100005, 1, 5, {}),
                 Wire().ok(4).w(1).str("/C/").w(1).str("127.0.0.1/255.255.0.0").w(0).w(0)});
    x.push_back({"UMNT", call(5, 100005, 1, 3, Wire().str("/C/")), Wire().ok(5)});
    x.push_back({"LOOKUP", call(6, 100003, 2, 4, Wire().zeros(32).str("7.mp3")),
                 Wire().ok(6).w(0).hex(kHandle7).add(fileAttrs(1000, kFileId7))});
    x.push_back({"LOOKUP missing", call(7, 100003, 2, 4, Wire().zeros(32).str("8.mp3")), Wire().ok(7).w(2)});
    x.push_back({"GETATTR", call(8, 100003, 2, 1, h), Wire().ok(8).w(0).add(fileAttrs(1000, kFileId7))});
    x.push_back({"READ", call(9, 100003, 2, 6, Wire().add(h).ws({248, 6, 0})),
                 Wire().ok(9).w(0).add(fileAttrs(1000, kFileId7)).w(6).hex("f8f9fa00 0102 0000")});
    x.push_back({"READDIR", call(10, 100003, 2, 16, Wire().zeros(32).w(0).w(1024)),
                 Wire().ok(10).w(0).w(1).w(kFileId7).str("7.mp3").w(7).w(0).w(1)});
    x.push_back({"STATFS", call(11, 100003, 2, 17, Wire().zeros(32)),
                 Wire().ok(11).ws({0, 16384, 512, 32000000, 16000000, 16000000})});
    x.push_back({"SETATTR", call(12, 100003, 2, 2, Wire().add(h).zeros(32)), Wire().ok(12).w(30)});
    x.push_back({"WRITE", call(13, 100003, 2, 8, Wire().add(h).ws({0, 0, 4}).str("XXXX")), Wire().ok(13).w(30)});
    x.push_back({"CREATE", call(14, 100003, 2, 9, Wire().zeros(32).str("n").zeros(32)), Wire().ok(14).w(30)});
    x.push_back({"REMOVE", call(15, 100003, 2, 10, Wire().zeros(32).str("7.mp3")), Wire().ok(15).w(30)});
    x.push_back({"MKDIR", call(16, 100003, 2, 14, Wire().zeros(32).str("d").zeros(32)), Wire().ok(16).w(30)});
    x.push_back({"RMDIR", call(17, 100003, 2, 15, Wire().zeros(32).str("d")), Wire().ok(17).w(30)});
    x.push_back({"unknown handle", call(18, 100003, 2, 1, Wire().hex("01").zeros(31)), Wire().ok(18).w(2)});
    x.push_back({"NFS v3", call(19, 100003, 3, 0, {}), Wire().ws({19, 1, 0, 0, 0, 2, 2, 2})});
    x.push_back({"NLM", call(20, 100021, 1, 0, {}), Wire().ws({20, 1, 0, 0, 0, 1})});
    x.push_back({"proc 99", call(21, 100003, 2, 99, {}), Wire().ws({21, 1, 0, 0, 0, 3})});
    return x;
}

}  // namespace

TEST(NfsServer, AnswersEveryProcedureOverUdp) {
    LogCapture log;
    Rig rig;
    rig.start();
    ASSERT_NE(rig.ports.portmap, 0);
    EXPECT_TRUE(log.contains(fmt::format("OK Lausche UDP :{} (Portmapper (Pioneer 50111))", rig.ports.portmap)));
    EXPECT_TRUE(log.contains(fmt::format("OK Lausche UDP :{} (MOUNT v1)", rig.ports.mount)));
    EXPECT_TRUE(log.contains(fmt::format("OK Lausche UDP :{} (NFSv2)", rig.ports.nfs)));
    EXPECT_TRUE(log.contains(fmt::format("OK Lausche TCP :{} (NFS/TCP)", rig.ports.nfs)));
    EXPECT_EQ(rig.server->maxRead(), 16384);  // Linux: no datagram limit, no warning
    for (const auto& l : log.lines()) EXPECT_EQ(l.find("maxdgram"), std::string::npos) << l;

    RpcUdpClient client;
    // Portmapper: answers the ports actually bound.
    EXPECT_EQ(client.call(rig.ports.portmap, call(100, 100000, 2, 3, Wire().ws({100005, 1, 17, 0}))),
              Wire().ok(100).w(rig.ports.mount).b);
    EXPECT_EQ(client.call(rig.ports.portmap, call(101, 100000, 2, 3, Wire().ws({100003, 2, 17, 0}))),
              Wire().ok(101).w(rig.ports.nfs).b);
    EXPECT_EQ(client.call(rig.ports.portmap, call(102, 100000, 2, 3, Wire().ws({100000, 2, 17, 0}))),
              Wire().ok(102).w(0).b);
    EXPECT_EQ(client.call(rig.ports.portmap, call(103, 100000, 2, 0, {})), Wire().ok(103).b);
    // Mount port.
    EXPECT_EQ(client.call(rig.ports.mount, call(104, 100005, 1, 1, Wire().str("/C/"))),
              Wire().ok(104).w(0).zeros(32).b);
    EXPECT_EQ(client.call(rig.ports.mount, call(105, 100005, 1, 5, {})),
              Wire().ok(105).w(1).str("/C/").w(1).str("127.0.0.1/255.255.0.0").w(0).w(0).b);

    // Root attributes carry the start time of the service.
    const auto before = static_cast<uint32_t>(::time(nullptr));
    auto root = client.call(rig.ports.nfs, call(106, 100003, 2, 1, Wire().zeros(32)));
    ASSERT_TRUE(root);
    ASSERT_EQ(root->size(), 24u + 4 + 68);
    EXPECT_EQ(std::vector<uint8_t>(root->begin(), root->begin() + 72),
              Wire().ok(106).w(0).ws({2, 040666, 1, 0, 0, 4096, 512, 1, 8, 1, 1}).b);
    EXPECT_LE(fv::test::wordAt(*root, 72), before);
    EXPECT_GE(fv::test::wordAt(*root, 72) + 60, before);

    for (const Exchange& x : filePortExchanges()) {
        EXPECT_EQ(client.call(rig.ports.nfs, x.request), x.reply) << x.what;
    }
    EXPECT_TRUE(log.contains("NFS LOOKUP \"8.mp3\" → NOENT"));
    EXPECT_TRUE(log.contains("NFS Schreibversuch proc 8 → EROFS"));
    EXPECT_EQ(rig.server->stats().mounts, 2);
    EXPECT_EQ(rig.server->stats().exports, 2);
    EXPECT_EQ(rig.server->stats().reads, 1);

    // Dropped without an answer: a reply message and a call too short to be one.
    RpcUdpClient quick("127.0.0.1", 200);
    quick.send(rig.ports.nfs, Wire().ws({200, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    quick.send(rig.ports.nfs, Wire().ws({201, 0, 2, 100003, 2, 0, 0, 0, 0}));
    EXPECT_FALSE(quick.receive());
}

TEST(NfsServer, AnswersEveryProcedureOverTcpWithRecordMarking) {
    Rig rig;
    rig.start();
    RpcTcpClient client(rig.ports.nfs);
    ASSERT_TRUE(client.connected());
    for (const Exchange& x : filePortExchanges()) {
        ASSERT_TRUE(client.sendAll(rpcRecordFrame(x.request)));
        EXPECT_EQ(client.readRecord(), x.reply) << x.what;
        EXPECT_EQ(client.lastHeader, 0x80000000u | x.reply.size()) << x.what;
    }

    // A call split over two segments is answered once the whole record is there, not before.
    const std::vector<uint8_t> lookup = rpcRecordFrame(call(300, 100003, 2, 4, Wire().zeros(32).str("7.mp3")));
    ASSERT_TRUE(client.sendAll(std::vector<uint8_t>(lookup.begin(), lookup.begin() + 30)));
    std::this_thread::sleep_for(50ms);
    RpcTcpClient probe(rig.ports.nfs);  // the server keeps serving others meanwhile
    ASSERT_TRUE(probe.sendAll(rpcRecordFrame(call(301, 100003, 2, 0, {}))));
    EXPECT_EQ(probe.readRecord(), Wire().ok(301).b);
    ASSERT_TRUE(client.sendAll(std::vector<uint8_t>(lookup.begin() + 30, lookup.end())));
    EXPECT_EQ(client.readRecord(), Wire().ok(300).w(0).hex(kHandle7).add(fileAttrs(1000, kFileId7)).b);

    // Two calls in one segment: two answers, in order.
    Wire two;
    two.add(rpcRecordFrame(call(302, 100003, 2, 6, Wire().hex(kHandle7).ws({0, 2, 0}))))
        .add(rpcRecordFrame(call(303, 100005, 1, 1, Wire().str("/"))));
    ASSERT_TRUE(client.sendAll(two.b));
    EXPECT_EQ(client.readRecord(), Wire().ok(302).w(0).add(fileAttrs(1000, kFileId7)).w(2).hex("00010000").b);
    EXPECT_EQ(client.readRecord(), Wire().ok(303).w(0).zeros(32).b);

    // A record in two fragments.
    const std::vector<uint8_t> nullCall = call(304, 100003, 2, 0, {});
    Wire frags;
    frags.w(16).add(std::vector<uint8_t>(nullCall.begin(), nullCall.begin() + 16));
    frags.w(0x80000000u | (nullCall.size() - 16)).add(std::vector<uint8_t>(nullCall.begin() + 16, nullCall.end()));
    ASSERT_TRUE(client.sendAll(frags.b));
    EXPECT_EQ(client.readRecord(), Wire().ok(304).b);

    // The programs of the portmapper are not served here; an unparsable record gets no answer.
    ASSERT_TRUE(client.sendAll(rpcRecordFrame(call(305, 100000, 2, 3, Wire().ws({100005, 1, 6, 0})))));
    EXPECT_EQ(client.readRecord(), Wire().ws({305, 1, 0, 0, 0, 1}).b);
    ASSERT_TRUE(client.sendAll(rpcRecordFrame(Wire().ws({306, 0, 2}).b)));
    ASSERT_TRUE(client.sendAll(rpcRecordFrame(call(307, 100003, 2, 0, {}))));
    EXPECT_EQ(client.readRecord(), Wire().ok(307).b);
    EXPECT_EQ(rig.server->tcpConnectionCount(), 2u);

    // A record announced larger than any call ends that connection only.
    ASSERT_TRUE(probe.sendAll(Wire().w(0x80000000u | 0x7fffff00u).b));
    EXPECT_TRUE(probe.closedByPeer());
    ASSERT_TRUE(client.sendAll(rpcRecordFrame(call(308, 100003, 2, 0, {}))));
    EXPECT_EQ(client.readRecord(), Wire().ok(308).b);

    // Stopping closes the connections and every port.
    rig.server->stop();
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_EQ(rig.server->tcpConnectionCount(), 0u);
    EXPECT_TRUE(portFree(SOCK_DGRAM, rig.ports.portmap));
    EXPECT_TRUE(portFree(SOCK_DGRAM, rig.ports.mount));
    EXPECT_TRUE(portFree(SOCK_DGRAM, rig.ports.nfs));
    EXPECT_TRUE(portFree(SOCK_STREAM, rig.ports.nfs));
}

TEST(NfsServer, Reads50MBFileByLookupAndSequentialReads) {
    Rig rig;
    // 50 MB of pseudo-random bytes, and a track that points at it.
    const size_t size = 50u * 1024 * 1024;
    std::vector<uint8_t> data(size);
    std::mt19937_64 rng(42);
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t v = rng();
        std::memcpy(data.data() + i, &v, 8);
    }
    {
        std::ofstream out(rig.dir / "big.flac", std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
    }
    rig.setTracks({{41, "flac", (rig.dir / "big.flac").string()}});
    struct stat st0 {};
    ASSERT_EQ(::stat((rig.dir / "big.flac").c_str(), &st0), 0);
    rig.start();

    auto lookupHandle = [](const std::vector<uint8_t>& reply) {
        return std::vector<uint8_t>(reply.begin() + 28, reply.begin() + 60);
    };
    auto checkRead = [&](const std::vector<uint8_t>& reply, size_t offset, const char* how) {
        // header 24, status 4, attributes 68, length 4, data
        ASSERT_GE(reply.size(), 100u) << how;
        ASSERT_EQ(fv::test::wordAt(reply, 24), 0u) << how;
        ASSERT_EQ(fv::test::wordAt(reply, 48), size) << how;  // size attribute
        const size_t n = fv::test::wordAt(reply, 96);
        ASSERT_EQ(n, std::min<size_t>(16384, size - offset)) << how << " @" << offset;
        ASSERT_EQ(std::memcmp(reply.data() + 100, data.data() + offset, n), 0) << how << " @" << offset;
    };

    // UDP, one outstanding READ at a time as a player reads.
    {
        RpcUdpClient client;
        auto lk = client.call(rig.ports.nfs, call(1, 100003, 2, 4, Wire().zeros(32).str("41.flac")));
        ASSERT_TRUE(lk);
        ASSERT_EQ(fv::test::wordAt(*lk, 24), 0u);
        const std::vector<uint8_t> fh = lookupHandle(*lk);
        uint32_t xid = 10;
        for (size_t off = 0; off < size; off += 16384) {
            auto r = client.call(rig.ports.nfs,
                                 call(++xid, 100003, 2, 6, Wire().add(fh).ws({static_cast<uint32_t>(off), 16384, 0})));
            ASSERT_TRUE(r) << off;
            checkRead(*r, off, "udp");
        }
    }
    // TCP, the same.
    {
        RpcTcpClient client(rig.ports.nfs);
        ASSERT_TRUE(client.sendAll(rpcRecordFrame(call(1, 100003, 2, 4, Wire().zeros(32).str("41.flac")))));
        auto lk = client.readRecord();
        ASSERT_TRUE(lk);
        const std::vector<uint8_t> fh = lookupHandle(*lk);
        uint32_t xid = 10;
        for (size_t off = 0; off < size; off += 16384) {
            ASSERT_TRUE(client.sendAll(
                rpcRecordFrame(call(++xid, 100003, 2, 6, Wire().add(fh).ws({static_cast<uint32_t>(off), 16384, 0})))));
            auto r = client.readRecord();
            ASSERT_TRUE(r) << off;
            checkRead(*r, off, "tcp");
        }
    }
    EXPECT_EQ(rig.server->stats().reads, 2 * 3200);

    // Nothing was written.
    struct stat st1 {};
    ASSERT_EQ(::stat((rig.dir / "big.flac").c_str(), &st1), 0);
    EXPECT_EQ(st1.st_size, st0.st_size);
    EXPECT_EQ(st1.st_mtim.tv_sec, st0.st_mtim.tv_sec);
    EXPECT_EQ(st1.st_mtim.tv_nsec, st0.st_mtim.tv_nsec);
}

TEST(NfsServer, StartFailureClosesWhatWasOpened) {
    LogCapture log;
    // The mount port is taken: the portmapper opened before it must be closed again.
    {
        HeldPort held(SOCK_DGRAM);
        Rig rig;
        try {
            rig.start({0, held.port, 0});
            FAIL() << "start must fail";
        } catch (const CDJSocketError& e) {
            EXPECT_EQ(e.kind(), CDJSocketError::Kind::bind);
            EXPECT_EQ(e.port(), held.port);
            EXPECT_EQ(std::string(e.what()),
                      fmt::format("Port {} belegt oder nicht bindbar (Address already in use) – läuft rekordbox?",
                                  held.port));
        }
        EXPECT_FALSE(rig.server->isRunning());
        uint16_t pmPort = 0;
        for (const auto& l : log.lines())
            if (l.find("(Portmapper (Pioneer 50111))") != std::string::npos)
                pmPort = static_cast<uint16_t>(std::stoi(l.substr(l.find(':') + 1)));
        ASSERT_NE(pmPort, 0);
        EXPECT_TRUE(portFree(SOCK_DGRAM, pmPort));
    }
    // The TCP side of the file port is taken: all three datagram sockets are closed again.
    {
        HeldPort held(SOCK_STREAM);
        if (!portFree(SOCK_DGRAM, held.port)) GTEST_SKIP() << "UDP side of the test port is in use";
        Rig rig;
        EXPECT_THROW(rig.start({0, 0, held.port}), CDJSocketError);
        EXPECT_TRUE(portFree(SOCK_DGRAM, held.port));
        // And a start on free ports afterwards works.
        rig.start();
        RpcUdpClient client;
        EXPECT_EQ(client.call(rig.ports.nfs, call(1, 100003, 2, 0, {})), Wire().ok(1).b);
    }
}

TEST(NfsServer, RandomDatagramsAndRecordsKeepTheServiceUp) {
    Rig rig;
    rig.start();
    const std::string before = [&] {
        std::ifstream in(rig.dir / "song.mp3", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    std::mt19937 rng(7);
    auto randomBytes = [&](size_t maxLen) {
        std::vector<uint8_t> b(rng() % (maxLen + 1));
        for (auto& x : b) x = static_cast<uint8_t>(rng());
        return b;
    };
    // Valid calls of every procedure with a few bytes changed at random reach deep into the handlers.
    const std::vector<Exchange> valid = filePortExchanges();
    auto mutated = [&] {
        std::vector<uint8_t> b = valid[rng() % valid.size()].request;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        if (rng() % 4 == 0) b.resize(rng() % (b.size() + 1));
        return b;
    };

    {
        RpcUdpClient noise("127.0.0.1", 50);
        for (int i = 0; i < 3000; ++i) {
            const uint16_t ports[] = {rig.ports.portmap, rig.ports.mount, rig.ports.nfs};
            noise.send(ports[i % 3], i % 2 ? randomBytes(1500) : mutated());
            if (i % 100 == 0)
                while (noise.receive()) {
                }
        }
    }
    for (int c = 0; c < 20; ++c) {
        RpcTcpClient noise(rig.ports.nfs, "127.0.0.1", 50);
        if (!noise.connected()) continue;
        for (int i = 0; i < 50; ++i) {
            if (i % 3 == 0) {
                noise.sendAll(randomBytes(3000));
            } else {
                noise.sendAll(rpcRecordFrame(i % 3 == 1 ? mutated() : randomBytes(200)));
            }
        }
    }

    RpcUdpClient client;
    EXPECT_EQ(client.call(rig.ports.portmap, call(1, 100000, 2, 0, {})), Wire().ok(1).b);
    EXPECT_EQ(client.call(rig.ports.mount, call(2, 100005, 1, 0, {})), Wire().ok(2).b);
    EXPECT_EQ(client.call(rig.ports.nfs, call(3, 100003, 2, 4, Wire().zeros(32).str("7.mp3"))),
              Wire().ok(3).w(0).hex(kHandle7).add(fileAttrs(1000, kFileId7)).b);
    RpcTcpClient tcp(rig.ports.nfs);
    ASSERT_TRUE(tcp.sendAll(rpcRecordFrame(call(4, 100003, 2, 0, {}))));
    EXPECT_EQ(tcp.readRecord(), Wire().ok(4).b);
    const std::string after = [&] {
        std::ifstream in(rig.dir / "song.mp3", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    EXPECT_EQ(after, before);
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(rig.dir.path())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"song.mp3"});
}
