// The three RPC programs answered byte for byte, without sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "cdjlink/CDJNfsServer.hpp"
#include "cdjlink/NfsTestSupport.hpp"
#include "support/TestSupport.hpp"

using namespace fv::cdj;
using fv::test::hexOf;
using fv::test::TempDir;
using fv::test::Wire;

namespace {

// SHA-256 of the virtual paths, from sha256sum.
constexpr const char* kHandle7 = "db34af574a452f7b8bbb56ad4a117d755748b82ea2af7760911ad833675b29c3";  // "/7.mp3"
constexpr uint32_t kFileId7 = 0xdb34af57;
constexpr uint32_t kFileId9 = 0x16419c9c;   // "/9.flac"
constexpr uint32_t kFileId12 = 0xb9614002;  // "/12.aiff"
constexpr uint32_t kDirTime = 1700000000;
constexpr uint32_t kMtime = 1600000000;

void setMtime(const std::filesystem::path& p, time_t sec, long nsec) {
    struct timespec ts[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, 0), 0);
}

std::string contents(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Fixture {
    TempDir dir;
    std::vector<CDJNfsFile> files;
    std::vector<std::string> lines;
    bool verbose = false;
    CDJNfsHandler handler;
    uint32_t xid = 0x1000;

    explicit Fixture(int64_t maxRead = 16384)
        : handler(
              CDJNfsHandler::Config{"10.99.0.1", CDJNfsPorts{}, maxRead, kDirTime, [this] { return verbose; }},
              [this] { return files; },
              [this](const std::string& tag, const std::string& m) { lines.push_back("[" + tag + "] " + m); }) {
        // 7: 1000 bytes of a counting pattern; 9: missing on disk; 12: 3 bytes.
        std::string data;
        for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i % 251));
        fv::test::writeFile(dir / "song.mp3", data);
        setMtime(dir / "song.mp3", kMtime, 123456789);
        fv::test::writeFile(dir / "Other.AIF", "abc");
        setMtime(dir / "Other.AIF", kMtime, 0);
        files = {{12, "12.aiff", (dir / "Other.AIF").string()},
                 {7, "7.mp3", (dir / "song.mp3").string()},
                 {9, "9.flac", (dir / "gone.flac").string()}};
    }

    std::optional<RpcBytes> call(CDJNfsEndpoint ep, uint32_t prog, uint32_t vers, uint32_t proc,
                                 const std::vector<uint8_t>& args = {}) {
        return handler.handle(ep, rpcCallMessage(++xid, prog, vers, proc, args));
    }
    std::optional<RpcBytes> nfs(uint32_t proc, const std::vector<uint8_t>& args = {}) {
        return call(CDJNfsEndpoint::nfs, kRpcNfsProgram, 2, proc, args);
    }
    std::vector<uint8_t> lookup7() {
        auto r = nfs(4, Wire().zeros(32).str("7.mp3"));
        return r ? *r : std::vector<uint8_t>{};
    }
};

Wire fileAttrs(uint32_t size, uint32_t fileId, uint32_t usec) {
    Wire a;
    a.ws({1, 0100444, 1, 0, 0, size, 512, 1, size / 512, 1, fileId});
    for (int i = 0; i < 3; ++i) a.ws({kMtime, usec});
    return a;
}

Wire dirAttrs() {
    Wire a;
    a.ws({2, 040666, 1, 0, 0, 4096, 512, 1, 8, 1, 1});
    for (int i = 0; i < 3; ++i) a.ws({kDirTime, 0});
    return a;
}

}  // namespace

TEST(NfsNames, VirtualFileNames) {
    EXPECT_EQ(cdjVirtualFileName(12, "mp3", "/x/a.flac"), "12.mp3");
    EXPECT_EQ(cdjVirtualFileName(12, "aif", "/Music/Track.AIF"), "12.aiff");
    EXPECT_EQ(cdjVirtualFileName(12, "", "/Music/Track"), "12.mp3");
    EXPECT_EQ(cdjVirtualFileName(12, "", "/Music.d/Track"), "12.mp3");
    EXPECT_EQ(cdjVirtualFileName(4294967295u, "", "/a/b.OGG"), "4294967295.ogg");
    EXPECT_EQ(cdjVirtualFileName(1, "m4a", ""), "1.m4a");
    EXPECT_EQ(cdjVirtualFileName(1, "MP3", "/a/b.Wav"), "1.wav");

    EXPECT_EQ(cdjNfsReadLimit(std::nullopt).maxRead, 16384);
    EXPECT_FALSE(cdjNfsReadLimit(std::nullopt).warning);
    EXPECT_EQ(cdjNfsReadLimit(65535).maxRead, 16384);
    EXPECT_EQ(cdjNfsReadLimit(16583).maxRead, 8192);
    EXPECT_EQ(cdjNfsReadLimit(9216).warning.value_or(""),
              "net.inet.udp.maxdgram=9216 → NFS-READ auf 8192 B begrenzt (sudo sysctl -w "
              "net.inet.udp.maxdgram=65535 erlaubt 16 KB)");
}

