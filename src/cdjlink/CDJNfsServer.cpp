#include "cdjlink/CDJNfsServer.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <cerrno>
#include <ctime>
#include <filesystem>

#include "cdjlink/CDJLog.hpp"
#include "core/SerialQueue.hpp"

namespace fv::cdj {

namespace {

// NFS version 2 status codes (RFC 1094).
constexpr uint32_t kNfsOk = 0;
constexpr uint32_t kNfsErrNoEnt = 2;
constexpr uint32_t kNfsErrIo = 5;
constexpr uint32_t kNfsErrAcces = 13;
constexpr uint32_t kNfsErrNotDir = 20;
constexpr uint32_t kNfsErrIsDir = 21;
constexpr uint32_t kNfsErrRoFs = 30;

constexpr uint32_t kTypeRegular = 1;
constexpr uint32_t kTypeDirectory = 2;
constexpr uint32_t kModeDirectory = 040666;
constexpr uint32_t kModeRegular = 0100444;
constexpr uint32_t kFsId = 1;
constexpr uint32_t kRootFileId = 1;
constexpr uint32_t kBlockSize = 512;

constexpr size_t kMaxPathLen = 1024;  // MNTPATHLEN
constexpr size_t kMaxNameLen = 1024;  // longer than any virtual name; NFS allows 255
constexpr uint32_t kMaxReaddirBytes = 16384;

constexpr uint32_t kMountVersionLow = 1;
constexpr uint32_t kMountVersionHigh = 2;  // v2 only adds PATHCONF; MNT, UMNT and EXPORT are the same
constexpr uint32_t kNfsVersion = 2;
constexpr uint32_t kPortmapVersion = 2;
constexpr uint32_t kProtoTcp = 6;
constexpr uint32_t kProtoUdp = 17;

uint32_t fileIdFor(const CDJNfsHandler::Handle& h) {
    uint32_t v = (uint32_t{h[0]} << 24) | (uint32_t{h[1]} << 16) | (uint32_t{h[2]} << 8) | uint32_t{h[3]};
    return v <= kRootFileId ? v + 2 : v;  // never the root's id
}

// Names and paths from the network go into log lines: no control characters.
std::string printable(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u == 0x7f ? '?' : c);
    }
    return out;
}

void writeDirAttrs(XdrWriter& w, uint32_t time) {
    w.u32(kTypeDirectory);
    w.u32(kModeDirectory);
    w.u32(1);     // nlink
    w.u32(0);     // uid
    w.u32(0);     // gid
    w.u32(4096);  // size
    w.u32(kBlockSize);
    w.u32(1);  // rdev
    w.u32(8);  // blocks
    w.u32(kFsId);
    w.u32(kRootFileId);
    for (int i = 0; i < 3; ++i) {  // atime, mtime, ctime
        w.u32(time);
        w.u32(0);
    }
}

void writeFileAttrs(XdrWriter& w, uint32_t fileId, const struct stat& st) {
    // Version 2 sizes are 32 bits; nothing a player plays comes near that.
    const uint64_t size = std::min<uint64_t>(static_cast<uint64_t>(st.st_size), 0xffffffffu);
    w.u32(kTypeRegular);
    w.u32(kModeRegular);
    w.u32(1);
    w.u32(0);
    w.u32(0);
    w.u32(static_cast<uint32_t>(size));
    w.u32(kBlockSize);
    w.u32(1);
    w.u32(static_cast<uint32_t>(size / kBlockSize));
    w.u32(kFsId);
    w.u32(fileId);
    const auto sec = static_cast<uint32_t>(st.st_mtim.tv_sec);
    const auto usec = static_cast<uint32_t>(st.st_mtim.tv_nsec / 1000);
    for (int i = 0; i < 3; ++i) {
        w.u32(sec);
        w.u32(usec);
    }
}

bool statRegular(const std::string& path, struct stat& st) {
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

RpcBytes statusOnly(uint32_t xid, uint32_t status) {
    XdrWriter w = rpcAcceptedReply(xid);
    w.u32(status);
    return w.take();
}

RpcBytes garbage(uint32_t xid) { return rpcAcceptedReply(xid, RpcAcceptStat::garbageArgs).take(); }

uint32_t statusForErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return kNfsErrNoEnt;
        case EACCES:
        case EPERM:
            return kNfsErrAcces;
        default:
            return kNfsErrIo;
    }
}

}  // namespace

