// `floorvote demo` in a real terminal on a fresh home: the local service, simulated guests, the
// live session, a QR code a real decoder reads, a confirmation that reaches the service, and
// after Ctrl-C nothing left running and the DJ's real login and settings as they were.
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/Paths.hpp"
#include "service/Terminal.hpp"
#include "session/AppSettings.hpp"
#include "session/KeychainService.hpp"
#include "support/TestSupport.hpp"

using fv::test::runProcess;
using fv::test::Terminal;
using nlohmann::json;
using ::testing::HasSubstr;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every file of the DJ's own settings and login, by name, with its bytes.
std::map<std::string, std::string> realFiles() {
    std::map<std::string, std::string> out;
    for (const fs::path& dir : {fv::xdgConfigHome() / "floorvote", fv::xdgDataHome() / "floorvote"}) {
        if (!fs::exists(dir)) continue;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file()) out[e.path().string()] = readAll(e.path());
    }
    return out;
}

// The QR code on the screen back to an image (dark modules black) that zbarimg reads.
std::string decodeQr(const std::string& screen, const fs::path& pbm) {
    std::vector<std::u32string> rows;
    std::istringstream in(screen);
    std::string line;
    auto blocks = [](const std::string& l, std::u32string& out) {
        out.clear();
        bool any = false;
        for (size_t i = 0; i < l.size();) {
            if (l[i] == ' ') {
                out += U' ';
                ++i;
            } else if (l.compare(i, 3, "█") == 0 || l.compare(i, 3, "▀") == 0 || l.compare(i, 3, "▄") == 0) {
                out += l.compare(i, 3, "█") == 0 ? U'B' : l.compare(i, 3, "▀") == 0 ? U'T' : U'L';
                any = true;
                i += 3;
            } else {
                return false;
            }
        }
        return any;
    };
    std::u32string r;
    while (std::getline(in, line))
        if (blocks(line, r)) rows.push_back(r);
    if (rows.empty()) return {};
    size_t width = 0;
    for (auto& row : rows) width = std::max(width, row.size());
    const int scale = 6, quiet = 4;
    std::vector<std::vector<int>> modules;
    for (auto& row : rows) {
        row.resize(width, U' ');
        std::vector<int> top, bottom;
        for (char32_t c : row) {
            top.push_back(c == U'B' || c == U'T');
            bottom.push_back(c == U'B' || c == U'L');
        }
        modules.push_back(top);
        modules.push_back(bottom);
    }
    const size_t w = (width + 2 * quiet) * scale, h = (modules.size() + 2 * quiet) * scale;
    std::ofstream out(pbm);
    out << "P1\n" << w << " " << h << "\n";
    for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
            long mx = long(x / scale) - quiet, my = long(y / scale) - quiet;
            bool dark = mx >= 0 && my >= 0 && size_t(my) < modules.size() && size_t(mx) < width && modules[my][mx];
            out << (dark ? "1 " : "0 ");
        }
        out << "\n";
    }
    out.close();
    auto r2 = runProcess({"zbarimg", "-q", "--raw", pbm.string()});
    std::string text = r2.out;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

bool portAnswers(int port) {
    return runProcess({"node", "-e",
                       "require('net').connect(" + std::to_string(port) +
                           ", '127.0.0.1').on('connect', () => process.exit(0)).on('error', () => process.exit(1))"})
               .exitCode == 0;
}

}  // namespace

TEST(DemoCommand, RunsOnAFreshHomeAndLeavesTheRealLoginAlone) {
    if (!Terminal::available()) GTEST_SKIP() << "tmux is not installed";
    fv::test::TempDir home;
    fv::test::useHome(home.path());
    unsetenv("FLOORVOTE_PRODUCTION_URL");
    // The DJ's real login and settings from before.
    fv::KeychainService().save("refreshToken", "real-refresh");
    fv::KeychainService().save("djUuid", "real-dj");
    fv::AppSettings::modify([](fv::AppSettings& s) {
        s.activeEventId = "real-event";
        s.djName = "Echter DJ";
        s.djPin = "9999";
    });
    fv::test::useHome(home.path());  // closes the stores, so the files hold everything
    const auto before = realFiles();
    ASSERT_FALSE(before.empty());

    Terminal t("demo");
    t.start(Terminal::withEnvironment(FLOORVOTE_BINARY + std::string(" demo --guests 3 --pace 0.2")));
    ASSERT_TRUE(t.waitFor("„hilfe“ zeigt die Befehle.", 60s)) << t.screen();
    std::smatch m;
    std::string screen = t.screen();
    ASSERT_TRUE(std::regex_search(screen, m, std::regex("lokaler Event-Service auf http://127\\.0\\.0\\.1:([0-9]+) mit 3")))
        << screen;
    const int port = std::stoi(m[1]);
    const std::string guestPage = "http://127.0.0.1:" + std::to_string(port) + "/e/demo";
    EXPECT_THAT(screen, HasSubstr("Gästeseite: " + guestPage));
    EXPECT_THAT(screen, HasSubstr("Stream-Overlay: http://127.0.0.1:"));
    if (runProcess({"zbarimg", "--version"}).exitCode == 0) {
        EXPECT_EQ(decodeQr(screen, home.path() / "qr.pbm"), guestPage) << "the QR code on the screen";
    }

    // Simulated guests send requests; the DJ confirms one in the live session.
    ASSERT_TRUE(t.waitFor("🔔 Neuer Musikwunsch: ", 60s)) << t.screen();
    t.type("offen");
    ASSERT_TRUE(t.waitFor("Offene Wünsche (")) << t.screen();
    screen = t.screen();
    std::string listed = screen.substr(screen.rfind("Offene Wünsche ("));
    ASSERT_TRUE(std::regex_search(listed, m, std::regex("#([0-9]+)  "))) << listed;
    const std::string id = m[1];
    t.type("ok " + id);
    ASSERT_TRUE(t.waitFor("Bestätigt: #" + id)) << t.screen();
    json state = json::parse(readAll(home.path() / ".local/share/floorvote/local-service/demo/state.json"));
    bool confirmed = false;
    for (const auto& r : state["events"]["demo"]["requests"])
        if (std::to_string(r["id"].get<int64_t>()) == id) confirmed = r["status"] == "confirmed";
    EXPECT_TRUE(confirmed) << "the service's stored state has #" << id << " confirmed";

    t.keys("C-c");
    ASSERT_TRUE(t.waitDead()) << t.screen();
    EXPECT_THAT(t.screen(), HasSubstr("Demo beendet."));
    EXPECT_FALSE(portAnswers(port)) << "the local service still runs";
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string cmdline = readAll(e.path() / "cmdline");
        EXPECT_FALSE(cmdline.find("simulate.js") != std::string::npos &&
                     cmdline.find("127.0.0.1:" + std::to_string(port)) != std::string::npos)
            << "the simulated guests still run";
    }
    EXPECT_EQ(realFiles(), before) << "the demo changed the DJ's own settings or login";
    EXPECT_EQ(fv::KeychainService().read("refreshToken"), "real-refresh");
    EXPECT_EQ(fv::AppSettings::load().activeEventId, "real-event");
}
