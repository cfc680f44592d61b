// The remote database with a library of 10,000 tracks over loopback: requests per second and
// latency (p50, p99) of the menus a player asks for, against a bare TCP echo and the smallest
// request (Setup) on the same kind of connection. Players feel any stall, so the p99 figures
// count: the last lines give the worst of them against their goals.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cdjlink/CDJDbServer.hpp"
#include "cdjlink/CDJLog.hpp"
#include "cdjlink/DbTestClient.hpp"
#include "core/Log.hpp"
#include "core/SerialQueue.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace fv::cdj::dbtest;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<CDJTrack> makeTracks(uint32_t n) {
    const char* words[] = {"Nacht", "Sonne", "Liebe", "Straße", "Über", "Tanz", "Feuer", "Herz", "Stadt", "Zeit",
                           "Himmel", "Regen", "Licht", "Traum", "Welle", "Echo"};
    const char* keys[] = {"Am", "C", "G", "Em", "F#m", "Db", "Bbm", "E", "D", "Gm", "A", "B"};
    const char* genres[] = {"House", "Techno", "Pop", "Schlager", "Disco", "Hip-Hop"};
    std::vector<CDJTrack> out;
    out.reserve(n);
    uint32_t seed = 12345;
    auto rnd = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    for (uint32_t i = 1; i <= n; ++i) {
        CDJTrack t;
        t.id = 10000 + i;
        t.title = std::string(words[rnd() % 16]) + " " + words[rnd() % 16] + " " + std::to_string(i);
        t.artist = std::string("Künstler ") + words[rnd() % 16] + " " + std::to_string(rnd() % 800);
        t.album = std::string("Album ") + words[rnd() % 16];
        t.genre = genres[rnd() % 6];
        t.key = keys[rnd() % 12];
        t.bpm100 = 9000 + rnd() % 8000;
        t.duration = 120 + rnd() % 400;
        t.filePath = "/music/" + std::to_string(i) + ".mp3";
        t.fileSize = 5'000'000 + rnd() * 100;
        t.fileType = "mp3";
        t.comment = "Kommentar " + std::to_string(i);
        t.rating = rnd() % 6;
        t.color = rnd() % 9;
        t.year = 1980 + rnd() % 45;
        out.push_back(std::move(t));
    }
    return out;
}

struct Stats {
    double perSecond, p50, p99;
};

Stats measure(int iterations, const std::function<void(int)>& op) {
    std::vector<double> us;
    us.reserve(static_cast<size_t>(iterations));
    op(0);  // warm up
    auto start = Clock::now();
    for (int i = 0; i < iterations; ++i) {
        auto t0 = Clock::now();
        op(i);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * static_cast<double>(us.size())))]; };
    return {iterations / total, at(0.50), at(0.99)};
}

// Like measure, with an untimed preparation before each operation.
Stats measureEach(int iterations, const std::function<void()>& prepare, const std::function<void()>& op) {
    std::vector<double> us;
    double total = 0;
    for (int i = 0; i < iterations; ++i) {
        prepare();
        auto t0 = Clock::now();
        op();
        double d = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        us.push_back(d);
        total += d / 1e6;
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * static_cast<double>(us.size())))]; };
    return {iterations / total, at(0.50), at(0.99)};
}

// A bare echo server on loopback: what one round trip costs without any protocol.
struct Echo {
    int listenFd = -1;
    uint16_t port = 0;
    std::thread thread;

    Echo() {
        listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(listenFd, 1);
        socklen_t len = sizeof sa;
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        thread = std::thread([this] {
            int c = ::accept(listenFd, nullptr, nullptr);
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            uint8_t buf[65536];
            for (;;) {
                ssize_t k = ::recv(c, buf, sizeof buf, 0);
                if (k <= 0) break;
                ::send(c, buf, static_cast<size_t>(k), MSG_NOSIGNAL);
            }
            ::close(c);
        });
    }
    ~Echo() {
        thread.join();
        ::close(listenFd);
    }
};

void row(const char* name, const Stats& s, double baselineP50) {
    std::printf("  %-34s %9.0f req/s   p50 %9.1f us   p99 %9.1f us   p50 / Setup %8.1f x\n", name, s.perSecond, s.p50,
                s.p99, s.p50 / baselineP50);
}

}  // namespace

