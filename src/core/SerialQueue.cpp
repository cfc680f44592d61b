#include "core/SerialQueue.hpp"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <pthread.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace fv {

struct SerialQueue::Core {
    explicit Core(std::string n) : name(std::move(n)), guard(asio::make_work_guard(ctx)) {}
    std::string name;
    asio::io_context ctx;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard;
    mutable std::mutex m;
    mutable std::condition_variable endedCv;
    bool accepting = true;  // until stop()
    bool ended = false;     // the thread has left run()
};

namespace {
thread_local const SerialQueue::Core* currentQueue = nullptr;
}

SerialQueue::SerialQueue(std::string name) : core_(std::make_shared<Core>(std::move(name))) {
    thread_ = std::thread([core = core_] {
        // Linux thread names are limited to 15 characters; keep the tail, it is the distinctive part.
        const std::string& n = core->name;
        std::string shortName = n.size() > 15 ? n.substr(n.size() - 15) : n;
        pthread_setname_np(pthread_self(), shortName.c_str());
        currentQueue = core.get();
        core->ctx.run();
        currentQueue = nullptr;
        {
            std::lock_guard g(core->m);
            core->ended = true;
        }
        core->endedCv.notify_all();
    });
}

SerialQueue::~SerialQueue() {
    if (isCurrent()) {
        // Cannot wait for ourselves: end after this handler; the thread keeps the core alive.
        {
            std::lock_guard g(core_->m);
            core_->accepting = false;
            core_->guard.reset();
        }
        core_->ctx.stop();
        thread_.detach();
        return;
    }
    stop();
}

const std::string& SerialQueue::name() const { return core_->name; }
asio::io_context& SerialQueue::context() { return core_->ctx; }
asio::any_io_executor SerialQueue::executor() { return core_->ctx.get_executor(); }

bool SerialQueue::isCurrent() const { return currentQueue == core_.get(); }

void SerialQueue::assertOnQueue() const {
    if (!isCurrent()) {
        std::fprintf(stderr, "not on queue %s\n", core_->name.c_str());
        std::abort();
    }
}

void SerialQueue::post(std::function<void()> fn) { (void)postIfRunning(std::move(fn)); }

bool SerialQueue::postIfRunning(std::function<void()> fn) {
    std::lock_guard g(core_->m);
    if (!core_->accepting) return false;
    asio::post(core_->ctx, std::move(fn));
    return true;
}

bool SerialQueue::ended() const {
    std::lock_guard g(core_->m);
    return core_->ended;
}

void SerialQueue::waitUntilEnded() const {
    std::unique_lock lk(core_->m);
    core_->endedCv.wait(lk, [&] { return core_->ended; });
}

void SerialQueue::runAsQueue(const std::function<void()>& fn) {
    const Core* previous = currentQueue;
    currentQueue = core_.get();
    try {
        fn();
    } catch (...) {
        currentQueue = previous;
        throw;
    }
    currentQueue = previous;
}

void SerialQueue::stop() {
    {
        std::lock_guard g(core_->m);
        if (core_->accepting) {
            core_->accepting = false;
            // Behind everything already posted: ends run() even with sockets or timers pending.
            asio::post(core_->ctx, [c = core_.get()] { c->ctx.stop(); });
            core_->guard.reset();
        }
    }
    if (isCurrent()) return;
    std::lock_guard g(joinMutex_);
    if (thread_.joinable()) thread_.join();
}

std::shared_ptr<Timer> SerialQueue::after(std::chrono::steady_clock::duration delay, std::function<void()> fn) {
    return Timer::once(executor(), delay, std::move(fn));
}

std::shared_ptr<Timer> SerialQueue::every(std::chrono::steady_clock::duration interval, std::function<void()> fn) {
    return Timer::repeating(executor(), interval, std::move(fn));
}

struct Timer::State : std::enable_shared_from_this<Timer::State> {
    State(asio::any_io_executor ex) : timer(ex) {}
    asio::steady_timer timer;
    std::function<void()> fn;
    std::chrono::steady_clock::duration interval{};
    bool repeat = false;
    std::atomic<bool> cancelled{false};
    // Held while fn runs, so that cancel() from another thread can wait for it.
    std::mutex running;
    std::atomic<std::thread::id> runner{};

    void arm(std::chrono::steady_clock::duration d) {
        timer.expires_after(d);
        timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (ec || self->cancelled) return;
            {
                std::lock_guard g(self->running);
                if (self->cancelled) return;
                self->runner = std::this_thread::get_id();
                self->fn();
                self->runner = std::thread::id{};
            }
            if (self->repeat && !self->cancelled) self->arm(self->interval);
        });
    }
};

std::shared_ptr<Timer> Timer::once(asio::any_io_executor ex, std::chrono::steady_clock::duration delay,
                                   std::function<void()> fn) {
    auto s = std::make_shared<State>(ex);
    s->fn = std::move(fn);
    asio::post(ex, [s, delay] {
        if (!s->cancelled) s->arm(delay);
    });
    return std::make_shared<Timer>(s);
}

std::shared_ptr<Timer> Timer::repeating(asio::any_io_executor ex, std::chrono::steady_clock::duration interval,
                                        std::function<void()> fn) {
    auto s = std::make_shared<State>(ex);
    s->fn = std::move(fn);
    s->interval = interval;
    s->repeat = true;
    asio::post(ex, [s, interval] {
        if (!s->cancelled) s->arm(interval);
    });
    return std::make_shared<Timer>(s);
}

Timer::~Timer() { cancel(); }

void Timer::cancel() {
    if (!state_->cancelled.exchange(true)) {
        // The asio timer itself is touched only on its executor.
        asio::post(state_->timer.get_executor(), [s = state_] { s->timer.cancel(); });
    }
    // Wait for a run in progress on another thread; from within fn itself there is nothing to wait for.
    if (state_->runner.load() != std::this_thread::get_id()) std::lock_guard g(state_->running);
}

bool Timer::cancelled() const { return state_->cancelled; }

}  // namespace fv
