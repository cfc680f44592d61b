#pragma once
// A simulated player (and mixer) in namespace b of a NetnsPair: keepalives and deck status packets
// sent every 300 ms until changed or stopped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cdjlink/Netns.hpp"
#include "cdjlink/NfsTestSupport.hpp"
#include "support/TestSupport.hpp"

namespace fv::test::link {
using namespace std::chrono_literals;

using fv::test::NetnsPair;

inline std::vector<uint8_t> linkPacket(uint8_t type, size_t size) {
    std::vector<uint8_t> p(size, 0);
    const char* magic = "Qspt1WmJOL";
    std::copy(magic, magic + 10, p.begin());
    p[10] = type;
    return p;
}

inline std::vector<uint8_t> keepalive(const std::string& name, uint8_t number, uint8_t typeByte, const std::string& ip) {
    auto k = linkPacket(0x06, 54);
    std::copy(name.begin(), name.end(), k.begin() + 12);
    k[36] = number;
    sockaddr_in a{};
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    std::memcpy(k.data() + 44, &a.sin_addr, 4);
    k[52] = typeByte;
    return k;
}

inline std::vector<uint8_t> status(uint8_t player, uint32_t trackId, bool playing, bool onAir) {
    auto s = linkPacket(0x0A, 212);
    s[33] = player;
    s[40] = 17;  // loaded from our device number
    s[41] = 4;   // rekordbox slot
    s[44] = uint8_t(trackId >> 24);
    s[45] = uint8_t(trackId >> 16);
    s[46] = uint8_t(trackId >> 8);
    s[47] = uint8_t(trackId);
    s[123] = playing ? 3 : 5;
    s[137] = onAir ? 0x08 : 0;
    s[146] = 0x32;
    return s;
}

// The player side in namespace b: announces itself and reports its decks until stopped. Each
// packet goes out from its own source address (a mixer is another device than the player).
struct Send {
    std::string from;
    uint16_t port;
    std::vector<uint8_t> packet;
};

struct Player {
    const NetnsPair& ns;
    std::mutex m;
    std::vector<Send> periodic;  // sent every 300 ms
    std::atomic<bool> run{true};
    std::thread t;

    explicit Player(const NetnsPair& n) : ns(n) {
        t = std::thread([this] {
            NetnsPair::enter(ns.b());
            std::map<std::string, int> sockets;
            while (run) {
                std::vector<Send> copy;
                {
                    std::lock_guard<std::mutex> l(m);
                    copy = periodic;
                }
                for (const auto& s : copy) {
                    int& fd = sockets[s.from];
                    if (fd == 0) {
                        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
                        int one = 1;
                        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
                        sockaddr_in local = fv::test::socketAddress(s.from, 0);
                        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
                    }
                    const std::string to = s.port == 50000 ? "10.99.0.255" : ns.a().address;
                    sockaddr_in a = fv::test::socketAddress(to, s.port);
                    ::sendto(fd, s.packet.data(), s.packet.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
                }
                std::this_thread::sleep_for(300ms);
            }
            for (auto& [from, fd] : sockets) ::close(fd);
        });
    }
    void set(std::vector<Send> packets) {
        std::lock_guard<std::mutex> l(m);
        periodic = std::move(packets);
    }
    ~Player() {
        run = false;
        t.join();
    }
};

}  // namespace fv::test::link
