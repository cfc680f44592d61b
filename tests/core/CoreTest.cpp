#include <atomic>
#include <future>
#include <stdexcept>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "core/Files.hpp"
#include "core/Json.hpp"
#include "core/MainLoop.hpp"
#include "core/SerialQueue.hpp"
#include "core/Strings.hpp"
#include "support/TestSupport.hpp"

#include <sys/stat.h>

using namespace fv;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsInOrderOnItsOwnThreadAndDispatchSyncIsReentrant) {
    SerialQueue q("floorvote.test.queue");
    std::vector<int> seen;
    for (int i = 0; i < 100; ++i) q.post([&, i] { seen.push_back(i); });
    EXPECT_FALSE(q.isCurrent());
    int inner = q.dispatchSync([&] {
        EXPECT_TRUE(q.isCurrent());
        // Inline when already on the queue; a deadlock here would hang the test.
        return q.dispatchSync([&] { return static_cast<int>(seen.size()); });
    });
    EXPECT_EQ(inner, 100);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
}

TEST(SerialQueue, CancelledTimerNeverRuns) {
    SerialQueue q("floorvote.test.timer");
    std::atomic<int> fired{0}, ticks{0};
    auto t1 = q.after(50ms, [&] { ++fired; });
    t1->cancel();
    auto t2 = q.every(10ms, [&] { ++ticks; });
    std::this_thread::sleep_for(120ms);
    t2->cancel();
    int after = ticks;
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(fired, 0);
    EXPECT_GE(after, 3);
    EXPECT_LE(ticks - after, 1);
}

