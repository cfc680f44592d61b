#include "cdjlink/CDJDiscovery.hpp"

#include <fmt/format.h>

#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJProDJLink.hpp"
#include "core/SerialQueue.hpp"

namespace fv::cdj {

namespace {
// A flood of forged senders must not grow the table without bound.
constexpr size_t maxDevices = 4096;
}  // namespace

CDJDiscovery::CDJDiscovery()
    : ownQueue_(std::make_unique<SerialQueue>(std::string(discoveryQueueName))),
      queue_(*ownQueue_),
      now_([] { return Clock::now(); }) {}

CDJDiscovery::CDJDiscovery(SerialQueue& queue) : queue_(queue), now_([] { return Clock::now(); }) {}

CDJDiscovery::~CDJDiscovery() {
    stop();
    if (ownQueue_) ownQueue_->stop();
}

void CDJDiscovery::start() {
    auto run = [this] {
        if (sock_) return;
        auto w = weak_from_this();
        sock_ = CDJUdpSocket::open(announcePort, queue_, "Bereitschaft (nur mithören)",
                                   [w](std::span<const uint8_t> d, const std::string& a, uint16_t) {
                                       if (auto s = w.lock()) s->handleDatagram(d, a);
                                   },
                                   CDJUdpSocket::PortSharing::shared);
        timer_ = queue_.every(std::chrono::seconds(2), [w] {
            if (auto s = w.lock()) s->expire();
        });
    };
    queue_.dispatchSync(run);
}

void CDJDiscovery::stop() {
    auto run = [this] {
        if (timer_) timer_->cancel();
        timer_.reset();
        if (sock_) sock_->close();
        sock_.reset();
        seen_.clear();
    };
    queue_.dispatchSync(run);
}

void CDJDiscovery::handleDatagram(std::span<const uint8_t> d, const std::string& sender) {
    queue_.assertOnQueue();
    auto k = linkpkt::parseKeepalive(d);
    if (!k) return;
    std::string kind = linkpkt::classifyDevice(k->typeByte, k->name);
    auto it = seen_.find(sender);
    bool isNew = it == seen_.end();
    if (isNew) {
        if (seen_.size() >= maxDevices) return;
        cdjLogLine("INFO", fmt::format("Gerät im Netz: {} ({}, Typbyte 0x{:X}) @ {}", k->name, kind, k->typeByte, sender));
    }
    seen_[sender] = Seen{k->name, kind, now_()};
    if (isNew) report();
}

void CDJDiscovery::expire() {
    queue_.assertOnQueue();
    auto now = now_();
    size_t before = seen_.size();
    std::erase_if(seen_, [&](const auto& e) { return now - e.second.lastSeen >= std::chrono::seconds(8); });
    if (seen_.size() != before) report();
}

std::vector<CDJPeer> CDJDiscovery::devices() const {
    std::vector<CDJPeer> out;
    out.reserve(seen_.size());
    for (const auto& [addr, s] : seen_) out.push_back(CDJPeer{addr, s.name, 0, s.kind, s.lastSeen});
    return out;
}

void CDJDiscovery::report() {
    if (onDevicesChanged) onDevicesChanged(devices());
}

}  // namespace fv::cdj
