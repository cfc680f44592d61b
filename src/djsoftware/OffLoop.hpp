#pragma once
// Runs blocking work on a serial queue and resumes the awaiting coroutine on its own executor
// with the result or the exception. For inclusion in .cpp files only (Asio).
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "core/SerialQueue.hpp"

namespace fv {

template <typename T>
boost::asio::awaitable<T> runOffLoop(SerialQueue& queue, std::function<T()> work) {
    namespace asio = boost::asio;
    struct State {
        explicit State(asio::any_io_executor ex) : timer(ex, asio::steady_timer::time_point::max()) {}
        asio::steady_timer timer;
        std::optional<T> value;
        std::exception_ptr error;
    };
    auto ex = co_await asio::this_coro::executor;
    auto st = std::make_shared<State>(ex);
    // The state (and its timer) must die on the awaiting executor: the queue hands its only
    // reference on with the answer.
    queue.post([st, ex, work = std::move(work)]() mutable {
        std::optional<T> value;
        std::exception_ptr error;
        try {
            value.emplace(work());
        } catch (...) {
            error = std::current_exception();
        }
        work = nullptr;
        asio::post(ex, [st = std::move(st), value = std::move(value), error]() mutable {
            st->value = std::move(value);
            st->error = error;
            st->timer.cancel();
        });
    });
    boost::system::error_code ec;
    co_await st->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (st->error) std::rethrow_exception(st->error);
    co_return std::move(*st->value);
}

}  // namespace fv
