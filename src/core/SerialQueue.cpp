#include "core/SerialQueue.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <pthread.h>

#include <boost/asio/steady_timer.hpp>

namespace fv {
namespace {
thread_local const SerialQueue* currentQueue = nullptr;
}

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)), guard_(asio::make_work_guard(ctx_)) {
    thread_ = std::thread([this] {
        // Linux thread names are limited to 15 characters; keep the tail, it is the distinctive part.
        std::string shortName = name_.size() > 15 ? name_.substr(name_.size() - 15) : name_;
        pthread_setname_np(pthread_self(), shortName.c_str());
        currentQueue = this;
        ctx_.run();
        currentQueue = nullptr;
    });
}

SerialQueue::~SerialQueue() { stop(); }

bool SerialQueue::isCurrent() const { return currentQueue == this; }

void SerialQueue::assertOnQueue() const {
    if (!isCurrent()) {
        std::fprintf(stderr, "not on queue %s\n", name_.c_str());
        std::abort();
    }
}

void SerialQueue::stop() {
    if (!thread_.joinable()) return;
    guard_.reset();
    if (isCurrent()) {
        // Cannot join ourselves; let the thread finish on its own.
        ctx_.stop();
        thread_.detach();
        return;
    }
    thread_.join();
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

    void arm(std::chrono::steady_clock::duration d) {
        timer.expires_after(d);
        timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (ec || self->cancelled) return;
            self->fn();
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
    if (state_->cancelled.exchange(true)) return;
    // The asio timer itself is touched only on its executor.
    asio::post(state_->timer.get_executor(), [s = state_] { s->timer.cancel(); });
}

bool Timer::cancelled() const { return state_->cancelled; }

}  // namespace fv
