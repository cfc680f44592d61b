// The file service on its real ports in a network namespace, probed from a second one, with the
// traffic captured and dissected by tshark as an independent check of every message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "Netns.hpp"
#include "cdjlink/CDJNfsServer.hpp"
#include "cdjlink/NfsTestSupport.hpp"
#include "core/SerialQueue.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;
using fv::test::Background;
using fv::test::NetnsPair;
using fv::test::RpcTcpClient;
using fv::test::RpcUdpClient;
using fv::test::TempDir;
using fv::test::Wire;

namespace {

bool haveProgram(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/", "/usr/local/bin/"})
        if (::access((std::string(dir) + name).c_str(), X_OK) == 0) return true;
    return false;
}

// dumpcap on one side's veth, ready once the file has its header.
class Capture {
public:
    Capture(const NetnsPair::Side& side, const std::filesystem::path& file, const std::filesystem::path& log)
        : proc_(NetnsPair::exec(side, {"dumpcap", "-q", "-i", side.veth, "-w", file.string()}), log) {
        for (int i = 0; i < 200 && proc_.running(); ++i) {
            std::error_code ec;
            if (std::filesystem::file_size(file, ec) > 0 && !ec) break;
            std::this_thread::sleep_for(25ms);
        }
        std::this_thread::sleep_for(300ms);
    }
    bool running() const { return proc_.running(); }
    void stop() {
        if (!proc_.running()) return;
        std::this_thread::sleep_for(300ms);  // the last replies on the wire
        proc_.stop(SIGINT);
    }

private:
    Background proc_;
};

std::vector<std::vector<std::string>> splitRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        size_t start = 0;
        for (;;) {
            const size_t bar = line.find('|', start);
            cols.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        rows.push_back(cols);
    }
    return rows;
}

std::vector<uint8_t> call(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, const std::vector<uint8_t>& args) {
    return rpcCallMessage(xid, prog, vers, proc, args);
}

}  // namespace

