// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "app/CommandSupport.hpp"

#include <iostream>

#include "core/Log.hpp"
#include "session/APIError.hpp"
#include "session/AppSettings.hpp"
#include "session/AuthStore.hpp"

namespace fv::app {

void await(boost::asio::awaitable<void> task) {
    auto wrapped = [](boost::asio::awaitable<void> t) -> boost::asio::awaitable<bool> {
        co_await std::move(t);
        co_return true;
    };
    (void)await(wrapped(std::move(task)));
}

void call(boost::asio::awaitable<void> task) {
    try {
        await(std::move(task));
    } catch (const CommandFailed&) {
        throw;
    } catch (const std::exception& e) {
        throw CommandFailed{1, e.what()};
    }
}

void start() {
    AppSettings::migrateIfNeeded();
    AuthStore::shared().restoreDedicatedServer();
}

AuthStore& requireLogin() {
    auto& auth = AuthStore::shared();
    await(auth.restoreSession());
    if (auth.state() != AuthStore::State::authenticated) {
        if (auth.serverUnreachable())
            throw CommandFailed{1, "Server nicht erreichbar: " + auth.errorMessage().value_or("")};
        throw CommandFailed{1, "Nicht angemeldet. Bitte zuerst „floorvote login E-MAIL“ ausführen."};
    }
    return auth;
}

std::string activeEventOrFail() {
    auto id = AppSettings::load().activeEventId;
    if (id.empty()) throw CommandFailed{1, APIError(APIError::Kind::noActiveEvent).what()};
    return id;
}

const char* statusLabel(RequestStatus s) {
    switch (s) {
        case RequestStatus::pending: return "offen";
        case RequestStatus::confirmed: return "bestätigt";
        case RequestStatus::declined: return "abgelehnt";
        case RequestStatus::played: return "gespielt";
    }
    return "";
}

}  // namespace fv::app