int main() {
    setLogToStdout(false);
    char logTemplate[] = "/tmp/floorvote-bench-cdjlink-XXXXXX";
    int logFd = ::mkstemp(logTemplate);
    if (logFd >= 0) ::close(logFd);
    cdjLog().setFilePath(std::string(logTemplate));

    const uint32_t trackCount = 10000;
    auto library = std::make_shared<CDJLibrary>();
    auto tracks = makeTracks(trackCount);
    std::vector<uint32_t> ids;
    for (const auto& t : tracks) ids.push_back(t.id);
    library->replaceContent(tracks, {{4711, "Bestätigte Wünsche", std::vector<uint32_t>(ids.begin(), ids.begin() + 500)}});

    SerialQueue queue("floorvote.cdjlink");
    CDJLinkSettings settings;
    settings.dbPort = 0;
    auto server = std::make_shared<CDJDbServer>(queue, library, settings, 0);
    server->start();

    std::printf("remote database, %u tracks, loopback, one player connection\n", trackCount);

    Stats echo;
    {
        Echo e;
        Client c(e.port);
        Raw ping = encodeRequest(1, 0x0000, {n(2)});
        echo = measure(5000, [&](int) {
            c.send(ping);
            c.read(ping.size());
        });
    }

    Client c(server->dbPort());
    c.greet();
    Stats setup = measure(5000, [&](int) { c.request(0x0000, {n(2)}); });
    // The machine is shared: each figure is set against a Setup baseline taken next to it.
    auto baseline = [&] { return measure(1000, [&](int) { c.request(0x0000, {n(2)}); }).p50; };
    std::printf("  %-34s %9.0f req/s   p50 %9.1f us   p99 %9.1f us\n", "TCP echo (no protocol)", echo.perSecond, echo.p50,
                echo.p99);
    row("Setup 0x0000 (baseline)", setup, setup.p50);

    // After a change: the manager replaces the library whenever the requests change, so the first
    // list a player asks for next meets a new library: one request accepted (a track added), one
    // withdrawn (a track gone) and one track's tags edited. Each sort order was shown before the
    // change, as when a DJ keeps browsing. Repeat: the same list asked for again.
    auto playlists = library->playlists();
    uint32_t nextId = 10000 + trackCount;
    size_t changeAt = 0;
    auto changeLibrary = [&] {
        CDJTrack added = tracks[changeAt % tracks.size()];
        added.id = ++nextId;
        added.title = "Wunsch " + std::to_string(nextId);
        tracks.erase(tracks.begin() + static_cast<std::ptrdiff_t>((changeAt * 7919) % tracks.size()));
        tracks.push_back(std::move(added));
        tracks[(changeAt * 104729) % tracks.size()].comment = "bearbeitet " + std::to_string(changeAt);
        ++changeAt;
        library->replaceContent(tracks, playlists);
    };
    std::vector<double> firstSortP99, repeatP99;
    for (const auto& e : cdjSortEntries()) {
        auto sortId = static_cast<uint32_t>(e.id);
        auto count = [&] { return static_cast<uint32_t>(tracks.size()); };
        c.request(0x1004, {n(dmst(2, 1)), n(sortId)});
        Stats cold = measureEach(20, changeLibrary, [&] {
            auto a = c.request(0x1004, {n(dmst(2, 1)), n(sortId)});
            if (a.num(1) != count()) std::abort();
        });
        Stats warm = measure(500, [&](int) {
            auto a = c.request(0x1004, {n(dmst(2, 1)), n(sortId)});
            if (a.num(1) != count()) std::abort();
        });
        firstSortP99.push_back(cold.p99);
        repeatP99.push_back(warm.p99);
        std::string name = "all tracks " + e.label + ", after change";
        row(name.c_str(), cold, baseline());
        name = "all tracks " + e.label + ", repeat";
        row(name.c_str(), warm, baseline());
    }

    // A library whose every track is new (the first fill, another source): nothing carries over.
    Stats fresh = measureEach(
        10,
        [&] {
            for (auto& t : tracks) t.comment += "*";
            library->replaceContent(tracks, playlists);
        },
        [&] { c.request(0x1004, {n(dmst(2, 1)), n(2)}); });
    row("all tracks ARTIST, every track new", fresh, baseline());

    c.request(0x1004, {n(dmst(2, 1)), n(1)});
    Stats page = measure(2000, [&](int i) {
        uint32_t offset = static_cast<uint32_t>((i * 64) % trackCount);
        auto items = c.render(1, offset, 64, trackCount);
        if (items.size() != std::min<uint32_t>(64, trackCount - offset)) std::abort();
    });
    row("render page of 64 items", page, baseline());

    ids.clear();
    for (const auto& t : tracks) ids.push_back(t.id);
    const char16_t* terms[] = {u"NACHT", u"ÜBER", u"KÜNSTLER ECHO 1", u"ZEIT 99"};
    Stats search = measure(400, [&](int i) {
        std::u16string t = terms[i % 4];
        c.request(0x1300, {n(dmst(2, 1)), n(1), n(static_cast<uint32_t>((t.size() + 1) * 2)), s(t), n(0)});
    });
    row("search (all tracks scanned)", search, baseline());

    Stats meta = measure(3000, [&](int i) {
        auto a = c.request(0x2002, {n(dmst(2, 1)), n(ids[static_cast<size_t>(i * 7919) % ids.size()])});
        if (a.num(1) != 16) std::abort();
    });
    row("metadata 0x2002", meta, baseline());
    Stats metaRender = measure(2000, [&](int i) {
        c.request(0x2002, {n(dmst(2, 1)), n(ids[static_cast<size_t>(i * 7919) % ids.size()])});
        if (c.render(1, 0, 16, 16).size() != 16) std::abort();
    });
    row("metadata 0x2002 + render of 16", metaRender, baseline());

    auto worst = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    std::printf("\nworst p99 (us): cached list %.0f (goal < 1000), render %.0f (< 1000), metadata %.0f (< 1000),\n"
                "               first sort after a change %.0f (< 3000)\n",
                worst(repeatP99), std::max(page.p99, metaRender.p99), meta.p99, worst(firstSortP99));

    server->stop();
    queue.stop();
    ::unlink(logTemplate);
    ::unlink((std::string(logTemplate) + ".1").c_str());
    return 0;
}
