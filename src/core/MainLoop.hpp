#pragma once
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace fv {

namespace asio = boost::asio;

// The main thread's io_context: every store and manager lives here and is touched only here.
class MainLoop {
public:
    static MainLoop& shared();

    asio::io_context& context() { return ctx_; }
    asio::any_io_executor executor() { return ctx_.get_executor(); }

    // Runs until stop() (or until no work is left when keepAlive is false).
    void run(bool keepAlive = true);
    // Runs handlers until pred() holds or the timeout passes; for tests and one-shot commands.
    bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    void stop();
    void restart();

    bool isCurrent() const;
    void assertOnMain() const;
    void post(std::function<void()> fn) { asio::post(ctx_, std::move(fn)); }

private:
    MainLoop() = default;
    asio::io_context ctx_;
};

// Spawns a coroutine on the main loop; an escaping exception is logged, never fatal.
void spawnOnMain(asio::awaitable<void> task, std::string what = {});
void spawnOn(asio::any_io_executor ex, asio::awaitable<void> task, std::string what = {});

// Cancels every delay started with it; a cancelled delay returns false at once.
class Cancellation {
public:
    Cancellation();
    void cancel();
    bool cancelled() const;
    // Waits d on the current coroutine's executor; false when cancelled before or during the wait.
    asio::awaitable<bool> sleep(std::chrono::steady_clock::duration d) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A plain sleep on the current coroutine's executor.
asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration d);

}  // namespace fv
