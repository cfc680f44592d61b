#pragma once
// Shared by the commands that talk to the service: running a task on the main loop to its end,
// turning failures into the command's error, the login and active-event preconditions.
#include <exception>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>

#include "app/Commands.hpp"
#include "core/MainLoop.hpp"
#include "session/Records.hpp"

namespace fv {
class AuthStore;
}

namespace fv::app {

// Migrates the stored settings: the start of every service command.
void start();
// Restores the login; fails the command with a hint when there is none.
AuthStore& requireLogin();
std::string activeEventOrFail();
const char* statusLabel(RequestStatus s);

template <typename T>
T await(boost::asio::awaitable<T> task) {
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    boost::asio::co_spawn(MainLoop::shared().context(), std::move(task), [&](std::exception_ptr e, T v) {
        error = e;
        if (!e) value = std::move(v);
        done = true;
    });
    // Every call has its own timeout; this only guards against a loop that never ends.
    MainLoop::shared().runUntil([&] { return done; }, std::chrono::minutes(5));
    if (error) std::rethrow_exception(error);
    if (!value) throw CommandFailed{1, "Zeitüberschreitung."};
    return std::move(*value);
}

void await(boost::asio::awaitable<void> task);

// Runs a service call; a failure prints its text and ends the command without changing anything.
template <typename T>
T call(boost::asio::awaitable<T> task) {
    try {
        return await(std::move(task));
    } catch (const CommandFailed&) {
        throw;
    } catch (const std::exception& e) {
        throw CommandFailed{1, e.what()};
    }
}
void call(boost::asio::awaitable<void> task);

}  // namespace fv::app
