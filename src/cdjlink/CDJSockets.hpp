#pragma once
// The link's network toolkit: interface choice, a datagram socket, a stream listener and its
// connections. IPv4 only. Every socket delivers on the serial queue of the component that owns it,
// so one component's handlers never run in parallel.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fv {
class SerialQueue;
}

namespace fv::cdj {

struct CDJInterface {
    std::string name;     // e.g. eth0
    std::string address;  // dotted IPv4
    std::string netmask;  // dotted IPv4, "0.0.0.0" when the system gives none
    std::array<uint8_t, 6> mac{};

    bool operator==(const CDJInterface&) const = default;
};

// One entry of the system's interface address list, as far as the choice needs it.
struct CDJInterfaceAddress {
    enum class Family { ipv4, link, other };
    std::string name;
    Family family = Family::other;
    bool up = false;
    bool loopback = false;
    std::string address;        // ipv4
    std::string netmask;        // ipv4, "0.0.0.0" when absent
    std::vector<uint8_t> hwaddr;  // link: the hardware address (only 6 bytes count)
};

// The usable interfaces: up, not loopback, IPv4, with a known non-zero MAC; routable addresses
// before link-local (169.254) ones, then by name. Pure, so the choice can be tested.
std::vector<CDJInterface> selectInterfaces(const std::vector<CDJInterfaceAddress>& entries);

// The system's interfaces in the order the link chooses them (possibly empty). Never fails.
std::vector<CDJInterface> availableInterfaces();

// address | ~netmask per octet; "255.255.255.255" when either does not parse as four octets.
std::string broadcastAddress(std::string_view address, std::string_view netmask);
inline std::string broadcastAddress(const CDJInterface& i) { return broadcastAddress(i.address, i.netmask); }

// "aa:bb:cc:dd:ee:ff"
std::string macText(const std::array<uint8_t, 6>& mac);

class CDJSocketError : public std::runtime_error {
public:
    enum class Kind { create, bind, listen };

    static CDJSocketError create(std::string message);
    static CDJSocketError bind(uint16_t port, std::string message);
    static CDJSocketError listen(uint16_t port, std::string message);

    Kind kind() const { return kind_; }
    uint16_t port() const { return port_; }
    // The system's text for the failing call (strerror).
    const std::string& message() const { return message_; }

private:
    CDJSocketError(Kind k, uint16_t port, std::string message, const std::string& text);
    Kind kind_;
    uint16_t port_;
    std::string message_;
};

// A UDP socket bound to 0.0.0.0:port with broadcast enabled. Datagrams are handed to the handler
// on the queue. close() and the destructor may be called from any thread; they run on the queue
// (inline when already there).
class CDJUdpSocket : public std::enable_shared_from_this<CDJUdpSocket> {
public:
    // data is valid during the call only.
    using Handler = std::function<void(std::span<const uint8_t> data, const std::string& address, uint16_t port)>;

    // Only a socket that merely listens may share its port with other programs: a second program
    // on a serving port would silently take part of the traffic, so those bind exclusively and a
    // taken port is reported.
    enum class PortSharing { exclusive, shared };

    // Throws CDJSocketError (create or bind). Logs "OK" "Lausche UDP :port (label)".
    // Port 0 binds an ephemeral port (see port()).
    static std::shared_ptr<CDJUdpSocket> open(uint16_t port, SerialQueue& queue, std::string label, Handler handler,
                                              PortSharing sharing = PortSharing::exclusive);

    ~CDJUdpSocket();
    CDJUdpSocket(const CDJUdpSocket&) = delete;
    CDJUdpSocket& operator=(const CDJUdpSocket&) = delete;

    // True when the system accepted the datagram; a failure logs "ERR" and returns false.
    bool send(std::span<const uint8_t> data, const std::string& address, uint16_t port);
    void close();

    uint16_t port() const { return port_; }
    int fd() const { return fd_; }
    bool isOpen() const;

    struct Impl;
    CDJUdpSocket(SerialQueue& queue, uint16_t port, int fd, Handler handler);

private:
    void arm();

    SerialQueue& queue_;
    uint16_t port_;
    int fd_;
    Handler handler_;
    std::unique_ptr<Impl> impl_;
};

class CDJTcpConnection;

// A TCP listener on 0.0.0.0:port; each accepted connection goes to onAccept (on the queue) before
// it is started.
class CDJTcpListener : public std::enable_shared_from_this<CDJTcpListener> {
public:
    using AcceptHandler = std::function<void(const std::shared_ptr<CDJTcpConnection>&)>;

    // Throws CDJSocketError (create, bind or listen). Logs "OK" "Lausche TCP :port (label)".
    static std::shared_ptr<CDJTcpListener> open(uint16_t port, SerialQueue& queue, std::string label,
                                                AcceptHandler onAccept);
    ~CDJTcpListener();
    CDJTcpListener(const CDJTcpListener&) = delete;
    CDJTcpListener& operator=(const CDJTcpListener&) = delete;

    void close();
    uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    struct Impl;
    CDJTcpListener(SerialQueue& queue, uint16_t port, int fd, AcceptHandler onAccept);

private:
    void arm();

    SerialQueue& queue_;
    uint16_t port_;
    int fd_;
    AcceptHandler onAccept_;
    std::unique_ptr<Impl> impl_;
};

// One TCP connection (TCP_NODELAY, keepalive). Set onData/onClose before start() or on the queue.
// Sends are asynchronous: bytes go to a bounded outbox with one write in flight, so a peer that
// stops reading never holds the queue. A connection whose outbox overflows or that makes no
// progress for sendStallLimit is closed, alone. send() and close() may be called from any thread.
class CDJTcpConnection : public std::enable_shared_from_this<CDJTcpConnection> {
public:
    // Bytes queued beyond the write in flight; past this the peer is not reading.
    static constexpr size_t maxOutboxBytes = 16u << 20;
    static constexpr std::chrono::seconds sendStallLimit{10};

    std::function<void(std::span<const uint8_t> data)> onData;
    std::function<void()> onClose;

    // A client connection (blocking connect); throws CDJSocketError (create) on failure.
    static std::shared_ptr<CDJTcpConnection> connect(const std::string& address, uint16_t port, SerialQueue& queue);

    ~CDJTcpConnection();
    CDJTcpConnection(const CDJTcpConnection&) = delete;
    CDJTcpConnection& operator=(const CDJTcpConnection&) = delete;

    // Starts delivering received bytes to onData on the queue.
    void start();
    // Queues the bytes (copied) for writing; nothing happens when closed or empty.
    void send(std::span<const uint8_t> data);
    // Closes once everything queued so far is written (or the write stalls); nothing more is
    // delivered to onData meanwhile.
    void closeWhenSent();
    // Idempotent; calls onClose exactly once. Destroying an open connection closes it without onClose.
    void close();
    bool isOpen() const;
    // Bytes queued and not yet written (on the queue).
    size_t pendingBytes() const;

    const std::string& peer() const { return peer_; }
    int fd() const { return fd_; }

    struct Impl;
    CDJTcpConnection(SerialQueue& queue, std::unique_ptr<Impl> impl, int fd, std::string peer);

private:
    void arm();
    void enqueue(std::vector<uint8_t> data);
    void writeNext();
    void armStallTimer();
    void closeOnQueue();

    SerialQueue& queue_;
    std::unique_ptr<Impl> impl_;
    int fd_;
    std::string peer_;
    std::atomic<bool> open_{true};
    bool started_ = false;
};

}  // namespace fv::cdj
