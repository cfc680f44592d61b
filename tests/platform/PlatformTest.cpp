#include <fstream>
#include <string>
#include <thread>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/DefaultsStore.hpp"
#include "platform/PageArray.hpp"
#include "platform/Notifier.hpp"
#include "platform/ProcessCheck.hpp"
#include "support/TestSupport.hpp"

using namespace fv;

TEST(DefaultsStore, ValuesAreBytesAndSurviveReopening) {
    test::TempDir dir;
    const std::string binary("a\0b\xff", 4);
    {
        DefaultsStore s(dir / "kv.sqlite3");
        EXPECT_FALSE(s.get("k"));
        EXPECT_TRUE(s.set("k", binary));
        EXPECT_TRUE(s.set("other", "x"));
        EXPECT_TRUE(s.remove("other"));
    }
    DefaultsStore s(dir / "kv.sqlite3");
    EXPECT_EQ(s.get("k"), binary);
    EXPECT_FALSE(s.get("other"));
    // It holds the PIN and API secrets: the owner's alone.
    struct stat st {};
    ASSERT_EQ(::stat((dir / "kv.sqlite3").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(DefaultsStore, ConcurrentUpdatesFromTwoConnectionsLoseNothing) {
    // Two connections stand for two processes: each increments the same counter.
    test::TempDir dir;
    DefaultsStore a(dir / "kv.sqlite3"), b(dir / "kv.sqlite3");
    auto bump = [](DefaultsStore& s) {
        for (int i = 0; i < 200; ++i)
            s.update("n", [](const std::optional<std::string>& v) {
                return std::optional<std::string>(std::to_string(v ? std::stoi(*v) + 1 : 1));
            });
    };
    std::thread t1([&] { bump(a); }), t2([&] { bump(b); });
    t1.join();
    t2.join();
    EXPECT_EQ(a.get("n"), "400");
}

TEST(DefaultsStore, UnopenableFileFailsQuietly) {
    DefaultsStore s("/proc/floorvote-no/kv.sqlite3");
    EXPECT_FALSE(s.set("k", "v"));
    EXPECT_FALSE(s.get("k"));
}

TEST(Notifier, WithoutADesktopServiceFallsBackToTheConsole) {
    auto n = Notifier::makeDefault();  // the test environment has no session bus
    ASSERT_TRUE(n);
    EXPECT_NE(dynamic_cast<ConsoleNotifier*>(n.get()), nullptr);
    n->notify("Neuer Musikwunsch", "A – B", false);
}

TEST(ProcessCheck, FindsRunningProgramsByName) {
    test::TempDir dir;
    // A copy of sleep named like the DJ program stands in for it.
    std::filesystem::copy_file("/bin/sleep", dir / "rekordbox-fake");
    pid_t pid = fork();
    if (pid == 0) {
        execl((dir / "rekordbox-fake").c_str(), "rekordbox-fake", "5", nullptr);
        _exit(127);
    }
    bool seen = false;
    for (int i = 0; i < 50 && !seen; ++i) {
        seen = isRekordboxRunning();
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(seen);
    EXPECT_FALSE(isProcessRunning("no-such-program-floorvote"));
}

// Large arrays start on a huge page boundary with the mapping trimmed around them: every element,
// the first and the last included, must stay mapped and zero-filled, and a moved array owns it alone.
TEST(PageArray, LargeAndSmallArraysAreZeroedWritableAndMoveTheirMemory) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{1000}, (std::size_t{5} << 20) / 4 + 3}) {
        fv::PageArray<uint32_t> a(count);
        ASSERT_EQ(a.size(), count);
        uint64_t sum = 0;
        for (uint32_t v : a) sum += v;
        EXPECT_EQ(sum, 0u);
        for (std::size_t i = 0; i < count; ++i) a[i] = static_cast<uint32_t>(i);
        fv::PageArray<uint32_t> b(std::move(a));
        EXPECT_EQ(a.size(), 0u);
        EXPECT_EQ(a.begin(), a.end());
        ASSERT_EQ(b.size(), count);
        if (count) {
            EXPECT_EQ(b[0], 0u);
            EXPECT_EQ(b[count - 1], count - 1);
        }
        fv::PageArray<uint32_t> c(7);
        c = std::move(b);
        EXPECT_EQ(c.size(), count);
    }
    // Nothing of the trimmed mappings stays behind: an index is built for every import.
    auto mappedKiB = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
        return 0L;
    };
    const long before = mappedKiB();
    for (int i = 0; i < 50; ++i) {
        fv::PageArray<uint16_t> a((std::size_t{3} << 20) + 1001);
        a[a.size() - 1] = 1;
    }
    EXPECT_LT(mappedKiB() - before, 8 * 1024);
}