std::string cdjVirtualFileName(uint32_t id, std::string_view fileType, std::string_view filePath) {
    static constexpr std::string_view known[] = {"mp3", "m4a", "flac", "wav", "aiff"};
    std::string ext;
    if (std::find(std::begin(known), std::end(known), fileType) != std::end(known)) {
        ext = fileType;
    } else {
        ext = std::filesystem::path(filePath).extension().string();
        if (!ext.empty()) ext.erase(0, 1);
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        if (ext == "aif") ext = "aiff";
        if (ext.empty()) ext = "mp3";
    }
    return fmt::format("{}.{}", id, ext);
}

CDJNfsReadLimit cdjNfsReadLimit(std::optional<int64_t> udpMaxDatagram) {
    if (!udpMaxDatagram || *udpMaxDatagram > 16583) return {16384, std::nullopt};
    return {8192, fmt::format("net.inet.udp.maxdgram={} → NFS-READ auf 8192 B begrenzt (sudo sysctl -w "
                              "net.inet.udp.maxdgram=65535 erlaubt 16 KB)",
                              *udpMaxDatagram)};
}

CDJNfsHandler::Handle CDJNfsHandler::handleFor(std::string_view virtualPath) {
    Handle h{};
    unsigned int len = 0;
    EVP_Digest(virtualPath.data(), virtualPath.size(), h.data(), &len, EVP_sha256(), nullptr);
    return h;
}

namespace {

class FileList final : public CDJNfsFiles {
public:
    explicit FileList(std::vector<CDJNfsFile> files) : files_(std::move(files)), byId_(files_.size()) {
        std::iota(byId_.begin(), byId_.end(), size_t{0});
        std::stable_sort(byId_.begin(), byId_.end(),
                         [&](size_t a, size_t b) { return files_[a].trackId < files_[b].trackId; });
    }
    size_t size() const override { return files_.size(); }
    std::optional<CDJNfsFile> find(std::string_view name) const override {
        for (const auto& f : files_)
            if (f.name == name) return f;
        return std::nullopt;
    }
    void list(std::optional<uint32_t> after, const std::function<bool(const CDJNfsFile&)>& fn) const override {
        for (size_t i : byId_)
            if ((!after || files_[i].trackId > *after) && !fn(files_[i])) return;
    }

private:
    std::vector<CDJNfsFile> files_;
    std::vector<size_t> byId_;
};

class LibraryFiles final : public CDJNfsFiles {
public:
    explicit LibraryFiles(std::shared_ptr<const CDJLibraryContent> content) : content_(std::move(content)) {}
    size_t size() const override { return content_->tracks.size(); }
    std::optional<CDJNfsFile> find(std::string_view name) const override {
        // Every name starts with its track's id and a dot.
        uint64_t id = 0;
        size_t digits = 0;
        while (digits < name.size() && digits < 11 && name[digits] >= '0' && name[digits] <= '9')
            id = id * 10 + static_cast<uint64_t>(name[digits++] - '0');
        if (digits == 0 || digits == name.size() || name[digits] != '.' || id > UINT32_MAX) return std::nullopt;
        const CDJLibraryTrack* t = content_->find(static_cast<uint32_t>(id));
        if (!t) return std::nullopt;
        CDJNfsFile f{t->track.id, cdjVirtualFileName(t->track), t->track.filePath};
        if (f.name != name) return std::nullopt;
        return f;
    }
    void list(std::optional<uint32_t> after, const std::function<bool(const CDJNfsFile&)>& fn) const override {
        const auto& tracks = content_->tracks;
        for (size_t i = after ? content_->lowerBound(*after) : 0; i < tracks.size(); ++i) {
            if (after && content_->ids[i] == *after) continue;
            const CDJTrack& t = tracks[i]->track;
            if (!fn(CDJNfsFile{t.id, cdjVirtualFileName(t), t.filePath})) return;
        }
    }

private:
    std::shared_ptr<const CDJLibraryContent> content_;
};

}  // namespace

std::shared_ptr<const CDJNfsFiles> cdjNfsFileList(std::vector<CDJNfsFile> files) {
    return std::make_shared<const FileList>(std::move(files));
}

