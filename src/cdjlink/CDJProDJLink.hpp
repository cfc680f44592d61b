#pragma once
// The application's presence on a Pro DJ Link booth network: claims a device number, announces
// itself, answers the players on the status port and follows their deck states. The packet
// builders and datagram decoders are pure; CDJProDJLink drives them on the link queue.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cdjlink/CDJBytes.hpp"
#include "cdjlink/CDJModels.hpp"
#include "cdjlink/CDJSockets.hpp"

namespace fv {
class SerialQueue;
class Timer;
}  // namespace fv

namespace fv::cdj {

inline constexpr uint16_t announcePort = 50000;
inline constexpr uint16_t beatPort = 50001;
inline constexpr uint16_t statusPort = 50002;
inline constexpr std::string_view linkQueueName = "floorvote.cdjlink";

// Device numbers tried, in this order, by the claim sequence and the burst.
inline constexpr std::array<uint8_t, 6> claimNumbers{0x11, 0x12, 0x29, 0x2A, 0x2B, 0x2C};

namespace linkpkt {

inline constexpr std::array<uint8_t, 10> magic{'Q', 's', 'p', 't', '1', 'W', 'm', 'J', 'O', 'L'};

// Datagram starts with the magic and is long enough to carry a type byte.
bool hasHeader(std::span<const uint8_t> d);

// The announced name: 7-bit ASCII only, at most 20 characters.
std::string deviceNameText(std::string_view deviceName);
// deviceName as UTF-16BE code units into `units` code units at `at` (zero padded, cut at the end).
void writeHostname(std::span<uint8_t> b, size_t at, size_t units, std::string_view deviceName);
// overview, waveColor, keyDisplay, wavePosition as the six preference bytes.
std::array<uint8_t, 6> displayPreferences(const CDJLinkSettings& s);

inline constexpr std::array<uint8_t, 32> settingsBlockA{0x81, 0x83, 0x81, 0x88, 0x81, 0x01, 0x82, 0x81,
                                                         0x81, 0x01, 0x01, 0x01, 0x82, 0x80, 0x80, 0x81,
                                                         0x80, 0x81, 0x80, 0x00, 0x00, 0x81, 0x00, 0x00,
                                                         0x81, 0x81, 0x81, 0x80, 0x81, 0x80, 0x00, 0x00};
inline constexpr std::array<uint8_t, 13> settingsBlockB{0x81, 0x80, 0x83, 0x83, 0x81, 0x00, 0x00,
                                                         0x00, 0x00, 0x00, 0x80, 0x81, 0x85};

// Port 50000, broadcast.
std::array<uint8_t, 44> claimFirstStage(const CDJLinkSettings& s, const CDJInterface& i, uint8_t n);
std::array<uint8_t, 50> claimSecondStage(const CDJLinkSettings& s, const CDJInterface& i, uint8_t claimed,
                                         uint8_t counter);
std::array<uint8_t, 54> keepalive(const CDJLinkSettings& s, const CDJInterface& i, size_t knownPeers);
// Port 50002.
std::array<uint8_t, 56> status(const CDJLinkSettings& s);
std::array<uint8_t, 296> hostnameReply(const CDJLinkSettings& s);
std::array<uint8_t, 48> linkReply(const CDJLinkSettings& s);
std::array<uint8_t, 72> linkAck(const CDJLinkSettings& s);
std::array<uint8_t, 192> mediaResponse(const CDJLinkSettings& s, size_t trackCount, size_t playlistCount);
std::array<uint8_t, 120> mySettings(const CDJLinkSettings& s);
// type 0x38 (my-setting write) or 0x49 (device-setting write)
std::array<uint8_t, 40> writeAck(const CDJLinkSettings& s, uint8_t type);

// A keepalive seen on the announce port.
struct Keepalive {
    std::string name;
    uint8_t deviceNumber = 0;
    uint8_t typeByte = 0;
};
// Type 0x06 of at least 54 bytes with the header; nothing otherwise.
std::optional<Keepalive> parseKeepalive(std::span<const uint8_t> d);

// A player status (type 0x0A, at least 204 bytes).
struct PlayerStatus {
    uint8_t player = 0;
    uint8_t sourceDevice = 0;
    uint8_t sourceSlot = 0;
    uint32_t trackId = 0;
    uint8_t playState = 0;
    uint8_t flags = 0;
    uint16_t tempo = 0xFFFF;
};
std::optional<PlayerStatus> parsePlayerStatus(std::span<const uint8_t> d);

// "rekordbox", "CDJ" or "Mixer" from the device type byte and the announced name.
std::string classifyDevice(uint8_t typeByte, std::string_view name);

std::string playStateName(int64_t state);
std::string slotName(int64_t slot);

}  // namespace linkpkt

// The active presence. Everything (handlers, timers, callbacks) runs on the queue passed in;
// start() and stop() may be called from any thread and run there.
class CDJProDJLink : public std::enable_shared_from_this<CDJProDJLink> {
public:
    using Clock = std::chrono::steady_clock;