TEST(NfsPortmap, GetportNullAndOtherProcedures) {
    Fixture f;
    auto getport = [&](uint32_t prog, uint32_t vers, uint32_t proto) {
        return f.call(CDJNfsEndpoint::portmap, kRpcPortmapProgram, 2, 3, Wire().ws({prog, vers, proto, 0}));
    };
    EXPECT_EQ(getport(100005, 1, 17), Wire().ok(0x1001).w(38251).b);
    EXPECT_EQ(getport(100003, 2, 17), Wire().ok(0x1002).w(2049).b);
    EXPECT_EQ(getport(100000, 2, 17), Wire().ok(0x1003).w(0).b);
    // Mount over TCP is served on the file service's TCP port, not on the UDP-only mount port.
    EXPECT_EQ(getport(100005, 1, 6), Wire().ok(0x1004).w(2049).b);
    EXPECT_EQ(getport(100003, 3, 99), Wire().ok(0x1005).w(2049).b);
    EXPECT_EQ(f.lines, (std::vector<std::string>{
                           "[NFS] Portmap GETPORT prog=100005 v1 proto=udp → 38251",
                           "[NFS] Portmap GETPORT prog=100003 v2 proto=udp → 2049",
                           "[NFS] Portmap GETPORT prog=100000 v2 proto=udp → 0",
                           "[NFS] Portmap GETPORT prog=100005 v1 proto=tcp → 2049",
                           "[NFS] Portmap GETPORT prog=100003 v3 proto=99 → 2049",
                       }));

    EXPECT_EQ(f.call(CDJNfsEndpoint::portmap, kRpcPortmapProgram, 2, 0), Wire().ok(0x1006).b);
    // Truncated GETPORT arguments.
    EXPECT_EQ(f.call(CDJNfsEndpoint::portmap, kRpcPortmapProgram, 2, 3, Wire().ws({100005, 1, 17})),
              Wire().ws({0x1007, 1, 0, 0, 0, 4}).b);
    // SET, DUMP: not offered; the verbose line only when asked for.
    f.lines.clear();
    EXPECT_EQ(f.call(CDJNfsEndpoint::portmap, kRpcPortmapProgram, 2, 4), Wire().ws({0x1008, 1, 0, 0, 0, 3}).b);
    EXPECT_TRUE(f.lines.empty());
    f.verbose = true;
    EXPECT_EQ(f.call(CDJNfsEndpoint::portmap, kRpcPortmapProgram, 2, 1, Wire().ws({1, 2, 3, 4})),
              Wire().ws({0x1009, 1, 0, 0, 0, 3}).b);
    EXPECT_EQ(f.lines, std::vector<std::string>{"[NFS] portmap proc 1 ignoriert"});

    // rpcbind versions 3 and 4 are not spoken; other programs are not served on this port.
    EXPECT_EQ(f.call(CDJNfsEndpoint::portmap, kRpcPortmapProgram, 4, 3), Wire().ws({0x100a, 1, 0, 0, 0, 2, 2, 2}).b);
    EXPECT_EQ(f.call(CDJNfsEndpoint::portmap, kRpcNfsProgram, 2, 0), Wire().ws({0x100b, 1, 0, 0, 0, 1}).b);
}

