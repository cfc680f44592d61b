#pragma once
// Whether the DJ works against the main service or a dedicated server assigned to the account:
// the check, the handoff of the login, and the way back. Lives on the main loop.
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

namespace fv {

class AuthStore;
class APIClient;

class PlanStore {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    PlanStore(AuthStore& auth, APIClient& api);
    static PlanStore& shared();

    std::optional<std::string> dedicatedServerURL;
    std::optional<std::string> dedicatedServerStatus;
    bool dedicatedServerIsEmpty = false;
    bool isDedicatedServerSuspended = false;
    std::optional<std::string> dedicatedServerSuspendReason;
    std::optional<std::string> dedicatedServerSuspendedAt;
    bool isLoading = false;
    std::optional<std::string> lastError;

    Task<void> refresh();
    Task<void> startHandoff(std::string serverURL);

private:
    Task<void> checkDedicatedServer();
    Task<void> switchBackToMainServer();
    Task<std::optional<std::string>> mainServiceToken();

    AuthStore& auth_;
    APIClient& api_;
};

}  // namespace fv
