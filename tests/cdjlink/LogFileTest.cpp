// The link log's file: held open between lines, rotated, and following its path when someone
// else moves or deletes the file.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cdjlink/CDJLog.hpp"
#include "core/Log.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::cdj;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> lines(const std::filesystem::path& p) {
    std::vector<std::string> out;
    std::ifstream in(p);
    // Without the time stamp.
    for (std::string line; std::getline(in, line);) {
        auto at = line.find(" [");
        out.push_back(at == std::string::npos ? line : line.substr(at + 1));
    }
    return out;
}

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

struct QuietStdout {
    QuietStdout() { setLogToStdout(false); }
    ~QuietStdout() { setLogToStdout(true); }
};

}  // namespace

TEST(CDJLogFile, RotatesWhileHeldOpenAndKeepsOneOlderFile) {
    QuietStdout quiet;
    test::TempDir dir;
    auto path = dir / "cdjlink.log";
    CDJLog log;
    log.setFilePath(path);
    log.setRotateBytes(1000);
    log.log("DB", "erste");
    size_t held = openDescriptors();
    // 40 lines of 50 bytes: rotations every 20 lines; no descriptor is left behind by any of them.
    for (int i = 0; i < 40; ++i) log.log("DB", "Zeile " + std::to_string(100 + i) + std::string(25, '.'));
    EXPECT_EQ(openDescriptors(), held);
    log.log("DB", "letzte");

    auto current = lines(path);
    auto older = lines(path.string() + ".1");
    ASSERT_FALSE(current.empty());
    ASSERT_FALSE(older.empty());
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".2"));
    EXPECT_LE(std::filesystem::file_size(path), 1000u);
    EXPECT_LE(std::filesystem::file_size(path.string() + ".1"), 1000u);
    // The newest line ends the current file, and the older file ends where the current one starts.
    EXPECT_EQ(current.back(), "[DB] letzte");
    EXPECT_EQ(older.back().substr(0, 14), "[DB] Zeile " + std::to_string(100 + 40 - current.size()));
    EXPECT_EQ(current.front().substr(0, 14), "[DB] Zeile " + std::to_string(100 + 40 - current.size() + 1));
}

TEST(CDJLogFile, FollowsThePathWhenTheFileIsMovedOrDeleted) {
    QuietStdout quiet;
    test::TempDir dir;
    auto path = dir / "cdjlink.log";
    CDJLog log;
    log.setFilePath(path);
    log.log("INFO", "eins");

    // Moved away (another tool rotating it): what it held stays there, new lines go to the path
    // again within a second.
    std::filesystem::rename(path, dir / "moved.log");
    std::this_thread::sleep_for(1100ms);
    log.log("INFO", "zwei");
    EXPECT_EQ(lines(dir / "moved.log"), std::vector<std::string>{"[INFO] eins"});
    EXPECT_EQ(lines(path), std::vector<std::string>{"[INFO] zwei"});

    // Deleted: made again.
    std::filesystem::remove(path);
    std::this_thread::sleep_for(1100ms);
    log.log("INFO", "drei");
    EXPECT_EQ(lines(path), std::vector<std::string>{"[INFO] drei"});

    // Another path takes effect with the next line, and the old file is no longer written.
    log.setFilePath(dir / "other.log");
    log.log("INFO", "vier");
    EXPECT_EQ(lines(dir / "other.log"), std::vector<std::string>{"[INFO] vier"});
    EXPECT_EQ(lines(path), std::vector<std::string>{"[INFO] drei"});

    // Lines written to the same file by someone else count towards its rotation.
    log.setRotateBytes(200);
    {
        std::ofstream other(dir / "other.log", std::ios::app);
        other << std::string(150, 'x') << "\n";
    }
    std::this_thread::sleep_for(1100ms);
    log.log("INFO", "fünf");
    EXPECT_EQ(lines(dir / "other.log"), std::vector<std::string>{"[INFO] fünf"});
    EXPECT_TRUE(std::filesystem::exists(dir / "other.log.1"));
}