std::shared_ptr<const CDJNfsFiles> cdjNfsLibraryFiles(std::shared_ptr<const CDJLibraryContent> content) {
    return std::make_shared<const LibraryFiles>(std::move(content));
}

CDJNfsHandler::CDJNfsHandler(Config config, FileSource files, LogFn log)
    : CDJNfsHandler(
          std::move(config),
          FilesSource([files = std::move(files)] { return cdjNfsFileList(files ? files() : std::vector<CDJNfsFile>{}); }),
          std::move(log)) {}

CDJNfsHandler::CDJNfsHandler(Config config, FilesSource files, LogFn log)
    : config_(std::move(config)), files_(std::move(files)), log_(std::move(log)) {}

std::shared_ptr<const CDJNfsFiles> CDJNfsHandler::files() const {
    if (auto f = files_ ? files_() : nullptr) return f;
    return cdjNfsFileList({});
}

void CDJNfsHandler::log(const std::string& message) const {
    if (log_) log_("NFS", message);
}

std::optional<RpcBytes> CDJNfsHandler::handle(CDJNfsEndpoint endpoint, RpcByteView message) {
    const std::optional<RpcCall> call = parseRpcCall(message);
    if (!call) return std::nullopt;
    if (call->rpcVersion != 2) return rpcVersionMismatchReply(call->xid);

    const bool servesPortmap = endpoint == CDJNfsEndpoint::portmap;
    const bool servesMount = endpoint == CDJNfsEndpoint::mount || endpoint == CDJNfsEndpoint::nfs;
    const bool servesNfs = endpoint == CDJNfsEndpoint::nfs;

    if (call->program == kRpcPortmapProgram && servesPortmap) {
        if (call->version != kPortmapVersion) return rpcProgMismatchReply(call->xid, kPortmapVersion, kPortmapVersion);
        return portmap(*call);
    }
    if (call->program == kRpcMountProgram && servesMount) {
        if (call->version < kMountVersionLow || call->version > kMountVersionHigh)
            return rpcProgMismatchReply(call->xid, kMountVersionLow, kMountVersionHigh);
        return mount(*call);
    }
    if (call->program == kRpcNfsProgram && servesNfs) {
        if (call->version != kNfsVersion) return rpcProgMismatchReply(call->xid, kNfsVersion, kNfsVersion);
        return nfs(*call);
    }
    // Answered rather than dropped, so a prober does not sit out its time-out.
    if (verbose()) log(fmt::format("unbekanntes RPC-Programm {}", call->program));
    return rpcAcceptedReply(call->xid, RpcAcceptStat::progUnavail).take();
}

// --- Portmapper

RpcBytes CDJNfsHandler::portmap(const RpcCall& call) {
    switch (call.procedure) {
        case 0:
            return rpcAcceptedReply(call.xid).take();
        case 3: {
            XdrReader r(call.args);
            const uint32_t program = r.u32();
            const uint32_t version = r.u32();
            const uint32_t protocol = r.u32();
            r.u32();  // port: unused in a query
            if (!r.ok()) return garbage(call.xid);
            uint32_t port = 0;
            if (program == kRpcNfsProgram) {
                port = config_.ports.nfs;
            } else if (program == kRpcMountProgram) {
                // Over TCP the mount program is reachable on the file service's TCP port only.
                port = protocol == kProtoTcp ? config_.ports.nfs : config_.ports.mount;
            }
            const std::string proto = protocol == kProtoUdp   ? std::string("udp")
                                      : protocol == kProtoTcp ? std::string("tcp")
                                                              : std::to_string(protocol);
            log(fmt::format("Portmap GETPORT prog={} v{} proto={} → {}", program, version, proto, port));
            XdrWriter w = rpcAcceptedReply(call.xid);
            w.u32(port);
            return w.take();
        }
        default:
            if (verbose()) log(fmt::format("portmap proc {} ignoriert", call.procedure));
            return rpcAcceptedReply(call.xid, RpcAcceptStat::procUnavail).take();
    }
}

// --- Mount

