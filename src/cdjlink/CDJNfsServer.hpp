#pragma once
// The players' file service: portmapper, mount (v1) and NFS version 2, read-only, over a virtual
// root directory that lists the library's tracks as files named after their ids.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cdjlink/CDJModels.hpp"
#include "cdjlink/CDJRpc.hpp"
#include "cdjlink/CDJSockets.hpp"

namespace fv {
class SerialQueue;
}

namespace fv::cdj {

// One track as the players see it: "/<id>.<ext>" in the root directory.
struct CDJNfsFile {
    uint32_t trackId = 0;
    std::string name;      // virtual file name
    std::string realPath;  // the audio file on this computer
};

// id + "." + the file type when it is one the players know, else the path's extension in lower case
// ("aif" as "aiff", none as "mp3").
std::string cdjVirtualFileName(uint32_t id, std::string_view fileType, std::string_view filePath);
inline std::string cdjVirtualFileName(const CDJTrack& t) { return cdjVirtualFileName(t.id, t.fileType, t.filePath); }

// The files offered, as one consistent view for one call.
class CDJNfsFiles {
public:
    virtual ~CDJNfsFiles() = default;
    virtual size_t size() const = 0;
    virtual std::optional<CDJNfsFile> find(std::string_view name) const = 0;
    // By ascending id the files with an id above `after` (all of them without), until fn returns false.
    virtual void list(std::optional<uint32_t> after, const std::function<bool(const CDJNfsFile&)>& fn) const = 0;
};

// Over a plain list.
std::shared_ptr<const CDJNfsFiles> cdjNfsFileList(std::vector<CDJNfsFile> files);
// Over a library content, which is shared, not copied: a name is looked up by the id it starts
// with, and only the listed names are made.
std::shared_ptr<const CDJNfsFiles> cdjNfsLibraryFiles(std::shared_ptr<const CDJLibraryContent> content);

struct CDJNfsPorts {
    uint16_t portmap = 50111;
    uint16_t mount = 38251;
    uint16_t nfs = 2049;
};

struct CDJNfsStats {
    int64_t mounts = 0;
    int64_t reads = 0;
    int64_t exports = 0;
};

// The largest READ answer for a datagram size limit of the system; no limit (Linux) allows 16 KiB.
struct CDJNfsReadLimit {
    int64_t maxRead = 16384;
    std::optional<std::string> warning;  // logged at start when the limit forces 8 KiB
};
CDJNfsReadLimit cdjNfsReadLimit(std::optional<int64_t> udpMaxDatagram);

// Where a message arrived decides which programs answer it.
enum class CDJNfsEndpoint {
    portmap,  // UDP 50111: program 100000
    mount,    // UDP 38251: program 100005
    nfs,      // UDP and TCP 2049: programs 100003 and 100005
};

// The three RPC programs as a function from a call message to its reply. No sockets: the server
// feeds it datagrams and TCP records; tests and the fuzzer feed it bytes.
class CDJNfsHandler {
public:
    using FileSource = std::function<std::vector<CDJNfsFile>()>;
    using FilesSource = std::function<std::shared_ptr<const CDJNfsFiles>()>;
    using LogFn = std::function<void(const std::string& tag, const std::string& message)>;

    struct Config {
        std::string exportAddress;  // the interface address named in the export list
        CDJNfsPorts ports;
        int64_t maxRead = 16384;
        uint32_t dirTime = 0;           // time stamps of the root directory (seconds)
        std::function<bool()> verbose;  // per-request diagnostics; unset means off
    };

    CDJNfsHandler(Config config, FileSource files, LogFn log);
    CDJNfsHandler(Config config, FilesSource files, LogFn log);

    // The reply to one call message, or nothing when the message is dropped.
    std::optional<RpcBytes> handle(CDJNfsEndpoint endpoint, RpcByteView message);

    const CDJNfsStats& stats() const { return stats_; }
    const Config& config() const { return config_; }
    size_t knownHandles() const { return handles_.size(); }