// The queue's promises hold at its edges: a stop from its own thread, a wait on a stopped queue,
// a cancel while the timer's function runs elsewhere.
TEST(SerialQueue, StopDispatchAndCancelKeepTheirPromisesAtTheEdges) {
    // Destroyed on its own thread: the thread ends after that handler, nothing else runs on it.
    {
        auto q = std::make_unique<SerialQueue>("floorvote.test.self");
        auto* raw = q.get();
        std::atomic<bool> laterRan{false};
        std::promise<void> destroyed;
        raw->post([&] {
            q->post([&] { laterRan = true; });
            q.reset();
            destroyed.set_value();
        });
        raw = nullptr;
        destroyed.get_future().wait();
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(laterRan);
    }
    // stop() on its own thread returns; the work posted before it runs; the owner's stop waits.
    {
        SerialQueue q("floorvote.test.stop");
        std::vector<int> order;
        q.post([&] {
            order.push_back(1);
            q.stop();
            order.push_back(2);
        });
        q.post([&] { order.push_back(3); });
        q.stop();
        EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
        // dispatchSync on a stopped queue runs on the caller instead of waiting for ever.
        EXPECT_EQ(q.dispatchSync([&] { return 42; }), 42);
        q.post([&] { order.push_back(4); });  // dropped
        EXPECT_EQ(order.size(), 3u);
    }
    // A stop while a caller waits: its function still runs, exactly once, and its exception arrives.
    {
        SerialQueue q("floorvote.test.race");
        std::atomic<int> runs{0};
        std::promise<void> blockerStarted;
        q.post([&] {
            blockerStarted.set_value();
            std::this_thread::sleep_for(100ms);
        });
        blockerStarted.get_future().wait();
        std::thread stopper([&] { q.stop(); });
        EXPECT_EQ(q.dispatchSync([&] { return ++runs; }), 1);
        stopper.join();
        EXPECT_THROW(q.dispatchSync([]() -> int { throw std::runtime_error("x"); }), std::runtime_error);
        EXPECT_EQ(runs, 1);
    }
    // A timer with work queued behind it does not keep a stopping queue alive.
    {
        SerialQueue q("floorvote.test.pending");
        auto t = q.every(10ms, [] {});
        auto start = std::chrono::steady_clock::now();
        q.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
    // cancel() from another thread waits for a run in progress and then nothing runs again.
    {
        SerialQueue q("floorvote.test.cancel");
        std::atomic<bool> running{false}, finished{false};
        std::atomic<int> runs{0};
        auto t = q.every(1ms, [&] {
            ++runs;
            running = true;
            std::this_thread::sleep_for(100ms);
            finished = true;
            running = false;
        });
        while (!running) std::this_thread::sleep_for(1ms);
        t->cancel();
        EXPECT_TRUE(finished);
        EXPECT_FALSE(running);
        int seen = runs;
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(runs, seen);
        // And from within its own function it returns at once.
        std::promise<void> done;
        std::shared_ptr<Timer> self;
        self = q.after(200ms, [&] {
            self->cancel();
            done.set_value();
        });
        EXPECT_EQ(done.get_future().wait_for(2s), std::future_status::ready);
    }
}

TEST(MainLoop, CancellationEndsASleepEarly) {
    auto& loop = MainLoop::shared();
    Cancellation c;
    std::optional<bool> result;
    auto start = std::chrono::steady_clock::now();
    spawnOnMain([](Cancellation c, std::optional<bool>& r) -> asio::awaitable<void> {
        r = co_await c.sleep(10s);
    }(c, result));
    loop.post([c]() mutable { c.cancel(); });
    ASSERT_TRUE(loop.runUntil([&] { return result.has_value(); }, 5s));
    EXPECT_FALSE(*result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(Json, RequiredDefaultedOptionalAndTypes) {
    json j = json::parse(R"({"a": 1, "b": null, "s": "x", "big": 9007199254740993, "f": 2.0, "h": 2.5})");
    EXPECT_EQ(jsonx::required<int64_t>(j, "a"), 1);
    EXPECT_THROW(jsonx::required<int64_t>(j, "b"), DecodeError);  // null counts as missing
    EXPECT_THROW(jsonx::required<int64_t>(j, "zz"), DecodeError);
    EXPECT_EQ(jsonx::defaulted<int64_t>(j, "b", 7), 7);
    EXPECT_THROW(jsonx::defaulted<int64_t>(j, "s", 7), DecodeError);  // wrong type still fails
    EXPECT_FALSE(jsonx::optional<std::string>(j, "b"));
    EXPECT_THROW(jsonx::optional<std::string>(j, "a"), DecodeError);
    EXPECT_EQ(jsonx::required<int64_t>(j, "big"), 9007199254740993LL);  // exact beyond 2^53
    EXPECT_EQ(jsonx::required<int64_t>(j, "f"), 2);
    EXPECT_THROW(jsonx::required<int64_t>(j, "h"), DecodeError);
    EXPECT_DOUBLE_EQ(jsonx::required<double>(j, "a"), 1.0);
    try {
        jsonx::required<std::string>(j, "a");
        FAIL();
    } catch (const DecodeError& e) {
        EXPECT_NE(std::string(e.what()).find("\"a\""), std::string::npos);
    }
}

TEST(Json, BooleanOrInteger) {
    json j = json::parse(R"({"t": true, "one": 1, "zero": 0, "s": "yes"})");
    EXPECT_TRUE(jsonx::boolOrInt(j, "t", false));
    EXPECT_TRUE(jsonx::boolOrInt(j, "one", false));
    EXPECT_FALSE(jsonx::boolOrInt(j, "zero", true));
    EXPECT_TRUE(jsonx::boolOrInt(j, "missing", true));
    EXPECT_THROW(jsonx::boolOrInt(j, "s", false), DecodeError);
    EXPECT_TRUE(jsonx::boolOrIntLenient(j, "s", true));
}

TEST(Files, AtomicWriteReplacesWholeAndKeepsMode) {
    test::TempDir dir;
    auto p = dir / "doc.json";
    writeFileAtomically(p, "first", 0600);
    writeFileAtomically(p, "second", 0600);
    EXPECT_EQ(*readFile(p), "second");
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file stays behind.
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1);
    // A folder that does not exist fails and creates nothing.
    EXPECT_THROW(writeFileAtomically(dir / "missing/x", "y"), std::system_error);
}

TEST(Strings, GermanTableAndUnknownKeys) {
    EXPECT_EQ(tr("notification_new_request_title"), "Neuer Musikwunsch");
    EXPECT_EQ(tr("no_such_key"), "no_such_key");
}