std::optional<RpcBytes> CDJNfsHandler::mount(const RpcCall& call) {
    switch (call.procedure) {
        case 0:
            return rpcAcceptedReply(call.xid).take();
        case 1: {
            XdrReader r(call.args);
            std::string path = r.string(kMaxPathLen);
            if (!r.ok()) return garbage(call.xid);
            path.erase(std::remove(path.begin(), path.end(), '\0'), path.end());
            log(fmt::format("MOUNT MNT \"{}\" → Root-Handle", printable(path)));
            ++stats_.mounts;
            XdrWriter w = rpcAcceptedReply(call.xid);
            w.u32(0);
            w.fixedOpaque(Handle{});
            return w.take();
        }
        case 3:
            log("MOUNT UMNT");
            return rpcAcceptedReply(call.xid).take();
        case 5: {
            ++stats_.exports;
            log(fmt::format("MOUNT EXPORT #{} → \"/C/\"", stats_.exports));
            XdrWriter w = rpcAcceptedReply(call.xid);
            w.boolean(true);
            w.string("/C/");
            w.boolean(true);
            w.string(config_.exportAddress + "/255.255.0.0");
            w.boolean(false);
            w.boolean(false);
            return w.take();
        }
        default:
            if (verbose()) log(fmt::format("mount proc {} unbehandelt", call.procedure));
            return rpcAcceptedReply(call.xid, RpcAcceptStat::procUnavail).take();
    }
}

// --- NFS version 2

std::optional<CDJNfsHandler::Node> CDJNfsHandler::resolve(RpcByteView handle) const {
    if (handle.size() != kHandleSize) return std::nullopt;
    Prefix prefix;
    std::copy_n(handle.begin(), prefix.size(), prefix.begin());
    if (std::all_of(prefix.begin(), prefix.end(), [](uint8_t b) { return b == 0; }))
        return Node{true, "/", "", kRootFileId};
    const auto it = handles_.find(prefix);
    if (it == handles_.end()) return std::nullopt;
    return it->second;
}

RpcBytes CDJNfsHandler::nfs(const RpcCall& call) {
    switch (call.procedure) {
        case 0:
            return rpcAcceptedReply(call.xid).take();
        case 1:
            return nfsGetattr(call);
        case 4:
            return nfsLookup(call);
        case 6:
            return nfsRead(call);
        case 16:
            return nfsReaddir(call);
        case 17:
            return nfsStatfs(call);
        case 2:   // SETATTR
        case 8:   // WRITE
        case 9:   // CREATE
        case 10:  // REMOVE
        case 11:  // RENAME
        case 12:  // LINK
        case 13:  // SYMLINK
        case 14:  // MKDIR
        case 15:  // RMDIR
            log(fmt::format("Schreibversuch proc {} → EROFS", call.procedure));
            return statusOnly(call.xid, kNfsErrRoFs);
        case 3:  // ROOT and WRITECACHE have no results: the bare header is their whole answer
        case 7:
            log(fmt::format("NFS proc {} unbehandelt", call.procedure));
            return rpcAcceptedReply(call.xid).take();
        default:
            log(fmt::format("NFS proc {} unbehandelt", call.procedure));
            return rpcAcceptedReply(call.xid, RpcAcceptStat::procUnavail).take();
    }
}

RpcBytes CDJNfsHandler::nfsGetattr(const RpcCall& call) {
    XdrReader r(call.args);
    const RpcByteView fh = r.fixedOpaque(kHandleSize);
    if (!r.ok()) return garbage(call.xid);
    const std::optional<Node> node = resolve(fh);
    if (!node) return statusOnly(call.xid, kNfsErrNoEnt);
    XdrWriter w = rpcAcceptedReply(call.xid, RpcAcceptStat::success, 100);
    if (node->isDir) {
        w.u32(kNfsOk);
        writeDirAttrs(w, config_.dirTime);
        return w.take();
    }
    struct stat st {};
    if (!statRegular(node->realPath, st)) return statusOnly(call.xid, kNfsErrNoEnt);
    w.u32(kNfsOk);
    writeFileAttrs(w, node->fileId, st);
    return w.take();
}