    static constexpr size_t kHandleSize = 32;
    using Handle = std::array<uint8_t, kHandleSize>;
    // SHA-256 of the virtual path ("/" + file name).
    static Handle handleFor(std::string_view virtualPath);

private:
    struct Node {
        bool isDir = false;
        std::string virtualPath;
        std::string realPath;
        uint32_t fileId = 0;
    };
    using Prefix = std::array<uint8_t, 12>;

    RpcBytes portmap(const RpcCall& call);
    std::optional<RpcBytes> mount(const RpcCall& call);
    RpcBytes nfs(const RpcCall& call);

    RpcBytes nfsGetattr(const RpcCall& call);
    RpcBytes nfsLookup(const RpcCall& call);
    RpcBytes nfsRead(const RpcCall& call);
    RpcBytes nfsReaddir(const RpcCall& call);
    RpcBytes nfsStatfs(const RpcCall& call);

    std::optional<Node> resolve(RpcByteView handle) const;
    bool verbose() const { return config_.verbose && config_.verbose(); }
    void log(const std::string& message) const;

    std::shared_ptr<const CDJNfsFiles> files() const;

    Config config_;
    FilesSource files_;
    LogFn log_;
    CDJNfsStats stats_;
    std::map<Prefix, Node> handles_;  // handles handed out by LOOKUP, by their first 12 bytes
};

// The file service on its sockets: portmapper (UDP), mount (UDP), NFS (UDP and TCP with record
// marking). start() and stop() may be called from any thread; the sockets are created on the
// calling thread and deliver on the queue, where every call is answered.
class CDJNfsServer {
public:
    CDJNfsServer(SerialQueue& queue, CDJInterface iface, std::shared_ptr<const CDJLibrary> library,
                 CDJNfsPorts ports = {});
    ~CDJNfsServer();
    CDJNfsServer(const CDJNfsServer&) = delete;
    CDJNfsServer& operator=(const CDJNfsServer&) = delete;

    // Opens the portmapper, mount and NFS sockets and the TCP listener, in this order. Throws
    // CDJSocketError; whatever was opened before the failure is closed again.
    void start();
    // Closes the sockets and every TCP connection; idempotent.
    void stop();

    bool isRunning() const;
    // The ports actually bound (a configured 0 becomes the system's choice).
    CDJNfsPorts ports() const;
    CDJNfsStats stats() const;
    size_t tcpConnectionCount() const;
    int64_t maxRead() const { return maxRead_; }

    // Connections beyond this are closed as they arrive, so a flood cannot use up descriptors.
    static constexpr size_t kMaxTcpConnections = 64;

private:
    struct TcpPeer {
        std::shared_ptr<CDJTcpConnection> conn;
        RpcRecordAssembler records;
    };

    void onDatagram(CDJNfsEndpoint endpoint, RpcByteView data, const std::string& address, uint16_t port);
    void onAccept(const std::shared_ptr<CDJTcpConnection>& conn);
    void onTcpData(CDJTcpConnection* key, RpcByteView data);
    void closeAll();

    SerialQueue& queue_;
    CDJInterface iface_;
    std::shared_ptr<const CDJLibrary> library_;
    CDJNfsPorts requestedPorts_;
    CDJNfsPorts ports_;
    int64_t maxRead_ = 16384;

    // Touched on the queue only (and in start/stop while no socket can deliver).
    std::unique_ptr<CDJNfsHandler> handler_;
    std::shared_ptr<CDJUdpSocket> pm_;
    std::shared_ptr<CDJUdpSocket> mount_;
    std::shared_ptr<CDJUdpSocket> nfs_;
    std::shared_ptr<CDJTcpListener> nfsTcp_;
    std::map<CDJTcpConnection*, TcpPeer> tcpConns_;
    std::atomic<bool> running_{false};
};

}  // namespace fv::cdj
