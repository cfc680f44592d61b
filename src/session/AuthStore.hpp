#pragma once
// The DJ's login: state, the in-memory access token, the account id and role, and the refresh
// tokens in the keychain (one set per backend). Lives on the main loop.
#include <functional>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "session/APIClient.hpp"

namespace fv {

class KeychainService;
struct HandoffResponse;
enum class ServerMode;

class AuthStore : public AccessTokenHolder {
public:
    enum class State { loading, unauthenticated, authenticated };
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    explicit AuthStore(KeychainService& keychain);
    static AuthStore& shared();

    // The client this store logs in with; APIClient::shared() unless set.
    void setClient(APIClient* api) { api_ = api; }
    APIClient& api();
    KeychainService& keychain() { return keychain_; }

    State state() const { return state_; }
    bool isBusy() const { return isBusy_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    // The last restore got no answer from the server; the stored login was kept for a later try.
    bool serverUnreachable() const { return serverUnreachable_; }
    std::optional<std::string> accessToken() const override { return accessToken_; }
    void setAccessToken(std::string token) override { accessToken_ = std::move(token); }
    const std::optional<std::string>& djUuid() const { return djUuid_; }
    const std::string& userRole() const { return userRole_; }
    const std::optional<std::string>& displayName() const { return displayName_; }

    // Whether the platform still considers an Apple user id signed in; Linux has no such service.
    std::function<bool(const std::string& appleUserId)> appleCredentialAuthorized = [](const std::string&) { return false; };

    Task<void> restoreSession();
    Task<bool> sendOTP(std::string email);
    Task<bool> verifyOTP(std::string email, std::string code);
    Task<void> restoreOTPSession();
    Task<bool> switchToStoredServerToken(ServerMode mode);
    Task<void> fetchRole();
    void applyHandoffTokens(const HandoffResponse& response, const std::string& serverURL);
    // The handed-off dedicated server is kept with the login, so every later start of the program
    // under the same login goes to the same server; restoreSession() brings it back.
    void rememberDedicatedServer(std::optional<std::string> url);
    void restoreDedicatedServer();
    void clearSession();
    Task<void> logout();
    std::optional<std::string> consoleLoginQuery(const std::string& eventId) const;

    // "production", "development" or "dedicated": the backend the base URL points at now.
    static std::string currentBackendName();

private:
    void restoreAppleSession(const std::string& refreshToken);

    KeychainService& keychain_;
    APIClient* api_ = nullptr;
    State state_ = State::loading;
    bool isBusy_ = false;
    bool serverUnreachable_ = false;
    std::optional<std::string> errorMessage_;
    std::optional<std::string> accessToken_;
    std::optional<std::string> djUuid_;
    std::string userRole_ = "user";
    std::optional<std::string> displayName_;
};

}  // namespace fv