RpcBytes CDJNfsHandler::nfsLookup(const RpcCall& call) {
    XdrReader r(call.args);
    const RpcByteView dir = r.fixedOpaque(kHandleSize);
    const std::string name = r.string(kMaxNameLen);
    if (!r.ok()) return garbage(call.xid);
    if (!resolve(dir)) {
        log(fmt::format("LOOKUP \"{}\" in unbekanntem Handle → NOENT", printable(name)));
        return statusOnly(call.xid, kNfsErrNoEnt);
    }
    // Only the exact virtual names resolve: "..", absolute paths and the names of other files
    // beside the real ones never reach the file system.
    const std::optional<CDJNfsFile> match = files()->find(name);
    if (!match) {
        log(fmt::format("LOOKUP \"{}\" → NOENT", printable(name)));
        return statusOnly(call.xid, kNfsErrNoEnt);
    }
    struct stat st {};
    if (!statRegular(match->realPath, st)) {
        log(fmt::format("LOOKUP \"{}\" → Datei fehlt: {}", printable(name), match->realPath));
        return statusOnly(call.xid, kNfsErrNoEnt);
    }
    const std::string virtualPath = "/" + match->name;
    const Handle h = handleFor(virtualPath);
    Prefix prefix;
    std::copy_n(h.begin(), prefix.size(), prefix.begin());
    handles_[prefix] = Node{false, virtualPath, match->realPath, fileIdFor(h)};
    if (verbose()) log(fmt::format("LOOKUP \"{}\" → {}", printable(name), match->realPath));

    XdrWriter w = rpcAcceptedReply(call.xid, RpcAcceptStat::success, 140);
    w.u32(kNfsOk);
    w.fixedOpaque(h);
    writeFileAttrs(w, fileIdFor(h), st);
    return w.take();
}

