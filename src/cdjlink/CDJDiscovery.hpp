#pragma once
// The passive listener: watches the announce port for players while the library waits in standby.
// It sends nothing and shares port 50000 with other programs.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cdjlink/CDJModels.hpp"
#include "cdjlink/CDJSockets.hpp"

namespace fv {
class SerialQueue;
class Timer;
}  // namespace fv

namespace fv::cdj {

inline constexpr std::string_view discoveryQueueName = "floorvote.cdjlink.discovery";

class CDJDiscovery : public std::enable_shared_from_this<CDJDiscovery> {
public:
    using Clock = std::chrono::steady_clock;

    // With its own queue "floorvote.cdjlink.discovery".
    CDJDiscovery();
    // On a queue owned by the caller.
    explicit CDJDiscovery(SerialQueue& queue);
    ~CDJDiscovery();
    CDJDiscovery(const CDJDiscovery&) = delete;
    CDJDiscovery& operator=(const CDJDiscovery&) = delete;

    // Opens port 50000 and starts the 2 s ageing timer. Throws CDJSocketError. Any thread.
    void start();
    // Closes the socket, cancels the timer, forgets all devices. Any thread; idempotent.
    void stop();

    // Called on the queue with every device currently seen (in no particular order).
    std::function<void(const std::vector<CDJPeer>&)> onDevicesChanged;

    // On the queue: one datagram from the announce port, and the ageing step.
    void handleDatagram(std::span<const uint8_t> d, const std::string& sender);
    void expire();
    void setClock(std::function<Clock::time_point()> now) { now_ = std::move(now); }

    std::vector<CDJPeer> devices() const;  // on the queue
    SerialQueue& queue() const { return queue_; }

private:
    struct Seen {
        std::string name;
        std::string kind;
        Clock::time_point lastSeen;
    };
    void report();

    std::unique_ptr<SerialQueue> ownQueue_;
    SerialQueue& queue_;
    std::shared_ptr<CDJUdpSocket> sock_;
    std::shared_ptr<Timer> timer_;
    std::map<std::string, Seen> seen_;
    std::function<Clock::time_point()> now_;
};

}  // namespace fv::cdj
