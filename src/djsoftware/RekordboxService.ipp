// Template part of RekordboxService (included by its header).
#pragma once
#include <type_traits>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/Log.hpp"

namespace fv {

template <typename T>
T RekordboxService::runBody(const std::function<T()>& body) {
    ensureInitialized();
    return body();
}

template <typename T>
RekordboxService::Task<T> RekordboxService::safePythonCall(std::function<T()> body) {
    if (queue_->isCurrent()) {
        // A body that calls the service again: waiting for the queue would wait for ourselves.
        logLine("RekordboxService", "safePythonCall: already on pythonQueue");
        co_return runBody<T>(body);
    }
    auto work = [this, body = std::move(body)]() -> boost::asio::awaitable<T> { co_return runBody<T>(body); };
    if constexpr (std::is_void_v<T>) {
        co_await boost::asio::co_spawn(queue_->executor(), std::move(work), boost::asio::use_awaitable);
    } else {
        T result = co_await boost::asio::co_spawn(queue_->executor(), std::move(work), boost::asio::use_awaitable);
        co_return result;
    }
}

}  // namespace fv
