// Where the overlay server listens: loopback unless the DJ opens it to the network.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/MainLoop.hpp"
#include "overlay/OverlayPage.hpp"
#include "overlay/OverlayServer.hpp"

using namespace fv;
using namespace fv::overlay;

namespace {

std::optional<std::string> otherLocalAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<std::string> out;
    for (ifaddrs* i = list; i && !out; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, buf, sizeof buf);
        if (std::string(buf).rfind("127.", 0) != 0) out = buf;
    }
    freeifaddrs(list);
    return out;
}

bool reachable(const std::string& address, uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

TEST(OverlayListen, LoopbackByDefaultAndTheNetworkOnlyWhenChosen) {
    OverlayConfig config;
    config.port = 0;
    OverlayServer server;
    EXPECT_EQ(server.listenAddress(), "127.0.0.1");
    ASSERT_TRUE(server.start(config)) << server.lastError();
    EXPECT_TRUE(reachable("127.0.0.1", server.port()));
    EXPECT_FALSE(server.reachableBeyondLoopback());
    auto other = otherLocalAddress();
    if (other) {
        EXPECT_FALSE(reachable(*other, server.port())) << "guest names would reach the venue network";
    }
    server.stop();

    server.setListenAddress("0.0.0.0");
    ASSERT_TRUE(server.start(config)) << server.lastError();
    EXPECT_TRUE(server.reachableBeyondLoopback());
    EXPECT_TRUE(reachable("127.0.0.1", server.port()));
    if (other) {
        EXPECT_TRUE(reachable(*other, server.port()));
    }
    server.stop();

    server.setListenAddress("kein.ort");
    EXPECT_FALSE(server.start(config));
    EXPECT_FALSE(server.isRunning());
}

TEST(OverlayListen, ThePageConnectsFromAnotherHostOnlyWhenOpenedToTheNetwork) {
    OverlayConfig config;
    EXPECT_NE(renderOverlayPage(config).find("var REACHABLE = false;"), std::string::npos);
    EXPECT_NE(renderOverlayPage(config, false, true).find("var REACHABLE = true;"), std::string::npos);
}
