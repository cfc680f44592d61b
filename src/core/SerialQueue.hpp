#pragma once
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

namespace fv {

namespace asio = boost::asio;

class Timer;

// A named thread running its own io_context: everything posted runs in order, one at a time.
class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& name() const { return name_; }
    asio::io_context& context() { return ctx_; }
    asio::any_io_executor executor() { return ctx_.get_executor(); }

    bool isCurrent() const;
    // Aborts when called off the queue: the threading model is checked, not only documented.
    void assertOnQueue() const;

    void post(std::function<void()> fn) { asio::post(ctx_, std::move(fn)); }

    // Runs fn on the queue and waits for it; runs inline when already on the queue.
    template <typename F>
    auto dispatchSync(F&& fn) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (isCurrent()) return fn();
        std::packaged_task<R()> task(std::forward<F>(fn));
        auto fut = task.get_future();
        asio::post(ctx_, [&task] { task(); });
        return fut.get();
    }

    // Runs fn once after delay; the returned timer cancels it when destroyed or cancelled.
    std::shared_ptr<Timer> after(std::chrono::steady_clock::duration delay, std::function<void()> fn);
    // Runs fn every interval (first run after one interval) until cancelled.
    std::shared_ptr<Timer> every(std::chrono::steady_clock::duration interval, std::function<void()> fn);

    // Stops the thread after the work already posted has run; idempotent.
    void stop();

private:
    std::string name_;
    asio::io_context ctx_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::thread thread_;
};

// A cancellable one-shot or repeating timer on any executor. Cancel is safe from any thread;
// a cancelled timer never runs its function again.
class Timer : public std::enable_shared_from_this<Timer> {
public:
    static std::shared_ptr<Timer> once(asio::any_io_executor ex, std::chrono::steady_clock::duration delay,
                                       std::function<void()> fn);
    static std::shared_ptr<Timer> repeating(asio::any_io_executor ex, std::chrono::steady_clock::duration interval,
                                            std::function<void()> fn);
    ~Timer();
    void cancel();
    bool cancelled() const;

    struct State;
    explicit Timer(std::shared_ptr<State> s) : state_(std::move(s)) {}

private:
    std::shared_ptr<State> state_;
};

}  // namespace fv