    CDJProDJLink(SerialQueue& queue, CDJInterface iface, CDJLinkSettings settings,
                 std::shared_ptr<const CDJLibrary> library);
    ~CDJProDJLink();
    CDJProDJLink(const CDJProDJLink&) = delete;
    CDJProDJLink& operator=(const CDJProDJLink&) = delete;

    // Opens 50000, 50002 and 50001 and starts the claim sequence. Throws CDJSocketError; on a
    // failure nothing stays open.
    void start();
    // Closes the sockets and cancels all timers; nothing is sent. Idempotent.
    void stop();

    // Called on the queue; receivers hop to their own thread.
    std::function<void(const CDJDeckState&)> onDeckChanged;
    std::function<void(const std::vector<CDJPeer>&)> onPeersChanged;

    // Datagram handlers, as the sockets call them (on the queue).
    void handleAnnounce(std::span<const uint8_t> d, const std::string& sender);
    void handleStatus(std::span<const uint8_t> d, const std::string& sender);
    // Drops peers silent for more than 8 s (the 2 s timer calls it).
    void expirePeers();

    // Every packet sent also goes here (tests, and the fuzzer, which runs without sockets).
    using SendObserver = std::function<void(std::span<const uint8_t> d, const std::string& address, uint16_t port)>;
    void setSendObserver(SendObserver fn) { sendObserver_ = std::move(fn); }
    // The time source of peer ages and deck updates (tests).
    void setClock(std::function<Clock::time_point()> now) { now_ = std::move(now); }
    // Runs fn after `interval` on the queue, again every interval when repeating, until the
    // returned function cancels it. The default uses the queue's timers; tests put a virtual clock
    // here (with setClock), so the claim, keepalive, burst and status schedule is checked exactly.
    using Scheduler = std::function<std::function<void()>(std::chrono::milliseconds interval, bool repeating,
                                                          std::function<void()> fn)>;
    void setScheduler(Scheduler s) { scheduler_ = std::move(s); }

    // Snapshots; on the queue only.
    std::vector<CDJPeer> peers() const;
    std::map<int64_t, CDJDeckState> decks() const;
    bool claimDone() const;
    int burstCount() const;
    const CDJInterface& iface() const { return iface_; }
    const CDJLinkSettings& settings() const { return settings_; }
    SerialQueue& queue() const { return queue_; }

private:
    enum class Sock { announce, status };
    void startOnQueue();
    void stopOnQueue();
    void claimStep();
    void finishClaim();
    void burst();
    void sendStatusPair();
    void sendKeepalive();
    void send(Sock which, std::span<const uint8_t> d, const std::string& address, uint16_t port);
    void handleLinkHandshake(const std::string& sender);
    void handlePlayerStatus(const linkpkt::PlayerStatus& st, const std::string& sender);
    void handleKeepalive(const linkpkt::Keepalive& k, const std::string& sender);
    void later(std::chrono::milliseconds delay, std::function<void(CDJProDJLink&)> fn);

    SerialQueue& queue_;
    CDJInterface iface_;
    CDJLinkSettings settings_;
    std::shared_ptr<const CDJLibrary> library_;
    std::string broadcast_;
    std::shared_ptr<CDJUdpSocket> announceSock_, statusSock_, beatSock_;
    std::vector<std::function<void()>> timers_;               // cancels the repeating steps
    std::map<uint64_t, std::function<void()>> pending_;  // one-shot actions still to come, by their cancel
    uint64_t nextPending_ = 0;
    int claimStep_ = 0;
    bool claimDone_ = false;
    int burstCount_ = 0;
    int burstSlot_ = 0;
    int burstCounter_ = 1;
    bool started_ = false;
    bool stopped_ = false;
    std::set<std::string> loggedUnknown_;
    std::map<std::string, CDJPeer> peers_;
    std::map<std::string, int> linkAcks_;
    std::map<int64_t, CDJDeckState> decks_;
    SendObserver sendObserver_;
    std::function<Clock::time_point()> now_;
    Scheduler scheduler_;
};

}  // namespace fv::cdj