TEST(NfsMount, MntUmntExportAndCounters) {
    Fixture f;
    auto mnt = [&](CDJNfsEndpoint ep, const std::vector<uint8_t>& args) {
        return f.call(ep, kRpcMountProgram, 1, 1, args);
    };
    // Zero bytes in the path are dropped before logging; the answer is always the root handle.
    EXPECT_EQ(mnt(CDJNfsEndpoint::mount, Wire().w(4).raw("/C/").zeros(1)), Wire().ok(0x1001).w(0).zeros(32).b);
    EXPECT_EQ(mnt(CDJNfsEndpoint::nfs, Wire().str("/x\n")), Wire().ok(0x1002).w(0).zeros(32).b);
    EXPECT_EQ(f.handler.stats().mounts, 2);
    EXPECT_EQ(f.call(CDJNfsEndpoint::mount, kRpcMountProgram, 1, 3, Wire().str("/C/")), Wire().ok(0x1003).b);
    EXPECT_EQ(f.call(CDJNfsEndpoint::mount, kRpcMountProgram, 1, 0), Wire().ok(0x1004).b);
    EXPECT_EQ(f.call(CDJNfsEndpoint::mount, kRpcMountProgram, 1, 5),
              Wire().ok(0x1005).w(1).str("/C/").w(1).str("10.99.0.1/255.255.0.0").w(0).w(0).b);
    EXPECT_EQ(f.call(CDJNfsEndpoint::mount, kRpcMountProgram, 2, 5),
              Wire().ok(0x1006).w(1).str("/C/").w(1).str("10.99.0.1/255.255.0.0").w(0).w(0).b);
    EXPECT_EQ(f.handler.stats().exports, 2);
    EXPECT_EQ(f.lines, (std::vector<std::string>{
                           "[NFS] MOUNT MNT \"/C/\" → Root-Handle",
                           "[NFS] MOUNT MNT \"/x?\" → Root-Handle",
                           "[NFS] MOUNT UMNT",
                           "[NFS] MOUNT EXPORT #1 → \"/C/\"",
                           "[NFS] MOUNT EXPORT #2 → \"/C/\"",
                       }));

    // Mount v3 speaks another MNT answer: refused with the range we serve.
    EXPECT_EQ(f.call(CDJNfsEndpoint::mount, kRpcMountProgram, 3, 1, Wire().str("/C/")),
              Wire().ws({0x1007, 1, 0, 0, 0, 2, 1, 2}).b);
    EXPECT_EQ(f.call(CDJNfsEndpoint::mount, kRpcMountProgram, 1, 2), Wire().ws({0x1008, 1, 0, 0, 0, 3}).b);
    EXPECT_EQ(f.call(CDJNfsEndpoint::mount, kRpcMountProgram, 1, 1, Wire().w(5).raw("/C")),
              Wire().ws({0x1009, 1, 0, 0, 0, 4}).b);
    // The file program is not served on the mount port, and RPC version 3 is refused outright.
    EXPECT_EQ(f.call(CDJNfsEndpoint::mount, kRpcNfsProgram, 2, 0), Wire().ws({0x100a, 1, 0, 0, 0, 1}).b);
    Wire v3;
    v3.ws({77, 0, 3, kRpcMountProgram, 1, 0, 0, 0, 0, 0});
    EXPECT_EQ(f.handler.handle(CDJNfsEndpoint::mount, v3.b), Wire().ws({77, 1, 1, 0, 2, 2}).b);
    // Not a call at all: no answer.
    Wire reply;
    reply.ws({78, 1, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(f.handler.handle(CDJNfsEndpoint::mount, reply.b));
}

TEST(NfsFiles, GetattrLookupReadStatfs) {
    Fixture f;
    // Root attributes, via the mount answer's handle and via any handle whose first 12 bytes are 0.
    EXPECT_EQ(f.nfs(1, Wire().zeros(32)), Wire().ok(0x1001).w(0).add(dirAttrs()).b);
    EXPECT_EQ(f.nfs(1, Wire().zeros(12).hex("ffffffff").zeros(16)), Wire().ok(0x1002).w(0).add(dirAttrs()).b);
    EXPECT_EQ(f.nfs(17, Wire().zeros(32)), Wire().ok(0x1003).ws({0, 16384, 512, 32000000, 16000000, 16000000}).b);

    // LOOKUP hands out SHA-256("/7.mp3") with the real file's attributes (mtime to the microsecond).
    EXPECT_EQ(f.lookup7(), Wire().ok(0x1004).w(0).hex(kHandle7).add(fileAttrs(1000, kFileId7, 123456)).b);
    EXPECT_EQ(f.nfs(1, Wire().hex(kHandle7)), Wire().ok(0x1005).w(0).add(fileAttrs(1000, kFileId7, 123456)).b);

    // READ: 10 bytes at 995 give the last 5, zero-padded to 8.
    EXPECT_EQ(f.nfs(6, Wire().hex(kHandle7).ws({995, 10, 0})),
              Wire().ok(0x1006).w(0).add(fileAttrs(1000, kFileId7, 123456)).w(5).hex("f2f3f4f5 f6000000").b);
    // Beyond the end: no data.
    EXPECT_EQ(f.nfs(6, Wire().hex(kHandle7).ws({5000, 10, 0})),
              Wire().ok(0x1007).w(0).add(fileAttrs(1000, kFileId7, 123456)).w(0).b);
    EXPECT_EQ(f.handler.stats().reads, 2);

    // READ 16384 from offset 0: the whole file, logged once as the start of a read.
    f.lines.clear();
    auto whole = f.nfs(6, Wire().hex(kHandle7).ws({0, 16384, 0}));
    ASSERT_TRUE(whole);
    ASSERT_EQ(whole->size(), 24 + 4 + 68 + 4 + 1000u);
    for (size_t i = 0; i < 1000; ++i) ASSERT_EQ((*whole)[100 + i], i % 251) << i;
    EXPECT_EQ(f.lines, std::vector<std::string>{"[NFS] READ /7.mp3 startet (count=16384, 1000 B, " +
                                                (f.dir / "song.mp3").string() + ")"});

    // Unknown handles (never looked up, wrong length) and the directory itself.
    Wire unknown;
    unknown.hex(kHandle7);
    unknown.b[31] ^= 1;  // same 12-byte prefix would still match: change the prefix instead
    unknown.b[0] ^= 1;
    EXPECT_EQ(f.nfs(1, unknown), Wire().ok(0x1009).w(2).b);
    EXPECT_EQ(f.nfs(6, Wire().add(unknown).ws({0, 10, 0})), Wire().ok(0x100a).w(2).b);
    EXPECT_EQ(f.nfs(17, unknown), Wire().ok(0x100b).w(2).b);
    EXPECT_EQ(f.nfs(6, Wire().zeros(32).ws({0, 10, 0})), Wire().ok(0x100c).w(21).b);
    EXPECT_EQ(f.nfs(1, Wire().zeros(31)), Wire().ws({0x100d, 1, 0, 0, 0, 4}).b);
    EXPECT_EQ(f.nfs(6, Wire().hex(kHandle7).ws({0, 10})), Wire().ws({0x100e, 1, 0, 0, 0, 4}).b);

    // A file that disappears after LOOKUP answers "no such entry" from then on.
    std::filesystem::remove(f.dir / "song.mp3");
    EXPECT_EQ(f.nfs(1, Wire().hex(kHandle7)), Wire().ok(0x100f).w(2).b);
    EXPECT_EQ(f.nfs(6, Wire().hex(kHandle7).ws({0, 10, 0})), Wire().ok(0x1010).w(2).b);
}

TEST(NfsFiles, ReadIsCappedByTheReadLimit) {
    Fixture f(8192);
    std::string big(20000, 'q');
    fv::test::writeFile(f.dir / "song.mp3", big);
    ASSERT_EQ(f.lookup7().size(), 24u + 4 + 32 + 68);
    auto r = f.nfs(6, Wire().hex(kHandle7).ws({0, 16384, 0}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 24u + 4 + 68 + 4 + 8192);
    EXPECT_EQ(f.nfs(17, Wire().zeros(32)), Wire().ok(0x1003).ws({0, 8192, 512, 32000000, 16000000, 16000000}).b);
}

TEST(NfsFiles, OnlyExactVirtualNamesResolve) {
    Fixture f;
    const std::vector<std::string> names = {"..",
                                            ".",
                                            "",
                                            "/",
                                            "/7.mp3",
                                            "../7.mp3",
                                            "7.mp3/..",
                                            "./7.mp3",
                                            "song.mp3",
                                            "Other.AIF",
                                            f.dir.path().string() + "/song.mp3",
                                            "/etc/passwd",
                                            "7.MP3",
                                            "7.mp3 ",
                                            std::string("7.mp3\0", 6),
                                            "07.mp3",
                                            "7"};
    for (const std::string& name : names) {
        {
            auto reply = f.nfs(4, Wire().zeros(32).str(name));
            EXPECT_EQ(reply, Wire().ok(f.xid).w(2).b) << name;
        }
    }
    EXPECT_EQ(f.lines.front(), "[NFS] LOOKUP \"..\" → NOENT");
    EXPECT_EQ(f.lines[14], "[NFS] LOOKUP \"7.mp3?\" → NOENT");
    EXPECT_EQ(f.handler.knownHandles(), 0u);

    // A listed track whose file is gone, and a name looked up in an unknown directory.
    f.lines.clear();
    {
        auto reply = f.nfs(4, Wire().zeros(32).str("9.flac"));
        EXPECT_EQ(reply, Wire().ok(f.xid).w(2).b);
    }
    {
        auto reply = f.nfs(4, Wire().hex(kHandle7).str("7.mp3"));
        EXPECT_EQ(reply, Wire().ok(f.xid).w(2).b);
    }
    EXPECT_EQ(f.lines, (std::vector<std::string>{
                           "[NFS] LOOKUP \"9.flac\" → Datei fehlt: " + (f.dir / "gone.flac").string(),
                           "[NFS] LOOKUP \"7.mp3\" in unbekanntem Handle → NOENT",
                       }));
    // A track whose real path names a directory is not a file either.
    f.files.push_back({20, "20.mp3", f.dir.path().string()});
    {
        auto reply = f.nfs(4, Wire().zeros(32).str("20.mp3"));
        EXPECT_EQ(reply, Wire().ok(f.xid).w(2).b);
    }
}

TEST(NfsFiles, ReaddirPagesThroughTheLibraryByTrackId) {
    Fixture f;
    // Sorted by id; each entry's cookie is its track id.
    EXPECT_EQ(f.nfs(16, Wire().zeros(32).w(0).w(4096)), Wire()
                                                            .ok(0x1001)
                                                            .w(0)
                                                            .w(1)
                                                            .w(kFileId7)
                                                            .str("7.mp3")
                                                            .w(7)
                                                            .w(1)
                                                            .w(kFileId9)
                                                            .str("9.flac")
                                                            .w(9)
                                                            .w(1)
                                                            .w(kFileId12)
                                                            .str("12.aiff")
                                                            .w(12)
                                                            .w(0)
                                                            .w(1)
                                                            .b);
    // A budget of 12 + 24 + 24 bytes holds the first two entries; the rest follows from cookie 9.
    EXPECT_EQ(
        f.nfs(16, Wire().zeros(32).w(0).w(60)),
        Wire().ok(0x1002).w(0).w(1).w(kFileId7).str("7.mp3").w(7).w(1).w(kFileId9).str("9.flac").w(9).w(0).w(0).b);
    EXPECT_EQ(f.nfs(16, Wire().zeros(32).w(9).w(60)),
              Wire().ok(0x1003).w(0).w(1).w(kFileId12).str("12.aiff").w(12).w(0).w(1).b);
    // Track 8 added between pages is picked up by the next page; a cookie past the end is an empty eof.
    f.files.push_back({8, "8.wav", "/nowhere/8.wav"});
    {
        auto reply = f.nfs(16, Wire().zeros(32).w(7).w(36));
        EXPECT_EQ(reply, Wire().ok(f.xid).w(0).w(1).w(0x2f8422fc).str("8.wav").w(8).w(0).w(0).b);
    }
    {
        auto reply = f.nfs(16, Wire().zeros(32).w(12).w(4096));
        EXPECT_EQ(reply, Wire().ok(f.xid).w(0).w(0).w(1).b);
    }
    EXPECT_EQ(f.lines.back(), "[NFS] READDIR / cookie=12 → 0/4 Einträge");

    // Not a directory, unknown handle.
    ASSERT_FALSE(f.lookup7().empty());
    {
        auto reply = f.nfs(16, Wire().hex(kHandle7).w(0).w(4096));
        EXPECT_EQ(reply, Wire().ok(f.xid).w(20).b);
    }
    Wire unknown;
    unknown.hex(kHandle7);
    unknown.b[1] ^= 0x40;
    {
        auto reply = f.nfs(16, Wire().add(unknown).w(0).w(4096));
        EXPECT_EQ(reply, Wire().ok(f.xid).w(2).b);
    }
}

TEST(NfsFiles, WriteProceduresAnswerReadOnlyAndTouchNothing) {
    Fixture f;
    ASSERT_FALSE(f.lookup7().empty());
    const std::string before = contents(f.dir / "song.mp3");
    struct stat st0 {};
    ASSERT_EQ(::stat((f.dir / "song.mp3").c_str(), &st0), 0);
    const auto listing = [&] {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(f.dir.path())) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }();

    const Wire h = Wire().hex(kHandle7);
    const Wire sattr = Wire().ws({0644, 0, 0, 0, 0, 0, 0, 0});
    const std::vector<std::pair<uint32_t, Wire>> writes = {
        {2, Wire().add(h).add(sattr)},                                  // SETATTR
        {8, Wire().add(h).ws({0, 0, 4}).str("XXXX")},                   // WRITE
        {9, Wire().zeros(32).str("new.mp3").add(sattr)},                // CREATE
        {10, Wire().zeros(32).str("7.mp3")},                            // REMOVE
        {11, Wire().zeros(32).str("7.mp3").zeros(32).str("8.mp3")},     // RENAME
        {12, Wire().add(h).zeros(32).str("x.mp3")},                     // LINK
        {13, Wire().zeros(32).str("l").str("/etc/passwd").add(sattr)},  // SYMLINK
        {14, Wire().zeros(32).str("d").add(sattr)},                     // MKDIR
        {15, Wire().zeros(32).str("d")},                                // RMDIR
    };
    f.lines.clear();
    for (const auto& [proc, args] : writes) {
        {
            auto reply = f.nfs(proc, args);
            EXPECT_EQ(reply, Wire().ok(f.xid).w(30).b) << proc;
        }
        EXPECT_EQ(f.lines.back(), "[NFS] Schreibversuch proc " + std::to_string(proc) + " → EROFS");
    }
    EXPECT_EQ(contents(f.dir / "song.mp3"), before);
    struct stat st1 {};
    ASSERT_EQ(::stat((f.dir / "song.mp3").c_str(), &st1), 0);
    EXPECT_EQ(st1.st_mtim.tv_nsec, st0.st_mtim.tv_nsec);
    EXPECT_EQ(st1.st_mode, st0.st_mode);
    std::vector<std::string> after;
    for (auto& e : std::filesystem::directory_iterator(f.dir.path())) after.push_back(e.path().filename());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, listing);

    // Procedures without results get the bare header; unknown ones PROC_UNAVAIL; other versions
    // and programs are refused as RPC peers expect.
    {
        auto reply = f.nfs(0);
        EXPECT_EQ(reply, Wire().ok(f.xid).b);
    }
    {
        auto reply = f.nfs(3);
        EXPECT_EQ(reply, Wire().ok(f.xid).b);
    }
    {
        auto reply = f.nfs(7);
        EXPECT_EQ(reply, Wire().ok(f.xid).b);
    }
    {
        auto reply = f.nfs(5, h);
        EXPECT_EQ(reply, Wire().ws({f.xid, 1, 0, 0, 0, 3}).b);
    }
    {
        auto reply = f.nfs(18);
        EXPECT_EQ(reply, Wire().ws({f.xid, 1, 0, 0, 0, 3}).b);
    }
    EXPECT_EQ(f.lines.back(), "[NFS] NFS proc 18 unbehandelt");
    {
        auto reply = f.call(CDJNfsEndpoint::nfs, kRpcNfsProgram, 3, 0);
        EXPECT_EQ(reply, Wire().ws({f.xid, 1, 0, 0, 0, 2, 2, 2}).b);
    }
    f.lines.clear();
    {
        auto reply = f.call(CDJNfsEndpoint::nfs, 100021, 4, 0);
        EXPECT_EQ(reply, Wire().ws({f.xid, 1, 0, 0, 0, 1}).b);
    }
    EXPECT_TRUE(f.lines.empty());
    f.verbose = true;
    {
        auto reply = f.call(CDJNfsEndpoint::nfs, kRpcPortmapProgram, 2, 3);
        EXPECT_EQ(reply, Wire().ws({f.xid, 1, 0, 0, 0, 1}).b);
    }
    EXPECT_EQ(f.lines, std::vector<std::string>{"[NFS] unbekanntes RPC-Programm 100000"});
    {
        auto reply = f.call(CDJNfsEndpoint::nfs, kRpcMountProgram, 1, 0);
        EXPECT_EQ(reply, Wire().ok(f.xid).b);
    }
}