TEST(NfsNetns, TsharkDissectsEveryExchangeAsWellFormedAndMatched) {
    std::string why;
    auto ns = NetnsPair::create(&why);
    if (!ns) GTEST_SKIP() << why;
    if (!haveProgram("tshark") || !haveProgram("dumpcap"))
        GTEST_SKIP() << "tshark/dumpcap fehlt (scripts/bootstrap.sh)";

    TempDir dir;
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7) % 256);
    fv::test::writeFile(dir / "track.mp3", data);
    auto library = std::make_shared<CDJLibrary>();
    {
        CDJTrack t;
        t.id = 5;
        t.fileType = "mp3";
        t.filePath = (dir / "track.mp3").string();
        CDJTrack u;
        u.id = 6;
        u.fileType = "";
        u.filePath = (dir / "gone.AIF").string();
        library->replaceContent({t, u}, {});
    }

    // rpcinfo probes the service below as a second, independent client. It asks the host's
    // rpcbind (port 111) for the program before it uses the given port, so a real rpcbind runs
    // beside the service, with a private /run so nothing of it stays behind; it is started before
    // the capture, so its start-up does not show on the wire.
    std::unique_ptr<Background> rpcbind;
    const std::string host = ns->a().address;
    if (haveProgram("rpcinfo") && haveProgram("rpcbind") && haveProgram("unshare")) {
        rpcbind = std::make_unique<Background>(
            NetnsPair::exec(ns->a(), {"unshare", "-m", "sh", "-c", "mount -t tmpfs none /run && exec rpcbind -f -i"}),
            dir / "rpcbind.log");
        for (int i = 0; i < 100; ++i) {
            if (fv::test::runProcess(NetnsPair::exec(ns->b(), {"rpcinfo", "-p", host})).exitCode == 0) break;
            std::this_thread::sleep_for(50ms);
        }
        // rpcinfo looks the program up there first: register the service's ports (PMAP SET, local).
        NetnsPair::runInside(ns->a(), [&] {
            RpcUdpClient local("127.0.0.1");
            const uint32_t sets[][4] = {{100005, 1, 17, 38251}, {100005, 2, 17, 38251}, {100003, 2, 17, 2049},
                                        {100003, 2, 6, 2049},   {100005, 1, 6, 2049},   {100005, 2, 6, 2049}};
            uint32_t xid = 900;
            for (const auto& m : sets) {
                auto r = local.call(111, call(++xid, 100000, 2, 1, Wire().ws({m[0], m[1], m[2], m[3]})));
                ASSERT_TRUE(r);
                EXPECT_EQ(fv::test::wordAt(*r, 24), 1u) << "PMAP SET " << m[0] << " v" << m[1];
            }
        });
    }

    const std::filesystem::path pcap = dir / "nfs.pcapng";
    Capture capture(ns->b(), pcap, dir / "dumpcap.log");
    ASSERT_TRUE(capture.running());

    // The server on the production ports, its sockets made inside namespace a.
    SerialQueue queue("floorvote.cdjlink");
    CDJInterface iface{ns->a().veth, ns->a().address, "255.255.255.0", {0x02, 0, 0, 0, 0, 1}};
    CDJNfsServer server(queue, iface, library);
    NetnsPair::runInside(ns->a(), [&] { server.start(); });
    ASSERT_EQ(server.ports().nfs, 2049);

    size_t calls = 0;
    NetnsPair::runInside(ns->b(), [&] {
        RpcUdpClient udp(host);
        auto expectWord = [](const std::optional<std::vector<uint8_t>>& r, size_t at, uint32_t v, const char* what) {
            ASSERT_TRUE(r) << what;
            EXPECT_EQ(fv::test::wordAt(*r, at), v) << what;
        };
        // As a player mounts: ports from the portmapper, export list, mount, then the file.
        expectWord(udp.call(50111, call(1, 100000, 2, 3, Wire().ws({100005, 1, 17, 0}))), 24, 38251, "GETPORT mount");
        expectWord(udp.call(50111, call(2, 100000, 2, 3, Wire().ws({100003, 2, 17, 0}))), 24, 2049, "GETPORT nfs");
        expectWord(udp.call(50111, call(3, 100000, 2, 0, {})), 20, 0, "PMAP NULL");
        expectWord(udp.call(38251, call(4, 100005, 1, 5, {})), 24, 1, "EXPORT");
        expectWord(udp.call(38251, call(5, 100005, 1, 1, Wire().str("/C/"))), 24, 0, "MNT");
        expectWord(udp.call(2049, call(6, 100003, 2, 0, {})), 20, 0, "NULL");
        expectWord(udp.call(2049, call(7, 100003, 2, 1, Wire().zeros(32))), 24, 0, "GETATTR root");
        expectWord(udp.call(2049, call(8, 100003, 2, 17, Wire().zeros(32))), 28, 16384, "STATFS");
        expectWord(udp.call(2049, call(9, 100003, 2, 16, Wire().zeros(32).w(0).w(4096))), 24, 0, "READDIR");
        auto lk = udp.call(2049, call(10, 100003, 2, 4, Wire().zeros(32).str("5.mp3")));
        expectWord(lk, 24, 0, "LOOKUP");
        if (!lk) return;
        const std::vector<uint8_t> fh(lk->begin() + 28, lk->begin() + 60);
        expectWord(udp.call(2049, call(11, 100003, 2, 4, Wire().zeros(32).str("6.aiff"))), 24, 2, "LOOKUP gone");
        expectWord(udp.call(2049, call(12, 100003, 2, 4, Wire().zeros(32).str(".."))), 24, 2, "LOOKUP ..");
        expectWord(udp.call(2049, call(13, 100003, 2, 1, fh)), 24, 0, "GETATTR");
        uint32_t xid = 100;
        for (uint32_t off = 0; off < data.size(); off += 16384) {
            auto r = udp.call(2049, call(++xid, 100003, 2, 6, Wire().add(fh).ws({off, 16384, 0})));
            expectWord(r, 96, std::min<uint32_t>(16384, static_cast<uint32_t>(data.size()) - off), "READ");
            if (r) {
                EXPECT_EQ(std::memcmp(r->data() + 100, data.data() + off, fv::test::wordAt(*r, 96)), 0);
            }
        }
        expectWord(udp.call(2049, call(20, 100003, 2, 8, Wire().add(fh).ws({0, 0, 4}).str("XXXX"))), 24, 30, "WRITE");
        expectWord(udp.call(2049, call(21, 100003, 2, 9, Wire().zeros(32).str("n.mp3").zeros(32))), 24, 30, "CREATE");
        expectWord(udp.call(2049, call(22, 100003, 2, 10, Wire().zeros(32).str("5.mp3"))), 24, 30, "REMOVE");
        expectWord(udp.call(2049, call(23, 100003, 3, 0, {})), 20, 2, "NFS v3 → PROG_MISMATCH");
        expectWord(udp.call(2049, call(24, 100021, 4, 0, {})), 20, 1, "NLM → PROG_UNAVAIL");
        expectWord(udp.call(38251, call(25, 100005, 1, 3, Wire().str("/C/"))), 20, 0, "UMNT");
        calls += 17 + (data.size() + 16383) / 16384;

        // TCP: mount and read over one connection, a call split over two segments, two in one.
        RpcTcpClient tcp(2049, host);
        ASSERT_TRUE(tcp.connected());
        tcp.sendAll(rpcRecordFrame(call(30, 100005, 1, 1, Wire().str("/C/"))));
        expectWord(tcp.readRecord(), 24, 0, "TCP MNT");
        const std::vector<uint8_t> split = rpcRecordFrame(call(31, 100003, 2, 4, Wire().zeros(32).str("5.mp3")));
        tcp.sendAll(std::vector<uint8_t>(split.begin(), split.begin() + 21));
        std::this_thread::sleep_for(100ms);
        tcp.sendAll(std::vector<uint8_t>(split.begin() + 21, split.end()));
        expectWord(tcp.readRecord(), 24, 0, "TCP LOOKUP split");
        Wire two;
        two.add(rpcRecordFrame(call(32, 100003, 2, 6, Wire().add(fh).ws({0, 16384, 0}))))
            .add(rpcRecordFrame(call(33, 100003, 2, 1, fh)));
        tcp.sendAll(two.b);
        expectWord(tcp.readRecord(), 96, 16384, "TCP READ");
        expectWord(tcp.readRecord(), 24, 0, "TCP GETATTR");
        calls += 4;
    });

    // rpcinfo as a second, independent client: NULL calls, and version probing by PROG_MISMATCH.
    std::vector<std::string> rpcinfoOut;
    if (rpcbind) {
        const std::vector<std::vector<std::string>> probes = {
            {"-n", "50111", "-u", host, "100000", "2"}, {"-n", "38251", "-u", host, "100005"},
            {"-n", "2049", "-u", host, "100003"},       {"-n", "2049", "-t", host, "100003", "2"},
            {"-n", "2049", "-t", host, "100005", "1"},
            // The universal addresses (host.port-high.port-low) reach each port without rpcbind.
            {"-a", host + ".195.191", "-T", "udp", "100000", "2"},
            {"-a", host + ".149.107", "-T", "udp", "100005", "1"},
            {"-a", host + ".8.1", "-T", "udp", "100003", "2"},
            {"-a", host + ".8.1", "-T", "tcp", "100003", "2"},
        };
        for (const auto& p : probes) {
            std::vector<std::string> args{"rpcinfo"};
            args.insert(args.end(), p.begin(), p.end());
            auto r = fv::test::runProcess(NetnsPair::exec(ns->b(), args));
            EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
            rpcinfoOut.push_back(r.out);
        }
        EXPECT_EQ(rpcinfoOut[0], "program 100000 version 2 ready and waiting\n");
        EXPECT_EQ(rpcinfoOut[1],
                  "program 100005 version 1 ready and waiting\nprogram 100005 version 2 ready and waiting\n");
        EXPECT_EQ(rpcinfoOut[2], "program 100003 version 2 ready and waiting\n");
        EXPECT_EQ(rpcinfoOut[3], "program 100003 version 2 ready and waiting\n");
        EXPECT_EQ(rpcinfoOut[4], "program 100005 version 1 ready and waiting\n");
        EXPECT_EQ(rpcinfoOut[5], "program 100000 version 2 ready and waiting\n");
        EXPECT_EQ(rpcinfoOut[6], "program 100005 version 1 ready and waiting\n");
        EXPECT_EQ(rpcinfoOut[7], "program 100003 version 2 ready and waiting\n");
        EXPECT_EQ(rpcinfoOut[8], "program 100003 version 2 ready and waiting\n");
        rpcbind->stop(SIGTERM);
    } else {
        std::cout << "[rpcinfo] rpcinfo/rpcbind fehlt: Probe übersprungen (Debian-Paket rpcbind)\n";
    }

    server.stop();
    capture.stop();
    queue.stop();

    if (getenv("NFS_KEEP_PCAP"))
        std::filesystem::copy_file(pcap, getenv("NFS_KEEP_PCAP"), std::filesystem::copy_options::overwrite_existing);
    // Dissect: the RPC ports decoded as RPC (2049 is NFS by default).
    // Two passes, so a call already knows the frame of its reply.
    auto r = fv::test::runProcess({"tshark",
                                   "-n",
                                   "-2",
                                   "-r",
                                   pcap.string(),
                                   "-d",
                                   "udp.port==50111,rpc",
                                   "-d",
                                   "udp.port==38251,rpc",
                                   "-T",
                                   "fields",
                                   "-E",
                                   "separator=|",
                                   "-E",
                                   "occurrence=a",
                                   "-E",
                                   "aggregator=,",
                                   "-e",
                                   "frame.number",
                                   "-e",
                                   "rpc.msgtyp",
                                   "-e",
                                   "rpc.xid",
                                   "-e",
                                   "rpc.repframe",
                                   "-e",
                                   "rpc.reqframe",
                                   "-e",
                                   "_ws.malformed",
                                   "-e",
                                   "_ws.expert.severity",
                                   "-e",
                                   "_ws.expert.message",
                                   "-e",
                                   "rpc.program"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    size_t callFrames = 0, replyFrames = 0;
    std::map<std::string, int> expertMessages;
    struct Msg {
        std::string frame, type, xid, partner;
    };
    auto split = [](const std::string& v) {
        std::vector<std::string> out;
        std::istringstream in(v);
        for (std::string x; std::getline(in, x, ',');) out.push_back(x);
        return out;
    };
    std::vector<Msg> messages;
    std::multimap<std::string, size_t> byFrame;
    for (const auto& row : splitRows(r.out)) {
        ASSERT_GE(row.size(), 9u);
        const std::string& frame = row[0];
        EXPECT_TRUE(row[5].empty()) << "malformed frame " << frame;
        // Severity: chat 0x00200000, note 0x00400000, warn 0x00600000, error 0x00800000.
        for (const std::string& v : split(row[6]))
            EXPECT_LT(std::stoul(v, nullptr, 0), 0x00600000u) << "frame " << frame << ": " << row[7];
        if (!row[7].empty()) ++expertMessages[row[7]];
        // A frame may carry several messages (two calls in one TCP segment): parallel lists.
        const auto types = split(row[1]), xids = split(row[2]), reps = split(row[3]), reqs = split(row[4]);
        size_t calls = 0, replies = 0;
        for (size_t i = 0; i < types.size(); ++i) {
            std::string partner = types[i] == "0" ? (calls < reqs.size() ? reqs[calls] : "")
                                                  : (replies < reps.size() ? reps[replies] : "");
            (types[i] == "0" ? calls : replies)++;
            byFrame.emplace(frame, messages.size());
            messages.push_back({frame, types[i], i < xids.size() ? xids[i] : "", partner});
        }
    }
    // Every call names the frame of its reply and every reply its call, with the same xid.
    for (const Msg& m : messages) {
        (m.type == "0" ? callFrames : replyFrames)++;
        EXPECT_FALSE(m.partner.empty()) << (m.type == "0" ? "call without reply" : "reply without call") << ", frame "
                                        << m.frame << " xid " << m.xid;
        bool matched = false;
        for (auto [it, end] = byFrame.equal_range(m.partner); it != end; ++it) {
            const Msg& other = messages[it->second];
            matched = matched || (other.xid == m.xid && other.type != m.type);
        }
        EXPECT_TRUE(matched) << "frame " << m.frame << " xid " << m.xid << " → frame " << m.partner;
    }
    // Our own calls plus rpcinfo's, each answered.
    EXPECT_GE(callFrames, calls);
    EXPECT_EQ(callFrames, replyFrames);
    for (const auto& [m, n] : expertMessages) std::cout << "[tshark] " << n << "× " << m << "\n";
    std::cout << "[tshark] " << callFrames << " Aufrufe, " << replyFrames << " Antworten\n";
}
