#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>

namespace fv {

namespace asio = boost::asio;

class Timer;

// A named thread running its own io_context: everything posted runs in order, one at a time.
class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    // Stops the queue. Destroyed on its own thread (the last owner let go inside a handler), the
    // thread ends after that handler without running anything else.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& name() const;
    asio::io_context& context();
    asio::any_io_executor executor();

    bool isCurrent() const;
    // Aborts when called off the queue: the threading model is checked, not only documented.
    void assertOnQueue() const;

    // Runs fn on the queue later; dropped once the queue is stopping.
    void post(std::function<void()> fn);

    // Runs fn on the queue and waits for its result (or exception). Runs inline when already on
    // the queue, and on the caller's thread once the queue's thread has ended (nothing else can run
    // on the queue then), so it never waits forever on a stopped queue.
    template <typename F>
    auto dispatchSync(F&& fn) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (isCurrent()) return fn();
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
        auto claimed = std::make_shared<std::atomic<bool>>(false);
        auto result = task->get_future();
        bool posted = postIfRunning([task, claimed] {
            if (!claimed->exchange(true)) (*task)();
        });
        if (posted) {
            while (result.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
                if (ended()) break;
        } else {
            waitUntilEnded();
        }
        if (!claimed->exchange(true)) runAsQueue([&] { (*task)(); });
        return result.get();
    }

    // Runs fn once after delay; the returned timer cancels it when destroyed or cancelled.
    std::shared_ptr<Timer> after(std::chrono::steady_clock::duration delay, std::function<void()> fn);
    // Runs fn every interval (first run after one interval) until cancelled.
    std::shared_ptr<Timer> every(std::chrono::steady_clock::duration interval, std::function<void()> fn);

    // Runs the work already posted, then ends the thread and waits for it (when called on the
    // queue itself, the thread ends once the running handler returns). Pending socket operations
    // and timers do not keep it alive. Idempotent, callable from any thread.
    void stop();

    struct Core;

private:
    bool postIfRunning(std::function<void()> fn);
    bool ended() const;
    void waitUntilEnded() const;
    // Runs fn on the calling thread as the queue's work (isCurrent() holds meanwhile); only once
    // the queue's thread has ended.
    void runAsQueue(const std::function<void()>& fn);

    std::shared_ptr<Core> core_;  // shared with the thread, which may outlive this object
    std::mutex joinMutex_;
    std::thread thread_;
};

// A cancellable one-shot or repeating timer on any executor. Cancel is safe from any thread: when
// it returns, the function is not running (unless cancel was called from within it) and never
// runs again.
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
