// `floorvote cdj interfaces` and `floorvote cdj watch`, run inside test namespaces.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "Netns.hpp"
#include "cdjlink/CDJBytes.hpp"
#include "cdjlink/CDJProDJLink.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;
using fv::test::NetnsPair;
using fv::test::runProcess;

namespace {

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// A datagram socket in a namespace; reuse=false holds the port the way a foreign program does.
int socketIn(const NetnsPair::Side& side, uint16_t port, bool reuse) {
    return NetnsPair::runInside(side, [&] {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        if (reuse) {
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
        }
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) throw std::runtime_error("bind");
        return fd;
    });
}

}  // namespace

TEST(CdjCommands, InterfacesListsTheVethAndNothingWithoutOne) {
    std::string why;
    auto ns = NetnsPair::create(&why);
    if (!ns) GTEST_SKIP() << why;

    auto r = runProcess(NetnsPair::exec(ns->a(), {FLOORVOTE_BINARY, "cdj", "interfaces"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Netzwerkschnittstellen für Pro DJ Link")) << r.out;
    EXPECT_TRUE(contains(r.out, "Adresse")) << r.out;
    EXPECT_TRUE(contains(r.out, ns->a().veth)) << r.out;
    EXPECT_TRUE(contains(r.out, "10.99.0.1")) << r.out;
    EXPECT_TRUE(contains(r.out, "255.255.255.0")) << r.out;
    EXPECT_TRUE(contains(r.out, NetnsPair::macOf(ns->a()))) << r.out;
    EXPECT_FALSE(contains(r.out, "127.0.0.1"));

    // A namespace with nothing but the loopback has nothing to offer.
    auto empty = runProcess({"unshare", "--net", FLOORVOTE_BINARY, "cdj", "interfaces"});
    ASSERT_EQ(empty.exitCode, 0) << empty.err;
    EXPECT_EQ(empty.out,
              "Keine nutzbare Netzwerkschnittstelle gefunden (IPv4, aktiv, kein Loopback, mit Hardware-Adresse).\n");
}

TEST(CdjCommands, WatchReportsPlayersAndEndsOnTimeOrSignal) {
    std::string why;
    auto ns = NetnsPair::create(&why);
    if (!ns) GTEST_SKIP() << why;

    int player = socketIn(ns->b(), announcePort, true);
    std::atomic<bool> running{true};
    std::thread announcer([&] {
        Bytes k(54, 0);
        std::copy(linkpkt::magic.begin(), linkpkt::magic.end(), k.begin());
        k[10] = 0x06;
        writeFixedText(k, 12, 20, "CDJ-3000");
        k[36] = 2;
        k[52] = 1;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(announcePort);
        ::inet_pton(AF_INET, "10.99.0.255", &to.sin_addr);
        while (running) {
            ::sendto(player, k.data(), k.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(300ms);
        }
    });

    auto r = runProcess(NetnsPair::exec(ns->a(), {FLOORVOTE_BINARY, "cdj", "watch", "--seconds", "2"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "[CDJLink OK] Lausche UDP :50000 (Bereitschaft (nur mithören))")) << r.out;
    EXPECT_TRUE(contains(r.out, "[CDJLink INFO] Gerät im Netz: CDJ-3000 (CDJ, Typbyte 0x1) @ 10.99.0.2")) << r.out;
    EXPECT_TRUE(contains(r.out, "+ Gerät erschienen: CDJ-3000 (CDJ) @ 10.99.0.2")) << r.out;
    EXPECT_TRUE(contains(r.out, "Beendet. 1 Gerät(e) gesehen, 1 zuletzt im Netz.")) << r.out;

    // SIGTERM ends it cleanly with its closing line.
    auto t = runProcess(NetnsPair::exec(
        ns->a(), {"timeout", "--preserve-status", "-s", "TERM", "1.5", FLOORVOTE_BINARY, "cdj", "watch"}));
    EXPECT_EQ(t.exitCode, 0) << t.err;
    EXPECT_TRUE(contains(t.out, "Beendet.")) << t.out;

    running = false;
    announcer.join();
    ::close(player);

    // A program holding the port without sharing it: the bind error, in German, with the port.
    int holder = socketIn(ns->a(), announcePort, false);
    auto busy = runProcess(NetnsPair::exec(ns->a(), {FLOORVOTE_BINARY, "cdj", "watch", "--seconds", "1"}));
    ::close(holder);
    EXPECT_EQ(busy.exitCode, 1);
    EXPECT_EQ(busy.err, "Port 50000 belegt oder nicht bindbar (Adresse bereits belegt) – läuft rekordbox?\n");
}
