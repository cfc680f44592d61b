// `floorvote cdj serve` as the DJ runs it: the real program in a network namespace, a player's
// reads from the other one, and SIGTERM to end it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>

#include "Netns.hpp"
#include "cdjlink/NfsTestSupport.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;
using fv::test::Background;
using fv::test::NetnsPair;
using fv::test::RpcUdpClient;
using fv::test::TempDir;
using fv::test::Wire;

namespace {

std::string fileText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(LinkServerServeCommand, ServesALibraryFileUntilSigterm) {
    std::string why;
    auto ns = NetnsPair::create(&why);
    if (!ns) GTEST_SKIP() << why;

    TempDir dir;
    std::string audio(40000, '\0');
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * 13 % 256);
    fv::test::writeFile(dir / "a.mp3", audio);
    fv::test::writeFile(dir / "B.AIF", "aiff");
    const std::string library = (dir / "Hochzeit.json").string();
    fv::test::writeFile(library, R"([{"id":3,"title":"Eins","artist":"A","filePath":")" + (dir / "a.mp3").string() +
                                     R"(","fileType":"mp3"},{"id":4,"title":"Zwei","filePath":")" +
                                     (dir / "B.AIF").string() + R"(","fileType":"aif"}])");

    Background serve(NetnsPair::exec(ns->a(), {FLOORVOTE_BINARY, "cdj", "serve", "--library", library, "--interface",
                                               ns->a().veth, "--name", "Testbar"}),
                     dir / "serve.log");
    ASSERT_TRUE(serve.running());

    const std::string host = ns->a().address;
    NetnsPair::runInside(ns->b(), [&] {
        RpcUdpClient udp(host, 200);
        bool up = false;
        for (int i = 0; i < 50 && !up && !serve.exited(); ++i)
            up = udp.call(2049, rpcCallMessage(1, 100003, 2, 0, {})).has_value();
        ASSERT_TRUE(up) << fileText(dir / "serve.log");

        RpcUdpClient client(host);
        EXPECT_EQ(client.call(50111, rpcCallMessage(2, 100000, 2, 3, Wire().ws({100003, 2, 17, 0}).b)),
                  Wire().ok(2).w(2049).b);
        EXPECT_EQ(client.call(38251, rpcCallMessage(3, 100005, 1, 1, Wire().str("/C/").b)),
                  Wire().ok(3).w(0).zeros(32).b);
        auto lk = client.call(2049, rpcCallMessage(4, 100003, 2, 4, Wire().zeros(32).str("3.mp3").b));
        ASSERT_TRUE(lk);
        ASSERT_EQ(fv::test::wordAt(*lk, 24), 0u);
        const std::vector<uint8_t> fh(lk->begin() + 28, lk->begin() + 60);
        std::string got;
        for (uint32_t off = 0; off < audio.size(); off += 16384) {
            auto r = client.call(2049, rpcCallMessage(10 + off, 100003, 2, 6, Wire().add(fh).ws({off, 16384, 0}).b));
            ASSERT_TRUE(r);
            got.append(reinterpret_cast<const char*>(r->data()) + 100, fv::test::wordAt(*r, 96));
        }
        EXPECT_EQ(got, audio);
        // "aif" is not a type the players know: the path's extension decides, as "aiff".
        auto aiff = client.call(2049, rpcCallMessage(5, 100003, 2, 4, Wire().zeros(32).str("4.aiff").b));
        ASSERT_TRUE(aiff);
        EXPECT_EQ(fv::test::wordAt(*aiff, 24), 0u);
    });

    const int status = serve.stop(SIGTERM);
    const std::string out = fileText(dir / "serve.log");
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_NE(out.find("[CDJLink INFO] CDJ-Library \"Testbar\" startet auf " + ns->a().veth +
                       " 10.99.0.1/255.255.255.0 → 10.99.0.255"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("CDJ-Library „Testbar“ mit 2 Tracks auf " + ns->a().veth + " (10.99.0.1) – Strg+C beendet."),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[CDJLink NFS] READ /3.mp3 startet (count=16384"), std::string::npos) << out;
    EXPECT_NE(out.find("[CDJLink INFO] CDJ-Library wird beendet"), std::string::npos) << out;
    EXPECT_NE(out.find("CDJ-Library beendet."), std::string::npos) << out;
}

TEST(LinkServerServeCommand, RefusesUnreadableLibrariesAndMissingInterfaces) {
    TempDir dir;
    auto r = fv::test::runFloorvote({"cdj", "serve", "--library", (dir / "fehlt.json").string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("Bibliothek nicht lesbar: " + (dir / "fehlt.json").string()), std::string::npos) << r.err;

    fv::test::writeFile(dir / "kaputt.json", R"([{"title":"ohne id"}])");
    r = fv::test::runFloorvote({"cdj", "serve", "--library", (dir / "kaputt.json").string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("ist keine gültige Track-Liste"), std::string::npos) << r.err;

    fv::test::writeFile(dir / "doppelt.json", R"([{"id":3},{"id":3}])");
    r = fv::test::runFloorvote({"cdj", "serve", "--library", (dir / "doppelt.json").string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("Track-ID 3 kommt doppelt vor."), std::string::npos) << r.err;

    // Fails at the interface choice, before any socket is opened.
    fv::test::writeFile(dir / "ok.json", R"([{"id":3,"filePath":"/nirgends/a.mp3"}])");
    r = fv::test::runFloorvote({"cdj", "serve", "--library", (dir / "ok.json").string(), "--interface", "fvnope0"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Interface fvnope0 nicht gefunden."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Achtung: 1 von 1 Audiodateien fehlen."), std::string::npos) << r.err;

    r = fv::test::runFloorvote({"cdj", "serve"});
    EXPECT_NE(r.exitCode, 0);
}
