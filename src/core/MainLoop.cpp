#include "core/MainLoop.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/Log.hpp"

namespace fv {
namespace {
std::thread::id mainThreadId = std::this_thread::get_id();
}

MainLoop& MainLoop::shared() {
    // Never destroyed: sockets and timers held by other statics are closed at exit after it, and
    // must still find their io_context.
    static MainLoop* loop = new MainLoop;
    return *loop;
}

void MainLoop::run(bool keepAlive) {
    mainThreadId = std::this_thread::get_id();
    if (keepAlive) {
        auto guard = asio::make_work_guard(ctx_);
        ctx_.run();
    } else {
        ctx_.run();
    }
    ctx_.restart();
}

bool MainLoop::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    mainThreadId = std::this_thread::get_id();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        ctx_.restart();
        ctx_.run_for(std::chrono::milliseconds(5));
    }
    return true;
}

void MainLoop::stop() { ctx_.stop(); }
void MainLoop::restart() { ctx_.restart(); }

bool MainLoop::isCurrent() const { return std::this_thread::get_id() == mainThreadId; }

void MainLoop::assertOnMain() const {
    if (!isCurrent()) {
        std::fprintf(stderr, "not on the main loop\n");
        std::abort();
    }
}

void spawnOn(asio::any_io_executor ex, asio::awaitable<void> task, std::string what) {
    asio::co_spawn(ex, std::move(task), [what = std::move(what)](std::exception_ptr e) {
        if (!e) return;
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            logLine("Task", (what.empty() ? std::string("task") : what) + " failed: " + ex.what());
        } catch (...) {
            logLine("Task", (what.empty() ? std::string("task") : what) + " failed");
        }
    });
}

void spawnOnMain(asio::awaitable<void> task, std::string what) {
    spawnOn(MainLoop::shared().executor(), std::move(task), std::move(what));
}

struct Cancellation::State {
    std::mutex m;
    bool cancelled = false;
    std::vector<std::weak_ptr<asio::steady_timer>> timers;
};

Cancellation::Cancellation() : state_(std::make_shared<State>()) {}

void Cancellation::cancel() {
    std::vector<std::weak_ptr<asio::steady_timer>> timers;
    {
        std::lock_guard lock(state_->m);
        state_->cancelled = true;
        timers.swap(state_->timers);
    }
    for (auto& w : timers) {
        if (auto t = w.lock()) asio::post(t->get_executor(), [t] { t->cancel(); });
    }
}

bool Cancellation::cancelled() const {
    std::lock_guard lock(state_->m);
    return state_->cancelled;
}

asio::awaitable<bool> Cancellation::sleep(std::chrono::steady_clock::duration d) const {
    auto ex = co_await asio::this_coro::executor;
    auto timer = std::make_shared<asio::steady_timer>(ex, d);
    {
        std::lock_guard lock(state_->m);
        if (state_->cancelled) co_return false;
        std::erase_if(state_->timers, [](auto& w) { return w.expired(); });
        state_->timers.push_back(timer);
    }
    boost::system::error_code ec;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    co_return !cancelled();
}

asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration d) {
    asio::steady_timer t(co_await asio::this_coro::executor, d);
    co_await t.async_wait(asio::use_awaitable);
}

}  // namespace fv