RpcBytes CDJNfsHandler::nfsRead(const RpcCall& call) {
    XdrReader r(call.args);
    const RpcByteView fh = r.fixedOpaque(kHandleSize);
    const uint32_t offset = r.u32();
    const uint32_t count = r.u32();
    r.u32();  // totalcount: unused
    if (!r.ok()) return garbage(call.xid);
    const std::optional<Node> node = resolve(fh);
    if (!node) return statusOnly(call.xid, kNfsErrNoEnt);
    if (node->isDir) return statusOnly(call.xid, kNfsErrIsDir);

    const int fd = ::open(node->realPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return statusOnly(call.xid, statusForErrno(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return statusOnly(call.xid, kNfsErrNoEnt);
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(count, config_.maxRead));
    XdrWriter w = rpcAcceptedReply(call.xid, RpcAcceptStat::success, 100 + want + 4);
    w.u32(kNfsOk);
    writeFileAttrs(w, node->fileId, st);
    uint8_t* dst = w.beginOpaque(want);
    size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(fd, dst + got, want - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return statusOnly(call.xid, kNfsErrIo);
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    w.commitOpaque(got);
    ++stats_.reads;
    if (offset == 0) {
        log(fmt::format("READ {} startet (count={}, {} B, {})", node->virtualPath, count,
                        static_cast<int64_t>(st.st_size), node->realPath));
    } else if (verbose()) {
        log(fmt::format("READ {} @{} count={} → {} B", node->virtualPath, offset, count, got));
    }
    return w.take();
}

RpcBytes CDJNfsHandler::nfsReaddir(const RpcCall& call) {
    XdrReader r(call.args);
    const RpcByteView fh = r.fixedOpaque(kHandleSize);
    const RpcByteView cookieBytes = r.fixedOpaque(4);
    const uint32_t count = r.u32();
    if (!r.ok()) return garbage(call.xid);
    const std::optional<Node> node = resolve(fh);
    if (!node) return statusOnly(call.xid, kNfsErrNoEnt);
    if (!node->isDir) return statusOnly(call.xid, kNfsErrNotDir);
    const uint32_t cookie = (uint32_t{cookieBytes[0]} << 24) | (uint32_t{cookieBytes[1]} << 16) |
                            (uint32_t{cookieBytes[2]} << 8) | uint32_t{cookieBytes[3]};

    const auto listing = files();
    const uint32_t budget = std::min(count, kMaxReaddirBytes);
    size_t used = 4 + 4 + 4;  // status, end of list, eof
    XdrWriter w = rpcAcceptedReply(call.xid, RpcAcceptStat::success, 64 + budget);
    w.u32(kNfsOk);
    size_t listed = 0;
    bool eof = true;
    // Entries in track-id order; an entry's cookie is its track id, so paging goes on after the
    // last id seen even when the library was replaced in between.
    const std::optional<uint32_t> after = cookie != 0 ? std::optional<uint32_t>(cookie) : std::nullopt;
    listing->list(after, [&](const CDJNfsFile& f) {
        const size_t entrySize = 4 + 4 + 4 + ((f.name.size() + 3) & ~size_t{3}) + 4;
        if (used + entrySize > budget) {
            eof = false;
            return false;
        }
        used += entrySize;
        w.boolean(true);
        w.u32(fileIdFor(handleFor("/" + f.name)));
        w.string(f.name);
        w.u32(f.trackId);
        ++listed;
        return true;
    });
    w.boolean(false);
    w.boolean(eof);
    const size_t total = listing->size();
    log(fmt::format("READDIR {} cookie={} → {}/{} Einträge", node->virtualPath, cookie, listed, total));
    return w.take();
}

RpcBytes CDJNfsHandler::nfsStatfs(const RpcCall& call) {
    XdrReader r(call.args);
    const RpcByteView fh = r.fixedOpaque(kHandleSize);
    if (!r.ok()) return garbage(call.xid);
    if (!resolve(fh)) return statusOnly(call.xid, kNfsErrNoEnt);
    XdrWriter w = rpcAcceptedReply(call.xid);
    w.u32(kNfsOk);
    w.u32(static_cast<uint32_t>(config_.maxRead));
    w.u32(kBlockSize);
    w.u32(32000000);
    w.u32(16000000);
    w.u32(16000000);
    return w.take();
}

}  // namespace fv::cdj

// --- Sockets

namespace fv::cdj {

CDJNfsServer::CDJNfsServer(SerialQueue& queue, CDJInterface iface, std::shared_ptr<const CDJLibrary> library,
                           CDJNfsPorts ports)
    : queue_(queue), iface_(std::move(iface)), library_(std::move(library)), requestedPorts_(ports), ports_(ports) {}

CDJNfsServer::~CDJNfsServer() { stop(); }

void CDJNfsServer::start() {
    if (running_) return;
    // Linux has no datagram limit below 64 KiB, so full 16 KiB READs always fit.
    const CDJNfsReadLimit limit = cdjNfsReadLimit(std::nullopt);
    maxRead_ = limit.maxRead;
    if (limit.warning) cdjLogLine("WARN", *limit.warning);

    auto udpHandler = [this](CDJNfsEndpoint ep) {
        return [this, ep](std::span<const uint8_t> data, const std::string& address, uint16_t port) {
            onDatagram(ep, data, address, port);
        };
    };
    std::shared_ptr<CDJUdpSocket> pm, mount, nfs;
    std::shared_ptr<CDJTcpListener> tcp;
    try {
        pm = CDJUdpSocket::open(requestedPorts_.portmap, queue_, "Portmapper (Pioneer 50111)",
                                udpHandler(CDJNfsEndpoint::portmap));
        mount = CDJUdpSocket::open(requestedPorts_.mount, queue_, "MOUNT v1", udpHandler(CDJNfsEndpoint::mount));
        nfs = CDJUdpSocket::open(requestedPorts_.nfs, queue_, "NFSv2", udpHandler(CDJNfsEndpoint::nfs));
        // Same port as the UDP side, so one GETPORT answer serves both transports.
        tcp = CDJTcpListener::open(nfs->port(), queue_, "NFS/TCP",
                                   [this](const std::shared_ptr<CDJTcpConnection>& c) { onAccept(c); });
    } catch (...) {
        if (tcp) tcp->close();
        if (nfs) nfs->close();
        if (mount) mount->close();
        if (pm) pm->close();
        throw;
    }

    CDJNfsHandler::Config config;
    config.exportAddress = iface_.address;
    config.ports = {pm->port(), mount->port(), nfs->port()};
    config.maxRead = maxRead_;
    config.dirTime = static_cast<uint32_t>(::time(nullptr));
    config.verbose = [] { return cdjLog().verbose(); };
    std::weak_ptr<const CDJLibrary> weakLibrary = library_;
    CDJNfsHandler::FilesSource files = [weakLibrary]() -> std::shared_ptr<const CDJNfsFiles> {
        auto lib = weakLibrary.lock();
        return lib ? cdjNfsLibraryFiles(lib->content()) : nullptr;
    };
    auto logFn = [](const std::string& tag, const std::string& message) { cdjLogLine(tag, message); };
    auto handler = std::make_unique<CDJNfsHandler>(std::move(config), std::move(files), std::move(logFn));

    // Until this runs on the queue, datagrams that arrive find no handler and are dropped.
    queue_.dispatchSync([&] {
        ports_ = handler->config().ports;
        handler_ = std::move(handler);
        pm_ = std::move(pm);
        mount_ = std::move(mount);
        nfs_ = std::move(nfs);
        nfsTcp_ = std::move(tcp);
        running_ = true;
    });
}

void CDJNfsServer::stop() {
    queue_.dispatchSync([this] { closeAll(); });
}

void CDJNfsServer::closeAll() {
    if (nfsTcp_) nfsTcp_->close();
    for (auto* s : {pm_.get(), mount_.get(), nfs_.get()})
        if (s) s->close();
    std::map<CDJTcpConnection*, TcpPeer> conns;
    conns.swap(tcpConns_);
    for (auto& [key, peer] : conns) {
        peer.conn->onData = nullptr;
        peer.conn->onClose = nullptr;
        peer.conn->close();
    }
    pm_.reset();
    mount_.reset();
    nfs_.reset();
    nfsTcp_.reset();
    running_ = false;
}

bool CDJNfsServer::isRunning() const { return running_; }

CDJNfsPorts CDJNfsServer::ports() const {
    return queue_.dispatchSync([this] { return ports_; });
}

CDJNfsStats CDJNfsServer::stats() const {
    return queue_.dispatchSync([this] { return handler_ ? handler_->stats() : CDJNfsStats{}; });
}

size_t CDJNfsServer::tcpConnectionCount() const {
    return queue_.dispatchSync([this] { return tcpConns_.size(); });
}

void CDJNfsServer::onDatagram(CDJNfsEndpoint endpoint, RpcByteView data, const std::string& address, uint16_t port) {
    queue_.assertOnQueue();
    if (!handler_) return;
    CDJUdpSocket* sock = endpoint == CDJNfsEndpoint::portmap ? pm_.get()
                         : endpoint == CDJNfsEndpoint::mount ? mount_.get()
                                                             : nfs_.get();
    if (!sock) return;
    std::optional<RpcBytes> reply = handler_->handle(endpoint, data);
    if (reply) sock->send(*reply, address, port);
}

void CDJNfsServer::onAccept(const std::shared_ptr<CDJTcpConnection>& conn) {
    queue_.assertOnQueue();
    if (!handler_ || !running_) {
        conn->close();
        return;
    }
    if (tcpConns_.size() >= kMaxTcpConnections) {
        if (cdjLog().verbose())
            cdjLogLine("NFS", fmt::format("NFS/TCP: zu viele Verbindungen, {} abgewiesen", conn->peer()));
        conn->close();
        return;
    }
    CDJTcpConnection* key = conn.get();
    conn->onData = [this, key](std::span<const uint8_t> data) { onTcpData(key, data); };
    conn->onClose = [this, key] { tcpConns_.erase(key); };
    tcpConns_.emplace(key, TcpPeer{conn, RpcRecordAssembler{}});
}

void CDJNfsServer::onTcpData(CDJTcpConnection* key, RpcByteView data) {
    queue_.assertOnQueue();
    const auto it = tcpConns_.find(key);
    if (it == tcpConns_.end()) return;
    const std::shared_ptr<CDJTcpConnection> conn = it->second.conn;  // closing erases the entry
    std::vector<RpcBytes> records;
    if (!it->second.records.feed(data, records)) {
        if (cdjLog().verbose())
            cdjLogLine("NFS", fmt::format("NFS/TCP: übergroßer Record von {} → Verbindung geschlossen", conn->peer()));
        conn->close();
        return;
    }
    for (const RpcBytes& record : records) {
        if (!handler_ || !conn->isOpen()) break;
        std::optional<RpcBytes> reply = handler_->handle(CDJNfsEndpoint::nfs, record);
        if (reply) conn->send(rpcRecordFrame(*reply));
    }
}

}  // namespace fv::cdj
